// The exceptions of the mail layer. Both derive from net::ENetException, so the
// monitor catches them with the network failures and shows what() unchanged.
//
//   ENetMessageException                 message composition refused
//     "Invalid Encoding. UU only allows Body and Attachments"
//   ENetFailedToRetreiveTimeZoneInfo     the local UTC offset cannot be read
//     "Failed attempting to retrieve time zone information."
#ifndef TALLYVOX_MAIL_MAIL_EXCEPTIONS_H_
#define TALLYVOX_MAIL_MAIL_EXCEPTIONS_H_

#include <string>

#include "net/exceptions.h"

namespace tallyvox::mail {

class ENetMessageException : public net::ENetException {
 public:
  using net::ENetException::ENetException;
};

inline constexpr char kInvalidUUEncodingMessage[] =
    "Invalid Encoding. UU only allows Body and Attachments";

class ENetFailedToRetreiveTimeZoneInfo : public net::ENetException {
 public:
  ENetFailedToRetreiveTimeZoneInfo()
      : net::ENetException("Failed attempting to retrieve time zone information.") {}
};

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_MAIL_EXCEPTIONS_H_
