#include "manager/service_messages.h"

#include <gtest/gtest.h>

#include "common/service_command.h"
#include "platform/ui/scripted_ui.h"
#include "tests/config/config_fixture.h"

using namespace kv::manager;
using namespace kv::platform::ui;

namespace {

std::vector<uint8_t> Message(std::u16string_view text) {
  std::vector<uint8_t> m;
  for (char16_t c : text) {
    m.push_back(static_cast<uint8_t>(c));
    m.push_back(static_cast<uint8_t>(c >> 8));
  }
  m.push_back(0);
  m.push_back(0);
  return m;
}

TEST(ServiceMessages, TitleAndTextSplitAtTheFirstMarker) {
  const auto both = BalloonFromServiceMessage(Message(u"x.zip:::Error reading archive 'x.zip'.:::tail"));
  ASSERT_TRUE(both);
  EXPECT_EQ(both->title, u"x.zip");
  EXPECT_EQ(both->text, u"Error reading archive 'x.zip'.:::tail");
  EXPECT_EQ(both->icon, NIIF_WARNING);
  EXPECT_EQ(both->timeoutMs, 0u);
  const auto plain = BalloonFromServiceMessage(Message(u"only a text"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->title, u"");
  EXPECT_EQ(plain->text, u"only a text");
  const auto longOnes =
      BalloonFromServiceMessage(Message(std::u16string(100, u'T') + u":::" + std::u16string(400, u'x')));
  EXPECT_EQ(longOnes->title.size(), 64u);
  EXPECT_EQ(longOnes->text.size(), 256u);
  EXPECT_FALSE(BalloonFromServiceMessage(Message(u"")));
  EXPECT_FALSE(BalloonFromServiceMessage({}));
  EXPECT_FALSE(BalloonFromServiceMessage({'a'})) << "half a character";
  auto unterminated = Message(u"ab");
  unterminated.resize(4);
  EXPECT_EQ(BalloonFromServiceMessage(unterminated)->text, u"ab");
}

class ServicePipe : public kv::test::PrivateRegistry {};

TEST_F(ServicePipe, EachTickShowsTheLastWaitingMessageOnce) {
  int error = 0;
  auto server = kv::platform::MessagePipeServer::Create(kv::kMessagePipeName, 4, false, &error);
  ASSERT_TRUE(server) << error;
  ScriptedUi ui;
  ASSERT_TRUE(ui.AddTrayIcon({1, 0x410, 129, u"tip"}, {}));
  ServiceMessagePoller poller(ui, 1);
  poller.Tick();
  ASSERT_TRUE(poller.pipeOpen());
  EXPECT_TRUE(ui.balloons.empty());

  for (std::u16string_view text : {u"first:::one", u"second:::two"}) {
    const auto m = Message(text);
    ASSERT_EQ(server->Write(m.data(), m.size()), 1);
  }
  poller.Tick();
  ASSERT_EQ(ui.balloons.size(), 1u) << "each read replaces the one before";
  EXPECT_EQ(ui.balloons[0].title, u"second");
  EXPECT_EQ(ui.balloons[0].text, u"two");
  poller.Tick();
  EXPECT_EQ(ui.balloons.size(), 1u) << "shown once, not on every tick";

  server.reset();
  poller.Tick();
  EXPECT_EQ(ui.balloons.size(), 1u) << "a server that went away is no message";
}

TEST_F(ServicePipe, ThePipeIsTriedOnlyOnce) {
  ScriptedUi ui;
  ui.AddTrayIcon({1, 0x410, 129, u"tip"}, {});
  ServiceMessagePoller poller(ui, 1);
  poller.Tick();
  EXPECT_FALSE(poller.pipeOpen());
  int error = 0;
  auto server = kv::platform::MessagePipeServer::Create(kv::kMessagePipeName, 4, false, &error);
  ASSERT_TRUE(server);
  const auto m = Message(u"late");
  server->Write(m.data(), m.size());
  poller.Tick();
  EXPECT_FALSE(poller.pipeOpen());
  EXPECT_TRUE(ui.balloons.empty());
}

}  // namespace
