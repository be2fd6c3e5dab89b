#include "base/recursive_timed_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tallyvox {
namespace {

using std::chrono::milliseconds;

// The owner may lock again; another thread gets the mutex only after as many
// unlocks as locks, and gives up after its time-out before that.
TEST(RecursiveTimedMutex, OwnerRelocksOthersWaitBoundedUntilTheLastUnlock) {
  RecursiveTimedMutex mutex;
  mutex.lock();
  EXPECT_TRUE(mutex.try_lock());
  EXPECT_TRUE(mutex.try_lock_for(milliseconds(1)));
  bool other_got_it = true;
  auto other_tries = [&](milliseconds timeout) {
    std::thread other([&] {
      other_got_it = mutex.try_lock_for(timeout);
      if (other_got_it) mutex.unlock();
    });
    other.join();
  };
  const auto start = std::chrono::steady_clock::now();
  other_tries(milliseconds(50));
  EXPECT_FALSE(other_got_it);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(45));
  mutex.unlock();
  mutex.unlock();
  other_tries(milliseconds(1));
  EXPECT_FALSE(other_got_it);  // one lock still held
  mutex.unlock();
  other_tries(milliseconds(1));
  EXPECT_TRUE(other_got_it);
}

TEST(RecursiveTimedMutex, AWaitingThreadTakesItWhenReleased) {
  RecursiveTimedMutex mutex;
  mutex.lock();
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    mutex.lock();
    got = true;
    mutex.unlock();
  });
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(got.load());
  mutex.unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
}

}  // namespace
}  // namespace tallyvox
