// The outbox against real peers: aiosmtpd with implicit TLS stopped while
// rows fail and started again on the same port, a corrupt file found at
// start-up, and a recovery mail as it arrives. Failing rows are loopback
// addresses nobody listens on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::RefusingPort;
using tallyvox::testing::WriteFile;

std::string Body(const tallyvox::testing::ReceivedMessage& m) {
  const size_t at = m.data.find("\r\n\r\n");
  return at == std::string::npos ? "" : m.data.substr(at + 4);
}

// The alert text of each body, without " (raised ...)" and the line end.
std::vector<std::string> AlertTexts(const std::vector<tallyvox::testing::ReceivedMessage>& mails) {
  std::vector<std::string> texts;
  for (const auto& m : mails) {
    const std::string body = Body(m);
    texts.push_back(body.substr(0, std::min(body.find(" (raised "), body.find("\r\n"))));
  }
  return texts;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  OutboxEnv::Default()->ListFolder(folder, &names);
  return names;
}

class OutboxRealTest : public PeersTest {
 protected:
  Settings MakeSettings(int mail_port) {
    Settings s =
        TestSettings(MakeAuditTable(dir_), refused_.port(), mail_port, peers_->ca.ca_cert_file());
    s.alerts.outbox = outbox_;
    return s;
  }
  std::unique_ptr<AiosmtpdServer> StartSink(int port) {
    return std::make_unique<AiosmtpdServer>(peers_->ca.Localhost(), kMailUser, kMailPassword, port);
  }

  RefusingPort refused_;  // the probe port: every probe is refused
  std::string outbox_ = dir_.File("outbox");
};

TEST_F(OutboxRealTest, SinkStoppedWhileRowsFailThenStartedGetsEveryQueuedAlertOnceInOrder) {
  RefusingPort held("127.0.0.1", /*shared=*/true);  // the sink's port, kept across restarts
  RealMonitor m(MakeSettings(held.port()));
  for (int row : {5, 13, 40}) m.Row(row, "127.0.4." + std::to_string(row));
  auto sink = StartSink(held.port());
  m.monitor().DoPoll();  // the sink is up: straight through
  EXPECT_EQ(AlertTexts(sink->Messages(3)),
            (std::vector<std::string>{"IP 127.0.4.5 Is Down!", "IP 127.0.4.13 Is Down!",
                                      "IP 127.0.4.40 Is Down!"}));
  // The queue is delivered by the retry timer's work, or behind a new alert.
  for (const bool by_new_alert : {false, true}) {
    SCOPED_TRACE(by_new_alert ? "behind a new alert" : "by a retry");
    sink.reset();  // stopped: connects are refused
    const size_t boxes = m.view.messages.size();
    m.monitor().DoPoll();
    m.monitor().DoPoll();
    EXPECT_EQ(m.view.messages.size(), boxes + 6);  // one failed attempt per alert
    for (const std::string& box :
         std::vector<std::string>(m.view.messages.begin() + boxes, m.view.messages.end())) {
      EXPECT_NE(box.find("refused"), std::string::npos) << box;
    }
    EXPECT_EQ(Names(outbox_).size(), 6u);
    EXPECT_TRUE(m.assembly->dispatch().RetryScheduled());

    sink = StartSink(held.port());
    std::vector<std::string> expected;
    for (int cycle = 0; cycle < 2; ++cycle) {
      for (int row : {5, 13, 40})
        expected.push_back("IP 127.0.4." + std::to_string(row) + " Is Down!");
    }
    if (by_new_alert) {
      m.view.inputs.SetChecked(Roster::Row(13).check_box, false);
      m.view.inputs.SetChecked(Roster::Row(40).check_box, false);
      m.monitor().DoPoll();  // row 5 fails once more
      m.view.inputs.SetChecked(Roster::Row(13).check_box, true);
      m.view.inputs.SetChecked(Roster::Row(40).check_box, true);
      expected.push_back("IP 127.0.4.5 Is Down!");
    } else {
      m.assembly->dispatch().Retry();
    }
    const auto mails = sink->Messages(expected.size());
    EXPECT_EQ(AlertTexts(mails), expected);
    for (size_t i = 0; i < 6 && i < mails.size(); ++i) {
      EXPECT_NE(Body(mails[i]).find(" (raised "), std::string::npos) << Body(mails[i]);
      EXPECT_NE(mails[i].data.find("Subject: Server Down!"), std::string::npos);
    }
    EXPECT_TRUE(Names(outbox_).empty());
    EXPECT_FALSE(m.assembly->dispatch().RetryScheduled());
    m.assembly->dispatch().Retry();
    EXPECT_EQ(sink->Messages(expected.size() + 1, 500ms).size(), expected.size());  // once
  }
}

TEST_F(OutboxRealTest, ACorruptFileIsMovedAsideAndTheOthersAreDeliveredAtStartUp) {
  {
    Outbox outbox(outbox_, 10, nullptr);
    outbox.Open();
    const TDateTime t = EncodeDate(2025, 6, 24) + EncodeTime(11, 0, 0, 0);
    for (int i = 1; i <= 3; ++i) {
      outbox.Add({t, kDownSubject, {"erols"}, "IP 192.0.2." + std::to_string(i) + " Is Down!"});
    }
  }
  WriteFile(outbox_ + "/00000000000000000002.alert", "\x89PNG\r\n");
  const size_t before = MailsSoFar();
  RealMonitor m(MakeSettings(peers_->smtp->port()));
  ASSERT_TRUE(SpinUntil(
      [&] {
        return m.assembly->dispatch().outbox()->IsOpen() &&
               m.assembly->dispatch().outbox()->Pending().empty();
      },
      20000));
  const auto mails = peers_->smtp->Messages(before + 2);
  ASSERT_EQ(mails.size(), before + 2);
  EXPECT_EQ(Body(mails[before]), "IP 192.0.2.1 Is Down! (raised 2025-06-24 11:00:00)\r\n");
  EXPECT_EQ(Body(mails[before + 1]), "IP 192.0.2.3 Is Down! (raised 2025-06-24 11:00:00)\r\n");
  EXPECT_EQ(Names(outbox_), std::vector<std::string>{"aside"});
  EXPECT_EQ(Names(outbox_ + "/aside"), std::vector<std::string>{"00000000000000000002.alert"});
}

TEST_F(OutboxRealTest, RecoveryMailArrivesWithTheSubjectServerUp) {
  // Held (bound, not listening) so that nothing else takes it before the
  // server listens there.
  tallyvox::testing::RefusingPort held("127.0.3.1", /*shared=*/true);
  const int port = held.port();
  Settings s = MakeSettings(peers_->smtp->port());
  s.probe.port = port;
  s.alerts.policy.recovery = true;
  RealMonitor m(s);
  m.Row(2, "127.0.3.1");
  const size_t before = MailsSoFar();
  m.monitor().DoPoll();  // nobody listens yet
  MwServerProcess server({"--listen", "127.0.3.1:" + std::to_string(port)});
  ASSERT_TRUE(server.ready()) << server.Output();
  m.monitor().DoPoll();
  m.monitor().DoPoll();  // one recovery mail only
  const auto mails = peers_->smtp->Messages(before + 3, 2s);
  ASSERT_EQ(mails.size(), before + 2);
  EXPECT_NE(mails[before].data.find("Subject: Server Down!"), std::string::npos);
  EXPECT_NE(mails[before + 1].data.find("Subject: Server Up!"), std::string::npos);
  EXPECT_EQ(Body(mails[before + 1]), "IP 127.0.3.1 Is Up!\r\n");
  EXPECT_EQ(m.view.texts["Label2"], "OK 2");
}

}  // namespace
}  // namespace tallyvox::monitor::testing
