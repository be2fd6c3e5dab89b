// The programs `tallyvox` hands its work to, each in the same process
// (execv: same pid, same arguments, argv[0] kept):
//
//   tallyvox          the small front: `probe` and `--version` in its own
//                     process (no Qt, no OpenSSL, no settings), everything
//                     else in tallyvox-monitor
//   tallyvox-monitor  the headless monitor, test-mail, init, --help; the
//                     window in tallyvox-window
//   tallyvox-window   the monitor with its window (Qt Widgets, Qt Gui and
//                     the X, font and GL libraries behind them, about 7 MB
//                     resident that a headless process never maps)
//   tallyvox-report   `tallyvox report`, the uptime report and its charts
//                     (Qt Gui), which tallyvox-monitor executes
//
// A companion is found beside the running program (the build tree) or in
// ../libexec/tallyvox/ from it (an installed prefix).
#ifndef TALLYVOX_EXEC_COMPANION_H_
#define TALLYVOX_EXEC_COMPANION_H_

#include <string>
#include <vector>

namespace tallyvox::app {

inline constexpr const char* kMonitorProgram = "tallyvox-monitor";
inline constexpr const char* kWindowProgram = "tallyvox-window";
// `tallyvox report` (Qt Gui for its charts).
inline constexpr const char* kReportProgram = "tallyvox-report";

// The places the program `name` is looked for, in order, for a program
// whose own executable is `self` (an absolute path).
std::vector<std::string> CompanionCandidates(const std::string& self, const std::string& name);

// Executes the first candidate for `name` that is executable, with `argv`.
// Returns only when none could be executed: it has then said so on standard
// error ("cannot start the <what> (...)<advice>"), and the result is the
// exit status, 3.
int ExecCompanion(const std::string& name, char** argv, const std::string& what,
                  const std::string& advice);

}  // namespace tallyvox::app

#endif  // TALLYVOX_EXEC_COMPANION_H_
