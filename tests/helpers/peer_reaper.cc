// peer_reaper: ends the peers a test process started (mwserver, SMTP
// servers, Xvfb, tallyvox) when that process ends without stopping them: a
// crash, an abort of a sanitizer, a kill by ctest's time-out.
//
// The test process starts one reaper (tests/support, ChildProcess) with one
// end of a socket pair as its standard input and tells it, one line each,
// "+PID" when it spawned a peer and "-PID" when it reaped one. Every peer
// leads a process group of its own. When the socket reaches its end, the
// test process is gone (the kernel closed its end): the reaper kills the
// process group of every peer still listed (SIGTERM, then SIGKILL after at
// most a second), and ends.
//
// A peer is listed until the test process has reaped it, so its pid (and
// process group id) cannot have been given to another process meanwhile.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

int main() {
  // Descriptors the test process left open without close-on-exec (a
  // listening socket, a pipe) must not live on here.
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  // Terminal signals are for the test process; its end is what counts here.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);

  std::set<pid_t> peers;
  std::string line;
  char chunk[512];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (chunk[i] != '\n') {
        if (line.size() < 32) line += chunk[i];
        continue;
      }
      const long pid = line.size() > 1 ? std::strtol(line.c_str() + 1, nullptr, 10) : 0;
      if (pid > 1 && line[0] == '+') peers.insert(static_cast<pid_t>(pid));
      if (pid > 1 && line[0] == '-') peers.erase(static_cast<pid_t>(pid));
      line.clear();
    }
  }
  // SIGTERM first, so that a peer can remove its files (Xvfb its lock), then
  // SIGKILL for the groups still there after a second.
  for (pid_t pid : peers) ::kill(-pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    bool left = false;
    for (pid_t pid : peers) left = left || ::kill(-pid, 0) == 0;
    if (!left) break;
    ::usleep(10000);
  }
  for (pid_t pid : peers) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  }
  if (!peers.empty()) {
    std::fprintf(stderr, "peer_reaper: the test process ended with %zu peers running; killed\n",
                 peers.size());
  }
  return 0;
}
