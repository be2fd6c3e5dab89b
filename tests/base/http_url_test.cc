// The http:// base URLs the settings take (Alertmanager's): host, port and
// path prefix read back, and everything else refused with a reason.
#include <gtest/gtest.h>

#include <string>

#include "base/http_url.h"

namespace tallyvox {
namespace {

TEST(HttpUrlTest, ReadsHostPortAndPrefixAndRefusesTheRest) {
  struct Case {
    const char* text;
    const char* host;  // nullptr: refused
    int port;
    const char* path;
  };
  const Case cases[] = {
      {"http://127.0.0.1:9093", "127.0.0.1", 9093, ""},
      {"http://127.0.0.1:9093/", "127.0.0.1", 9093, ""},
      {"http://am.example.net", "am.example.net", 80, ""},
      {"http://am.example.net/alertmanager/", "am.example.net", 80, "/alertmanager"},
      {"http://[::1]:9094", "::1", 9094, ""},
      {"http://[2001:db8::1]/am", "2001:db8::1", 80, "/am"},
      {"https://am.example.net", nullptr, 0, nullptr},
      {"am.example.net:9093", nullptr, 0, nullptr},
      {"http://", nullptr, 0, nullptr},
      {"http://:9093", nullptr, 0, nullptr},
      {"http://host:", nullptr, 0, nullptr},
      {"http://host:0", nullptr, 0, nullptr},
      {"http://host:65536", nullptr, 0, nullptr},
      {"http://host:9x", nullptr, 0, nullptr},
      {"http://user@host", nullptr, 0, nullptr},
      {"http://host/a?b=c", nullptr, 0, nullptr},
      {"http://host/a#top", nullptr, 0, nullptr},
      {"http://host/a b", nullptr, 0, nullptr},
      {"http://ho st", nullptr, 0, nullptr},
      {"http://[::1", nullptr, 0, nullptr},
      {"http://[]:80", nullptr, 0, nullptr},
      {"http://[::1]x", nullptr, 0, nullptr},
      {"http://host\r\nX: y", nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    HttpUrl url{"unchanged", 1, "/x"};
    const std::string error = ParseHttpUrl(c.text, &url);
    if (c.host == nullptr) {
      EXPECT_FALSE(error.empty());
      EXPECT_EQ(url.host, "unchanged");
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(url.host, c.host);
      EXPECT_EQ(url.port, c.port);
      EXPECT_EQ(url.path, c.path);
    }
  }
}

}  // namespace
}  // namespace tallyvox
