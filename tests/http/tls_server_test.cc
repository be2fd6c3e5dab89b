// The HTTP server with TLS, against real peers (openssl s_client, curl,
// cpp-httplib's client) trusting a throw-away CA: answers whole and
// verified, TLS 1.2 at least, a plain HTTP request refused in the clear,
// handshakes that stall closed at the request's deadline while other
// clients are served, and certificate and key pairs that cannot serve
// refused with their file named.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/server.h"
#include "http/tls_context.h"
#include "support/support.h"
#include "support/test_ca.h"

namespace tallyvox::http {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tallyvox::testing::RunCommand;
using tallyvox::testing::TestCA;
using tallyvox::testing::TestCertificate;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Larger than a TLS record and than a socket's buffer: written in parts.
std::string BigBody() {
  std::string body;
  for (int i = 0; body.size() < (3u << 20); ++i) body += std::to_string(i) + "\n";
  return body;
}

Router TlsTestRouter() {
  Router r;
  r.Add("GET", "/metrics", [](const Request&) {
    Response x;
    x.body = "m 1\n";
    return x;
  });
  r.Add("GET", "/big", [](const Request&) {
    Response x;
    x.body = BigBody();
    return x;
  });
  return r;
}

ServerOptions WithTls(const TestCertificate& cert) {
  ServerOptions options;
  options.tls = TlsContext::Load(cert.cert_file, cert.key_file);
  return options;
}

// A raw loopback connection: what a stalled or plain client does.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // What arrives until the server closes (*closed) or `timeout` passes.
  std::string ReadAll(std::chrono::milliseconds timeout, bool* closed) {
    std::string got;
    const auto end = Clock::now() + timeout;
    *closed = false;
    while (!*closed && Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        *closed = true;
      } else {
        got.append(buf, static_cast<size_t>(n));
      }
    }
    return got;
  }

 private:
  int fd_ = -1;
};

// The body that `command` (a client) printed after the answer's head.
std::string BodyOf(const std::string& output) {
  const size_t at = output.find("\r\n\r\n");
  return at == std::string::npos ? "" : output.substr(at + 4);
}

std::string SClient(const TestCA& ca, int port, const std::string& extra) {
  return "printf 'GET /metrics HTTP/1.1\\r\\nHost: localhost\\r\\n\\r\\n' | openssl s_client "
         "-connect 127.0.0.1:" +
         std::to_string(port) + " -servername localhost -verify_return_error -CAfile " +
         ca.ca_cert_file() + " -quiet -ign_eof " + extra + " 2>&1";
}

TEST(TlsServer, RealClientsGetVerifiedAnswersWhole) {
  TestCA ca;
  Server server("127.0.0.1", 0, TlsTestRouter(), WithTls(ca.Localhost()));
  const std::string port = std::to_string(server.port());
  const std::string curl =
      "curl -sS --max-time 10 --cacert " + ca.ca_cert_file() + " https://localhost:" + port;
  struct Case {
    const char* client;
    std::string command;
    std::string body;  // what the answer's body must be
  };
  const std::vector<Case> cases = {
      {"openssl s_client", SClient(ca, server.port(), ""), "m 1\n"},
      {"curl", curl + "/metrics", "m 1\n"},
      {"curl, three megabytes", curl + "/big", BigBody()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.client);
    std::string out;
    ASSERT_EQ(RunCommand(c.command, &out, 20s), 0) << out.substr(0, 2000);
    if (c.command.rfind("curl", 0) == 0) {
      EXPECT_TRUE(out == c.body) << out.size() << " bytes, not " << c.body.size();
    } else {
      EXPECT_NE(out.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << out;
      EXPECT_EQ(BodyOf(out), c.body) << out;
    }
  }
  // cpp-httplib's client, verifying the certificate and the host name.
  httplib::SSLClient client("localhost", server.port());
  client.set_ca_cert_path(ca.ca_cert_file().c_str());
  client.enable_server_certificate_verification(true);
  client.set_read_timeout(10, 0);
  for (const char* path : {"/metrics", "/big"}) {
    SCOPED_TRACE(path);
    const httplib::Result r = client.Get(path);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(r->body == (std::string(path) == "/big" ? BigBody() : "m 1\n"));
  }
  const httplib::Result head = client.Head("/metrics");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->get_header_value("Content-Length"), "4");
  EXPECT_EQ(head->body, "");
}

// TLS 1.2 and 1.3 are served; anything older is refused in the handshake.
TEST(TlsServer, SpeaksTls12AndLaterOnly) {
  TestCA ca;
  Server server("127.0.0.1", 0, TlsTestRouter(), WithTls(ca.Localhost()));
  struct Case {
    const char* version;
    std::string flags;
    bool served;
  };
  for (const Case& c : {Case{"TLS 1.3", "-tls1_3", true}, Case{"TLS 1.2", "-tls1_2", true},
                        Case{"TLS 1.1", "-tls1_1 -cipher DEFAULT@SECLEVEL=0", false},
                        Case{"TLS 1.0", "-tls1 -cipher DEFAULT@SECLEVEL=0", false}}) {
    SCOPED_TRACE(c.version);
    std::string out;
    const int rc = RunCommand(SClient(ca, server.port(), c.flags), &out, 20s);
    EXPECT_EQ(out.find("HTTP/1.1 200 OK") != std::string::npos, c.served) << out;
    if (c.served) {
      EXPECT_EQ(rc, 0) << out;
    } else {  // the server's alert, not a client that would not try
      EXPECT_NE(out.find("alert protocol version"), std::string::npos) << out;
    }
  }
}

// A plain HTTP request to the TLS port is answered in the clear with a 400
// that says why, and closed; the port goes on serving TLS.
TEST(TlsServer, APlainHttpRequestIsRefusedInTheClear) {
  TestCA ca;
  Server server("127.0.0.1", 0, TlsTestRouter(), WithTls(ca.Localhost()));
  RawClient plain(server.port());
  plain.Send("GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n");
  bool closed = false;
  const std::string answer = plain.ReadAll(5s, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("HTTPS"), std::string::npos) << answer;
  std::string out;
  ASSERT_EQ(RunCommand(SClient(ca, server.port(), ""), &out, 20s), 0) << out;
  EXPECT_EQ(BodyOf(out), "m 1\n");
}

// Clients that stall in or right after the handshake hold their connection
// only until the request's deadline, and meanwhile others are served.
TEST(TlsServer, StalledHandshakesAreClosedAtTheDeadlineWhileOthersAreServed) {
  TestCA ca;
  ServerOptions options = WithTls(ca.Localhost());
  options.request_deadline = 1000ms;
  Server server("127.0.0.1", 0, TlsTestRouter(), options);
  // A TLS record announcing a 512-byte ClientHello, of which only a part
  // comes.
  std::string half_hello = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, static_cast<char>(0xfc),
                            0x03, 0x03};
  half_hello += std::string(40, '\x5a');
  struct Case {
    const char* client;
    std::string bytes;  // sent after the connect
  };
  const auto start = Clock::now();
  std::vector<std::unique_ptr<RawClient>> stalled;
  const std::vector<Case> cases = {{"connects and sends nothing", ""},
                                   {"sends half a ClientHello", half_hello}};
  for (const Case& c : cases) {
    stalled.push_back(std::make_unique<RawClient>(server.port()));
    if (!c.bytes.empty()) stalled.back()->Send(c.bytes);
  }
  // A client done with its handshake that never sends its request: its 408
  // comes over TLS.
  std::string silent_out;
  std::thread silent([&] {
    RunCommand("sleep 2.5 | openssl s_client -connect 127.0.0.1:" + std::to_string(server.port()) +
                   " -CAfile " + ca.ca_cert_file() + " -quiet 2>&1",
               &silent_out, 20s);
  });
  // Others are served meanwhile, each at once.
  for (int i = 0; i < 3; ++i) {
    const auto t = Clock::now();
    std::string out;
    EXPECT_EQ(RunCommand(SClient(ca, server.port(), ""), &out, 20s), 0) << out;
    EXPECT_EQ(BodyOf(out), "m 1\n");
    EXPECT_LT(SecondsSince(t), 1.0);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].client);
    bool closed = false;
    const std::string got = stalled[i]->ReadAll(5s, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, "");  // no channel yet: nothing in the clear
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 3.0);
  }
  silent.join();
  EXPECT_NE(silent_out.find("HTTP/1.1 408 Request Timeout"), std::string::npos) << silent_out;
  EXPECT_EQ(server.Stats().timed_out, 3u);
}

// A pair that cannot serve is refused at load, naming the file and why.
TEST(TlsServer, UnusableCertificateAndKeyAreRefusedNamingTheFile) {
  TestCA ca;
  const TestCertificate& good = ca.Localhost();
  const TestCertificate& other = ca.WrongHost();
  const std::string dir = ca.dir();
  tallyvox::testing::WriteFile(dir + "/garbage.pem", "not a certificate\n");
  std::string out;
  ASSERT_EQ(RunCommand("openssl pkey -in " + good.key_file + " -aes256 -passout pass:x -out " +
                           dir + "/encrypted.pem 2>&1",
                       &out),
            0)
      << out;
  ASSERT_EQ(::mkfifo((dir + "/fifo.pem").c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string cert, key;
    std::string what;  // a part of the error
  };
  const std::vector<Case> cases = {
      {"missing certificate", dir + "/none.pem", good.key_file,
       "cannot read the certificate " + dir + "/none.pem: No such file or directory"},
      {"no certificate in the file", dir + "/garbage.pem", good.key_file,
       dir + "/garbage.pem holds no PEM certificate"},
      {"a certificate as the key", good.cert_file, good.cert_file,
       good.cert_file + " holds no unencrypted PEM private key"},
      {"an encrypted key", good.cert_file, dir + "/encrypted.pem",
       dir + "/encrypted.pem holds no unencrypted PEM private key"},
      {"another certificate's key", good.cert_file, other.key_file,
       "the key " + other.key_file + " does not match the certificate " + good.cert_file},
      {"a named pipe as the key", good.cert_file, dir + "/fifo.pem",
       "cannot read the key " + dir + "/fifo.pem: it is a named pipe (FIFO)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      TlsContext::Load(c.cert, c.key);
      ADD_FAILURE() << "loaded";
    } catch (const TlsError& e) {
      EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
    }
  }
  EXPECT_NO_THROW(TlsContext::Load(good.cert_file, good.key_file));
}

}  // namespace
}  // namespace tallyvox::http
