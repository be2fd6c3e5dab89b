// DbeAuditLog: the audit log over the audit table DbeTable1 and the engine
// settings DbeSettings1 (created with the window's stored values applied).
//
// OpenAuditTable: when DbeTable1 is not Active, TableName and DatabaseName
// (the folder) from the settings, then Active. RecordProbe: EditRecord,
// SetFieldText "ipaddress", SetFieldFloat "time", PostRecord. Errors are the
// table's ("DbeTable1: ...").
//
// REQUIRES: no other TDbeSettings exists while this one lives (one per
// program). Used on one thread.
#ifndef TALLYVOX_ADAPTERS_AUDIT_LOG_H_
#define TALLYVOX_ADAPTERS_AUDIT_LOG_H_

#include <string>

#include "audit/dbe_table.h"
#include "monitor/seams.h"

namespace tallyvox::monitor {

class DbeAuditLog : public AuditLog {
 public:
  DbeAuditLog(std::string folder, std::string table);

  // Another folder or table name (a reloaded settings file): an open table
  // is closed when either changed, so the next OpenAuditTable opens the new.
  void Relocate(const std::string& folder, const std::string& table);

  void OpenAuditTable() override;
  void RecordProbe(const std::string& address, TDateTime start) override;

  audit::TDbeSettings DbeSettings1;
  audit::TDbeTable DbeTable1;

 private:
  std::string folder_;
  std::string table_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ADAPTERS_AUDIT_LOG_H_
