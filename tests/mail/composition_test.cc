// Message composition without a network: addresses, encoded words, header
// folding, the header list, the Date format and the header table.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "mail/address.h"
#include "mail/env_guard.h"  // tests/mail
#include "mail/header_coding.h"
#include "mail/header_list.h"
#include "mail/mail_exceptions.h"
#include "mail/message.h"
#include "mail/message_client.h"
#include "support/alert_message.h"

namespace tallyvox::mail {
namespace {

using testing::EnvGuard;

// Latin-1 text, as a Latin-1 locale has it.
const THeaderCoding kLatin1 = HeaderCharsetForLocale("en_US.ISO-8859-1");

// ---------------------------------------------------------------- addresses

struct TextCase {
  std::string name, address, text;
};

TEST(AddressItemTest, TextCombinesNameAndAddress) {
  const std::vector<TextCase> cases = {
      {"", "q@example.com", "q@example.com"},
      {"Quell", "q@example.com", "Quell <q@example.com>"},
      {"Quell Phone", "5551234@txt.example", "Quell Phone <5551234@txt.example>"},
      {"O'Neil #1", "o@x", "O'Neil #1 <o@x>"},
      {"Smith, John", "j@x", "\"Smith, John\" <j@x>"},
      {"Say \"hi\" \\o/", "j@x", "\"Say \\\"hi\\\" \\\\o/\" <j@x>"},
      {"", "john doe@x", "<\"john doe\"@x>"},
      {"Q", "jo\"e@x", "Q <\"jo\\\"e\"@x>"},
      {"Q", "john.doe@x", "Q <john.doe@x>"},
      {"", ".x y@z", ".x y@z"},  // first character outside the atoms is a dot
      {"Q", "a@b@c", "Q <\"a@b\"@c>"},
      {"Q", "", "Q <>"},
      {"Q", "nodomain", "Q <>"},
      {"", "", ""},
      {"A@B.COM", "a@b.com", "<a@b.com>"},  // name equals the upper-cased address
      {"a@b.com", "a@b.com", "\"a@b.com\" <a@b.com>"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(TNetEMailAddressItem(c.name, c.address).Text(), c.text)
        << "name [" << c.name << "] address [" << c.address << "]";
  }
}

TEST(AddressItemTest, ListKeepsInsertionOrder) {
  TNetEMailAddressList list;
  list.Add("B", "b@x");
  list.Add().SetAddress("a@x");
  list.Add("C", "c@x");
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list[0].Name(), "B");
  EXPECT_EQ(list[1].Address(), "a@x");
  EXPECT_EQ(list[2].Address(), "c@x");
}

TEST(AddressHeaderTest, FormatsNamesQuotedEscapedOrEncoded) {
  const std::vector<TextCase> cases = {
      {"", "a@b.example", "a@b.example"},
      {"Quorvant", "alerts@q.example", "\"Quorvant\" <alerts@q.example>"},
      {"Quell", "q@x", "\"Quell\" <q@x>"},
      {"Say \"hi\"", "a@b", "\"Say \\\"hi\\\"\" <a@b>"},
      {"back\\slash", "a@b", "\"back\\\\slash\" <a@b>"},
      {"J\xFCrgen M\xFCller", "a@b", "=?ISO-8859-1?Q?J=FCrgen_M=FCller?= <a@b>"},
      // Specials inside an encoded name are encoded too; the plain word stays.
      {"M\xFC"
       "ller, Hans",
       "a@b", "=?ISO-8859-1?Q?M=FCller=2C?= Hans <a@b>"},
      {"Bell\x07 ring", "a@b", "=?ISO-8859-1?Q?Bell=07?= ring <a@b>"},
      // Whitespace separates words and is never a reason to encode on its own.
      {"Tab\there", "a@b", "Tab\there <a@b>"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(FormatAddressForHeader(TNetEMailAddressItem(c.name, c.address), kLatin1), c.text)
        << c.name;
  }
  // Under a UTF-8 locale the name's bytes are UTF-8 and labelled so: a reader shows
  // "Jürgen Müller", not "JÃ¼rgen MÃ¼ller".
  EXPECT_EQ(FormatAddressForHeader(TNetEMailAddressItem("J\xC3\xBCrgen M\xC3\xBCller", "a@b"),
                                   HeaderCharsetForLocale("de_DE.UTF-8")),
            "=?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?= <a@b>");
}

TEST(AddressHeaderTest, ListJoinsWithCommaAndBlank) {
  TNetEMailAddressList list;
  EXPECT_EQ(FormatAddressListForHeader(list, kLatin1), "");
  list.Add("Quell", "q@x");
  list.Add("", "p@y");
  EXPECT_EQ(FormatAddressListForHeader(list, kLatin1), "\"Quell\" <q@x>, p@y");
}

// ---------------------------------------------------------- encoded words

struct EncodeCase {
  std::string text, specials;
  THeaderCoding coding;
  std::string encoded;
};

TEST(EncodeHeaderWordsTest, EncodesRunsOfWordsThatNeedIt) {
  const THeaderCoding gb = HeaderCharsetForLocale("zh_CN.GB2312");
  THeaderCoding none = kLatin1;
  none.letter = '8';
  const std::vector<EncodeCase> cases = {
      {"Server Down!", "", kLatin1, "Server Down!"},
      {"", "", kLatin1, ""},
      {"Caf\xE9", "", kLatin1, "=?ISO-8859-1?Q?Caf=E9?="},
      {"Alert: caf\xE9 down", "", kLatin1, "Alert: =?ISO-8859-1?Q?caf=E9?= down"},
      // = ? _ are encoded only inside an encoded word.
      {"a=b?c_d \xE9=?_", "", kLatin1, "a=b?c_d =?ISO-8859-1?Q?=E9=3D=3F=5F?="},
      // Two words that need encoding form one run; the blank becomes "_".
      {"\xE9t\xE9 \xE0 Paris", "", kLatin1, "=?ISO-8859-1?Q?=E9t=E9_=E0?= Paris"},
      {"  lead \xE9  ", "", kLatin1, "  lead =?ISO-8859-1?Q?=E9?=  "},
      {"x\x7Fy", "", kLatin1, "=?ISO-8859-1?Q?x=7Fy?="},
      {"a.b", kAddressSpecials, kLatin1, "=?ISO-8859-1?Q?a=2Eb?="},
      {"\xE9t\xE9", "", gb, "=?GB2312?B?6XTp?="},
      {"\xE9t\xE9 ab", "", gb, "=?GB2312?B?6XTp?= ab"},
      {"\xE9t\xE9", "", none, "\xE9t\xE9"},
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(EncodeHeaderWords(c.text, c.specials, c.coding), c.encoded) << c.text;
  }
}

// Splits folded encoded words and checks each stays within 75 characters.
std::vector<std::string> EncodedWords(const std::string& encoded) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    const std::size_t fold = encoded.find("\r\n\t", start);
    words.push_back(encoded.substr(start, fold - start));
    if (fold == std::string::npos) break;
    start = fold + 3;
  }
  return words;
}

TEST(EncodeHeaderWordsTest, LongRunsFoldWithinSeventyFiveCharacters) {
  const std::string text(60, '\xE9');
  const std::string encoded = EncodeHeaderWords(text, "", kLatin1);
  const std::vector<std::string> words = EncodedWords(encoded);
  ASSERT_GT(words.size(), 1u);
  std::string payload;
  for (const std::string& word : words) {
    EXPECT_LE(word.size(), kMaxEncodedWord) << word;
    ASSERT_EQ(word.rfind("=?ISO-8859-1?Q?", 0), 0u) << word;
    ASSERT_EQ(word.substr(word.size() - 2), "?=");
    payload += word.substr(15, word.size() - 17);
  }
  std::string expected;
  for (int i = 0; i < 60; ++i) expected += "=E9";
  EXPECT_EQ(payload, expected);  // no escape split across words

  // Base64 words carry whole groups of four characters each.
  const THeaderCoding big5 = HeaderCharsetForLocale("zh_TW.Big5");
  for (const std::string& word : EncodedWords(EncodeHeaderWords(text, "", big5))) {
    EXPECT_LE(word.size(), kMaxEncodedWord);
    EXPECT_EQ((word.size() - std::string("=?Big5?B?").size() - 2) % 4, 0u) << word;
  }
}

TEST(EncodeHeaderWordsTest, JapaneseTextIsConvertedToIso2022Jp) {
  EnvGuard env;
  env.Locale("ja_JP.UTF-8");
  const THeaderCoding coding = ChooseHeaderCharset();
  EXPECT_EQ(coding.transfer, TTransfer::iso2022jp);
  // "日本" in UTF-8 becomes ESC $ B F | K \ ESC ( B, then base64.
  EXPECT_EQ(EncodeHeaderWords("\xE6\x97\xA5\xE6\x9C\xAC", "", coding),
            "=?ISO-2022-JP?B?GyRCRnxLXBsoQg==?=");
  EXPECT_EQ(EncodeHeaderWords("Server Down!", "", coding), "Server Down!");
}

TEST(EncodeBase64Test, StandardAlphabetWithPadding) {
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("a"), "YQ==");
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  EXPECT_EQ(EncodeBase64("abc"), "YWJj");
  EXPECT_EQ(EncodeBase64("alert-user@example.com"), "YWxlcnQtdXNlckBleGFtcGxlLmNvbQ==");
  EXPECT_EQ(EncodeBase64("\xFF\xFE?"), "//4/");
}

// ---------------------------------------------------------- locale charset

TEST(HeaderCharsetTest, ChosenByLanguageOfTheLocale) {
  struct Case {
    std::string locale, charset;
    char letter;
    TTransfer transfer;
  };
  const std::vector<Case> cases = {
      {"", "ISO-8859-1", 'Q', TTransfer::bit8},
      {"C", "ISO-8859-1", 'Q', TTransfer::bit8},
      {"POSIX", "ISO-8859-1", 'Q', TTransfer::bit8},
      {"en_US", "ISO-8859-1", 'Q', TTransfer::bit8},
      {"de_DE@euro", "ISO-8859-1", 'Q', TTransfer::bit8},
      {"zh_CN", "GB2312", 'B', TTransfer::bit8},
      {"zh_TW", "Big5", 'B', TTransfer::bit8},
      {"ko_KR", "EUC-KR", 'B', TTransfer::bit8},
      // A code set in the name is the encoding of the text: it is the label.
      {"en_US.UTF-8", "UTF-8", 'Q', TTransfer::bit8},
      {"C.utf8", "UTF-8", 'Q', TTransfer::bit8},
      {"de_DE.iso885915@euro", "ISO-8859-15", 'Q', TTransfer::bit8},
      {"ru_RU.KOI8-R", "KOI8-R", 'Q', TTransfer::bit8},
      {"pl_PL.CP1250", "windows-1250", 'Q', TTransfer::bit8},
      {"zh_CN.GB2312", "GB2312", 'B', TTransfer::bit8},
      {"zh_CN.gb18030", "GB18030", 'B', TTransfer::bit8},
      {"zh_TW.Big5", "Big5", 'B', TTransfer::bit8},
      {"zh_HK.UTF-8", "UTF-8", 'B', TTransfer::bit8},
      {"ko_KR.EUC-KR", "EUC-KR", 'B', TTransfer::bit8},
      {"ko_KR.UTF-8", "UTF-8", 'B', TTransfer::bit8},
      // Japanese text is converted to ISO-2022-JP, whatever it was in.
      {"ja_JP.eucJP", "ISO-2022-JP", 'B', TTransfer::iso2022jp},
      {"ja_JP.UTF-8", "ISO-2022-JP", 'B', TTransfer::iso2022jp},
  };
  for (const Case& c : cases) {
    const THeaderCoding coding = HeaderCharsetForLocale(c.locale);
    EXPECT_EQ(coding.charset, c.charset) << c.locale;
    EXPECT_EQ(coding.letter, c.letter) << c.locale;
    EXPECT_EQ(coding.transfer, c.transfer) << c.locale;
  }
}

TEST(HeaderCharsetTest, LcAllThenLcCtypeThenLangAndNothingMeansEnglish) {
  EnvGuard env;
  env.Set("LC_ALL", std::nullopt);
  env.Set("LC_CTYPE", std::nullopt);
  env.Set("LANG", std::nullopt);
  EXPECT_EQ(ChooseHeaderCharset().charset, "ISO-8859-1");
  env.Set("LANG", "ko_KR");
  EXPECT_EQ(ChooseHeaderCharset().charset, "EUC-KR");
  env.Set("LC_CTYPE", "de_DE.UTF-8");
  EXPECT_EQ(ChooseHeaderCharset().charset, "UTF-8");
  env.Set("LC_ALL", "zh_CN");
  EXPECT_EQ(ChooseHeaderCharset().charset, "GB2312");
  env.Set("LC_ALL", "");  // empty counts as unset
  EXPECT_EQ(ChooseHeaderCharset().charset, "UTF-8");
}

// ------------------------------------------------------------------- dates

TEST(InternetDateTest, ShowsLocalTimeAndOffsetUnderSeveralZones) {
  struct Case {
    std::string tz;
    TDateTime time;
    std::string text;
  };
  const TDateTime winter = EncodeDate(2026, 12, 9) + EncodeTime(7, 5, 3, 0);
  const TDateTime summer = EncodeDate(2026, 7, 4) + EncodeTime(23, 59, 59, 999);
  const std::vector<Case> cases = {
      {"UTC0", winter, "Wed, 9 Dec 2026 07:05:03 +0000"},
      {"UTC0", 0.0, "Sat, 30 Dec 1899 00:00:00 +0000"},
      {"UTC0", EncodeDate(2024, 2, 29), "Thu, 29 Feb 2024 00:00:00 +0000"},
      // West of UTC, with and without daylight saving in effect.
      {"EST5EDT,M3.2.0,M11.1.0", winter, "Wed, 9 Dec 2026 07:05:03 -0500"},
      {"EST5EDT,M3.2.0,M11.1.0", summer, "Sat, 4 Jul 2026 23:59:59 -0400"},
      // Half-hour zones east and west.
      {"<+0530>-5:30", winter, "Wed, 9 Dec 2026 07:05:03 +0530"},
      {"NST3:30NDT,M3.2.0,M11.1.0", winter, "Wed, 9 Dec 2026 07:05:03 -0330"},
      {"NST3:30NDT,M3.2.0,M11.1.0", summer, "Sat, 4 Jul 2026 23:59:59 -0230"},
      {"<+1245>-12:45", summer, "Sat, 4 Jul 2026 23:59:59 +1245"},
  };
  for (const Case& c : cases) {
    EnvGuard env;
    env.Set("TZ", c.tz);
    EXPECT_EQ(FormatInternetDate(c.time), c.text) << c.tz;
  }
}

// When daylight saving ends the wall clock shows 02:00-03:00 twice; the Date of a message
// sent then carries the offset in effect at that instant, not one guessed from the clock.
TEST(InternetDateTest, RepeatedHourTakesTheOffsetOfTheInstant) {
  EnvGuard env;
  env.Set("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");  // ends on 25 Oct 2026, 03:00 CEST
  struct Case {
    int utc_hour, utc_minute;
    std::string text;
  } cases[] = {
      {0, 30, "Sun, 25 Oct 2026 02:30:00 +0200"},  // the first 02:30, still summer time
      {1, 30, "Sun, 25 Oct 2026 02:30:00 +0100"},  // the second 02:30
      {0, 59, "Sun, 25 Oct 2026 02:59:00 +0200"},
      {1, 0, "Sun, 25 Oct 2026 02:00:00 +0100"},
  };
  for (const Case& c : cases) {
    std::tm utc{};
    utc.tm_year = 2026 - 1900;
    utc.tm_mon = 9;
    utc.tm_mday = 25;
    utc.tm_hour = c.utc_hour;
    utc.tm_min = c.utc_minute;
    EXPECT_EQ(FormatInternetDateAt(timegm(&utc)), c.text);
  }
}

TEST(InternetDateTest, ZoneDatabaseEntriesWhenInstalled) {
  EnvGuard env;
  env.Set("TZ", "Asia/Kolkata");
  const std::string text = FormatInternetDate(EncodeDate(2026, 1, 15) + EncodeTime(12, 0, 0, 0));
  if (text.substr(text.size() - 5) == "+0000") GTEST_SKIP() << "no zone database";
  EXPECT_EQ(text, "Thu, 15 Jan 2026 12:00:00 +0530");
  env.Set("TZ", "America/New_York");
  EXPECT_EQ(FormatInternetDate(EncodeDate(2026, 1, 15) + EncodeTime(12, 0, 0, 0)),
            "Thu, 15 Jan 2026 12:00:00 -0500");
}

// ---------------------------------------------------------------- folding

TEST(FoldHeaderLineTest, BreaksAfterBlankOrCommaPastColumn78) {
  const std::string head = "Subject: " + std::string(65, 'a');  // 74 characters
  struct Case {
    std::string line;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"Subject: short", {"Subject: short"}},
      // 78 characters stay whole; 79 with a blank before column 78 split.
      {head + " bcd", {head + " bcd"}},
      {head + " bcde", {head, " bcde"}},
      {head + ",bcde", {head + ",", " bcde"}},
      {head + "\tbcde", {head, " bcde"}},
      // No break character: the line stays whole, however long.
      {"X-Long: " + std::string(100, 'x'), {"X-Long:", " " + std::string(100, 'x')}},
      {"X-Long:" + std::string(100, 'x'), {"X-Long:" + std::string(100, 'x')}},
      // No cut inside double quotes.
      {"To: \"" + std::string(40, 'n') + " " + std::string(40, 'n') + "\" <a@b>",
       {"To:", " \"" + std::string(40, 'n') + " " + std::string(40, 'n') + "\"", " <a@b>"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FoldHeaderLine(c.line), c.pieces) << c.line;
  }
}

// Line breaks inside a value never start a header of their own nor end the
// header block with an empty line.
TEST(FoldHeaderLineTest, LineBreaksInValuesStayContinuationLines) {
  struct Case {
    std::string line;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"X-Note: a\r\nBcc: evil@x", {"X-Note: a", " Bcc: evil@x"}},
      {"X-Note: a\nBcc: evil@x\rCc: more@x", {"X-Note: a", " Bcc: evil@x", " Cc: more@x"}},
      {"X-Note: a\r\n\r\n\r\nbody", {"X-Note: a", " body"}},
      {"X-Note: a\r\n\tfolded", {"X-Note: a", "\tfolded"}},
      {"X-Note: a\r\n", {"X-Note: a"}},
      // Wrapping that leaves a piece of blanks and controls only.
      {"X-Note: l," + std::string(80, '\x0f') + " tail", {"X-Note: l,", " tail"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FoldHeaderLine(c.line), c.pieces) << c.line;
  }
  TNetHeaderList list;
  list.PutField("X-Note", "a\r\nBcc: evil@x");
  list.PutField("X-Note", "b");  // the injected line went with the header
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"X-Note: b"}));
}

TEST(FoldHeaderLineTest, LongAddressListFoldsIntoShortContinuationLines) {
  std::string value;
  for (int i = 0; i < 12; ++i) {
    if (i) value += ", ";
    value += "\"Person " + std::to_string(i) + "\" <person" + std::to_string(i) + "@example.com>";
  }
  TNetHeaderList list;
  list.PutField("To", value);
  ASSERT_GT(list.Count(), 3u);
  // The column restarts after the cut, so the blank of the break string and a
  // trailing comma can add up to two characters to a piece of 78.
  for (std::size_t i = 0; i < list.Count(); ++i) {
    EXPECT_LE(list[i].size(), 80u) << list[i];
    if (i > 0) {
      EXPECT_EQ(list[i][0], ' ');
    }
  }
  EXPECT_EQ(list.FieldValue("to"), value);
}

// ------------------------------------------------------------ header list

TEST(HeaderListTest, PutFieldReplacesInPlaceAppendsAndRemoves) {
  TNetHeaderList list;
  list.PutField("From", "a@b");
  list.PutField("Subject", "one");
  list.PutField("X-Long", "word " + std::string(90, 'w'));  // two lines
  list.PutField("Date", "today");
  ASSERT_EQ(list.Lines(), (std::vector<std::string>{"From: a@b", "Subject: one", "X-Long: word",
                                                    " " + std::string(90, 'w'), "Date: today"}));
  list.PutField("subject", "two");  // case-insensitive, same place
  EXPECT_EQ(list[1], "subject: two");
  list.PutField("x-long", "short");  // continuation lines go with it
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"From: a@b", "subject: two", "x-long: short",
                                                    "Date: today"}));
  list.PutField("FROM", "");
  list.PutField("Absent", "");
  EXPECT_EQ(list.Lines(),
            (std::vector<std::string>{"subject: two", "x-long: short", "Date: today"}));
  EXPECT_EQ(list.FieldValue("Subject"), "two");
  EXPECT_EQ(list.FieldValue("From"), "");
}

TEST(HeaderListTest, FieldValueJoinsTrimmedContinuationLines) {
  TNetHeaderList list;
  list.Add("Received: from a  ");
  list.Add("\t by b ");
  list.Add("   with c");
  list.Add("X-Other: z");
  EXPECT_EQ(list.FieldValue("RECEIVED"), "from a by b with c");
  EXPECT_EQ(list.FieldValue("X-Other"), "z");
  EXPECT_EQ(list.IndexOfName("x-other"), 3);
  EXPECT_EQ(list.IndexOfName("by b"), -1);
}

// ---------------------------------------------------------- header table

std::vector<std::string> HeaderNames(TNetMessage& message) {
  const TNetHeaderList list = TNetMessageClient::BuildHeaderLines(message);
  std::vector<std::string> names;
  for (const std::string& line : list.Lines()) names.push_back(line.substr(0, line.find(':')));
  return names;
}

using tallyvox::testing::AlertMessage;

TEST(BuildHeaderLinesTest, AlertMessageHeadersInOrder) {
  EnvGuard env;
  env.Set("TZ", "UTC0");
  env.Locale("en_US.UTF-8");
  TNetMessage message = AlertMessage();
  message.SetDate(EncodeDate(2026, 12, 10) + EncodeTime(1, 2, 3, 0));
  EXPECT_EQ(TNetMessageClient::BuildHeaderLines(message).Lines(),
            (std::vector<std::string>{
                "From: \"Quorvant\" <monitor@quorvant.example>",
                "Subject: Server Down!",
                "To: \"Quell\" <quell@home.example>, \"Quell Phone\" <5550100@txt.example>",
                "Sender: Quell <quell@home.example>",
                "Date: Thu, 10 Dec 2026 01:02:03 +0000",
                "X-Priority: 3",
                "X-Library: Tallyvox 2.4",
            }));
}

TEST(BuildHeaderLinesTest, DateZeroMeansTheCurrentLocalTime) {
  EnvGuard env;
  env.Set("TZ", "<-03>3");
  TNetMessage message = AlertMessage();
  ASSERT_TRUE(message.UseNowForDate());
  const TDateTime before = Now();
  const std::string date = TNetMessageClient::BuildHeaderLines(message).FieldValue("Date");
  const TDateTime after = Now();
  EXPECT_TRUE(std::regex_match(
      date, std::regex(R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? [A-Z][a-z]{2} \d{4} )"
                       R"(\d{2}:\d{2}:\d{2} -0300)")))
      << date;
  // One of the two instants around the call, to the second.
  const std::string whole = date.substr(0, date.size() - 6);
  const std::string at_before = FormatInternetDate(before);
  const std::string at_after = FormatInternetDate(after);
  EXPECT_TRUE(whole == at_before.substr(0, at_before.size() - 6) ||
              whole == at_after.substr(0, at_after.size() - 6))
      << date << " vs " << at_before << " / " << at_after;
}

TEST(BuildHeaderLinesTest, EveryFieldInTableOrderAndExtraHeadersLast) {
  EnvGuard env;
  env.Set("TZ", "UTC0");
  env.Locale("");
  TNetMessage message;
  message.From.SetAddress("f@x");
  message.Subject = "S";
  message.Recipients.Add("", "to@x");
  message.CCList.Add("", "cc@x");
  message.BccList.Add("Hidden", "bcc@x");
  message.NewsGroups = {"comp.a", "comp.b"};
  message.ContentType = "text/plain";
  message.ContentTransferEncoding = "7bit";
  message.Sender.SetAddress("s@x");
  message.ReplyTo.Add("", "r@x");
  message.Organization = "Org";
  message.ReceiptRecipient.SetAddress("n@x");
  message.References = "<id@x>";
  message.SetDate(EncodeDate(2026, 1, 1));
  message.Priority = TNetMessagePriority::mpHighest;
  message.ExtraHeaders.PutField("X-Mailer", "Agent 1");
  message.ExtraHeaders.PutField("X-Custom", "c");
  const std::vector<std::string> names = HeaderNames(message);
  EXPECT_EQ(names,
            (std::vector<std::string>{"From", "Subject", "To", "Cc", "Newsgroups", "Content-Type",
                                      "Content-Transfer-Encoding", "Sender", "Reply-To",
                                      "Organization", "Disposition-Notification-To", "References",
                                      "Date", "X-Priority", "X-Library", "X-Mailer", "X-Custom"}));
  const TNetHeaderList lines = TNetMessageClient::BuildHeaderLines(message);
  EXPECT_EQ(lines.FieldValue("Newsgroups"), "comp.a,comp.b");
  EXPECT_EQ(lines.FieldValue("X-Priority"), "1");
  EXPECT_EQ(lines.FieldValue("From"), "f@x");
}

TEST(BuildHeaderLinesTest, EmptyValuesLeaveHeadersOut) {
  TNetMessage message;
  message.SetDate(EncodeDate(2026, 1, 1));
  const std::vector<std::string> names = HeaderNames(message);
  EXPECT_EQ(names, (std::vector<std::string>{"Date", "X-Priority", "X-Library"}));
  message.Priority = TNetMessagePriority::mpLowest;
  EXPECT_EQ(TNetMessageClient::BuildHeaderLines(message).FieldValue("X-Priority"), "5");
}

TEST(BuildHeaderLinesTest, EncodedSubjectAndObserverChangesCharset) {
  EnvGuard env;
  env.Locale("en_GB.UTF-8");
  TNetMessage message = AlertMessage();
  message.Subject = "Serveur arr\xC3\xAAt\xC3\xA9 !";
  EXPECT_EQ(TNetMessageClient::BuildHeaderLines(message).FieldValue("Subject"),
            "Serveur =?UTF-8?Q?arr=C3=AAt=C3=A9?= !");
  env.Locale("fr_FR.ISO-8859-1");
  message.Subject = "Serveur arr\xEAt\xE9 !";
  EXPECT_EQ(TNetMessageClient::BuildHeaderLines(message).FieldValue("Subject"),
            "Serveur =?ISO-8859-1?Q?arr=EAt=E9?= !");
  message.OnInitializeISO = [](TTransfer&, char& letter, std::string& charset) {
    letter = 'B';
    charset = "latin1";
  };
  EXPECT_EQ(TNetMessageClient::BuildHeaderLines(message).FieldValue("Subject"),
            "Serveur =?latin1?B?YXJy6nTp?= !");
}

TEST(BuildHeaderLinesTest, PartsDecideMimeVersionAndUuRefusal) {
  TNetMessage message;
  message.MessageParts = {TNetMessagePartKind::kAttachment};
  TNetHeaderList lines = TNetMessageClient::BuildHeaderLines(message);
  EXPECT_EQ(lines.FieldValue("MIME-Version"), "1.0");
  EXPECT_EQ(lines.FieldValue("Content-Type"), "multipart/mixed");

  message.Encoding = TNetMessageEncoding::meUU;
  EXPECT_EQ(TNetMessageClient::BuildHeaderLines(message).FieldValue("MIME-Version"), "");
  message.MessageParts.push_back(TNetMessagePartKind::kText);
  try {
    TNetMessageClient::BuildHeaderLines(message);
    FAIL() << "meUU with a text part was accepted";
  } catch (const ENetMessageException& e) {
    EXPECT_STREQ(e.what(), "Invalid Encoding. UU only allows Body and Attachments");
  }
}

TEST(MessageTest, ClearRestoresDefaultsAndBodyTextSplitsLines) {
  TNetMessage message = AlertMessage();
  message.SetBodyText("one\r\ntwo\nthree\rfour");
  EXPECT_EQ(message.Body, (std::vector<std::string>{"one", "two", "three", "four"}));
  message.SetBodyText("a\r\n\r\nb\r\n");
  EXPECT_EQ(message.Body, (std::vector<std::string>{"a", "", "b"}));
  message.SetDate(5.5);
  EXPECT_FALSE(message.UseNowForDate());
  message.Priority = TNetMessagePriority::mpLow;
  message.Clear();
  EXPECT_TRUE(message.UseNowForDate());
  EXPECT_TRUE(message.Body.empty());
  EXPECT_TRUE(message.Recipients.Empty());
  EXPECT_EQ(message.Priority, TNetMessagePriority::mpNormal);
  EXPECT_EQ(message.AttachmentEncoding, "MIME");
  EXPECT_EQ(message.From.Text(), "");
}

}  // namespace
}  // namespace tallyvox::mail
