// Status and StatusOr: what an edge returns and what its caller reads back.
#include "base/status.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tallyvox {
namespace {

TEST(StatusTest, OkAndErrorsCarryTheirCodeAndMessage) {
  const Status ok;
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.code(), 0);
  EXPECT_EQ(ok.ToString(), "OK");
  EXPECT_EQ(ok, Status::OK());

  const Status full = Status::Error(28, "No space left on device");
  EXPECT_FALSE(full.ok());
  EXPECT_EQ(full.code(), 28);
  EXPECT_EQ(full.message(), "No space left on device");
  EXPECT_EQ(full.ToString(), "error 28: No space left on device");
  // A negative code is an error too (the engine's short read is -1).
  EXPECT_FALSE(Status::Error(-1).ok());
  EXPECT_EQ(Status::Error(-1).ToString(), "error -1");
  EXPECT_FALSE(full == Status::Error(28, "other"));
  EXPECT_FALSE(full == Status::Error(5, "No space left on device"));
}

TEST(StatusOrTest, HoldsAValueOrTheError) {
  StatusOr<std::unique_ptr<int>> value = std::make_unique<int>(7);
  ASSERT_TRUE(value.ok());
  EXPECT_TRUE(value.status().ok());
  EXPECT_EQ(**value, 7);
  std::unique_ptr<int> taken = std::move(value).value();  // move-only values move out
  EXPECT_EQ(*taken, 7);

  const StatusOr<std::string> failed = Status::Error(2, "No such file or directory");
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.status().code(), 2);
  EXPECT_EQ(failed.status().message(), "No such file or directory");
}

}  // namespace
}  // namespace tallyvox
