// The connection pool against a real mwserver on loopback: obtaining and
// MaxConnections, locking, discarding, activation and the collector.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_dataset.h"
#include "middleware/client/pooled_session.h"
#include "middleware/wire/mw_exception.h"
#include "support/error_code_of.h"
#include "support/pool_test_server.h"

namespace tallyvox::mw {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using testing::ErrorCodeOf;

// Polls `condition` every 20 ms until it holds or `timeout` passes.
template <typename F>
bool Eventually(F&& condition, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return condition();
}

class PoolObtainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << server_.Output();
    transport_.SetHost(server_.ip());
    transport_.SetPort(server_.port());
    transport_.SetVerifyTransfer(true);
    transport_.SetRequestTimeout(5);
    pool_.SetTransport(&transport_);
    pool_.SetMaxConnections(5);
  }

  TMwConnectionRef ObtainLocked() {
    TMwConnectionRef c = pool_.ObtainConnection(false, 0, 0);
    EXPECT_TRUE(TMwClientConnectionPool::LockConnection(c.get(), 1, 1000));
    return c;
  }

  testing::PoolTestServer server_;
  TMwTCPIPClientTransport transport_;
  TMwClientConnectionPool pool_;
};

TEST_F(PoolObtainTest, CreatesConnectedConnectionsWithCopiedSettings) {
  std::atomic<int> setups{0};
  pool_.OnSetupConnection = [&](TMwClientConnection*, TMwCustomClientTransport* t) {
    auto* tcp = dynamic_cast<TMwTCPIPClientTransport*>(t);
    ASSERT_NE(tcp, nullptr);
    EXPECT_NE(t, &transport_);
    EXPECT_EQ(tcp->Host(), server_.ip());
    EXPECT_EQ(tcp->Port(), server_.port());
    EXPECT_TRUE(tcp->VerifyTransfer());
    EXPECT_EQ(pool_.ConnectionCount(), 0);  // the handler may call the pool
    ++setups;
  };
  TMwConnectionRef c = pool_.ObtainConnection(false, 0, 0);
  EXPECT_EQ(setups.load(), 1);
  EXPECT_TRUE(c->Transport()->IsConnected());
  EXPECT_FALSE(transport_.IsConnected());  // the template is never connected
  EXPECT_EQ(c->Pool(), &pool_);
  // Unlocked and unused: the same connection is handed out again.
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), c);
  EXPECT_EQ(pool_.ConnectionCount(), 1);
}

TEST_F(PoolObtainTest, MaxConnectionsFiveThenTheLockedOneWithFewestUsers) {
  std::vector<TMwConnectionRef> held;
  held.push_back(ObtainLocked());
  // One locked: the next obtain creates a second connection.
  held.push_back(ObtainLocked());
  EXPECT_NE(held[0], held[1]);
  EXPECT_EQ(pool_.ConnectionCount(), 2);
  for (int i = 0; i < 3; ++i) held.push_back(ObtainLocked());
  EXPECT_EQ(pool_.ConnectionCount(), 5);
  EXPECT_EQ(std::set<TMwConnectionRef>(held.begin(), held.end()).size(), 5u);

  // Give every connection but the fourth a second user; the obtain then
  // takes the fourth (fewest users) and creates nothing.
  for (int i = 0; i < 5; ++i) {
    if (i == 3) continue;
    ASSERT_TRUE(TMwClientConnectionPool::LockConnection(held[i].get(), 1, 1000));
  }
  TMwConnectionRef taken = pool_.ObtainConnection(false, 0, 0);
  EXPECT_EQ(taken, held[3]);
  EXPECT_EQ(pool_.ConnectionCount(), 5);
  // This thread holds it already: the recursive lock is granted at once.
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(TMwClientConnectionPool::LockConnection(taken.get(), 2, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(1));
  EXPECT_EQ(taken->UserCount(), 2);
  EXPECT_EQ(pool_.TotalUserCount(), 10);
  EXPECT_EQ(pool_.StatusText(), "1:1, 2:1, 3:1, 4:2, 5:1");
}

TEST_F(PoolObtainTest, LockedConnectionsAreSharedInTurnFromNextIndex) {
  pool_.SetMaxConnections(3);
  std::vector<TMwConnectionRef> held;
  for (int i = 0; i < 3; ++i) held.push_back(ObtainLocked());
  // Equal user counts: each obtain takes the first one met from NextIndex,
  // which then moves past it (wrapping to the start).
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), held[0]);
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), held[1]);
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), held[2]);
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), held[0]);
  // Held connections are taken only when no other candidate exists.
  held[0]->SetHeld(true);
  held[1]->SetHeld(true);
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), held[2]);
  held[2]->SetHeld(true);
  ASSERT_TRUE(TMwClientConnectionPool::LockConnection(held[0].get(), 1, 1000));
  ASSERT_TRUE(TMwClientConnectionPool::LockConnection(held[2].get(), 1, 1000));
  EXPECT_EQ(pool_.ObtainConnection(false, 0, 0), held[1]);  // fewest users among held
}

TEST_F(PoolObtainTest, AnotherThreadWaitsAtMostItsTimeOut) {
  TMwConnectionRef c = ObtainLocked();
  pool_.SetMaxConnections(1);
  std::atomic<bool> locked{true};
  std::atomic<int32_t> users_while_waiting{0};
  std::thread other([&] {
    TMwConnectionRef same = pool_.ObtainConnection(false, 0, 0);
    EXPECT_EQ(same, c);
    auto start = std::chrono::steady_clock::now();
    locked = TMwClientConnectionPool::LockConnection(same.get(), 5, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(2));
  });
  other.join();
  EXPECT_FALSE(locked.load());
  EXPECT_EQ(c->UserCount(), 1);  // the failed wait gave its count back
  (void)users_while_waiting;
}

TEST_F(PoolObtainTest, ImmediateLockFailsWithItsOwnText) {
  pool_.SetMaxConnections(1);
  TMwConnectionRef c = ObtainLocked();
  std::string message;
  int32_t code = 0;
  std::thread other(
      [&] { code = ErrorCodeOf([&] { pool_.ObtainConnection(true, 0, 5); }, &message); });
  other.join();
  EXPECT_EQ(code, 0x04300011);
  EXPECT_EQ(message, "Timeout/error waiting for connection.");
  // With the immediate lock, the holder itself gets it locked at once.
  TMwConnectionRef again = pool_.ObtainConnection(true, 3, 5);
  EXPECT_EQ(again, c);
  EXPECT_TRUE(again->Locked());
  EXPECT_EQ(again->UserCount(), 2);
}

TEST_F(PoolObtainTest, MaxConnectionsZeroNeverCreates) {
  pool_.SetMaxConnections(0);
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { pool_.ObtainConnection(false, 0, 0); }, &message), 0x04300010);
  EXPECT_EQ(message, "Could not obtain a best connection.");
  EXPECT_EQ(pool_.ConnectionCount(), 0);
}

TEST_F(PoolObtainTest, NegativeMaxConnectionsHasNoLimit) {
  pool_.SetMaxConnections(-1);
  std::vector<TMwConnectionRef> held;
  for (int i = 0; i < 7; ++i) held.push_back(ObtainLocked());
  EXPECT_EQ(pool_.ConnectionCount(), 7);
}

TEST_F(PoolObtainTest, DeactivationDiscardsEveryConnection) {
  pool_.SetMinConnections(2);
  pool_.SetConnectionInactivityTimeout(5);
  TMwConnectionRef a = ObtainLocked();
  TMwConnectionRef b = pool_.ObtainConnection(false, 0, 0);
  EXPECT_NE(a, b);
  TMwClientConnectionPool::UnlockConnection(a.get());
  ASSERT_TRUE(b->Transport()->IsConnected());
  pool_.SetActive(false);
  EXPECT_EQ(pool_.ConnectionCount(), 0);
  EXPECT_FALSE(a->Transport()->IsConnected());
  EXPECT_FALSE(b->Transport()->IsConnected());
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { pool_.ObtainConnection(false, 0, 0); }, &message), 0x04300012);
  EXPECT_EQ(message, "Connectionpool not active.");
  // Reactivation creates MinConnections connected connections.
  pool_.SetActive(true);
  EXPECT_EQ(pool_.ConnectionCount(), 2);
}

TEST_F(PoolObtainTest, DeactivationKeepsALockedConnectionUsableForItsHolder) {
  TMwConnectionRef held = ObtainLocked();
  pool_.SetActive(false);
  EXPECT_EQ(pool_.ConnectionCount(), 0);
  EXPECT_EQ(held->LastUsed(), 0.0);
  EXPECT_TRUE(held->Transport()->IsConnected());  // the holder is mid-call
  TMwClientConnectionPool::UnlockConnection(held.get());
  EXPECT_EQ(held->LastUsed(), 0.0);  // still marked for discarding
}

TEST_F(PoolObtainTest, DiscardingLockedConnectionWaitsForTheCollector) {
  pool_.SetGarbageInterval(1);
  TMwConnectionRef held = ObtainLocked();
  pool_.DiscardConnection(held.get());
  EXPECT_EQ(pool_.ConnectionCount(), 1);
  // A marked connection is never handed out again.
  TMwConnectionRef other = pool_.ObtainConnection(false, 0, 0);
  EXPECT_NE(other, held);
  TMwClientConnectionPool::UnlockConnection(held.get());
  EXPECT_TRUE(Eventually([&] { return pool_.ConnectionCount() == 1; }, seconds(10)));
  EXPECT_FALSE(held->Transport()->IsConnected());
  // Discarding an unlocked connection removes it at once.
  pool_.DiscardConnection(other.get());
  EXPECT_EQ(pool_.ConnectionCount(), 0);
}

TEST_F(PoolObtainTest, CollectorDropsIdleConnectionsDownToMinConnections) {
  pool_.SetConnectionInactivityTimeout(1);
  std::vector<TMwConnectionRef> held;
  for (int i = 0; i < 3; ++i) held.push_back(ObtainLocked());
  for (auto& c : held) TMwClientConnectionPool::UnlockConnection(c.get());
  pool_.SetMinConnections(2);
  std::atomic<int> runs{0};
  pool_.OnGarbageCollection = [&](TMwClientConnectionPool* p) {
    EXPECT_EQ(p, &pool_);
    ++runs;
  };
  pool_.SetGarbageInterval(1);
  EXPECT_TRUE(Eventually([&] { return pool_.ConnectionCount() == 2; }, seconds(10)));
  EXPECT_FALSE(held[2]->Transport()->IsConnected());  // the last entry went first
  EXPECT_TRUE(held[0]->Transport()->IsConnected());
  int runs_before = runs.load();
  EXPECT_TRUE(Eventually([&] { return runs.load() >= runs_before + 1; }, seconds(10)));
  EXPECT_EQ(pool_.ConnectionCount(), 2);
}

TEST_F(PoolObtainTest, CollectorSkipsLockedAndRecentConnections) {
  pool_.SetConnectionInactivityTimeout(1);
  TMwConnectionRef locked = ObtainLocked();
  TMwConnectionRef idle = ObtainLocked();
  TMwConnectionRef recent = ObtainLocked();
  TMwClientConnectionPool::UnlockConnection(idle.get());
  std::this_thread::sleep_for(milliseconds(1300));
  TMwClientConnectionPool::UnlockConnection(recent.get());
  pool_.CollectGarbage();
  EXPECT_EQ(pool_.ConnectionCount(), 2);
  EXPECT_TRUE(locked->Transport()->IsConnected());
  EXPECT_FALSE(idle->Transport()->IsConnected());
  EXPECT_TRUE(recent->Transport()->IsConnected());
  // The collector thread does the same on its own.
  pool_.SetGarbageInterval(1);
  EXPECT_TRUE(Eventually([&] { return pool_.ConnectionCount() == 1; }, seconds(10)));
  EXPECT_TRUE(locked->Transport()->IsConnected());
}

// Ages are durations on a monotonic clock: a jump of the local time (a
// daylight saving change, a new time zone, an NTP step) neither keeps an idle
// connection nor expires one just used. (The collector thread sleeps through
// this test; the time zone changes on the test thread only.)
TEST_F(PoolObtainTest, AgesFollowAMonotonicClockNotTheLocalTime) {
  tallyvox::testing::ScopedTimeZone zone("UTC0");
  pool_.SetConnectionInactivityTimeout(1);
  TMwConnectionRef idle = ObtainLocked();
  TMwConnectionRef recent = ObtainLocked();
  TMwClientConnectionPool::UnlockConnection(idle.get());
  std::this_thread::sleep_for(milliseconds(1300));
  TMwClientConnectionPool::UnlockConnection(recent.get());
  zone.Set("XXX1");  // the local time goes back an hour
  pool_.CollectGarbage();
  EXPECT_FALSE(idle->Transport()->IsConnected());
  EXPECT_TRUE(recent->Transport()->IsConnected());
  zone.Set("XXX-2");  // and three hours forward
  pool_.CollectGarbage();
  EXPECT_TRUE(recent->Transport()->IsConnected());
  EXPECT_EQ(pool_.ConnectionCount(), 1);
}

// Every way a pooled connection goes raises its transport's OnDisconnected
// (copied from the pool's transport) exactly once.
TEST_F(PoolObtainTest, OnDisconnectedOnceForEveryConnectionDestroyed) {
  std::atomic<int> disconnected{0};
  transport_.OnDisconnected = [&](TMwCustomClientTransport* sender, TMwTransportInfo*) {
    if (sender != &transport_) ++disconnected;
  };
  const struct {
    const char* name;
    std::function<void(TMwConnectionRef&)> destroy;
  } ways[] = {
      {"deactivation",
       [&](TMwConnectionRef&) {
         pool_.SetActive(false);
         pool_.SetActive(true);
       }},
      {"discard", [&](TMwConnectionRef& c) { pool_.DiscardConnection(c.get()); }},
      {"collector",
       [&](TMwConnectionRef& c) {
         ASSERT_TRUE(TMwClientConnectionPool::LockConnection(c.get(), 1, 1000));
         pool_.DiscardConnection(c.get());  // locked: only marked
         TMwClientConnectionPool::UnlockConnection(c.get());
         pool_.CollectGarbage();
       }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    disconnected = 0;
    TMwConnectionRef c = pool_.ObtainConnection(false, 0, 0);
    ASSERT_TRUE(c->Transport()->IsConnected());
    way.destroy(c);
    EXPECT_EQ(pool_.ConnectionCount(), 0);
    c.reset();  // the last reference
    EXPECT_EQ(disconnected.load(), 1);
  }
}

// Creating a connection (its setup and its connect) holds no lock of the
// pool: while one is slow to connect, the pool answers other calls, runs
// the collector, and another thread creates and connects a connection of
// its own.
TEST_F(PoolObtainTest, ASlowConnectHoldsNoLockOfThePool) {
  std::mutex mu;
  std::condition_variable cv;
  bool first_in_setup = false, release = false;
  int setups = 0;
  pool_.OnSetupConnection = [&](TMwClientConnection*, TMwCustomClientTransport*) {
    std::unique_lock<std::mutex> lock(mu);
    if (++setups > 1) return;
    first_in_setup = true;
    cv.notify_all();
    cv.wait_for(lock, seconds(10), [&] { return release; });
  };
  TMwConnectionRef slow;
  std::thread slow_thread([&] { slow = pool_.ObtainConnection(false, 0, 0); });
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, seconds(5), [&] { return first_in_setup; }));
  }
  auto others = std::async(std::launch::async, [&] {
    pool_.ConnectionCount();
    pool_.StatusText();
    pool_.CollectGarbage();
    return pool_.ObtainConnection(false, 0, 0);
  });
  const bool prompt = others.wait_for(seconds(5)) == std::future_status::ready;
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  slow_thread.join();
  EXPECT_TRUE(prompt);
  const TMwConnectionRef other = others.get();
  EXPECT_NE(other, slow);
  EXPECT_TRUE(other->Transport()->IsConnected());
  EXPECT_TRUE(slow->Transport()->IsConnected());
  EXPECT_EQ(pool_.ConnectionCount(), 2);
}

// Threads take connections through pooled datasets, use them for a real
// call, and give them back, half of them as failed (which marks them for
// discarding), while another thread runs the collector again and again: a
// connection is never collected between being taken and being used, nor
// disconnected while a call runs on it. With two connections for three
// threads, threads wait for each other's connection, and marked ones fill
// the pool until collected (an obtain then finds no connection and tries
// again). Bounded in rounds and in time; run it under ThreadSanitizer (make
// test-tsan) to have every interleaving it produces checked.
TEST_F(PoolObtainTest, TakingAndCollectingAConnectionDoNotRace) {
  pool_.SetMaxConnections(2);
  constexpr int kUsers = 3, kRounds = 150;
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  std::atomic<int> calls{0}, failures{0}, users_done{0};
  std::vector<std::string> errors;
  std::mutex errors_mu;
  std::vector<std::thread> threads;
  for (int u = 0; u < kUsers; ++u) {
    threads.emplace_back([&] {
      TMwCustomPooledDataset dataset;
      dataset.SetConnectionPool(&pool_);
      dataset.SetConnectionWaitTimeout(10000);
      for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < deadline; ++round) {
        bool failed = round % 2 == 0;
        try {
          for (;;) {
            try {
              dataset.ObtainConnection();
              break;
            } catch (const EMwException& e) {
              if (e.ErrorCode() != 0x04300010 || std::chrono::steady_clock::now() > deadline) throw;
              std::this_thread::yield();
            }
          }
          TMwSimpleClient client;
          client.SetTransport(dataset.Connection()->Transport());
          client.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", {Variant("select 1")});
          ++calls;
        } catch (const std::exception& e) {
          ++failures;
          failed = true;
          std::lock_guard<std::mutex> lock(errors_mu);
          errors.push_back(e.what());
        }
        dataset.ReleaseConnection(false, failed);
      }
      ++users_done;
    });
  }
  threads.emplace_back([&] {
    while (users_done.load() < kUsers) {
      pool_.CollectGarbage();
      std::this_thread::yield();
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0) << (errors.empty() ? "" : errors.front());
  EXPECT_GT(calls.load(), 0);
}

TEST_F(PoolObtainTest, GarbageCollectionOffDoesNothing) {
  pool_.SetConnectionInactivityTimeout(1);
  pool_.SetGarbageCollection(false);
  std::atomic<int> runs{0};
  pool_.OnGarbageCollection = [&](TMwClientConnectionPool*) { ++runs; };
  pool_.ObtainConnection(false, 0, 0);
  pool_.SetGarbageInterval(1);
  std::this_thread::sleep_for(milliseconds(2500));  // two collector periods
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(pool_.ConnectionCount(), 1);
}

TEST(PoolSettersTest, RulesAndErrors) {
  TMwClientConnectionPool pool;
  EXPECT_TRUE(pool.Active());
  EXPECT_EQ(pool.MaxConnections(), 1);
  pool.SetMinConnections(3);
  EXPECT_EQ(pool.MaxConnections(), 3);
  pool.SetMaxConnections(2);
  EXPECT_EQ(pool.MinConnections(), 2);
  pool.SetMinConnections(-4);
  EXPECT_EQ(pool.MinConnections(), 0);
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { pool.SetGarbageInterval(0); }, &message), 0x04300003);
  EXPECT_EQ(message, "Interval must minimum be 1 sec.");
  EXPECT_EQ(pool.GarbageInterval(), 60);
  EXPECT_EQ(ErrorCodeOf([&] { pool.ObtainConnection(false, 0, 0); }, &message), 0x00F00001);
  EXPECT_EQ(message, "Transport property not set on client connectionpool.");
  TMwTCPIPClientTransport transport;
  pool.SetTransport(&transport);
  pool.SetConnectionFactory(nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { pool.ObtainConnection(false, 0, 0); }, &message), 0x04300001);
  EXPECT_EQ(message, "Connection class not specified.");
}

TEST(PoolTransportTest, DestroyedTransportClearsTheReference) {
  TMwClientConnectionPool pool;
  {
    TMwTCPIPClientTransport transport;
    pool.SetTransport(&transport);
    EXPECT_EQ(pool.Transport(), &transport);
  }
  EXPECT_EQ(pool.Transport(), nullptr);
}

TEST(PoolRefusedTest, ObtainStillReturnsAConnectionAndActivationRaises) {
  tallyvox::testing::RefusingPort refusing;
  TMwTCPIPClientTransport transport;
  transport.SetHost("127.0.0.1");
  transport.SetPort(refusing.port());
  transport.SetConnectTimeout(5);
  TMwClientConnectionPool pool;
  pool.SetTransport(&transport);
  TMwConnectionRef c = pool.ObtainConnection(false, 0, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(c->Transport()->IsConnected());
  EXPECT_EQ(pool.ConnectionCount(), 1);
  // Activation with MinConnections raises the connect failure.
  pool.SetActive(false);
  pool.SetMinConnections(1);
  EXPECT_ANY_THROW(pool.SetActive(true));
  EXPECT_EQ(pool.ConnectionCount(), 0);
}

TEST(PoolActivationTest, UpdateMacrosAndLoading) {
  TMwClientConnectionPool pool;
  int updates = 0;
  pool.OnUpdateMacros = [&](TMwClientConnectionPool*) { ++updates; };
  pool.SetActive(true);  // already active: nothing happens
  EXPECT_EQ(updates, 0);
  pool.SetActive(false);
  pool.SetActive(true);
  EXPECT_EQ(updates, 1);
  pool.SetAutoUpdateMacros(false);
  pool.SetActive(false);
  pool.SetActive(true);
  EXPECT_EQ(updates, 1);
  // A pool loaded as active runs its activation once more after loading.
  pool.SetAutoUpdateMacros(true);
  pool.BeginLoading();
  pool.Loaded();
  EXPECT_EQ(updates, 2);
}

TEST(PoolLifetimeTest, DestroyedPoolClearsSessionReferences) {
  TMwPooledSession session;
  {
    TMwClientConnectionPool pool;
    session.SetConnectionPool(&pool);
  }
  EXPECT_EQ(session.ConnectionPool(), nullptr);
}

TEST(PooledDatasetTest, NoPoolReachable) {
  TMwCustomPooledDataset dataset;
  dataset.SetSessionName("NO_SUCH_SESSION");
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { dataset.ObtainConnection(); }, &message), 0x04300004);
  EXPECT_EQ(message, "Connection pool not found.");
}

TEST_F(PoolObtainTest, PooledDatasetThroughSessionLocksAndReleases) {
  TMwPooledSession session;
  session.SetConnectionPool(&pool_);
  session.SetAutoSessionName(true);
  session.SetSessionName("POOLTEST");
  TMwCustomPooledDataset a, b;
  for (auto* d : {&a, &b}) {
    d->SetSessionName(session.EffectiveSessionName());
    d->SetConnectionWaitTimeout(1);
  }
  pool_.SetMaxConnections(1);
  a.ObtainConnection();
  ASSERT_NE(a.Connection(), nullptr);
  EXPECT_TRUE(a.Connection()->Locked());
  EXPECT_EQ(a.Connection()->Session(), &session);
  // Another thread's dataset waits at most 1 ms for the only connection.
  std::string message;
  std::thread other([&] { ErrorCodeOf([&] { b.ObtainConnection(); }, &message); });
  other.join();
  EXPECT_EQ(message, "PooledDataset : ObtainConnection : Timeout/error waiting for connection.");
  TMwConnectionRef c = a.Connection();
  a.ReleaseConnection(false, false);
  EXPECT_EQ(a.Connection(), nullptr);
  EXPECT_FALSE(c->Locked());
  EXPECT_EQ(c->UserCount(), 0);
  // A failed release marks the connection for discarding.
  a.ObtainConnection();
  a.ReleaseConnection(false, true);
  EXPECT_EQ(c->LastUsed(), 0.0);
  EXPECT_FALSE(c->Locked());
}

TEST_F(PoolObtainTest, SynchronousSessionSerialisesDatasets) {
  TMwPooledSession session;
  session.SetConnectionPool(&pool_);
  session.SetSessionName("POOLSYNC");
  TMwCustomPooledDataset a, b;
  for (auto* d : {&a, &b}) {
    d->SetSessionName("POOLSYNC");
    d->SetSync(mwpsSync);
    d->SetConnectionWaitTimeout(20);
  }
  a.ObtainConnection();
  EXPECT_EQ(session.UseCount(), 1);
  std::string message;
  std::thread other([&] { ErrorCodeOf([&] { b.ObtainConnection(); }, &message); });
  other.join();
  EXPECT_EQ(message,
            "PooledDataset : ObtainConnection : Timeout/error waiting for session: POOLSYNC");
  a.ReleaseConnection(false, false);
  EXPECT_EQ(session.UseCount(), 0);
  std::thread third([&] {
    b.ObtainConnection();
    b.ReleaseConnection(false, false);
  });
  third.join();
  EXPECT_EQ(session.UseCount(), 0);
}

}  // namespace
}  // namespace tallyvox::mw
