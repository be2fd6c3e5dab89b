// The polling interval text of Edit122.
#ifndef TALLYVOX_MONITOR_INTERVAL_H_
#define TALLYVOX_MONITOR_INTERVAL_H_

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace tallyvox::monitor {

// A text that is not the number it should be (the class and message of the
// conversion error the window's runtime raised).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A 32-bit signed integer as the operator may type it: leading blanks, an
// optional sign, then decimal digits or hexadecimal digits after a "$"
// ("$EA60" = 60000). Nothing may follow the digits. Hexadecimal values take
// the 32-bit pattern ("$FFFFFFFF" = -1). nullopt when the text is not such a
// number or does not fit.
std::optional<int32_t> ParseInteger(const std::string& text);

// The interval in milliseconds. Raises EConvertError "'%s' is not a valid
// integer value" (with the text, its control bytes escaped: base/text.h)
// when the text is not an integer, and the same for a negative interval,
// which no timer can have.
int32_t ParseInterval(const std::string& text);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_INTERVAL_H_
