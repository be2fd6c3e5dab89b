#include "support/mwserver_process.h"

#include <sstream>

namespace tallyvox::testing {

std::string MwServerPath() { return BinaryDir() + "/tools/mwserver"; }

MwServerProcess::MwServerProcess(std::vector<std::string> args, std::chrono::milliseconds startup) {
  args.insert(args.begin(), MwServerPath());
  process_ = std::make_unique<ChildProcess>(std::move(args));
  ready_ = process_->WaitForOutput("mwserver ready", startup);
}

int MwServerProcess::CountLines(const std::string& needle) const {
  std::istringstream in(process_->Output());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace tallyvox::testing
