// CRC-32 used for the keys of the connection pool's result cache: the common
// reflected polynomial 0xEDB88320, initial value all ones, final complement
// (the same checksum as zlib's crc32 and PKZIP). "123456789" gives 0xCBF43926.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_POOL_CRC32_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_POOL_CRC32_H_

#include <cstdint>
#include <string_view>

namespace tallyvox::mw {

uint32_t MwCrc32(std::string_view bytes);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_POOL_CRC32_H_
