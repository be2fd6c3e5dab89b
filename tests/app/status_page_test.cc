// The status page of a running `tallyvox --headless` with a history, loaded
// in a real browser (Debian's chromium, headless): after its script ran, the
// DOM shows each row's state as /api/status gives it, and the page the
// server sends reads as the same table without JavaScript.
#include <crypt.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "support/app_fixture.h"
#include "support/test_ca.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;

// row -> state, from the JSON of /api/status or from the page's rows.
std::map<int, std::string> StatesInJson(const std::string& json) {
  std::map<int, std::string> out;
  const std::regex row(R"re(\{"row": (\d+), "address": "[^"]*", "state": "(\w+)")re");
  for (std::sregex_iterator it(json.begin(), json.end(), row), end; it != end; ++it) {
    out[std::stoi((*it)[1])] = (*it)[2];
  }
  return out;
}

std::map<int, std::string> StatesInDom(const std::string& html) {
  std::map<int, std::string> out;
  const std::regex row(R"re(<tr data-row="(\d+)" class="(\w+)">.*?<td class="state">(\w+)</td>)re");
  for (std::sregex_iterator it(html.begin(), html.end(), row), end; it != end; ++it) {
    EXPECT_EQ((*it)[2], (*it)[3]);
    out[std::stoi((*it)[1])] = (*it)[3];
  }
  return out;
}

std::string Chromium(const std::string& profile, const std::string& args) {
  return "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
         "--disable-background-networking --disable-component-update --disable-sync "
         "--user-data-dir=" +
         profile + " " + args + " 2>/dev/null";
}

TEST_F(AppTest, StatusPageInABrowserShowsEachRowsStateAsTheApiGivesIt) {
  MwServerProcess healthy({"--listen", "127.0.3.1-127.0.3.2:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  const std::string port = std::to_string(healthy.port());
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.3.3:" + port});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  AppSetup a;
  a.probe_port = healthy.port();
  a.request_timeout = 1;
  // Healthy rows 2 and 9, refused row 5 (nobody listens), silent row 21.
  a.rows = {{2, "127.0.3.1"}, {5, "127.0.4.5"}, {9, "127.0.3.2"}, {21, "127.0.3.3"}};
  a.history = "database = \"history.sqlite\"\n";
  const std::string path = WriteSettings(a);

  tallyvox::testing::ChildProcess tallyvox(
      {Tallyvox(), "--headless", "--metrics", "127.0.0.1:0", "--config", path});
  ASSERT_TRUE(tallyvox.WaitForOutput("cycle: 4 rows, 2 failed", 20s)) << tallyvox.Output();
  std::smatch m;
  const std::string out = tallyvox.Output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(serving the status page on (\S+))"))) << out;
  const std::string url = "http://" + m[1].str() + "/";

  std::string json;
  ASSERT_EQ(RunCommand("curl -sf " + url + "api/status", &json), 0) << json;
  const std::map<int, std::string> api = StatesInJson(json);
  const std::map<int, std::string> expected = {{2, "up"}, {5, "down"}, {9, "up"}, {21, "down"}};
  EXPECT_EQ(api, expected) << json;

  // Without JavaScript: the server's own table.
  std::string plain;
  ASSERT_EQ(RunCommand("curl -sf " + url, &plain), 0) << plain;
  EXPECT_EQ(StatesInDom(plain), api) << plain;
  EXPECT_NE(plain.find("data-refreshed=\"0\""), std::string::npos);

  // In the browser, after the refresh script ran.
  std::string dom;
  ASSERT_EQ(
      RunCommand(Chromium(dir_.File("profile"), "--virtual-time-budget=4000 --dump-dom " + url),
                 &dom, 60s),
      0)
      << dom;
  EXPECT_EQ(StatesInDom(dom), api) << dom;
  EXPECT_EQ(dom.find("data-refreshed=\"0\""), std::string::npos)
      << "the script did not run: " << dom;
  EXPECT_EQ(dom.find("Refresh failed"), std::string::npos) << dom;
  EXPECT_NE(dom.find("Connection lost."), std::string::npos) << dom;  // row 21's reason
}

// A certificate and key that cannot serve end the start-up with exit
// status 3 and the settings file, the keys and the reason on standard
// error.
TEST_F(AppTest, AWebKeyThatDoesNotMatchItsCertificateStopsTheStart) {
  tallyvox::testing::TestCA ca;
  AppSetup a;
  a.probe_port = 80;
  a.rows = {{2, "127.0.3.1"}};
  a.history = "database = \"history.sqlite\"\n[web]\ntls_cert = \"" + ca.Localhost().cert_file +
              "\"\ntls_key = \"" + ca.WrongHost().key_file + "\"\n";
  const std::string path = WriteSettings(a);
  tallyvox::testing::ChildProcess tallyvox(
      {Tallyvox(), "--headless", "--no-poll", "--metrics", "127.0.0.1:0", "--config", path});
  EXPECT_EQ(tallyvox.Wait(10s), 3) << tallyvox.Output();
  EXPECT_NE(
      tallyvox.Output().find("tallyvox: " + path + ": web.tls_cert and web.tls_key: the key " +
                             ca.WrongHost().key_file + " does not match the certificate " +
                             ca.Localhost().cert_file),
      std::string::npos)
      << tallyvox.Output();
}

// With [web] users, the page, its API and /metrics all refuse a request
// without credentials or with a wrong password (401 with a Basic
// challenge), and answer the right ones; over plain HTTP and, with [web]
// tls_cert and tls_key, over HTTPS, where a plain request is refused.
TEST_F(AppTest, WebUsersGuardTheStatusPageItsApiAndMetrics) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "HTTPS" : "HTTP");
    MwServerProcess servers({"--listen", "127.0.3.1:0"});
    ASSERT_TRUE(servers.ready()) << servers.Output();
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt), nullptr);
    crypt_data data{};
    const std::string hash = crypt_r("pa55 word", salt, &data);
    tallyvox::testing::TestCA ca;
    AppSetup a;
    a.probe_port = servers.port();
    a.rows = {{2, "127.0.3.1"}};
    a.history = "database = \"history.sqlite\"\n[web]\nusers = { quell = \"" + hash + "\" }\n";
    if (tls) {
      a.history += "tls_cert = \"" + ca.Localhost().cert_file + "\"\ntls_key = \"" +
                   ca.Localhost().key_file + "\"\n";
    }
    const std::string path = WriteSettings(a);
    tallyvox::testing::ChildProcess tallyvox(
        {Tallyvox(), "--headless", "--metrics", "127.0.0.1:0", "--config", path});
    ASSERT_TRUE(tallyvox.WaitForOutput("cycle: 1 rows, 0 failed", 20s)) << tallyvox.Output();
    std::smatch m;
    const std::string out = tallyvox.Output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(serving /metrics on (https://)?(\S+))")))
        << out;
    EXPECT_EQ(m[1].matched, tls) << out;
    const std::string base = (tls ? "https://" : "http://") + m[2].str();
    const std::string curl = tls ? "curl -s --cacert " + ca.ca_cert_file() + " " : "curl -s ";
    if (tls) {  // plain HTTP to the TLS port: refused in the clear
      std::string head;
      ASSERT_EQ(RunCommand("curl -s -o /dev/null -D - 'http://" + m[2].str() + "/metrics'", &head),
                0)
          << head;
      EXPECT_EQ(head.rfind("HTTP/1.1 400 ", 0), 0u) << head;
    }
    struct Case {
      std::string credentials;  // curl -u; empty: none
      int status;
    };
    for (const std::string target : {"/", "/api/status", "/api/history?row=2", "/metrics"}) {
      for (const Case& c : {Case{"", 401}, Case{"quell:pa55", 401}, Case{"root:pa55 word", 401},
                            Case{"quell:pa55 word", 200}}) {
        SCOPED_TRACE(target + " as " + c.credentials);
        std::string head;
        ASSERT_EQ(RunCommand(curl + "-o /dev/null -D - " +
                                 (c.credentials.empty() ? "" : "-u '" + c.credentials + "' ") +
                                 "'" + base + target + "'",
                             &head),
                  0)
            << head;
        EXPECT_EQ(head.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << head;
        EXPECT_EQ(head.find("WWW-Authenticate: Basic realm=\"Tallyvox\"") != std::string::npos,
                  c.status == 401)
            << head;
      }
    }
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
