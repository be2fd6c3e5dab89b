#include "middleware/wire/transport.h"

#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {

void TMwCustomTransport::Compress(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }
void TMwCustomTransport::Decompress(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }
void TMwCustomTransport::Encrypt(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }
void TMwCustomTransport::Decrypt(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }

bool TMwCustomTransport::ReceiveLength(TMwTransportInfo*, TMwCustomTransportStream&,
                                       int32_t* length) {
  *length = -1;
  return true;
}

bool TMwCustomTransport::ReceiveStream(TMwTransportInfo*, TMwCustomTransportStream&, int32_t) {
  throw EMwException("ReceiveStream not implemented in transport.", kMwErrNotDefined);
}

void TMwCustomTransport::TransmitLength(TMwTransportInfo*, TMwCustomTransportStream&) {}

void TMwCustomTransport::TransmitStream(TMwTransportInfo*, TMwCustomTransportStream&) {
  throw EMwException("TransmitStream not implemented in transport.", kMwErrNotDefined);
}

void TMwCustomTransport::DoSend(TMwTransportInfo*, TMwCustomTransportStream&) {}
void TMwCustomTransport::DoReceive(TMwTransportInfo*, TMwCustomTransportStream&) {}

}  // namespace tallyvox::mw
