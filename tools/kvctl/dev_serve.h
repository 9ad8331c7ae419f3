// kvctl dev serve: the service's archive mount, run in kvctl until interrupted.
#pragma once

namespace kv::tools {

int DevServe(int argc, char** argv);
inline constexpr const char* kDevServeUsage =
    "kvctl dev serve DRIVE ARCHIVE [--password P | --password-file F] [--install-dir DIR]\n"
    "  Mounts ARCHIVE on drive DRIVE (0-22) as the service does and answers the drive's reads,\n"
    "  extracting items when they are first read, until SIGINT/SIGTERM or until the drive is\n"
    "  unmounted; then unmounts and deletes what was extracted. The codec library comes from\n"
    "  Install_Dir (or --install-dir), extracted data goes to the temporary folder.\n"
    "  --password-file F reads the password from the first line of F (\"-\": standard input).";

}  // namespace kv::tools
