// kvimage pack FOLDER -o OUT.mzp: a MARFS volume of the folder inside an MZP container.
#include <cstdio>
#include <filesystem>

#include "tools/cli/cli.h"
#include "tools/kvimage/mzp_source.h"
#include "tools/mzppack/mzp_writer.h"

namespace kv::kvimage {
namespace {

constexpr const char* kUsage =
    "usage: kvimage pack FOLDER -o OUT.mzp [--password P | --password-file F] [--key-bits 128|192|256]\n"
    "                    [--method lzma|deflate] [--chunk-size N] [--volume-size N] [--volume-name NAME]\n";

int RunPack(int argc, char** argv) {
  cli::Args args(argc, argv, {});
  const auto unknown = args.Unknown(
      {"output", "password", "password-file", "key-bits", "method", "chunk-size", "volume-size", "volume-name"});
  const auto out = args.Get("output");
  if (!args.ok() || !unknown.empty() || args.positional().size() != 1 || !out || out->empty()) {
    std::fputs(kUsage, stderr);
    return cli::kExitUsage;
  }
  mzp::PackOptions options;
  std::optional<std::string> password;
  std::string error;
  int64_t keyBits = 256, chunkSize = options.chunkSize, volumeSize = 0;
  if (!args.GetPassword(&password, &error) || !args.GetInt("key-bits", 128, 256, &keyBits, &error) ||
      !args.GetInt("chunk-size", 16384, int64_t{4095} * 16384, &chunkSize, &error) ||
      !args.GetInt("volume-size", 0, int64_t{1} << 40, &volumeSize, &error)) {
    std::fprintf(stderr, "kvimage pack: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  const std::string method = args.Get("method").value_or("lzma");
  if (method != "lzma" && method != "deflate") {
    std::fprintf(stderr, "kvimage pack: --method must be lzma or deflate\n");
    return cli::kExitUsage;
  }
  options.password = MzpKeyBytes(password.value_or(""));
  options.keyBits = static_cast<uint32_t>(keyBits);
  options.method = method == "lzma" ? mzp::PackMethod::kLzma : mzp::PackMethod::kDeflate;
  options.chunkSize = static_cast<uint32_t>(chunkSize);
  options.volumeSize = static_cast<uint64_t>(volumeSize);
  if (password && password->empty()) {
    std::fprintf(stderr, "kvimage pack: the password is empty\n");
    return cli::kExitUsage;
  }
  if (std::string why = mzp::CheckPackOptions(options); !why.empty()) {
    std::fprintf(stderr, "kvimage pack: %s\n", why.c_str());
    return cli::kExitUsage;
  }
  const std::string folder = args.positional()[0];
  mzp::MarfsVolumeWriter volume;
  std::vector<std::string> skipped;
  if (!volume.Layout(folder, cli::Utf8ToUtf16(args.Get("volume-name").value_or("")), &skipped, &error)) {
    std::fprintf(stderr, "kvimage pack: %s: %s\n", folder.c_str(), error.c_str());
    return cli::kExitFailure;
  }
  for (const std::string& s : skipped)
    std::fprintf(stderr, "kvimage pack: %s: skipped (not a regular file or folder, or too deep or long)\n", s.c_str());
  cli::Progress progress("packing " + *out, volume.SectorCount());
  mzp::PackResult result;
  const bool ok =
      mzp::WriteMzp(volume, *out, options, &result, &error, [&progress](uint64_t done) { progress.Update(done); });
  progress.Finish();
  if (!ok) {
    std::fprintf(stderr, "kvimage pack: %s: %s\n", out->c_str(), error.c_str());
    std::error_code ec;
    for (const std::string& f : result.files) std::filesystem::remove(f, ec);
    return cli::kExitFailure;
  }
  for (const std::string& f : result.files) std::printf("%s\n", f.c_str());
  std::fprintf(stderr, "kvimage pack: %llu files, %llu bytes in %u chunks, %zu volume(s) of %llu bytes in all\n",
               static_cast<unsigned long long>(volume.FileCount()), static_cast<unsigned long long>(volume.DataBytes()),
               result.chunks, result.files.size(), static_cast<unsigned long long>(result.bytes));
  return cli::kExitOk;
}

cli::RegisterVerb reg({"pack", "write a folder as an MZP container",
                       std::string(kUsage) +
                           "\nWrites a MARFS volume of FOLDER inside the MZP container OUT.mzp.\n"
                           "P encrypts it with AES (key: the first 16, 24 or 32 bytes of P, as --key-bits says;\n"
                           "default 256). Chunks of N bytes (a multiple of 16384; default 131072) are compressed\n"
                           "with LZMA (default) or deflate. --volume-size splits it into files of at most N bytes\n"
                           "named OUT.part01.mzp, OUT.part02.mzp, ...; the files written are printed.\n"
                           "Exit status: 0 written, 1 failure, 2 usage error.",
                       RunPack});

}  // namespace
}  // namespace kv::kvimage
