#include "http/request_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tallyvox::http {
namespace {

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A token's characters (method, header name).
bool IsTokenChar(unsigned char c) {
  return IsAlnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// unreserved, "%" of an escape, and the sub-delimiters.
bool IsUriChar(unsigned char c) {
  return IsAlnum(c) || (c != 0 && std::strchr("-._~%!$&'()*+,;=", c) != nullptr);
}

bool IsPathChar(unsigned char c) { return IsUriChar(c) || c == ':' || c == '@' || c == '/'; }
bool IsQueryChar(unsigned char c) { return IsPathChar(c) || c == '?'; }
bool IsHostChar(unsigned char c) { return IsUriChar(c) || c == ':' || c == '[' || c == ']'; }

// A header value's bytes: visible ASCII, blanks, and bytes above 0x7F.
bool IsValueChar(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

template <typename Pred>
bool All(std::string_view text, Pred pred) {
  return std::all_of(text.begin(), text.end(),
                     [&](char c) { return pred(static_cast<unsigned char>(c)); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

RequestReader::RequestReader(RequestLimits limits) : limits_(limits) {}

RequestReader::State RequestReader::Refuse(int status, std::string reason) {
  if (state_ == State::kReading) {
    state_ = State::kRefused;
    refusal_status_ = status;
    refusal_reason_ = std::move(reason);
  }
  return state_;
}

RequestReader::State RequestReader::Feed(std::string_view bytes) {
  while (!bytes.empty() && state_ == State::kReading) {
    if (phase_ == Phase::kBody) {
      const size_t take = std::min(bytes.size(), body_left_);
      request_.body.append(bytes.data(), take);
      bytes.remove_prefix(take);
      body_left_ -= take;
      if (body_left_ == 0) state_ = State::kComplete;
      continue;
    }
    const size_t lf = bytes.find('\n');
    const size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    if (take > limits_.max_head - head_bytes_) {
      return Refuse(431,
                    "request line and headers over " + std::to_string(limits_.max_head) + " bytes");
    }
    head_bytes_ += take;
    line_.append(bytes.data(), take);
    bytes.remove_prefix(take);
    if (lf == std::string_view::npos) break;
    if (line_.size() < 2 || line_[line_.size() - 2] != '\r') {
      return Refuse(400, "a line ends in a bare LF, not CRLF");
    }
    const std::string_view line(line_.data(), line_.size() - 2);
    if (line.find('\r') != std::string_view::npos) return Refuse(400, "a CR inside a line");
    TakeLine(line);
    line_.clear();
  }
  return state_;
}

void RequestReader::TakeLine(std::string_view line) {
  if (phase_ == Phase::kRequestLine) {
    TakeRequestLine(line);
    phase_ = Phase::kHeaders;
  } else if (line.empty()) {
    EndOfHead();
  } else {
    TakeHeader(line);
  }
}

void RequestReader::TakeRequestLine(std::string_view line) {
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) {
    Refuse(400, "the request line is not METHOD TARGET HTTP/1.1");
    return;
  }
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (method.empty() || !All(method, IsTokenChar)) {
    Refuse(400, "the method is not a token");
    return;
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
    Refuse(400, "the request line is not METHOD TARGET HTTP/1.1");
    return;
  }
  if (version[5] != '1') {
    Refuse(505, "only HTTP/1.0 and HTTP/1.1 are served");
    return;
  }
  request_.method = std::string(method);
  request_.minor_version = version[7] - '0';
  if (!TakeTarget(target)) return;
}

bool RequestReader::TakeTarget(std::string_view target) {
  request_.target = std::string(target);
  std::string_view rest = target;
  if (StartsWithNoCase(rest, "http://") || StartsWithNoCase(rest, "https://")) {
    rest.remove_prefix(rest.find("://") + 3);
    const size_t end = std::min(rest.find('/'), rest.find('?'));
    const std::string_view authority = rest.substr(0, end);
    if (authority.empty() || !All(authority, IsHostChar)) {
      Refuse(400, "the target's authority is not a host");
      return false;
    }
    request_.host = std::string(authority);
    absolute_target_ = true;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (rest.empty() || rest.front() == '?') request_.path = "/";
  } else if (rest.empty() || rest.front() != '/') {
    Refuse(400, "the target is neither /path nor http://host/path");
    return false;
  }
  if (rest.find('#') != std::string_view::npos) {
    Refuse(400, "the target has a fragment");
    return false;
  }
  const size_t q = rest.find('?');
  const std::string_view raw_path = rest.substr(0, q);
  const std::string_view query = q == std::string_view::npos ? "" : rest.substr(q + 1);
  if (!All(raw_path, IsPathChar) || !All(query, IsQueryChar)) {
    Refuse(400, "the target has a byte a URI does not allow");
    return false;
  }
  request_.query = std::string(query);
  // Counted before the pairs are made, so that "a&a&a..." cannot multiply memory.
  size_t pieces = 0;
  for (size_t i = 0; i < query.size(); ++i) {
    pieces += query[i] != '&' && (i + 1 == query.size() || query[i + 1] == '&');
  }
  if (pieces > limits_.max_params) {
    Refuse(400, "more than " + std::to_string(limits_.max_params) + " query parameters");
    return false;
  }
  if (!PercentDecode(raw_path, false, &request_.path) ||
      !All(request_.path, [](unsigned char c) { return c >= 0x20 && c != 0x7F; }) ||
      !ParseQuery(query, &request_.params)) {
    Refuse(400, "the target has a bad %-escape");
    return false;
  }
  return true;
}

void RequestReader::TakeHeader(std::string_view line) {
  if (request_.headers.size() >= limits_.max_headers) {
    Refuse(431, "more than " + std::to_string(limits_.max_headers) + " header lines");
    return;
  }
  if (line.front() == ' ' || line.front() == '\t') {
    Refuse(400, "a header line is folded (starts with a blank)");
    return;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    Refuse(400, "a header line has no colon");
    return;
  }
  const std::string_view name = line.substr(0, colon);
  if (name.empty() || !All(name, IsTokenChar)) {
    Refuse(400, "a header name is not a token (no blank before the colon)");
    return;
  }
  const std::string_view value = TrimBlanks(line.substr(colon + 1));
  if (!All(value, IsValueChar)) {
    Refuse(400, "a header value has a control byte");
    return;
  }
  std::string lower = LowerCase(name);
  if (lower == "transfer-encoding") {
    Refuse(501, "Transfer-Encoding is not supported");
    return;
  }
  if (lower == "content-length") {
    if (has_content_length_) {
      Refuse(400, "two Content-Length headers");
      return;
    }
    has_content_length_ = true;
    if (value.empty() || !All(value, [](unsigned char c) { return c >= '0' && c <= '9'; })) {
      Refuse(400, "Content-Length is not a number");
      return;
    }
    size_t length = 0;
    for (const char c : value) {
      length = length * 10 + static_cast<size_t>(c - '0');
      if (length > limits_.max_body) {
        Refuse(413, "a body over " + std::to_string(limits_.max_body) + " bytes");
        return;
      }
    }
    body_left_ = length;
  }
  if (lower == "host") {
    if (has_host_header_) {
      Refuse(400, "two Host headers");
      return;
    }
    has_host_header_ = true;
    if (!All(value, IsHostChar)) {
      Refuse(400, "Host is not a host");
      return;
    }
    if (!absolute_target_) request_.host = std::string(value);
  }
  request_.headers.push_back(Header{std::move(lower), std::string(value)});
}

void RequestReader::EndOfHead() {
  if (request_.minor_version >= 1 && !has_host_header_) {
    Refuse(400, "an HTTP/1.1 request without Host");
    return;
  }
  phase_ = Phase::kBody;
  if (body_left_ == 0) state_ = State::kComplete;
}

size_t RequestReader::HeldBytes() const {
  size_t n = sizeof *this + line_.capacity() + request_.method.capacity() +
             request_.target.capacity() + request_.path.capacity() + request_.query.capacity() +
             request_.host.capacity() + request_.body.capacity() +
             request_.headers.capacity() * sizeof(Header) +
             request_.params.capacity() * sizeof(request_.params[0]);
  for (const Header& h : request_.headers) n += h.name.capacity() + h.value.capacity();
  for (const auto& [k, v] : request_.params) n += k.capacity() + v.capacity();
  return n;
}

}  // namespace tallyvox::http
