#include "mail/message.h"

namespace tallyvox::mail {

void TNetMessage::InitializeISO(TTransfer& transfer, char& header_encoding, std::string& charset) {
  if (OnInitializeISO) OnInitializeISO(transfer, header_encoding, charset);
}

void TNetMessage::Clear() {
  From = {};
  Sender = {};
  Recipients.Clear();
  CCList.Clear();
  BccList.Clear();
  ReplyTo.Clear();
  ReceiptRecipient = {};
  Subject.clear();
  Body.clear();
  Priority = TNetMessagePriority::mpNormal;
  Organization.clear();
  References.clear();
  NewsGroups.clear();
  ContentType.clear();
  ContentTransferEncoding.clear();
  ContentDisposition.clear();
  CharSet.clear();
  Encoding = TNetMessageEncoding::meMIME;
  AttachmentEncoding = "MIME";
  ExtraHeaders.Clear();
  NoEncode = false;
  MessageParts.clear();
  Headers.Clear();
  date_ = 0;
}

void TNetMessage::SetBodyText(const std::string& text) {
  Body.clear();
  if (text.empty()) return;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      Body.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  // A text ending in a line break has no further (empty) line, as with a
  // string list's Text property.
  if (!line.empty() || (text.back() != '\n' && text.back() != '\r')) Body.push_back(line);
}

}  // namespace tallyvox::mail
