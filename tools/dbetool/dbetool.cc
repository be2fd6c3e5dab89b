// dbetool: creates, lists and writes the monitor's audit table.
//
//   dbetool create FILE                 new table: ipaddress C 64, time N 20.10, no records
//   dbetool show FILE                   the fields and the visible records
//   dbetool record FILE ADDRESS [TIME]  the monitor's audit write; TIME is a day fraction
//                                       (0.5) or HH:MM[:SS[.mmm]], default the time now
//   dbetool hold FILE RECORD SECONDS    holds the record's lock for SECONDS (for tests of
//                                       lock conflicts; 0.1 works too); prints "locked"
//                                       once it holds it
//
// Exit status: 0 on success, 1 with the error message on standard error, 2 for usage.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "audit/audit_table_file.h"
#include "audit/dbe_table.h"
#include "audit/field_format.h"
#include "base/datetime.h"
#include "dbe/dbe_engine.h"

namespace {

using namespace tallyvox;
using namespace tallyvox::audit;

int Usage() {
  std::fprintf(stderr,
               "usage: dbetool create FILE\n"
               "       dbetool show FILE\n"
               "       dbetool record FILE ADDRESS [TIME]\n"
               "       dbetool hold FILE RECORD SECONDS\n");
  return 2;
}

int Error(const std::string& message) {
  std::fprintf(stderr, "dbetool: %s\n", message.c_str());
  return 1;
}

void SplitPath(const std::string& file, std::string* folder, std::string* name) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) {
    *folder = "./";
    *name = file;
  } else {
    *folder = file.substr(0, slash + 1);  // with its trailing separator, as the monitor sets it
    *name = file.substr(slash + 1);
  }
}

int Create(const std::string& file) {
  try {
    CreateAuditTableFile(file);
  } catch (const AuditTableFileError& e) {
    return Error(e.what());
  }
  return 0;
}

void Open(const std::string& file, TDbeTable* table) {
  std::string folder, name;
  SplitPath(file, &folder, &name);
  table->SetDatabaseName(folder);
  table->SetTableName(name);
  table->SetActive(true);
}

int Show(const std::string& file) {
  TDbeTable table;
  Open(file, &table);
  std::printf("table %s\n", table.TablePath().c_str());
  std::printf("fields:\n");
  for (const TDbeFieldDef& f : table.Fields()) {
    std::printf("  %u %-10s %s\n", f.number, f.name.c_str(), FieldTypeText(f).c_str());
  }
  std::printf("records:\n");
  for (table.First(); !table.Eof(); table.Next()) {
    std::printf("  %u", table.RecordNumber());
    for (const TDbeFieldDef& f : table.Fields()) {
      std::printf(" %s=\"%s\"", f.name.c_str(), table.FieldText(f.name).c_str());
    }
    std::printf("\n");
  }
  return 0;
}

// A day fraction ("0.5") or a time of day ("13:45", "13:45:10", "13:45:10.250").
bool ParseTime(const std::string& text, double* value) {
  if (text.find(':') == std::string::npos) return ParseFloatText(text, value);
  int h = 0, m = 0, s = 0, ms = 0, used = 0;
  const int n =
      std::sscanf(text.c_str(), "%2d:%2d%n:%2d%n.%3d%n", &h, &m, &used, &s, &used, &ms, &used);
  if (n < 2 || static_cast<size_t>(used) != text.size() || h > 23 || m > 59 || s > 59 || h < 0 ||
      m < 0 || s < 0 || ms < 0) {
    return false;
  }
  *value = EncodeTime(h, m, s, ms);
  return true;
}

int Record(const std::string& file, const std::string& address, const char* time_text) {
  double start = TimeOfDay();
  if (time_text != nullptr && !ParseTime(time_text, &start)) {
    return Error(std::string("not a time: ") + time_text);
  }
  TDbeTable table;
  Open(file, &table);
  table.EditRecord();
  table.SetFieldText("ipaddress", address);
  table.SetFieldFloat("time", start);
  table.PostRecord();
  std::printf("record %u: ipaddress=\"%s\" time=\"%s\"\n", table.RecordNumber(),
              table.FieldText("ipaddress").c_str(), table.FieldText("time").c_str());
  return 0;
}

int Hold(const std::string& file, const std::string& record_text, const std::string& seconds) {
  const long record = std::strtol(record_text.c_str(), nullptr, 10);
  char* end = nullptr;
  const double wait = std::strtod(seconds.c_str(), &end);
  if (record <= 0 || end == seconds.c_str() || *end != '\0' || !std::isfinite(wait) || wait <= 0 ||
      wait > 86400) {
    return Usage();
  }
  std::string folder, name;
  SplitPath(file, &folder, &name);
  dbe::DbeHandle connection = 0;
  dbe::DbeHandle table = 0;
  dbe::DbeResult r = TDbeConnectionList::Instance().Acquire(folder, &connection);
  if (r == 0)
    r = dbe::DbeOpenTable(connection, file.c_str(), nullptr, dbe::kDbeTableCdx, 1, 1, 1, 0, &table);
  if (r == 0) r = dbe::DbeLockRecord(table, static_cast<uint32_t>(record));
  if (r != 0) {
    uint32_t code = 0;
    char text[dbe::kDbeMaxErrorLength];
    uint16_t length = sizeof text;
    dbe::DbeGetLastError(&code, text, &length);
    return Error(std::string(text, length));
  }
  std::printf("locked\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::string file = argv[2];
  try {
    if (command == "create" && argc == 3) return Create(file);
    if (command == "show" || command == "record") {
      TDbeSettings settings;
      settings.ApplyStoredValues();
      if (command == "show" && argc == 3) return Show(file);
      if (command == "record" && (argc == 4 || argc == 5)) {
        return Record(file, argv[3], argc == 5 ? argv[4] : nullptr);
      }
    }
    if (command == "hold" && argc == 5) return Hold(file, argv[3], argv[4]);
  } catch (const EDatabaseError& e) {
    return Error(e.what());
  }
  return Usage();
}
