#include "adapters/smtp_delivery.h"

#include <exception>
#include <stdexcept>

namespace tallyvox::monitor {
namespace {

void CloseQuietly(mail::TNetSMTP& smtp) {
  try {
    smtp.DropSocket();
  } catch (...) {
  }
}

// "host:port", an IPv6 address in brackets.
std::string HostPort(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

static_assert(kDefaultReplyTimeoutMs == mail::TNetSMTP::kDefaultReplyTimeoutMs);

SmtpDelivery::SmtpDelivery(const MailSettings& settings, const StopSignal& stop)
    : settings_(settings), stop_(stop) {
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

void SmtpDelivery::Reconfigure(const MailSettings& settings) {
  settings_ = settings;
  ApplySettings();
}

void SmtpDelivery::ApplySettings() {
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

mail::TNetSMTP& SmtpDelivery::Account(int account) {
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

Delivery SmtpDelivery::Send(int account, const Letter& letter) {
  mail::TNetSMTP& smtp = Account(account);
  const MailAccountSettings& s = settings_.accounts[static_cast<size_t>(account - 1)];
  smtp.Host = s.host;
  smtp.Port = settings_.port;
  NetSSLIOHandlerSocket1.SSLOptions.VerifyServer = s.verify_server;
  NetSSLIOHandlerSocket1.SSLOptions.RootCertFile = s.ca_file;
  NetMessage1.Subject = letter.subject;
  NetMessage1.SetBodyText(letter.text);
  Delivery result;
  result.server = HostPort(s.host, settings_.port);
  try {
    smtp.OpenConnection(kMailConnectTimeoutMs);
    smtp.DeliverMessage(NetMessage1);
    result.delivered = true;
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  // A delivery broken by a stop request is no failure of the account's.
  if (!result.delivered && stop_.Requested()) {
    CloseQuietly(smtp);
    throw MonitorStopped();
  }
  try {
    if (smtp.IsOpen()) smtp.CloseConnection();
  } catch (const std::exception&) {
    result.close_failure = std::current_exception();
  }
  return result;
}

}  // namespace tallyvox::monitor
