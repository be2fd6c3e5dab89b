// Connection pool building blocks that need no server: cache keys, macro
// expansion, session names and the result cache.
#include <gtest/gtest.h>

#include <chrono>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "middleware/client/pool_cache.h"
#include "middleware/client/pool_crc32.h"
#include "middleware/client/pool_macros.h"
#include "middleware/client/pooled_dataset.h"
#include "middleware/client/pooled_session.h"
#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {
namespace {

TEST(PoolCrc32Test, MatchesTheCommonReflectedCrc) {
  EXPECT_EQ(MwCrc32(""), 0u);
  EXPECT_EQ(MwCrc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(MwCrc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

TEST(PoolCacheKeyTest, StatementAndSelectedParameterValues) {
  TParams params;
  params.Add({"a", ftInteger, ptInput, Variant(7)});
  params.Add({"b", ftString, ptOutput, Variant("x")});
  params.Add({"c", ftString, ptResult, Variant("r")});
  const std::string stmt = "select * from ufile7";
  // Every parameter selected with ptUnknown.
  EXPECT_EQ(MwCacheKey(stmt, params, 0, ptUnknown),
            static_cast<int32_t>(MwCrc32("select * from ufile7,7,x,r,")));
  // ptInputOutput selects input and output parameters.
  EXPECT_EQ(MwCacheKey(stmt, params, 0, ptInputOutput),
            static_cast<int32_t>(MwCrc32("select * from ufile7,7,x,")));
  EXPECT_EQ(MwCacheKey(stmt, params, 0, ptResult),
            static_cast<int32_t>(MwCrc32("select * from ufile7,r,")));
  // The flag leaves the parameters out of the key.
  EXPECT_EQ(MwCacheKey(stmt, params, mwcfNoParamsInCacheID, ptUnknown),
            static_cast<int32_t>(MwCrc32("select * from ufile7,")));
  // Another parameter value is another key.
  TParams other = params;
  other[0].value = Variant(8);
  EXPECT_NE(MwCacheKey(stmt, params, 0, ptUnknown), MwCacheKey(stmt, other, 0, ptUnknown));
}

struct MacroCase {
  const char* name;
  std::vector<std::string> macros;
  std::string text;
  std::string expected;
};

void PrintTo(const MacroCase& c, std::ostream* os) { *os << c.name; }

class PoolMacroTest : public ::testing::TestWithParam<MacroCase> {};

TEST_P(PoolMacroTest, Expands) {
  const MacroCase& c = GetParam();
  TMwStrings macros;
  for (const auto& line : c.macros) macros.Add(line);
  EXPECT_EQ(MwExpandMacros(c.text, macros, nullptr, nullptr, nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolMacroTest,
    ::testing::Values(
        MacroCase{"Known", {"T=ufile7"}, "select * from {%T%}", "select * from ufile7"},
        MacroCase{"NoMacrosLeavesText", {}, "select * from {%T%}", "select * from {%T%}"},
        MacroCase{"UnknownKeepsReference", {"X=y"}, "select * from {%T%}", "select * from {%T%}"},
        MacroCase{"NameIgnoresCase", {"t=ufile7"}, "select * from {%T%}", "select * from ufile7"},
        MacroCase{"SeveralAndRest", {"A=1", "B=two"}, "{%A%}-{%B%}-{%A%} end", "1-two-1 end"},
        MacroCase{"EmptyValue", {"T="}, "x{%T%}y", "xy"},
        MacroCase{"NoReference", {"T=1"}, "plain", "plain"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PoolMacroErrorTest, MissingEndMarkerNamesThirtyCharacters) {
  TMwStrings macros{"T=1"};
  std::string tail(40, 'a');
  try {
    MwExpandMacros("select {%" + tail, macros, nullptr, nullptr, nullptr);
    FAIL() << "no exception";
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), 0x04300013);
    EXPECT_EQ(std::string(e.what()), "Variable endmarker not found " + std::string(30, 'a'));
  }
}

TEST(PoolMacroEventTest, HandlerSeesEveryReferenceAndDecidesTheValue) {
  std::vector<std::string> seen;
  int reference_object = 0;
  TMwMacroEvent on_macro = [&](TMwClientConnectionPool*, void* reference, const std::string& name,
                               std::string& value) {
    EXPECT_EQ(reference, &reference_object);
    seen.push_back(name + "=" + value);
    if (name == "U") value = "users";
  };
  // With only a handler (no Macros) the text is still scanned.
  EXPECT_EQ(MwExpandMacros("{%T%} {%U%}", TMwStrings{}, on_macro, nullptr, &reference_object),
            "{%T%} users");
  EXPECT_EQ(seen, (std::vector<std::string>{"T={%T%}", "U={%U%}"}));
}

// The first two sessions of a process: DEMO_1 and DEMO_2; exits 0 when so.
void CheckFirstTwoSessions() {
  TMwPooledSession first;
  TMwPooledSession second;
  for (TMwPooledSession* s : {&first, &second}) {
    s->SetAutoSessionName(true);
    s->SetSessionName("DEMO");
  }
  bool ok = first.EffectiveSessionName() == "DEMO_1" && second.EffectiveSessionName() == "DEMO_2" &&
            TMwPooledSession::Find("DEMO_2") == &second &&
            TMwPooledSession::Find("DEMO") == nullptr;
  std::exit(ok ? 0 : 1);
}

// Session sequences are process-wide, so the first two sessions of a process
// are checked in a fresh process (the death-test child re-runs only this test).
TEST(PooledSessionDeathTest, FirstTwoSessionsOfAProcessAreDemo1AndDemo2) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CheckFirstTwoSessions(), ::testing::ExitedWithCode(0), "");
}

TEST(PooledSessionTest, EffectiveNameFollowsAutoSessionName) {
  TMwPooledSession session;
  const std::string suffix = "_" + std::to_string(session.SessionSequence());
  session.SetSessionName("DEMO");
  EXPECT_EQ(session.EffectiveSessionName(), "DEMO");
  session.SetAutoSessionName(true);
  EXPECT_EQ(session.EffectiveSessionName(), "DEMO" + suffix);
  EXPECT_EQ(TMwPooledSession::Find("DEMO" + suffix), &session);
  EXPECT_EQ(TMwPooledSession::Find("demo" + suffix), nullptr);  // exact comparison
}

TEST(PooledSessionTest, LaterSessionsGetIncreasingSequences) {
  TMwPooledSession a;
  TMwPooledSession b;
  EXPECT_EQ(b.SessionSequence(), a.SessionSequence() + 1);
}

TEST(PooledSessionTest, FindTakesTheFirstMatchAndForgetsDestroyedSessions) {
  auto a = std::make_unique<TMwPooledSession>();
  TMwPooledSession b;
  a->SetSessionName("SAME_NAME_X");
  b.SetSessionName("SAME_NAME_X");
  EXPECT_EQ(TMwPooledSession::Find("SAME_NAME_X"), a.get());
  a.reset();
  EXPECT_EQ(TMwPooledSession::Find("SAME_NAME_X"), &b);
}

TEST(PooledSessionTest, LoadedRewritesMatchingDatasetNames) {
  TMwPooledSession session;
  session.SetAutoSessionName(true);
  session.SetSessionName("DEMO");
  const std::string effective = session.EffectiveSessionName();
  TMwCustomPooledDataset same, other_case, other;
  same.SetSessionName("DEMO");
  other_case.SetSessionName("demo");
  other.SetSessionName("ELSE");
  session.Loaded({&same, &other_case, &other});
  EXPECT_EQ(same.SessionName(), effective);
  EXPECT_EQ(other_case.SessionName(), effective);  // case ignored when loaded
  EXPECT_EQ(other.SessionName(), "ELSE");

  TMwCustomPooledDataset inserted_exact, inserted_case;
  inserted_exact.SetSessionName("DEMO");
  inserted_case.SetSessionName("Demo");
  session.DatasetInserted(&inserted_exact);
  session.DatasetInserted(&inserted_case);
  EXPECT_EQ(inserted_exact.SessionName(), effective);
  EXPECT_EQ(inserted_case.SessionName(), "Demo");  // later insertions compare exactly
}

TEST(PooledSessionTest, SynchronousModeSerialisesThreads) {
  TMwPooledSession session;
  ASSERT_TRUE(session.Acquire(0));
  EXPECT_TRUE(session.Acquire(10));  // recursive for the holder
  EXPECT_EQ(session.UseCount(), 2);
  bool other_got_it = true;
  std::thread other([&] { other_got_it = session.Acquire(20); });
  other.join();
  EXPECT_FALSE(other_got_it);
  EXPECT_EQ(session.UseCount(), 2);  // the failed wait gave its count back
  session.Release();
  session.Release();
  EXPECT_EQ(session.UseCount(), 0);
  std::thread third([&] {
    other_got_it = session.Acquire(1000);
    if (other_got_it) session.Release();
  });
  third.join();
  EXPECT_TRUE(other_got_it);
}

// A point on the steady clock `days` after its epoch.
std::chrono::steady_clock::time_point Day(double days) {
  return std::chrono::steady_clock::time_point{} +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(days * 86400));
}

TMwCacheItem Item(int32_t key, TMwCacheFlags flags = 0, double created_day = 0) {
  TMwCacheItem item;
  item.key = key;
  item.flags = flags;
  item.created = Day(created_day);
  item.params.Add({"out", ftInteger, ptOutput, Variant(key)});
  return item;
}

TEST(PoolCacheTest, LookupMovesToFrontAndCopiesParameters) {
  TMwCache cache;
  cache.Store(Item(1), false, false);
  cache.Store(Item(2), false, false);  // order now 2, 1
  TMwCache::Hit hit;
  ASSERT_TRUE(cache.Lookup(1, false, &hit));
  EXPECT_EQ(hit.params[0].value, Variant(1));
  EXPECT_FALSE(cache.Lookup(3, false, &hit));
  // 1 is now the most recently used; trimming to one entry keeps it.
  cache.Collect(0, 1, Day(0));
  EXPECT_EQ(cache.Count(), 1u);
  EXPECT_TRUE(cache.Lookup(1, false, &hit));
  EXPECT_FALSE(cache.Lookup(2, false, &hit));
}

TEST(PoolCacheTest, DefinitionsOnlyItemIsAMissForRows) {
  TMwCache cache;
  TMwCacheItem item = Item(5);
  item.defs_only = true;
  item.has_rows = true;
  item.block = "TPF0";
  cache.Store(std::move(item), false, false);
  TMwCache::Hit hit;
  EXPECT_FALSE(cache.Lookup(5, false, &hit));
  ASSERT_TRUE(cache.Lookup(5, true, &hit));
  EXPECT_EQ(hit.block, "TPF0");
}

TEST(PoolCacheTest, ReplaceDropsTheOldItemAndCanKeepItsCreationTime) {
  TMwCache cache;
  cache.Store(Item(9, 0, 100.0), false, false);
  TMwCacheItem newer = Item(9, 0, 200.0);
  newer.params[0].value = Variant(99);
  cache.Store(std::move(newer), true, true);
  EXPECT_EQ(cache.Count(), 1u);
  // The kept creation time 100.0 makes the item old at day 100.5 + 1 h.
  cache.Collect(3600, 10, Day(100.0 + 2.0 / 24));
  EXPECT_EQ(cache.Count(), 0u);
}

TEST(PoolCacheTest, CollectByAgeAndEntriesHonoursFlags) {
  TMwCache cache;
  const double now = 1000.0;
  const double old = now - 1.0;  // a day old
  cache.Store(Item(1, 0, old), false, false);
  cache.Store(Item(2, mwcfDontAge, old), false, false);
  cache.Store(Item(3, mwcfDontGarbageCollect, old), false, false);
  cache.Store(Item(4, 0, now), false, false);
  cache.Collect(600, 100, Day(now));  // drops 1 only
  TMwCache::Hit hit;
  EXPECT_FALSE(cache.Lookup(1, false, &hit));
  EXPECT_EQ(cache.Count(), 3u);
  // Order (most recent first): 4, 3, 2. Trimming to 1 spares item 3.
  cache.Collect(0, 1, Day(now));
  EXPECT_TRUE(cache.Lookup(3, false, &hit));
  EXPECT_FALSE(cache.Lookup(2, false, &hit));
  // 0 entries removes even protected items; age is not applied with 0.
  cache.Collect(600, 0, Day(now));
  EXPECT_EQ(cache.Count(), 0u);
}

TEST(PoolCacheTest, NoAgeLimitWhenMaxAgeIsZero) {
  TMwCache cache;
  cache.Store(Item(1, 0, 1.0), false, false);
  cache.Collect(0, 100, Day(50000.0));
  EXPECT_EQ(cache.Count(), 1u);
}

}  // namespace
}  // namespace tallyvox::mw
