// TMwCustomTransport: what a transport stream needs of the transport that
// created it (text conversion, size limit, whole-buffer components, the
// receive and transmit primitives of Fetch and Deliver, the send and receive
// events), and TMwTransportInfo, the per-connection object handed to every
// primitive. The client layer derives its transports from TMwCustomTransport
// (middleware/client/client_transport.h).
#ifndef TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_H_
#define TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_H_

#include <cstdint>

#include "middleware/wire/memory_stream.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/value_formatter.h"

namespace tallyvox::mw {

class TMwCustomTransportStream;

// The transport's per-connection information object.
class TMwTransportInfo {
 public:
  virtual ~TMwTransportInfo() = default;
  TMwStrings Attributes;
  bool CloseConnectionAfterTransmit = false;
  bool CloseConnectionAfterReceive = false;
  // Release the info together with a stream that refers to it. Streams hold
  // the info by shared_ptr, so this only documents the intent.
  bool AutoFree = false;
};

// What a transport stream needs from the transport that created it. The
// client layer derives its transports from this class. Defaults: fixed text
// conversion, no size limit, no compression or encryption, ReceiveLength -1,
// and the raw primitives raise EMwException 0x04000004.
class TMwCustomTransport {
 public:
  virtual ~TMwCustomTransport() = default;

  virtual TMwStringConversion StringConversion() const { return mwscFixed; }
  virtual TMwFormatSettings FormatSettings() const { return {}; }
  // From Params' MAXTRANSPORTSTREAMSIZE; 0 = no limit.
  virtual int32_t MaxTransportStreamSize() const { return 0; }

  // Whole-buffer components (none exist in this system). Each converts `in`
  // (positioned at 0) into `out`.
  virtual bool HasCompression() const { return false; }
  virtual void Compress(TMwMemoryStream& in, TMwMemoryStream& out);
  virtual void Decompress(TMwMemoryStream& in, TMwMemoryStream& out);
  virtual bool HasCrypt() const { return false; }
  virtual void Encrypt(TMwMemoryStream& in, TMwMemoryStream& out);
  virtual void Decrypt(TMwMemoryStream& in, TMwMemoryStream& out);

  // Receive primitives used by Fetch.
  virtual bool ReceiveLength(TMwTransportInfo* info, TMwCustomTransportStream& stream,
                             int32_t* length);
  // Empties stream.Buffer() and reads `length` bytes into it.
  virtual bool ReceiveStream(TMwTransportInfo* info, TMwCustomTransportStream& stream,
                             int32_t length);
  // Transmit primitives used by Deliver.
  virtual void TransmitLength(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual void TransmitStream(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  // Events raised by NotifySend and Fetch (OnSend / OnReceive).
  virtual void DoSend(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual void DoReceive(TMwTransportInfo* info, TMwCustomTransportStream& stream);
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_H_
