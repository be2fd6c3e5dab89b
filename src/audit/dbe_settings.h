// TDbeSettings: the table engine's process-wide settings as the main window holds them,
// and the program's short date format, which applying DateFormat also sets.
#ifndef TALLYVOX_AUDIT_DBE_SETTINGS_H_
#define TALLYVOX_AUDIT_DBE_SETTINGS_H_

#include <cstdint>
#include <string>

namespace tallyvox::audit {

enum class TDbeServerType : uint16_t {
  stDBE_LOCAL = 1,
  stDBE_REMOTE = 2,
  stDBE_INTERNET = 4,
};
// A set of server types as bits of TDbeServerType.
using TDbeServerTypes = uint16_t;

// The program's short date format: the system's until TDbeSettings applies its own.
// Thread-safe.
std::string ProgramShortDateFormat();
// The system's short date format in d/M/y notation ("MM/dd/yy" in the C locale).
std::string SystemShortDateFormat();

// Engine settings, process-wide. Creating one makes the start-up engine calls; the
// setters make the engine call of each value. Only one may exist at a time. Every
// failure raises EDbeDatabaseError (audit/dbe_error.h) without a dataset name.
class TDbeSettings {
 public:
  // Raises "Only one DbeSettings component is allowed per application" while another
  // exists, or the engine's error when it refuses a start-up call.
  TDbeSettings();
  ~TDbeSettings();
  TDbeSettings(const TDbeSettings&) = delete;
  TDbeSettings& operator=(const TDbeSettings&) = delete;

  // Applies the main window's stored values in order: DateFormat "MM/dd/yyyy",
  // NumDecimals 2, ShowDeleted false, DbeServerTypes local only.
  void ApplyStoredValues();

  const std::string& DateFormat() const { return date_format_; }
  // Also becomes the program's short date format.
  void SetDateFormat(const std::string& format);
  uint16_t NumDecimals() const { return num_decimals_; }
  void SetNumDecimals(uint16_t decimals);
  bool ShowDeleted() const { return show_deleted_; }
  void SetShowDeleted(bool show);
  TDbeServerTypes DbeServerTypes() const { return server_types_; }
  // Raises "At least one server type must be selected." for an empty set.
  void SetDbeServerTypes(TDbeServerTypes types);
  int NumCachedTables() const { return num_cached_tables_; }
  void SetNumCachedTables(int count) { num_cached_tables_ = count; }
  int NumCachedCursors() const { return num_cached_cursors_; }
  void SetNumCachedCursors(int count) { num_cached_cursors_ = count; }

 private:
  std::string date_format_;
  uint16_t num_decimals_ = 2;
  bool show_deleted_ = false;
  TDbeServerTypes server_types_ = 0;
  int num_cached_tables_ = 0;
  int num_cached_cursors_ = 25;
};

}  // namespace tallyvox::audit

#endif  // TALLYVOX_AUDIT_DBE_SETTINGS_H_
