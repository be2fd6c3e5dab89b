#include "mail/smtp.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>

#include "mail/header_coding.h"
#include "mail/mail_exceptions.h"
#include "net/exceptions.h"
#include "net/socket_errors.h"
#include "net/stack.h"

namespace tallyvox::mail {
namespace {

// A command argument must not carry a line break: it would end the command
// and start another one of the caller's choosing.
void CheckCommandArgument(const std::string& text) {
  if (text.find_first_of("\r\n") != std::string::npos) {
    throw ENetMessageException("Line break in an address or host name: " +
                               text.substr(0, text.find_first_of("\r\n")));
  }
}

}  // namespace

TNetSMTP::TNetSMTP() { Port = kDefaultPort; }

TNetSMTP::~TNetSMTP() = default;

void TNetSMTP::SetAuthenticationType(TAuthenticationType type) {
  authentication_type_ = type;
  if (type == TAuthenticationType::atLogin) use_ehlo_ = true;
}

void TNetSMTP::SetUseEhlo(bool use_ehlo) {
  use_ehlo_ = use_ehlo;
  if (!use_ehlo) authentication_type_ = TAuthenticationType::atNone;
}

int16_t TNetSMTP::ReadReply(const std::vector<int16_t>& allowed) {
  struct EndOfReply {
    TNetSMTP* smtp;
    ~EndOfReply() {
      smtp->reply_deadline_ = Clock::time_point::max();
      smtp->next_reply_bound_ = 0;
    }
  } end_of_reply{this};
  const int32_t bound = next_reply_bound_ > 0 ? next_reply_bound_ : ReplyTimeout;
  if (bound > 0) reply_deadline_ = Clock::now() + std::chrono::milliseconds(bound);
  reply_deadline_ = std::min(reply_deadline_, session_deadline_);
  return TNetMessageClient::ReadReply(allowed);
}

int64_t TNetSMTP::SessionLeftMs() const {
  if (session_deadline_ == Clock::time_point::max()) return -1;
  const auto left = session_deadline_ - Clock::now();
  return std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

bool TNetSMTP::ReplyTimeIsUp() const {
  return reply_deadline_ != Clock::time_point::max() && Clock::now() >= reply_deadline_;
}

std::string TNetSMTP::ReadLine(const std::string& terminator, int32_t timeout_ms,
                               int32_t max_length) {
  if (ReplyTimeIsUp()) throw net::ENetReadTimeout();
  return TNetMessageClient::ReadLine(terminator, timeout_ms, max_length);
}

int32_t TNetSMTP::ReceiveMore(bool raise_if_closed, int32_t timeout_ms, bool raise_on_timeout) {
  if (timeout_ms == -1) {
    int64_t limit = -1;  // none of our own
    if (reply_deadline_ != Clock::time_point::max()) {
      limit = std::chrono::duration_cast<std::chrono::milliseconds>(reply_deadline_ - Clock::now())
                  .count();
      if (limit <= 0) {
        // Bytes already waiting do not make the reply any longer.
        if (raise_on_timeout) throw net::ENetReadTimeout();
        return -1;
      }
    } else if (ReplyTimeout > 0) {
      limit = ReplyTimeout;
    }
    if (const int64_t left = SessionLeftMs(); left >= 0) {
      limit = limit < 0 ? left : std::min(limit, left);
    }
    if (limit >= 0) {
      if (ReadTimeout > 0) limit = std::min<int64_t>(limit, ReadTimeout);
      timeout_ms = static_cast<int32_t>(std::min<int64_t>(limit, INT32_MAX));
    }
  }
  return TNetMessageClient::ReceiveMore(raise_if_closed, timeout_ms, raise_on_timeout);
}

void TNetSMTP::WriteText(const std::string& text) {
  if (SessionLeftMs() == 0) throw net::ENetSocketError(net::kWsaeTimedOut);
  TNetMessageClient::WriteText(text);
}

void TNetSMTP::ReadDataTerminationReply() {
  next_reply_bound_ = DataTerminationTimeout;
  ReadReply({250});
}

std::string TNetSMTP::LocalName() const {
  std::string name = HeloName;
  if (name.empty()) name = net::TNetStack::Instance().LocalHostName();
  if (name.size() > kMaxLocalNameLength) name.resize(kMaxLocalNameLength);
  return name;
}

void TNetSMTP::TakeAuthMechanisms() {
  for (const std::string& text : LastReply().Text) {
    const std::string line = UpperCase(text);
    if (line.compare(0, 5, "AUTH ") != 0 && line.compare(0, 5, "AUTH=") != 0) continue;
    std::size_t pos = 5;
    while (pos < line.size()) {
      const std::size_t end = std::min(line.find_first_of(" =", pos), line.size());
      const std::string name = line.substr(pos, end - pos);
      if (!name.empty() && std::find(auth_mechanisms_.begin(), auth_mechanisms_.end(), name) ==
                               auth_mechanisms_.end()) {
        auth_mechanisms_.push_back(name);
      }
      pos = end + 1;
    }
  }
}

void TNetSMTP::OpenConnection(int32_t timeout_ms) {
  session_deadline_ = Clock::time_point::max();
  if (SessionTimeout > 0) {
    session_deadline_ = Clock::now() + std::chrono::milliseconds(SessionTimeout);
    // The connect and the TLS handshake within the session's time as well.
    if (timeout_ms <= 0 || timeout_ms > SessionTimeout) timeout_ms = SessionTimeout;
  }
  TNetMessageClient::OpenConnection(timeout_ms);
  try {
    ReadReply({220});
    auth_mechanisms_.clear();
    const std::string name = LocalName();
    CheckCommandArgument(name);
    if (use_ehlo_ && SendCommand("EHLO " + name) == 250) {
      TakeAuthMechanisms();
      return;
    }
    SendCommand("HELO " + name, 250);
  } catch (...) {
    // The caller sees the failure of the session, not one of the QUIT that
    // ends it: a server that refused us may already have closed.
    try {
      CloseConnection();
    } catch (const std::exception&) {
    }
    throw;
  }
}

void TNetSMTP::CloseConnection() {
  session_deadline_ = Clock::time_point::max();  // QUIT still goes out
  try {
    if (IsOpen()) WriteLine("QUIT");
  } catch (...) {
    TNetMessageClient::CloseConnection();
    logged_in_ = false;
    throw;
  }
  TNetMessageClient::CloseConnection();
  logged_in_ = false;
}

bool TNetSMTP::IsAuthProtocolAvailable(TAuthenticationType type) const {
  if (type != TAuthenticationType::atLogin) return false;
  return std::find(auth_mechanisms_.begin(), auth_mechanisms_.end(), "LOGIN") !=
         auth_mechanisms_.end();
}

void TNetSMTP::LogIn() {
  if (authentication_type_ != TAuthenticationType::atLogin) return;
  SendCommand("AUTH LOGIN", 334);
  SendCommand(EncodeBase64(Username), 334);
  SendCommand(EncodeBase64(Password), 235);
  logged_in_ = true;
}

void TNetSMTP::DeliverMessage(TNetMessage& message) {
  CheckCommandArgument(message.From.Address());
  for (const TNetEMailAddressList* list :
       {&message.Recipients, &message.CCList, &message.BccList}) {
    for (const TNetEMailAddressItem& item : *list) CheckCommandArgument(item.Address());
  }
  SendCommand("RSET");
  if (authentication_type_ != TAuthenticationType::atNone &&
      IsAuthProtocolAvailable(authentication_type_) && !logged_in_) {
    LogIn();
  }
  SendCommand("MAIL FROM:<" + message.From.Address() + ">", 250);
  for (const TNetEMailAddressList* list :
       {&message.Recipients, &message.CCList, &message.BccList}) {
    for (const TNetEMailAddressItem& item : *list) {
      SendCommand("RCPT TO:<" + item.Address() + ">", std::vector<int16_t>{250, 251});
    }
  }
  SendCommand("DATA", 354);
  message.ExtraHeaders.PutField("X-Mailer", MailAgent);
  WriteMessage(message, false);
  WriteLine(".");
  ReadDataTerminationReply();
}

}  // namespace tallyvox::mail
