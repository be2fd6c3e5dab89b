// Stream formats: a controller describes one format at class level (its
// name, version, the stream class of each message type, its formatter) and
// the process-wide registry finds a format by name. This system registers
// one, "STANDARD", whose streams are those of request_stream.h,
// response_stream.h and message_stream.h.
//
// Message types and their subject prefixes:
//   1 mwmtRequest "REQ."   4 mwmtMessage "MSG."      7 mwmtCache "CAC."
//   2 mwmtResponse "RES."  5 mwmtSubscribe "SUB."    8 mwmtThrottle "THR."
//   3 mwmtServiceCall "SRV." 6 mwmtUnsubscribe "USB." 9 mwmtNamedQueue "QUE."
// STANDARD maps 1 and 3 to the request class, 2 to the response class, 0 and
// 4..9 to the message classes; 10..255 have no class.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_STREAM_CONTROLLER_H_
#define TALLYVOX_MIDDLEWARE_WIRE_STREAM_CONTROLLER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "middleware/wire/memory_stream.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/subject_header.h"
#include "middleware/wire/transport_stream.h"
#include "middleware/wire/value_formatter.h"

namespace tallyvox::mw {

class TMwCustomTransportStreamController {
 public:
  virtual ~TMwCustomTransportStreamController() = default;
  // The abstract controller raises EMwException 0x04000004 for each.
  virtual std::string GetIdentifier() const;
  virtual int32_t GetVersion() const;
  virtual uint16_t GetSubjectVersion() const;
  // Null when the type has no class.
  virtual TMwTransportStreamClass GetStreamClass(int type) const;
  virtual std::unique_ptr<TMwCustomTransportStreamFormatter> CreateFormatter(
      const TMwStrings* params, TMwMemoryStream* buffer, TMwCustomTransportStream* stream) const;
  virtual bool HasMatchFunction() const;
  virtual bool SupportsRequestResponse() const { return false; }
  virtual bool SupportsMessaging() const { return false; }

  // As GetStreamClass, but no class raises EMwException 0x04000003
  // IDENT + " do not support messagetype '" + type name + "'".
  TMwTransportStreamClass GetStreamClassStrict(int type) const;
  // Writes / reads the binary subject header on `buffer` at its position:
  // 18 bytes (total, SubjectVersion, Priority, QoS, HopCount, MaxHopCount,
  // four string lengths; uint16 little-endian) then the four strings.
  // Write raises kMwErrSubjectTooLong above 4096 bytes of strings. Read
  // answers false (strings empty) for a total of 0 or above 4096, or when
  // the four lengths do not add up to the total.
  void WriteSubjectHeader(TMwMemoryStream& buffer, const TMwSubjectHeader& header) const;
  bool ReadSubjectHeader(TMwMemoryStream& buffer, TMwSubjectHeader* header) const;
  // First 4 characters upper-cased against "REQ." .. "QUE."; 0 if unknown.
  static int SubjectToMessageType(std::string_view subject);
  TMwTransportStreamClass StreamClassForSubject(std::string_view subject) const;
  // Prefix + rest; type 0 gives rest; type above 9 raises 0x04000003
  // "Unknown messagetype.".
  static std::string MessageTypeToSubject(int type, std::string_view rest);
  // Request streams use type 1, responses 2; others raise 0x04001003.
  static std::string StreamToSubject(const TMwCustomTransportStream& stream, std::string_view rest);
  static std::string MessageTypeToCode(int type);  // "REQ".."QUE", "" for 0
  static int CodeToMessageType(std::string_view code);

  // Creates a stream of `type` bound to the transport (strict lookup).
  TMwTransportStreamPtr CreateStream(int type, TMwCustomTransport* transport = nullptr,
                                     std::shared_ptr<TMwTransportInfo> info = nullptr) const;
};

class TMwStandardTransportStreamController : public TMwCustomTransportStreamController {
 public:
  static const TMwStandardTransportStreamController& Instance();
  std::string GetIdentifier() const override { return "STANDARD"; }
  int32_t GetVersion() const override { return kMwStandardVersion; }
  uint16_t GetSubjectVersion() const override { return kMwStandardSubjectVersion; }
  TMwTransportStreamClass GetStreamClass(int type) const override;
  std::unique_ptr<TMwCustomTransportStreamFormatter> CreateFormatter(
      const TMwStrings* params, TMwMemoryStream* buffer,
      TMwCustomTransportStream* stream) const override;
  bool HasMatchFunction() const override { return false; }
  bool SupportsRequestResponse() const override { return true; }
  bool SupportsMessaging() const override { return true; }
};

// The registry of stream formats (names upper-cased, first match wins).
class TMwRegisteredTransportStreamList {
 public:
  // The process-wide registry, with STANDARD registered on first use.
  static TMwRegisteredTransportStreamList& Instance();
  void Register(const TMwCustomTransportStreamController* controller) EXCLUDES(mu_);
  // Case-insensitive; null when not registered.
  const TMwCustomTransportStreamController* Find(std::string_view name) const EXCLUDES(mu_);
  // The checks of assigning a transport's StreamFormat: raises
  // std::runtime_error "Transport stream format NAME not registered for the
  // middleware." or "... is not compatible with the transport type.".
  const TMwCustomTransportStreamController& Select(std::string_view name,
                                                   bool request_response) const;

 private:
  mutable Mutex mu_;
  std::vector<std::string> names_ GUARDED_BY(mu_);
  std::vector<const TMwCustomTransportStreamController*> controllers_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_STREAM_CONTROLLER_H_
