// BasicAuth: HTTP Basic authentication against bcrypt hashes, as the
// Prometheus exporters' web configuration does it: users and their
// "$2y$..." (or $2a$, $2b$) hashes; a request passes when its Authorization
// header names a user whose hash the password matches (checked by the
// system's crypt_r, libcrypt, compared in constant time). A wrong password,
// an unknown user (checked against a dummy hash all the same, so the time
// does not tell), a malformed header or none is answered 401 with
// `WWW-Authenticate: Basic realm="Tallyvox", charset="UTF-8"`.
//
// bcrypt is slow by design: a verified (user, password, hash) triple is
// remembered by its SHA-256 (never the password itself), at most 64 of them,
// so a page that refreshes every few seconds costs one check.
//
// Thread-safe: Check runs on the server's workers.
#ifndef TALLYVOX_HTTP_BASIC_AUTH_H_
#define TALLYVOX_HTTP_BASIC_AUTH_H_

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/mutex.h"
#include "http/request.h"
#include "http/response.h"

namespace tallyvox::http {

class BasicAuth {
 public:
  // REQUIRES: users not empty. Raises std::invalid_argument naming a user
  // whose hash is no bcrypt hash.
  explicit BasicAuth(std::map<std::string, std::string> users);

  // Null when `request` may pass; else the 401 answer.
  std::optional<Response> Check(const Request& request);

  // True when `hash` reads as a bcrypt hash ($2a$, $2b$ or $2y$, cost, 53
  // more characters).
  static bool IsBcryptHash(const std::string& hash);

 private:
  bool Verify(const std::string& user, const std::string& password);

  const std::map<std::string, std::string> users_;
  Mutex mu_;
  std::deque<std::array<unsigned char, 32>> verified_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_BASIC_AUTH_H_
