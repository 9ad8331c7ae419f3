// kvimage layout as a program.
#include <gtest/gtest.h>

#include "tests/fixtures/descriptor_writers.h"
#include "tests/fixtures/test_support.h"

namespace kv {
namespace {

TEST(KvimageLayout, PrintsTheLayoutOfEitherFileAndRefusesNonDescriptors) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "d.bin", std::vector<uint8_t>(2352 * 600, 0));
  test::WriteFileText(dir / "d.cue",
                      "TITLE \"A disc\"\nFILE d.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                      "TRACK 02 AUDIO\nISRC USAB12345678\nINDEX 00 00:04:00\nINDEX 01 00:06:00\n");
  const std::string kvimage = test::Quote(test::ProgramPath("kvimage"));
  for (const char* picked : {"d.cue", "d.bin"}) {
    const auto r = test::Run(kvimage + " layout --json " + test::Quote((dir / picked).string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("\"tracks\":2,\"leadOut\":600,\"mountable\":true"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("{\"track\":2,\"mode\":\"AUDIO\",\"start\":450,\"pregap\":150,\"pregapInFile\":150,"
                            "\"length\":150,"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("\"code\":\"USAB12345678\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"title\":\"A disc\""), std::string::npos) << r.output;
  }
  std::string big = "FILE d.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
  big.resize(131072, ' ');
  test::WriteFileText(dir / "big.cue", big);
  auto r = test::Run(kvimage + " layout " + test::Quote((dir / "big.cue").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("not a cue sheet or media descriptor"), std::string::npos) << r.output;
  r = test::Run(kvimage + " layout --help");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("Usage: kvimage layout"), std::string::npos);
}

}  // namespace
}  // namespace kv
