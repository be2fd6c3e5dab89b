// Fresh GUIDs from the operating system's random source (version 4, RFC 4122
// variant), for message identifiers and the process identity.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_GUID_H_
#define TALLYVOX_MIDDLEWARE_WIRE_GUID_H_

#include <array>
#include <cstdint>
#include <string>

namespace tallyvox::mw {

struct TMwGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};
};

// A new random GUID from the kernel random pool (getrandom, the source of
// /dev/urandom); falls back to std::random_device.
TMwGuid NewGuid();

// 32 lower-case hex digits: Data1 as 8, Data2 as 4, Data3 as 4, then each
// byte of Data4 as 2 (the transport stream's MessageID form).
std::string GuidToMessageId(const TMwGuid& guid);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case (groups 8-4-4-4-12).
std::string GuidToString(const TMwGuid& guid);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_GUID_H_
