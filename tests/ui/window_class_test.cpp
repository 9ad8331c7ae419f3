#include "platform/window_class.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "common/config_names.h"
#include "tests/config/config_fixture.h"

using namespace kv::platform;

namespace {

class WindowClass : public kv::test::PrivateRegistry {};

TEST_F(WindowClass, OneLiveWindowPerClassReceivesMessagesPostedByOtherProcesses) {
  const std::u16string_view cls = kv::config::kManagerWindowClass;
  EXPECT_FALSE(FindWindowByClass(cls));
  EXPECT_FALSE(PostMessageToClass(cls, 0x421));
  int error = 0;
  auto window = WindowClassEndpoint::Register(cls, &error);
  ASSERT_TRUE(window) << error;
  EXPECT_TRUE(FindWindowByClass(cls));
  EXPECT_FALSE(FindWindowByClass(u"another class"));

  // A second instance finds the first one and does not get the class.
  EXPECT_EQ(InChild([cls] {
              int e = 0;
              return !WindowClassEndpoint::Register(cls, &e) && e == EADDRINUSE && FindWindowByClass(cls) ? 0 : 1;
            }),
            0);
  // The installer's end message from another process; a stray datagram of another size is no message.
  EXPECT_EQ(InChild([cls] {
              const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
              sockaddr_un a{};
              a.sun_family = AF_UNIX;
              const std::string path = WindowClassSocketPath(cls);
              std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
              const char junk[5] = "junk";
              sendto(fd, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
              close(fd);
              return PostMessageToClass(cls, 0x421, 7, 0x123456789) ? 0 : 1;
            }),
            0);
  PostedMessage m{};
  ASSERT_TRUE(window->Take(&m));
  EXPECT_EQ(m.message, 0x421u);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_EQ(m.lParam, 0x123456789u);
  EXPECT_FALSE(window->Take(&m)) << "nothing more waits";

  window.reset();
  EXPECT_FALSE(FindWindowByClass(cls)) << "gone with its owner";
}

TEST_F(WindowClass, AWindowLeftByADeadProcessIsReplaced) {
  const std::u16string_view cls = kv::config::kManagerWindowClass;
  // The child registers and ends without cleaning up.
  ASSERT_EQ(InChild([cls] {
              int e = 0;
              auto w = WindowClassEndpoint::Register(cls, &e);
              if (!w) return 1;
              _exit(0);
            }),
            0);
  EXPECT_EQ(access(WindowClassSocketPath(cls).c_str(), F_OK), 0) << "the socket file is left behind";
  EXPECT_FALSE(FindWindowByClass(cls));
  int error = 0;
  auto window = WindowClassEndpoint::Register(cls, &error);
  ASSERT_TRUE(window) << error;
  EXPECT_TRUE(PostMessageToClass(cls, 0x420));
  PostedMessage m{};
  ASSERT_TRUE(window->Take(&m));
  EXPECT_EQ(m.message, 0x420u);
}

}  // namespace
