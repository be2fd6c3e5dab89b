// The table engine's test fixture: a connection to a fresh folder whose
// tables are reached through a FaultEnv, with helpers to write, open and read
// tables.
#ifndef TALLYVOX_TESTS_DBE_DBE_ENGINE_FIXTURE_H_
#define TALLYVOX_TESTS_DBE_DBE_ENGINE_FIXTURE_H_

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

#include "dbe/dbf_format.h"
#include "support/dbf_builder.h"
#include "support/fault_env.h"
#include "support/lock_holder.h"
#include "support/support.h"

namespace tallyvox::dbe::enginetest {

using testing::BuildDbf;
using testing::TestDbf;
using testing::TestDbfField;
using testing::TestDbfRecord;

inline std::string LastErrorText(uint32_t* code = nullptr) {
  uint32_t c = 0;
  char text[kDbeMaxErrorLength];
  uint16_t length = sizeof text;
  EXPECT_EQ(DbeGetLastError(&c, text, &length), kDbeSuccess);
  if (code) *code = c;
  return std::string(text, length);
}

// An fcntl request for the one byte at `offset`, as the engine's locks use it.
inline struct flock OneByte(int64_t offset, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  return fl;
}

inline TestDbf AuditTable(std::vector<TestDbfRecord> records) {
  TestDbf t;
  t.fields = {{"ipaddress", 'C', 64, 0}, {"time", 'N', 20, 10}};
  t.records = std::move(records);
  return t;
}

class DbeEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DbeShowDeleted(0), kDbeSuccess);
    ASSERT_EQ(DbeConnect(dir_.path().c_str(), &connection_), kDbeSuccess);
  }
  void TearDown() override {
    DbeDisconnect(connection_);
    DbeShowDeleted(0);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    testing::WriteFile(path, bytes);
    return path;
  }
  DbeResult Open(const std::string& path, DbeHandle* table, uint32_t options = 0) {
    return DbeOpenTable(connection_, path.c_str(), nullptr, kDbeTableCdx, 1, 1, 1, options, table);
  }
  DbeHandle OpenOk(const std::string& path) {
    DbeHandle t = 0;
    EXPECT_EQ(Open(path, &t), kDbeSuccess) << LastErrorText();
    return t;
  }
  std::string Record(DbeHandle t) {
    uint32_t length = 0;
    EXPECT_EQ(DbeGetRecordLength(t, &length), kDbeSuccess);
    std::string rec(length, '\0');
    EXPECT_EQ(DbeGetRecord(t, reinterpret_cast<uint8_t*>(rec.data()), &length), kDbeSuccess)
        << LastErrorText();
    return rec;
  }
  uint32_t Current(DbeHandle t) {
    uint32_t r = 0;
    EXPECT_EQ(DbeGetRecordNum(t, 2, &r), kDbeSuccess);
    return r;
  }

  testing::FaultEnv env_;
  testing::TempDir dir_;
  DbeHandle connection_ = 0;
};

}  // namespace tallyvox::dbe::enginetest

#endif  // TALLYVOX_TESTS_DBE_DBE_ENGINE_FIXTURE_H_
