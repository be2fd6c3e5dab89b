// Audit writes per second on a one-record table (EditRecord, two fields, PostRecord: a
// lock, a re-read, the record write and the unlock), next to the system's figure for a
// plain pwrite of the same record bytes at the same offset.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "audit/dbe_table.h"
#include "support/support.h"

namespace {

using namespace tallyvox;

// ipaddress C 64, time N 20.10, one record; header 97 bytes, record 85 bytes.
std::string MakeTable(const testing::TempDir& dir) {
  const std::string path = dir.File("config.dbf");
  std::string bytes(97, '\0');
  bytes[0] = 0x03;
  bytes[1] = 126;
  bytes[2] = 1;
  bytes[3] = 1;
  bytes[4] = 1;
  bytes[8] = 97;
  bytes[10] = 85;
  bytes.replace(32, 9, "ipaddress");
  bytes[32 + 11] = 'C';
  bytes[32 + 16] = 64;
  bytes.replace(64, 4, "time");
  bytes[64 + 11] = 'N';
  bytes[64 + 16] = 20;
  bytes[64 + 17] = 10;
  bytes[96] = 0x0D;
  bytes += std::string(85, ' ');
  bytes += '\x1A';
  testing::WriteFile(path, bytes);
  return path;
}

void BM_AuditWrite(benchmark::State& state) {
  testing::TempDir dir;
  MakeTable(dir);
  audit::TDbeTable table;
  table.SetDatabaseName(dir.path() + "/");
  table.SetTableName("config.dbf");
  table.SetActive(true);
  double t = 0.25;
  for (auto _ : state) {
    table.EditRecord();
    table.SetFieldText("ipaddress", "192.168.100.200");
    table.SetFieldFloat("time", t);
    table.PostRecord();
    t += 1e-7;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AuditWrite)->UseRealTime();

void BM_PlainPwrite(benchmark::State& state) {
  testing::TempDir dir;
  const std::string path = MakeTable(dir);
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) std::abort();
  std::string record = " 192.168.100.200" + std::string(49, ' ') + "        0.2500000000";
  for (auto _ : state) {
    if (::pwrite(fd, record.data(), record.size(), 97) != static_cast<ssize_t>(record.size())) {
      std::abort();
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainPwrite)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
