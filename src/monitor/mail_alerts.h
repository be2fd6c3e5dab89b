// MailAlerts: alert dispatch through the four mail accounts NetSMTP1 ..
// NetSMTP4 with the one message NetMessage1 and the one TLS channel
// NetSSLIOHandlerSocket1.
//
//   account   name             box           SendError   SendTestMail
//   NetSMTP1  fallback         (none)        never       only when no box is ticked
//   NetSMTP2  quell_brindle    CheckBox108   first       first
//   NetSMTP3  sorrel_brindle   CheckBox109   never       second
//   NetSMTP4  erols            CheckBox114   second      third
//
// One delivery through one account: the account's host and the mail port,
// the TLS checks of the account, the body of NetMessage1 replaced by the
// text; OpenConnection(10000) and DeliverMessage. Each reply is awaited at
// most the account's reply_timeout_ms, the one to the final "." of DATA its
// data_timeout_ms (60 s unless set), and the whole delivery (connect, TLS
// handshake, every reply and the message) at most kMailDeliveryBoundMs, so
// that no account holds the caller longer than that per alert. A failure of either is
// shown verbatim in a message box (waiting for the operator) and the next
// account is still tried; nothing is retried. Then, when the connection is
// open, CloseConnection: a failure of that close is not caught, so it leaves
// SendError and the accounts not yet tried are skipped.
//
// Every outcome is reported to the observer per account. Used on one thread
// at a time: the monitor's (the stall guard has a MailAlerts of its own on
// its thread, stall_guard.h).
//
// AccountMail is the part of it that alert_dispatch.h uses (tests fake it):
// the accounts' boxes and one delivery with a subject of its own and, for
// retries, without a message box.
#ifndef TALLYVOX_MONITOR_MAIL_ALERTS_H_
#define TALLYVOX_MONITOR_MAIL_ALERTS_H_

#include <array>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "mail/message.h"
#include "mail/smtp.h"
#include "monitor/observer.h"
#include "monitor/seams.h"
#include "monitor/stop.h"
#include "monitor/view.h"
#include "net/ssl_io_handler.h"

namespace tallyvox::monitor {

constexpr int kMailAccounts = 4;
constexpr int32_t kMailConnectTimeoutMs = 10000;
// The wait for the reply to the final "." of an alert unless an account sets
// data_timeout_ms (TNetSMTP's own default is 10 minutes).
constexpr int32_t kAlertDataTimeoutMs = 60000;
// The longest one alert's delivery through one account may take, connect,
// TLS handshake, every reply and the message together (TNetSMTP's
// SessionTimeout). Also the largest data_timeout_ms.
constexpr int32_t kMailDeliveryBoundMs = 120000;

// The account's name in the settings and the box that selects it ("" for
// the fallback account NetSMTP1).
const char* MailAccountName(int account);  // REQUIRES: 1 <= account <= 4
const char* MailAccountBox(int account);
// The account named `name`, or 0.
int MailAccountNumber(std::string_view name);

// The accounts SendError delivers through when their boxes are ticked, in
// order: NetSMTP2 (CheckBox108), then NetSMTP4 (CheckBox114).
inline constexpr std::array<int, 2> kAlertAccounts = {2, 4};

// What one delivery carries beside the account and the text.
struct Letter {
  std::string subject = kDownSubject;
  bool show_box = true;  // a failure is shown in a message box
};

// The outcome of one delivery through one account.
struct Delivery {
  bool delivered = false;  // the server took the message
  // Closing the connection failed afterwards (null otherwise).
  std::exception_ptr close_failure;
};

class AccountMail {
 public:
  virtual ~AccountMail() = default;
  // Whether the box of account 2..4 is ticked now.
  virtual bool AccountTicked(int account) = 0;
  // One delivery of `text` through NetSMTP<account>; raises only
  // MonitorStopped.
  virtual Delivery Send(int account, const std::string& text, const Letter& letter) = 0;
  virtual void SendTestMail() = 0;
};

struct MailAccountSettings {
  std::string host;
  std::string user;
  std::string password;
  bool use = false;  // the start value of the account's box
  bool verify_server = true;
  std::string ca_file;
  int32_t reply_timeout_ms = mail::TNetSMTP::kDefaultReplyTimeoutMs;
  int32_t data_timeout_ms = kAlertDataTimeoutMs;
};

struct Mailbox {
  std::string name;
  std::string address;
};

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

class MailAlerts : public AlertSender, public AccountMail {
 public:
  // The observer may be null.
  MailAlerts(const MailSettings& settings, View& view, StopSignal& stop, MonitorObserver* observer);

  // New accounts and message settings (a reloaded settings file); they hold
  // from the next delivery on. The accounts' boxes are the view's.
  void Reconfigure(const MailSettings& settings);

  void SendError(const std::string& text) override;
  // "IP " + test address + " is Down!".
  void SendTestMail() override;
  // One delivery through NetSMTP<account>; true when the server took the
  // message. Raises only when closing the connection fails (or on a stop).
  bool Deliver(int account, const std::string& text);
  // The same with the letter's subject and box choice; the close's failure
  // is returned instead of raised.
  Delivery Send(int account, const std::string& text, const Letter& letter) override;
  bool AccountTicked(int account) override { return Ticked(account); }

  mail::TNetSMTP& Account(int account);  // REQUIRES: 1 <= account <= 4

  // Declared first: the accounts use it until they are destroyed.
  net::TNetSSLIOHandlerSocket NetSSLIOHandlerSocket1;
  mail::TNetSMTP NetSMTP1;
  mail::TNetSMTP NetSMTP2;
  mail::TNetSMTP NetSMTP3;
  mail::TNetSMTP NetSMTP4;
  mail::TNetMessage NetMessage1;

 private:
  bool Ticked(int account) { return view_.CheckBoxChecked(MailAccountBox(account)); }
  // The stored settings of the accounts and the message, from settings_.
  void ApplySettings();

  MailSettings settings_;
  View& view_;
  StopSignal& stop_;
  MonitorObserver* observer_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_MAIL_ALERTS_H_
