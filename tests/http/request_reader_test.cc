// The request reader: good requests and what it makes of them, every
// refusal with its status, each fed whole and a byte at a time with the
// same outcome; the 8 KiB cap on the request line and headers together,
// exactly at it and one byte past it; and memory that follows the bytes
// received, never a length announced.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/request.h"
#include "http/request_reader.h"

namespace tallyvox::http {
namespace {

using State = RequestReader::State;

// Feeds `bytes` whole (piece 0) or in pieces of `piece` bytes.
RequestReader Read(const std::string& bytes, size_t piece, RequestLimits limits = {}) {
  RequestReader reader(limits);
  for (size_t at = 0; at < bytes.size() && reader.state() == State::kReading;) {
    const size_t n = piece == 0 ? bytes.size() : std::min(piece, bytes.size() - at);
    reader.Feed(std::string_view(bytes).substr(at, n));
    at += n;
  }
  return reader;
}

std::string Params(const Request& r) {
  std::string out;
  for (const auto& [k, v] : r.params) out += "[" + k + "=" + v + "]";
  return out;
}

std::string Headers(const Request& r) {
  std::string out;
  for (const Header& h : r.headers) out += "[" + h.name + ":" + h.value + "]";
  return out;
}

TEST(RequestReader, ReadsGoodRequestsWholeAndByteAtATime) {
  struct Case {
    std::string bytes;
    std::string method, path, query, params, host, body, headers;
    int minor;
  };
  const std::string kilobyte(1024, 'k');
  const std::vector<Case> cases = {
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9741\r\nAccept: */*\r\n\r\n", "GET", "/metrics",
       "", "", "127.0.0.1:9741", "", "[host:127.0.0.1:9741][accept:*/*]", 1},
      {"HEAD /metrics HTTP/1.0\r\n\r\n", "HEAD", "/metrics", "", "", "", "", "", 0},
      {"GET /probe?target=10.0.0.5%3A80&x=a+b%2Bc&flag&&y= HTTP/1.1\r\nHost: h\r\n\r\n", "GET",
       "/probe", "target=10.0.0.5%3A80&x=a+b%2Bc&flag&&y=",
       "[target=10.0.0.5:80][x=a b+c][flag=][y=]", "h", "", "[host:h]", 1},
      // The path is decoded; "+" stays a plus there.
      {"GET /a%20b+c/%7Ex HTTP/1.1\r\nHost: h\r\n\r\n", "GET", "/a b+c/~x", "", "", "h", "",
       "[host:h]", 1},
      // Absolute form: the host is the target's, not the Host header's.
      {"GET http://m.example:9741/metrics?x=1 HTTP/1.1\r\nHost: other\r\n\r\n", "GET", "/metrics",
       "x=1", "[x=1]", "m.example:9741", "", "[host:other]", 1},
      {"GET HTTP://m.example?x=1 HTTP/1.1\r\nHost: other\r\n\r\n", "GET", "/", "x=1", "[x=1]",
       "m.example", "", "[host:other]", 1},
      // Names fold to lower case, values lose their surrounding blanks only.
      {"GET / HTTP/1.1\r\nHOST:   [::1]:80  \r\nX-Thing:\tv \xC3\xA9 w\t\r\nEmpty:\r\n\r\n", "GET",
       "/", "", "", "[::1]:80", "", "[host:[::1]:80][x-thing:v \xC3\xA9 w][empty:]", 1},
      {"POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello", "POST", "/x", "", "", "h",
       "hello", "[host:h][content-length:5]", 1},
      {"PUT /x HTTP/1.1\r\nHost: h\r\nContent-Length: 01024\r\n\r\n" + kilobyte, "PUT", "/x", "",
       "", "h", kilobyte, "[host:h][content-length:01024]", 1},
      // A later minor version reads as HTTP/1.1.
      {"GET / HTTP/1.9\r\nHost: h\r\n\r\n", "GET", "/", "", "", "h", "", "[host:h]", 9},
  };
  for (const Case& c : cases) {
    for (const size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
      SCOPED_TRACE(c.bytes + " in pieces of " + std::to_string(piece));
      RequestReader reader = Read(c.bytes, piece);
      ASSERT_EQ(reader.state(), State::kComplete) << reader.refusal_reason();
      const Request& r = reader.request();
      EXPECT_EQ(r.method, c.method);
      EXPECT_EQ(r.path, c.path);
      EXPECT_EQ(r.query, c.query);
      EXPECT_EQ(Params(r), c.params);
      EXPECT_EQ(r.host, c.host);
      EXPECT_EQ(r.body, c.body);
      EXPECT_EQ(Headers(r), c.headers);
      EXPECT_EQ(r.minor_version, c.minor);
    }
  }
}

TEST(RequestReader, RefusesWithTheStatusThatSaysWhy) {
  const std::string get = "GET / HTTP/1.1\r\nHost: h\r\n";
  std::string many_headers = get;
  for (int i = 0; i < 100; ++i) many_headers += "X: y\r\n";
  std::string many_params = "GET /?";
  for (int i = 0; i < 101; ++i) many_params += "a=1&";
  many_params += " HTTP/1.1\r\nHost: h\r\n\r\n";
  struct Case {
    std::string bytes;
    int status;
    std::string why = "";  // a part of the reason, where the status alone does not show it
  };
  const std::vector<Case> cases = {
      {"GET / HTTP/1.1\nHost: h\n\n", 400, "bare LF"},             // bare LF
      {"GET / HTTP/1.1\r\nHost: h\n\r\n", 400, "bare LF"},         // one bare LF
      {"GET / HTTP/1.1\r\nHost: h\rx\r\n\r\n", 400, "CR inside"},  // a CR inside a line
      {get + "X-A: one\r\n  two\r\n\r\n", 400, "folded"},          // obs-fold
      {get + "X-A: one\r\n\ttwo\r\n\r\n", 400, "folded"},          // obs-fold with a tab
      {"GET / HTTP/1.1\r\nHost : h\r\n\r\n", 400,
       "blank before the colon"},                         // a blank before the colon
      {get + "no colon\r\n\r\n", 400},                    //
      {get + "X-A: a\x01z\r\n\r\n", 400},                 // a control byte
      {get + std::string("X-A: a\0z\r\n\r\n", 12), 400},  // NUL
      {get + "Content-Length: 1\r\nContent-Length: 1\r\n\r\nx", 400, "two Content-Length"},
      {get + "Content-Length: -1\r\n\r\n", 400},                 //
      {get + "Content-Length: 1,1\r\n\r\n", 400},                //
      {get + "Content-Length:\r\n\r\n", 400},                    //
      {get + "Content-Length: 1025\r\n\r\n", 413, "over 1024"},  // one past the body cap
      {get + "Content-Length: 99999999999999999999999\r\n\r\n", 413},
      {get + "Transfer-Encoding: chunked\r\n\r\n", 501, "Transfer-Encoding"},  //
      {get + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc", 501},
      {get + "Host: h\r\n\r\n", 400, "two Host"},            // two Host
      {"GET / HTTP/1.1\r\n\r\n", 400, "without Host"},       // HTTP/1.1 without Host
      {"GET / HTTP/1.1\r\nHost: a b\r\n\r\n", 400},          // Host is not a host
      {"GET / HTTP/2.0\r\nHost: h\r\n\r\n", 505},            //
      {"GET / HTTP/0.9\r\n\r\n", 505},                       //
      {"GET /\r\n\r\n", 400},                                // no version
      {"GET / http/1.1\r\nHost: h\r\n\r\n", 400},            //
      {"GET / HTTP/1.1 \r\nHost: h\r\n\r\n", 400},           // a blank too many
      {"GET  / HTTP/1.1\r\nHost: h\r\n\r\n", 400},           //
      {"NONSENSE\r\n\r\n", 400},                             //
      {"\r\nGET / HTTP/1.1\r\nHost: h\r\n\r\n", 400},        // an empty request line
      {"G@T / HTTP/1.1\r\nHost: h\r\n\r\n", 400},            // the method is no token
      {"GET metrics HTTP/1.1\r\nHost: h\r\n\r\n", 400},      // neither /path nor http://
      {"OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", 400},        //
      {"GET ftp://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 400},     //
      {"GET http://u@h/ HTTP/1.1\r\nHost: h\r\n\r\n", 400},  // user info
      {"GET http:///x HTTP/1.1\r\nHost: h\r\n\r\n", 400},    // no authority
      {"GET /a#b HTTP/1.1\r\nHost: h\r\n\r\n", 400},         // a fragment
      {"GET /a\"b HTTP/1.1\r\nHost: h\r\n\r\n", 400},        // a byte a URI does not allow
      {"GET /\xC3\xA9 HTTP/1.1\r\nHost: h\r\n\r\n", 400},    //
      {"GET /a%2 HTTP/1.1\r\nHost: h\r\n\r\n", 400},         // bad escapes
      {"GET /?q=%zz HTTP/1.1\r\nHost: h\r\n\r\n", 400},      //
      {"GET /?q=% HTTP/1.1\r\nHost: h\r\n\r\n", 400},        //
      {"GET /%00 HTTP/1.1\r\nHost: h\r\n\r\n", 400},         // a control byte once decoded
      {"GET /%0D%0A HTTP/1.1\r\nHost: h\r\n\r\n", 400},      //
      {many_params, 400},                                    // 101 query parameters
      {many_headers + "X: y\r\n\r\n", 431},                  // 102 header lines
  };
  for (const Case& c : cases) {
    for (const size_t piece : {size_t{0}, size_t{1}}) {
      SCOPED_TRACE(c.bytes + " in pieces of " + std::to_string(piece));
      RequestReader reader = Read(c.bytes, piece);
      ASSERT_EQ(reader.state(), State::kRefused);
      EXPECT_EQ(reader.refusal_status(), c.status) << reader.refusal_reason();
      EXPECT_FALSE(reader.refusal_reason().empty());
      EXPECT_NE(reader.refusal_reason().find(c.why), std::string::npos) << reader.refusal_reason();
      // Once refused it stays so, whatever follows.
      EXPECT_EQ(reader.Feed("GET / HTTP/1.1\r\nHost: h\r\n\r\n"), State::kRefused);
    }
  }
  // 100 header lines (Host and 99 more) are within the cap.
  std::string hundred = get;
  for (int i = 0; i < 99; ++i) hundred += "X: y\r\n";
  EXPECT_EQ(Read(hundred + "\r\n", 0).state(), State::kComplete);
}

// A request whose request line and headers take `head` bytes, the final
// empty line included.
std::string HeadOfSize(size_t head) {
  const std::string start = "GET /metrics HTTP/1.1\r\nHost: h\r\nX-Fill: ";
  const std::string end = "\r\n\r\n";
  return start + std::string(head - start.size() - end.size(), 'f') + end;
}

TEST(RequestReader, TheRequestLineAndHeadersTogetherAreCappedAt8KiB) {
  ASSERT_EQ(HeadOfSize(8192).size(), 8192u);
  for (const size_t piece : {size_t{0}, size_t{1}, size_t{1000}}) {
    SCOPED_TRACE(piece);
    // Exactly at the cap: read, and a body may follow.
    EXPECT_EQ(Read(HeadOfSize(8192), piece).state(), State::kComplete);
    std::string with_body = HeadOfSize(8192 - 19);
    with_body.insert(with_body.size() - 2, "Content-Length: 3\r\n");
    ASSERT_EQ(with_body.size(), 8192u);
    RequestReader reader = Read(with_body + "abc", piece);
    ASSERT_EQ(reader.state(), State::kComplete);
    EXPECT_EQ(reader.request().body, "abc");
    // One byte past it: 431.
    reader = Read(HeadOfSize(8193), piece);
    ASSERT_EQ(reader.state(), State::kRefused);
    EXPECT_EQ(reader.refusal_status(), 431);
  }
  // Refused as the 8193rd byte arrives, not at the end of a line that never
  // ends: a request line, then one endless header line.
  for (const std::string& endless : {"GET /" + std::string(20000, 'a'),
                                     "GET / HTTP/1.1\r\nHost: h\r\nX: " + std::string(20000, 'a'),
                                     "GET / HTTP/1.1\r\nHost: h\r\n" + std::string(20000, 'a')}) {
    RequestReader reader;
    EXPECT_EQ(reader.Feed(std::string_view(endless).substr(0, 8192)), State::kReading);
    EXPECT_EQ(reader.Feed(std::string_view(endless).substr(8192, 1)), State::kRefused);
    EXPECT_EQ(reader.refusal_status(), 431);
  }
  // The cap is the reader's limit; a smaller one holds the same way.
  EXPECT_EQ(Read(HeadOfSize(100), 1, RequestLimits{100, 0}).state(), State::kComplete);
  EXPECT_EQ(Read(HeadOfSize(101), 1, RequestLimits{101 - 1, 0}).refusal_status(), 431);
}

TEST(RequestReader, MemoryFollowsTheBytesReceivedNeverALengthAnnounced) {
  // A body of 1000 bytes announced, none sent: nothing is set aside for it.
  RequestReader reader;
  EXPECT_EQ(reader.Feed("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 1000\r\n\r\n"),
            State::kReading);
  EXPECT_LT(reader.HeldBytes(), 1000u);
  EXPECT_EQ(reader.Feed(std::string(999, 'b')), State::kReading);
  EXPECT_EQ(reader.Feed("bEXTRA"), State::kComplete);
  EXPECT_EQ(reader.request().body, std::string(999, 'b') + "b");

  // Millions of tiny header lines, fed a line at a time and in 64 KiB
  // pieces: refused long before they end, holding a few KiB at most; with
  // the count of header lines uncapped, at the 8 KiB cap.
  struct Flood {
    size_t max_headers, piece, peak_bound;
  };
  for (const Flood& f : {Flood{100, 6, 32 * 1024}, Flood{100, 65536, 32 * 1024},
                         Flood{size_t(-1), 6, 256 * 1024}, Flood{size_t(-1), 65536, 256 * 1024}}) {
    SCOPED_TRACE(std::to_string(f.max_headers) + " " + std::to_string(f.piece));
    RequestReader flood(RequestLimits{8192, 1024, f.max_headers, 100});
    std::string lines;
    for (int i = 0; i < 20000; ++i) lines += "X: y\r\n";
    ASSERT_EQ(flood.Feed("GET / HTTP/1.1\r\nHost: h\r\n"), State::kReading);
    size_t peak = 0;
    int rounds = 0;
    // Bounded in work as well: a reader that keeps everything stops the loop
    // at the bound rather than after two million lines.
    const auto going = [&] { return flood.state() == State::kReading && peak < f.peak_bound; };
    for (; rounds < 100 && going(); ++rounds) {
      for (size_t at = 0; at < lines.size() && going(); at += f.piece) {
        flood.Feed(std::string_view(lines).substr(at, f.piece));
        peak = std::max(peak, flood.HeldBytes());
      }
    }
    EXPECT_EQ(flood.refusal_status(), 431);
    EXPECT_EQ(rounds, 1);
    EXPECT_LT(peak, f.peak_bound);
  }
}

TEST(PercentDecode, DecodesEscapesAndRefusesBrokenOnes) {
  std::string out;
  EXPECT_TRUE(PercentDecode("a%20b%2fc%2F+%7e", false, &out));
  EXPECT_EQ(out, "a b/c/+~");
  out.clear();
  EXPECT_TRUE(PercentDecode("a+b%2B", true, &out));
  EXPECT_EQ(out, "a b+");
  for (const char* bad : {"%", "%2", "a%g0", "%0g", "%%20"}) {
    out.clear();
    EXPECT_FALSE(PercentDecode(bad, false, &out)) << bad;
  }
  std::vector<std::pair<std::string, std::string>> params;
  EXPECT_TRUE(ParseQuery("a=1=2&&=v&%3D=%26", &params));
  ASSERT_EQ(params.size(), 3u);
  EXPECT_EQ(params[0], (std::pair<std::string, std::string>{"a", "1=2"}));
  EXPECT_EQ(params[1], (std::pair<std::string, std::string>{"", "v"}));
  EXPECT_EQ(params[2], (std::pair<std::string, std::string>{"=", "&"}));
}

}  // namespace
}  // namespace tallyvox::http
