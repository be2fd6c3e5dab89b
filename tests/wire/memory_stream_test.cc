#include "middleware/wire/memory_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {
namespace {

TEST(MemoryStreamGrowth, FollowsHalfThenMegabyteStepsRoundedTo8K) {
  struct Case {
    int64_t capacity, needed, expected;
  } cases[] = {
      {0, 1, 8192},                 // 1 + 0 rounded up
      {0, 8192, 8192},              // exact multiple
      {8192, 8193, 16384},          // 8193 + 4096 = 12289 -> 16384
      {16384, 20000, 32768},        // 20000 + 8192 = 28192 -> 32768
      {1048575, 1048576, 1572864},  // 1048576 + 524287 -> 1572864
      {1048576, 1048577, 2105344},  // + exactly 1 MiB -> 2097153 -> 2105344
      {4194304, 4194305, 5251072},  // still 1 MiB once past 1 MiB
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MwMemoryStreamGrowth(c.capacity, c.needed), c.expected)
        << c.capacity << " " << c.needed;
  }
}

TEST(MemoryStream, CapacityGrowsByTheRuleAsWritesArrive) {
  TMwMemoryStream s;
  EXPECT_EQ(s.Capacity(), 0);
  s.Write(std::string(25, 'x'));
  EXPECT_EQ(s.Capacity(), 8192);
  s.Write(std::string(8192 - 25, 'y'));
  EXPECT_EQ(s.Capacity(), 8192);  // fits exactly
  s.Write("z");
  EXPECT_EQ(s.Capacity(), 16384);  // 8193 + 4096 rounded
  EXPECT_EQ(s.Size(), 8193);
  std::string all = s.ToString();
  EXPECT_EQ(all.substr(0, 25), std::string(25, 'x'));
  EXPECT_EQ(all.back(), 'z');
}

TEST(MemoryStream, ReadsNeverPassTheEnd) {
  TMwMemoryStream s;
  s.Assign("abcdef");
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(s.Read(buf, 8), 2u);  // only two left
  EXPECT_EQ(s.Remaining(), 0);
  s.Rewind();
  try {
    s.ReadBuffer(buf, 7);
    FAIL() << "short read accepted";
  } catch (const EMwException& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
    EXPECT_EQ(e.ErrorCode(), kMwErrStreamRead);
  }
  EXPECT_EQ(s.Position(), 0);  // a failed read consumes nothing
  EXPECT_THROW(s.Consume(7), EMwException);
  EXPECT_EQ(s.Consume(6)[5], 'f');
}

// The gap gets zeros even where the buffer held other bytes before (the
// stream was longer and shrank), not only where fresh memory happens to be
// zero.
TEST(MemoryStream, SeekPastEndFillsGapWithZerosOnWrite) {
  TMwMemoryStream s;
  s.Write("abcdefgh");
  s.SetSize(2);
  s.Seek(5);
  s.Write("c");
  EXPECT_EQ(s.ToString(), std::string("ab\0\0\0c", 6));
}

TEST(MemoryStream, ClearAndSetSize) {
  TMwMemoryStream s;
  s.Write("hello");
  s.SetSize(2);
  EXPECT_EQ(s.ToString(), "he");
  EXPECT_EQ(s.Position(), 2);
  s.SetSize(4);
  EXPECT_EQ(s.ToString(), std::string("he\0\0", 4));
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Capacity(), 0);
}

TEST(MemoryStream, CopyFromWholeSourceOrCount) {
  TMwMemoryStream src, dst;
  src.Assign("0123456789");
  src.Seek(7);
  dst.CopyFrom(src, 0);  // whole source, from position 0
  EXPECT_EQ(dst.ToString(), "0123456789");
  src.Seek(2);
  dst.Clear();
  dst.CopyFrom(src, 3);
  EXPECT_EQ(dst.ToString(), "234");
  EXPECT_THROW(dst.CopyFrom(src, 100), EMwException);
}

TEST(MemoryStream, CopiesAreIndependent) {
  TMwMemoryStream a;
  a.Write("abc");
  TMwMemoryStream b(a);
  b.Seek(0);
  b.Write("X");
  EXPECT_EQ(a.ToString(), "abc");
  EXPECT_EQ(b.ToString(), "Xbc");
}

}  // namespace
}  // namespace tallyvox::mw
