// ASCII text helpers shared by every subsystem. Protocol keywords, header
// names, field names and host names compare without regard to case, and only
// the 26 ASCII letters fold: bytes above 0x7F are compared as they are, so the
// result never depends on the process locale.
//
// Text that reaches an operator (a terminal, a log, a tool tip, a message
// box) but comes from elsewhere (a server's reply, a settings value, a file
// name) goes through EscapeControls first, so that it can neither move the
// terminal's cursor, colour or title (ESC sequences), nor overwrite or forge
// a line (CR, LF), nor be cut short (NUL).
#ifndef TALLYVOX_BASE_TEXT_H_
#define TALLYVOX_BASE_TEXT_H_

#include <string>
#include <string_view>

namespace tallyvox {

// True when a and b have the same length and equal bytes after folding
// ASCII letters to upper case.
bool SameText(std::string_view a, std::string_view b);

// A copy of text with the ASCII letters a-z upper-cased.
std::string UpperCase(std::string_view text);

// What EscapeControls does with line breaks.
enum class LineBreaks {
  kEscape,  // CR and LF become \r and \n: an exact rendering on one line, for a
            // quoted value (a settings value, a file name)
  kBlank,   // each CR and LF becomes a blank: one line that reads as it always
            // did where a message breaks its own lines ("Socket Error # 10061\r\n
            // Connection refused.", a mail server's reply lines), for lines that
            // people and tools read (the headless lines, the plugin line)
  kKeep,    // LF and CR LF become one LF, for widgets that show several lines
            // (a message box); a CR on its own is still \r
};

// `text` with every control byte (0x00-0x1F) and DEL written as a C escape: \r, \n and \t, and
// \xHH (two lower-case hex digits) for the others: ESC is \x1b, NUL \x00; CR and LF as `breaks`
// says. Each byte of `also` is written as \xHH too (the plugin line's "|" as \x7c). Every other
// byte stays as it is, bytes above 0x7F (UTF-8) and the backslash included: a path such as
// "c:\apps\config.dbf" reads as it did. The result is meant for reading, not for decoding: a text
// that held "\x1b" reads like one that held ESC.
std::string EscapeControls(std::string_view text, LineBreaks breaks = LineBreaks::kEscape,
                           std::string_view also = {});

// `text` with each NUL byte written \x00, as EscapeControls writes it, and
// every other byte as it is: for exception messages, whose what() ends at the
// first NUL, so that a peer's text keeps what follows one.
std::string NulsVisible(std::string_view text);

// The length of the UTF-8 character that starts at text[at] (1 to 4), or 0
// when the bytes there are not one (a stray continuation byte, a sequence
// cut short, an overlong form, a surrogate, a code point past U+10FFFF).
// REQUIRES: at < text.size().
size_t Utf8CharLength(std::string_view text, size_t at);

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_TEXT_H_
