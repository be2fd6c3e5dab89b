// mwserver itself: garbage and oversized input, many clients at once, address
// ranges, delays, pipelined requests and its command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/framing.h"
#include "middleware/wire/memory_table.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/transport_stream.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace tallyvox::mw {
namespace {

using tallyvox::testing::MwServerPath;
using tallyvox::testing::MwServerProcess;
using tallyvox::testing::RunCommand;

// A blocking loopback socket with bounded reads.
class RawClient {
 public:
  RawClient(const std::string& ip, int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { ::close(fd_); }
  bool connected() const { return connected_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Sends without checking (the server may have closed the connection).
  void SendQuietly(const std::string& bytes) {
    [[maybe_unused]] const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Reads until `count` bytes arrived, the peer closed, or 5 s passed.
  std::string Read(size_t count, bool* closed = nullptr) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      char buf[65536];
      const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) {
        if (closed) *closed = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // One verified-framed answer, decoded.
  TMwResponseStreamPtr ReadResponse() {
    const std::string header = Read(kMwVerifiedHeaderSize);
    uint32_t length = 0;
    EXPECT_TRUE(ParseVerifiedLength(header, &length)) << header;
    auto response = MakeResponseStream();
    response->LoadFromBytes(Read(length));
    response->EnsureUnstreamState(5);
    return response;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string EncodedProbe(int32_t request_id) {
  auto request = MakeRequestStream();
  request->SetServiceName("MW_QUERY");
  request->SetServiceVersion("MW_1.0");
  request->SetFunction("EXECUTE");
  request->SetStateID(-1);
  request->SetRequestID(request_id);
  request->SetData(Variant("COMMON"));
  request->Args() = {Variant("select * from ufile7"), Variant("*"), Variant("*")};
  request->SetMessageCount(1);
  request->EnsureStreamState(kMwStreamStateLast);
  return request->Buffer().ToString();
}

std::string Verified(const std::string& message) {
  return FormatVerifiedLength(static_cast<uint32_t>(message.size())) + message;
}

class MwServerTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<MwServerProcess>(args);
    ASSERT_TRUE(server_->ready()) << server_->Output();
    port_ = server_->port();
  }
  Variant Probe(const std::string& ip = "127.0.0.1") {
    TMwTCPIPClientTransport transport;
    transport.SetHost(ip);
    transport.SetPort(port_);
    transport.SetConnectTimeout(0);
    transport.SetRequestTimeout(5);
    transport.SetVerifyTransfer(true);
    TMwSimpleClient client;
    client.SetTransport(&transport);
    return client.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", {Variant("select 1")});
  }

  int port_ = 0;
  std::unique_ptr<MwServerProcess> server_;
};

TEST_F(MwServerTest, GarbageAfterAValidHeaderGetsAnErrorAnswer) {
  Start();
  const std::string valid = EncodedProbe(5);
  const std::vector<std::string> garbage = {
      std::string(40, '\xFF'),
      valid.substr(0, valid.size() / 2),             // truncated
      valid.substr(0, 25) + std::string(8, '\x7F'),  // huge string length after the header
      std::string(1, '\0'),
  };
  for (const std::string& bytes : garbage) {
    RawClient raw("127.0.0.1", port_);
    ASSERT_TRUE(raw.connected());
    raw.Send(Verified(bytes));
    auto response = raw.ReadResponse();
    EXPECT_TRUE(response->IsError());
    EXPECT_FALSE(response->StatusText().empty());
  }
  EXPECT_TRUE(Probe().IsArray());  // still serving
  EXPECT_EQ(server_->CountLines("undecodable request"), static_cast<int>(garbage.size()));
}

TEST_F(MwServerTest, OversizedAndInvalidPrefixesCloseTheConnection) {
  Start({"--max-message", "4096"});
  const std::vector<std::string> prefixes = {
      FormatVerifiedLength(5000),     // over the cap
      "MWMSG X0000001A X00\n\r",      // bad checksum
      EncodePlainLength(-5),          // negative
      EncodePlainLength(0x7FFFFFFF),  // over the cap, plain framing
  };
  for (const std::string& prefix : prefixes) {
    RawClient raw("127.0.0.1", port_);
    raw.Send(prefix + "abc");
    bool closed = false;
    EXPECT_EQ(raw.Read(1, &closed), "");
    EXPECT_TRUE(closed);
  }
  EXPECT_TRUE(Probe().IsArray());
}

TEST_F(MwServerTest, PipelinedRequestsAreAnsweredInOrder) {
  Start();
  RawClient raw("127.0.0.1", port_);
  raw.Send(Verified(EncodedProbe(11)) + Verified(EncodedProbe(12)));
  EXPECT_EQ(raw.ReadResponse()->RequestID(), 11);
  EXPECT_EQ(raw.ReadResponse()->RequestID(), 12);
}

TEST_F(MwServerTest, ManyClientsAtOnce) {
  Start({"--delay", "20"});
  constexpr int kThreads = 16, kCalls = 5;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      TMwTCPIPClientTransport transport;
      transport.SetPort(port_);
      transport.SetConnectTimeout(0);
      transport.SetRequestTimeout(10);
      TMwSimpleClient client;
      client.SetTransport(&transport);
      for (int i = 0; i < kCalls; ++i) {
        try {
          if (client.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", {}).IsArray()) ++ok;
        } catch (const std::exception&) {
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * kCalls);
  EXPECT_EQ(server_->CountLines("status=0"), kThreads * kCalls);
}

TEST_F(MwServerTest, ListensOnAnAddressRange) {
  // Port 0: one port of the system's choosing for all four addresses.
  server_ = std::make_unique<MwServerProcess>(
      std::vector<std::string>{"--listen", "127.0.1.1-127.0.1.4:0"});
  ASSERT_TRUE(server_->ready()) << server_->Output();
  port_ = server_->port();
  const std::string at = ":" + std::to_string(port_);
  EXPECT_EQ(server_->endpoints(), (std::vector<std::string>{"127.0.1.1" + at, "127.0.1.2" + at,
                                                            "127.0.1.3" + at, "127.0.1.4" + at}));
  for (const char* ip : {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.4"}) {
    EXPECT_TRUE(Probe(ip).IsArray()) << ip;
  }
  EXPECT_EQ(server_->CountLines("listening on 127.0.1."), 4);
}

TEST_F(MwServerTest, DelayHoldsTheAnswer) {
  Start({"--delay", "300"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Probe().IsArray());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280));
}

// Clients that take a connection slot and never finish a request cannot
// lock real probes out. Slow ones send a valid request a byte at a time:
// a request must be whole within --request-timeout of its first byte.
// Silent ones send nothing: when every slot is taken, the connection idle
// the longest makes room. Either way a real probe, made while all slots are
// held, is answered (it waits in the listen queue at most until a slot
// frees).
TEST_F(MwServerTest, ClientsHoldingEverySlotCannotLockOutAProbe) {
  constexpr int kSlots = 4;
  for (bool slow : {true, false}) {
    SCOPED_TRACE(slow ? "slow requests" : "silent connections");
    Start({"--max-connections", std::to_string(kSlots), "--request-timeout", "1"});
    std::vector<std::unique_ptr<RawClient>> holders;
    for (int i = 0; i < kSlots; ++i) {
      holders.push_back(std::make_unique<RawClient>("127.0.0.1", port_));
      ASSERT_TRUE(holders.back()->connected());
    }
    // The slow ones trickle their request, a byte per 100 ms, for up to 8 s.
    std::atomic<bool> done{false};
    std::thread trickle([&] {
      const std::string request = Verified(EncodedProbe(1));
      for (size_t at = 0; slow && at < request.size() && at < 80 && !done; ++at) {
        for (auto& holder : holders) holder->SendQuietly(request.substr(at, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all slots taken
    const auto start = std::chrono::steady_clock::now();
    Variant result;
    EXPECT_NO_THROW(result = Probe());
    EXPECT_TRUE(result.IsArray());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    done = true;
    trickle.join();
    if (slow) {
      EXPECT_TRUE(server_->WaitForOutput("closed: request not complete within 1 s"))
          << server_->Output();
    } else {
      EXPECT_TRUE(server_->WaitForOutput("closed: idle the longest, to make room"))
          << server_->Output();
    }
  }
}

// QUERY answers [1, cursor id, key fields] and its rows in the STREAM
// section, in the dataset block format a client query loads.
TEST_F(MwServerTest, QueryReturnsItsTableInTheStreamSection) {
  Start();
  TMwTCPIPClientTransport transport;
  transport.SetPort(port_);
  transport.SetConnectTimeout(0);
  transport.SetRequestTimeout(5);
  TMwSimpleClient client;
  client.SetTransport(&transport);
  const Variant result =
      client.SendRequest("MW_QUERY", "MW_1.0", "QUERY",
                         {Variant("select * from zipcodes"), Variant("*"), Variant("*"),
                          Variant("*"), Variant(0), Variant(""), Variant("*")});
  ASSERT_TRUE(result.IsArray());
  ASSERT_EQ(result.Items().size(), 3u);
  EXPECT_EQ(result.Items()[0].AsInteger(), 1);
  EXPECT_GT(result.Items()[1].AsInteger(), 0);
  EXPECT_EQ(result.Items()[2].AsString(), "ZIP");
  ASSERT_GT(client.ResponseStream().Size(), 0);
  EXPECT_EQ(client.ResponseStream().Position(), 0);

  // The client's table has its fields (as a query with field definitions).
  TCustomMemTable table;
  for (auto [name, type, size] : {std::tuple{"ZIP", ftString, 5},
                                  {"CITY", ftString, 30},
                                  {"STATE", ftString, 2},
                                  {"POPULATION", ftInteger, 0}}) {
    TField field;
    field.name = name;
    field.type = type;
    field.size = size;
    table.AddField(field);
  }
  table.Open();
  TMwBinaryStreamFormat format;
  format.PrepareForRecords(false, false);
  format.LoadFromString(table, client.ResponseStream().ToString());
  ASSERT_EQ(table.RecordCount(), 4);
  EXPECT_EQ(table.Value(0, "ZIP").AsText(), "10001");
  EXPECT_EQ(table.Value(2, "CITY").AsText(), "San Francisco");
  EXPECT_EQ(table.Value(3, "POPULATION").AsInteger(), 12408);
}

TEST(MwServerCommandLineTest, BadArgumentsAreRefused) {
  const std::vector<std::string> bad = {
      "",
      "--listen 127.0.0.1",
      "--listen 127.0.0.1:99999",
      "--listen 127.0.0.9-127.0.0.1:5000",
      "--listen 127.0.0.1:5000 --fault sometimes",
      "--listen 127.0.0.1:5000 --error-code 0",
      "--listen 127.0.0.1:5000 --bogus",
  };
  for (const std::string& args : bad) {
    std::string output;
    EXPECT_EQ(RunCommand(MwServerPath() + " " + args, &output, std::chrono::seconds(10)), 2)
        << args << "\n"
        << output;
    EXPECT_NE(output.find("usage: mwserver"), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace tallyvox::mw
