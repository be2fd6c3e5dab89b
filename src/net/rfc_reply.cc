#include "net/rfc_reply.h"
#include "base/text.h"

#include <cctype>

namespace tallyvox::net {

std::string NetTrim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

void TNetRFCReply::Clear() {
  NumericCode = 0;
  TextCode.clear();
  Text.clear();
}

namespace {

// Decimal integer with an optional sign, as the whole text; false otherwise
// (also on overflow).
bool ParseInt(const std::string& s, int32_t* out) {
  if (s.empty()) return false;
  size_t i = 0;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (neg) v = -v;
  if (v > 2147483647LL || v < -2147483648LL) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

void TNetRFCReply::Parse(const std::vector<std::string>& lines) {
  Clear();
  if (lines.empty()) return;
  std::string code = NetTrim(lines[0].substr(0, 4));
  if (code.size() == 4 && code[3] == '-') code.resize(3);
  TextCode = code;
  int32_t n = 0;
  NumericCode = ParseInt(code, &n) ? n : 0;
  for (const std::string& line : lines) Text.push_back(line.size() > 4 ? line.substr(4) : "");
}

std::string TNetRFCReply::ErrorMessage() const {
  std::string m;
  for (const std::string& t : Text) m += t + "\r\n";
  return m;
}

bool TNetRFCReply::OpensContinuation(const std::string& line) {
  return line.size() > 3 && line[3] == '-';
}

bool TNetRFCReply::EndsContinuation(const std::string& line, const std::string& code3) {
  if (line.size() < 4) return true;
  return SameText(std::string_view(line).substr(0, 4), code3 + " ");
}

}  // namespace tallyvox::net
