// The process's limit of open descriptors (RLIMIT_NOFILE). Many systems
// start programs with a soft limit of 1024 (systemd's default) under a far
// higher hard limit; a monitor that holds sockets for probes, mail, an
// audit table, an outbox and a metrics endpoint should not fail at 1024
// when the system allows more. Every program calls RaiseOpenFileLimit()
// first thing in main().
#ifndef TALLYVOX_BASE_OPEN_FILE_LIMIT_H_
#define TALLYVOX_BASE_OPEN_FILE_LIMIT_H_

namespace tallyvox {

// Raises the soft limit of open descriptors to the hard limit (to the
// kernel's fs.nr_open when the hard limit is unlimited). Never lowers it and
// never fails: when the limit cannot be changed it stays as it was. Calls
// setrlimit only when the soft limit is below the hard one (a systemd unit
// with LimitNOFILE= sets both alike). Returns the soft limit in force after.
long RaiseOpenFileLimit();

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_OPEN_FILE_LIMIT_H_
