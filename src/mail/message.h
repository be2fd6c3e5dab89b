// TNetMessage: a mail message as the composer reads it. A new message starts
// cleared: empty addresses and texts, Date 0 (use the current time), priority
// mpNormal, encoding meMIME, attachment encoding "MIME".
//
// Message parts (text parts, attachments, related parts) are recorded only by
// kind: the header rules depend on them (meUU refuses text and related parts;
// meMIME with parts adds MIME-Version), but this system composes no parts.
#ifndef TALLYVOX_MAIL_MESSAGE_H_
#define TALLYVOX_MAIL_MESSAGE_H_

#include <functional>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "mail/address.h"
#include "mail/header_coding.h"
#include "mail/header_list.h"

namespace tallyvox::mail {

enum class TNetMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };
enum class TNetMessageEncoding { meMIME, meUU };
enum class TNetMessagePartKind { kText, kAttachment, kRelated };

// May change the header character settings chosen from the locale.
using TNetInitializeISOEvent =
    std::function<void(TTransfer& transfer, char& header_encoding, std::string& charset)>;

class TNetMessage {
 public:
  TNetMessage() { Clear(); }
  virtual ~TNetMessage() = default;

  // Raises OnInitializeISO when attached.
  virtual void InitializeISO(TTransfer& transfer, char& header_encoding, std::string& charset);
  // Every header field to its default, the body emptied, the parts removed.
  virtual void Clear();

  TNetEMailAddressItem From;
  TNetEMailAddressItem Sender;
  TNetEMailAddressList Recipients;
  TNetEMailAddressList CCList;
  TNetEMailAddressList BccList;
  TNetEMailAddressList ReplyTo;
  TNetEMailAddressItem ReceiptRecipient;
  std::string Subject;
  std::vector<std::string> Body;
  TNetMessagePriority Priority = TNetMessagePriority::mpNormal;
  std::string Organization;
  std::string References;
  std::vector<std::string> NewsGroups;
  std::string ContentType;
  std::string ContentTransferEncoding;
  std::string ContentDisposition;
  std::string CharSet;
  TNetMessageEncoding Encoding = TNetMessageEncoding::meMIME;
  std::string AttachmentEncoding = "MIME";
  TNetHeaderList ExtraHeaders;
  bool NoEncode = false;
  TNetInitializeISOEvent OnInitializeISO;
  std::vector<TNetMessagePartKind> MessageParts;
  // Header lines of a received message; empty for a composed one.
  TNetHeaderList Headers;

  // 0 means "the current time when written".
  TDateTime Date() const { return date_; }
  void SetDate(TDateTime date) { date_ = date; }
  bool UseNowForDate() const { return date_ == 0; }
  void SetUseNowForDate() { date_ = 0; }

  // Replaces the whole body with `text`, split into lines at CR LF, LF or CR.
  void SetBodyText(const std::string& text);

 private:
  TDateTime date_ = 0;
};

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_MESSAGE_H_
