#include "middleware/wire/string_list.h"

#include "base/text.h"

namespace tallyvox::mw {

int TMwStrings::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    const std::string& line = items_[i];
    const size_t eq = line.find('=');
    if (eq != std::string::npos && SameText(std::string_view(line).substr(0, eq), name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::optional<std::string> TMwStrings::Find(std::string_view name) const {
  const int i = IndexOfName(name);
  if (i < 0) return std::nullopt;
  const std::string& line = items_[static_cast<size_t>(i)];
  return line.substr(line.find('=') + 1);
}

void TMwStrings::SetValue(std::string_view name, std::string_view value) {
  const int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) items_.erase(items_.begin() + i);
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (i >= 0) {
    items_[static_cast<size_t>(i)] = std::move(line);
  } else {
    items_.push_back(std::move(line));
  }
}

std::string TMwStrings::Text() const {
  std::string out;
  for (const std::string& s : items_) {
    out += s;
    out += "\r\n";
  }
  return out;
}

void TMwStrings::SetText(std::string_view text) {
  items_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    items_.emplace_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r') ++end;
    if (end < text.size() && text[end] == '\n') ++end;
    start = end;
  }
}

}  // namespace tallyvox::mw
