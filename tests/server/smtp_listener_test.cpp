// The SMTP listener on the real main loop with real sockets and a gateway
// that records what reaches its hooks: relays that cannot be found or
// reached bounce their messages; relay connections are capped and the rest
// wait in order, with the SMTP port taken or not; silent connections are closed (an outgoing one bounces);
// a peer that does not read makes the server stop reading, not drop or pile
// up replies.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "platform/main_loop.h"
#include "server/mail/smtp_gateway.h"
#include "server/mail/smtp_listener.h"
#include "server/mail/smtp_session.h"
#include "support/scoped_root.h"
#include "support/server_process.h"
#include "support/smtp_peers.h"

namespace {

using qn::test::ScriptedRelay;
using qn::test::SmtpClient;

struct Delivered {
  std::vector<std::string> recipients;
  std::string sender, subject, body;
};

class RecordingGateway : public CSmtpGateway {
 public:
  explicit RecordingGateway(const SmtpGatewayConfig& config) : CSmtpGateway(true, "Test Gateway", config) {}
  bool VerifyRecipient(const std::string& name) override { return name == "ann"; }
  bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                      const std::string& subject, const std::string& body, std::string&) override {
    delivered.push_back({recipients, sender, subject, body});
    return true;
  }
  std::vector<Delivered> delivered;
};

class SmtpListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    smtpPort_ = qn::test::FindFreePort();
    relayPort_ = qn::test::FindFreePort();
    CQuillnetRegistry registry;
    registry.WriteDWORD("SMTP", "Port", smtpPort_);
    registry.WriteDWORD("SMTP", "MailRelayPort", relayPort_);
  }
  void TearDown() override {
    gateway_.reset();
    RunFor(std::chrono::milliseconds(0));
  }
  CSmtpListener& Start(const std::string& relay, int32_t maxConnections = 10) {
    SmtpGatewayConfig config;
    config.relayAddress = relay;
    config.primaryDomain = "q.example";
    config.maxConnections = maxConnections;
    gateway_.reset();
    gateway_ = std::make_unique<RecordingGateway>(config);
    auto* listener = dynamic_cast<CSmtpListener*>(gateway_->GetListener());
    EXPECT_NE(listener, nullptr);
    return *listener;
  }
  static void RunFor(std::chrono::milliseconds time) {
    qn::MainLoop().restart();
    qn::MainLoop().run_for(time);
    qn::MainLoop().restart();
    while (qn::MainLoop().poll() != 0) {
    }
  }
  // Runs the loop until `condition` holds; false after 10 s.
  static bool RunUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      RunFor(std::chrono::milliseconds(5));
    }
    return true;
  }
  bool Relay(const std::string& subject) {
    return gateway_->RelayToInternet("ann", "Ann", {"x@far.example"}, subject, "body");
  }

  qn::test::ScopedRoot root_;
  uint16_t smtpPort_ = 0, relayPort_ = 0;
  std::unique_ptr<RecordingGateway> gateway_;
};

TEST_F(SmtpListenerTest, RelaysThatCannotBeFoundOrReachedBounce) {
  // A name is looked up even when it begins with a digit; nothing listens
  // behind the dotted address.
  for (const std::string relay : {"relay.invalid", "1relay.invalid", "127.0.0.1"}) {
    CSmtpListener& listener = Start(relay);
    ASSERT_TRUE(Relay("Lost " + relay));
    ASSERT_TRUE(RunUntil([&] { return gateway_->delivered.size() == 1; })) << relay;
    const Delivered& bounce = gateway_->delivered[0];
    EXPECT_EQ(bounce.recipients, std::vector<std::string>{"ann"});
    EXPECT_EQ(bounce.sender, "Test Gateway");
    EXPECT_EQ(bounce.subject, "Mail returned to sender");
    EXPECT_EQ(bounce.body.rfind("Your message could not be delivered to any of the recipients.\r\n"
                                "The following error was returned by the mail relay:\r\n\r\n"
                                "Connection to relay unexpectedly closed\r\n",
                                0),
              0u)
        << bounce.body;
    EXPECT_NE(bounce.body.find("\r\nFrom: Ann <ann@q.example>\r\nSubject: Lost " + relay + "\r\n"),
              std::string::npos);
    EXPECT_EQ((listener.GetStatus() & CSmtpListenerBase::kRelayKnown) != 0, relay == "127.0.0.1");
    RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(gateway_->delivered.size(), 1u);
    EXPECT_EQ(listener.GetSessionCount(), 0u);
  }
}

TEST_F(SmtpListenerTest, RelayConnectionsAreCappedAndTheRestWaitInOrder) {
  ScriptedRelay relay;
  ASSERT_TRUE(relay.Start(relayPort_, ScriptedRelay::Mode::kAccept));
  // The SMTP port is taken: relaying works all the same.
  ScriptedRelay squatter;
  ASSERT_TRUE(squatter.Start(smtpPort_, ScriptedRelay::Mode::kSilent));
  CSmtpListener& listener = Start("127.0.0.1", 2);
  EXPECT_EQ(listener.GetStatus() & CSmtpListenerBase::kListening, 0u);
  EXPECT_NE(listener.GetListenFailure().find("port " + std::to_string(smtpPort_)), std::string::npos);
  EXPECT_NE(gateway_->IsRunning(), 0u);
  for (int i = 1; i <= 6; ++i) ASSERT_TRUE(Relay("Letter " + std::to_string(i)));
  EXPECT_EQ(listener.GetRelayConnectionCount(), 2u);
  EXPECT_EQ(listener.GetWaitingCount(), 4u);
  size_t most = 0;
  std::vector<std::string> heard;
  ASSERT_TRUE(RunUntil([&] {
    most = std::max(most, listener.GetRelayConnectionCount());
    heard = relay.WaitTranscripts(0, 0);
    return heard.size() == 6 && listener.GetSessionCount() == 0;
  }));
  EXPECT_EQ(most, 2u);
  for (size_t i = 0; i < heard.size(); ++i)
    EXPECT_NE(heard[i].find("\r\nSubject: Letter " + std::to_string(i + 1) + "\r\n"), std::string::npos)
        << i;
  EXPECT_TRUE(gateway_->delivered.empty());
}

TEST_F(SmtpListenerTest, SilentConnectionsAreClosed) {
  ScriptedRelay relay;
  ASSERT_TRUE(relay.Start(relayPort_, ScriptedRelay::Mode::kSilent));
  CSmtpListener& listener = Start("127.0.0.1");
  ASSERT_EQ(listener.GetListeningPort(), smtpPort_);
  SmtpClient client;
  ASSERT_TRUE(client.Connect(smtpPort_));
  ASSERT_TRUE(Relay("Unanswered"));
  ASSERT_TRUE(RunUntil([&] { return listener.GetSessionCount() == 2 && relay.Accepted() == 1; }));
  RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(client.ReadReply(0).rfind("220 ", 0), 0u);

  const auto now = std::chrono::steady_clock::now();
  listener.CloseIdleSessions(now + CSmtpListener::kSilenceLimit - std::chrono::seconds(2));
  EXPECT_EQ(listener.GetSessionCount(), 2u);
  listener.CloseIdleSessions(now + CSmtpListener::kSilenceLimit);
  EXPECT_EQ(listener.GetSessionCount(), 0u);
  RunFor(std::chrono::milliseconds(0));
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_EQ(gateway_->delivered.size(), 1u);
  EXPECT_NE(gateway_->delivered[0].body.find("Connection to relay unexpectedly closed"),
            std::string::npos);
}

TEST_F(SmtpListenerTest, WhatTheRelayHasNotTakenIsCountedAndGoesBackToItsSendersAtStop) {
  const auto weight = [](int i) {
    return RelayMessageBytes("ann", "Ann", "x@far.example", "Held " + std::to_string(i), "body");
  };
  // Relayed messages leave the count.
  ScriptedRelay relay;
  ASSERT_TRUE(relay.Start(relayPort_, ScriptedRelay::Mode::kAccept));
  CSmtpListener& listener = Start("127.0.0.1", 2);
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(Relay("Held " + std::to_string(i)));
  EXPECT_EQ(listener.GetRelayBacklog().messages, 3u);
  EXPECT_EQ(listener.GetRelayBacklog().bytes, weight(1) + weight(2) + weight(3));
  ASSERT_TRUE(RunUntil([&] { return listener.GetSessionCount() == 0; }));
  EXPECT_EQ(listener.GetRelayBacklog().messages, 0u);
  EXPECT_EQ(listener.GetRelayBacklog().bytes, 0u);
  relay.Stop();

  // A relay that greets and then says nothing: two messages on connections
  // and three waiting, all counted, and promises counted beside them.
  ASSERT_TRUE(relay.Start(relayPort_, ScriptedRelay::Mode::kHang));
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(Relay("Held " + std::to_string(i)));
  ASSERT_TRUE(RunUntil([&] { return relay.Accepted() == 1; }));
  const RelayLoad held{5, weight(1) + weight(2) + weight(3) + weight(4) + weight(5)};
  EXPECT_EQ(listener.GetRelayBacklog().messages, held.messages);
  EXPECT_EQ(listener.GetRelayBacklog().bytes, held.bytes);
  const struct {
    RelayLoad demand;
    bool room;
  } promises[] = {
      {{CSmtpGateway::kMaxRelayMessages - held.messages, 0}, true},
      {{0, CSmtpGateway::kMaxRelayBytes - held.bytes}, true},
      {{CSmtpGateway::kMaxRelayMessages - held.messages + 1, 0}, false},
      {{0, CSmtpGateway::kMaxRelayBytes - held.bytes + 1}, false},
  };
  for (const auto& p : promises) {
    EXPECT_EQ(gateway_->PromiseRelay(p.demand), p.room) << p.demand.messages << " " << p.demand.bytes;
    if (p.room) {
      EXPECT_FALSE(gateway_->PromiseRelay({1, 1}));  // the promise holds its room
      gateway_->ReleaseRelay(p.demand);
    }
  }

  // The stop: every one goes back with the reason, the waiting ones first;
  // nothing more is promised, and the closes that follow bounce nothing.
  gateway_->ReturnUnrelayed();
  ASSERT_EQ(gateway_->delivered.size(), 5u);
  const int order[] = {3, 4, 5, 1, 2};
  for (size_t i = 0; i < 5; ++i) {
    const std::string& body = gateway_->delivered[i].body;
    EXPECT_EQ(gateway_->delivered[i].subject, "Mail returned to sender");
    EXPECT_EQ(body.rfind("Your message could not be delivered to any of the recipients.\r\n"
                         "The following error was returned by the mail relay:\r\n\r\n"
                         "Server stopped before the message was relayed\r\n",
                         0),
              0u)
        << body;
    EXPECT_NE(body.find("\r\nSubject: Held " + std::to_string(order[i]) + "\r\n"), std::string::npos)
        << i;
  }
  EXPECT_FALSE(gateway_->PromiseRelay({1, 1}));
  EXPECT_FALSE(gateway_->RelayIfRoom("ann", "Ann", {"x@far.example"}, "late", "body"));
  listener.CloseIdleSessions(std::chrono::steady_clock::now() + CSmtpListener::kSilenceLimit);
  RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(listener.GetSessionCount(), 0u);
  EXPECT_EQ(gateway_->delivered.size(), 5u);
  EXPECT_EQ(listener.GetRelayBacklog().messages, 0u);
}

TEST_F(SmtpListenerTest, APeerThatDoesNotReadStopsTheReadingNotTheReplies) {
  CSmtpListener& listener = Start("127.0.0.1");
  SmtpClient client;
  ASSERT_TRUE(client.Connect(smtpPort_));
  constexpr int kLines = 200000;
  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::string lines;
    for (int i = 0; i < kLines; ++i) lines += "HELP\r\n";
    written = client.Send(lines + "QUIT\r\n");
  });
  // The server reads until its replies back up, then waits with at most
  // the pause mark's worth of them.
  size_t most = 0;
  const auto track = [&] {
    if (CSmtpSession* session = listener.FindSession(1)) most = std::max(most, session->GetPendingOutput());
  };
  for (int i = 0; i < 40; ++i) {
    RunFor(std::chrono::milliseconds(5));
    track();
  }

  std::atomic<size_t> ends{0};
  std::atomic<bool> quitSeen{false}, closed{false};
  std::thread reader([&] {
    for (;;) {
      const std::string reply = client.ReadReply(10000);
      if (reply.empty()) break;
      if (reply.rfind("214-Commands:", 0) == 0 && reply.find("214 End of HELP\r\n") == reply.size() - 17)
        ++ends;
      if (reply.rfind("221 ", 0) == 0) {
        quitSeen = true;
        closed = client.WaitClosed(10000);
        break;
      }
    }
  });
  const bool finished = RunUntil([&] {
    track();
    return quitSeen && listener.GetSessionCount() == 0;
  });
  EXPECT_TRUE(finished);
  if (!finished) ::shutdown(client.fd(), SHUT_RDWR);
  reader.join();
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(ends, static_cast<size_t>(kLines));
  EXPECT_TRUE(closed);
  // The pause mark, and one reply past it (QUIT's names the host).
  EXPECT_LE(most, qn::smtp::Dialogue::kOutputPause + 512);
}

}  // namespace
