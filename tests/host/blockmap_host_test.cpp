// `kvctl dev mount` of ISZ and UIF files through the real kvemu host: the format follows the
// extension, the password comes from a file, and a refusal names its reason.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/fixtures/block_image_writer.h"
#include "tests/fixtures/raw_image_writer.h"
#include "tests/fixtures/test_support.h"
#include "tests/host/host_process.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

TEST(BlockMapHost, KvctlMountsIszAndUifAndExplainsRefusals) {
  if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  TempDir dir;
  const fs::path tree = dir / "tree";
  fs::create_directories(tree);
  WriteFileBytes(tree / "data.bin", PatternBytes(700 * 1024, 4));
  const std::string iso = (dir / "src.iso").string();
  ASSERT_EQ(kv::test::Run("genisoimage -quiet -J -o " + Quote(iso) + " " + Quote(tree.string())).exitCode, 0);
  const std::vector<uint8_t> source = ReadFileBytes(iso);

  IszOptions aes;
  aes.encryption = 2;
  aes.password = "from a file";
  WriteFileBytes(dir / "disc.isz", WriteIsz(source, aes));
  WriteFileText(dir / "password", "from a file\n");
  UifOptions raw;
  raw.sectorUnit = 2352;
  WriteFileBytes(dir / "disc.uif", WriteUif(WrapAsRawMode1(source), raw));
  IszOptions wide;
  wide.pointerSize = 4;
  WriteFileBytes(dir / "wide.isz", WriteIsz(source, wide));

  const std::string root = (dir / "root").string();
  HostProcess host(ProgramPath("kvemu"), root);
  ASSERT_TRUE(host.WaitReady()) << host.Log();
  const std::string kvctl = Quote(ProgramPath("kvctl")) + " dev ";
  auto path = [&](const std::string& name) { return Quote((dir / name).string()); };

  auto r = kv::test::Run(kvctl + "mount 0 " + path("disc.isz"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("a password is needed"), std::string::npos) << r.output;
  r = kv::test::Run(kvctl + "mount 0 " + path("wide.isz"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("pointer size"), std::string::npos) << r.output;

  ASSERT_EQ(kv::test::Run(kvctl + "mount 0 " + path("disc.isz") + " --password-file " + path("password")).exitCode, 0);
  ASSERT_EQ(kv::test::Run(kvctl + "mount 1 " + path("disc.uif")).exitCode, 0);
  for (const char* drive : {"0", "1"}) {
    SCOPED_TRACE(drive);
    const std::string copy = (dir / "copy.iso").string();
    r = kv::test::Run(kvctl + "read " + drive + " > " + Quote(copy));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(ReadFileBytes(copy) == source);
    EXPECT_EQ(kv::test::Run(kvctl + "unmount " + drive).exitCode, 0);
  }
  EXPECT_EQ(host.Stop(SIGTERM), 0) << host.Log();
}

}  // namespace
}  // namespace kv::test
