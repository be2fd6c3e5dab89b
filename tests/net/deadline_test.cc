// The deadline of a whole operation on a connection: reads however the peer
// paces its bytes, writes to a peer that stops reading, and host name
// lookups through a resolver that never answers; and the bounded number of
// lookups left running.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/deadline.h"
#include "net/exceptions.h"
#include "net/loopback_peer.h"
#include "net/resolver.h"
#include "net/socket_registry.h"
#include "net/tcp_client.h"

namespace tallyvox::net {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Sends `bytes` one at a time, `gap` apart, while the client takes them.
LoopbackPeer::Script Trickle(std::string bytes, std::chrono::milliseconds gap) {
  return [bytes, gap](int fd) {
    for (char c : bytes) {
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(gap);
    }
  };
}

TEST(DeadlineTest, CutsAWaitToTheTimeLeft) {
  const TNetTimeout ms250 = TNetTimeout::Of(250ms);
  bool by_deadline = true;
  EXPECT_EQ(TNetDeadline::Never().Cut(ms250, &by_deadline), ms250);
  EXPECT_FALSE(by_deadline);
  EXPECT_TRUE(TNetDeadline::Never().Cut(TNetTimeout::NoLimit()).Unlimited());
  const TNetDeadline soon = TNetDeadline::Within(1000ms);
  EXPECT_EQ(soon.Cut(ms250, &by_deadline), ms250);
  EXPECT_FALSE(by_deadline);
  // No limit of its own: the time left.
  EXPECT_GT(soon.Cut(TNetTimeout::NoLimit(), &by_deadline).Limit(), 900ms);
  EXPECT_TRUE(by_deadline);
  EXPECT_LE(soon.Cut(TNetTimeout::Of(5000ms), &by_deadline).Limit(), 1000ms);
  EXPECT_TRUE(by_deadline);
  const TNetDeadline passed = TNetDeadline::Within(0ms, Clock::now() - 1s);
  EXPECT_TRUE(passed.Passed());
  EXPECT_EQ(passed.Cut(ms250), TNetTimeout::Of(0ms));
  // The int milliseconds of the channels: negative is no limit (-2 to them).
  EXPECT_TRUE(TNetTimeout::FromMs(-1).Unlimited());
  EXPECT_EQ(TNetTimeout::FromMs(-2).ToChannelMs(), -2);
  EXPECT_EQ(TNetTimeout::FromMs(0), TNetTimeout::Of(0ms));
  EXPECT_EQ(TNetTimeout::FromMs(1500).ToChannelMs(), 1500);
  EXPECT_EQ(TNetTimeout::Of(-5ms), TNetTimeout::Of(0ms));
  EXPECT_EQ(TNetDeadline::Earlier(soon, TNetDeadline::Never()), soon);
  EXPECT_EQ(TNetDeadline::Earlier(TNetDeadline::Never(), passed), passed);
  EXPECT_STREQ(ENetDeadlineExpired(10s).what(), "no answer within 10 s");
  EXPECT_STREQ(ENetDeadlineExpired(250ms).what(), "no answer within 0.25 s");
}

// A line of ten bytes, one every 100 ms: no wait reaches the 300 ms read
// time-out, so without a deadline the line arrives after about a second; a
// deadline ends the read when it passes, and a silent peer still meets the
// read time-out first when that is the shorter.
TEST(DeadlineTest, BoundsEveryReadHoweverThePeerPacesItsBytes) {
  struct Case {
    const char* name;
    LoopbackPeer::Script script;
    std::optional<std::chrono::milliseconds> budget;
    std::string failure;  // empty: the line arrives
    double at_least, at_most;
  };
  const auto silent = [](int fd) { LoopbackPeer::RecvUntilClosed(fd); };
  const std::vector<Case> cases = {
      {"no deadline", Trickle("012345678\n", 100ms), std::nullopt, "", 0.9, 3.0},
      {"deadline", Trickle("012345678\n", 100ms), 500ms, "no answer within 0.5 s", 0.45, 0.9},
      {"read time-out first", silent, 5s, "Read Timeout", 0.25, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPeer peer(c.script);
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.port();
    client.ReadTimeout = 300;
    if (c.budget) client.SetDeadline(TNetDeadline::Within(*c.budget));
    client.OpenConnection(1000);
    const auto start = Clock::now();
    std::string failure;
    try {
      EXPECT_EQ(client.ReadLine(), "012345678");
    } catch (const ENetReadTimeout& e) {
      failure = e.what();
      EXPECT_EQ(dynamic_cast<const ENetDeadlineExpired*>(&e) != nullptr,
                c.budget && *c.budget < 1s);
    }
    EXPECT_EQ(failure, c.failure);
    EXPECT_GE(SecondsSince(start), c.at_least);
    EXPECT_LE(SecondsSince(start), c.at_most);
    if (c.failure == "Read Timeout") {
      // Past a deadline even a wait that would only return its time-out
      // fails (the silent peer sends nothing that could be read instead).
      client.SetDeadline(TNetDeadline::Within(0ms));
      EXPECT_THROW(client.ReceiveMore(true, 50, false), ENetDeadlineExpired);
    }
    client.CloseConnection();
  }
}

// A peer that takes no byte: the client's writes fill the socket buffers and
// then wait for room, until the deadline. (The peer starts reading after
// 10 s, so that writes nothing bounds fail the test instead of holding it.)
TEST(DeadlineTest, BoundsWritesToAPeerThatStopsReading) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  LoopbackPeer peer([done](int fd) {
    const auto until = Clock::now() + 10s;
    while (!*done && Clock::now() < until) std::this_thread::sleep_for(10ms);
    LoopbackPeer::RecvUntilClosed(fd);
  });
  struct Done {
    std::atomic<bool>& done;
    ~Done() { done = true; }  // before the peer is joined, however the test ends
  } release{*done};
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = peer.port();
  client.OpenConnection(1000);
  const std::string block(64 << 20, 'x');  // far more than the buffers hold
  const auto start = Clock::now();
  client.SetDeadline(TNetDeadline::Within(400ms, start));
  try {
    client.WriteText(block);
    FAIL() << "a peer that reads nothing took 64 MiB";
  } catch (const ENetDeadlineExpired& e) {
    EXPECT_STREQ(e.what(), "no answer within 0.4 s");
  }
  EXPECT_GE(SecondsSince(start), 0.35);
  EXPECT_LE(SecondsSince(start), 1.5);
  EXPECT_FALSE(client.IsOpen());  // a message cut short: the connection is dropped
}

// A resolver whose lookups wait until Open() (a resolver that never
// answers, unless the test lets it), then give "peer.test" 127.0.0.1. (It
// gives up after 20 s, so that a lookup nothing abandons fails the test
// instead of holding it.)
class GatedResolver : public TNetResolver {
 public:
  std::string Lookup(const std::string& host) override {
    ++calls;
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, 20s, [this] { return open_; })) throw ENetSocketError(kWsaTryAgain);
    if (host == "peer.test") return "127.0.0.1";
    throw ENetSocketError(kWsaHostNotFound);
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  // The number of lookups begun, once `n` have begun (bounded wait: a
  // lookup thread may start a moment after its waiter).
  int CallsOnce(int n) {
    const auto until = Clock::now() + 2s;
    while (calls.load() < n && Clock::now() < until) std::this_thread::sleep_for(2ms);
    return calls.load();
  }
  std::atomic<int> calls{0};

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Puts a gated resolver in force; at the end opens it and waits (bounded)
// until every abandoned lookup has returned.
class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetResolver(resolver_); }
  void TearDown() override {
    resolver_->Open();
    EXPECT_TRUE(AbandonedLookupsReturn());
    SetResolver(previous_);
    SocketRegistry::Reopen();
  }
  static bool AbandonedLookupsReturn() {
    const auto until = Clock::now() + 5s;
    while (AbandonedLookups() > 0 && Clock::now() < until) std::this_thread::sleep_for(5ms);
    return AbandonedLookups() == 0;
  }

  std::shared_ptr<GatedResolver> resolver_ = std::make_shared<GatedResolver>();
  std::shared_ptr<TNetResolver> previous_;
};

// A lookup that never answers holds the connect only until the deadline, or
// until the connect's own time-out when that is the sooner; the lookups are
// abandoned and return later without harm.
TEST_F(ResolverTest, ALookupThatNeverAnswersEndsAtTheDeadline) {
  LoopbackPeer peer([](int fd) { LoopbackPeer::RecvUntilClosed(fd); });
  struct Case {
    const char* name;
    std::chrono::milliseconds budget;
    int32_t connect_timeout_ms;
    std::string failure;
    double at_least, at_most;
  };
  const std::vector<Case> cases = {
      {"deadline", 300ms, -2, "no answer within 0.3 s", 0.25, 1.0},
      {"connect time-out first", 5s, 300, "Connect timed out.", 0.25, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TNetTCPClient client;
    client.Host = "peer.test";
    client.Port = peer.port();
    client.SetDeadline(TNetDeadline::Within(c.budget));
    const auto start = Clock::now();
    try {
      client.OpenConnection(c.connect_timeout_ms);
      FAIL() << "connected";
    } catch (const ENetException& e) {
      EXPECT_EQ(e.what(), c.failure);
    }
    EXPECT_GE(SecondsSince(start), c.at_least);
    EXPECT_LE(SecondsSince(start), c.at_most);
    EXPECT_FALSE(client.IsOpen());
  }
  EXPECT_EQ(AbandonedLookups(), 2);
  // Numbers and "localhost" are no lookups: they connect at once.
  for (const char* host : {"127.0.0.1", "localhost"}) {
    TNetTCPClient client;
    client.Host = host;
    client.Port = peer.port();
    client.SetDeadline(TNetDeadline::Within(300ms));
    client.OpenConnection(-2);
    EXPECT_TRUE(client.IsOpen());
    client.CloseConnection();
  }
  EXPECT_EQ(resolver_->CallsOnce(2), 2);
  resolver_->Open();
  EXPECT_TRUE(AbandonedLookupsReturn());
  // A lookup that answers in time is used, with or without a deadline.
  for (const bool with_deadline : {true, false}) {
    TNetTCPClient client;
    client.Host = "peer.test";
    client.Port = peer.port();
    if (with_deadline) client.SetDeadline(TNetDeadline::Within(5s));
    client.OpenConnection(-2);
    EXPECT_TRUE(client.IsOpen());
    client.CloseConnection();
  }
  EXPECT_EQ(resolver_->CallsOnce(4), 4);
}

// Past kMaxAbandonedLookups lookups still running, a lookup with a deadline
// fails at once as a busy resolver does, without starting another; once
// they return, lookups run again. A stop request ends a lookup's wait.
TEST_F(ResolverTest, AbandonedLookupsAreBoundedAndAStopEndsTheWait) {
  for (int i = 0; i < kMaxAbandonedLookups; ++i) {
    EXPECT_FALSE(LookupHost("peer.test", TNetDeadline::Within(10ms)));
  }
  EXPECT_EQ(AbandonedLookups(), kMaxAbandonedLookups);
  const auto start = Clock::now();
  try {
    LookupHost("peer.test", TNetDeadline::Within(5s));
    FAIL() << "a lookup started past the bound";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.LastError(), kWsaTryAgain);
  }
  EXPECT_LT(SecondsSince(start), 0.5);
  EXPECT_EQ(resolver_->CallsOnce(kMaxAbandonedLookups), kMaxAbandonedLookups);
  resolver_->Open();
  ASSERT_TRUE(AbandonedLookupsReturn());
  EXPECT_EQ(LookupHost("peer.test", TNetDeadline::Within(5s)), "127.0.0.1");
  EXPECT_THROW(LookupHost("other.test", TNetDeadline::Within(5s)), ENetSocketError);

  // A lookup that hangs, and a stop request from another thread.
  auto gate = std::make_shared<GatedResolver>();
  SetResolver(gate);
  std::thread stopper([] {
    std::this_thread::sleep_for(200ms);
    SocketRegistry::ShutDownAll();
  });
  const auto waited = Clock::now();
  try {
    LookupHost("peer.test", TNetDeadline::Within(10s));
    ADD_FAILURE() << "answered";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.LastError(), kWsaeConnAborted);
  }
  stopper.join();
  EXPECT_LT(SecondsSince(waited), 1.5);
  gate->Open();
}

}  // namespace
}  // namespace tallyvox::net
