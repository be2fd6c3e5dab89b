#include "audit/dbe_error.h"

#include <cctype>

namespace tallyvox::audit {
namespace {

thread_local bool t_building_error = false;

int ParseNativeError(const std::string& text) {
  if (text.find("ERROR 7200:") == std::string::npos) return 0;
  static const char kKey[] = "NATIVEERROR = ";
  const size_t at = text.find(kKey);
  if (at == std::string::npos) return 0;
  size_t i = at + sizeof kKey - 1;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t value = 0;
  size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 10) {
    value = value * 10 + (text[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0 || i >= text.size() || text[i] != ';' || value > INT32_MAX) return 0;
  return static_cast<int>(negative ? -value : value);
}

std::string ParseColumnName(const std::string& text) {
  const size_t word = text.find("column");
  if (word == std::string::npos) return "";
  const size_t open = text.find('"', word + 6);
  if (open == std::string::npos) return "";
  const size_t close = text.find('"', open + 1);
  if (close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

}  // namespace

EDbeDatabaseError::EDbeDatabaseError(uint32_t code, const std::string& text, Context context)
    : EDatabaseError(context.dataset_name.empty() ? text : context.dataset_name + ": " + text),
      code_(code),
      native_error_(ParseNativeError(text)),
      text_(text),
      context_(std::move(context)) {
  if (code >= 5147 && code <= 5149) column_name_ = ParseColumnName(text);
}

Status EngineStatus(dbe::DbeResult result) {
  if (result == dbe::kDbeSuccess || t_building_error) return Status::OK();
  t_building_error = true;
  uint32_t code = 0;
  char text[dbe::kDbeMaxErrorLength];
  uint16_t length = sizeof text;
  Status status;
  if (dbe::DbeGetLastError(&code, text, &length) == dbe::kDbeSuccess && code != 0) {
    status = Status::Error(static_cast<int>(code), std::string(text, length));
  } else {
    status =
        Status::Error(static_cast<int>(result), "Engine error " + std::to_string(result) + ".");
  }
  t_building_error = false;
  return status;
}

}  // namespace tallyvox::audit
