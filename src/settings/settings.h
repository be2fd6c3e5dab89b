// The settings of Tallyvox as plain values: what the settings file holds
// (config/settings_file.h reads and checks it) and what each part of the
// system is built from. This header includes no implementation, so that a
// module may take its settings without depending on the modules that use
// the others.
//
// Invariant (after LoadSettings/ParseSettings): every value is within the
// range the settings file allows; the defaults below are the values of a
// key left out.
#ifndef TALLYVOX_SETTINGS_SETTINGS_H_
#define TALLYVOX_SETTINGS_SETTINGS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tallyvox::monitor {

// The roster's rows, one entry per row in probing order.
inline constexpr int kRosterRows = 111;
// The mail accounts NetSMTP1 .. NetSMTP4.
inline constexpr int kMailAccounts = 4;
// The wait for an SMTP reply unless an account sets reply_timeout_ms
// (TNetSMTP's own default).
inline constexpr int32_t kDefaultReplyTimeoutMs = 30000;
// The wait for the reply to the final "." of an alert unless an account sets
// data_timeout_ms (TNetSMTP's own default is 10 minutes).
inline constexpr int32_t kAlertDataTimeoutMs = 60000;
// The longest one alert's delivery through one account may take, connect,
// TLS handshake, every reply and the message together (TNetSMTP's
// SessionTimeout). Also the largest data_timeout_ms.
inline constexpr int32_t kMailDeliveryBoundMs = 120000;
// The most alerts the outbox keeps unless outbox_max says otherwise.
inline constexpr size_t kDefaultOutboxMax = 10000;

// [polling]: the probe's port and time-outs.
struct ProbeSettings {
  int32_t port = 80;            // every probe's port
  int32_t connect_timeout = 5;  // seconds, for all connect attempts of a probe
  int32_t request_timeout = 5;  // seconds, per wait for response bytes
  int32_t max_response_bytes = 1 << 20;
  // Probes run at once, each on a connection of its own (1: one after
  // another, the window's own way). 1..kMaxParallel.
  int32_t parallel = 1;
};

// The most probes [polling] parallel may run at once: one per roster row
// (more would never be used).
inline constexpr int32_t kMaxParallel = 111;

// [mail.accounts.<name>]
struct MailAccountSettings {
  std::string host;
  std::string user;
  std::string password;
  bool use = false;  // the start value of the account's box
  bool verify_server = true;
  std::string ca_file;
  int32_t reply_timeout_ms = kDefaultReplyTimeoutMs;
  int32_t data_timeout_ms = kAlertDataTimeoutMs;
};

struct Mailbox {
  std::string name;
  std::string address;
};

// [mail] and [mail.message]
struct MailSettings {
  int32_t port = 465;
  std::string test_address;
  Mailbox from{"Quorvant", ""};
  Mailbox recipient{"Quell", ""};
  Mailbox phone{"Quell Phone", ""};
  // NetSMTP1 .. NetSMTP4.
  std::array<MailAccountSettings, kMailAccounts> accounts;
  // The bound of one delivery through one account (TNetSMTP's
  // SessionTimeout). Not in the settings file: tests shorten it.
  int32_t delivery_bound_ms = kMailDeliveryBoundMs;
};

// [alerts]: which failures become alert mail (monitor/alert_policy.h).
struct AlertPolicySettings {
  int confirm = 1;         // >= 1
  int remind_minutes = 0;  // >= 0
  bool recovery = false;
};

// [alerts] group: the alerts a cycle raises go out together, one mail per
// account (alerts/alert_group.h).
struct AlertGroupSettings {
  bool group = false;
  int32_t wait_seconds = 10;  // the longest a grouped alert waits for its cycle's end
};

// [alerts]: the policy and the outbox (alerts/alert_dispatch.h).
struct AlertSettings {
  std::string outbox;  // the outbox folder; empty: no outbox
  size_t outbox_max = kDefaultOutboxMax;
  AlertPolicySettings policy;
  AlertGroupSettings grouping;
  // Alertmanager base URLs ("http://127.0.0.1:9093"), every member of an HA
  // cluster; empty: no Alertmanager.
  std::vector<std::string> alertmanager;
  // The `instance` label of the alerts; empty: this host's name.
  std::string instance;
};

// [history]: the probe history (history/history_writer.h). Off while
// `database` is empty.
inline constexpr int kDefaultHistoryKeepDays = 30;
struct HistorySettings {
  std::string database;                     // the SQLite file, made absolute; empty: no history
  int keep_days = kDefaultHistoryKeepDays;  // rows older than this are pruned, once a day
};

// [web]: the status page's own address when --metrics does not serve it,
// and the users of HTTP Basic authentication and the TLS certificate for
// the status page and /metrics alike.
struct WebSettings {
  std::string listen;  // "ADDRESS:PORT"; empty: only on the --metrics port
  // User name -> bcrypt hash ("$2y$10$..."); empty: no authentication.
  std::map<std::string, std::string> users;
  // PEM files (made absolute), both or neither: the endpoint speaks HTTPS
  // only. Empty: plain HTTP.
  std::string tls_cert;
  std::string tls_key;
};

// [roster]
struct RosterRowSettings {
  std::string address;
  bool enabled = false;
};

struct Settings {
  std::string path;
  std::string interval = "60000";
  ProbeSettings probe;
  std::string audit_folder;
  std::string audit_table = "config.dbf";
  MailSettings mail;
  std::array<RosterRowSettings, kRosterRows> roster;
  AlertSettings alerts;
  HistorySettings history;
  WebSettings web;
  // Things worth telling the operator that do not refuse the file.
  std::vector<std::string> warnings;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_SETTINGS_SETTINGS_H_
