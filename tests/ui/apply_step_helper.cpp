// The manager's start as far as the elevated apply step goes: tests put it into an install folder
// as "KVHELPER" and let the configuration dialog start it with "runas".
#include "manager/config_store.h"

int main(int argc, char** argv) {
  if (!kv::manager::IsApplySwitch(argc, argv)) return 2;
  kv::manager::ConfigStore config(kv::manager::ConfigProgram::Manager);
  return config.ApplyElevated() ? 0 : 1;
}
