// The TCP/IP client transport on its own: framing bytes on the socket, the
// verified header checks, bounded waits, allocation that follows the bytes,
// connection strings, settings copies, Active, Params and the idle thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/process_identity.h"
#include "middleware/wire/framing.h"
#include "net/exceptions.h"
#include "support/loopback_socket.h"
#include "support/support.h"

namespace tallyvox::mw {
namespace {

// A loopback peer driven by the test thread: it listens, accepts the
// transport's connection and reads or writes raw bytes, every wait bounded.
class RawPeer {
 public:
  RawPeer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listen_fd_, 4), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
    ::close(listen_fd_);
  }
  int port() const { return port_; }
  void Accept() { fd_ = ::accept(listen_fd_, nullptr, nullptr); }
  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void Close() {
    ::close(fd_);
    fd_ = -1;
  }
  // Sends `bytes` one at a time, `gap` apart, until the client goes away.
  void Trickle(const std::string& bytes, std::chrono::milliseconds gap) {
    for (char c : bytes) {
      if (::send(fd_, &c, 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(gap);
    }
  }
  // Everything that arrives within `wait` (empty when nothing does).
  std::string Receive(std::chrono::milliseconds wait) {
    std::string out;
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, static_cast<int>(wait.count())) == 1) {
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
      wait = std::chrono::milliseconds(50);
    }
    return out;
  }

 private:
  int listen_fd_ = -1;
  int fd_ = -1;
  int port_ = 0;
};

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport_.SetHost("127.0.0.1");
    transport_.SetPort(peer_.port());
    transport_.SetConnectTimeout(0);
    transport_.SetRequestTimeout(5);
  }
  void Open() {
    transport_.Connect();
    peer_.Accept();
  }
  // Connects to `peer` (a fresh one per framing) with the given framing.
  void OpenTo(RawPeer& peer, bool verify) {
    transport_.SetVerifyTransfer(verify);
    transport_.SetPort(peer.port());
    transport_.Connect();
    peer.Accept();
  }
  // The length prefix of `length` in the framing `verify` selects.
  static std::string Prefix(bool verify, uint32_t length) {
    return verify ? FormatVerifiedLength(length) : EncodePlainLength(static_cast<int32_t>(length));
  }
  // Transmits a message whose buffer holds `body`.
  void Transmit(const std::string& body, std::string* seen_before_flush = nullptr) {
    auto stream = MakeRequestStream(&transport_, transport_.TransportInfo());
    stream->LoadFromBytes(body);
    TMwTransportInfo* info = transport_.TransportInfo().get();
    transport_.BeginTransmit(info, *stream);
    transport_.TransmitLength(info, *stream);
    transport_.TransmitStream(info, *stream);
    if (seen_before_flush) *seen_before_flush = peer_.Receive(std::chrono::milliseconds(100));
    transport_.EndTransmit(info, *stream);
  }
  // Runs ReceiveLength and ReceiveStream into `stream`.
  void Receive(TMwCustomTransportStream& stream) {
    TMwTransportInfo* info = transport_.TransportInfo().get();
    int32_t length = 0;
    ASSERT_TRUE(transport_.ReceiveLength(info, stream, &length));
    ASSERT_TRUE(transport_.ReceiveStream(info, stream, length));
  }

  RawPeer peer_;
  TMwTCPIPClientTransport transport_;
};

TEST(FramingTest, VerifiedHeaderOfA26ByteMessage) {
  EXPECT_EQ(FormatVerifiedLength(26), std::string("MWMSG X0000001A X6B\n\r"));
  uint32_t length = 0;
  ASSERT_TRUE(ParseVerifiedLength("MWMSG X0000001A X6B\n\r", &length));
  EXPECT_EQ(length, 26u);
  EXPECT_EQ(EncodePlainLength(26), std::string("\x1A\x00\x00\x00", 4));
  EXPECT_EQ(DecodePlainLength(std::string("\xFF\xFF\xFF\x7F", 4)), 0x7FFFFFFF);
}

TEST(FramingTest, HeaderChecks) {
  struct Case {
    std::string header;
    bool valid;
  };
  std::string other_lead = "ABCDE X0000001A ";
  char sum[8];
  std::snprintf(sum, sizeof sum, "X%02X", XorChecksum(other_lead));
  const Case cases[] = {
      {"MWMSG X0000001A X6B\n\r", true},
      {other_lead + sum + "??", true},     // lead text and line ends are not compared
      {"MWMSG X0000001A X6C\n\r", false},  // checksum differs
      {"MWMSG X0000001G X6B\n\r", false},  // checksum of other text
      {"MWMSG X0000001A XZZ\n\r", false},  // checksum not hex
      {"MWMSG X0000001A X6B\n", false},    // 20 bytes
      {"MWMSG 00000001A X6B\n\r", false},  // no X before the digits
  };
  for (const Case& c : cases) {
    uint32_t length = 0;
    EXPECT_EQ(ParseVerifiedLength(c.header, &length), c.valid) << c.header;
  }
  // Non-hex length digits with a checksum that matches them.
  std::string bad = "MWMSG X00000ZZA ";
  std::snprintf(sum, sizeof sum, "X%02X", XorChecksum(bad));
  uint32_t length = 0;
  EXPECT_FALSE(ParseVerifiedLength(bad + sum + "\n\r", &length));
}

TEST_F(TransportTest, VerifiedFramingGoesOutInOneFlush) {
  transport_.SetVerifyTransfer(true);
  Open();
  const std::string body(26, 'm');
  std::string early;
  Transmit(body, &early);
  EXPECT_EQ(early, "");  // nothing leaves before EndTransmit
  EXPECT_EQ(peer_.Receive(std::chrono::seconds(2)), "MWMSG X0000001A X6B\n\r" + body);
  EXPECT_GT(transport_.LastActivity(), 0.0);
}

TEST_F(TransportTest, PlainFramingIsTheLittleEndianLength) {
  Open();
  const std::string body(26, 'm');
  Transmit(body);
  EXPECT_EQ(peer_.Receive(std::chrono::seconds(2)), std::string("\x1A\x00\x00\x00", 4) + body);
}

// A short body at once, and one past 32 KiB that arrives in four parts
// while the transport waits: either is taken whole, in both framings.
TEST_F(TransportTest, ReceivesBothFramings) {
  std::string big(40000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  for (const std::string& body : {std::string("0123456789abcdefghijklmnopq"), big}) {
    for (bool verify : {true, false}) {
      SCOPED_TRACE(std::to_string(body.size()) + (verify ? " verified" : " plain"));
      RawPeer peer;
      OpenTo(peer, verify);
      const std::string framed = Prefix(verify, static_cast<uint32_t>(body.size())) + body;
      std::thread sender([&] {
        const size_t part = body.size() > 1000 ? framed.size() / 4 + 1 : framed.size();
        for (size_t at = 0; at < framed.size(); at += part) {
          if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          peer.Send(framed.substr(at, part));
        }
      });
      auto stream = MakeResponseStream(&transport_, transport_.TransportInfo());
      Receive(*stream);
      sender.join();
      EXPECT_EQ(stream->Buffer().ToString(), body);
      EXPECT_EQ(stream->Buffer().Position(), 0);
      transport_.Disconnect();
    }
  }
}

TEST_F(TransportTest, BadHeaderIsInvalidData) {
  transport_.SetVerifyTransfer(true);
  Open();
  peer_.Send("MWMSG X0000001A X6C\n\r");
  auto stream = MakeResponseStream(&transport_, transport_.TransportInfo());
  int32_t length = 0;
  try {
    transport_.ReceiveLength(transport_.TransportInfo().get(), *stream, &length);
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrInvalidData);
    EXPECT_STREQ(e.what(), "Invalid data");
  }
}

// An announced length is not allocated: the buffer follows the bytes that
// actually arrive (16 of an announced 256 MiB here).
TEST_F(TransportTest, AnnouncedLengthIsNotAllocatedUpFront) {
  for (bool verify : {true, false}) {
    RawPeer peer;
    OpenTo(peer, verify);
    peer.Send(Prefix(verify, 0x10000000) + std::string(16, 'x'));
    peer.Close();
    auto stream = MakeResponseStream(&transport_, transport_.TransportInfo());
    EXPECT_THROW(Receive(*stream), net::ENetConnClosedGracefully);
    EXPECT_LT(stream->Buffer().Capacity(), 1 << 20);
    transport_.Disconnect();
  }
}

TEST_F(TransportTest, LengthsBeyondTheLimitsAreRefused) {
  transport_.SetVerifyTransfer(true);
  Open();
  peer_.Send(FormatVerifiedLength(0xFFFFFFF0u));  // reads back negative
  auto stream = MakeResponseStream(&transport_, transport_.TransportInfo());
  try {
    Receive(*stream);
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrTransportStreamSize);
    EXPECT_STREQ(e.what(), "Transportstream size out of bounds.");
  }
}

TEST_F(TransportTest, EveryWaitOfAResponseIsBounded) {
  transport_.SetVerifyTransfer(true);
  transport_.SetRequestTimeout(1);
  Open();
  peer_.Send("MWMSG X000");  // part of the header, then silence
  auto stream = MakeResponseStream(&transport_, transport_.TransportInfo());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Receive(*stream), net::ENetReadTimeout);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.8);
  EXPECT_LT(seconds, 5.0);
}

TEST_F(TransportTest, ReadUntilDisconnect) {
  transport_.SetTransportStateOptions(mwtsoReadUntilDisconnect);
  Open();
  peer_.Send("everything the server says");
  peer_.Close();
  auto stream = MakeResponseStream(&transport_, transport_.TransportInfo());
  Receive(*stream);
  EXPECT_EQ(stream->Buffer().ToString(), "everything the server says");
}

TEST_F(TransportTest, ActiveTwiceConnectsOnce) {
  int connected = 0, disconnected = 0;
  transport_.OnConnected = [&](TMwCustomClientTransport* sender, TMwTransportInfo* info) {
    EXPECT_EQ(sender, &transport_);
    EXPECT_EQ(info, transport_.TransportInfo().get());
    ++connected;
  };
  transport_.OnDisconnected = [&](TMwCustomClientTransport*, TMwTransportInfo*) { ++disconnected; };
  transport_.SetActive(true);
  transport_.SetActive(true);
  transport_.Connect();  // still open: nothing changes
  EXPECT_EQ(connected, 1);
  EXPECT_TRUE(transport_.Active());
  transport_.SetActive(false);
  EXPECT_FALSE(transport_.IsConnected());
  EXPECT_EQ(disconnected, 1);
  transport_.Disconnect();  // raised even without a TCP client
  EXPECT_EQ(disconnected, 2);
}

TEST_F(TransportTest, ActiveIsAppliedAfterLoading) {
  transport_.BeginLoading();
  transport_.SetActive(true);
  EXPECT_FALSE(transport_.IsConnected());
  transport_.EndLoading();
  EXPECT_TRUE(transport_.IsConnected());
  TMwTCPIPClientTransport refused;
  refused.SetPort(1);
  refused.BeginLoading();
  refused.SetActive(true);
  EXPECT_NO_THROW(refused.EndLoading());  // errors swallowed
  EXPECT_FALSE(refused.IsConnected());
}

TEST(TransportSettingsTest, Defaults) {
  TMwTCPIPClientTransport t;
  EXPECT_EQ(t.Host(), "127.0.0.1");
  EXPECT_EQ(t.Port(), 3000);
  EXPECT_EQ(t.ConnectTimeout(), 60);
  EXPECT_EQ(t.RequestTimeout(), 30);
  EXPECT_EQ(t.StreamFormat(), "STANDARD");
  EXPECT_FALSE(t.VerifyTransfer());
  EXPECT_EQ(t.IdleInterval(), -1);
  EXPECT_EQ(t.Domain(), "DEFAULT");
  EXPECT_EQ(t.Identity(), MwProcessIdentity());
  EXPECT_TRUE(t.IsSerializedTransport());
  EXPECT_FALSE(t.IsConnectionlessTransport());
  EXPECT_FALSE(t.Active());
}

TEST(TransportSettingsTest, ParamsSetTheStreamSizeLimit) {
  TMwTCPIPClientTransport t;
  t.SetParams(TMwStrings{"MAXTRANSPORTSTREAMSIZE=1000", "OTHER=1"});
  EXPECT_EQ(t.MaxTransportStreamSize(), 1000);
  t.SetParams(TMwStrings{"MAXTRANSPORTSTREAMSIZE="});
  EXPECT_EQ(t.MaxTransportStreamSize(), 1000);
  t.SetParams(TMwStrings{});
  EXPECT_EQ(t.MaxTransportStreamSize(), 1000);
  t.SetParams(TMwStrings{"maxtransportstreamsize=5"});
  EXPECT_EQ(t.MaxTransportStreamSize(), 5);
}

TEST(TransportSettingsTest, StreamFormatLookup) {
  TMwTCPIPClientTransport t;
  t.SetStreamFormat("standard");
  EXPECT_EQ(t.StreamFormat(), "standard");
  try {
    t.SetStreamFormat("XML");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Transport stream format XML not registered for the middleware.");
  }
  EXPECT_EQ(t.StreamFormat(), "standard");
}

TEST(TransportSettingsTest, ConnectionStringRoundTrip) {
  TMwTCPIPClientTransport t;
  t.SetHost("10.1.2.3");
  t.SetPort(80);
  t.SetVerifyTransfer(true);
  t.SetMinClientPort(5000);
  t.SetMaxClientPort(5010);
  EXPECT_EQ(t.ConnectionString().Lines(),
            (std::vector<std::string>{"PARAMS=", "STREAMFORMAT=STANDARD", "VERIFYTRANSFER=YES",
                                      "STRINGCONVERSION=1", "IDLEINTERVAL=-1", "HOST=10.1.2.3",
                                      "PORT=80", "BOUNDPORTMIN=5000", "BOUNDPORTMAX=5010"}));
  TMwTCPIPClientTransport u;
  u.SetConnectionString(
      TMwConnectionString("host=10.9.9.9\r\nPort=81\r\nVerifyTransfer=yes\r\n"
                          "BOUNDPORTMIN=\r\nPARAMS=A=1"));
  EXPECT_EQ(u.Host(), "10.9.9.9");
  EXPECT_EQ(u.Port(), 81);
  EXPECT_TRUE(u.VerifyTransfer());
  EXPECT_EQ(u.MinClientPort(), 0);  // empty values are not applied
  EXPECT_EQ(u.Params().Value("A"), "1");
  EXPECT_THROW(u.SetConnectionString(TMwConnectionString("PORT=eighty")), EConvertError);
}

TEST(ConnectionStringTest, Sections) {
  const TMwConnectionString s(
      "HOST=a\r\nPORT=1\r\n<|client_alt1|>\r\nHOST=b\r\n<|CLIENT_ALT2|>\nHOST=c\nPORT=3");
  EXPECT_EQ(s.Values("host"), "a");
  EXPECT_EQ(s.Section("").Lines(), (std::vector<std::string>{"HOST=a", "PORT=1"}));
  EXPECT_EQ(s.Section("CLIENT_ALT1").Lines(), (std::vector<std::string>{"HOST=b"}));
  EXPECT_EQ(s.Section("client_alt2").Values("PORT"), "3");
  EXPECT_FALSE(s.HasSection("CLIENT_ALT3"));
  EXPECT_TRUE(s.Section("CLIENT_ALT3").Empty());
}

TEST(TransportSettingsTest, RedirectAlternativesAndFallbackServers) {
  TMwTCPIPClientTransport t;
  t.SetRedirectAlternatives(
      TMwConnectionString("PORT=1\r\n<|CLIENT_ALT2|>\r\nPORT=3\r\n<|CLIENT_ALT1|>\r\nPORT=2"));
  ASSERT_EQ(t.RedirectAlternatives().size(), 3u);
  for (int expected : {1, 2, 3}) {
    ASSERT_TRUE(t.NextRedirectAlternative());
    EXPECT_EQ(t.Port(), expected);
  }
  EXPECT_FALSE(t.NextRedirectAlternative());
  EXPECT_EQ(t.Port(), 3);

  t.SetFallbackServers({TMwConnectionString("PORT=11"), TMwConnectionString("PORT=12")});
  for (int expected : {11, 12, 11}) {
    t.NextFallbackServer();
    EXPECT_EQ(t.Port(), expected);
  }
  t.ResetFallbackPositions();
  t.NextFallbackServer();
  EXPECT_EQ(t.Port(), 11);
  ASSERT_TRUE(t.NextRedirectAlternative());
  EXPECT_EQ(t.Port(), 1);
}

TEST(TransportSettingsTest, CopySettingsFromKeepsTheLocalPortRange) {
  TMwTCPIPClientTransport source;
  source.SetHost("10.0.0.7");
  source.SetPort(80);
  source.SetRequestTimeout(5);
  source.SetConnectTimeout(0);
  source.SetVerifyTransfer(true);
  source.SetMaxRetries(2);
  source.SetMinClientPort(7000);
  source.SetParams(TMwStrings{"MAXTRANSPORTSTREAMSIZE=99"});
  int calls = 0;
  source.OnException = [&](TMwCustomClient*, TMwRequestStates, TMwRequestStates&,
                           const std::exception&) { ++calls; };
  TMwTCPIPClientTransport copy;
  copy.SetMinClientPort(1);
  copy.SetMaxClientPort(2);
  copy.CopySettingsFrom(source);
  EXPECT_EQ(copy.Host(), "10.0.0.7");
  EXPECT_EQ(copy.Port(), 80);
  EXPECT_EQ(copy.RequestTimeout(), 5);
  EXPECT_EQ(copy.ConnectTimeout(), 0);
  EXPECT_TRUE(copy.VerifyTransfer());
  EXPECT_EQ(copy.MaxRetries(), 2);
  EXPECT_EQ(copy.MaxTransportStreamSize(), 99);
  EXPECT_EQ(copy.MinClientPort(), 1);
  EXPECT_EQ(copy.MaxClientPort(), 2);
  ASSERT_TRUE(copy.OnException);
  TMwRequestStates next = rsReconnect;
  copy.OnException(nullptr, rsTransmit, next, std::runtime_error("x"));
  EXPECT_EQ(calls, 1);
  auto fresh = source.NewInstance();
  ASSERT_NE(dynamic_cast<TMwTCPIPClientTransport*>(fresh.get()), nullptr);
  EXPECT_EQ(dynamic_cast<TMwTCPIPClientTransport*>(fresh.get())->Port(), 3000);
}

// A connect deadline bounds every connect of the transports that share it
// (those copied from the transport it is set on, also before it was set): each
// waits the lesser of ConnectTimeout (0: no bound of its own) and the time
// left, and once none is left fails at once with the connect time-out's error.
TEST(ConnectDeadlineTest, CopiesShareOneDeadlineForTheirConnects) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  tallyvox::testing::FullAcceptQueue blackhole;
  struct Case {
    int32_t connect_timeout;
    std::chrono::milliseconds left;
    std::chrono::milliseconds at_least, at_most;
  };
  for (const Case& c : {Case{5, 500ms, 400ms, 1500ms}, Case{1, 5000ms, 900ms, 2000ms},
                        Case{0, 500ms, 400ms, 1500ms}}) {
    SCOPED_TRACE(c.connect_timeout);
    TMwTCPIPClientTransport source;
    source.SetHost("127.0.0.1");
    source.SetPort(blackhole.port());
    source.SetConnectTimeout(c.connect_timeout);
    TMwTCPIPClientTransport copy;
    copy.CopySettingsFrom(source);
    EXPECT_FALSE(copy.ConnectDeadline());
    source.SetConnectDeadline(Clock::now() + c.left);
    ASSERT_TRUE(copy.ConnectDeadline());
    auto connect_time = [](TMwTCPIPClientTransport& t) {
      const auto start = Clock::now();
      try {
        t.Connect();
        ADD_FAILURE() << "connected";
      } catch (const net::ENetConnectTimeout& e) {
        EXPECT_STREQ(e.what(), "Connect timed out.");
      }
      EXPECT_FALSE(t.IsConnected());
      return Clock::now() - start;
    };
    const auto first = connect_time(copy);
    EXPECT_GE(first, c.at_least);
    EXPECT_LE(first, c.at_most);
    if (c.left < 1s) {
      EXPECT_LE(connect_time(source), 100ms);  // no time left
    }
    source.ClearConnectDeadline();
    EXPECT_FALSE(copy.ConnectDeadline());
  }
  // With time left a connect that completes is not cut short.
  RawPeer peer;
  TMwTCPIPClientTransport t;
  t.SetHost("127.0.0.1");
  t.SetPort(peer.port());
  t.SetConnectTimeout(5);
  t.SetConnectDeadline(Clock::now() + 2s);
  t.Connect();
  EXPECT_TRUE(t.IsConnected());
}

// The deadline of a whole operation bounds every wait of a response however
// the server paces it, in the transports copied from the one it is set on
// (also those copied before); without it each wait has only RequestTimeout,
// so an answer whose bytes come in time for each wait arrives. Past the
// deadline a connect fails at once.
TEST(TransportDeadlineTest, CopiesShareOneDeadlineForEveryWait) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  struct Case {
    const char* name;
    std::optional<std::chrono::milliseconds> budget;
    std::string failure;  // empty: the answer arrives
    double at_least, at_most;
  };
  // Ten bytes, one every 150 ms, with a request time-out of 1 s.
  const std::vector<Case> cases = {
      {"no deadline", std::nullopt, "", 1.2, 4.0},
      {"deadline", 600ms, "no answer within 0.6 s", 0.5, 1.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer peer;
    TMwTCPIPClientTransport source;
    source.SetHost("127.0.0.1");
    source.SetPort(peer.port());
    source.SetConnectTimeout(5);
    source.SetRequestTimeout(1);
    TMwTCPIPClientTransport copy;
    copy.CopySettingsFrom(source);
    if (c.budget) source.SetDeadline(net::TNetDeadline::Within(*c.budget));
    EXPECT_EQ(copy.Deadline(), source.Deadline());
    copy.Connect();
    peer.Accept();
    std::thread server([&peer] { peer.Trickle(EncodePlainLength(6) + "answer", 150ms); });
    auto stream = MakeResponseStream(&copy, copy.TransportInfo());
    TMwTransportInfo* info = copy.TransportInfo().get();
    const auto start = Clock::now();
    std::string failure;
    try {
      int32_t length = 0;
      copy.ReceiveLength(info, *stream, &length);
      copy.ReceiveStream(info, *stream, length);
      EXPECT_EQ(stream->Buffer().ToString(), "answer");
    } catch (const net::ENetReadTimeout& e) {
      failure = e.what();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    copy.Disconnect();
    server.join();
    EXPECT_EQ(failure, c.failure);
    EXPECT_GE(seconds, c.at_least);
    EXPECT_LE(seconds, c.at_most);
    if (c.budget) {
      const auto connect_start = Clock::now();
      EXPECT_THROW(copy.Connect(), net::ENetDeadlineExpired);
      EXPECT_LT(Clock::now() - connect_start, 100ms);
      source.ClearDeadline();
      EXPECT_TRUE(copy.Deadline().Unlimited());
    }
  }
}

TEST(TransportSettingsTest, IdleThreadNotifiesAnIdleTransport) {
  TMwTCPIPClientTransport t;
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<int> idles{0};
  std::thread::id idle_thread;
  t.SetOnIdle([&](TMwCustomClientTransport* sender) {
    EXPECT_EQ(sender, &t);
    std::lock_guard<std::mutex> lock(mu);
    idle_thread = std::this_thread::get_id();
    ++idles;
    cv.notify_all();
  });
  t.SetIdleInterval(1);  // no message carried yet: idle since the zero date
  std::unique_lock<std::mutex> lock(mu);
  EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return idles > 0; }));
  EXPECT_NE(idle_thread, std::this_thread::get_id());
}

// Idle time is a duration on a monotonic clock: after a message, the local
// time going back an hour does not make the transport look busy.
TEST(TransportSettingsTest, IdleTimeFollowsAMonotonicClockNotTheLocalTime) {
  tallyvox::testing::ScopedTimeZone zone("UTC0");
  TMwTCPIPClientTransport t;
  std::atomic<int> idles{0};
  t.SetOnIdle([&](TMwCustomClientTransport*) { ++idles; });
  auto stream = MakeResponseStream(&t, t.TransportInfo());
  t.EndReceive(t.TransportInfo().get(), *stream);  // a message was carried just now
  zone.Set("XXX1");
  t.SetIdleInterval(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (idles.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GT(idles.load(), 0);
}

TEST(ProcessIdentityTest, ElfHashAndFormat) {
  EXPECT_EQ(MwElfHash(""), 0u);
  EXPECT_EQ(MwElfHash("a"), 0x61u);
  EXPECT_EQ(MwElfHash("ab"), 0x672u);
  // Long input exercises the folding of the top nibble.
  EXPECT_EQ(MwElfHash("{00000000-0000-0000-0000-000000000000}"), 0x0313079Du);
  EXPECT_EQ(MwHex10(0xABCDEF12u), "00ABCDEF12");
  const std::string& id = MwProcessIdentity();
  ASSERT_EQ(id.size(), 10u);
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(id.substr(0, 2), "00");  // the hash has 28 bits
  EXPECT_EQ(&MwProcessIdentity(), &id);
}

}  // namespace
}  // namespace tallyvox::mw
