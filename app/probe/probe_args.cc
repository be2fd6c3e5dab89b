#include "probe/probe_args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tallyvox::app {
namespace {

enum class Kind { kHost, kPort, kSeconds, kThreshold, kHelp, kVersion };

struct Option {
  char short_name;  // 0: long name only
  const char* long_name;
  Kind kind;
};

constexpr Option kOptions[] = {
    {'H', "hostname", Kind::kHost},         {'p', "port", Kind::kPort},
    {'t', "timeout", Kind::kSeconds},       {0, "request-timeout", Kind::kSeconds},
    {0, "connect-timeout", Kind::kSeconds}, {'w', "warning", Kind::kThreshold},
    {'c', "critical", Kind::kThreshold},    {'h', "help", Kind::kHelp},
    {'V', "version", Kind::kVersion},
};

constexpr long kMaxSeconds = 3600;

const Option* FindShort(char c) {
  for (const Option& o : kOptions) {
    if (o.short_name == c) return &o;
  }
  return nullptr;
}

const Option* FindLong(std::string_view name) {
  for (const Option& o : kOptions) {
    if (name == o.long_name) return &o;
  }
  return nullptr;
}

// A whole number from `lo` to `hi`, or the error text.
std::string ReadInt(const std::string& name, const std::string& text, long lo, long hi, int* out) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE) {
    return "--" + name + ": Value " + text + " could not be converted";
  }
  if (value < lo || value > hi) {
    return "--" + name + ": Value " + text + " not in range " + std::to_string(lo) + " to " +
           std::to_string(hi);
  }
  *out = static_cast<int>(value);
  return "";
}

// Seconds as a decimal number, 0 or more, or the error text.
std::string ReadThreshold(const std::string& name, const std::string& text,
                          std::optional<double>* out) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) {
    return "--" + name + ": Value " + text + " could not be converted";
  }
  if (value < 0 || value > kMaxSeconds) {
    return "--" + name + ": Value " + text + " not in range 0 to " + std::to_string(kMaxSeconds);
  }
  *out = value;
  return "";
}

std::string Apply(const Option& o, const std::string& value, ProbeArgs* out) {
  const std::string name = o.long_name;
  switch (o.kind) {
    case Kind::kHost:
      out->host = value;
      return "";
    case Kind::kPort:
      return ReadInt(name, value, 1, 65535, &out->port);
    case Kind::kSeconds: {
      int seconds = 0;
      std::string error = ReadInt(name, value, 1, kMaxSeconds, &seconds);
      if (!error.empty()) return error;
      if (name == "timeout") out->timeout = seconds;
      if (name == "request-timeout") out->request_timeout = seconds;
      if (name == "connect-timeout") out->connect_timeout = seconds;
      return "";
    }
    case Kind::kThreshold:
      return ReadThreshold(name, value, name == "warning" ? &out->warning : &out->critical);
    case Kind::kHelp:
      out->help = true;
      return "";
    case Kind::kVersion:
      out->version = true;
      return "";
  }
  return "";
}

bool TakesValue(const Option& o) { return o.kind != Kind::kHelp && o.kind != Kind::kVersion; }

std::string NotExpected(const std::vector<std::string>& extras) {
  std::string text = extras.size() == 1 ? "The following argument was not expected:"
                                        : "The following arguments were not expected:";
  for (const std::string& e : extras) text += " " + e;
  return text;
}

}  // namespace

std::string ParseProbeArgs(const std::vector<std::string>& args, ProbeArgs* out) {
  std::vector<std::string> extras;  // in the order given
  bool have_host = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const Option* option = nullptr;
    std::optional<std::string> value;
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      option = FindLong(std::string_view(arg).substr(2, eq == std::string::npos ? eq : eq - 2));
      if (option != nullptr && eq != std::string::npos) {
        if (!TakesValue(*option)) return "--" + std::string(option->long_name) + " takes no value";
        value = arg.substr(eq + 1);
      }
    } else if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-') {
      option = FindShort(arg[1]);
      if (option != nullptr && arg.size() > 2) {
        if (!TakesValue(*option))
          option = nullptr;
        else
          value = arg.substr(2);
      }
    } else if (!have_host) {
      out->host = arg;
      have_host = true;
      continue;
    }
    if (option == nullptr) {
      extras.push_back(arg);
      continue;
    }
    if (TakesValue(*option) && !value) {
      if (i + 1 == args.size()) return "--" + std::string(option->long_name) + " needs a value";
      value = args[++i];
    }
    const std::string error = Apply(*option, value.value_or(""), out);
    if (!error.empty()) return error;
    if (option->kind == Kind::kHost) have_host = true;
  }
  if (out->help || out->version) return "";
  if (!extras.empty()) return NotExpected(extras);
  if (!have_host) return "HOST is required";
  if (out->host.empty()) return "HOST is empty";
  return "";
}

std::string ProbeUsage() {
  return "Probe one middleware server as a roster row does (no audit record, no mail) and\n"
         "report like a monitoring plugin: exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
         "\n"
         "Usage: tallyvox probe [HOST] [OPTIONS]\n"
         "\n"
         "  HOST, -H, --hostname HOST  the server's address or host name\n"
         "  -p, --port N               the TCP port (default 80)\n"
         "  -t, --timeout S            seconds for the whole probe, its deadline (default:\n"
         "                             the connect time-out plus the request time-out)\n"
         "  --request-timeout S        seconds to wait for response bytes (default 5)\n"
         "  --connect-timeout S        seconds for the probe's connects, one deadline for\n"
         "                             all (default 5)\n"
         "  -w, --warning S            response time above which the result is WARNING\n"
         "  -c, --critical S           response time above which the result is CRITICAL\n"
         "  -V, --version              print the version and exit\n"
         "  -h, --help                 print this help and exit\n";
}

}  // namespace tallyvox::app
