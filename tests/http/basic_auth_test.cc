// HTTP Basic authentication over bcrypt hashes, as a router's guard: every
// path, known or not, needs the right user and password.
#include "http/basic_auth.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "http/router.h"

namespace tallyvox::http {
namespace {

// A bcrypt hash of `password` at the lowest cost (fast tests).
std::string Bcrypt(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  EXPECT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt), nullptr);
  crypt_data data{};
  return crypt_r(password.c_str(), salt, &data);
}

std::string Basic(const std::string& credentials) {
  std::string out(4 * ((credentials.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(credentials.data()),
                                static_cast<int>(credentials.size()));
  out.resize(static_cast<size_t>(n));
  return "Basic " + out;
}

TEST(BasicAuthTest, EveryPathNeedsTheRightUserAndPassword) {
  auto auth = std::make_shared<BasicAuth>(std::map<std::string, std::string>{
      {"quell", Bcrypt("s3cret: with colon")}, {"ops", Bcrypt("other")}});
  Router router;
  router.Add("GET", "/metrics", [](const Request&) { return StatusResponse(200); });
  router.SetGuard([auth](const Request& r) { return auth->Check(r); });
  struct Case {
    const char* name;
    std::string authorization;  // empty: none sent
    std::string path;
    int status;
  };
  const std::vector<Case> cases = {
      {"none", "", "/metrics", 401},
      {"none, unknown path", "", "/secret", 401},
      {"wrong password", Basic("quell:s3cret"), "/metrics", 401},
      {"another user's password", Basic("ops:s3cret: with colon"), "/metrics", 401},
      {"unknown user", Basic("root:s3cret: with colon"), "/metrics", 401},
      {"no colon", Basic("quell"), "/metrics", 401},
      {"not base64", "Basic !!!!", "/metrics", 401},
      {"bad padding", "Basic cXVlbGw6=", "/metrics", 401},
      {"other scheme", "Bearer abc", "/metrics", 401},
      {"empty password", Basic("quell:"), "/metrics", 401},
      {"right", Basic("quell:s3cret: with colon"), "/metrics", 200},
      {"right again (remembered)", Basic("quell:s3cret: with colon"), "/metrics", 200},
      {"right, other user", Basic("ops:other"), "/metrics", 200},
      {"right, unknown path", Basic("ops:other"), "/secret", 404},
      {"wrong after a right one", Basic("quell:s3cret: with colon!"), "/metrics", 401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request;
    request.method = "GET";
    request.path = c.path;
    if (!c.authorization.empty()) request.headers.push_back({"authorization", c.authorization});
    const Response r = router.Route(request);
    EXPECT_EQ(r.status, c.status);
    if (c.status != 401) continue;
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].name, "WWW-Authenticate");
    EXPECT_EQ(r.headers[0].value, "Basic realm=\"Tallyvox\", charset=\"UTF-8\"");
  }
}

TEST(BasicAuthTest, OnlyBcryptHashesAreTaken) {
  EXPECT_TRUE(BasicAuth::IsBcryptHash(Bcrypt("x")));
  for (const std::string& bad :
       {std::string("plain"), std::string("$1$abc$def"), "$2x$04$" + std::string(53, 'a'),
        "$2b$04$" + std::string(52, 'a'), "$2b$04$" + std::string(52, 'a') + "!"}) {
    EXPECT_FALSE(BasicAuth::IsBcryptHash(bad)) << bad;
    EXPECT_THROW(BasicAuth({{"u", bad}}), std::invalid_argument);
  }
}

}  // namespace
}  // namespace tallyvox::http
