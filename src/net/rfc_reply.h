// TNetRFCReply: one numeric reply of a line protocol such as SMTP.
//
// A reply is one or more lines. A first line longer than 3 characters whose
// 4th character is '-' opens a continuation ("250-a", "250-b", "250 c"); the
// reply ends at a line shorter than 4 characters or one whose first 4
// characters equal the code followed by a blank (ignoring case).
// Parse() turns the collected lines into:
//   TextCode    first 4 characters of the first line, trimmed, shortened to 3
//               when they then end in '-'
//   NumericCode TextCode as an integer, 0 when it is not a number
//   Text        characters from the 5th on of every line ("" when shorter)
#ifndef TALLYVOX_NET_RFC_REPLY_H_
#define TALLYVOX_NET_RFC_REPLY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tallyvox::net {

class TNetRFCReply {
 public:
  int32_t NumericCode = 0;
  std::string TextCode;
  std::vector<std::string> Text;

  void Clear();
  // Clears, then fills the fields from the collected lines of one reply.
  void Parse(const std::vector<std::string>& lines);
  // The message of ENetProtocolReplyError: every Text line followed by CR LF.
  std::string ErrorMessage() const;

  // True when `line` opens a continuation (longer than 3, 4th char '-').
  static bool OpensContinuation(const std::string& line);
  // True when `line` ends a continuation opened by a line starting with
  // `code3` (its first 3 characters).
  static bool EndsContinuation(const std::string& line, const std::string& code3);
};

// Trims leading and trailing characters with codes 32 and below.
std::string NetTrim(const std::string& s);

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_RFC_REPLY_H_
