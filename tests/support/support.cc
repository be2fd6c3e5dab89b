#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tallyvox::testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in LoopbackAddress(const std::string& ip, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + ip);
  }
  return addr;
}

}  // namespace

std::string SourceDir() {
  const char* env = std::getenv("TALLYVOX_SOURCE_DIR");
  return env ? env : TALLYVOX_SOURCE_DIR;
}

std::string BinaryDir() {
  const char* env = std::getenv("TALLYVOX_BINARY_DIR");
  return env ? env : TALLYVOX_BINARY_DIR;
}

int FreeTcpPort(const std::string& ip) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket() failed");
  sockaddr_in addr = LoopbackAddress(ip, 0);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("bind() to a free port failed on " + ip);
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool WaitForTcpPort(const std::string& ip, int port, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const sockaddr_in addr = LoopbackAddress(ip, port);
  while (Clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tallyvox-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           std::map<std::string, std::string> extra_env) {
  char log_template[] = "/tmp/tallyvox-child-XXXXXX";
  const int log_fd = ::mkstemp(log_template);
  if (log_fd < 0) throw std::runtime_error("mkstemp failed");
  log_path_ = log_template;

  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) {
    ::close(log_fd);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    ::setpgid(0, 0);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(log_fd, 1);
    ::dup2(log_fd, 2);
    for (const auto& [k, v] : extra_env) ::setenv(k.c_str(), v.c_str(), 1);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(log_fd);
}

ChildProcess::~ChildProcess() {
  Stop();
  ::unlink(log_path_.c_str());
}

bool ChildProcess::Running() {
  if (reaped_) return false;
  const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (!Running()) return reaped_ ? status_ : -1;
  ::kill(-pid_, SIGTERM);
  ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + grace;
  while (Clock::now() < deadline) {
    if (!Running()) return status_;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status_, 0);
  reaped_ = true;
  return status_;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Running()) {
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string ChildProcess::Output() const { return ReadFile(log_path_); }

bool ChildProcess::WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (Output().find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Output().find(needle) != std::string::npos;
}

int RunCommand(const std::string& command, std::string* output, std::chrono::seconds timeout) {
  const std::string wrapped =
      "timeout -k 5 " + std::to_string(timeout.count()) + " sh -c '" + [&] {
        std::string escaped;
        for (char c : command) escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return escaped;
      }() + "' 2>&1";
  FILE* pipe = ::popen(wrapped.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  const int status = ::pclose(pipe);
  if (output) *output = text;
  if (!WIFEXITED(status)) return -1;
  const int code = WEXITSTATUS(status);
  return code == 124 ? -1 : code;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace tallyvox::testing
