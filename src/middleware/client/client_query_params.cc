#include "middleware/client/client_query_params.h"
#include "base/text.h"

#include <cctype>
#include <cstdio>
#include <optional>

#include "middleware/wire/mw_exception.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/value_formatter.h"

namespace tallyvox::mw {
namespace {

constexpr int32_t kErrUnsupportedVariant = 0x00E00001;
constexpr int32_t kErrUnknownParamDataType = 0x00F20201;

constexpr const char* kParamTypeNames[] = {"Unknown", "Input", "Output", "InputOutput", "Result"};

// Currency (scaled by 10,000) as the shortest decimal text.
std::string CurrencyText(int64_t scaled) {
  bool negative = scaled < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : scaled;
  std::string text = std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(fraction));
    std::string f(digits);
    while (!f.empty() && f.back() == '0') f.pop_back();
    text += "." + f;
  }
  return negative ? "-" + text : text;
}

}  // namespace

TFieldType MwParamDataTypeFromName(std::string_view name) {
  std::optional<TFieldType> type = FindFieldType(name, /*ignore_case=*/true);
  if (type && *type != ftUnknown) return *type;
  throw EMwException("Unknown parameter datatype (" + UpperCase(name) + ") send from server.",
                     kErrUnknownParamDataType);
}

TParamType MwParamTypeFromName(std::string_view name) {
  for (int i = 0; i < 5; ++i) {
    if (SameText(name, kParamTypeNames[i])) return static_cast<TParamType>(i);
  }
  return ptUnknown;
}

TParam* TParams::FindParam(std::string_view name) {
  for (TParam& p : items_) {
    if (SameText(p.name, name)) return &p;
  }
  return nullptr;
}

const TParam* TParams::FindParam(std::string_view name) const {
  return const_cast<TParams*>(this)->FindParam(name);
}

std::string MwParamValueText(const Variant& value, TMwStringConversion conversion,
                             const TMwFormatSettings& settings) {
  switch (value.VType()) {
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
    case varUInt64:
    case varOleStr:
    case varString:
    case varBoolean:
      return value.AsString();
    case varSingle:
    case varDouble:
      return conversion == mwscFixed ? MwFloatToText(value.AsDouble())
                                     : MwFloatToText(value.AsDouble(), settings.decimal_separator);
    case varDate:
      return conversion == mwscFixed ? MwDateTimeToText(value.AsDouble())
                                     : MwDateTimeToLocaleText(value.AsDouble(), settings);
    case varCurrency:
      return CurrencyText(value.CurrencyScaled());
    default:
      throw EMwException("Unsupported variant conversion. VarType=" +
                             std::to_string(static_cast<int>(value.VType())),
                         kErrUnsupportedVariant);
  }
}

std::string MwQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string MwParamDescription(const TParams& params, TMwStringConversion conversion,
                               const TMwFormatSettings& settings) {
  if (params.Empty()) return "*";
  std::string out;
  for (size_t i = 0; i < params.Count(); ++i) {
    const TParam& p = params[i];
    std::string entry = p.name + "," + std::to_string(static_cast<int>(p.param_type)) + "," +
                        std::to_string(static_cast<int>(p.data_type));
    if (!p.IsNull()) entry += "=" + MwParamValueText(p.value, conversion, settings);
    if (i > 0) out += ";";
    out += MwQuoted(entry);
  }
  return out;
}

std::vector<TMwStatement> MwSplitStatements(const std::vector<std::string>& lines) {
  std::vector<TMwStatement> statements;
  TMwStatement current;
  bool collecting = false;
  for (const std::string& raw : lines) {
    if (raw.empty()) continue;
    std::string line = raw;
    bool marked = line[0] == '!' || line[0] == '=';
    if (marked) {
      if (collecting && !current.lines.empty()) {
        statements.push_back(std::move(current));
        current = TMwStatement();
      }
      current.returns_rows = line[0] == '=';
      line.erase(0, 1);
    }
    collecting = true;
    current.lines.push_back(std::move(line));
  }
  if (collecting) statements.push_back(std::move(current));
  return statements;
}

std::string MwStatementText(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += line + "\r\n";
  size_t begin = 0, end = joined.size();
  while (begin < end && static_cast<unsigned char>(joined[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(joined[end - 1]) <= ' ') --end;
  if (begin == end) return "*";
  return joined.substr(begin, end - begin);
}

std::vector<std::string> MwParseParamNames(std::string_view text) {
  std::vector<std::string> names;
  char quote = 0;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (quote != 0) {
      if (c == quote) {
        if (i + 1 < text.size() && text[i + 1] == quote) {
          i += 2;  // a doubled quote does not end the quoted text
          continue;
        }
        quote = 0;
      }
      ++i;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      ++i;
      continue;
    }
    if (c == ':') {
      if (i + 1 < text.size() && text[i + 1] == ':') {
        i += 2;
        continue;
      }
      size_t begin = ++i;
      while (i < text.size()) {
        char n = text[i];
        if (n == ' ' || n == '\r' || n == '\n' || n == '\t' || n == ')' || n == ',' || n == ';' ||
            n == '=')
          break;
        ++i;
      }
      if (i > begin) names.emplace_back(text.substr(begin, i - begin));
      continue;
    }
    ++i;
  }
  return names;
}

}  // namespace tallyvox::mw
