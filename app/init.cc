#include "app/init.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "audit/audit_table_file.h"
#include "config/settings_file.h"
#include "console/console_view.h"

namespace tallyvox::app {
namespace {

constexpr int kInitOk = 0;
constexpr int kInitRefused = 1;

class InitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string SystemError(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// Makes `dir` and its missing parents (new folders private), and returns its
// absolute path.
std::string MakeFolder(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at < dir.size() && dir[at] != '/') continue;
    const std::string part = dir.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw InitError(SystemError("make the folder", part));
    }
  }
  char resolved[PATH_MAX];
  if (::realpath(dir.c_str(), resolved) == nullptr) {
    throw InitError(SystemError("find the folder", dir));
  }
  struct stat st;
  if (::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw InitError(std::string(resolved) + " is not a folder");
  }
  return resolved;
}

void RefuseExisting(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    throw InitError(path +
                    " already exists; nothing was written (move it away or choose "
                    "another folder)");
  }
  if (errno != ENOENT) throw InitError(SystemError("check", path));
}

// Writes a new private file; never replaces one.
void WritePrivateFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw InitError(SystemError("create", path));
  // The umask may take away more than group and other bits; the owner keeps
  // reading and writing it.
  bool ok = ::fchmod(fd, 0600) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    errno = err;
    throw InitError(SystemError("write", path));
  }
}

std::string DefaultFolder() {
  const std::string path = monitor::DefaultSettingsPath();
  return path.substr(0, path.rfind('/'));
}

void PrintNextSteps(const std::string& settings, const std::string& table, bool default_path) {
  const std::string config = default_path ? "" : " --config " + settings;
  std::printf(
      "tallyvox init: wrote %s (the settings, mode 0600)\n"
      "tallyvox init: created %s (the audit table: ipaddress C 64, time N 20.10)\n"
      "Next, edit %s:\n"
      "  [roster] rows         your servers' addresses, in probing order, and which are watched\n"
      "  [polling] probe_port  the port your servers' middleware listens on\n"
      "  [mail.message]        the sender and the two recipients of the alerts\n"
      "  [mail.accounts.*]     each mail account's host, user and password_file, and which\n"
      "                        accounts send alerts (use)\n"
      "Then check them:\n"
      "  tallyvox probe ADDRESS --port PORT\n"
      "  tallyvox test-mail%s\n"
      "  tallyvox --headless --once%s\n",
      settings.c_str(), table.c_str(), settings.c_str(), config.c_str(), config.c_str());
}

}  // namespace

// A JSON string literal is also a TOML basic string: the same quotes and
// escapes.
std::string SettingsForFolder(std::string_view example, const std::string& folder) {
  std::string text(example);
  const size_t audit = text.find("\n[audit]\n");
  const std::string key = "\nfolder = ";
  const size_t line = audit == std::string::npos ? audit : text.find(key, audit);
  const size_t next_table = audit == std::string::npos ? audit : text.find("\n[", audit + 1);
  if (line == std::string::npos || line > next_table || text[line + key.size()] != '"') {
    throw std::logic_error("the example settings have no [audit] folder = \"...\" line");
  }
  const size_t value = line + key.size();
  const size_t end = text.find('"', value + 1);
  if (end == std::string::npos) {
    throw std::logic_error("the example settings' [audit] folder is not a plain string");
  }
  return text.replace(value, end + 1 - value, monitor::JsonString(folder));
}

InitCommand::InitCommand(CLI::App& cli) {
  command_ = cli.add_subcommand(
      "init",
      "write commented settings (mode 0600) and an empty audit table into DIR, never "
      "overwriting either; exit 0 written, 1 refused or failed");
  command_->add_option("DIR", dir_, "the folder (default: " + DefaultFolder() + ")");
}

int InitCommand::Run() const {
  const bool default_path = dir_.empty();
  std::string settings_path;
  std::string table_path;
  try {
    const std::string folder = MakeFolder(default_path ? DefaultFolder() : dir_);
    settings_path = folder + "/" + monitor::kSettingsFileName;
    const std::string text = SettingsForFolder(kExampleSettings, folder);
    // What the monitor will read: the table's name comes from the file.
    const monitor::Settings settings = monitor::ParseSettings(text, settings_path);
    table_path = folder + "/" + settings.audit_table;
    RefuseExisting(settings_path);
    RefuseExisting(table_path);
    WritePrivateFile(settings_path, text);
    try {
      audit::CreateAuditTableFile(table_path);
    } catch (...) {
      ::unlink(settings_path.c_str());
      throw;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tallyvox init: %s\n", e.what());
    return kInitRefused;
  }
  PrintNextSteps(settings_path, table_path, default_path);
  return kInitOk;
}

}  // namespace tallyvox::app
