// How the engine reports and fills fields (internal to the engine): the engine type of a
// field as the table file describes it, text placed into a non-character field's bytes,
// and the date formats the engine accepts.
#ifndef TALLYVOX_DBE_FIELD_CODEC_H_
#define TALLYVOX_DBE_FIELD_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "dbe/dbe_engine.h"
#include "dbe/dbf_format.h"

namespace tallyvox::dbe {

// The kDbeType... of a field (C string, N/F numeric, B of length 8 and O double, ...).
uint16_t EngineType(const DbfField& field);

// Places `text` (blanks around it ignored) into the bytes of a non-character field:
// N/F a number text right-aligned, L one of T F Y N ? (or blank), D eight digits
// YYYYMMDD (or blank). Other types take raw bytes only. A value that does not suit the
// field fails with kDbeErrFieldValue naming `path`; `dest` is then unchanged.
// REQUIRES: dest holds field.length bytes.
DbeResult PutFieldText(const std::string& path, const DbfField& field, std::string_view text,
                       uint8_t* dest);

// True for day/month/year formats made of d, dd, M, MM, yy, yyyy, ccyy and separators,
// each part exactly once.
bool ValidDateFormat(const char* format);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_FIELD_CODEC_H_
