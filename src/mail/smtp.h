// TNetSMTP: the SMTP client that delivers alert mail. One delivery is one
// session: OpenConnection(10000), DeliverMessage(message), CloseConnection.
//
// The channel is normally the shared TLS channel (SetIOHandler), so the TLS
// handshake is part of OpenConnection and the greeting already arrives inside
// TLS (implicit TLS, port 465). STARTTLS is never sent.
//
// The dialogue (every client line ends in CR LF):
//   greeting                      220
//   EHLO <local name>             any; on 250 the AUTH line gives the mechanisms
//   HELO <local name>             250   (only when EHLO did not get 250)
//   RSET                          any
//   AUTH LOGIN, user, password    334, 334, 235 (LOGIN offered, not logged in)
//   MAIL FROM:<From address>      250
//   RCPT TO:<address>             250 or 251, for Recipients, CCList, BccList
//   DATA                          354
//   the message                   (message_client.h)
//   .                             250
//   QUIT                          not read (CloseConnection)
// A refused reply raises net::ENetProtocolReplyError with the server's text.
//
// Reply waits are bounded: every reply of the session is awaited at most
// ReplyTimeout ms (30000 by default), counted from the start of the reply,
// whatever arrives meanwhile: a server that goes silent, dribbles bytes that
// never complete a reply, or floods empty lines ends the delivery with "Read
// Timeout" instead of holding the caller. Once the time is up, bytes already
// waiting are not taken. The reply to the final "." of DATA, which servers
// that scan the message may take minutes to give, has its own longer bound,
// DataTerminationTimeout (10 minutes by default, as RFC 5321 suggests). A
// positive ReadTimeout also limits each single receive.
//
// SessionTimeout (off by default) bounds a whole session, however its
// server behaves: counted from the start of OpenConnection, the connect and
// the TLS handshake get at most what is left of it, every reply wait ends at
// it ("Read Timeout"), and no write starts after it (ENetSocketError, timed
// out; a write under way is bounded by the channel's own write limit). The
// QUIT of CloseConnection is still written.
#ifndef TALLYVOX_MAIL_SMTP_H_
#define TALLYVOX_MAIL_SMTP_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mail/message.h"
#include "mail/message_client.h"

namespace tallyvox::mail {

enum class TAuthenticationType { atNone, atLogin };

class TNetSMTP : public TNetMessageClient {
 public:
  static constexpr int32_t kDefaultPort = 25;
  static constexpr int32_t kDefaultReplyTimeoutMs = 30000;
  static constexpr int32_t kDefaultDataTerminationTimeoutMs = 600000;
  // Longest local host name used for HELO/EHLO.
  static constexpr std::size_t kMaxLocalNameLength = 250;

  TNetSMTP();
  ~TNetSMTP() override;

  // TCP connect (with the TLS handshake of a TLS channel), greeting 220, EHLO
  // or HELO. A failure after the connect sends QUIT, closes, and re-raises
  // that same failure (also when writing QUIT fails). A HeloName holding a
  // line break raises ENetMessageException.
  void OpenConnection(int32_t timeout_ms) override;
  // When open: writes QUIT (no reply is read); then always closes the
  // connection and clears LoggedIn. A failed QUIT write propagates after the
  // close. On a closed client nothing is sent and nothing raised.
  void CloseConnection() override;

  // True when the server's EHLO reply offered the mechanism `type` needs.
  bool IsAuthProtocolAvailable(TAuthenticationType type) const;
  // AUTH LOGIN with Username and Password (base64); sets LoggedIn.
  void LogIn();
  // One mail transaction. Raises on any failure without closing; an address
  // holding a line break raises ENetMessageException before anything is sent.
  void DeliverMessage(TNetMessage& message);

  // Setting atLogin also sets UseEhlo; clearing UseEhlo also sets atNone.
  TAuthenticationType AuthenticationType() const { return authentication_type_; }
  void SetAuthenticationType(TAuthenticationType type);
  bool UseEhlo() const { return use_ehlo_; }
  void SetUseEhlo(bool use_ehlo);

  const std::vector<std::string>& AuthMechanisms() const { return auth_mechanisms_; }
  bool LoggedIn() const { return logged_in_; }

  std::string Username;
  std::string Password;
  std::string HeloName;   // empty: the local host name
  std::string MailAgent;  // empty: no X-Mailer header
  // Bound in ms of every reply wait; 0 or less lifts the bound.
  int32_t ReplyTimeout = kDefaultReplyTimeoutMs;
  // Bound in ms of the wait for the reply to the final "." of DATA; 0 or less
  // uses ReplyTimeout.
  int32_t DataTerminationTimeout = kDefaultDataTerminationTimeoutMs;
  // Bound in ms of one session from the start of OpenConnection on (see
  // above); 0 or less: none. Read at OpenConnection.
  int32_t SessionTimeout = 0;

  // One reply, awaited within ReplyTimeout.
  int16_t ReadReply(const std::vector<int16_t>& allowed = {}) override;
  // Raises ENetReadTimeout once the reply's time is up, before any line,
  // blank ones included.
  std::string ReadLine(const std::string& terminator = "\n", int32_t timeout_ms = -1,
                       int32_t max_length = -1) override;
  // Receives with the default time-out wait at most what is left of the
  // current reply's bound (ReplyTimeout outside a reply, and never longer
  // than a positive ReadTimeout or what is left of the session); once it is
  // up, nothing more is taken.
  int32_t ReceiveMore(bool raise_if_closed, int32_t timeout_ms, bool raise_on_timeout) override;
  // Raises ENetSocketError (timed out) once the session's time is up.
  void WriteText(const std::string& text) override;

 private:
  using Clock = std::chrono::steady_clock;

  std::string LocalName() const;
  void TakeAuthMechanisms();

  TAuthenticationType authentication_type_ = TAuthenticationType::atNone;
  bool use_ehlo_ = true;
  std::vector<std::string> auth_mechanisms_;
  bool logged_in_ = false;
  // The reply to "." within DataTerminationTimeout.
  void ReadDataTerminationReply();
  // True once the reply being read has run out of time.
  bool ReplyTimeIsUp() const;
  // Milliseconds left of the session (at least 0); -1 without a session bound.
  int64_t SessionLeftMs() const;

  // End of the reply being read; max() outside ReadReply.
  Clock::time_point reply_deadline_ = Clock::time_point::max();
  // Bound of the next reply in ms (ReplyTimeout unless a longer one is due).
  int32_t next_reply_bound_ = 0;
  // End of the session; max() without a session bound or outside a session.
  Clock::time_point session_deadline_ = Clock::time_point::max();
};

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_SMTP_H_
