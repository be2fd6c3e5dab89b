// A second process that opens a table through the engine and holds one record's lock
// until the test lets it go. Used to show that record locks work between processes.
#ifndef TALLYVOX_TESTS_SUPPORT_LOCK_HOLDER_H_
#define TALLYVOX_TESTS_SUPPORT_LOCK_HOLDER_H_

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "dbe/dbe_engine.h"

namespace tallyvox::testing {

class LockHolder {
 public:
  // Forks; the child locks `record` of `path` and reports back. ok() tells whether the
  // child holds the lock (false after 10 s without an answer or on a child failure).
  LockHolder(const std::string& path, uint32_t record) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      using namespace tallyvox::dbe;
      DbeHandle c = 0, t = 0;
      char answer = 'n';
      const std::string folder = path.substr(0, path.rfind('/'));
      if (DbeConnect(folder.c_str(), &c) == 0 &&
          DbeOpenTable(c, path.c_str(), nullptr, kDbeTableCdx, 1, 1, 1, 0, &t) == 0 &&
          DbeLockRecord(t, record) == 0) {
        answer = 'y';
      }
      if (::write(ready[1], &answer, 1) != 1) ::_exit(2);
      char byte;
      while (::read(release[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_fd_ = release[1];
    pollfd p{ready[0], POLLIN, 0};
    char answer = 'n';
    if (pid_ > 0 && ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &answer, 1) == 1) {
      ok_ = answer == 'y';
    }
    ::close(ready[0]);
  }
  ~LockHolder() { Release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool ok() const { return ok_; }
  // Lets the child exit (its locks go with it) and waits for it.
  void Release() {
    if (release_fd_ >= 0) ::close(release_fd_);
    release_fd_ = -1;
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool ok_ = false;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_LOCK_HOLDER_H_
