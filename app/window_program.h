// The window lives in a program of its own, tallyvox-window, so that
// `tallyvox --headless`, probe, init and test-mail never load Qt Widgets, Qt
// Gui and the X, font and GL libraries behind them (about 7 MB resident in
// a process that watches servers for months).
//
// `tallyvox` without --headless or a subcommand replaces itself with
// tallyvox-window (same process, same arguments, argv[0] kept), which is
// found beside the running program (the build tree) or in
// ../libexec/tallyvox/ from it (an installed prefix).
#ifndef TALLYVOX_APP_WINDOW_PROGRAM_H_
#define TALLYVOX_APP_WINDOW_PROGRAM_H_

#include <string>
#include <vector>

namespace tallyvox::app {

// The places tallyvox-window is looked for, in order, for a program whose
// own executable is `self` (an absolute path).
std::vector<std::string> WindowProgramCandidates(const std::string& self);

// Executes the first candidate that is executable, with `argv`. Returns only
// when none could be executed: it has then said so on standard error, and
// the result is the exit status (3, as for a window that cannot open).
int ExecWindowProgram(char** argv);

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_WINDOW_PROGRAM_H_
