// Helpers shared by the test suites: loopback ports, child processes started
// and stopped by a test, temporary folders and the source tree's location.
// Every wait here is bounded in time.
#ifndef TALLYVOX_TESTS_SUPPORT_SUPPORT_H_
#define TALLYVOX_TESTS_SUPPORT_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tallyvox::testing {

// The repository's top folder and the CMake build folder.
std::string SourceDir();
std::string BinaryDir();
// The table_child program of this build: a second user of a table (tests/helpers).
std::string TableChildPath();

// A loopback port where nobody listens, for as long as the object lives: a
// socket bound to it but not listening, so a connect is refused and no other
// process can start listening there in between.
//
// With `shared`, the socket is bound with SO_REUSEADDR, so that a test's
// server binding the port with SO_REUSEADDR too (asyncio's servers do) can
// listen there meanwhile; once that server stops, connects are refused
// again, and a server started later gets the same port back: a test can stop
// and start a peer on one port without anyone else taking it in between.
class RefusingPort {
 public:
  explicit RefusingPort(const std::string& ip = "127.0.0.1", bool shared = false);
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// True once a TCP connect to ip:port succeeds, false after `timeout`.
bool WaitForTcpPort(const std::string& ip, int port, std::chrono::milliseconds timeout);

// A folder made with mkdtemp; removed with all its contents by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process started by a test. Its standard output and error go to a log
// file that `Output()` reads. The destructor stops it: SIGTERM, then SIGKILL
// after a bounded wait. It is spawned (posix_spawn, no fork of this possibly
// threaded process) with an environment built before the spawn: this
// process's environment with `extra_env` laid over it. It runs in a process
// group of its own, with default signal handling and no blocked signals.
// When this process ends without stopping it (a crash, a kill by ctest's
// time-out), the test process's peer_reaper (tests/helpers) kills its
// process group.
class ChildProcess {
 public:
  // argv[0] is looked up on PATH when it has no slash. Raises
  // std::runtime_error when the program cannot be started.
  explicit ChildProcess(std::vector<std::string> argv,
                        std::map<std::string, std::string> extra_env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  // Sends SIGTERM, waits up to `grace`, then SIGKILL. Returns the exit status
  // as waitpid reported it, or -1 when it was already reaped.
  int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
  // Waits for the process to exit by itself; returns its exit code, or -1 on
  // time-out or when it died of a signal.
  int Wait(std::chrono::milliseconds timeout);
  std::string Output() const;
  // True once `needle` appears in the output, false after `timeout`.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout);

 private:
  // The child was waited for: its pid may be given to another process now.
  void Reaped();

  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string log_path_;
};

// Sets the process's time zone (TZ, then tzset) for as long as it lives and
// puts the old one back. The environment is the process's own: use it only
// while no other thread of the test reads the time zone or the environment.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
  // Changes the zone again (the old one is still what the destructor puts
  // back).
  void Set(const std::string& tz);

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

// Runs a shell command with a time limit; returns its exit code (-1 on time-out)
// and its combined output in *output when given.
int RunCommand(const std::string& command, std::string* output = nullptr,
               std::chrono::seconds timeout = std::chrono::seconds(60));

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_SUPPORT_H_
