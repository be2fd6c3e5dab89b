// The alert message as the monitor sets it up (sender, two named recipients,
// subject "Server Down!", a one-line body), for the mail tests and the mail
// benchmark. Header-only: users link tv_mail themselves.
#ifndef TALLYVOX_TESTS_SUPPORT_ALERT_MESSAGE_H_
#define TALLYVOX_TESTS_SUPPORT_ALERT_MESSAGE_H_

#include <string>

#include "mail/message.h"

namespace tallyvox::testing {

// Date stays 0: the header gets the current time.
inline mail::TNetMessage AlertMessage(const std::string& body = "IP 10.0.0.7 Is Down!") {
  mail::TNetMessage message;
  message.Subject = "Server Down!";
  message.From = mail::TNetEMailAddressItem("Quorvant", "monitor@quorvant.example");
  message.Sender = mail::TNetEMailAddressItem("Quell", "quell@home.example");
  message.Recipients.Add("Quell", "quell@home.example");
  message.Recipients.Add("Quell Phone", "5550100@txt.example");
  message.SetBodyText(body);
  return message;
}

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_ALERT_MESSAGE_H_
