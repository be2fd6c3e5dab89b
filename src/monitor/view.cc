#include "monitor/view.h"

namespace tallyvox::monitor {

const char* ColourName(TColour colour) { return colour == TColour::clRed ? "red" : "black"; }

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

void InputStore::SetChecked(const std::string& control, bool checked) {
  MutexLock lock(&mu_);
  checked_[control] = checked;
}

void InputStore::SetText(const std::string& control, const std::string& text) {
  MutexLock lock(&mu_);
  texts_[control] = text;
}

bool InputStore::Checked(const std::string& control) const {
  MutexLock lock(&mu_);
  auto it = checked_.find(control);
  return it != checked_.end() && it->second;
}

std::string InputStore::Text(const std::string& control) const {
  MutexLock lock(&mu_);
  auto it = texts_.find(control);
  return it == texts_.end() ? std::string() : it->second;
}

}  // namespace tallyvox::monitor
