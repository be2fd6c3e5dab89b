// The settings file: the shipped example, refusals with file, line and column,
// the password warning, and the window's start values filled from it. Also
// the roster's binding table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "config/settings_file.h"
#include "monitor/accounts.h"
#include "monitor/roster.h"
#include "support/support.h"

namespace tallyvox::monitor {
namespace {

using tallyvox::testing::ReadFile;
using tallyvox::testing::SourceDir;
using tallyvox::testing::TempDir;
using tallyvox::testing::WriteFile;

std::string ExampleText() { return ReadFile(SourceDir() + "/tallyvox.example.toml"); }

// The example with one line replaced.
std::string ExampleWith(const std::string& from, const std::string& to) {
  std::string text = ExampleText();
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

int LineOf(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  int line = 1;
  for (size_t i = 0; i < at && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

TEST(SettingsTest, ExampleHoldsTheWindowsStartValues) {
  const Settings s = ParseSettings(ExampleText(), "tallyvox.example.toml");
  EXPECT_EQ(s.interval, "60000");
  EXPECT_EQ(s.probe.port, 80);
  EXPECT_EQ(s.probe.connect_timeout, 5);
  EXPECT_EQ(s.probe.request_timeout, 5);
  EXPECT_EQ(s.audit_table, "config.dbf");
  EXPECT_EQ(s.mail.port, 465);
  EXPECT_EQ(s.mail.from.name, "Quorvant");
  for (const MailAccountSettings& a : s.mail.accounts) EXPECT_EQ(a.data_timeout_ms, 60000);
  const std::vector<int> unticked = {1,  2,  3,  6,  7,  8,  9,  11, 12, 13, 14, 18, 37, 43,  45,
                                     50, 70, 73, 80, 81, 82, 84, 85, 86, 88, 89, 90, 91, 103, 106};
  InputStore inputs;
  FillInputs(s, inputs);
  int ticked = 0;
  for (const ServerEntry& e : Roster::Rows()) {
    const bool empty = e.row == 14 || e.row == 43 || e.row == 50 || e.row == 73 || e.row == 91;
    const std::string address = inputs.Text(e.edit);
    EXPECT_EQ(address.empty(), empty) << e.row;
    if (!empty) {
      EXPECT_TRUE(address.rfind("192.0.2.", 0) == 0 || address.rfind("198.51.100.", 0) == 0 ||
                  address.rfind("203.0.113.", 0) == 0)
          << address;
    }
    const bool is_unticked = std::find(unticked.begin(), unticked.end(), e.row) != unticked.end();
    EXPECT_EQ(inputs.Checked(e.check_box), !is_unticked) << e.row;
    ticked += inputs.Checked(e.check_box);
  }
  EXPECT_EQ(ticked, 81);
  EXPECT_EQ(inputs.Text("Edit122"), "60000");
  EXPECT_FALSE(inputs.Checked("CheckBox108"));
  EXPECT_FALSE(inputs.Checked("CheckBox109"));
  EXPECT_TRUE(inputs.Checked("CheckBox114"));
  EXPECT_TRUE(s.warnings.empty());
}

// A settings file refused: the error names the file, the line of `at` and
// what is wrong, in one line without control bytes.
struct BadFile {
  const char* name;
  std::string text;
  std::string at;  // text whose line the error names
  std::string what;
};

void ExpectRefused(const std::vector<BadFile>& cases) {
  for (const BadFile& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseSettings(c.text, "/etc/tv.toml");
      ADD_FAILURE() << "accepted";
    } catch (const SettingsError& e) {
      const std::string message = e.what();
      const std::string prefix = "/etc/tv.toml:" + std::to_string(LineOf(c.text, c.at)) + ":";
      EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
      EXPECT_NE(message.find(c.what), std::string::npos) << message;
      for (unsigned char byte : message) EXPECT_FALSE(byte < 0x20 || byte == 0x7F) << message;
    }
  }
}

TEST(SettingsTest, BadPollingAndRosterValuesAreRefusedWithLineColumnAndWhatIsWrong) {
  std::string rows110 = ExampleText();
  rows110.erase(rows110.find("  { address = \"203.0.113.47\""),
                rows110.find('\n', rows110.find("203.0.113.47")) -
                    rows110.find("  { address = \"203.0.113.47\"") + 1);
  ExpectRefused({
      {"wrong type", ExampleWith("probe_port = 80", "probe_port = \"80\""), "probe_port",
       "polling.probe_port must be an integer, not a string"},
      {"port out of range", ExampleWith("probe_port = 80", "probe_port = 70000"), "probe_port",
       "polling.probe_port must be from 1 to 65535, not 70000"},
      {"unknown key", ExampleWith("request_timeout = 5", "request_timeout = 5\nretries = 2"),
       "retries", "unknown setting polling.retries"},
      {"misspelt account", ExampleWith("[mail.accounts.erols]", "[mail.accounts.erol]"),
       "[mail.accounts.erol]", "unknown setting mail.accounts.erol"},
      {"110 rows", rows110, "rows = [", "roster.rows must hold exactly 111 rows, not 110"},
      {"bad interval", ExampleWith("interval = \"60000\"", "interval = \"-5\""),
       "interval =", "polling.interval: '-5' is not a valid integer value"},
      {"zero connect time-out", ExampleWith("connect_timeout = 5", "connect_timeout = 0"),
       "connect_timeout", "polling.connect_timeout must be from 1 to 3600, not 0"},
      {"no probe at all", ExampleWith("# parallel = 32", "parallel = 0"), "parallel = 0",
       "polling.parallel must be from 1 to 111, not 0"},
      {"more probes than rows", ExampleWith("# parallel = 32", "parallel = 112"), "parallel = 112",
       "polling.parallel must be from 1 to 111, not 112"},
      {"row without enabled",
       ExampleWith("{ address = \"192.0.2.14\", enabled = true }", "{ address = \"192.0.2.14\" }"),
       "192.0.2.14", "missing roster.rows[4].enabled"},
      {"syntax", ExampleWith("[audit]", "[audit"), "[audit", ""},
      // A misspelt key is named as unknown, not as the key it was meant to be.
      {"misspelt enabled",
       ExampleWith("{ address = \"192.0.2.17\", enabled = false }",
                   "{ address = \"192.0.2.17\", enabeld = false }"),
       "enabeld", "unknown setting roster.rows[7].enabeld"},
      {"misspelt table", ExampleWith("[audit]", "[adit]"), "[adit]", "unknown setting adit"},
      {"misspelt audit key", ExampleWith("folder = ", "foldr = "), "foldr",
       "unknown setting audit.foldr"},
  });
}

TEST(SettingsTest, BadMailAndAlertValuesAreRefusedWithLineColumnAndWhatIsWrong) {
  ExpectRefused({
      {"fallback has no box",
       ExampleWith("[mail.accounts.fallback]", "[mail.accounts.fallback]\nuse = true"),
       "use = true", "unknown setting mail.accounts.fallback.use"},
      {"confirm 0", ExampleWith("confirm = 2", "confirm = 0"), "confirm = 0",
       "alerts.confirm must be from 1 to 1000, not 0"},
      {"negative reminder", ExampleWith("remind_minutes = 60", "remind_minutes = -1"),
       "remind_minutes", "alerts.remind_minutes must be from 0 to 525600, not -1"},
      {"empty outbox", ExampleWith("outbox = \"outbox\"", "outbox = \"\""), "outbox = \"\"",
       "alerts.outbox is empty (leave it out for no outbox)"},
      {"no bound", ExampleWith("outbox_max = 10000", "outbox_max = 0"), "outbox_max",
       "alerts.outbox_max must be from 1 to 1000000, not 0"},
      {"recovery as text", ExampleWith("recovery = true", "recovery = \"yes\""),
       "recovery =", "alerts.recovery must be true or false, not a string"},
      {"misspelt option", ExampleWith("confirm = 2", "confirms = 2"), "confirms",
       "unknown setting alerts.confirms"},
      {"group as text", ExampleWith("# group = true", "group = \"yes\""),
       "group =", "alerts.group must be true or false, not a string"},
      {"no group wait", ExampleWith("# group_wait_seconds = 10", "group_wait_seconds = 0"),
       "group_wait_seconds = 0", "alerts.group_wait_seconds must be from 1 to 3600, not 0"},
      {"no wait for the final dot", ExampleWith("data_timeout_ms = 60000", "data_timeout_ms = 0"),
       "data_timeout_ms = 0",
       "mail.accounts.fallback.data_timeout_ms must be from 1 to 120000, not 0"},
      {"a wait past the delivery's bound",
       ExampleWith("data_timeout_ms = 60000", "data_timeout_ms = 120001"), "data_timeout_ms =",
       "mail.accounts.fallback.data_timeout_ms must be from 1 to 120000, not 120001"},
      {"recipient not an address",
       ExampleWith("address = \"quell@example.com\"", "address = \"Quell\""), "address = \"Quell\"",
       "mail.message.recipient.address is not a mail address: 'Quell'"},
      {"phone with two at signs", ExampleWith("5550100@txt.example.net", "5550100@txt@example.net"),
       "5550100@", "mail.message.phone.address is not a mail address: '5550100@txt@example.net'"},
      {"empty history database", ExampleWith("database = \"history.sqlite\"", "database = \"\""),
       "database = \"\"", "history.database is empty (leave it out for no history)"},
      {"history kept no day", ExampleWith("keep_days = 30", "keep_days = 0"), "keep_days = 0",
       "history.keep_days must be from 1 to 36500, not 0"},
      {"misspelt history key", ExampleWith("keep_days = 30", "keepdays = 30"), "keepdays",
       "unknown setting history.keepdays"},
      {"web user without a bcrypt hash",
       ExampleWith("keep_days = 30", "keep_days = 30\n[web]\nusers = { quell = \"secret\" }"),
       "users =", "web.users.quell is not a bcrypt hash"},
      {"web user with a colon",
       ExampleWith("keep_days = 30", "keep_days = 30\n[web]\nusers = { \"a:b\" = \"$2y$10$" +
                                         std::string(53, 'a') + "\" }"),
       "users =", "web.users.a:b: a user name must not be empty or hold a colon"},
      {"alertmanager as one URL",
       ExampleWith("# alertmanager = [\"http://127.0.0.1:9093\"]",
                   "alertmanager = \"http://127.0.0.1:9093\""),
       "alertmanager =", "alerts.alertmanager must be an array of URLs, not a string"},
      {"alertmanager over https",
       ExampleWith("# alertmanager = [\"http://127.0.0.1:9093\"]",
                   "alertmanager = [\"https://am.example.net\"]"),
       "\"https://", "alerts.alertmanager https://am.example.net: https is not supported"},
      {"alertmanager port out of range",
       ExampleWith("# alertmanager = [\"http://127.0.0.1:9093\"]",
                   "alertmanager = [\"http://127.0.0.1:9093\", \"http://am:70000\"]"),
       "\"http://am:", "alerts.alertmanager http://am:70000: the port must be from 1 to 65535"},
      {"alertmanager twice",
       ExampleWith("# alertmanager = [\"http://127.0.0.1:9093\"]",
                   "alertmanager = [\"http://a:1\", \"http://a:1\"]"),
       "\"http://a:1\"]", "alerts.alertmanager lists http://a:1 twice"},
      {"web certificate without its key",
       ExampleWith("keep_days = 30", "keep_days = 30\n[web]\ntls_cert = \"/etc/tv/c.pem\""),
       "tls_cert =", "web.tls_cert is set without web.tls_key (set both or neither)"},
      {"web key without its certificate",
       ExampleWith("keep_days = 30", "keep_days = 30\n[web]\ntls_key = \"/etc/tv/k.pem\""),
       "tls_key =", "web.tls_key is set without web.tls_cert (set both or neither)"},
      {"empty web certificate",
       ExampleWith("keep_days = 30", "keep_days = 30\n[web]\ntls_cert = \"\"\ntls_key = \"k\""),
       "tls_cert =", "web.tls_cert is empty"},
      {"ticked account without host", ExampleWith("host = \"smtp.example.org\"", "host = \"\""),
       "host = \"\"", "mail.accounts.erols.host is empty, and the account is ticked (use = true)"},
  });
}

TEST(SettingsTest, RefusedValuesAreQuotedWithTheirControlBytesEscaped) {
  ExpectRefused({
      // Refused values are quoted with their control bytes escaped, so that they can
      // neither steer the terminal that shows the error nor cut it short (a NUL).
      {"interval with control bytes",
       ExampleWith("interval = \"60000\"", R"(interval = "\u001b[2J6\r\n0\u0000x\t")"),
       "interval =", R"(polling.interval: '\x1b[2J6\r\n0\x00x\t' is not a valid integer value)"},
      {"key with control bytes",
       ExampleWith("request_timeout = 5",
                   "request_timeout = 5\n"
                   R"("bad\u001b]0;t\u0007" = 1)"),
       R"("bad\u001b)", R"(unknown setting polling.bad\x1b]0;t\x07)"},
      {"password file with control bytes",
       ExampleWith(R"(password = ""    # or: password_file = "erols.password")",
                   R"(password_file = "/nonexistent/p\u001bw\nx")"),
       "/nonexistent/p", R"(cannot read password_file /nonexistent/p\x1bw\nx)"},
      // The parser quotes what it read up to the byte it stopped at.
      {"raw control byte", ExampleWith("recovery = true", "recovery = tr\x1b[2J"), "recovery = tr",
       R"(saw 'tr\x1b')"},
  });
}

// The example turns every alert option on; a file without [alerts] leaves
// each off, as the window behaves.
TEST(SettingsTest, AlertOptionsOnInTheExampleAndOffWhenLeftOut) {
  const Settings example = ParseSettings(ExampleText(), "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(example.alerts.outbox, "/etc/tallyvox/outbox");  // beside the file
  EXPECT_EQ(example.alerts.outbox_max, 10000u);
  EXPECT_EQ(example.alerts.policy.confirm, 2);
  EXPECT_EQ(example.alerts.policy.remind_minutes, 60);
  EXPECT_TRUE(example.alerts.policy.recovery);

  std::string text = ExampleText();
  const size_t from = text.find("[alerts]");
  text.erase(from, text.find("\n\n", from) - from);
  const Settings none = ParseSettings(text, "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(none.alerts.outbox, "");
  EXPECT_EQ(none.alerts.outbox_max, 10000u);
  EXPECT_EQ(none.alerts.policy.confirm, 1);
  EXPECT_EQ(none.alerts.policy.remind_minutes, 0);
  EXPECT_FALSE(none.alerts.policy.recovery);
  EXPECT_FALSE(none.alerts.grouping.group);
  EXPECT_FALSE(example.alerts.grouping.group);  // commented out in the example
  EXPECT_EQ(example.alerts.grouping.wait_seconds, 10);
  EXPECT_EQ(example.probe.parallel, 1);

  const Settings on = ParseSettings(
      ExampleWith("# group_wait_seconds = 10", "group = true\ngroup_wait_seconds = 3"),
      "/etc/tallyvox/tallyvox.toml");
  EXPECT_TRUE(on.alerts.grouping.group);
  EXPECT_EQ(on.alerts.grouping.wait_seconds, 3);
  EXPECT_EQ(
      ParseSettings(ExampleWith("# parallel = 32", "parallel = 111"), "t.toml").probe.parallel,
      111);

  EXPECT_TRUE(example.alerts.alertmanager.empty());  // commented out in the example
  const Settings am = ParseSettings(
      ExampleWith("# alertmanager = [\"http://127.0.0.1:9093\"]",
                  "alertmanager = [\"http://127.0.0.1:9093\", \"http://[::1]:9094/am/\"]\n"
                  "instance = \"site-a\""),
      "t.toml");
  EXPECT_EQ(am.alerts.alertmanager,
            (std::vector<std::string>{"http://127.0.0.1:9093", "http://[::1]:9094/am/"}));
  EXPECT_EQ(am.alerts.instance, "site-a");

  const Settings absolute =
      ParseSettings(ExampleWith("outbox = \"outbox\"", "outbox = \"/var/spool/tallyvox\""),
                    "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(absolute.alerts.outbox, "/var/spool/tallyvox");
}

// The example turns the history on beside the file; a file without
// [history] keeps none.
TEST(SettingsTest, HistoryOnInTheExampleAndOffWhenLeftOut) {
  const Settings example = ParseSettings(ExampleText(), "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(example.history.database, "/etc/tallyvox/history.sqlite");
  EXPECT_EQ(example.history.keep_days, 30);

  std::string text = ExampleText();
  const size_t from = text.find("[history]");
  text.erase(from, text.find("\n\n", from) - from);
  const Settings none = ParseSettings(text, "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(none.history.database, "");
  EXPECT_EQ(none.history.keep_days, 30);

  const Settings absolute = ParseSettings(
      ExampleWith("database = \"history.sqlite\"", "database = \"/var/lib/tv/h.sqlite\""),
      "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(absolute.history.database, "/var/lib/tv/h.sqlite");
}

// [web] tls_cert and tls_key are read beside the settings file unless
// absolute; without them the endpoint stays plain HTTP.
TEST(SettingsTest, WebCertificateAndKeyBesideTheFile) {
  const Settings s = ParseSettings(
      ExampleWith("keep_days = 30",
                  "keep_days = 30\n[web]\ntls_cert = \"tls/c.pem\"\ntls_key = \"/etc/ssl/k.pem\""),
      "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(s.web.tls_cert, "/etc/tallyvox/tls/c.pem");
  EXPECT_EQ(s.web.tls_key, "/etc/ssl/k.pem");
  const Settings plain = ParseSettings(ExampleText(), "/etc/tallyvox/tallyvox.toml");
  EXPECT_EQ(plain.web.tls_cert, "");
  EXPECT_EQ(plain.web.tls_key, "");
}

// A loaded file's paths are checked on disk: a ca_file that cannot be read
// and an outbox without its parent folder are refused at their line.
TEST(SettingsTest, LoadedFilesNameACaFileOrOutboxFolderThatIsMissing) {
  TempDir dir;
  WriteFile(dir.File("ca.pem"), "not checked here\n");
  struct Case {
    const char* name;
    std::string from, to;
    std::string what;  // empty: loads
  };
  const std::vector<Case> cases = {
      {"readable ca_file", "ca_file = \"\"", "ca_file = \"" + dir.File("ca.pem") + "\"", ""},
      {"missing ca_file", "ca_file = \"\"", "ca_file = \"" + dir.File("none.pem") + "\"",
       "cannot read mail.accounts.fallback.ca_file " + dir.File("none.pem") +
           ": No such file or directory"},
      {"outbox beside the file", "outbox = \"outbox\"", "outbox = \"outbox\"", ""},
      {"web certificate and key beside the file", "[polling]",
       "web = { tls_cert = \"ca.pem\", tls_key = \"ca.pem\" }\n[polling]", ""},
      {"missing web key", "[polling]",
       "web = { tls_cert = \"ca.pem\", tls_key = \"key.pem\" }\n[polling]",
       "cannot read web.tls_key " + dir.File("key.pem") + ": No such file or directory"},
      {"history in a missing folder", "database = \"history.sqlite\"",
       "database = \"gone/h.sqlite\"",
       "history.database " + dir.File("gone/h.sqlite") + ": its folder " + dir.File("gone") +
           " does not exist"},
      {"outbox in a missing folder", "outbox = \"outbox\"", "outbox = \"gone/outbox\"",
       "alerts.outbox " + dir.File("gone/outbox") + ": its parent folder " + dir.File("gone") +
           " does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = ExampleWith(c.from, c.to);
    const std::string path = dir.File("tv.toml");
    WriteFile(path, text);
    if (c.what.empty()) {
      EXPECT_NO_THROW(LoadSettings(path));
      continue;
    }
    try {
      LoadSettings(path);
      ADD_FAILURE() << "accepted";
    } catch (const SettingsError& e) {
      const std::string prefix = path + ":" + std::to_string(LineOf(text, c.to)) + ":";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
    }
    // A text parsed on its own names no file on disk.
    EXPECT_NO_THROW(ParseSettings(text, path));
  }
}

// The interval may be written as a number as well as the box's text.
TEST(SettingsTest, AnIntervalAsANumberOrAText) {
  for (const auto& [line, want] :
       std::vector<std::pair<std::string, std::string>>{{"interval = 5000", "5000"},
                                                        {"interval = \"5000\"", "5000"},
                                                        {"interval = \"$EA60\"", "$EA60"}}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(ParseSettings(ExampleWith("interval = \"60000\"", line), "/etc/tv.toml").interval,
              want);
  }
  EXPECT_THROW(ParseSettings(ExampleWith("interval = \"60000\"", "interval = -5"), "/etc/tv.toml"),
               SettingsError);
}

TEST(SettingsTest, PasswordInAFileOthersCanReadIsWarnedAbout) {
  TempDir dir;
  const std::string path = dir.File("tv.toml");
  WriteFile(path, ExampleWith("user = \"quell@example.org\"\npassword = \"\"",
                              "user = \"quell@example.org\"\npassword = \"s3cret\""));
  ::chmod(path.c_str(), 0644);
  Settings s = LoadSettings(path);
  ASSERT_EQ(s.warnings.size(), 1u);
  EXPECT_NE(s.warnings[0].find("chmod 600"), std::string::npos);
  EXPECT_EQ(s.mail.accounts[3].password, "s3cret");
  ::chmod(path.c_str(), 0600);
  EXPECT_TRUE(LoadSettings(path).warnings.empty());
}

TEST(SettingsTest, PasswordFileRelativeToTheSettings) {
  TempDir dir;
  WriteFile(dir.File("erols.password"), "from-file\n");
  ::chmod(dir.File("erols.password").c_str(), 0600);
  const std::string path = dir.File("tv.toml");
  WriteFile(path, ExampleWith("user = \"quell@example.org\"\npassword = \"\"",
                              "user = \"quell@example.org\"\npassword_file = \"erols.password\""));
  ::chmod(path.c_str(), 0644);
  const Settings s = LoadSettings(path);
  EXPECT_EQ(s.mail.accounts[3].password, "from-file");
  EXPECT_TRUE(s.warnings.empty());
  EXPECT_THROW(LoadSettings(dir.File("missing.toml")), SettingsError);
}

// A password_file others may read is warned about as a settings file with
// a password is; only its first line is the password.
TEST(SettingsTest, PasswordFileOthersCanReadIsWarnedAbout) {
  TempDir dir;
  const std::string password = dir.File("erols.password");
  WriteFile(password, "s3cret\r\nsecond line\n");
  const std::string path = dir.File("tv.toml");
  WriteFile(path, ExampleWith("user = \"quell@example.org\"\npassword = \"\"",
                              "user = \"quell@example.org\"\npassword_file = \"erols.password\""));
  ::chmod(path.c_str(), 0600);
  for (const mode_t mode : {0644, 0640, 0604}) {
    ::chmod(password.c_str(), mode);
    const Settings s = LoadSettings(path);
    EXPECT_EQ(s.mail.accounts[3].password, "s3cret");
    EXPECT_EQ(s.warnings,
              std::vector<std::string>{
                  password + ": holds a mail password and other users can read it; make it "
                             "private (chmod 600)"})
        << std::oct << mode;
  }
  ::chmod(password.c_str(), 0600);
  EXPECT_TRUE(LoadSettings(path).warnings.empty());
}

// An interval of 0 is taken (the window takes it too) but stops polling
// after one cycle: the file's reader is told, with the key and the place.
TEST(SettingsTest, AnIntervalOfZeroIsWarnedAbout) {
  for (const std::string interval : {"0", "$0", " -0", "$00000000"}) {
    SCOPED_TRACE(interval);
    const std::string text = ExampleWith("interval = \"60000\"", "interval = \"" + interval + "\"");
    const Settings s = ParseSettings(text, "/etc/tv.toml");
    EXPECT_EQ(s.interval, interval);
    ASSERT_EQ(s.warnings.size(), 1u);
    EXPECT_EQ(s.warnings[0].rfind("/etc/tv.toml:" + std::to_string(LineOf(text, "interval =")) +
                                      ":12: polling.interval is 0: polling runs one cycle when it "
                                      "starts and then stops",
                                  0),
              0u)
        << s.warnings[0];
  }
  for (const std::string interval : {"1", "$EA60", "60000"}) {
    EXPECT_TRUE(
        ParseSettings(ExampleWith("interval = \"60000\"", "interval = \"" + interval + "\""),
                      "/etc/tv.toml")
            .warnings.empty())
        << interval;
  }
}

// A file that is not there names the init command that makes it there; a
// folder in its place is refused as unreadable, with no such advice.
TEST(SettingsTest, AMissingFileSaysWhichInitCommandMakesIt) {
  const std::vector<std::pair<std::string, std::string>> commands = {
      {"/home/q/.config/tallyvox/tallyvox.toml", "tallyvox init /home/q/.config/tallyvox"},
      {"/etc/tv.toml", "tallyvox init /etc && mv /etc/tallyvox.toml /etc/tv.toml"},
      {"/tallyvox.toml", "tallyvox init /"},
      {"tv.toml", "tallyvox init . && mv ./tallyvox.toml tv.toml"},
      {"/home/o'neil/my tv/tallyvox.toml", "tallyvox init '/home/o'\\''neil/my tv'"},
  };
  for (const auto& [path, command] : commands) EXPECT_EQ(InitCommandFor(path), command) << path;

  TempDir dir;
  const std::string missing = dir.File("tv.toml");
  try {
    LoadSettings(missing);
    ADD_FAILURE() << "read a missing file";
  } catch (const SettingsFileMissing& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": there is no settings file; \"" +
                                         InitCommandFor(missing) + "\" makes one");
  }
  try {
    LoadSettings(dir.path());
    ADD_FAILURE() << "read a folder";
  } catch (const SettingsFileMissing& e) {
    ADD_FAILURE() << e.what();
  } catch (const SettingsError& e) {
    EXPECT_EQ(std::string(e.what()),
              dir.path() + ":1:1: cannot read the settings file: it is a folder");
  }
}

TEST(RosterTest, BindingTableByRanges) {
  struct Row {
    int row;
    const char *check_box, *edit, *label;
    int counter;
    bool time;
  };
  const std::vector<Row> rows = {
      {1, "CheckBox1", "Edit1", "Label1", 1, true},
      {12, "CheckBox12", "Edit12", "Label12", 12, true},
      {13, "CheckBox13", "Edit13", "Label14", 13, false},
      {15, "CheckBox15", "Edit15", "Label16", 15, false},
      {16, "CheckBox16", "Edit16", "Label19", 16, false},
      {27, "CheckBox27", "Edit27", "Label30", 27, false},
      {28, "CheckBox107", "Edit107", "Label111", 107, false},
      {29, "CheckBox28", "Edit28", "Label31", 28, false},
      {107, "CheckBox106", "Edit106", "Label109", 106, false},
      {108, "CheckBox110", "Edit108", "Label112", 107, false},
      {109, "CheckBox111", "Edit109", "Label113", 108, false},
      {111, "CheckBox113", "Edit111", "Label115", 110, false},
  };
  for (const Row& r : rows) {
    const ServerEntry& e = Roster::Row(r.row);
    EXPECT_EQ(e.check_box, r.check_box) << r.row;
    EXPECT_EQ(e.edit, r.edit) << r.row;
    EXPECT_EQ(e.label, r.label) << r.row;
    EXPECT_EQ(e.counter, r.counter) << r.row;
    EXPECT_EQ(e.problem_shows_time, r.time) << r.row;
  }
  // Every control is bound once; 110 counters for 111 rows.
  std::set<std::string> names;
  std::set<int> counters;
  for (const ServerEntry& e : Roster::Rows()) {
    names.insert(e.check_box);
    names.insert(e.edit);
    names.insert(e.label);
    counters.insert(e.counter);
  }
  EXPECT_EQ(names.size(), 3u * 111);
  EXPECT_EQ(counters.size(), 110u);
  EXPECT_EQ(names.count("CheckBox108") + names.count("CheckBox109") + names.count("Label17") +
                names.count("Label18"),
            0u);
}

}  // namespace
}  // namespace tallyvox::monitor
