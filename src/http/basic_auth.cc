#include "http/basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tallyvox::http {
namespace {

// A hash of cost 10 of no password anyone has: unknown users are checked
// against it, so that they take the time a known one takes.
constexpr char kDummyHash[] = "$2b$10$CwTycUXWue0Thq9StjUM0uJ8.FoO7dTnpkE8pS2r4rM9eC7tH6d7S";
constexpr size_t kMaxVerified = 64;
// The longest Authorization value read (a user and a password of a few
// hundred bytes each).
constexpr size_t kMaxCredentials = 1024;

Response Challenge() {
  Response r = StatusResponse(401);
  r.headers.push_back({"WWW-Authenticate", "Basic realm=\"Tallyvox\", charset=\"UTF-8\""});
  return r;
}

// Base64 as RFC 4648 writes it (padding required); false when it is not.
bool DecodeBase64(const std::string& text, std::string* out) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxCredentials) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool pad =
        c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && !pad) return false;
  }
  std::string bytes(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return false;
  const size_t padding = static_cast<size_t>(std::count(text.end() - 2, text.end(), '='));
  bytes.resize(static_cast<size_t>(n) - padding);
  *out = std::move(bytes);
  return true;
}

std::array<unsigned char, 32> Digest(const std::string& user, const std::string& password,
                                     const std::string& hash) {
  std::string all = user;
  all += '\0';
  all += password;
  all += '\0';
  all += hash;
  std::array<unsigned char, 32> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(all.data()), all.size(), digest.data());
  OPENSSL_cleanse(all.data(), all.size());
  return digest;
}

}  // namespace

bool BasicAuth::IsBcryptHash(const std::string& hash) {
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$') {
    return false;
  }
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  if (!std::isdigit(static_cast<unsigned char>(hash[4])) ||
      !std::isdigit(static_cast<unsigned char>(hash[5]))) {
    return false;
  }
  for (size_t i = 7; i < hash.size(); ++i) {
    const char c = hash[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '/') return false;
  }
  return true;
}

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {
  for (const auto& [user, hash] : users_) {
    if (!IsBcryptHash(hash)) {
      throw std::invalid_argument("the hash of user " + user + " is no bcrypt hash ($2y$...)");
    }
  }
}

bool BasicAuth::Verify(const std::string& user, const std::string& password) {
  const auto it = users_.find(user);
  const std::string& hash = it == users_.end() ? std::string(kDummyHash) : it->second;
  const std::array<unsigned char, 32> digest = Digest(user, password, hash);
  {
    MutexLock lock(&mu_);
    for (const auto& known : verified_) {
      if (CRYPTO_memcmp(known.data(), digest.data(), digest.size()) == 0) {
        return it != users_.end();
      }
    }
  }
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
  const bool match = out != nullptr && std::strlen(out) == hash.size() &&
                     CRYPTO_memcmp(out, hash.data(), hash.size()) == 0 && it != users_.end();
  OPENSSL_cleanse(data.get(), sizeof(crypt_data));
  if (match) {
    MutexLock lock(&mu_);
    verified_.push_back(digest);
    if (verified_.size() > kMaxVerified) verified_.pop_front();
  }
  return match;
}

std::optional<Response> BasicAuth::Check(const Request& request) {
  const std::string* header = request.FindHeader("authorization");
  if (header == nullptr || header->size() > kMaxCredentials + 6) return Challenge();
  const std::string& value = *header;
  if (value.size() < 6 || value.compare(0, 6, "Basic ") != 0) return Challenge();
  std::string credentials;
  if (!DecodeBase64(value.substr(6), &credentials)) return Challenge();
  const size_t colon = credentials.find(':');
  if (colon == std::string::npos) return Challenge();
  const std::string user = credentials.substr(0, colon);
  const std::string password = credentials.substr(colon + 1);
  OPENSSL_cleanse(credentials.data(), credentials.size());
  if (password.find('\0') != std::string::npos || !Verify(user, password)) return Challenge();
  return std::nullopt;
}

}  // namespace tallyvox::http
