#include "outbox/alert_file.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "monitor/accounts.h"
#include "monitor/seams.h"

namespace tallyvox::monitor {
namespace {

constexpr std::string_view kMagic = "tallyvox-alert 1";
constexpr std::string_view kMagicName = "tallyvox-alert ";
constexpr std::array<std::string_view, 6> kKeys = {"",         "raised", "subject",
                                                   "accounts", "text",   "check"};
constexpr char kHex[] = "0123456789ABCDEF";

[[noreturn]] void Refuse(const std::string& what) { throw AlertFileError(what); }

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string CheckText(std::string_view bytes) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(Fnv1a64(bytes)));
  return buf;
}

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '%'; }

std::string Escape(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    if (NeedsEscape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(std::string_view value, std::string_view key) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '%') {
      const int hi = i + 1 < value.size() ? HexDigit(value[i + 1]) : -1;
      const int lo = i + 2 < value.size() ? HexDigit(value[i + 2]) : -1;
      if (hi < 0 || lo < 0) Refuse(std::string(key) + ": a bad %-escape");
      const unsigned char byte = static_cast<unsigned char>(hi * 16 + lo);
      if (!NeedsEscape(byte)) Refuse(std::string(key) + ": a needless %-escape");
      out += static_cast<char>(byte);
      i += 2;
    } else if (NeedsEscape(c)) {
      Refuse(std::string(key) + ": a control character");
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The decimal number of `width` digits at `at`, or -1.
int Digits(std::string_view text, size_t at, size_t width) {
  int value = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

TDateTime ParseTimestamp(std::string_view text) {
  // "2025-06-24 12:03:10.250"
  const auto bad = [&] { Refuse("raised: not a time (YYYY-MM-DD HH:MM:SS.mmm)"); };
  if (text.size() != 23 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.') {
    bad();
  }
  const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  const int ms = Digits(text, 20, 3);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0) {
    bad();
  }
  const TDateTime value = EncodeDate(year, month, day) + EncodeTime(hour, minute, second, ms);
  const DateTimeParts back = DecodeDateTime(value);
  if (back.month != month || back.day != day) bad();  // 2025-02-30
  return value;
}

void CheckAccounts(const std::vector<std::string>& accounts) {
  if (accounts.empty()) Refuse("accounts: none");
  for (size_t i = 0; i < accounts.size(); ++i) {
    const int number = MailAccountNumber(accounts[i]);
    bool alert_account = false;
    for (int a : kAlertAccounts) alert_account = alert_account || a == number;
    if (!alert_account) Refuse("accounts: '" + Escape(accounts[i]) + "' is no alert account");
    for (size_t j = 0; j < i; ++j) {
      if (accounts[j] == accounts[i]) Refuse("accounts: '" + Escape(accounts[i]) + "' twice");
    }
  }
}

void CheckSubject(const std::string& subject) {
  if (subject != kDownSubject && subject != kUpSubject && subject != kGroupDownSubject &&
      subject != kGroupUpSubject) {
    Refuse("subject: unknown");
  }
}

std::vector<std::string> SplitAccounts(std::string_view value) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= value.size()) {
    const size_t space = value.find(' ', start);
    const size_t end = space == std::string_view::npos ? value.size() : space;
    names.emplace_back(value.substr(start, end - start));
    if (names.size() > kAlertAccounts.size()) Refuse("accounts: too many");
    start = end + 1;
  }
  return names;
}

}  // namespace

std::string TimestampText(TDateTime local) {
  const DateTimeParts p = DecodeDateTime(local);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return buf;
}

std::string EncodeAlertFile(const QueuedAlert& alert) {
  CheckSubject(alert.subject);
  CheckAccounts(alert.accounts);
  if (alert.text.empty()) Refuse("text: empty");
  const DateTimeParts p = DecodeDateTime(alert.raised);
  if (p.year < 1 || p.year > 9999) Refuse("raised: out of range");
  std::string accounts;
  for (const std::string& name : alert.accounts) {
    accounts += (accounts.empty() ? "" : " ") + name;
  }
  std::string out = std::string(kMagic) + "\n";
  out += "raised " + TimestampText(alert.raised) + "\n";
  out += "subject " + Escape(alert.subject) + "\n";
  out += "accounts " + accounts + "\n";
  out += "text " + Escape(alert.text) + "\n";
  out += "check " + CheckText(out) + "\n";
  if (out.size() > kMaxAlertFileBytes) Refuse("the alert is too long for its file");
  return out;
}

QueuedAlert ParseAlertFile(std::string_view bytes) {
  if (bytes.size() > kMaxAlertFileBytes) {
    Refuse("longer than " + std::to_string(kMaxAlertFileBytes) + " bytes");
  }
  if (bytes.substr(0, kMagicName.size()) != kMagicName) Refuse("not an alert file");
  if (bytes.back() != '\n') Refuse("truncated: the last line has no end");
  std::array<std::string_view, kKeys.size()> lines;
  size_t count = 0, start = 0, check_at = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find('\n', start);  // found: the input ends in LF
    if (count == lines.size()) Refuse("more than " + std::to_string(lines.size()) + " lines");
    if (count == lines.size() - 1) check_at = start;
    lines[count++] = bytes.substr(start, end - start);
    start = end + 1;
  }
  if (lines[0] != kMagic) Refuse("an alert file of another version");
  if (count < lines.size()) {
    Refuse("truncated: " + std::to_string(count) + " of " + std::to_string(lines.size()) +
           " lines");
  }
  std::array<std::string_view, kKeys.size()> values;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view key = kKeys[i];
    if (lines[i].size() < key.size() + 1 || lines[i].substr(0, key.size()) != key ||
        lines[i][key.size()] != ' ') {
      Refuse("line " + std::to_string(i + 1) + ": expected " + std::string(key));
    }
    values[i] = lines[i].substr(key.size() + 1);
  }
  if (values[5] != CheckText(bytes.substr(0, check_at))) Refuse("check: does not match");

  QueuedAlert alert;
  alert.raised = ParseTimestamp(values[1]);
  alert.subject = Unescape(values[2], "subject");
  CheckSubject(alert.subject);
  alert.accounts = SplitAccounts(values[3]);
  CheckAccounts(alert.accounts);
  alert.text = Unescape(values[4], "text");
  if (alert.text.empty()) Refuse("text: empty");
  return alert;
}

}  // namespace tallyvox::monitor
