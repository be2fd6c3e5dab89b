// The outbox's alert file: what it writes reads back the same, and every
// file that is not exactly one (foreign, truncated, damaged, too long) is
// refused with what is wrong.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "monitor/seams.h"
#include "outbox/alert_file.h"

namespace tallyvox::monitor {
namespace {

const TDateTime kRaised = EncodeDate(2025, 6, 24) + EncodeTime(12, 3, 10, 250);

QueuedAlert Alert(const std::string& text) {
  return {kRaised, kDownSubject, {"quell_brindle", "erols"}, text};
}

TEST(AlertFileTest, WritesTheDocumentedLinesAndReadsThemBack) {
  const std::string bytes = EncodeAlertFile(Alert("IP 10.0.0.5 Is Down!"));
  EXPECT_EQ(bytes.substr(0, bytes.find("check ") + 6),
            "tallyvox-alert 1\n"
            "raised 2025-06-24 12:03:10.250\n"
            "subject Server Down!\n"
            "accounts quell_brindle erols\n"
            "text IP 10.0.0.5 Is Down!\n"
            "check ");
  const std::vector<QueuedAlert> alerts = {
      Alert("IP 10.0.0.5 Is Down!"),
      Alert("IP  Is Not Responding!"),         // empty address
      Alert("IP a\nb\r%20\x7F\x01 Is Down!"),  // what an address may hold
      Alert("IP \xC3\xA9t\xC3\xA9 Is Down!"),  // bytes above 0x7F as they are
      {EncodeDate(1, 1, 1), kUpSubject, {"erols"}, "IP 10.0.0.5 Is Up!"},
      // A grouped alert: a line per row.
      {kRaised, kGroupDownSubject, {"erols"}, "IP 10.0.0.5 Is Down!\nIP 10.0.0.7 Is Down!"},
      {kRaised, kGroupUpSubject, {"erols"}, "IP 10.0.0.5 Is Up!\nIP 10.0.0.7 Is Up!"},
      {EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 999),
       kDownSubject,
       {"quell_brindle"},
       std::string(kMaxAlertFileBytes - 200, 'x')},
  };
  for (const QueuedAlert& a : alerts) {
    const std::string bytes = EncodeAlertFile(a);
    EXPECT_EQ(bytes.find_first_of(std::string("\r\x01\x7F", 3)), std::string::npos);
    EXPECT_EQ(ParseAlertFile(bytes), a) << bytes;
  }
}

TEST(AlertFileTest, RefusesWhatIsNotExactlyAnAlertFile) {
  const std::string good = EncodeAlertFile(Alert("IP 10.0.0.5 Is Down!"));
  // A file with one line replaced, and a new check computed, so that the
  // line itself is what is refused.
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string body = good.substr(0, good.find("check "));
    body.replace(body.find(from), from.size(), to);
    // The check as the format defines it: FNV-1a 64 of the bytes before it.
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char c : body) {
      hash ^= c;
      hash *= 1099511628211ull;
    }
    char check[17];
    std::snprintf(check, sizeof check, "%016llx", hash);
    return body + "check " + check + "\n";
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty", "", "not an alert file"},
      {"foreign", "Subject: hello\n", "not an alert file"},
      {"another version", "tallyvox-alert 2\n", "an alert file of another version"},
      {"no final line end", good.substr(0, good.size() - 1), "truncated: the last line has no end"},
      {"lines missing", good.substr(0, good.find("text ")), "truncated: 4 of 6 lines"},
      {"a line more", good + "more\n", "more than 6 lines"},
      {"damaged byte", good.substr(0, 40) + "X" + good.substr(41), "check: does not match"},
      {"key out of place", with("subject ", "subjekt "), "line 3: expected subject"},
      {"bad time", with("12:03:10", "25:03:10"), "raised: not a time (YYYY-MM-DD HH:MM:SS.mmm)"},
      {"no such day", with("2025-06-24", "2025-02-30"), "raised: not a time"},
      {"unknown subject", with("Server Down!", "Hello"), "subject: unknown"},
      {"unknown account", with("quell_brindle erols", "erols bob"),
       "accounts: 'bob' is no alert account"},
      {"test-mail account", with("quell_brindle erols", "sorrel_brindle"),
       "accounts: 'sorrel_brindle' is no alert account"},
      {"account twice", with("quell_brindle erols", "erols erols"), "accounts: 'erols' twice"},
      {"no account", with("quell_brindle erols", ""), "accounts: '' is no alert account"},
      {"too many accounts", with("quell_brindle erols", "erols erols erols"), "accounts: too many"},
      {"bad escape", with("IP 10.0.0.5", "IP %G0"), "text: a bad %-escape"},
      {"cut escape", with("Is Down!", "Is Down!%4"), "text: a bad %-escape"},
      {"needless escape", with("IP 10", "IP %310"), "text: a needless %-escape"},
      {"raw control character", with("IP 10", "IP \t10"), "text: a control character"},
      {"empty text", with("text IP 10.0.0.5 Is Down!", "text "), "text: empty"},
      {"too long", std::string(kMaxAlertFileBytes + 1, 'x'), "longer than 16384 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseAlertFile(c.bytes);
      ADD_FAILURE() << "accepted";
    } catch (const AlertFileError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
    }
  }
}

// Whatever a crash or a bad disk leaves, the reader refuses it: every
// truncation and every changed byte of a good file.
TEST(AlertFileTest, EveryTruncationAndEveryChangedByteIsRefused) {
  const std::string good = EncodeAlertFile(Alert("IP 10.0.0.5 Is Down!"));
  for (size_t size = 0; size < good.size(); ++size) {
    EXPECT_THROW(ParseAlertFile(good.substr(0, size)), AlertFileError) << size;
  }
  for (size_t at = 0; at < good.size(); ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    EXPECT_THROW(ParseAlertFile(bad), AlertFileError) << at;
  }
}

TEST(AlertFileTest, WriterRefusesAnAlertItCouldNotReadBack) {
  const std::vector<QueuedAlert> bad = {
      {kRaised, "Hello", {"erols"}, "x"},
      {kRaised, kDownSubject, {}, "x"},
      {kRaised, kDownSubject, {"fallback"}, "x"},
      {kRaised, kDownSubject, {"erols"}, ""},
      {kRaised, kDownSubject, {"erols"}, std::string(kMaxAlertFileBytes, 'x')},
      {EncodeDate(10000, 1, 1), kDownSubject, {"erols"}, "x"},
  };
  for (const QueuedAlert& a : bad) EXPECT_THROW(EncodeAlertFile(a), AlertFileError) << a.text;
}

}  // namespace
}  // namespace tallyvox::monitor
