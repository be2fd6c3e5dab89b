#include "middleware/wire/subject_header.h"

#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {
namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

void MwWriteSubjectHeader(TMwMemoryStream& buffer, const TMwSubjectHeader& h) {
  const size_t total = h.Subject.size() + h.Hops.size() + h.Trace.size() + h.SubjectData.size();
  if (total > kMwMaxSubjectStrings)
    throw EMwException("Subject header too long.", kMwErrSubjectTooLong);
  uint8_t fixed[kMwSubjectHeaderFixedSize];
  PutU16(fixed + 0, static_cast<uint16_t>(total));
  PutU16(fixed + 2, h.SubjectVersion);
  fixed[4] = h.Priority;
  fixed[5] = h.QoS;
  PutU16(fixed + 6, h.HopCount);
  PutU16(fixed + 8, h.MaxHopCount);
  PutU16(fixed + 10, static_cast<uint16_t>(h.Subject.size()));
  PutU16(fixed + 12, static_cast<uint16_t>(h.Hops.size()));
  PutU16(fixed + 14, static_cast<uint16_t>(h.Trace.size()));
  PutU16(fixed + 16, static_cast<uint16_t>(h.SubjectData.size()));
  buffer.Write(fixed, sizeof(fixed));
  buffer.Write(h.Subject);
  buffer.Write(h.Hops);
  buffer.Write(h.Trace);
  buffer.Write(h.SubjectData);
}

bool MwReadSubjectHeader(TMwMemoryStream& buffer, TMwSubjectHeader* h) {
  const uint8_t* fixed = buffer.Consume(kMwSubjectHeaderFixedSize);
  const uint16_t total = GetU16(fixed);
  h->SubjectVersion = GetU16(fixed + 2);
  h->Priority = fixed[4];
  h->QoS = fixed[5];
  h->HopCount = GetU16(fixed + 6);
  h->MaxHopCount = GetU16(fixed + 8);
  const size_t lens[4] = {GetU16(fixed + 10), GetU16(fixed + 12), GetU16(fixed + 14),
                          GetU16(fixed + 16)};
  h->Subject.clear();
  h->Hops.clear();
  h->Trace.clear();
  h->SubjectData.clear();
  if (total == 0 || total > kMwMaxSubjectStrings) return false;
  // The four lengths must describe exactly the bytes announced.
  if (lens[0] + lens[1] + lens[2] + lens[3] != total) return false;
  const auto* p = reinterpret_cast<const char*>(buffer.Consume(total));
  h->Subject.assign(p, lens[0]);
  p += lens[0];
  h->Hops.assign(p, lens[1]);
  p += lens[1];
  h->Trace.assign(p, lens[2]);
  p += lens[2];
  h->SubjectData.assign(p, lens[3]);
  return true;
}

std::string MwComposeRequestSubject(std::string_view domain, std::string_view identity,
                                    std::string_view service, std::string_view version,
                                    std::string_view function, int32_t request_id, bool sync) {
  auto escape = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) {
      if (c == '*' || c == '.' || c == '>') c = '_';
    }
    return out;
  };
  return "REQ." + std::string(domain) + "." + std::string(identity) + "." + escape(service) + "." +
         escape(version) + "." + escape(function) + "." + std::to_string(request_id) + "." +
         (sync ? "SYNC" : "ASYNC");
}

}  // namespace tallyvox::mw
