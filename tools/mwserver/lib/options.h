// Command line of mwserver, the simulated application server.
//
//   mwserver [defaults] --listen ADDRESS [listener options] [--listen ADDRESS [...]]
//
// ADDRESS is HOST:PORT or FIRST-LAST:PORT, a range of IPv4 addresses that
// differ only in their last part (127.0.1.1-127.0.1.111:80). Port 0 lets the
// system choose a free port (one port for all addresses of a range); the
// ready line reports the ports bound. Options given
// before the first --listen are the defaults of every listener; options after
// a --listen apply to that listener only. See Usage() for the list.
#ifndef TALLYVOX_TOOLS_MWSERVER_LIB_OPTIONS_H_
#define TALLYVOX_TOOLS_MWSERVER_LIB_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallyvox::mwserver {

// What a listener does with a connection besides answering normally.
enum class Fault {
  kNone,
  kClose,      // close every connection as soon as it is accepted
  kDrop,       // read the first request, then close without answering
  kSilent,     // read requests and never answer; keep the connection open
  kBadHeader,  // answer with a verified header whose checksum is wrong
  kBadHex,     // answer with a verified header whose length is not hex
  kHuge,       // announce a 256 MiB answer, send 16 bytes of it, then stay silent
  kError,      // answer every call with status --error-code / --error-text
  kRedirect,   // answer every call with status 110000 and --redirect as text
  kRawClose,   // answer without any length prefix, then close the connection
  kTrickle,    // send every answer one byte at a time, one every --delay ms (100)
};

enum class Framing { kAuto, kVerified, kPlain };

struct OutParam {
  std::string name, data_type, param_type, value;
};

struct Behaviour {
  Fault fault = Fault::kNone;
  Framing framing = Framing::kAuto;
  int32_t error_code = 42;
  std::string error_text = "Simulated failure";
  std::string redirect;  // connection string text, lines separated by CR LF
  int delay_ms = 0;      // wait before every answer
  int32_t rows_affected = 1;
  std::string token;         // TOKEN of every answer
  bool fixed_state = false;  // answer STATEID state_id instead of echoing it
  int32_t state_id = -1;
  std::vector<OutParam> out_params;
};

struct ListenEntry {
  std::string first_ip;  // dotted quad
  int count = 1;         // addresses first_ip .. first_ip + count - 1
  int port = 0;          // 0: a free port chosen when binding
  Behaviour behaviour;
};

struct ServerOptions {
  std::vector<ListenEntry> listeners;
  size_t max_message = 16u << 20;  // largest request accepted, in bytes
  size_t max_output = 64u << 20;   // largest unsent answer backlog per connection
  // Connections served at once (lowered to what the open-file limit allows).
  // When all are taken, the one idle the longest makes room; when none is
  // idle, new connections wait in the listen queue until one closes.
  int max_connections = 512;
  // A connection with no request under way is closed after this long: longer
  // than a monitor keeps a pooled connection between two poll cycles.
  int idle_timeout_s = 90;
  // A request must arrive whole within this long of its first byte.
  int request_timeout_s = 10;
  bool quiet = false;  // no per-request log lines
};

// Parses argv[1..]; on failure returns false with a message in *error.
bool ParseArguments(const std::vector<std::string>& args, ServerOptions* options,
                    std::string* error);
std::string Usage();

// "a.b.c.d" + n, or "" when the result leaves the last part's range.
std::string OffsetAddress(const std::string& ip, int n);

}  // namespace tallyvox::mwserver

#endif  // TALLYVOX_TOOLS_MWSERVER_LIB_OPTIONS_H_
