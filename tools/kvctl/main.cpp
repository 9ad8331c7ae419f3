// kvctl: drives, mounts and letters from the command line.
#include "tools/cli/cli.h"

int main(int argc, char** argv) {
  return kv::cli::Dispatch("kvctl", "control the virtual drives", kv::cli::Registry(), argc, argv);
}
