// MwChooseConnection: the choice the pool makes under its lock, over a
// snapshot of its list, without any connection or server.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "middleware/client/connection_pool.h"

namespace tallyvox::mw {
namespace {

using Kind = TMwPoolChoice::Kind;

// Shorthands for one listed connection.
constexpr TMwPoolCandidate kFree{false, false, false, 0};  // unlocked, no users
constexpr TMwPoolCandidate kGone{true, false, false, 0};
TMwPoolCandidate Locked(int users) { return {false, true, false, users}; }
TMwPoolCandidate Held(int users) { return {false, true, true, users}; }
// Counted by a caller that has not locked it yet.
TMwPoolCandidate Claimed(int users) { return {false, false, false, users}; }

struct ChooseCase {
  std::string name;
  std::vector<TMwPoolCandidate> list;
  size_t next_index;
  int max_connections;
  int creating;
  TMwPoolChoice want;
};

void PrintTo(const ChooseCase& c, std::ostream* os) { *os << c.name; }

class ChooseTest : public ::testing::TestWithParam<ChooseCase> {};

TEST_P(ChooseTest, Chooses) {
  const ChooseCase& c = GetParam();
  const TMwPoolChoice got = MwChooseConnection(c.list, c.next_index, c.max_connections, c.creating);
  EXPECT_EQ(got.kind, c.want.kind);
  if (c.want.kind == Kind::kExisting) {
    EXPECT_EQ(got.index, c.want.index);
    EXPECT_EQ(got.next_index, c.want.next_index);
  }
  if (c.want.kind == Kind::kCreate) {
    EXPECT_EQ(got.next_index, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pool, ChooseTest,
    ::testing::Values(
        ChooseCase{"EmptyListCreates", {}, 0, 5, 0, {Kind::kCreate, 0, 0}},
        ChooseCase{"EmptyListNoLimitCreates", {}, 0, -1, 0, {Kind::kCreate, 0, 0}},
        ChooseCase{"MaxZeroNeverCreates", {}, 0, 0, 0, {Kind::kNone, 0, 0}},
        ChooseCase{"UnlockedBeforeCreating", {Locked(1), kFree}, 0, 5, 0, {Kind::kExisting, 1, 0}},
        ChooseCase{
            "ScanStartsAtNextIndex", {kFree, kFree, kFree}, 1, 5, 0, {Kind::kExisting, 1, 1}},
        ChooseCase{
            "ScanWrapsToTheStart", {kFree, Locked(1), Locked(1)}, 2, 5, 0, {Kind::kExisting, 0, 2}},
        ChooseCase{"NextIndexPastTheEndRestarts", {kFree, kFree}, 7, 5, 0, {Kind::kExisting, 0, 0}},
        ChooseCase{"DiscardedNeverChosen", {kGone, kFree}, 0, 2, 0, {Kind::kExisting, 1, 0}},
        ChooseCase{"OnlyDiscardedCreates", {kGone}, 0, 2, 0, {Kind::kCreate, 0, 0}},
        ChooseCase{
            "AllLockedCreatesBelowMax", {Locked(1), Locked(1)}, 0, 3, 0, {Kind::kCreate, 0, 0}},
        ChooseCase{"CreationsInProgressCountTowardsMax",
                   {Locked(1), Locked(1)},
                   0,
                   3,
                   1,
                   {Kind::kExisting, 0, 1}},
        ChooseCase{"AtMaxTheFewestUsers",
                   {Locked(3), Locked(1), Locked(2)},
                   0,
                   3,
                   0,
                   {Kind::kExisting, 1, 2}},
        ChooseCase{"FewestUsersTieGoesToTheFirstScanned",
                   {Locked(1), Locked(1), Locked(1)},
                   1,
                   3,
                   0,
                   {Kind::kExisting, 1, 2}},
        ChooseCase{
            "LastPositionWrapsNextIndex", {Locked(2), Locked(1)}, 0, 2, 0, {Kind::kExisting, 1, 0}},
        ChooseCase{"FreeLockedBeforeHeld", {Held(0), Locked(4)}, 0, 2, 0, {Kind::kExisting, 1, 0}},
        ChooseCase{"HeldOnlyWhenNothingElse", {Held(2), Held(1)}, 0, 2, 0, {Kind::kExisting, 1, 0}},
        ChooseCase{
            "ClaimedUnlockedOneCreatesBelowMax", {Claimed(1)}, 0, 2, 0, {Kind::kCreate, 0, 0}},
        ChooseCase{"ClaimedUnlockedOneSharedAtMax", {Claimed(1)}, 0, 1, 0, {Kind::kExisting, 0, 0}},
        ChooseCase{"OnlyCreationsInProgressWait", {}, 0, 1, 1, {Kind::kWait, 0, 0}},
        ChooseCase{"DiscardedAndCreatingWait", {kGone}, 0, 1, 1, {Kind::kWait, 0, 0}}),
    [](const ::testing::TestParamInfo<ChooseCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tallyvox::mw
