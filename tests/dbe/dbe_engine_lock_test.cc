// The table engine's record locks between processes and their byte
// convention, and tables shared with shapelib.
#include "dbe/dbe_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dbe/dbe_engine_fixture.h"
#include "dbe/dbf_format.h"
#include "support/dbf_builder.h"
#include "support/fault_env.h"
#include "support/lock_holder.h"
#include "support/support.h"

namespace tallyvox::dbe {
namespace {

using namespace enginetest;  // NOLINT: the fixture and its helpers

// ---- Locks -----------------------------------------------------------------------------

TEST_F(DbeEngineTest, RecordLocksExcludeOtherProcesses) {
  const std::string path =
      Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}, {false, {"b", "2"}}})));
  const DbeHandle t = OpenOk(path);
  {
    testing::LockHolder holder(path, 1);
    ASSERT_TRUE(holder.ok());
    EXPECT_EQ(DbeLockRecord(t, 1), kDbeErrRecordLocked);
    uint32_t code = 0;
    EXPECT_EQ(LastErrorText(&code), "Record 1 is locked by another user: " + path);
    EXPECT_EQ(code, kDbeErrRecordLocked);
    // Writing the held record without a lock is refused as well; another record is free.
    ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
    EXPECT_EQ(DbeWriteRecord(t), kDbeErrRecordLocked);
    EXPECT_EQ(DbeLockRecord(t, 2), kDbeSuccess);
    EXPECT_EQ(DbeUnlockRecord(t, 2), kDbeSuccess);
    holder.Release();
    EXPECT_EQ(DbeLockRecord(t, 1), kDbeSuccess);
  }
  // Now this table holds record 1: another process cannot lock it.
  testing::LockHolder second(path, 1);
  EXPECT_FALSE(second.ok());
  second.Release();
  EXPECT_EQ(DbeUnlockRecord(t, 1), kDbeSuccess);
  EXPECT_EQ(DbeUnlockRecord(t, 1), kDbeErrNotLocked);
  EXPECT_EQ(DbeLockRecord(t, 3), kDbeErrRecordOutOfRange);
  DbeCloseTable(t);
}

TEST_F(DbeEngineTest, LocksFollowTheDocumentedByteConvention) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeLockRecord(t, 1), kDbeSuccess);
  // Another program following the convention sees the lock on byte base + 1 only.
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  for (int64_t offset : {kDbeLockBase, kDbeLockBase + 1, kDbeLockBase + 2}) {
    struct flock fl = OneByte(offset, F_WRLCK);
    ASSERT_EQ(::fcntl(fd, F_OFD_GETLK, &fl), 0);
    EXPECT_EQ(fl.l_type == F_UNLCK, offset != kDbeLockBase + 1) << offset;
  }
  ::close(fd);
  // Two opens in one process are two users as well.
  const DbeHandle other = OpenOk(path);
  EXPECT_EQ(DbeLockRecord(other, 1), kDbeErrRecordLocked);
  DbeCloseTable(t);  // closing releases the lock
  EXPECT_EQ(DbeLockRecord(other, 1), kDbeSuccess);
  DbeCloseTable(other);
}

// ---- Interoperability ------------------------------------------------------------------

TEST_F(DbeEngineTest, ReadsAndWritesAShapelibTable) {
  const std::string path = dir_.File("shp.dbf");
  ASSERT_EQ(testing::RunCommand("dbfcreate " + path + " -s ipaddress 64 -n time 20 10"), 0);
  ASSERT_EQ(testing::RunCommand("dbfadd " + path + " 10.0.0.1 0.125"), 0);
  ASSERT_EQ(testing::RunCommand("dbfadd " + path + " 10.0.0.2 0.75"), 0);
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  EXPECT_EQ(Record(t).substr(1, 8), "10.0.0.1");
  ASSERT_EQ(DbeSkip(t, 1), kDbeSuccess);
  EXPECT_EQ(Record(t).substr(1, 8), "10.0.0.2");
  const std::string v = "172.16.0.99";
  ASSERT_EQ(DbeSetField(t, 1, reinterpret_cast<const uint8_t*>(v.data()), 11), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  ASSERT_EQ(DbeAppendRecord(t), kDbeSuccess);
  ASSERT_EQ(DbeSetField(t, 2, reinterpret_cast<const uint8_t*>("0.5"), 3), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  DbeCloseTable(t);
  std::string out;
  ASSERT_EQ(testing::RunCommand("dbfdump " + path, &out), 0);
  EXPECT_NE(out.find("10.0.0.1"), std::string::npos) << out;
  EXPECT_NE(out.find("172.16.0.99"), std::string::npos) << out;
  EXPECT_EQ(out.find("10.0.0.2"), std::string::npos) << out;
  EXPECT_NE(out.find("0.5000000000"), std::string::npos) << out;
}

}  // namespace
}  // namespace tallyvox::dbe
