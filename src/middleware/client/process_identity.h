// The process identity: the client identity that request subjects carry when
// a transport names none. It is the ELF hash (the System V symbol hash) of
// the text form of a GUID created once per process ("{XXXXXXXX-XXXX-...}",
// upper case), written as 10 upper-case hexadecimal digits.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_PROCESS_IDENTITY_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_PROCESS_IDENTITY_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyvox::mw {

// h = (h << 4) + byte; g = h & 0xF0000000; if g: h ^= g >> 24; h &= ~g.
uint32_t MwElfHash(std::string_view text);
// `value` as 10 upper-case hexadecimal digits ("00ABCDEF12").
std::string MwHex10(uint32_t value);
// Computed on first use and fixed for the life of the process.
const std::string& MwProcessIdentity();

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_PROCESS_IDENTITY_H_
