// Feeds arbitrary bytes to the table engine as a table file: parse the header, open the
// file, walk every visible record, read each field, then make the monitor's audit write
// through the table dataset. Nothing may crash or read out of bounds; refusals are fine.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "audit/dbe_table.h"
#include "dbe/dbe_engine.h"
#include "dbe/dbf_format.h"

using namespace tallyvox;

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    // tmpfs when there is one: rewriting a file on a journalling file system flushes it.
    const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/fuzz_dbf_table.XXXXXX";
    const char* made = ::mkdtemp(tmpl.data());
    if (made == nullptr) abort();
    static char removed_at_exit[128];
    std::snprintf(removed_at_exit, sizeof removed_at_exit, "%s", made);
    std::atexit([] {
      char file[160];
      std::snprintf(file, sizeof file, "%s/config.dbf", removed_at_exit);
      ::unlink(file);
      ::rmdir(removed_at_exit);
    });
    return std::string(made);
  }();
  return folder;
}

void WriteTable(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);
}

void ReadEverything(dbe::DbeHandle connection, const std::string& path) {
  dbe::DbeHandle table = 0;
  if (dbe::DbeOpenTable(connection, path.c_str(), nullptr, dbe::kDbeTableCdx, 1, 1, 1, 0, &table) !=
      0) {
    return;
  }
  uint32_t length = 0;
  uint16_t fields = 0;
  dbe::DbeGetRecordLength(table, &length);
  dbe::DbeGetNumFields(table, &fields);
  std::string record(length, '\0');
  dbe::DbeGotoTop(table);
  for (int i = 0; i < 64; ++i) {
    uint16_t eof = 1;
    if (dbe::DbeAtEOF(table, &eof) != 0 || eof) break;
    uint32_t n = length;
    if (dbe::DbeGetRecord(table, reinterpret_cast<uint8_t*>(record.data()), &n) == 0) {
      for (uint32_t f = 1; f <= fields; ++f) {
        uint32_t offset = 0, size = 0;
        dbe::DbeGetFieldOffset(table, f, &offset);
        dbe::DbeGetFieldLength(table, f, &size);
        if (offset + static_cast<uint64_t>(size) > length) abort();  // layout must fit
      }
    }
    dbe::DbeSkip(table, 1);
  }
  dbe::DbeCloseTable(table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  dbe::DbfParseResult parsed = dbe::ParseDbfHeader(bytes, size);
  if (parsed.fault == dbe::DbfHeaderFault::kNone) {
    // Every record the header counts lies inside the bytes; every field inside a record.
    const dbe::DbfHeader& h = parsed.header;
    const uint64_t end = h.header_length + uint64_t{h.record_count} * h.record_length;
    if (end > size) abort();
    for (const dbe::DbfField& f : h.fields) {
      if (f.offset + uint64_t{f.length} > h.record_length) abort();
      if (h.record_count > 0) {
        dbe::FieldValueText(f, data + h.header_length + f.offset);
      }
    }
  }

  const std::string path = Folder() + "/config.dbf";
  WriteTable(path, data, size);
  static dbe::DbeHandle connection = [] {
    dbe::DbeHandle c = 0;
    if (dbe::DbeConnect(Folder().c_str(), &c) != 0) abort();
    dbe::DbeShowDeleted(0);
    return c;
  }();
  ReadEverything(connection, path);

  // The monitor's audit write on whatever the file turned out to be.
  try {
    audit::TDbeTable table;
    table.SetDatabaseName(Folder() + "/");
    table.SetTableName("config.dbf");
    table.SetActive(true);
    table.EditRecord();
    table.SetFieldText("ipaddress", "10.0.0.1");
    table.SetFieldFloat("time", 0.5);
    table.PostRecord();
  } catch (const audit::EDatabaseError&) {
  }
  return 0;
}
