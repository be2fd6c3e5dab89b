#include "support/prometheus_text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

namespace tallyvox::testing {
namespace {

bool IsNameStart(char c, bool colon) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
}
bool IsNameChar(char c, bool colon) { return IsNameStart(c, colon) || (c >= '0' && c <= '9'); }

// Reads a name at `pos`; empty when there is none.
std::string ReadName(const std::string& line, size_t* pos, bool colon) {
  const size_t start = *pos;
  if (*pos < line.size() && IsNameStart(line[*pos], colon)) {
    ++*pos;
    while (*pos < line.size() && IsNameChar(line[*pos], colon)) ++*pos;
  }
  return line.substr(start, *pos - start);
}

bool ParseNumber(const std::string& text, double* value) {
  if (text == "NaN") {
    *value = std::nan("");
    return true;
  }
  if (text == "+Inf" || text == "Inf") {
    *value = HUGE_VAL;
    return true;
  }
  if (text == "-Inf") {
    *value = -HUGE_VAL;
    return true;
  }
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return errno == 0 && end == text.c_str() + text.size();
}

class Reader {
 public:
  Reader(Exposition* out, std::string* error) : out_(out), error_(error) {}

  bool Line(const std::string& line) {
    ++number_;
    if (line.empty()) return true;
    if (line[0] == '#') return Comment(line);
    return Sample(line);
  }

  bool Fail(const std::string& what) {
    *error_ = "line " + std::to_string(number_) + ": " + what;
    return false;
  }

 private:
  // The family a sample name belongs to (histograms and summaries add
  // suffixes to theirs).
  std::string FamilyOf(const std::string& name) const {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string s = suffix;
      if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
        const std::string base = name.substr(0, name.size() - s.size());
        const auto it = out_->types.find(base);
        if (it != out_->types.end() && (it->second == "histogram" || it->second == "summary")) {
          return base;
        }
      }
    }
    return name;
  }

  // Keeps each family's lines together.
  bool Enter(const std::string& family) {
    if (family == current_) return true;
    if (!current_.empty()) finished_.insert(current_);
    if (finished_.count(family) != 0) return Fail("lines of " + family + " are not together");
    current_ = family;
    return true;
  }

  bool Comment(const std::string& line) {
    std::istringstream in(line);
    std::string hash, keyword, name;
    in >> hash >> keyword;
    if (hash != "#" || (keyword != "HELP" && keyword != "TYPE")) return true;  // a comment
    in >> name;
    size_t pos = 0;
    if (ReadName(name, &pos, true) != name || name.empty()) return Fail("bad metric name");
    if (!Enter(name)) return false;
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (keyword == "HELP") {
      if (!out_->help.emplace(name, rest).second) return Fail("second HELP for " + name);
      for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '\\' &&
            (i + 1 >= rest.size() || (rest[i + 1] != '\\' && rest[i + 1] != 'n'))) {
          return Fail("bad escape in HELP of " + name);
        }
        if (rest[i] == '\\') ++i;
      }
      return true;
    }
    static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary",
                                                 "untyped"};
    if (kTypes.count(rest) == 0) return Fail("unknown type \"" + rest + "\"");
    if (seen_samples_.count(name) != 0) return Fail("TYPE of " + name + " after its samples");
    if (!out_->types.emplace(name, rest).second) return Fail("second TYPE for " + name);
    if (rest == "counter" && (name.size() < 6 || name.substr(name.size() - 6) != "_total")) {
      return Fail("counter " + name + " does not end in _total");
    }
    return true;
  }

  bool Sample(const std::string& line) {
    size_t pos = 0;
    const std::string name = ReadName(line, &pos, true);
    if (name.empty()) return Fail("no metric name");
    const std::string family = FamilyOf(name);
    if (!Enter(family)) return false;
    seen_samples_.insert(family);
    std::string series = name;
    if (pos < line.size() && line[pos] == '{') {
      ++pos;
      std::set<std::string> names;
      std::string labels;
      while (pos < line.size() && line[pos] != '}') {
        const std::string label = ReadName(line, &pos, false);
        if (label.empty() || label.rfind("__", 0) == 0) return Fail("bad label name");
        if (!names.insert(label).second) return Fail("label " + label + " twice");
        if (pos + 1 >= line.size() || line[pos] != '=' || line[pos + 1] != '"') {
          return Fail("label " + label + " without =\"value\"");
        }
        pos += 2;
        std::string value;
        for (;; ++pos) {
          if (pos >= line.size()) return Fail("label value not closed");
          const char c = line[pos];
          if (c == '"') break;
          if (c == '\\') {
            if (++pos >= line.size()) return Fail("label value not closed");
            const char e = line[pos];
            if (e != '\\' && e != '"' && e != 'n') return Fail("bad escape in label value");
            value += e == 'n' ? '\n' : e;
          } else {
            value += c;
          }
        }
        ++pos;  // the closing quote
        labels += (labels.empty() ? "" : ",") + label + "=\"" + value + "\"";
        if (pos < line.size() && line[pos] == ',') ++pos;
      }
      if (pos >= line.size()) return Fail("labels not closed");
      ++pos;  // '}'
      series += "{" + labels + "}";
    }
    if (pos >= line.size() || line[pos] != ' ') return Fail("no blank before the value");
    std::istringstream in(line.substr(pos + 1));
    std::string value_text, timestamp, extra;
    in >> value_text >> timestamp >> extra;
    double value = 0;
    if (!ParseNumber(value_text, &value)) return Fail("bad value \"" + value_text + "\"");
    if (!timestamp.empty() && timestamp.find_first_not_of("-0123456789") != std::string::npos) {
      return Fail("bad timestamp");
    }
    if (!extra.empty()) return Fail("text after the timestamp");
    const auto type = out_->types.find(family);
    if (type != out_->types.end() && type->second == "counter" && value < 0) {
      return Fail("negative counter " + series);
    }
    if (!out_->samples.emplace(series, value).second) return Fail("series twice: " + series);
    return true;
  }

  Exposition* out_;
  std::string* error_;
  int number_ = 0;
  std::string current_;
  std::set<std::string> finished_;
  std::set<std::string> seen_samples_;
};

}  // namespace

bool ParseExposition(const std::string& text, Exposition* out, std::string* error) {
  *out = Exposition();
  Reader reader(out, error);
  if (!text.empty() && text.back() != '\n') {
    *error = "the text does not end with a line end";
    return false;
  }
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!reader.Line(line)) return false;
  }
  return true;
}

}  // namespace tallyvox::testing
