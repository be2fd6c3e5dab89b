// table_child: a second user of a table for the tests that need another process. The
// tests spawn it (they never fork, as a test process may run threads).
//
//   table_child append FILE COUNT TAG [--at-size-limit]
//       Appends COUNT records through the engine, record i holding "TAG-i" in its first
//       field. With --at-size-limit the file may not grow (RLIMIT_FSIZE at its size,
//       SIGXFSZ ignored), so the first append meets a real write failure.
//   table_child edit FILE
//       Opens FILE as the audit table dataset and starts editing its record, as the
//       monitor's audit write does.
//
// Exit status 0 when everything succeeded; otherwise 1 and the error on standard
// output: its text, " code ", its code.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audit/dbe_table.h"
#include "dbe/dbe_engine.h"

namespace {

using namespace tallyvox;

int Usage() {
  std::fprintf(stderr,
               "usage: table_child append FILE COUNT TAG [--at-size-limit]\n"
               "       table_child edit FILE\n");
  return 2;
}

int Failed(const std::string& text, uint32_t code) {
  std::printf("%s code %u\n", text.c_str(), code);
  return 1;
}

int EngineFailed() {
  uint32_t code = 0;
  char text[dbe::kDbeMaxErrorLength];
  uint16_t length = sizeof text;
  dbe::DbeGetLastError(&code, text, &length);
  return Failed(std::string(text, length), code);
}

bool LimitFileSize(const std::string& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return false;
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{static_cast<rlim_t>(st.st_size), static_cast<rlim_t>(st.st_size)};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

int Append(const std::string& file, int count, const std::string& tag, bool at_size_limit) {
  if (at_size_limit && !LimitFileSize(file)) return Failed("cannot limit the file size", 0);
  const std::string folder = file.substr(0, file.rfind('/'));
  dbe::DbeHandle connection = 0, table = 0;
  if (dbe::DbeConnect(folder.c_str(), &connection) != 0 ||
      dbe::DbeOpenTable(connection, file.c_str(), nullptr, dbe::kDbeTableCdx, 1, 1, 1, 0, &table) !=
          0) {
    return EngineFailed();
  }
  for (int i = 0; i < count; ++i) {
    const std::string value = tag + "-" + std::to_string(i);
    if (dbe::DbeAppendRecord(table) != 0 ||
        dbe::DbeSetField(table, 1, reinterpret_cast<const uint8_t*>(value.data()),
                         static_cast<uint32_t>(value.size())) != 0 ||
        dbe::DbeWriteRecord(table) != 0) {
      return EngineFailed();
    }
  }
  return 0;
}

int Edit(const std::string& file) {
  const size_t slash = file.rfind('/');
  try {
    audit::TDbeSettings settings;
    settings.ApplyStoredValues();
    audit::TDbeTable table;
    table.SetDatabaseName(file.substr(0, slash + 1));
    table.SetTableName(file.substr(slash + 1));
    table.SetActive(true);
    table.EditRecord();
  } catch (const audit::EDbeDatabaseError& e) {
    return Failed(e.what(), e.ErrorCode());
  } catch (const std::exception& e) {
    return Failed(e.what(), 0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::string file = argv[2];
  if (file.find('/') == std::string::npos) return Usage();
  if (command == "append" &&
      (argc == 5 || (argc == 6 && std::strcmp(argv[5], "--at-size-limit") == 0))) {
    return Append(file, std::atoi(argv[3]), argv[4], argc == 6);
  }
  if (command == "edit" && argc == 3) return Edit(file);
  return Usage();
}
