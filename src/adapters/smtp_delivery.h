// SmtpDelivery: the MailDelivery (monitor/seams.h) over the four mail
// accounts NetSMTP1 .. NetSMTP4 with the one message NetMessage1 and the one
// TLS channel NetSSLIOHandlerSocket1. It only delivers: which accounts an
// alert goes through, what is shown and what is kept for later is the alert
// dispatch's (alerts/alert_dispatch.h).
//
// One delivery through one account: the account's host and the mail port,
// the TLS checks of the account, the subject and body of NetMessage1 from
// the letter; OpenConnection(10000) and DeliverMessage. Each reply is
// awaited at most the account's reply_timeout_ms, the one to the final "."
// of DATA its data_timeout_ms (60 s unless set), and the whole delivery
// (connect, TLS handshake, every reply and the message) at most
// kMailDeliveryBoundMs, so that no account holds the caller longer than that
// per alert. Nothing is retried. Then, when the connection is open,
// CloseConnection; a failure of that close is returned in the result
// (Delivery::close_failure), for the caller to raise.
//
// A delivery that a stop request broke is no failure of the account's: the
// socket is dropped and Send raises MonitorStopped.
//
// Used on one thread at a time: the monitor's, or with parallel probing the
// alert dispatch's delivery worker, Reconfigure included (the stall guard
// has an SmtpDelivery of its own on its thread, assembly/stall_guard.h).
#ifndef TALLYVOX_ADAPTERS_SMTP_DELIVERY_H_
#define TALLYVOX_ADAPTERS_SMTP_DELIVERY_H_

#include <cstdint>
#include <string>

#include "mail/message.h"
#include "mail/smtp.h"
#include "monitor/accounts.h"
#include "monitor/seams.h"
#include "monitor/stop.h"
#include "net/ssl_io_handler.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

constexpr int32_t kMailConnectTimeoutMs = 10000;

class SmtpDelivery : public MailDelivery {
 public:
  // `stop` outlives the delivery.
  SmtpDelivery(const MailSettings& settings, const StopSignal& stop);

  // New accounts and message settings (a reloaded settings file); they hold
  // from the next delivery on.
  void Reconfigure(const MailSettings& settings);

  // One delivery of the letter through NetSMTP<account>. Raises only
  // MonitorStopped. REQUIRES: 1 <= account <= 4.
  Delivery Send(int account, const Letter& letter) override;

  mail::TNetSMTP& Account(int account);  // REQUIRES: 1 <= account <= 4

  // Declared first: the accounts use it until they are destroyed.
  net::TNetSSLIOHandlerSocket NetSSLIOHandlerSocket1;
  mail::TNetSMTP NetSMTP1;
  mail::TNetSMTP NetSMTP2;
  mail::TNetSMTP NetSMTP3;
  mail::TNetSMTP NetSMTP4;
  mail::TNetMessage NetMessage1;

 private:
  // The stored settings of the accounts and the message, from settings_.
  void ApplySettings();

  MailSettings settings_;
  const StopSignal& stop_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ADAPTERS_SMTP_DELIVERY_H_
