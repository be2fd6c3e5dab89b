#include "adapters/audit_log.h"

#include <utility>

namespace tallyvox::monitor {

DbeAuditLog::DbeAuditLog(std::string folder, std::string table)
    : DbeTable1("DbeTable1", "Form1"), folder_(std::move(folder)), table_(std::move(table)) {
  DbeSettings1.ApplyStoredValues();
}

void DbeAuditLog::Relocate(const std::string& folder, const std::string& table) {
  if (folder == folder_ && table == table_) return;
  if (DbeTable1.Active()) DbeTable1.SetActive(false);
  folder_ = folder;
  table_ = table;
}

void DbeAuditLog::OpenAuditTable() {
  if (DbeTable1.Active()) return;
  DbeTable1.SetTableName(table_);
  DbeTable1.SetDatabaseName(folder_);
  DbeTable1.SetActive(true);
}

void DbeAuditLog::RecordProbe(const std::string& address, TDateTime start) {
  DbeTable1.EditRecord();
  DbeTable1.SetFieldText("ipaddress", address);
  DbeTable1.SetFieldFloat("time", start);
  DbeTable1.PostRecord();
}

}  // namespace tallyvox::monitor
