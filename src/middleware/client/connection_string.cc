#include "middleware/client/connection_string.h"
#include "base/text.h"

#include <cctype>

namespace tallyvox::mw {

bool MwSectionMarker(std::string_view line, std::string* name) {
  if (line.size() < 4 || line.substr(0, 2) != "<|" || line.substr(line.size() - 2) != "|>") {
    return false;
  }
  *name = UpperCase(line.substr(2, line.size() - 4));
  return true;
}

std::string TMwConnectionString::Text() const {
  std::string out;
  for (const std::string& line : lines_) {
    out += line;
    out += "\r\n";
  }
  return out;
}

void TMwConnectionString::SetText(std::string_view text) {
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    lines_.emplace_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
      ++end;
    }
    start = end + 1;
  }
}

bool TMwConnectionString::SectionRange(std::string_view name, size_t* begin, size_t* end) const {
  const std::string wanted = UpperCase(name);
  bool inside = wanted.empty();
  bool found = inside;
  *begin = 0;
  *end = lines_.size();
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string marker;
    if (!MwSectionMarker(lines_[i], &marker)) continue;
    if (inside) {
      *end = i;
      return true;
    }
    if (marker == wanted) {
      inside = found = true;
      *begin = i + 1;
    }
  }
  return found;
}

TMwConnectionString TMwConnectionString::Section(std::string_view name) const {
  TMwConnectionString out;
  size_t begin, end;
  if (SectionRange(name, &begin, &end)) {
    out.lines_.assign(lines_.begin() + static_cast<std::ptrdiff_t>(begin),
                      lines_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return out;
}

bool TMwConnectionString::HasSection(std::string_view name) const {
  size_t begin, end;
  return SectionRange(name, &begin, &end);
}

namespace {

// Splits "name=value"; a line without "=" has an empty value.
std::string_view LineName(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

}  // namespace

std::string TMwConnectionString::Values(std::string_view name) const {
  size_t begin, end;
  SectionRange("", &begin, &end);
  for (size_t i = begin; i < end; ++i) {
    const std::string_view line = lines_[i];
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos && SameText(line.substr(0, eq), name)) {
      return std::string(line.substr(eq + 1));
    }
  }
  return "";
}

bool TMwConnectionString::HasName(std::string_view name) const {
  size_t begin, end;
  SectionRange("", &begin, &end);
  for (size_t i = begin; i < end; ++i) {
    if (lines_[i].find('=') != std::string::npos && SameText(LineName(lines_[i]), name)) {
      return true;
    }
  }
  return false;
}

void TMwConnectionString::SetValue(const std::string& name, const std::string& value) {
  size_t begin, end;
  SectionRange("", &begin, &end);
  for (size_t i = begin; i < end; ++i) {
    if (lines_[i].find('=') != std::string::npos && SameText(LineName(lines_[i]), name)) {
      lines_[i] = name + "=" + value;
      return;
    }
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end), name + "=" + value);
}

}  // namespace tallyvox::mw
