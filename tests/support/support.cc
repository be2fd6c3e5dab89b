#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

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

// The test process's peer_reaper (tests/helpers/peer_reaper.cc), started
// with the first child process: it kills the children still running when
// this process ends without stopping them. Without the program (not built)
// children are only stopped by their ChildProcess, as before, with a
// warning.
class PeerReaper {
 public:
  static PeerReaper& Get() {
    static PeerReaper* reaper = new PeerReaper;  // lives as long as the process
    return *reaper;
  }
  void Started(pid_t pid) { Tell("+" + std::to_string(pid) + "\n"); }
  void Ended(pid_t pid) { Tell("-" + std::to_string(pid) + "\n"); }

 private:
  PeerReaper() {
    const std::string path = BinaryDir() + "/tests/peer_reaper";
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 0);  // no close-on-exec on 0
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own: a Ctrl-C meant for the tests does not reach it.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
      ::close(ends[0]);
      std::fprintf(stderr,
                   "warning: cannot start %s (%s): peers are not stopped if this test "
                   "process is killed\n",
                   path.c_str(), std::strerror(error));
      return;
    }
    fd_ = ends[0];
  }
  void Tell(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ >= 0) ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
  }

  std::mutex mu_;
  int fd_ = -1;
};

}  // namespace

std::string SourceDir() {
  const char* env = std::getenv("TALLYVOX_SOURCE_DIR");
  return env ? env : TALLYVOX_SOURCE_DIR;
}

std::string BinaryDir() {
  const char* env = std::getenv("TALLYVOX_BINARY_DIR");
  return env ? env : TALLYVOX_BINARY_DIR;
}

std::string TableChildPath() { return BinaryDir() + "/tests/table_child"; }

RefusingPort::RefusingPort(const std::string& ip, bool shared) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket() failed");
  const int on = 1;
  if (shared) ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = LoopbackAddress(ip, 0);
  socklen_t len = sizeof addr;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd_);
    throw std::runtime_error("bind() to a free port failed on " + ip);
  }
  port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() { ::close(fd_); }

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
  const int log_fd = ::mkostemp(log_template, O_CLOEXEC);
  if (log_fd < 0) throw std::runtime_error("mkstemp failed");
  log_path_ = log_template;

  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  // The child's environment, complete before the spawn.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!extra_env.contains(entry.substr(0, entry.find('=')))) env_strings.push_back(entry);
  }
  for (const auto& [k, v] : extra_env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, log_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, log_fd, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t no_signals, all_signals;
  sigemptyset(&no_signals);
  sigfillset(&all_signals);
  posix_spawnattr_setsigmask(&attr, &no_signals);
  posix_spawnattr_setsigdefault(&attr, &all_signals);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = ::posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(log_fd);
  if (error != 0) {
    ::unlink(log_path_.c_str());
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  PeerReaper::Get().Started(pid_);
}

ChildProcess::~ChildProcess() {
  Stop();
  ::unlink(log_path_.c_str());
}

bool ChildProcess::Running() {
  if (reaped_) return false;
  const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) Reaped();
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
  Reaped();
  return status_;
}

void ChildProcess::Reaped() {
  reaped_ = true;
  PeerReaper::Get().Ended(pid_);
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

ScopedTimeZone::ScopedTimeZone(const std::string& tz) {
  if (const char* old = std::getenv("TZ")) {
    had_tz_ = true;
    old_tz_ = old;
  }
  Set(tz);
}

ScopedTimeZone::~ScopedTimeZone() {
  if (had_tz_) {
    ::setenv("TZ", old_tz_.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

void ScopedTimeZone::Set(const std::string& tz) {
  ::setenv("TZ", tz.c_str(), 1);
  ::tzset();
}

int RunCommand(const std::string& command, std::string* output, std::chrono::seconds timeout) {
  const std::string wrapped = "timeout -k 5 " + std::to_string(timeout.count()) + " sh -c '" + [&] {
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
