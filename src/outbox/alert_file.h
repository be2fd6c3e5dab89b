// The file of one alert waiting in the outbox (outbox.h): what it says,
// whom it is for, when it was raised. Text, six lines, each ending in LF:
//
//   tallyvox-alert 1
//   raised 2025-06-24 12:03:10.250           local time, to the millisecond
//   subject Server Down!                     or "Server Up!", "Servers Down!",
//                                            "Servers Up!" (a grouped alert)
//   accounts quell_brindle erols             the accounts selected when raised
//   text IP 10.0.0.5 Is Down!
//   check 9f3c0a1be4d27758                   FNV-1a 64 of every byte before it
//
// Values are bytes; a control character (below 0x20, or 0x7F) and "%" are
// written as "%" and two upper-case hexadecimal digits, and only they. The
// reader is
// strict: a file that is not exactly this (a foreign file, a truncated one,
// one whose check does not match) is refused with AlertFileError, whose
// message says what is wrong. It reads no byte past the input and refuses
// an input longer than kMaxAlertFileBytes before looking at it.
#ifndef TALLYVOX_OUTBOX_ALERT_FILE_H_
#define TALLYVOX_OUTBOX_ALERT_FILE_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"

namespace tallyvox::monitor {

constexpr size_t kMaxAlertFileBytes = 16 * 1024;

class AlertFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct QueuedAlert {
  TDateTime raised = 0;  // local date and time of SendError
  std::string subject;   // kDownSubject, kUpSubject, kGroupDownSubject or kGroupUpSubject
  // Names of the accounts selected when it was raised ("quell_brindle",
  // "erols"), in delivery order; never empty.
  std::vector<std::string> accounts;
  std::string text;  // the alert text, "IP 10.0.0.5 Is Down!"; a grouped one a line per row
  bool operator==(const QueuedAlert&) const = default;
};

// REQUIRES: `alert` is valid as ParseAlertFile checks it (known subject and
// accounts, at least one account, raised from year 1 to 9999), and its
// encoding fits kMaxAlertFileBytes. Raises AlertFileError otherwise.
// Invariant: ParseAlertFile(EncodeAlertFile(a)) == a when a.raised is a
// whole millisecond.
std::string EncodeAlertFile(const QueuedAlert& alert);

// Raises AlertFileError.
QueuedAlert ParseAlertFile(std::string_view bytes);

// "2025-06-24 12:03:10.250": the form of the raised line.
std::string TimestampText(TDateTime local);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_OUTBOX_ALERT_FILE_H_
