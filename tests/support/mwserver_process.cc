#include "support/mwserver_process.h"

#include <sstream>
#include <thread>

namespace tallyvox::testing {
namespace {

// mwserver's ready line: "mwserver ready" and then " ip:port" per address.
constexpr char kReady[] = "mwserver ready";

}  // namespace

std::string MwServerPath() { return BinaryDir() + "/tools/mwserver"; }

MwServerProcess::MwServerProcess(std::vector<std::string> args, std::chrono::milliseconds startup) {
  args.insert(args.begin(), MwServerPath());
  process_ = std::make_unique<ChildProcess>(std::move(args));
  // The whole ready line, up to its line end.
  const auto deadline = std::chrono::steady_clock::now() + startup;
  std::string line;
  for (;;) {
    const std::string output = process_->Output();
    const size_t at = output.find(kReady);
    const size_t end = at == std::string::npos ? at : output.find('\n', at);
    if (end != std::string::npos) {
      line = output.substr(at + sizeof kReady - 1, end - at - (sizeof kReady - 1));
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline || !process_->Running()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::istringstream words(line);
  std::string endpoint;
  while (words >> endpoint) endpoints_.push_back(endpoint);
  ready_ = true;
}

int MwServerProcess::port() const {
  if (endpoints_.empty()) return 0;
  const std::string& first = endpoints_.front();
  return std::stoi(first.substr(first.rfind(':') + 1));
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
