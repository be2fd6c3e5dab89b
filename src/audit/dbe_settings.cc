#include "audit/dbe_settings.h"

#include <langinfo.h>

#include <atomic>

#include "audit/dbe_error.h"
#include "base/mutex.h"
#include "dbe/dbe_engine.h"

namespace tallyvox::audit {

using namespace tallyvox::dbe;

namespace {

// The program's short date format, shared by every thread.
struct ShortDate {
  Mutex mutex;
  std::string value GUARDED_BY(mutex) = SystemShortDateFormat();
};

ShortDate& ProgramShortDate() {
  static ShortDate* date = new ShortDate;  // never destroyed: read until the end
  return *date;
}

std::atomic<int> g_settings_count{0};

[[noreturn]] void Refuse(const std::string& text) { throw EDbeDatabaseError(0, text, {}); }

// Engine check for the settings component: no dataset name in the message.
void CheckSettings(DbeResult result) {
  const Status status = EngineStatus(result);
  if (status.ok()) return;
  throw EDbeDatabaseError(static_cast<uint32_t>(status.code()), status.message(), {});
}

}  // namespace

std::string SystemShortDateFormat() {
  const char* f = nl_langinfo(D_FMT);
  std::string out;
  for (size_t i = 0; f != nullptr && f[i] != '\0'; ++i) {
    if (f[i] != '%') {
      out += f[i];
      continue;
    }
    switch (f[++i]) {
      case 'm':
        out += "MM";
        break;
      case 'd':
        out += "dd";
        break;
      case 'e':
        out += "d";
        break;
      case 'y':
        out += "yy";
        break;
      case 'Y':
        out += "yyyy";
        break;
      case '\0':
        return out;
      default:
        out += '%';
        out += f[i];
        break;  // left for the engine to refuse
    }
  }
  return out;
}

std::string ProgramShortDateFormat() {
  ShortDate& date = ProgramShortDate();
  MutexLock g(&date.mutex);
  return date.value;
}

TDbeSettings::TDbeSettings() {
  if (g_settings_count.fetch_add(1) != 0) {
    g_settings_count.fetch_sub(1);
    Refuse("Only one DbeSettings component is allowed per application");
  }
  try {
    CheckSettings(DbeCacheOpenCursors(25));
    date_format_ = SystemShortDateFormat();
    if (DbeSetDateFormat(date_format_.c_str()) != kDbeSuccess) {
      date_format_ = "MM/dd/ccyy";
      CheckSettings(DbeSetDateFormat(date_format_.c_str()));
    }
    CheckSettings(DbeGetDecimals(&num_decimals_));
    uint16_t deleted = 0;
    CheckSettings(DbeGetDeleted(&deleted));
    show_deleted_ = deleted != 0;
    server_types_ = static_cast<uint16_t>(TDbeServerType::stDBE_REMOTE) |
                    static_cast<uint16_t>(TDbeServerType::stDBE_INTERNET);
    CheckSettings(DbeSetServerType(server_types_));
  } catch (...) {
    g_settings_count.fetch_sub(1);
    throw;
  }
}

TDbeSettings::~TDbeSettings() { g_settings_count.fetch_sub(1); }

void TDbeSettings::ApplyStoredValues() {
  SetDateFormat("MM/dd/yyyy");
  SetNumDecimals(2);
  SetShowDeleted(false);
  SetDbeServerTypes(static_cast<uint16_t>(TDbeServerType::stDBE_LOCAL));
}

void TDbeSettings::SetDateFormat(const std::string& format) {
  CheckSettings(DbeSetDateFormat(format.c_str()));
  date_format_ = format;
  ShortDate& date = ProgramShortDate();
  MutexLock g(&date.mutex);
  date.value = format;
}

void TDbeSettings::SetNumDecimals(uint16_t decimals) {
  CheckSettings(DbeSetDecimals(decimals));
  num_decimals_ = decimals;
}

void TDbeSettings::SetShowDeleted(bool show) {
  CheckSettings(DbeShowDeleted(show ? 1 : 0));
  show_deleted_ = show;
}

void TDbeSettings::SetDbeServerTypes(TDbeServerTypes types) {
  if ((types & 7) == 0) Refuse("At least one server type must be selected.");
  CheckSettings(DbeSetServerType(types & 7));
  server_types_ = types & 7;
}

}  // namespace tallyvox::audit
