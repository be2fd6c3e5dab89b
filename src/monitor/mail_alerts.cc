#include "monitor/mail_alerts.h"

#include <exception>
#include <stdexcept>

namespace tallyvox::monitor {
namespace {

constexpr const char* kAccountNames[kMailAccounts] = {"fallback", "quell_brindle", "sorrel_brindle",
                                                      "erols"};
constexpr const char* kAccountBoxes[kMailAccounts] = {"", "CheckBox108", "CheckBox109",
                                                      "CheckBox114"};

void CloseQuietly(mail::TNetSMTP& smtp) {
  try {
    smtp.DropSocket();
  } catch (...) {
  }
}

}  // namespace

const char* MailAccountName(int account) { return kAccountNames[account - 1]; }
const char* MailAccountBox(int account) { return kAccountBoxes[account - 1]; }

int MailAccountNumber(std::string_view name) {
  for (int account = 1; account <= kMailAccounts; ++account) {
    if (name == kAccountNames[account - 1]) return account;
  }
  return 0;
}

MailAlerts::MailAlerts(const MailSettings& settings, View& view, StopSignal& stop,
                       MonitorObserver* observer)
    : settings_(settings), view_(view), stop_(stop), observer_(observer) {
  for (int account = 1; account <= kMailAccounts; ++account) {
    mail::TNetSMTP& smtp = Account(account);
    smtp.Port = mail::TNetSMTP::kDefaultPort;  // replaced by the mail port at each delivery
    smtp.SetAuthenticationType(mail::TAuthenticationType::atLogin);
    smtp.SetIOHandler(&NetSSLIOHandlerSocket1);
    smtp.ReadTimeout = 0;
    smtp.MaxLineAction = net::TNetMaxLineAction::maException;
  }
  NetMessage1.Subject = kDownSubject;
  NetMessage1.SetBodyText("Server Down");
  NetMessage1.Encoding = mail::TNetMessageEncoding::meMIME;
  NetMessage1.AttachmentEncoding = "MIME";
  ApplySettings();
}

void MailAlerts::Reconfigure(const MailSettings& settings) {
  settings_ = settings;
  ApplySettings();
}

void MailAlerts::ApplySettings() {
  for (int account = 1; account <= kMailAccounts; ++account) {
    mail::TNetSMTP& smtp = Account(account);
    const MailAccountSettings& s = settings_.accounts[static_cast<size_t>(account - 1)];
    smtp.Host = s.host;
    smtp.Username = s.user;
    smtp.Password = s.password;
    smtp.ReplyTimeout = s.reply_timeout_ms;
    smtp.DataTerminationTimeout = s.data_timeout_ms;
    smtp.SessionTimeout = settings_.delivery_bound_ms;
  }
  NetMessage1.From = mail::TNetEMailAddressItem(settings_.from.name, settings_.from.address);
  NetMessage1.Sender =
      mail::TNetEMailAddressItem(settings_.recipient.name, settings_.recipient.address);
  NetMessage1.Recipients.Clear();
  NetMessage1.Recipients.Add(settings_.recipient.name, settings_.recipient.address);
  NetMessage1.Recipients.Add(settings_.phone.name, settings_.phone.address);
}

mail::TNetSMTP& MailAlerts::Account(int account) {
  switch (account) {
    case 1:
      return NetSMTP1;
    case 2:
      return NetSMTP2;
    case 3:
      return NetSMTP3;
    case 4:
      return NetSMTP4;
  }
  throw std::out_of_range("mail account " + std::to_string(account));
}

bool MailAlerts::Deliver(int account, const std::string& text) {
  const Delivery d = Send(account, text, Letter{});
  if (d.close_failure) std::rethrow_exception(d.close_failure);
  return d.delivered;
}

Delivery MailAlerts::Send(int account, const std::string& text, const Letter& letter) {
  mail::TNetSMTP& smtp = Account(account);
  const MailAccountSettings& s = settings_.accounts[static_cast<size_t>(account - 1)];
  smtp.Host = s.host;
  smtp.Port = settings_.port;
  NetSSLIOHandlerSocket1.SSLOptions.VerifyServer = s.verify_server;
  NetSSLIOHandlerSocket1.SSLOptions.RootCertFile = s.ca_file;
  NetMessage1.Subject = letter.subject;
  NetMessage1.SetBodyText(text);
  std::string error;
  Delivery result;
  try {
    smtp.OpenConnection(kMailConnectTimeoutMs);
    smtp.DeliverMessage(NetMessage1);
    result.delivered = true;
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (result.delivered) {
    if (observer_ != nullptr) observer_->AlertDelivered(MailAccountName(account), text);
  } else {
    // A delivery broken by a stop request is no failure of the account's.
    if (stop_.Requested()) {
      CloseQuietly(smtp);
      throw MonitorStopped();
    }
    if (observer_ != nullptr) observer_->AlertFailed(MailAccountName(account), text, error);
    try {
      if (letter.show_box) view_.ShowMessage(error);
    } catch (const MonitorStopped&) {
      CloseQuietly(smtp);
      throw;
    }
  }
  try {
    if (smtp.IsOpen()) smtp.CloseConnection();
  } catch (const std::exception&) {
    result.close_failure = std::current_exception();
  }
  return result;
}

void MailAlerts::SendError(const std::string& text) {
  for (int account : kAlertAccounts) {
    if (Ticked(account)) Deliver(account, text);
  }
}

void MailAlerts::SendTestMail() {
  const std::string text = "IP " + settings_.test_address + " is Down!";
  if (Ticked(2)) Deliver(2, text);
  if (Ticked(3)) Deliver(3, text);
  if (Ticked(4)) Deliver(4, text);
  if (!Ticked(2) && !Ticked(3) && !Ticked(4)) Deliver(1, text);
}

}  // namespace tallyvox::monitor
