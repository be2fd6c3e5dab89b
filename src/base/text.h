// ASCII text helpers shared by every subsystem. Protocol keywords, header
// names, field names and host names compare without regard to case, and only
// the 26 ASCII letters fold: bytes above 0x7F are compared as they are, so the
// result never depends on the process locale.
#ifndef TALLYVOX_BASE_TEXT_H_
#define TALLYVOX_BASE_TEXT_H_

#include <string>
#include <string_view>

namespace tallyvox {

// True when a and b have the same length and equal bytes after folding
// ASCII letters to upper case.
bool SameText(std::string_view a, std::string_view b);

// A copy of text with the ASCII letters a-z upper-cased.
std::string UpperCase(std::string_view text);

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_TEXT_H_
