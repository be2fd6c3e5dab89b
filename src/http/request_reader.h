// RequestReader: reads one HTTP/1.1 request from the bytes of a connection,
// fed in pieces of any size as they arrive. A pure parser: no sockets, no
// clock. It is strict, and every refusal carries the status to answer:
//
//   431  the request line and the header lines TOGETHER (each with its
//        CRLF, the empty line ending them included) exceed `max_head` bytes
//        (8 KiB), refused as soon as the byte past the cap arrives; or more
//        than `max_headers` header lines (100)
//   413  a Content-Length above `max_body` (1 KiB); refused at that header,
//        before any body byte is read
//   501  a Transfer-Encoding header (chunked bodies are not read)
//   505  an HTTP version other than 1.x
//   400  everything else malformed: a line ending in a bare LF (lines end
//        in CRLF; a lone CR or LF is refused, so no two readers of the same
//        bytes can split them differently), a header line that starts with
//        a blank (obs-fold), blanks before a header's colon, control bytes,
//        two Content-Length or two Host headers, an HTTP/1.1 request
//        without Host, a target that is neither "/path?query" nor
//        "http://host/path?query", a fragment, a bad %-escape, more than
//        `max_params` query parameters (100)
//
// Memory follows the bytes received and never a length announced: the
// body grows as it arrives. What the reader holds (HeldBytes()) is bounded
// by a small multiple of `max_head` plus `max_body`: the counts of header
// lines and query parameters are capped so that many tiny ones cannot
// multiply it.
//
// Usage:
//   RequestReader reader;
//   while (reader.Feed(bytes_just_read) == RequestReader::State::kReading) { ... }
//   if (reader.state() == RequestReader::State::kComplete) Serve(reader.request());
//   else Answer(reader.refusal_status());
#ifndef TALLYVOX_HTTP_REQUEST_READER_H_
#define TALLYVOX_HTTP_REQUEST_READER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "http/request.h"

namespace tallyvox::http {

struct RequestLimits {
  size_t max_head = 8192;  // request line and header lines together
  size_t max_body = 1024;
  size_t max_headers = 100;
  size_t max_params = 100;
};

class RequestReader {
 public:
  enum class State { kReading, kComplete, kRefused };

  explicit RequestReader(RequestLimits limits = {});

  // Takes the next bytes of the connection and returns the state after
  // them. Bytes past a complete request or a refusal are not looked at.
  State Feed(std::string_view bytes);

  State state() const { return state_; }
  // REQUIRES: state() == kComplete.
  const Request& request() const { return request_; }
  Request TakeRequest() { return std::move(request_); }
  // REQUIRES: state() == kRefused. The status to answer and what was wrong.
  int refusal_status() const { return refusal_status_; }
  const std::string& refusal_reason() const { return refusal_reason_; }

  // The bytes this reader's buffers take up now (their capacity).
  size_t HeldBytes() const;

 private:
  enum class Phase { kRequestLine, kHeaders, kBody };

  State Refuse(int status, std::string reason);
  // One whole line of the head, without its CRLF.
  void TakeLine(std::string_view line);
  void TakeRequestLine(std::string_view line);
  bool TakeTarget(std::string_view target);
  void TakeHeader(std::string_view line);
  void EndOfHead();

  RequestLimits limits_;
  State state_ = State::kReading;
  Phase phase_ = Phase::kRequestLine;
  size_t head_bytes_ = 0;  // bytes of the head received so far
  std::string line_;       // the line being received
  size_t body_left_ = 0;   // body bytes still to come
  bool has_content_length_ = false;
  bool has_host_header_ = false;
  bool absolute_target_ = false;
  Request request_;
  int refusal_status_ = 0;
  std::string refusal_reason_;
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_REQUEST_READER_H_
