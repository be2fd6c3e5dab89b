// TNetMessageClient: a TCP client that writes mail messages. The SMTP client
// (smtp.h) derives from it and calls WriteMessage between DATA and ".".
//
// Every line goes out through WriteLine (so it ends in CR LF and leaves as its
// own send, unless the caller buffers writes):
//   header lines (BuildHeaderLines), one empty line, the body lines with a
//   leading "." doubled.
//
// The header order, for a composed message (empty values leave the header
// out): From, Subject, To, Cc, Newsgroups, Content-Type, MIME-Version,
// Content-Transfer-Encoding, Sender, Reply-To, Organization,
// Disposition-Notification-To, References, Date, X-Priority, X-Library, then
// the message's ExtraHeaders as they are. Bcc addresses never appear.
#ifndef TALLYVOX_MAIL_MESSAGE_CLIENT_H_
#define TALLYVOX_MAIL_MESSAGE_CLIENT_H_

#include <string>

#include "mail/header_list.h"
#include "mail/message.h"
#include "net/tcp_client.h"

namespace tallyvox::mail {

// The value of the X-Library header.
inline constexpr char kLibraryName[] = "Tallyvox 2.4";

class TNetMessageClient : public net::TNetTCPClient {
 public:
  TNetMessageClient() = default;

  // The whole message. With NoEncode: the raw Headers lines, an empty line and
  // the body lines (WriteDataLine each). Otherwise WriteHeaderBlock, an empty
  // line and, unless headers_only, WriteBodyBlock.
  virtual void WriteMessage(TNetMessage& message, bool headers_only = false);
  virtual void WriteHeaderBlock(TNetMessage& message);
  // The body for a message without parts: WriteBodyText (with transfer
  // iso2022jp each line is converted to ISO-2022-JP first).
  virtual void WriteBodyBlock(TNetMessage& message);
  // Every Body line through WriteDataLine.
  virtual void WriteBodyText(TNetMessage& message);
  // One line of message data: "." prefixed when it starts with "."; a line
  // holding line breaks (CR LF, bare CR or LF) goes out as several lines,
  // each treated so, so that no text can end the DATA of an SMTP session.
  void WriteDataLine(const std::string& line);

  // The header lines of `message` in the order above. Raises
  // ENetMessageException for meUU with text or related parts, and
  // ENetFailedToRetreiveTimeZoneInfo when the Date cannot be formatted.
  static TNetHeaderList BuildHeaderLines(TNetMessage& message);

  // The body line as written: "." prefixed when it starts with ".".
  static std::string DotStuffed(const std::string& line);
};

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_MESSAGE_CLIENT_H_
