// The TLS channel against real peers on loopback: `openssl s_server` (with
// certificates of a throw-away test CA), a Python server that stalls inside
// a TLS record, and plain TCP servers.
#include "net/ssl_io_handler.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_client.h"
#include "support/loopback_socket.h"
#include "support/openssl_server.h"
#include "support/peer_port.h"
#include "support/support.h"
#include "support/test_ca.h"

namespace tallyvox::net {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using tallyvox::testing::OpenSslServer;
using tallyvox::testing::OpenSslServerOptions;
using tallyvox::testing::TestCA;
using tallyvox::testing::TestCertificate;
using Clock = std::chrono::steady_clock;

constexpr int32_t kConnectTimeoutMs = 10000;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A listening socket on 127.0.0.1. The kernel completes TCP connects into
// its backlog even when nobody accepts, so without Serve() it is a server
// that accepts and then never says a word.
class PlainServer {
 public:
  PlainServer() { fd_ = tallyvox::testing::BindLoopbackSocket(4, &port_); }
  ~PlainServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }

  // Accepts one client, sends `greeting`, keeps the connection until the
  // client closes it (or about 10 s pass) and records what it received.
  void Serve(const std::string& greeting) {
    thread_ = std::thread([this, greeting] {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) return;
      const int conn = ::accept(fd_, nullptr, nullptr);
      if (conn < 0) return;
      ::send(conn, greeting.data(), greeting.size(), MSG_NOSIGNAL);
      const auto deadline = Clock::now() + seconds(10);
      char buf[4096];
      while (!stop_ && Clock::now() < deadline) {
        pollfd c{conn, POLLIN, 0};
        if (::poll(&c, 1, 50) != 1) continue;
        const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
        if (n <= 0) break;
        received_bytes_ += static_cast<int>(n);
      }
      ::close(conn);
    });
  }
  int received_bytes() const { return received_bytes_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_bytes_{0};
};

// tests/net/tls_test_peer.py in one of its modes, on a port it binds itself.
class TlsTestPeer {
 public:
  TlsTestPeer(const std::string& mode, const TestCertificate& cert, int clients = 1)
      : process_({"python3", tallyvox::testing::SourceDir() + "/tests/net/tls_test_peer.py", mode,
                  "0", cert.cert_file, cert.key_file, std::to_string(clients)}) {
    EXPECT_TRUE(process_.WaitForOutput("LISTENING ", seconds(10))) << process_.Output();
    const auto deadline = Clock::now() + seconds(5);
    while ((port_ = tallyvox::testing::ReportedPort(process_.Output(), "LISTENING ")) == 0 &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_NE(port_, 0) << process_.Output();
  }
  int port() const { return port_; }
  bool WaitFor(const std::string& text) { return process_.WaitForOutput(text, seconds(10)); }
  std::string Output() const { return process_.Output(); }

 private:
  tallyvox::testing::ChildProcess process_;
  int port_ = 0;
};

class SslChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new TestCA(); }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }

  // A client on `channel` towards host:port.
  static std::unique_ptr<TNetTCPClient> Client(TNetSSLIOHandlerSocket& channel,
                                               const std::string& host, int port) {
    auto client = std::make_unique<TNetTCPClient>();
    client->SetIOHandler(&channel);
    client->Host = host;
    client->Port = port;
    client->ReadTimeout = 10000;
    return client;
  }

  // Opens, sends one line through the -rev server, expects it back reversed.
  static void EchoOnce(TNetTCPClient& client, const std::string& line) {
    client.OpenConnection(kConnectTimeoutMs);
    ASSERT_TRUE(client.IsOpen());
    client.WriteLine(line);
    EXPECT_EQ(client.ReadLine(), std::string(line.rbegin(), line.rend()));
  }

  // Opens and expects the handshake to fail with the fixed text and a
  // reason containing `reason_part`; the channel must be closed afterwards.
  static std::string ExpectHandshakeFailure(TNetTCPClient& client, const std::string& reason_part) {
    std::string message;
    try {
      client.OpenConnection(kConnectTimeoutMs);
      ADD_FAILURE() << "the handshake succeeded; expected: " << reason_part;
    } catch (const ENetOSSLConnectError& e) {
      message = e.what();
      EXPECT_TRUE(StartsWith(message, "Error connecting with SSL.\r\n")) << message;
      EXPECT_NE(e.Reason().find(reason_part), std::string::npos) << message;
    }
    EXPECT_FALSE(client.IsOpen());
    EXPECT_FALSE(client.IOHandler()->ChannelOpen());
    return message;
  }

  static TestCA* ca_;
};

TestCA* SslChannelTest::ca_ = nullptr;

TEST_F(SslChannelTest, EchoesThroughServerTrustedByRootCertFile) {
  OpenSslServer server(ca_->Localhost());
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  std::vector<std::string> status;
  channel.OnStatusInfo = [&status](const std::string& text) { status.push_back(text); };
  auto client = Client(channel, "localhost", server.port());

  EchoOnce(*client, "hello through TLS");
  // Many lines in one write, far more than one TLS record (16 KiB) carries.
  std::vector<std::string> lines;
  for (int i = 0; i < 120; ++i) lines.push_back(std::to_string(i) + std::string(200, 'a' + i % 26));
  client->StartWriteBuffering();
  client->WriteLines(lines);
  client->EndWriteBuffering();
  for (const auto& line : lines) {
    const std::string back = client->ReadLine();
    ASSERT_TRUE(back == std::string(line.rbegin(), line.rend())) << "line " << line.substr(0, 4);
  }

  ASSERT_NE(channel.SSLSocket(), nullptr);
  EXPECT_EQ(std::string(SSL_get_version(channel.SSLSocket()->Handle())), "TLSv1.3");
  ASSERT_FALSE(status.empty());
  EXPECT_TRUE(StartsWith(status.front(), "SSL status: \"")) << status.front();
  const auto cipher = std::find_if(status.begin(), status.end(), [](const std::string& s) {
    return StartsWith(s, "Cipher: name = TLS_");
  });
  ASSERT_NE(cipher, status.end());
  EXPECT_TRUE(cipher->find("; bits = 128; ") != std::string::npos ||
              cipher->find("; bits = 256; ") != std::string::npos)
      << *cipher;
  EXPECT_NE(cipher->find("; version = TLSv1.3; "), std::string::npos) << *cipher;

  client->CloseConnection();
  EXPECT_EQ(channel.SSLSocket(), nullptr);
  EXPECT_EQ(channel.SSLContext(), nullptr);
  EXPECT_TRUE(server.WaitForCount(OpenSslServer::kCloseNotifyReceived, 1, seconds(10)))
      << server.Output();
}

TEST_F(SslChannelTest, VerifiesAnIPAddressHostAgainstTheCertificate) {
  OpenSslServer server(ca_->Localhost());
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  auto client = Client(channel, "127.0.0.1", server.port());
  EchoOnce(*client, "by address");
}

// s_server answers with the wrong-host certificate unless the client names
// "localhost" in its hello, so this only passes when SNI is sent.
TEST_F(SslChannelTest, SendsTheHostAsServerName) {
  OpenSslServerOptions options;
  options.extra_args = {"-servername", "localhost",
                        "-cert2",      ca_->Localhost().cert_file,
                        "-key2",       ca_->Localhost().key_file};
  OpenSslServer server(ca_->WrongHost(), options);
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  auto client = Client(channel, "LocalHost", server.port());
  EchoOnce(*client, "named");
}

struct VerifyCase {
  const char* label;
  const TestCertificate& (TestCA::*cert)();
  const char* host;
  bool trust_ca;
  bool verify;
  const char* reason;  // nullptr: the handshake succeeds
};

TEST_F(SslChannelTest, CertificateVerificationTable) {
  const VerifyCase cases[] = {
      {"self-signed refused", &TestCA::SelfSignedLocalhost, "localhost", true, true,
       "certificate verify failed: self-signed certificate"},
      {"self-signed accepted without verification", &TestCA::SelfSignedLocalhost, "localhost", true,
       false, nullptr},
      {"host name mismatch", &TestCA::WrongHost, "localhost", true, true,
       "certificate verify failed: hostname mismatch"},
      {"IP address mismatch", &TestCA::WrongHost, "127.0.0.1", true, true,
       "certificate verify failed: IP address mismatch"},
      {"expired", &TestCA::ExpiredLocalhost, "localhost", true, true,
       "certificate verify failed: certificate has expired"},
      {"unknown CA", &TestCA::Localhost, "localhost", false, true,
       "certificate verify failed: unable to get local issuer certificate"},
      {"unknown CA accepted without verification", &TestCA::Localhost, "localhost", false, false,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    OpenSslServer server((ca_->*c.cert)());
    TNetSSLIOHandlerSocket channel;
    if (c.trust_ca) channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
    channel.SSLOptions.VerifyServer = c.verify;
    auto client = Client(channel, c.host, server.port());
    if (c.reason == nullptr) {
      EchoOnce(*client, "accepted");
      client->CloseConnection();
    } else {
      ExpectHandshakeFailure(*client, c.reason);
      EXPECT_EQ(server.Count(OpenSslServer::kConnectionEstablished), 0) << server.Output();
    }
  }
}

// A CA file renewed on disk, or a renewed system store (here the file SSL_CERT_FILE
// names), is used from the next connect on, without a restart.
TEST_F(SslChannelTest, RenewedTrustStoreIsUsedAtTheNextConnect) {
  TestCA other;
  OpenSslServer server(ca_->Localhost());
  for (bool system_store : {false, true}) {
    SCOPED_TRACE(system_store ? "system store" : "CA file");
    tallyvox::testing::TempDir dir;
    const std::string path = dir.File("ca.pem");
    // Replaced as a package manager does: a new file renamed over the old one.
    auto install = [&](const std::string& ca_file) {
      tallyvox::testing::WriteFile(path + ".new", tallyvox::testing::ReadFile(ca_file));
      ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    };
    struct CertFileVariable {
      explicit CertFileVariable(const std::string* path) : set(path != nullptr) {
        if (set) ::setenv("SSL_CERT_FILE", path->c_str(), 1);
      }
      ~CertFileVariable() {
        if (set) ::unsetenv("SSL_CERT_FILE");
      }
      bool set;
    } variable(system_store ? &path : nullptr);
    TNetSSLIOHandlerSocket channel;
    if (!system_store) channel.SSLOptions.RootCertFile = path;
    auto client = Client(channel, "localhost", server.port());

    install(other.ca_cert_file());
    ExpectHandshakeFailure(*client, "unable to get local issuer certificate");
    install(ca_->ca_cert_file());
    EchoOnce(*client, "renewed");
    client->CloseConnection();
    install(other.ca_cert_file());
    ExpectHandshakeFailure(*client, "unable to get local issuer certificate");
  }
}

TEST_F(SslChannelTest, ObserverCanRefuseACertificateOpenSSLAccepted) {
  OpenSslServer server(ca_->Localhost());
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  std::vector<std::string> seen;
  channel.OnVerifyPeer = [&seen](TNetX509& cert) {
    seen.push_back(cert.Subject());
    return cert.Subject() != "/CN=localhost";
  };
  auto client = Client(channel, "localhost", server.port());
  ExpectHandshakeFailure(*client, "application verification failure");
  EXPECT_EQ(seen, (std::vector<std::string>{"/CN=Tallyvox Test CA", "/CN=localhost"}));
}

TEST_F(SslChannelTest, ServerOfferingOnlyTls10IsRefused) {
  OpenSslServerOptions options;
  options.extra_args = {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"};
  OpenSslServer server(ca_->Localhost(), options);
  // The server really speaks TLS 1.0 to a client that allows it.
  std::string probe;
  tallyvox::testing::RunCommand(
      "echo | openssl s_client -connect 127.0.0.1:" + std::to_string(server.port()) +
          " -tls1 -cipher 'DEFAULT:@SECLEVEL=0' 2>&1",
      &probe, seconds(20));
  ASSERT_NE(probe.find("Protocol  : TLSv1\n"), std::string::npos) << probe;

  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  auto client = Client(channel, "localhost", server.port());
  ExpectHandshakeFailure(*client, "protocol version");
  EXPECT_EQ(server.Count(OpenSslServer::kCloseNotifyReceived), 0);
}

TEST_F(SslChannelTest, CipherListSettingIsApplied) {
  OpenSslServerOptions options;
  options.extra_args = {"-tls1_2"};
  OpenSslServer server(ca_->Localhost(), options);
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  channel.SSLOptions.CipherList = "ECDHE-ECDSA-AES128-GCM-SHA256";
  auto client = Client(channel, "localhost", server.port());
  EchoOnce(*client, "chosen cipher");
  EXPECT_EQ(TNetSSLCipher(channel.SSLSocket()->Handle()).Name(), "ECDHE-ECDSA-AES128-GCM-SHA256");
}

TEST_F(SslChannelTest, ContextSettingErrorsCloseTheSocket) {
  tallyvox::testing::TempDir dir;
  const std::string garbage = dir.File("garbage.pem");
  tallyvox::testing::WriteFile(garbage, "not a certificate\n");
  struct Case {
    const char* label;
    void (*apply)(TNetSSLOptions&, const std::string& garbage, TestCA& ca);
    const char* message;
  };
  const Case cases[] = {
      {"missing root file",
       [](TNetSSLOptions& o, const std::string&, TestCA&) { o.RootCertFile = "/nonexistent.pem"; },
       "Could not load root certificate."},
      {"unusable certificate",
       [](TNetSSLOptions& o, const std::string& g, TestCA&) { o.CertFile = g; },
       "Could not load certificate."},
      {"key not matching the certificate",
       [](TNetSSLOptions& o, const std::string&, TestCA& ca) {
         o.CertFile = ca.Localhost().cert_file;
         o.KeyFile = ca.WrongHost().key_file;
       },
       "Could not load key, check password."},
      {"cipher list matching nothing",
       [](TNetSSLOptions& o, const std::string&, TestCA&) { o.CipherList = "NO-SUCH-CIPHER"; },
       "SetCipher failed."},
  };
  PlainServer server;  // the context is built after the TCP connect
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TNetSSLIOHandlerSocket channel;
    c.apply(channel.SSLOptions, garbage, *ca_);
    auto client = Client(channel, "127.0.0.1", server.port());
    try {
      client->OpenConnection(kConnectTimeoutMs);
      ADD_FAILURE() << "opened";
    } catch (const ENetOpenSSLError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(channel.ChannelOpen());
  }
}

// An encrypted KeyFile is opened with the password OnGetPassword supplies.
TEST_F(SslChannelTest, EncryptedKeyFileAsksThePasswordObserver) {
  tallyvox::testing::TempDir dir;
  const std::string key = dir.File("encrypted.key");
  ASSERT_EQ(tallyvox::testing::RunCommand("openssl pkey -in '" + ca_->Localhost().key_file +
                                          "' -aes256 -passout pass:s3cret -out '" + key + "'"),
            0);
  OpenSslServer server(ca_->Localhost());
  for (const char* password : {"s3cret", "wrong", ""}) {
    SCOPED_TRACE(password);
    TNetSSLIOHandlerSocket channel;
    channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
    channel.SSLOptions.CertFile = ca_->Localhost().cert_file;
    channel.SSLOptions.KeyFile = key;
    int asked = 0;
    channel.OnGetPassword = [&asked, password] {
      ++asked;
      return std::string(password);
    };
    auto client = Client(channel, "localhost", server.port());
    if (std::string(password) == "s3cret") {
      EchoOnce(*client, "with a client key");
      client->CloseConnection();
    } else {
      try {
        client->OpenConnection(kConnectTimeoutMs);
        ADD_FAILURE() << "opened";
      } catch (const ENetOSSLLoadingKeyError& e) {
        EXPECT_STREQ(e.what(), "Could not load key, check password.");
      }
      EXPECT_FALSE(channel.ChannelOpen());
    }
    EXPECT_GE(asked, 1);
  }
}

TEST_F(SslChannelTest, PlainClientOnTlsPortFailsCleanly) {
  OpenSslServer server(ca_->Localhost());
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = server.port();
  client.ReadTimeout = 5000;
  client.OpenConnection(kConnectTimeoutMs);
  client.WriteLine("EHLO plain");
  // The TLS server answers garbage with an alert and hangs up: no line.
  const auto start = Clock::now();
  std::string line;
  bool raised = false;
  try {
    line = client.ReadLine();
  } catch (const ENetException&) {
    raised = true;
  }
  EXPECT_LT(Clock::now() - start, seconds(5));
  EXPECT_TRUE(raised || line.empty()) << line;
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(server.Count(OpenSslServer::kConnectionEstablished), 0);
}

TEST_F(SslChannelTest, TlsTowardsPlainServerFailsCleanly) {
  {
    SCOPED_TRACE("server that greets in plain text");
    PlainServer server;
    server.Serve("220 plain.example ESMTP ready\r\n");
    TNetSSLIOHandlerSocket channel;
    auto client = Client(channel, "127.0.0.1", server.port());
    const auto start = Clock::now();
    const std::string message = ExpectHandshakeFailure(*client, "");
    EXPECT_GT(message.size(), std::string("Error connecting with SSL.\r\n").size()) << message;
    EXPECT_LT(Clock::now() - start, seconds(5));
  }
  {
    SCOPED_TRACE("server that never answers");
    PlainServer server;  // never accepts, never writes
    TNetSSLIOHandlerSocket channel;
    auto client = Client(channel, "127.0.0.1", server.port());
    const auto start = Clock::now();
    try {
      client->OpenConnection(1500);
      ADD_FAILURE() << "opened";
    } catch (const ENetOSSLConnectError& e) {
      EXPECT_EQ(e.Reason(), "handshake timed out");
    }
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(1400));
    EXPECT_LT(waited, seconds(8));
    EXPECT_FALSE(channel.ChannelOpen());
  }
  {
    SCOPED_TRACE("HandshakeTimeout option");
    PlainServer server;
    TNetSSLIOHandlerSocket channel;
    channel.SSLOptions.HandshakeTimeout = 300;
    auto client = Client(channel, "127.0.0.1", server.port());
    const auto start = Clock::now();
    EXPECT_THROW(client->OpenConnection(kConnectTimeoutMs), ENetOSSLConnectError);
    EXPECT_LT(Clock::now() - start, seconds(5));
  }
}

TEST_F(SslChannelTest, OneChannelServesClientsOneAfterAnother) {
  OpenSslServer server(ca_->Localhost());
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  auto first = Client(channel, "localhost", server.port());
  auto second = Client(channel, "localhost", server.port());

  EchoOnce(*first, "first client");
  EXPECT_THROW(second->OpenConnection(kConnectTimeoutMs), ENetAlreadyConnected);
  EXPECT_TRUE(first->IsOpen());
  first->CloseConnection();
  ASSERT_TRUE(server.WaitForCount(OpenSslServer::kCloseNotifyReceived, 1, seconds(10)));

  EchoOnce(*second, "second client");
  EXPECT_TRUE(second->IsOpen());
  EXPECT_NE(channel.SSLSocket(), nullptr);
  second->CloseConnection();
  second->CloseConnection();  // closing again sends nothing more
  ASSERT_TRUE(server.WaitForCount(OpenSslServer::kCloseNotifyReceived, 2, seconds(10)));
  EXPECT_EQ(server.Count(OpenSslServer::kConnectionEstablished), 2);
  // Two full handshakes: nothing of the first session was resumed.
  EXPECT_EQ(server.Count("Reused session-id"), 0);
}

// Every connect builds its context from the current SSLOptions: a context
// kept from the previous connect would still accept the self-signed server.
TEST_F(SslChannelTest, SettingsApplyAtEveryConnect) {
  OpenSslServer server(ca_->SelfSignedLocalhost());
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.VerifyServer = false;
  auto client = Client(channel, "localhost", server.port());
  EchoOnce(*client, "unverified");
  client->CloseConnection();
  channel.SSLOptions.VerifyServer = true;
  ExpectHandshakeFailure(*client, "self-signed certificate");
  channel.SSLOptions.RootCertFile = ca_->SelfSignedLocalhost().cert_file;
  EchoOnce(*client, "trusted explicitly");
}

TEST_F(SslChannelTest, ReadTimeoutBoundsTlsReads) {
  {
    SCOPED_TRACE("peer silent after the handshake");
    OpenSslServer server(ca_->Localhost());
    TNetSSLIOHandlerSocket channel;
    channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
    auto client = Client(channel, "localhost", server.port());
    client->ReadTimeout = 500;
    client->OpenConnection(kConnectTimeoutMs);
    const auto start = Clock::now();
    EXPECT_THROW(client->ReadLine(), ENetReadTimeout);
    EXPECT_LT(Clock::now() - start, seconds(5));
    // The session is still usable after the time-out.
    client->WriteLine("still there");
    EXPECT_EQ(client->ReadLine(), "ereht llits");
  }
  {
    SCOPED_TRACE("peer stalls inside a record");
    TlsTestPeer peer("stall", ca_->Localhost());
    TNetSSLIOHandlerSocket channel;
    channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
    auto client = Client(channel, "localhost", peer.port());
    client->ReadTimeout = 1000;
    client->OpenConnection(kConnectTimeoutMs);
    ASSERT_TRUE(peer.WaitFor("HALF SENT")) << peer.Output();
    const auto start = Clock::now();
    EXPECT_THROW(client->ReadLine(), ENetReadTimeout);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(900));
    EXPECT_LT(waited, seconds(6));
    client->CloseConnection();
    EXPECT_TRUE(peer.WaitFor("CLIENT GONE")) << peer.Output();
  }
}

// The peer sees every byte the client sends until it closes the socket: one
// close_notify per session and nothing after it, whichever way the
// connection is closed (CloseConnection twice, destruction).
// A peer that stops taking bytes cannot hold a writer: the write fails with
// "Connection timed out." after the write limit (by default the connect
// time-out), and the connection is dropped, so closing it writes nothing.
TEST_F(SslChannelTest, WriteToAPeerThatStopsReadingIsBounded) {
  for (const bool by_option : {false, true}) {
    SCOPED_TRACE(by_option ? "WriteTimeout option" : "connect time-out");
    TlsTestPeer peer("deaf", ca_->Localhost());
    TNetSSLIOHandlerSocket channel;
    channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
    if (by_option) {
      channel.SSLOptions.WriteTimeout = 500;
    } else {
      channel.SSLOptions.HandshakeTimeout = kConnectTimeoutMs;  // only writes get the short limit
    }
    auto client = Client(channel, "localhost", peer.port());
    client->OpenConnection(by_option ? kConnectTimeoutMs : 2000);
    ASSERT_TRUE(peer.WaitFor("DEAF")) << peer.Output();
    // Far more than the loopback socket buffers hold.
    const std::string block(1 << 20, 'x');
    const auto start = Clock::now();
    try {
      for (int i = 0; i < 256; ++i) client->WriteText(block);
      ADD_FAILURE() << "256 MB written to a peer that reads nothing";
    } catch (const ENetSocketError& e) {
      EXPECT_EQ(e.LastError(), 10060);
      EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
    }
    EXPECT_LT(Clock::now() - start, seconds(10));
    EXPECT_FALSE(client->IsOpen());
    EXPECT_NO_THROW(client->CloseConnection());
  }
}

TEST_F(SslChannelTest, SendsExactlyOneCloseNotifyPerSession) {
  TlsTestPeer peer("count-close", ca_->Localhost(), 2);
  TNetSSLIOHandlerSocket channel;
  channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
  {
    auto client = Client(channel, "localhost", peer.port());
    client->OpenConnection(kConnectTimeoutMs);
    client->CloseConnection();
    client->CloseConnection();
    EXPECT_FALSE(client->IsOpen());
  }
  EXPECT_TRUE(peer.WaitFor("CLIENT 1 CLOSE_NOTIFY 1 EXTRA 0\n")) << peer.Output();
  {
    auto client = Client(channel, "localhost", peer.port());
    client->OpenConnection(kConnectTimeoutMs);
  }  // destroyed while open
  EXPECT_TRUE(peer.WaitFor("CLIENT 2 CLOSE_NOTIFY 1 EXTRA 0\n")) << peer.Output();
  channel.CloseChannel();
  EXPECT_FALSE(channel.ChannelOpen());
}

// Bytes that arrived before the peer ended the session can be read; then the
// connection reports "Connection Closed Gracefully.", whether the peer sent
// close_notify or just closed the TCP connection.
TEST_F(SslChannelTest, PeerCloseEndsTheConversation) {
  for (const char* mode : {"clean-close", "ragged-close"}) {
    SCOPED_TRACE(mode);
    TlsTestPeer peer(mode, ca_->Localhost());
    TNetSSLIOHandlerSocket channel;
    channel.SSLOptions.RootCertFile = ca_->ca_cert_file();
    auto client = Client(channel, "localhost", peer.port());
    client->OpenConnection(kConnectTimeoutMs);
    EXPECT_EQ(client->ReadLine(), "bye");
    EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
    EXPECT_FALSE(client->IsOpen());
    client->CloseConnection();
    EXPECT_TRUE(peer.WaitFor("CLIENT 1 DONE")) << peer.Output();
  }
}

}  // namespace
}  // namespace tallyvox::net
