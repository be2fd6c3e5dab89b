// The settings file of Tallyvox (TOML): the deployment settings the window
// leaves open (roster addresses, mail accounts, the audit table's folder)
// and the protective overrides of the probe. See tallyvox.example.toml for
// every key with its meaning.
//
//   [polling]  interval (text, the start text of Edit122), probe_port,
//              connect_timeout, request_timeout (seconds)
//   [audit]    folder, table
//   [mail]     port, test_address
//   [mail.message]  from, recipient, phone = { name, address }
//   [mail.accounts.<fallback|quell_brindle|sorrel_brindle|erols>]
//              host, user, password or password_file, use (not for fallback),
//              verify_server, ca_file, reply_timeout_ms, data_timeout_ms
//   [roster]   rows = exactly 111 { address, enabled }, in probing order
//   [alerts]   outbox (a folder, relative to the settings file), outbox_max,
//              confirm, remind_minutes, recovery (alert_dispatch.h); each
//              off when left out
//
// A bad file is refused with SettingsError, whose message names the file,
// the line and the column and says what is wrong ("tallyvox.toml:12:7:
// polling.probe_port must be from 1 to 65535, not 70000"). Unknown keys are
// refused too, so that a misspelt setting is never silently ignored.
#ifndef TALLYVOX_CONFIG_SETTINGS_FILE_H_
#define TALLYVOX_CONFIG_SETTINGS_FILE_H_

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/view.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// There is no file at the path; the message says how to make one.
class SettingsFileMissing : public SettingsError {
 public:
  using SettingsError::SettingsError;
};

// The settings file's name where Tallyvox makes or looks for one.
inline constexpr char kSettingsFileName[] = "tallyvox.toml";

// $XDG_CONFIG_HOME/tallyvox/tallyvox.toml ($HOME/.config when unset).
std::string DefaultSettingsPath();

// The command that writes a new settings file at `path` (with the audit
// table beside it): "tallyvox init DIR", followed by the rename when the
// file is not named tallyvox.toml, the name init gives it. Paths are quoted
// for the shell where they need it.
std::string InitCommandFor(const std::string& path);

// Reads and checks a settings file. Raises SettingsError, and
// SettingsFileMissing when there is no file at `path`. Never waits and reads
// at most 1 MiB: what is not a regular file (a FIFO, a device, a folder) or
// holds more is refused with the reason ("<path>:1:1: cannot read the
// settings file: it is a named pipe (FIFO), not a regular file"). Warns (in
// `warnings`) when the file holds a password and other users may read it.
// Checks the files the settings name: an account's ca_file must be readable
// and the outbox's parent folder must exist, refused with the line of the
// setting otherwise.
Settings LoadSettings(const std::string& path);

// The same from text, without the check of the file's permissions or of
// the ca_file and outbox paths on disk; `path`
// names it in messages and anchors a relative password_file. A
// password_file is read as the settings file is, at most 4 KiB; one that
// other users may read is warned about. An interval of 0, which stops
// polling after one cycle, is warned about. Both refuse a key not known
// before a missing one (a misspelt "enabled" is named as unknown), a
// message address that is not a mail address, and an account ticked
// (use = true) with an empty host; `polling.interval` may be a string
// ("60000", "$EA60") or an integer (60000).
Settings ParseSettings(std::string_view text, const std::string& path);

// The start values of the window's inputs: every roster row's box and
// address, Edit122, and the boxes of the three selectable accounts.
void FillInputs(const Settings& settings, InputStore& inputs);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_CONFIG_SETTINGS_FILE_H_
