// RaiseOpenFileLimit: lifts the soft descriptor limit to the hard one, and
// never lowers it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "base/open_file_limit.h"

namespace tallyvox {
namespace {

TEST(OpenFileLimit, TheSoftLimitGoesUpToTheHardOneAndNeverDown) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max == RLIM_INFINITY || saved.rlim_max < 300) {
    GTEST_SKIP() << "the hard limit leaves no room below it";
  }
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(RaiseOpenFileLimit(), static_cast<long>(saved.rlim_max));
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, saved.rlim_max);
  EXPECT_EQ(now.rlim_max, saved.rlim_max);
  // At the hard limit already: nothing changes.
  EXPECT_EQ(RaiseOpenFileLimit(), static_cast<long>(saved.rlim_max));
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace tallyvox
