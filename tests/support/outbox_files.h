// The alert files in an outbox folder, sorted by name (the order raised).
#ifndef TALLYVOX_TESTS_SUPPORT_OUTBOX_FILES_H_
#define TALLYVOX_TESTS_SUPPORT_OUTBOX_FILES_H_

#include <algorithm>
#include <string>
#include <vector>

#include "outbox/outbox_env.h"

namespace tallyvox::monitor::testing {

inline std::vector<std::string> AlertFiles(const std::string& folder) {
  std::vector<std::string> names, alerts;
  OutboxEnv::Default()->ListFolder(folder, &names);
  for (const std::string& n : names) {
    if (n.size() > 6 && n.compare(n.size() - 6, 6, ".alert") == 0) alerts.push_back(n);
  }
  std::sort(alerts.begin(), alerts.end());
  return alerts;
}

}  // namespace tallyvox::monitor::testing

#endif  // TALLYVOX_TESTS_SUPPORT_OUTBOX_FILES_H_
