// `tallyvox init [DIR]`: a new deployment's files in DIR (default: the
// folder of the default settings file, made when missing, mode 0700):
//
//   DIR/tallyvox.toml   the commented example settings the project ships
//                       (tallyvox.example.toml, carried in the program), with
//                       audit.folder pointing at DIR; mode 0600
//   DIR/config.dbf      the empty audit table (ipaddress C 64, time N 20.10),
//                       as `dbetool create` makes it
//
// It refuses to overwrite either file: when one exists it writes nothing.
// It prints what it wrote and what to edit next.
//
// Exit status: 0 both written; 1 refused or failed (nothing is left behind).
#ifndef TALLYVOX_APP_INIT_H_
#define TALLYVOX_APP_INIT_H_

#include <CLI/CLI.hpp>
#include <string>
#include <string_view>

namespace tallyvox::app {

// tallyvox.example.toml as it is in the source tree (example_settings.cc,
// generated at build time).
extern const std::string_view kExampleSettings;

// The example settings with the value of [audit] folder replaced by
// `folder`, written as a TOML string. Raises std::logic_error when the
// template has no such line.
std::string SettingsForFolder(std::string_view example, const std::string& folder);

class InitCommand {
 public:
  // Registers the "init" subcommand on `cli`.
  explicit InitCommand(CLI::App& cli);
  bool Parsed() const { return command_->parsed(); }
  int Run() const;

 private:
  CLI::App* command_;
  std::string dir_;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_INIT_H_
