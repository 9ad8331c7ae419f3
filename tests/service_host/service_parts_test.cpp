// Pieces of the service in one process: the checks of a command's fields, the client's paths, the
// message rules on a real pipe, and the service manager's answers to wrong requests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/service_command.h"
#include "manager/service_client.h"
#include "platform/devio.h"
#include "platform/event_log.h"
#include "platform/message_pipe.h"
#include "platform/service_control.h"
#include "service/host/commands.h"
#include "service/host/message_sender.h"
#include "tests/fixtures/test_support.h"

namespace kv::test {
namespace {

using namespace kv::platform;

// Every case runs in its own platform root.
class PrivateRoot : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KV_PLATFORM_ROOT", (dir_ / "root").c_str(), 1); }
  TempDir dir_;
};

TEST(CommandFields, OutOfRangeFieldsAreRefusedWithoutReadingPastTheRecord) {
  struct Case {
    const char* what;
    std::vector<uint8_t> record;
    bool valid;
  };
  auto noNulPath = manager::SimpleRecord(kCommandMountArchive, 0);
  std::fill(noNulPath.begin() + 12, noNulPath.begin() + 12 + 2048, 'a');
  auto noNulPassword = manager::MountArchiveRecord(0, u"C:\\a.zip", u"");
  std::fill(noNulPassword.begin() + kCommandPasswordOffset, noNulPassword.end(), 'p');
  auto longRequest = manager::MountImageRecord(3, u"C:\\a.iso", std::vector<uint8_t>(100, 1));
  const uint32_t tooLong = kCommandRequestMax + 1;
  std::memcpy(longRequest.data() + kCommandRequestLengthOffset, &tooLong, 4);
  auto fullRequest = manager::MountImageRecord(3, u"C:\\a.iso", std::vector<uint8_t>(kCommandRequestMax, 1));
  const std::vector<Case> cases = {
      {"unknown command 0", manager::SimpleRecord(0, 0), false},
      {"unknown command 7", manager::SimpleRecord(7, 0), false},
      {"unmount drive -1", manager::SimpleRecord(kCommandUnmount, -1), false},
      {"unmount drive 23", manager::SimpleRecord(kCommandUnmount, 23), false},
      {"unmount drive 22", manager::SimpleRecord(kCommandUnmount, 22), true},
      {"letter drive 99", manager::SimpleRecord(kCommandReapplyLetter, 99), false},
      {"archive on drive 23", manager::MountArchiveRecord(23, u"C:\\a.zip", u""), false},
      {"archive path without NUL", noNulPath, false},
      {"archive password without NUL", noNulPassword, false},
      {"archive", manager::MountArchiveRecord(0, u"C:\\a.zip", u"secret"), true},
      {"request longer than the area", longRequest, false},
      {"request filling the area", fullRequest, true},
      {"drive count -1", manager::SimpleRecord(kCommandSetDriveCount, -1), false},
      {"drive count 30", manager::SimpleRecord(kCommandSetDriveCount, 30), true},
      {"language 0", manager::SimpleRecord(kCommandSetLanguage, 0), false},
      {"language 65536", manager::SimpleRecord(kCommandSetLanguage, 65536), false},
      {"language 1031", manager::SimpleRecord(kCommandSetLanguage, 1031), true},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.record.size(), kCommandRecordSize) << c.what;
    // Exactly the record, so that a read past it is caught by the sanitizers.
    auto exact = std::make_unique<uint8_t[]>(kCommandRecordSize);
    std::memcpy(exact.get(), c.record.data(), kCommandRecordSize);
    EXPECT_EQ(service::CommandFieldsValid(exact.get()), c.valid) << c.what;
    if (!c.valid) {
      service::CommandContext nothing;  // an invalid command never reaches any of it
      ServiceReply reply{};
      service::ExecuteCommand(nothing, exact.get(), &reply);
      EXPECT_EQ(reply.Failed, 1u) << c.what;
      EXPECT_EQ(reply.ArrivedLetters | reply.RemovedLetters, 0u) << c.what;
    }
  }
}

TEST(CommandFields, ClientPathsBecomeFilesOfThisSystem) {
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {u"C:\\srv\\a.zip", "/srv/a.zip"},
      {u"c:\\a b\\x.7z", "/a b/x.7z"},
      {u"/srv/a.zip", "/srv/a.zip"},
      {u"D:\\a.zip", ""},
      {u"\\\\server\\share\\a.zip", ""},
      {u"a.zip", ""},
      {u"C:a.zip", ""},
      {u"C:\\odd/slash", ""},
      {u"/odd\\slash", ""},
      {u"", ""},
  };
  for (const auto& [path, file] : cases)
    EXPECT_EQ(service::ClientPathToLinux(path), file) << std::string(path.begin(), path.end());
}

TEST(CommandFields, LetterMasks) {
  EXPECT_EQ(manager::LetterMaskText(0), "-");
  EXPECT_EQ(manager::LetterMaskText((1u << 3) | (1u << 4)), "D: E:");
}

// Reads what is waiting on the pipe now.
std::vector<std::u16string> Drain(MessagePipeClient& client) {
  std::vector<std::u16string> texts;
  std::vector<uint8_t> m;
  bool closed = false;
  while (client.Read(&m, 0, &closed)) {
    std::u16string t(m.size() / 2, u'\0');
    std::memcpy(t.data(), m.data(), t.size() * 2);
    texts.push_back(t);
  }
  return texts;
}

TEST_F(PrivateRoot, MessagesKeepTheirRateAndNeverWaitForAReader) {
  int error = 0;
  auto server = MessagePipeServer::Create(kMessagePipeName, 255, true, &error);
  ASSERT_TRUE(server) << error;
  int64_t now = 100000;
  service::MessageSender sender(server.get(), [&] { return now; });
  auto client = MessagePipeClient::Connect(kMessagePipeName, &error);
  ASSERT_TRUE(client) << error;

  EXPECT_TRUE(sender.Send(u"Failed reading:::a.txt"));
  now += 999;
  EXPECT_FALSE(sender.Send(u"other")) << "any two within a second";
  now += 1;
  EXPECT_FALSE(sender.Send(u"Failed reading:::a.txt")) << "the same text within ten seconds";
  EXPECT_TRUE(sender.Send(u"other"));
  now += 1000;
  EXPECT_TRUE(sender.Send(u"Failed reading:::a.txt")) << "the same text again after another message";
  now += 10000;
  EXPECT_TRUE(sender.Send(u"Failed reading:::a.txt"));
  now += 1000;
  EXPECT_TRUE(sender.Send(std::u16string(5000, u'x')));

  uint32_t waiting = 0;
  ASSERT_TRUE(client->Peek(&waiting));
  EXPECT_EQ(waiting, (std::u16string(u"Failed reading:::a.txt").size() + 1) * 2) << "peek: the first message's size";
  const auto texts = Drain(*client);
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], std::u16string(u"Failed reading:::a.txt", 22) + u'\0');
  EXPECT_EQ(texts[1], std::u16string(u"other", 5) + u'\0');
  EXPECT_EQ(texts[4].size(), kMaxMessageChars + 1) << "cut at 2,047 characters, then the NUL";

  // A reader that never reads: the sender goes on, messages beyond its buffer are lost.
  for (int i = 0; i < 20000; ++i) {
    now += 1000;
    ASSERT_TRUE(sender.Send(u"flood " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26))));
  }
  const auto kept = Drain(*client);
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LT(kept.size(), 20000u);

  // Clients that leave are dropped; a server without clients loses the message.
  client.reset();
  EXPECT_EQ(server->ClientCount(), 0);
  now += 1000;
  EXPECT_TRUE(sender.Send(u"nobody listens"));
}

TEST_F(PrivateRoot, PipeNamesInstancesAndDeadServers) {
  int error = 0;
  EXPECT_FALSE(MessagePipeServer::Create("KVServicePipeMsg", 1, false, &error));
  EXPECT_FALSE(MessagePipeServer::Create("\\\\.\\pipe\\a/b", 1, false, &error));
  EXPECT_FALSE(MessagePipeClient::Connect(kMessagePipeName, &error));
  auto server = MessagePipeServer::Create(kMessagePipeName, 2, false, &error);
  ASSERT_TRUE(server);
  EXPECT_FALSE(MessagePipeServer::Create(kMessagePipeName, 2, false, &error)) << "a live server keeps its name";
  EXPECT_EQ(error, EADDRINUSE);
  auto a = MessagePipeClient::Connect(kMessagePipeName, &error);
  auto b = MessagePipeClient::Connect(kMessagePipeName, &error);
  auto c = MessagePipeClient::Connect(kMessagePipeName, &error);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(server->Write("hi", 3), 2) << "two instances";
  std::vector<uint8_t> m;
  bool closed = false;
  EXPECT_FALSE(c->Read(&m, 1000, &closed));
  EXPECT_TRUE(closed) << "the third client was turned away";
  server.reset();
  ASSERT_TRUE(a->Read(&m, 1000, &closed));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data())), "hi");
  EXPECT_FALSE(a->Read(&m, 1000, &closed));
  EXPECT_TRUE(closed);
}

TEST_F(PrivateRoot, ServiceManagerRefusesWhatWindowsRefuses) {
  if (geteuid() != 0) GTEST_SKIP() << "services are recorded in the machine's registry (root)";
  ServiceConfig c;
  c.name = u"probe";
  c.imagePath = u"/nonexistent/program";
  ASSERT_TRUE(CreateService(c));
  EXPECT_FALSE(CreateService(c));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_FALSE(StartService(u"probe"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SERVICE_STATUS s{};
  EXPECT_FALSE(ControlService(u"probe", SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  ASSERT_TRUE(QueryServiceStatus(u"probe", &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(DeleteService(u"probe"));
  EXPECT_FALSE(DeleteService(u"probe"));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(StartServiceCtrlDispatcher(u"probe", [] {}));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandler(u"probe", [](uint32_t) {}), 0u);

  const EventSourceHandle source = RegisterEventSource(u"probe");
  ASSERT_NE(source, 0u);
  EXPECT_TRUE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 104, {}));
  EXPECT_TRUE(ReportEvent(source, EVENTLOG_INFORMATION_TYPE, 100, {u"probe", u"zwei \u00fc"}));
  DeregisterEventSource(source);
  const auto events = ReadEventLog(u"probe");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].eventId, 104u);
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[1].strings, (std::vector<std::u16string>{u"probe", u"zwei \u00fc"}));
  EXPECT_TRUE(ReadEventLog(u"other").empty());
}

}  // namespace
}  // namespace kv::test
