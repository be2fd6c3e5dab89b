#include "support/openssl_server.h"

#include <stdexcept>
#include <thread>

#include "support/peer_port.h"

namespace tallyvox::testing {
namespace {

using Clock = std::chrono::steady_clock;

// s_server prints this, with the address and port, once its socket listens.
constexpr char kReady[] = "ACCEPT ";

}  // namespace

OpenSslServer::OpenSslServer(const TestCertificate& cert, OpenSslServerOptions options) {
  // Port 0: s_server holds the port the system gives it from the start and reports it.
  std::vector<std::string> argv = {"openssl", "s_server",     "-accept", ip_ + ":0",
                                   "-cert",   cert.cert_file, "-key",    cert.key_file};
  if (options.reverse_lines) argv.push_back("-rev");
  if (options.log_messages) argv.push_back("-msg");
  argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
  process_ = std::make_unique<ChildProcess>(argv);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline && process_->Running()) {
    port_ = ReportedPort(Output(), kReady + ip_ + ":");
    if (port_ != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string output = Output();
  process_->Stop();
  throw std::runtime_error("openssl s_server did not start:\n" + output);
}

OpenSslServer::~OpenSslServer() {
  if (process_) process_->Stop();
}

std::string OpenSslServer::Output() const { return process_ ? process_->Output() : ""; }

int OpenSslServer::Count(const std::string& needle) const {
  const std::string text = Output();
  int count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

bool OpenSslServer::WaitForCount(const std::string& needle, int times,
                                 std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (Count(needle) >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Count(needle) >= times;
}

bool OpenSslServer::Running() { return process_ && process_->Running(); }

}  // namespace tallyvox::testing
