// Alertmanager behind the one alert dispatch: a row fires once its alert is
// raised (after confirm), is re-sent with its first start while it fails and
// resolved by its next answer; the watchdog's alert fires until a probe
// finishes; every URL gets every post, off the monitor's thread; failures
// are reported per URL, and the first success after them. The JSON the API
// takes, its strings escaped.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alerts/alertmanager_feed.h"
#include "support/alert_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using std::chrono::system_clock;

TEST(AlertmanagerJsonTest, EscapesWhatJsonCannotHoldAndWritesUtcTimes) {
  struct Case {
    std::string text;
    std::string json;
  };
  const Case cases[] = {
      {"IP 10.0.0.5 Is Down!", "\"IP 10.0.0.5 Is Down!\""},
      {"a \"quoted\" c:\\apps", "\"a \\\"quoted\\\" c:\\\\apps\""},
      {"two\r\nlines\tand\x1b[0m\x7f", "\"two\\r\\nlines\\tand\\u001b[0m\\u007f\""},
      {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"caf\xe9!", "\"caf\\ufffd!\""},
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate is no UTF-8
  };
  for (const Case& c : cases) EXPECT_EQ(JsonText(c.text), c.json) << c.text;

  AmAlert a;
  a.alertname = "TallyvoxServerDown";
  a.row = 5;
  a.address = "10.0.0.5";
  a.summary = "IP 10.0.0.5 Is Down!";
  a.starts = system_clock::time_point(1750770309250ms);  // 2025-06-24T13:05:09.250Z
  a.ends = a.starts + 5min;
  AmAlert w;
  w.alertname = "TallyvoxNotResponding";
  w.address = "10.0.0.5";
  w.summary = "IP 10.0.0.5 Is Not Responding!";
  w.starts = w.ends = a.starts;
  EXPECT_EQ(AlertsJson({a, w}, "site-a"),
            "[{\"labels\":{\"alertname\":\"TallyvoxServerDown\",\"row\":\"5\",\"address\":"
            "\"10.0.0.5\",\"instance\":\"site-a\"},\"annotations\":{\"summary\":\"IP 10.0.0.5 "
            "Is Down!\"},\"startsAt\":\"2025-06-24T13:05:09.250Z\",\"endsAt\":"
            "\"2025-06-24T13:10:09.250Z\"},"
            "{\"labels\":{\"alertname\":\"TallyvoxNotResponding\",\"address\":\"10.0.0.5\","
            "\"instance\":\"site-a\"},\"annotations\":{\"summary\":\"IP 10.0.0.5 Is Not "
            "Responding!\"},\"startsAt\":\"2025-06-24T13:05:09.250Z\",\"endsAt\":"
            "\"2025-06-24T13:05:09.250Z\"}]");
  EXPECT_EQ(AlertsJson({}, "x"), "[]");
}

// Records each post; `failing` URLs answer with an error.
class FakeAlertPost : public AlertPost {
 public:
  std::string Post(const std::string& url, const std::string& alerts) override {
    std::lock_guard<std::mutex> lock(mu);
    posts.push_back(url + " " + alerts);
    for (const std::string& f : failing) {
      if (f == url) return "Socket Error # 10061 Connection refused.";
    }
    return "";
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::exchange(posts, {});
  }
  std::mutex mu;
  std::vector<std::string> posts;
  std::vector<std::string> failing;
};

struct PostNotes : MonitorObserver {
  void AlertmanagerPosted(const AlertmanagerEvent& e) override {
    events.push_back(e.url + (e.ok ? " ok " : " failed ") + std::to_string(e.alerts) + " " +
                     e.error);
  }
  std::vector<std::string> events;
};

class AlertmanagerFeedTest : public ::testing::Test {
 protected:
  AlertmanagerFeedTest() {
    AlertSettings s;
    s.policy.confirm = 2;
    m_ = std::make_unique<DispatchMonitor>(s);
    m_->observers.Add(&notes_);
    feed_ = std::make_unique<AlertmanagerFeed>(
        std::vector<std::string>{"http://a:9093", "http://b:9093"}, "site-a", post_, &m_->observers,
        [this] { return now_; });
    m_->dispatch->SetAlertmanager(feed_.get());
    m_->Tick({5, 13});
  }
  ~AlertmanagerFeedTest() override { m_->dispatch->SetAlertmanager(nullptr); }
  // A cycle at `seconds` after the start in which `rows` fail; the posts it
  // made (waited for, as the monitor's event loop would).
  std::vector<std::string> Cycle(int seconds, std::initializer_list<int> rows, size_t posts) {
    now_ = start_ + std::chrono::seconds(seconds);
    m_->probe.down.clear();
    for (int row : rows) m_->probe.down.push_back(FakeMonitor::Address(row));
    m_->monitor->DoPoll();
    std::vector<std::string> got;
    SpinUntil(
        [&] {
          for (const std::string& p : post_.Take()) got.push_back(p);
          // Not a busy loop: the posting thread needs the fake's lock too.
          std::this_thread::sleep_for(2ms);
          return got.size() >= posts;
        },
        2000);
    SpinUntil([] { return false; }, 50);  // a post more than expected shows
    for (const std::string& p : post_.Take()) got.push_back(p);
    return got;
  }
  static std::string Down(int row, const std::string& starts, const std::string& ends) {
    const std::string a = FakeMonitor::Address(row);
    return "{\"labels\":{\"alertname\":\"TallyvoxServerDown\",\"row\":\"" + std::to_string(row) +
           "\",\"address\":\"" + a +
           "\",\"instance\":\"site-a\"},\"annotations\":{\"summary\":"
           "\"IP " +
           a + " Is Down!\"},\"startsAt\":\"" + starts + "\",\"endsAt\":\"" + ends + "\"}";
  }

  system_clock::time_point start_ = system_clock::time_point(1750770300000ms);  // 13:05:00Z
  system_clock::time_point now_ = start_;
  FakeAlertPost post_;
  PostNotes notes_;
  std::unique_ptr<DispatchMonitor> m_;
  std::unique_ptr<AlertmanagerFeed> feed_;
};

TEST_F(AlertmanagerFeedTest, ARaisedRowFiresIsResentWhileItFailsAndIsResolvedByItsAnswer) {
  // Held back by confirm = 2: nothing fires yet, nothing is posted.
  EXPECT_EQ(Cycle(0, {5}, 0), std::vector<std::string>{});
  EXPECT_FALSE(feed_->Firing(5));
  // Raised: every URL gets it, started at this probe, ending 5 min ahead.
  const std::string fired = Down(5, "2025-06-24T13:06:00.000Z", "2025-06-24T13:11:00.000Z");
  EXPECT_EQ(Cycle(60, {5}, 2), (std::vector<std::string>{"http://a:9093 [" + fired + "]",
                                                         "http://b:9093 [" + fired + "]"}));
  // Still failing: re-sent with its first start and a later end.
  const std::string again = Down(5, "2025-06-24T13:06:00.000Z", "2025-06-24T13:12:00.000Z");
  EXPECT_EQ(Cycle(120, {5}, 2), (std::vector<std::string>{"http://a:9093 [" + again + "]",
                                                          "http://b:9093 [" + again + "]"}));
  // Answered: resolved with endsAt now, for three posts (no recovery mail).
  const std::string resolved = Down(5, "2025-06-24T13:06:00.000Z", "2025-06-24T13:08:00.000Z");
  for (int i = 0; i < AlertmanagerFeed::kResolvedPosts; ++i) {
    EXPECT_EQ(Cycle(180 + 60 * i, {}, 2),
              (std::vector<std::string>{"http://a:9093 [" + resolved + "]",
                                        "http://b:9093 [" + resolved + "]"}))
        << i;
  }
  EXPECT_EQ(Cycle(400, {}, 0), std::vector<std::string>{});
  EXPECT_FALSE(feed_->Firing(5));
  // The mail went its own way: an alert at each failure from the second
  // on (no reminder interval), and no recovery mail.
  const std::vector<std::string> sends = m_->TakeSends();
  EXPECT_EQ(sends.size(), 2u);
  for (const std::string& send : sends) EXPECT_EQ(send.find("Is Up!"), std::string::npos) << send;
}

TEST_F(AlertmanagerFeedTest, AFiringRowWhoseBoxIsUntickedIsResolvedNotResentForever) {
  Cycle(0, {5}, 0);
  Cycle(60, {5}, 2);
  ASSERT_TRUE(feed_->Firing(5));
  // Row 5 unticked: no probe of it will ever answer; the next whole cycle
  // resolves its alert (endsAt now), then it is no longer posted.
  m_->view.inputs.SetChecked(Roster::Row(5).check_box, false);
  const std::string resolved = Down(5, "2025-06-24T13:06:00.000Z", "2025-06-24T13:07:00.000Z");
  EXPECT_EQ(Cycle(120, {5}, 2), (std::vector<std::string>{"http://a:9093 [" + resolved + "]",
                                                          "http://b:9093 [" + resolved + "]"}));
  EXPECT_FALSE(feed_->Firing(5));
}

TEST_F(AlertmanagerFeedTest, FailuresAreReportedPerUrlAndTheFirstSuccessAfterThem) {
  post_.failing = {"http://b:9093"};
  Cycle(0, {5}, 0);
  EXPECT_EQ(Cycle(10, {5}, 2).size(), 2u);
  EXPECT_EQ(notes_.events, (std::vector<std::string>{
                               "http://b:9093 failed 1 Socket Error # 10061 Connection refused."}));
  EXPECT_EQ(Cycle(20, {5}, 2).size(), 2u);  // tried again with the next resend
  post_.failing.clear();
  Cycle(30, {5}, 2);
  Cycle(40, {5}, 2);
  EXPECT_EQ(notes_.events, (std::vector<std::string>{
                               "http://b:9093 failed 1 Socket Error # 10061 Connection refused.",
                               "http://b:9093 failed 1 Socket Error # 10061 Connection refused.",
                               "http://b:9093 ok 1 "}));
}

TEST_F(AlertmanagerFeedTest, TheWatchdogsAlertFiresUntilAProbeFinishes) {
  now_ = start_;
  m_->dispatch->WatchdogChecked("10.0.0.13", true);
  std::vector<std::string> got;
  SpinUntil(
      [&] {
        for (const std::string& p : post_.Take()) got.push_back(p);
        return got.size() >= 2;
      },
      2000);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("\"alertname\":\"TallyvoxNotResponding\",\"address\":\"10.0.0.13\""),
            std::string::npos)
      << got[0];
  EXPECT_NE(got[0].find("\"summary\":\"IP 10.0.0.13 Is Not Responding!\""), std::string::npos);
  EXPECT_NE(got[0].find("\"endsAt\":\"2025-06-24T13:10:00.000Z\""), std::string::npos);
  // A probe finished: resolved, with endsAt then.
  got = Cycle(30, {}, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("TallyvoxNotResponding"), std::string::npos);
  EXPECT_NE(got[0].find("\"endsAt\":\"2025-06-24T13:05:30.000Z\""), std::string::npos) << got[0];
}

}  // namespace
}  // namespace tallyvox::monitor::testing
