#include "mail/header_list.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>

#include "mail/mail_exceptions.h"

namespace tallyvox::mail {
namespace {

constexpr char kBreakString[] = "\r\n ";

bool IsBreakChar(char c) { return c == ' ' || c == '\t' || c == ','; }

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimRight(const std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && IsBlankOrControl(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size() && IsBlankOrControl(text[begin])) ++begin;
  return TrimRight(text.substr(begin));
}

// Inserts the break string after the chosen break characters (see header).
std::string WrapText(const std::string& line, std::size_t max_column) {
  std::string wrapped;
  std::size_t piece_start = 0;
  std::size_t column = 0;
  bool have_candidate = false;
  std::size_t candidate = 0;
  bool in_quotes = false;
  for (std::size_t pos = 0; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '"') {
      in_quotes = !in_quotes;
    } else if (!in_quotes && IsBreakChar(c)) {
      candidate = pos;
      have_candidate = true;
    }
    ++column;
    if (!in_quotes && column > max_column && have_candidate && candidate > piece_start) {
      wrapped.append(line, piece_start, candidate - piece_start + 1);
      if (candidate + 1 < line.size()) wrapped += kBreakString;
      piece_start = candidate + 1;
      column = pos - candidate;
      have_candidate = false;
    }
  }
  wrapped.append(line, piece_start, std::string::npos);
  return wrapped;
}

}  // namespace

std::vector<std::string> FoldHeaderLine(const std::string& line, std::size_t max_column) {
  const std::string wrapped = line.size() <= max_column ? line : WrapText(line, max_column);
  // Split at every line break: CR LF, and also a bare CR or LF, which a
  // server could take for the end of the line as well. A value can therefore
  // never start a header line of its own or end the header block: every
  // piece after the first is a continuation line, and pieces with nothing
  // left after trimming are dropped.
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= wrapped.size()) {
    const std::size_t end = std::min(wrapped.find_first_of("\r\n", start), wrapped.size());
    std::string piece = TrimRight(wrapped.substr(start, end - start));
    if (pieces.empty()) {
      pieces.push_back(piece);
    } else if (!piece.empty()) {
      if (piece[0] != ' ' && piece[0] != '\t') piece.insert(0, 1, ' ');
      pieces.push_back(piece);
    }
    if (end == wrapped.size()) break;
    start = end + (wrapped.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return pieces;
}

bool TNetHeaderList::IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

long TNetHeaderList::IndexOfName(const std::string& name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    if (IsContinuation(line)) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (SameText(Trim(line.substr(0, colon)), name)) return static_cast<long>(i);
  }
  return -1;
}

void TNetHeaderList::EraseContinuations(std::size_t index) {
  std::size_t end = index + 1;
  while (end < lines_.size() && IsContinuation(lines_[end])) ++end;
  lines_.erase(lines_.begin() + static_cast<long>(index) + 1,
               lines_.begin() + static_cast<long>(end));
}

void TNetHeaderList::Add(const std::string& line) {
  if (lines_.size() >= kMaxHeaderLines) throw ENetMessageException("Too many header lines.");
  lines_.push_back(line);
}

void TNetHeaderList::PutField(const std::string& name, const std::string& value) {
  const long found = IndexOfName(name);
  if (value.empty()) {
    if (found >= 0) {
      EraseContinuations(static_cast<std::size_t>(found));
      lines_.erase(lines_.begin() + found);
    }
    return;
  }
  std::size_t index;
  if (found < 0) {
    Add("");
    index = lines_.size() - 1;
  } else {
    index = static_cast<std::size_t>(found);
    EraseContinuations(index);
  }
  const std::vector<std::string> pieces = FoldHeaderLine(name + ": " + value);
  if (lines_.size() + pieces.size() - 1 > kMaxHeaderLines) {
    throw ENetMessageException("Too many header lines.");
  }
  lines_[index] = pieces[0];
  lines_.insert(lines_.begin() + static_cast<long>(index) + 1, pieces.begin() + 1, pieces.end());
}

std::string TNetHeaderList::FieldValue(const std::string& name) const {
  const long found = IndexOfName(name);
  if (found < 0) return "";
  const std::string& first = lines_[static_cast<std::size_t>(found)];
  std::string value = Trim(first.substr(first.find(':') + 1));
  for (std::size_t i = static_cast<std::size_t>(found) + 1;
       i < lines_.size() && IsContinuation(lines_[i]); ++i) {
    value += ' ';
    value += Trim(lines_[i]);
  }
  return value;
}

}  // namespace tallyvox::mail
