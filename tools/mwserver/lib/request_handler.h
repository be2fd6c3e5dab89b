// The application side of mwserver: decodes one request message with the
// wire layer's STANDARD transport stream and encodes the response with it.
//
// Service "MW_QUERY" version "MW_1.0":
//   EXECUTE (statement, parameter description, schema)
//     -> RESULT [1, [count, [name, data type, parameter type, value]...],
//                rows affected]
//   QUERY (statement, parameters, fields, key fields, row limit, fresh, schema)
//     -> RESULT [1, cursor id, key fields], rows in the STREAM section
//   __RELEASESTATE -> OK, STATEID -1
// Other services or versions: status 100100 "Service '<name>' not available";
// other functions: 100101 "Function '<name>' not available". A message that
// does not decode is answered with an error status and the decoder's text.
// Every answer echoes REQUESTID, SYNC and DATA; TOKEN and STATEID follow the
// listener's Behaviour.
#ifndef TALLYVOX_TOOLS_MWSERVER_LIB_REQUEST_HANDLER_H_
#define TALLYVOX_TOOLS_MWSERVER_LIB_REQUEST_HANDLER_H_

#include <string>
#include <string_view>

#include "mwserver/lib/options.h"

namespace tallyvox::mwserver {

struct HandledRequest {
  std::string response;  // the encoded response message, without framing
  std::string log;       // one line: what was asked and what was answered
};

// Never throws for any input bytes.
HandledRequest HandleRequest(const Behaviour& behaviour, std::string_view message);

}  // namespace tallyvox::mwserver

#endif  // TALLYVOX_TOOLS_MWSERVER_LIB_REQUEST_HANDLER_H_
