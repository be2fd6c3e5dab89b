#include "config/settings_file.h"

#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <set>
#include <sstream>

#include "base/http_url.h"
#include "base/small_file.h"
#include "base/text.h"
#include "monitor/accounts.h"
#include "monitor/interval.h"
#include "monitor/roster.h"

namespace tallyvox::monitor {
namespace {

// What is read of a settings file and of a password_file at most; more is
// refused (a settings file is a few KiB, a password a line).
constexpr size_t kMaxSettingsBytes = 1024 * 1024;
constexpr size_t kMaxPasswordFileBytes = 4096;

const char* TypeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a number with a fraction";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::date:
      return "a date";
    case toml::node_type::time:
      return "a time";
    case toml::node_type::date_time:
      return "a date-time";
    default:
      return "nothing";
  }
}

// One table of the file: typed reads by key, and every key not read is
// refused as unknown when Finish() runs.
class TableReader {
 public:
  TableReader(const toml::table* table, std::string name, const std::string& file)
      : table_(table), name_(std::move(name)), file_(file) {}

  // "<file>:<line>:<column>: what".
  std::string At(const toml::source_region& where, const std::string& what) const {
    std::ostringstream out;
    out << file_ << ":" << (where.begin.line == 0 ? 1 : where.begin.line) << ":"
        << (where.begin.column == 0 ? 1 : where.begin.column) << ": " << what;
    return out.str();
  }
  [[noreturn]] void Fail(const toml::source_region& where, const std::string& what) const {
    throw SettingsError(At(where, what));
  }
  [[noreturn]] void FailHere(const std::string& what) const {
    Fail(table_ != nullptr ? table_->source() : toml::source_region{}, what);
  }

  std::string Path(std::string_view key) const {
    return name_.empty() ? std::string(key) : name_ + "." + std::string(key);
  }

  const toml::node* Node(std::string_view key) {
    read_.insert(std::string(key));
    return table_ == nullptr ? nullptr : table_->get(key);
  }

  const toml::node& Required(std::string_view key) {
    const toml::node* node = Node(key);
    if (node == nullptr) FailHere("missing " + Path(key));
    return *node;
  }

  void TypeError(const toml::node& node, std::string_view key, const char* wanted) const {
    Fail(node.source(), Path(key) + " must be " + wanted + ", not " + TypeName(node));
  }

  bool String(std::string_view key, std::string* out) {
    const toml::node* node = Node(key);
    if (node == nullptr) return false;
    if (!node->is_string()) TypeError(*node, key, "a string");
    *out = node->as_string()->get();
    return true;
  }

  bool Bool(std::string_view key, bool* out) {
    const toml::node* node = Node(key);
    if (node == nullptr) return false;
    if (!node->is_boolean()) TypeError(*node, key, "true or false");
    *out = node->as_boolean()->get();
    return true;
  }

  template <typename T>
  bool Integer(std::string_view key, int64_t min, int64_t max, T* out) {
    const toml::node* node = Node(key);
    if (node == nullptr) return false;
    if (!node->is_integer()) TypeError(*node, key, "an integer");
    const int64_t v = node->as_integer()->get();
    if (v < min || v > max) {
      Fail(node->source(), Path(key) + " must be from " + std::to_string(min) + " to " +
                               std::to_string(max) + ", not " + std::to_string(v));
    }
    *out = static_cast<T>(v);
    return true;
  }

  // Refuses the first key of the table that is not in `known`, before
  // anything is read, so that a misspelt key is named as unknown rather than
  // as the missing key it was meant to be.
  void Known(std::initializer_list<std::string_view> known) const {
    if (table_ == nullptr) return;
    for (auto&& [key, node] : *table_) {
      bool found = false;
      for (std::string_view k : known) found = found || key.str() == k;
      if (!found) Fail(key.source(), "unknown setting " + EscapeControls(Path(key.str())));
    }
  }

  // A sub-table, or null when absent.
  const toml::table* Table(std::string_view key) {
    const toml::node* node = Node(key);
    if (node == nullptr) return nullptr;
    if (!node->is_table()) TypeError(*node, key, "a table");
    return node->as_table();
  }

  void Finish() const {
    if (table_ == nullptr) return;
    for (auto&& [key, node] : *table_) {
      if (read_.count(std::string(key.str())) == 0) {
        Fail(key.source(), "unknown setting " + EscapeControls(Path(key.str())));
      }
    }
  }

  const std::string& file() const { return file_; }

 private:
  const toml::table* table_;
  std::string name_;
  const std::string& file_;
  std::set<std::string> read_;
};

// What a read needs besides the text: whether files the settings name are
// checked on disk (a loaded file; not a text parsed on its own), and whether
// an account holds a password written in the file (set by the read).
struct ReadContext {
  bool check_files = false;
  bool inline_password = false;
};

// "" when `path` can be read, else why not.
std::string Unreadable(const std::string& path) {
  if (::access(path.c_str(), R_OK) == 0) return "";
  return std::strerror(errno);
}

// A mailbox address: something, "@", a domain, without blanks, control
// bytes or the characters that separate or bracket addresses.
bool IsMailAddress(const std::string& address) {
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size()) return false;
  if (address.find('@') != at) return false;
  for (unsigned char c : address) {
    if (c <= 0x20 || c == 0x7F || std::strchr("<>,;\"()[]", c) != nullptr) return false;
  }
  return address.find('.', at) != std::string::npos || address.substr(at + 1) == "localhost";
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void ReadPolling(TableReader& top, Settings* s) {
  TableReader t(top.Table("polling"), "polling", top.file());
  const toml::node* given = t.Node("interval");
  if (given != nullptr && given->is_integer()) {
    s->interval = std::to_string(given->as_integer()->get());
  }
  if ((given != nullptr && given->is_integer()) || t.String("interval", &s->interval)) {
    const toml::node* node = given;
    int32_t interval = 0;
    try {
      interval = ParseInterval(s->interval);
    } catch (const std::exception& e) {
      t.Fail(node->source(), "polling.interval: " + std::string(e.what()));
    }
    if (interval == 0) {
      s->warnings.push_back(
          t.At(node->source(),
               "polling.interval is 0: polling runs one cycle when it starts and then stops (the "
               "polling timer never fires with an interval of 0) and the watchdog then alerts "
               "\"Is Not Responding!\"; give the milliseconds between cycles (60000 for a "
               "minute)"));
    }
  }
  t.Integer("probe_port", 1, 65535, &s->probe.port);
  t.Integer("connect_timeout", 1, 3600, &s->probe.connect_timeout);
  t.Integer("request_timeout", 1, 3600, &s->probe.request_timeout);
  t.Integer("parallel", 1, kMaxParallel, &s->probe.parallel);
  t.Finish();
}

void ReadAudit(TableReader& top, Settings* s) {
  const toml::table* table = top.Table("audit");
  if (table == nullptr) top.FailHere("missing [audit] with the folder of the audit table");
  TableReader t(table, "audit", top.file());
  t.Known({"folder", "table"});
  t.Required("folder");
  t.String("folder", &s->audit_folder);
  if (s->audit_folder.empty()) t.Fail(t.Node("folder")->source(), "audit.folder is empty");
  t.String("table", &s->audit_table);
  if (s->audit_table.empty()) t.Fail(t.Node("table")->source(), "audit.table is empty");
  t.Finish();
}

void ReadMailbox(TableReader& message, std::string_view key, Mailbox* box) {
  const toml::table* table = message.Table(key);
  if (table == nullptr) return;
  TableReader t(table, message.Path(key), message.file());
  t.String("name", &box->name);
  if (t.String("address", &box->address) && !IsMailAddress(box->address)) {
    t.Fail(t.Node("address")->source(),
           t.Path("address") + " is not a mail address: '" + EscapeControls(box->address) + "'");
  }
  t.Finish();
}

std::string PrivacyWarning(const std::string& path) {
  return EscapeControls(path) +
         ": holds a mail password and other users can read it; make it private (chmod 600)";
}

// The password on the first line of the file; warns when others may read it.
std::string ReadPasswordFile(TableReader& t, const std::string& name, Settings* s) {
  const std::string path = name.empty() || name[0] == '/' ? name : Folder(s->path) + "/" + name;
  const SmallFile file = ReadSmallFile(path, kMaxPasswordFileBytes);
  if (!file.ok()) {
    t.Fail(t.Node("password_file")->source(), "cannot read password_file " + EscapeControls(path) +
                                                  ": " + WhyNotRead(file, kMaxPasswordFileBytes));
  }
  if (OthersMayRead(file.mode)) s->warnings.push_back(PrivacyWarning(path));
  std::string password = file.contents.substr(0, file.contents.find('\n'));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

void ReadAccount(TableReader& accounts, int account, Settings* s, ReadContext* context) {
  const char* name = MailAccountName(account);
  const toml::table* table = accounts.Table(name);
  if (table == nullptr) return;
  MailAccountSettings& a = s->mail.accounts[static_cast<size_t>(account - 1)];
  TableReader t(table, accounts.Path(name), accounts.file());
  t.String("host", &a.host);
  t.String("user", &a.user);
  const bool has_password = t.String("password", &a.password);
  std::string password_file;
  if (t.String("password_file", &password_file)) {
    if (has_password) {
      t.Fail(t.Node("password_file")->source(),
             t.Path("password") + " and " + t.Path("password_file") + " are both set");
    }
    a.password = ReadPasswordFile(t, password_file, s);
  }
  if (has_password && !a.password.empty()) context->inline_password = true;
  if (account != 1 && t.Bool("use", &a.use) && a.use && a.host.empty()) {
    const toml::node* host = t.Node("host");
    t.Fail((host != nullptr ? host : t.Node("use"))->source(),
           t.Path("host") + " is empty, and the account is ticked (use = true)");
  }
  t.Bool("verify_server", &a.verify_server);
  if (t.String("ca_file", &a.ca_file) && !a.ca_file.empty() && context->check_files) {
    const std::string why = Unreadable(a.ca_file);
    if (!why.empty()) {
      t.Fail(t.Node("ca_file")->source(),
             "cannot read " + t.Path("ca_file") + " " + EscapeControls(a.ca_file) + ": " + why);
    }
  }
  t.Integer("reply_timeout_ms", 1, 3600000, &a.reply_timeout_ms);
  t.Integer("data_timeout_ms", 1, kMailDeliveryBoundMs, &a.data_timeout_ms);
  t.Finish();
}

void ReadMail(TableReader& top, Settings* s, ReadContext* context) {
  TableReader t(top.Table("mail"), "mail", top.file());
  t.Integer("port", 1, 65535, &s->mail.port);
  t.String("test_address", &s->mail.test_address);
  {
    TableReader message(t.Table("message"), "mail.message", top.file());
    ReadMailbox(message, "from", &s->mail.from);
    ReadMailbox(message, "recipient", &s->mail.recipient);
    ReadMailbox(message, "phone", &s->mail.phone);
    message.Finish();
  }
  {
    TableReader accounts(t.Table("accounts"), "mail.accounts", top.file());
    for (int account = 1; account <= kMailAccounts; ++account) {
      ReadAccount(accounts, account, s, context);
    }
    accounts.Finish();
  }
  t.Finish();
}

void ReadRoster(TableReader& top, Settings* s) {
  const toml::table* table = top.Table("roster");
  if (table == nullptr) top.FailHere("missing [roster] with its 111 rows");
  TableReader t(table, "roster", top.file());
  t.Known({"rows"});
  const toml::node& node = t.Required("rows");
  if (!node.is_array()) t.TypeError(node, "rows", "an array of 111 rows");
  const toml::array& rows = *node.as_array();
  if (rows.size() != static_cast<size_t>(kRosterRows)) {
    t.Fail(node.source(),
           "roster.rows must hold exactly 111 rows, not " + std::to_string(rows.size()));
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string name = "roster.rows[" + std::to_string(i + 1) + "]";
    if (!rows[i].is_table()) {
      t.Fail(rows[i].source(),
             name + " must be a table { address = ..., enabled = ... }, not " + TypeName(rows[i]));
    }
    TableReader row(rows[i].as_table(), name, top.file());
    row.Known({"address", "enabled"});
    row.Required("address");
    row.String("address", &s->roster[i].address);
    row.Required("enabled");
    row.Bool("enabled", &s->roster[i].enabled);
    row.Finish();
  }
  t.Finish();
}

// [alerts] alertmanager = ["http://HOST:PORT", ...]: plain http base URLs
// (a path prefix allowed), each at most once.
void ReadAlertmanager(TableReader& t, Settings* s) {
  const toml::node* node = t.Node("alertmanager");
  if (node == nullptr) return;
  if (!node->is_array()) t.TypeError(*node, "alertmanager", "an array of URLs");
  for (const toml::node& item : *node->as_array()) {
    if (!item.is_string()) t.TypeError(item, "alertmanager", "an array of URLs");
    const std::string url = item.as_string()->get();
    HttpUrl parsed;
    const std::string why = ParseHttpUrl(url, &parsed);
    if (!why.empty()) {
      t.Fail(item.source(),
             "alerts.alertmanager " + EscapeControls(url, LineBreaks::kEscape) + ": " + why);
    }
    if (std::find(s->alerts.alertmanager.begin(), s->alerts.alertmanager.end(), url) !=
        s->alerts.alertmanager.end()) {
      t.Fail(item.source(), "alerts.alertmanager lists " + EscapeControls(url) + " twice");
    }
    s->alerts.alertmanager.push_back(url);
  }
}

void ReadAlerts(TableReader& top, Settings* s, const ReadContext& context) {
  TableReader t(top.Table("alerts"), "alerts", top.file());
  std::string outbox;
  if (t.String("outbox", &outbox)) {
    if (outbox.empty()) {
      t.Fail(t.Node("outbox")->source(), "alerts.outbox is empty (leave it out for no outbox)");
    }
    s->alerts.outbox = outbox[0] == '/' ? outbox : Folder(s->path) + "/" + outbox;
    struct stat parent {};
    const std::string folder = Folder(s->alerts.outbox);
    if (context.check_files && (::stat(folder.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode))) {
      t.Fail(t.Node("outbox")->source(), "alerts.outbox " + EscapeControls(s->alerts.outbox) +
                                             ": its parent folder " + EscapeControls(folder) +
                                             " does not exist");
    }
  }
  t.Integer("outbox_max", 1, 1000000, &s->alerts.outbox_max);
  t.Integer("confirm", 1, 1000, &s->alerts.policy.confirm);
  t.Integer("remind_minutes", 0, 525600, &s->alerts.policy.remind_minutes);
  t.Bool("recovery", &s->alerts.policy.recovery);
  t.Bool("group", &s->alerts.grouping.group);
  t.Integer("group_wait_seconds", 1, 3600, &s->alerts.grouping.wait_seconds);
  ReadAlertmanager(t, s);
  t.String("instance", &s->alerts.instance);
  t.Finish();
}

void ReadHistory(TableReader& top, Settings* s, const ReadContext& context) {
  TableReader t(top.Table("history"), "history", top.file());
  std::string database;
  if (t.String("database", &database)) {
    if (database.empty()) {
      t.Fail(t.Node("database")->source(),
             "history.database is empty (leave it out for no history)");
    }
    s->history.database = database[0] == '/' ? database : Folder(s->path) + "/" + database;
    struct stat parent {};
    const std::string folder = Folder(s->history.database);
    if (context.check_files && (::stat(folder.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode))) {
      t.Fail(t.Node("database")->source(),
             "history.database " + EscapeControls(s->history.database) + ": its folder " +
                 EscapeControls(folder) + " does not exist");
    }
  }
  t.Integer("keep_days", 1, 36500, &s->history.keep_days);
  t.Finish();
}

// A bcrypt hash as crypt(3) writes it: "$2a$", "$2b$" or "$2y$", two
// digits of cost, "$", 53 characters of its alphabet.
bool LooksLikeBcrypt(const std::string& hash) {
  if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || hash[3] != '$' || hash[6] != '$' ||
      std::strchr("aby", hash[2]) == nullptr) {
    return false;
  }
  return std::all_of(hash.begin() + 7, hash.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/';
  });
}

// [web] tls_cert and tls_key: both or neither, relative to the settings
// file's folder, readable when the files are checked. Whether they hold a
// matching certificate and key is checked when the endpoint starts.
void ReadWebTls(TableReader& t, Settings* s, const ReadContext& context) {
  std::string* paths[] = {&s->web.tls_cert, &s->web.tls_key};
  const char* keys[] = {"tls_cert", "tls_key"};
  bool given[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    std::string path;
    given[i] = t.String(keys[i], &path);
    if (!given[i]) continue;
    if (path.empty()) t.Fail(t.Node(keys[i])->source(), t.Path(keys[i]) + " is empty");
    *paths[i] = path[0] == '/' ? path : Folder(s->path) + "/" + path;
    const std::string why = context.check_files ? Unreadable(*paths[i]) : "";
    if (!why.empty()) {
      t.Fail(t.Node(keys[i])->source(),
             "cannot read " + t.Path(keys[i]) + " " + EscapeControls(*paths[i]) + ": " + why);
    }
  }
  if (given[0] != given[1]) {
    const int set = given[0] ? 0 : 1;
    t.Fail(t.Node(keys[set])->source(), t.Path(keys[set]) + " is set without " +
                                            t.Path(keys[1 - set]) + " (set both or neither)");
  }
}

void ReadWeb(TableReader& top, Settings* s, const ReadContext& context) {
  TableReader t(top.Table("web"), "web", top.file());
  if (t.String("listen", &s->web.listen) && s->web.listen.empty()) {
    t.Fail(t.Node("listen")->source(), "web.listen is empty (leave it out for none)");
  }
  if (const toml::table* users = t.Table("users")) {
    for (auto&& [key, node] : *users) {
      const std::string name(key.str());
      const std::string path = "web.users." + EscapeControls(name);
      if (name.empty() || name.find(':') != std::string::npos) {
        t.Fail(key.source(), path + ": a user name must not be empty or hold a colon");
      }
      if (!node.is_string())
        t.Fail(node.source(), path + " must be a string, not " + TypeName(node));
      const std::string hash = node.as_string()->get();
      if (!LooksLikeBcrypt(hash)) {
        t.Fail(node.source(), path +
                                  " is not a bcrypt hash (\"$2y$10$...\", as htpasswd -nbB "
                                  "makes it)");
      }
      s->web.users[name] = hash;
    }
  }
  ReadWebTls(t, s, context);
  t.Finish();
}

// The settings from text (see ReadContext).
Settings Parse(std::string_view text, const std::string& path, ReadContext* context) {
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    std::ostringstream out;
    out << path << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
        << EscapeControls(e.description());  // it may quote the byte it stopped at
    throw SettingsError(out.str());
  }
  Settings s;
  s.path = path;
  TableReader top(&root, "", path);
  top.Known({"polling", "audit", "mail", "roster", "alerts", "history", "web"});
  ReadPolling(top, &s);
  ReadAudit(top, &s);
  ReadMail(top, &s, context);
  ReadRoster(top, &s);
  ReadAlerts(top, &s, *context);
  ReadHistory(top, &s, *context);
  ReadWeb(top, &s, *context);
  top.Finish();
  return s;
}

}  // namespace

std::string DefaultSettingsPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] != '\0') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : ".") + "/.config";
  }
  return base + "/tallyvox/" + kSettingsFileName;
}

Settings ParseSettings(std::string_view text, const std::string& path) {
  ReadContext context;
  return Parse(text, path, &context);
}

std::string InitCommandFor(const std::string& path) {
  const auto word = [](const std::string& text) {
    if (!text.empty() &&
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789/._-+,:=@%") == std::string::npos) {
      return text;
    }
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  };
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string command = "tallyvox init " + word(dir);
  if (name != kSettingsFileName) {
    command +=
        " && mv " + word((dir == "/" ? "" : dir) + "/" + kSettingsFileName) + " " + word(path);
  }
  return command;
}

Settings LoadSettings(const std::string& path) {
  const SmallFile file = ReadSmallFile(path, kMaxSettingsBytes);
  if (file.outcome == SmallFile::Outcome::kOpenFailed && file.error == ENOENT) {
    throw SettingsFileMissing(path + ": there is no settings file; \"" + InitCommandFor(path) +
                              "\" makes one");
  }
  if (!file.ok()) {
    throw SettingsError(
        path + ":1:1: cannot read the settings file: " + WhyNotRead(file, kMaxSettingsBytes));
  }
  ReadContext context;
  context.check_files = true;
  Settings s = Parse(file.contents, path, &context);
  if (context.inline_password && OthersMayRead(file.mode)) {
    s.warnings.push_back(PrivacyWarning(path) + " or use password_file");
  }
  return s;
}

void FillInputs(const Settings& settings, InputStore& inputs) {
  for (const ServerEntry& e : Roster::Rows()) {
    const RosterRowSettings& row = settings.roster[static_cast<size_t>(e.row - 1)];
    inputs.SetChecked(e.check_box, row.enabled);
    inputs.SetText(e.edit, row.address);
  }
  inputs.SetText("Edit122", settings.interval);
  for (int account = 2; account <= kMailAccounts; ++account) {
    inputs.SetChecked(MailAccountBox(account),
                      settings.mail.accounts[static_cast<size_t>(account - 1)].use);
  }
}

}  // namespace tallyvox::monitor
