#include "support/mail_servers.h"

#include <stdexcept>
#include <thread>

#include "support/peer_port.h"

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kPython[] = "/usr/bin/python3";

// Starts a server on `*port` (0: a port of the system's choice) and learns the
// port from its "READY <port>".
std::unique_ptr<ChildProcess> StartPython(std::vector<std::string> argv, int* port) {
  argv.insert(argv.end(), {"--port", std::to_string(*port)});
  *port = 0;
  auto process = std::make_unique<ChildProcess>(argv);
  if (process->WaitForOutput("READY ", 15s)) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((*port = ReportedPort(process->Output(), "READY ")) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
  }
  if (*port == 0) {
    throw std::runtime_error("test SMTP server did not start: " + process->Output());
  }
  return process;
}

// Minimal reader for the JSON lines smtp_server.py writes: string and
// string-array values of flat objects.
std::string JsonString(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": ";
  const std::size_t at = line.find(tag);
  if (at == std::string::npos) return "";
  std::size_t pos = at + tag.size();
  if (line.compare(pos, 4, "null") == 0 || line[pos] != '"') return "";
  std::string value;
  for (++pos; pos < line.size() && line[pos] != '"'; ++pos) {
    if (line[pos] == '\\' && pos + 1 < line.size()) ++pos;
    value += line[pos];
  }
  return value;
}

std::vector<std::string> JsonStringArray(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": [";
  std::vector<std::string> values;
  std::size_t pos = line.find(tag);
  if (pos == std::string::npos) return values;
  pos += tag.size();
  while (pos < line.size() && line[pos] != ']') {
    const std::size_t open = line.find('"', pos);
    const std::size_t close = line.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) break;
    values.push_back(line.substr(open + 1, close - open - 1));
    pos = close + 1;
    while (pos < line.size() && (line[pos] == ',' || line[pos] == ' ')) ++pos;
  }
  return values;
}

std::vector<std::string> RecordLines(const std::string& path, const std::string& kind) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(path);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    const std::string line = text.substr(start, end - start);
    if (JsonString(line, "kind") == kind) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> WaitForRecords(const std::string& path, const std::string& kind,
                                        std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::vector<std::string> lines = RecordLines(path, kind);
    if (lines.size() >= count || std::chrono::steady_clock::now() > deadline) return lines;
    std::this_thread::sleep_for(20ms);
  }
}

}  // namespace

std::string DecodeBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    const std::size_t index = alphabet.find(c);
    if (index == std::string::npos) break;
    value = (value << 6) | static_cast<unsigned>(index);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

AiosmtpdServer::AiosmtpdServer(const TestCertificate& cert, const std::string& user,
                               const std::string& password, int port)
    : record_(dir_.File("record.jsonl")), port_(port) {
  process_ = StartPython(
      {kPython, SourceDir() + "/tests/mail/smtp_server.py", "--cert", cert.cert_file, "--key",
       cert.key_file, "--user", user, "--password", password, "--record", record_},
      &port_);
}

std::vector<ReceivedMessage> AiosmtpdServer::Messages(std::size_t count,
                                                      std::chrono::milliseconds timeout) {
  std::vector<ReceivedMessage> messages;
  for (const std::string& line : WaitForRecords(record_, "message", count, timeout)) {
    ReceivedMessage m;
    m.helo = JsonString(line, "helo");
    m.auth_user = JsonString(line, "auth_user");
    m.mail_from = JsonString(line, "mail_from");
    m.rcpt_tos = JsonStringArray(line, "rcpt_tos");
    m.data = DecodeBase64(JsonString(line, "data_b64"));
    messages.push_back(m);
  }
  return messages;
}

std::vector<std::string> AiosmtpdServer::Sessions(std::size_t count,
                                                  std::chrono::milliseconds timeout) {
  std::vector<std::string> sessions;
  for (const std::string& line : WaitForRecords(record_, "session", count, timeout)) {
    sessions.push_back(DecodeBase64(JsonString(line, "transcript_b64")));
  }
  return sessions;
}

ScriptedServer::ScriptedServer(const TestCertificate& cert, const std::string& script_json,
                               bool tls, const std::string& host, int port)
    : record_(dir_.File("received.bin")), port_(port) {
  const std::string script = dir_.File("script.json");
  WriteFile(script, script_json);
  std::vector<std::string> argv = {kPython,    SourceDir() + "/tests/mail/scripted_smtp_server.py",
                                   "--script", script,
                                   "--record", record_,
                                   "--host",   host};
  if (tls) {
    argv.insert(argv.end(), {"--cert", cert.cert_file, "--key", cert.key_file});
  }
  process_ = StartPython(argv, &port_);
}

std::string ScriptedServer::Received() const { return ReadFile(record_); }

std::string ScriptedServer::ReceivedAfterClose(int connections, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const std::string events = ReadFile(record_ + ".events");
    int closed = 0;
    for (std::size_t pos = events.find("closed"); pos != std::string::npos;
         pos = events.find("closed", pos + 1)) {
      ++closed;
    }
    if (closed >= connections) return Received();
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("scripted server: connection did not end; received: " + Received());
    }
    std::this_thread::sleep_for(20ms);
  }
}

bool ScriptedServer::WaitForReceived(const std::string& needle, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Received().find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

}  // namespace tallyvox::testing
