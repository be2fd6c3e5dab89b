// TMwConnectionString: a transport's settings as text, one "name=value" line
// each. Names match without regard to case; the first line with a name wins.
//
// A connection string may hold named sections: a line "<|NAME|>" starts the
// section NAME (names compared in upper case); the lines before the first
// such line form the unnamed section. Values() and the transport read the
// unnamed section; Section() extracts any section as a string of its own.
//
//   HOST=10.0.0.1          <- unnamed section
//   PORT=80
//   <|CLIENT_ALT1|>
//   HOST=10.0.0.2          <- section CLIENT_ALT1
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CONNECTION_STRING_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CONNECTION_STRING_H_

#include <string>
#include <string_view>
#include <vector>

#include "middleware/wire/string_list.h"

namespace tallyvox::mw {

class TMwConnectionString {
 public:
  TMwConnectionString() = default;
  // Splits `text` at CR LF, LF or CR.
  explicit TMwConnectionString(std::string_view text) { SetText(text); }

  const std::vector<std::string>& Lines() const { return lines_; }
  void SetLines(std::vector<std::string> lines) { lines_ = std::move(lines); }
  void Add(const std::string& line) { lines_.push_back(line); }
  void Clear() { lines_.clear(); }
  bool Empty() const { return lines_.empty(); }

  // Lines joined, each followed by CR LF.
  std::string Text() const;
  void SetText(std::string_view text);

  // The value of the first line of the unnamed section named `name`; empty
  // when there is none.
  std::string Values(std::string_view name) const;
  // Whether the unnamed section has a line named `name`.
  bool HasName(std::string_view name) const;
  // Replaces the value of `name` in the unnamed section or appends the line.
  void SetValue(const std::string& name, const std::string& value);

  // The lines of section `name` ("" = the unnamed section), without the
  // section marker; empty when the section does not exist.
  TMwConnectionString Section(std::string_view name) const;
  bool HasSection(std::string_view name) const;

  bool operator==(const TMwConnectionString& other) const { return lines_ == other.lines_; }

 private:
  // Index range [begin, end) of the lines of a section; false when absent.
  bool SectionRange(std::string_view name, size_t* begin, size_t* end) const;

  std::vector<std::string> lines_;
};

using TMwConnectionStringArray = std::vector<TMwConnectionString>;

// The section name of a marker line "<|NAME|>", upper-cased; false otherwise.
bool MwSectionMarker(std::string_view line, std::string* name);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CONNECTION_STRING_H_
