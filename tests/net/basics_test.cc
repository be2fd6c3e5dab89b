// Pieces without a network: error texts, the input buffer, reply parsing,
// host-text rules, the memory stream.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/byte_stream.h"
#include "net/exceptions.h"
#include "net/managed_buffer.h"
#include "net/rfc_reply.h"
#include "net/stack.h"

namespace tallyvox::net {
namespace {

TEST(NetErrors, SocketErrorMessagesUseWindowsNumbersAndTexts) {
  struct Case {
    int err;
    int32_t number;
    const char* message;
  };
  const Case cases[] = {
      {ECONNREFUSED, 10061, "Socket Error # 10061\r\nConnection refused."},
      {ECONNRESET, 10054, "Socket Error # 10054\r\nConnection reset by peer."},
      {EADDRINUSE, 10048, "Socket Error # 10048\r\nAddress already in use."},
      {ETIMEDOUT, 10060, "Socket Error # 10060\r\nConnection timed out."},
      {EAGAIN, 10035, "Socket Error # 10035\r\nOperation would block. "},
      {ENOTEMPTY, 10066, "Socket Error # 10066\r\nDirectory not empty"},
      {EHOSTUNREACH, 10065, "Socket Error # 10065\r\nNo route to host."},
  };
  for (const Case& c : cases) {
    int32_t n = WinsockErrorFromErrno(c.err);
    EXPECT_EQ(n, c.number) << c.err;
    ENetSocketError e(n);
    EXPECT_STREQ(e.what(), c.message);
    EXPECT_EQ(e.LastError(), c.number);
  }
  // A number outside the table has an empty text.
  EXPECT_EQ(SocketErrorMessage(11001), "Socket Error # 11001\r\n");
}

TEST(NetErrors, FixedMessagesAndHierarchy) {
  EXPECT_STREQ(ENetConnClosedGracefully().what(), "Connection Closed Gracefully.");
  EXPECT_STREQ(ENetInvalidPortRange(10, 5).what(), "Invalid Port Range (10 - 5)");
  EXPECT_STREQ(ENetCanNotBindPortInRange(5, 10).what(), "Can not bind in port range (5 - 10)");
  EXPECT_STREQ(ENetCouldNotBindSocket().what(),
               "Could not bind socket. Address and port are already in use.");
  EXPECT_STREQ(ENetStackInitializationFailed().what(), "Winsock Initialization Error.");
  // Callers catch by base class.
  try {
    throw ENetConnClosedGracefully();
  } catch (const ENetSilentException&) {
  }
  try {
    throw ENetNotConnected();
  } catch (const ENetTCPConnectionError& e) {
    EXPECT_STREQ(e.what(), "Not Connected");
  }
  try {
    throw ENetCouldNotBindSocket();
  } catch (const ENetSocketHandleError&) {
  }
  try {
    throw ENetReadTimeout();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Read Timeout");
  }
}

TEST(NetManagedBuffer, ConsumesByOffsetAndCompactsAt32768) {
  TNetManagedBuffer b;
  std::string big(40000, 'x');
  big[32768] = 'Y';
  b.Append(big.data(), big.size());
  b.Remove(32767);
  EXPECT_EQ(b.ConsumedOffset(), 32767u);  // no move yet
  EXPECT_EQ(b.Size(), 40000 - 32767);
  b.Remove(1);
  EXPECT_EQ(b.ConsumedOffset(), 0u);  // compacted
  EXPECT_EQ(b.Size(), 40000 - 32768);
  EXPECT_EQ(b.Data()[0], 'Y');
  b.Append("tail", 4);
  EXPECT_EQ(b.ExtractString(1), "Y");
  EXPECT_EQ(b.IndexOf("tail"), b.Size() - 4);
  // Consuming everything empties the buffer outright.
  b.Remove(b.Size());
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.ConsumedOffset(), 0u);
}

TEST(NetManagedBuffer, GuardsAgainstTakingMoreThanItHolds) {
  TNetManagedBuffer b;
  b.Append("abc", 3);
  char out[8];
  EXPECT_THROW(b.Extract(out, 4), ENetNotEnoughDataInBuffer);
  EXPECT_EQ(b.Size(), 3);  // nothing lost
  EXPECT_EQ(b.IndexOf("c", 3), -1);
  EXPECT_EQ(b.IndexOf("bc", 1), 1);
  EXPECT_EQ(b.IndexOf("", 0), -1);
}

TEST(NetRFCReply, ParsesCodesAndTexts) {
  struct Case {
    std::vector<std::string> lines;
    int32_t numeric;
    std::string text_code;
    std::vector<std::string> text;
  };
  const Case cases[] = {
      {{"250-a", "250-b", "250 c"}, 250, "250", {"a", "b", "c"}},
      {{"220"}, 220, "220", {""}},
      {{"abc"}, 0, "abc", {""}},
      {{"354 Start mail input"}, 354, "354", {"Start mail input"}},
      {{"25x-oops"}, 0, "25x", {"oops"}},
      {{"  5 hi"}, 5, "5", {"hi"}},
  };
  for (const Case& c : cases) {
    TNetRFCReply r;
    r.Parse(c.lines);
    EXPECT_EQ(r.NumericCode, c.numeric) << c.lines[0];
    EXPECT_EQ(r.TextCode, c.text_code) << c.lines[0];
    EXPECT_EQ(r.Text, c.text) << c.lines[0];
  }
  TNetRFCReply r;
  r.Parse({"550-No such user", "550 here"});
  EXPECT_EQ(r.ErrorMessage(), "No such user\r\nhere\r\n");
}

TEST(NetRFCReply, ContinuationRules) {
  EXPECT_TRUE(TNetRFCReply::OpensContinuation("250-x"));
  EXPECT_FALSE(TNetRFCReply::OpensContinuation("250"));
  EXPECT_TRUE(TNetRFCReply::EndsContinuation("250 done", "250"));
  EXPECT_TRUE(TNetRFCReply::EndsContinuation("ab", "250"));  // shorter than 4
  EXPECT_FALSE(TNetRFCReply::EndsContinuation("251 other", "250"));
  EXPECT_TRUE(TNetRFCReply::EndsContinuation("ABC x", "abc"));  // ignoring case
}

// Dotted quads are decimal, leading zeros included: the system resolver would read
// "0127.0.0.1" as octal (87.0.0.1). A numeric text it would read in another base is
// refused before any lookup. No test here connects anywhere.
TEST(NetStack, HostTextRules) {
  TNetComponent keep_stack_alive;
  TNetStack& s = TNetStack::Instance();
  for (const char* h : {"LOCALHOST", "localhost", "LocalHost"}) {
    EXPECT_EQ(s.ResolveHost(h), "127.0.0.1") << h;
  }
  struct Quad {
    const char* host;
    const char* ip;
  } quads[] = {
      {"10.0.0.255", "10.0.0.255"}, {"127.000.0.01", "127.0.0.1"},   {"0127.0.0.1", "127.0.0.1"},
      {"1.2.3.0255", "1.2.3.255"},  {"000000010.0.0.1", "10.0.0.1"}, {"0.0.0.0", "0.0.0.0"},
  };
  for (const Quad& q : quads) {
    std::string ip;
    EXPECT_TRUE(TNetStack::IsDottedQuad(q.host, &ip)) << q.host;
    EXPECT_EQ(ip, q.ip) << q.host;
    EXPECT_EQ(s.ResolveHost(q.host), q.ip) << q.host;
  }
  for (const char* h : {"10.0.0", "10.0.0.256", "1.2.3.4.5", "a.b.c.d", "1..2.3", "1.2.3.",
                        "1.2.3.-4", "1.2.3.0x10"}) {
    EXPECT_FALSE(TNetStack::IsDottedQuad(h)) << h;  // looked up by name instead
  }
  for (const char* h :
       {"1.2.3.0256", "0x7f.0.0.1", "0X7F.1", "010.1", "017700000001", "127.0.0.0x1"}) {
    try {
      s.ResolveHost(h);
      ADD_FAILURE() << h << " was resolved";
    } catch (const ENetInvalidIPAddress& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid IP address: ") + h);
    }
  }
  EXPECT_THROW(s.ResolveHost("no-such-host.invalid"), ENetSocketError);
}

TEST(NetStack, LivesFromFirstToLastComponent) {
  const int32_t before = TNetStack::InstanceCount();
  {
    TNetComponent a;
    EXPECT_TRUE(TNetStack::Exists());
    EXPECT_EQ(TNetStack::InstanceCount(), before + 1);
  }
  EXPECT_EQ(TNetStack::InstanceCount(), before);
  if (before == 0) {
    EXPECT_FALSE(TNetStack::Exists());
  }
}

TEST(NetMemoryStream, ReadWriteSizeAndPosition) {
  TNetMemoryStream s;
  s.Write("hello", 5);
  EXPECT_EQ(s.Size(), 5);
  s.SetPosition(1);
  char b[8] = {};
  EXPECT_EQ(s.Read(b, 8), 4);
  EXPECT_STREQ(b, "ello");
  EXPECT_EQ(s.Read(b, 8), 0);
  s.SetPosition(2);
  s.SetSize(1);
  EXPECT_EQ(s.Position(), 1);
  s.SetPosition(3);
  s.Write("z", 1);
  EXPECT_EQ(s.ToString(), std::string("h\0\0z", 4));
}

}  // namespace
}  // namespace tallyvox::net
