// Sets environment variables for one test and restores them afterwards
// (TZ changes also re-read the time-zone data).
#ifndef TALLYVOX_TESTS_MAIL_ENV_GUARD_H_
#define TALLYVOX_TESTS_MAIL_ENV_GUARD_H_

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

namespace tallyvox::mail::testing {

class EnvGuard {
 public:
  EnvGuard() = default;
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    tzset();
  }
  // nullopt unsets the variable.
  void Set(const std::string& name, const std::optional<std::string>& value) {
    if (saved_.find(name) == saved_.end()) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
    tzset();
  }
  // Makes the header character settings those of `locale` ("" = none).
  void Locale(const std::string& locale) {
    Set("LC_ALL", std::nullopt);
    Set("LC_CTYPE", std::nullopt);
    Set("LANG", locale.empty() ? std::nullopt : std::optional<std::string>(locale));
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace tallyvox::mail::testing

#endif  // TALLYVOX_TESTS_MAIL_ENV_GUARD_H_
