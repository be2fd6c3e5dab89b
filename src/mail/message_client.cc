#include "mail/message_client.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "mail/header_coding.h"
#include "mail/mail_exceptions.h"

namespace tallyvox::mail {
namespace {

std::string JoinWithCommas(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += ',';
    joined += item;
  }
  return joined;
}

}  // namespace

std::string TNetMessageClient::DotStuffed(const std::string& line) {
  return !line.empty() && line[0] == '.' ? "." + line : line;
}

TNetHeaderList TNetMessageClient::BuildHeaderLines(TNetMessage& message) {
  const auto& parts = message.MessageParts;
  const bool text_or_related = std::any_of(parts.begin(), parts.end(), [](TNetMessagePartKind k) {
    return k == TNetMessagePartKind::kText || k == TNetMessagePartKind::kRelated;
  });
  const bool mime = message.Encoding == TNetMessageEncoding::meMIME;
  if (!mime && text_or_related) throw ENetMessageException(kInvalidUUEncodingMessage);
  if (mime && !parts.empty() && message.ContentType.empty()) {
    // The composer writes no part structure; a message with parts is labelled
    // as a mixed multipart so that the header stays consistent.
    message.ContentType = "multipart/mixed";
  }

  THeaderCoding coding = ChooseHeaderCharset();
  message.InitializeISO(coding.transfer, coding.letter, coding.charset);

  TNetHeaderList list = message.Headers;
  list.PutField("From", FormatAddressForHeader(message.From, coding));
  list.PutField("Subject", EncodeHeaderWords(message.Subject, "", coding));
  list.PutField("To", FormatAddressListForHeader(message.Recipients, coding));
  list.PutField("Cc", FormatAddressListForHeader(message.CCList, coding));
  list.PutField("Newsgroups", JoinWithCommas(message.NewsGroups));
  if (mime) {
    list.PutField("Content-Type", message.ContentType);
    if (!parts.empty()) list.PutField("MIME-Version", "1.0");
    list.PutField("Content-Transfer-Encoding", message.ContentTransferEncoding);
  }
  list.PutField("Sender", message.Sender.Text());
  list.PutField("Reply-To", FormatAddressListForHeader(message.ReplyTo, coding));
  list.PutField("Organization", EncodeHeaderWords(message.Organization, "", coding));
  list.PutField("Disposition-Notification-To",
                FormatAddressForHeader(message.ReceiptRecipient, coding));
  list.PutField("References", message.References);
  // The system clock itself, not time(): glibc's time() reads the kernel's
  // coarse clock, which can lag a second behind every other reading of the
  // time for a few milliseconds after the second turns.
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  list.PutField("Date", message.UseNowForDate() ? FormatInternetDateAt(now)
                                                : FormatInternetDate(message.Date()));
  list.PutField("X-Priority", std::to_string(static_cast<int>(message.Priority) + 1));
  list.PutField("X-Library", kLibraryName);
  for (const std::string& line : message.ExtraHeaders.Lines()) list.Add(line);
  return list;
}

void TNetMessageClient::WriteHeaderBlock(TNetMessage& message) {
  const TNetHeaderList lines = BuildHeaderLines(message);
  WriteLines(lines.Lines(), false);
}

void TNetMessageClient::WriteDataLine(const std::string& line) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = line.find_first_of("\r\n", start);
    WriteLine(DotStuffed(line.substr(start, end - start)));
    if (end == std::string::npos) return;
    start = end + (line.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    if (start == line.size()) return;
  }
}

void TNetMessageClient::WriteBodyText(TNetMessage& message) {
  for (const std::string& line : message.Body) WriteDataLine(line);
}

void TNetMessageClient::WriteBodyBlock(TNetMessage& message) {
  const THeaderCoding coding = ChooseHeaderCharset();
  if (coding.transfer != TTransfer::iso2022jp) {
    WriteBodyText(message);
    return;
  }
  const std::string codeset = LocaleTextCodeset();
  for (const std::string& line : message.Body) {
    std::string converted = line;
    ConvertToIso2022Jp(line, codeset, &converted);
    WriteDataLine(converted);
  }
}

void TNetMessageClient::WriteMessage(TNetMessage& message, bool headers_only) {
  if (message.NoEncode) {
    // Raw lines, but still safe inside SMTP DATA: a leading dot is doubled so
    // that no line can end the data early.
    for (const std::string& line : message.Headers.Lines()) WriteDataLine(line);
    WriteLine("");
    for (const std::string& line : message.Body) WriteDataLine(line);
    return;
  }
  WriteHeaderBlock(message);
  WriteLine("");
  if (!headers_only) WriteBodyBlock(message);
}

}  // namespace tallyvox::mail
