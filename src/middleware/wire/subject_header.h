// The subject of a stream: TMwSubjectHeader, its binary codec and the
// request subject a client composes. The STANDARD request and response
// layouts carry none of it except Priority; the codec is a format of its own
// (message-routing transports write it in front of a stream).
//
// Binary subject header, all 16-bit fields little-endian:
//   offset  0  uint16 total byte length of the four strings
//           2  uint16 SubjectVersion
//           4  uint8  Priority
//           5  uint8  QoS
//           6  uint16 HopCount
//           8  uint16 MaxHopCount
//          10  uint16 length of Subject     12  uint16 length of Hops
//          14  uint16 length of Trace       16  uint16 length of SubjectData
//          18  Subject, Hops, Trace, SubjectData bytes, back to back
// A reader accepts a total of 1..4096 whose four lengths add up to it; any
// other total reports failure with the strings left empty.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_SUBJECT_HEADER_H_
#define TALLYVOX_MIDDLEWARE_WIRE_SUBJECT_HEADER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "middleware/wire/memory_stream.h"

namespace tallyvox::mw {

constexpr uint16_t kMwStandardSubjectVersion = 1;
constexpr size_t kMwSubjectHeaderFixedSize = 18;
constexpr size_t kMwMaxSubjectStrings = 4096;

// Subject fields carried by every stream (only Priority travels in the
// STANDARD request and response layouts).
struct TMwSubjectHeader {
  uint16_t SubjectVersion = kMwStandardSubjectVersion;
  std::string Subject;
  std::string Hops;
  std::string Trace;
  std::string SubjectData;
  uint8_t Priority = 128;
  uint8_t QoS = 0;
  uint16_t HopCount = 0;
  uint16_t MaxHopCount = 0;
};

// Writes `header` at the buffer's position. Raises EMwException
// kMwErrSubjectTooLong "Subject header too long." above 4096 bytes of
// strings (a reader would refuse them).
void MwWriteSubjectHeader(TMwMemoryStream& buffer, const TMwSubjectHeader& header);
// Reads a header at the buffer's position into *header: false (strings
// empty) for a total of 0 or above 4096, or when the four lengths do not add
// up to the total. A buffer too short raises "Stream read error".
bool MwReadSubjectHeader(TMwMemoryStream& buffer, TMwSubjectHeader* header);

// The request subject: "REQ." + domain + "." + identity + "." + service +
// "." + version + "." + function + "." + request id + "." + "SYNC"/"ASYNC",
// with every '*', '.' or '>' in service, version and function replaced by
// '_'.
std::string MwComposeRequestSubject(std::string_view domain, std::string_view identity,
                                    std::string_view service, std::string_view version,
                                    std::string_view function, int32_t request_id, bool sync);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_SUBJECT_HEADER_H_
