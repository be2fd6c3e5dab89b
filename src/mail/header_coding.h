// How header texts are made safe for the wire: the character settings chosen
// from the user's locale, RFC 2047 encoded words, address headers, and the
// Date header's time format.
#ifndef TALLYVOX_MAIL_HEADER_CODING_H_
#define TALLYVOX_MAIL_HEADER_CODING_H_

#include <cstddef>
#include <ctime>
#include <string>

#include "base/datetime.h"
#include "mail/address.h"

namespace tallyvox::mail {

// Transfer mode of header texts.
enum class TTransfer { bit7, bit8, iso2022jp };

// The header character settings of one message: transfer mode, encoding
// letter ('B' base64, 'Q' quoted-printable, '8' no encoding), charset name.
struct THeaderCoding {
  TTransfer transfer = TTransfer::bit8;
  char letter = 'Q';
  std::string charset = "ISO-8859-1";
};

// The settings for the user's locale, read from LC_ALL, LC_CTYPE or LANG
// (the first one set and non-empty). By language: Chinese, Korean and
// Japanese get letter 'B', every other language, and no locale at all (or
// C/POSIX), counts as English with letter 'Q'. The character set is the one
// the text is in: the locale's code set when its name gives one ("UTF-8" for
// "de_DE.UTF-8", "ISO-8859-15" for "fr_FR.iso885915"); without one, zh_CN
// "GB2312", other Chinese "Big5", Korean "EUC-KR", English "ISO-8859-1".
// Japanese text is always converted to "ISO-2022-JP" (transfer iso2022jp).
THeaderCoding ChooseHeaderCharset();
// The same for an explicit locale name such as "ja_JP.UTF-8".
THeaderCoding HeaderCharsetForLocale(const std::string& locale_name);

// The MIME name of a locale's code set ("utf8" -> "UTF-8", "iso88591" ->
// "ISO-8859-1"); a code set it does not know is returned as it is.
std::string CharsetName(const std::string& codeset);

// The characters that must be encoded inside a display name besides control
// and 8-bit bytes: ( ) < > [ ] : ; , . \ " @
inline constexpr char kAddressSpecials[] = "()<>[]:;,.\\\"@";

// Encodes `text` for a header (see the .cc for the run rules): words holding a
// byte below 32, 127 and above, or one of `specials`, become encoded words
// "=?charset?letter?...?=" of at most kMaxEncodedWord characters each (longer
// runs continue after "?=" CR LF TAB). With letter '8' the text is returned
// unchanged. With transfer iso2022jp the text is first converted to
// ISO-2022-JP (from the locale's code set, CP932 when unknown; left as it is
// when it does not convert).
inline constexpr std::size_t kMaxEncodedWord = 75;
std::string EncodeHeaderWords(const std::string& text, const std::string& specials,
                              const THeaderCoding& coding);

// The code set of the user's texts from LC_ALL, LC_CTYPE or LANG ("UTF-8" for
// "ja_JP.UTF-8"); "CP932", the Japanese Windows code page, when none is named.
std::string LocaleTextCodeset();

// Standard base64 ("=" padding, no line breaks); "" for "".
std::string EncodeBase64(const std::string& bytes);

// Converts Japanese text from `from_codeset` (e.g. "UTF-8", "CP932") to
// ISO-2022-JP; returns false and leaves *out untouched when it fails.
bool ConvertToIso2022Jp(const std::string& text, const std::string& from_codeset, std::string* out);

// "name <address>", the name quoted (or encoded when it holds control or
// 8-bit bytes); the bare address when the name is empty.
std::string FormatAddressForHeader(const TNetEMailAddressItem& item, const THeaderCoding& coding);
// The items' FormatAddressForHeader values joined by ", ".
std::string FormatAddressListForHeader(const TNetEMailAddressList& list,
                                       const THeaderCoding& coding);

// "Wed, 9 Dec 2026 07:05:03 -0500": weekday, day without leading zero,
// month, year, hh:mm:ss and the local offset from UTC at that time (daylight
// saving included) from the C library's time-zone data. Raises
// ENetFailedToRetreiveTimeZoneInfo when the offset cannot be determined.
// A local time names its offset only outside the hour repeated when daylight
// saving ends; there the C library picks one of the two.
std::string FormatInternetDate(TDateTime local_time);
// The same for an instant: its local time and the offset in effect at that
// instant, right also in the repeated hour. The Date header of a message
// without a date of its own is the current instant's.
std::string FormatInternetDateAt(std::time_t instant);

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_HEADER_CODING_H_
