// Fuzzes the mail layer without a network. The first input byte picks the
// mode:
//   even: the rest is an SMTP server's side of a session, cut into receives
//         at 0xFF bytes, fed through a scripted channel to TNetSMTP
//         (OpenConnection, DeliverMessage of a fixed alert, CloseConnection);
//         every refusal must surface as an ENetException;
//   odd:  the rest is header text for EncodeHeaderWords (Q and B), the
//         address forms and the header list; folding must keep every byte
//         but the blanks it trims, and encoded words must stay within 75.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/address.h"
#include "mail/header_coding.h"
#include "mail/header_list.h"
#include "mail/smtp.h"
#include "support/scripted_io_handler.h"

namespace {

using namespace tallyvox::mail;

void FuzzSession(const uint8_t* data, size_t size) {
  tallyvox::testing::TNetScriptedIOHandler channel;
  std::string chunk;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      channel.AddInput(chunk);
      chunk.clear();
    } else {
      chunk.push_back(static_cast<char>(data[i]));
    }
  }
  if (!chunk.empty()) channel.AddInput(chunk);
  TNetSMTP smtp;
  smtp.SetIOHandler(&channel);
  smtp.HeloName = "fuzz.test";
  smtp.SetAuthenticationType(TAuthenticationType::atLogin);
  smtp.Username = "user";
  smtp.Password = "password";
  smtp.MaxLineLength = 512;
  TNetMessage message;
  message.From = {"Quorvant", "monitor@quorvant.example"};
  message.Recipients.Add("Quell", "quell@home.example");
  message.Recipients.Add("Quell Phone", "5550100@txt.example");
  message.SetBodyText("IP 10.0.0.7 Is Down!\r\n.");
  message.SetDate(46000.5);
  try {
    smtp.OpenConnection(0);
    smtp.DeliverMessage(message);
  } catch (const tallyvox::net::ENetException&) {
  }
  try {
    smtp.CloseConnection();
  } catch (const tallyvox::net::ENetException&) {
  }
}

void CheckEncodedWords(const std::string& encoded) {
  // Every "=?...?=" word between folds stays within the limit.
  size_t start = 0;
  while (true) {
    const size_t fold = encoded.find("\r\n\t", start);
    const std::string piece = encoded.substr(start, fold - start);
    for (size_t open = piece.find("=?"); open != std::string::npos;
         open = piece.find("=?", open + 2)) {
      const size_t q1 = piece.find('?', open + 2);
      const size_t q2 = q1 == std::string::npos ? q1 : piece.find('?', q1 + 1);
      const size_t close = q2 == std::string::npos ? q2 : piece.find("?=", q2 + 1);
      if (close == std::string::npos) break;
      if (close + 2 - open > kMaxEncodedWord) std::abort();
      open = close;
    }
    if (fold == std::string::npos) break;
    start = fold + 3;
  }
}

void FuzzHeaders(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Plain words are copied as they are, so only texts without "=?" of their
  // own can be checked for the length of the encoded words.
  const bool checkable = text.find("=?") == std::string::npos;
  for (const char* locale : {"en_US", "zh_TW"}) {
    const THeaderCoding coding = HeaderCharsetForLocale(locale);
    const std::string plain = EncodeHeaderWords(text, "", coding);
    const std::string special = EncodeHeaderWords(text, kAddressSpecials, coding);
    if (checkable) {
      CheckEncodedWords(plain);
      CheckEncodedWords(special);
    }
    const size_t at = text.find('\x01');
    TNetEMailAddressItem item(text.substr(0, at),
                              at == std::string::npos ? "" : text.substr(at + 1));
    (void)item.Text();
    (void)FormatAddressForHeader(item, coding);
  }
  // An empty value removes the header; line breaks would split it.
  if (text.empty() || text.find('\r') != std::string::npos ||
      text.find('\n') != std::string::npos) {
    return;
  }
  TNetHeaderList list;
  list.PutField("X-Fuzz", text);
  list.PutField("x-fuzz", text);  // replaces, continuation lines included
  // Whatever the value holds, it stays one header: continuation lines only,
  // no line breaks inside lines.
  std::string joined;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::string& line = list[i];
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
    if (i > 0 && (line.empty() || (line[0] != ' ' && line[0] != '\t'))) std::abort();
    joined += line;
  }
  // Folding only removes blanks, controls and line breaks at piece ends and
  // adds the leading blanks of continuation lines.
  std::string kept, original = "x-fuzz: " + text;
  for (char c : joined) {
    if (static_cast<unsigned char>(c) > 32) kept += c;
  }
  std::string expected;
  for (char c : original) {
    if (static_cast<unsigned char>(c) > 32) expected += c;
  }
  if (kept != expected) std::abort();
  (void)list.FieldValue("X-FUZZ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    FuzzSession(data + 1, size - 1);
  } else {
    FuzzHeaders(data + 1, size - 1);
  }
  return 0;
}
