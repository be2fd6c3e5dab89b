// TNetHeaderList: the header lines of a message, each "Name: value", with
// continuation lines (starting with a blank or a tab) directly after the line
// they continue.
//
// Names compare ignoring ASCII letter case. PutField folds every line it puts
// at 78 columns (FoldHeaderLine), so long values are stored as a first line
// plus continuation lines; FieldValue joins them again.
//
// Caps: a list holds at most kMaxHeaderLines lines; PutField beyond that
// raises ENetMessageException instead of growing without bound.
#ifndef TALLYVOX_MAIL_HEADER_LIST_H_
#define TALLYVOX_MAIL_HEADER_LIST_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tallyvox::mail {

inline constexpr std::size_t kHeaderFoldColumn = 78;
inline constexpr std::size_t kMaxHeaderLines = 10000;

// Wraps one header line at `max_column` and returns the stored lines: breaks
// fall after the most recent blank, tab or comma outside double quotes once the
// column passes max_column; every piece is trimmed at its right end and every
// continuation piece starts with a blank. A line of max_column characters or
// fewer comes back whole. Line breaks already in the line (CR LF, or a bare
// CR or LF) split it too; such pieces become continuation lines (a blank is
// put before one that does not start with a blank or tab), and pieces that
// are empty after trimming are dropped, so no value can start a header line
// of its own or end the header block.
std::vector<std::string> FoldHeaderLine(const std::string& line,
                                        std::size_t max_column = kHeaderFoldColumn);

class TNetHeaderList {
 public:
  // Sets header `name` to `value`: the first line with that name (ignoring
  // case) is replaced, with its continuation lines, by the folded
  // "name: value"; without one the header is appended. An empty value removes
  // the header (first occurrence and its continuation lines).
  void PutField(const std::string& name, const std::string& value);

  // The value of the first header `name`: the text after the colon joined with
  // its continuation lines, each trimmed, separated by single blanks. Empty
  // when the header is absent.
  std::string FieldValue(const std::string& name) const;

  // Index of the first line named `name`, or -1.
  long IndexOfName(const std::string& name) const;

  void Add(const std::string& line);
  void Clear() { lines_.clear(); }
  std::size_t Count() const { return lines_.size(); }
  bool Empty() const { return lines_.empty(); }
  const std::vector<std::string>& Lines() const { return lines_; }
  // REQUIRES: index < Count().
  const std::string& operator[](std::size_t index) const { return lines_[index]; }

 private:
  static bool IsContinuation(const std::string& line);
  // Removes the continuation lines that follow line `index`.
  void EraseContinuations(std::size_t index);

  std::vector<std::string> lines_;
};

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_HEADER_LIST_H_
