// Linux paths in the NT form of a MountRequest name.
#include "platform/ntpath.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace kv::test {
namespace {

TEST(LinuxPathToNt, AbsoluteRelativeAndRefused) {
  std::u16string nt;
  ASSERT_TRUE(platform::LinuxPathToNt("/srv/images/x.iso", &nt));
  EXPECT_EQ(nt, u"\\??\\C:\\srv\\images\\x.iso");
  ASSERT_TRUE(platform::LinuxPathToNt("/tmp/\xC3\xA9t\xC3\xA9.iso", &nt));
  EXPECT_EQ(nt, u"\\??\\C:\\tmp\\\u00E9t\u00E9.iso");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir("/usr"), 0);
  EXPECT_TRUE(platform::LinuxPathToNt("share/a.iso", &nt));
  EXPECT_EQ(nt, u"\\??\\C:\\usr\\share\\a.iso");
  ASSERT_EQ(chdir(cwd), 0);
  // A backslash inside a Linux name would come back as a folder separator.
  EXPECT_FALSE(platform::LinuxPathToNt("/tmp/a\\b.iso", &nt));
  EXPECT_FALSE(platform::LinuxPathToNt("", &nt));
}

}  // namespace
}  // namespace kv::test
