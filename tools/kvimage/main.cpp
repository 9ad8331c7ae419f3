// kvimage: the image readers and the bridge-image builder from the command line.
#include "tools/cli/cli.h"

int main(int argc, char** argv) {
  return kv::cli::Dispatch("kvimage", "read disc images and build bridge images", kv::cli::Registry(), argc, argv);
}
