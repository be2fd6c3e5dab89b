#include "mwserver/lib/options.h"

#include <arpa/inet.h>

#include <charconv>

namespace tallyvox::mwserver {
namespace {

bool ParseInt(const std::string& text, long long low, long long high, long long* value) {
  long long v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || v < low || v > high) return false;
  *value = v;
  return true;
}

bool IsIPv4(const std::string& ip) {
  in_addr addr;
  return inet_pton(AF_INET, ip.c_str(), &addr) == 1;
}

bool ParseFault(const std::string& name, Fault* fault) {
  static const struct {
    const char* name;
    Fault fault;
  } kFaults[] = {{"none", Fault::kNone},           {"close", Fault::kClose},
                 {"drop", Fault::kDrop},           {"silent", Fault::kSilent},
                 {"badheader", Fault::kBadHeader}, {"badhex", Fault::kBadHex},
                 {"huge", Fault::kHuge},           {"error", Fault::kError},
                 {"redirect", Fault::kRedirect},   {"rawclose", Fault::kRawClose},
                 {"trickle", Fault::kTrickle}};
  for (const auto& f : kFaults) {
    if (name == f.name) {
      *fault = f.fault;
      return true;
    }
  }
  return false;
}

// Splits "HOST[-HOST]:PORT".
bool ParseListen(const std::string& entry, ListenEntry* out, std::string* error) {
  const size_t colon = entry.rfind(':');
  long long port = 0;
  if (colon == std::string::npos || !ParseInt(entry.substr(colon + 1), 0, 65535, &port)) {
    *error = "bad --listen '" + entry + "': expected HOST:PORT or FIRST-LAST:PORT";
    return false;
  }
  const std::string hosts = entry.substr(0, colon);
  const size_t dash = hosts.find('-');
  std::string first = dash == std::string::npos ? hosts : hosts.substr(0, dash);
  if (first == "localhost") first = "127.0.0.1";
  if (!IsIPv4(first)) {
    *error = "bad address '" + first + "' in --listen (IPv4 dotted quad expected)";
    return false;
  }
  out->first_ip = first;
  out->port = static_cast<int>(port);
  out->count = 1;
  if (dash != std::string::npos) {
    const std::string last = hosts.substr(dash + 1);
    const size_t a = first.rfind('.'), b = last.rfind('.');
    long long lo = 0, hi = 0;
    if (!IsIPv4(last) || first.substr(0, a) != last.substr(0, b) ||
        !ParseInt(first.substr(a + 1), 0, 255, &lo) || !ParseInt(last.substr(b + 1), 0, 255, &hi) ||
        hi < lo) {
      *error = "bad address range '" + hosts + "': the addresses must differ only in their " +
               "last part, first <= last";
      return false;
    }
    out->count = static_cast<int>(hi - lo + 1);
  }
  return true;
}

// Turns ";" into line breaks so a connection string fits one argument.
std::string ConnectionStringArgument(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ';') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string OffsetAddress(const std::string& ip, int n) {
  in_addr addr;
  if (inet_pton(AF_INET, ip.c_str(), &addr) != 1) return "";
  const uint32_t host = ntohl(addr.s_addr);
  if ((host & 0xFF) + static_cast<uint32_t>(n) > 255) return "";
  addr.s_addr = htonl(host + static_cast<uint32_t>(n));
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

std::string Usage() {
  return "usage: mwserver [defaults] --listen HOST:PORT|FIRST-LAST:PORT [listener options] ...\n"
         "Simulated middleware application server offering service MW_QUERY version MW_1.0\n"
         "(functions EXECUTE and QUERY). Options after a --listen apply to it; options\n"
         "before the first --listen are defaults for all listeners.\n"
         "listener options:\n"
         "  --fault none|close|drop|silent|badheader|badhex|huge|error|redirect|rawclose|\n"
         "          trickle                 (trickle: one byte of each answer every --delay ms)\n"
         "  --framing auto|verified|plain   length prefix of requests/answers (auto: by request)\n"
         "  --error-code N --error-text T   status of --fault error (default 42)\n"
         "  --redirect CONNSTR              status text of --fault redirect; ';' separates lines\n"
         "  --delay MS                      wait before every answer (trickle: before each\n"
         "                                  byte; default 100)\n"
         "  --rows N                        rows affected answered by EXECUTE (default 1)\n"
         "  --token T                       TOKEN of every answer\n"
         "  --state-id N                    STATEID of every answer (default: the request's)\n"
         "  --out-param NAME:TYPE:PTYPE:VALUE  output parameter of EXECUTE (repeatable)\n"
         "global options:\n"
         "  --max-message BYTES    largest request (16 MiB)\n"
         "  --max-output BYTES     largest unsent answer backlog per connection (64 MiB)\n"
         "  --max-connections N    served at once (512); when all are taken the one idle\n"
         "                         the longest makes room, else new ones wait to be accepted\n"
         "  --idle-timeout S       close a connection without a request under way (90)\n"
         "  --request-timeout S    a request must arrive whole this long after its first\n"
         "                         byte (10)\n"
         "  --quiet              no per-request log line\n";
}

bool ParseArguments(const std::vector<std::string>& args, ServerOptions* options,
                    std::string* error) {
  Behaviour defaults;
  Behaviour* target = &defaults;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size()) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      *v = args[++i];
      return true;
    };
    auto number = [&](long long low, long long high, long long* n) {
      std::string v;
      if (!value(&v)) return false;
      if (!ParseInt(v, low, high, n)) {
        *error = "bad number '" + v + "' for " + arg;
        return false;
      }
      return true;
    };
    std::string v;
    long long n = 0;
    if (arg == "--listen") {
      ListenEntry entry;
      if (!value(&v) || !ParseListen(v, &entry, error)) return false;
      entry.behaviour = defaults;
      options->listeners.push_back(entry);
      target = &options->listeners.back().behaviour;
    } else if (arg == "--fault") {
      if (!value(&v)) return false;
      if (!ParseFault(v, &target->fault)) {
        *error = "unknown fault '" + v + "'";
        return false;
      }
    } else if (arg == "--framing") {
      if (!value(&v)) return false;
      if (v == "auto") {
        target->framing = Framing::kAuto;
      } else if (v == "verified") {
        target->framing = Framing::kVerified;
      } else if (v == "plain") {
        target->framing = Framing::kPlain;
      } else {
        *error = "unknown framing '" + v + "'";
        return false;
      }
    } else if (arg == "--error-code") {
      if (!number(1, 0x0FFFFFFE, &n)) return false;
      target->error_code = static_cast<int32_t>(n);
    } else if (arg == "--error-text") {
      if (!value(&target->error_text)) return false;
    } else if (arg == "--redirect") {
      if (!value(&v)) return false;
      target->redirect = ConnectionStringArgument(v);
    } else if (arg == "--delay") {
      if (!number(0, 3600000, &n)) return false;
      target->delay_ms = static_cast<int>(n);
    } else if (arg == "--rows") {
      if (!number(INT32_MIN, INT32_MAX, &n)) return false;
      target->rows_affected = static_cast<int32_t>(n);
    } else if (arg == "--token") {
      if (!value(&target->token)) return false;
    } else if (arg == "--state-id") {
      if (!number(INT32_MIN, INT32_MAX, &n)) return false;
      target->fixed_state = true;
      target->state_id = static_cast<int32_t>(n);
    } else if (arg == "--out-param") {
      if (!value(&v)) return false;
      OutParam p;
      size_t a = v.find(':'), b = a == std::string::npos ? a : v.find(':', a + 1),
             c = b == std::string::npos ? b : v.find(':', b + 1);
      if (c == std::string::npos) {
        *error = "bad --out-param '" + v + "': expected NAME:TYPE:PTYPE:VALUE";
        return false;
      }
      p.name = v.substr(0, a);
      p.data_type = v.substr(a + 1, b - a - 1);
      p.param_type = v.substr(b + 1, c - b - 1);
      p.value = v.substr(c + 1);
      target->out_params.push_back(p);
    } else if (arg == "--max-message") {
      if (!number(16, 1LL << 31, &n)) return false;
      options->max_message = static_cast<size_t>(n);
    } else if (arg == "--max-output") {
      if (!number(1024, 1LL << 32, &n)) return false;
      options->max_output = static_cast<size_t>(n);
    } else if (arg == "--max-connections") {
      if (!number(1, 100000, &n)) return false;
      options->max_connections = static_cast<int>(n);
    } else if (arg == "--idle-timeout") {
      if (!number(1, 86400, &n)) return false;
      options->idle_timeout_s = static_cast<int>(n);
    } else if (arg == "--request-timeout") {
      if (!number(1, 3600, &n)) return false;
      options->request_timeout_s = static_cast<int>(n);
    } else if (arg == "--quiet") {
      options->quiet = true;
    } else {
      *error = "unknown option '" + arg + "'";
      return false;
    }
  }
  if (options->listeners.empty()) {
    *error = "nothing to listen on: give at least one --listen";
    return false;
  }
  return true;
}

}  // namespace tallyvox::mwserver
