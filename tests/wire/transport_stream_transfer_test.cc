// The transport stream through a transport: delivering and fetching, size
// limits, whole-buffer crypt, several messages in one stream, attached
// streams, the parameters' limits, initial properties and GUIDs.
#include "middleware/wire/message_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/stream_controller.h"
#include "middleware/wire/subject_header.h"
#include "middleware/wire/transport_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "middleware/wire/guid.h"
#include "wire/wire_test_util.h"

namespace tallyvox::mw {
namespace {

using namespace wiretest;  // NOLINT: the byte helpers of every wire test

// A transport with a whole-buffer "crypt" (XOR) and a queue of incoming
// messages; records what it transmits.
class FakeTransport : public TMwCustomTransport {
 public:
  bool HasCrypt() const override { return crypt; }
  void Encrypt(TMwMemoryStream& in, TMwMemoryStream& out) override { Xor(in, out); }
  void Decrypt(TMwMemoryStream& in, TMwMemoryStream& out) override { Xor(in, out); }
  int32_t MaxTransportStreamSize() const override { return max_size; }
  bool ReceiveLength(TMwTransportInfo*, TMwCustomTransportStream&, int32_t* length) override {
    if (incoming.empty()) return false;
    *length = forced_length ? *forced_length : static_cast<int32_t>(incoming.front().size());
    return true;
  }
  bool ReceiveStream(TMwTransportInfo*, TMwCustomTransportStream& s, int32_t length) override {
    s.Buffer().Assign(incoming.front().substr(0, static_cast<size_t>(length)));
    incoming.erase(incoming.begin());
    return true;
  }
  void TransmitLength(TMwTransportInfo*, TMwCustomTransportStream& s) override {
    sent += I32(static_cast<int32_t>(s.BufferSize()));
  }
  void TransmitStream(TMwTransportInfo*, TMwCustomTransportStream& s) override {
    sent += s.Buffer().ToString();
  }
  void DoSend(TMwTransportInfo*, TMwCustomTransportStream&) override { ++sends; }
  void DoReceive(TMwTransportInfo*, TMwCustomTransportStream&) override { ++receives; }

  static void Xor(TMwMemoryStream& in, TMwMemoryStream& out) {
    std::string s = in.ToString();
    for (char& c : s) c = static_cast<char>(c ^ 0x5A);
    out.Assign(s);
  }

  bool crypt = false;
  int32_t max_size = 0;
  std::optional<int32_t> forced_length;
  std::vector<std::string> incoming;
  std::string sent;
  int sends = 0, receives = 0;
};

TEST(Transfer, DeliverAndFetchThroughTheTransport) {
  FakeTransport t;
  auto info = std::make_shared<TMwTransportInfo>();
  TMwRequestStreamPtr req = MakeRequestStream(&t, info);
  req->SetServiceName("S");
  req->SetMessageCount(1);
  req->EnsureStreamState(8);
  req->NotifySend();
  req->Deliver();
  EXPECT_EQ(t.sends, 1);
  EXPECT_EQ(req->SendCount(), 1);
  EXPECT_EQ(t.sent, I32(static_cast<int32_t>(req->BufferSize())) + req->Buffer().ToString());

  TMwRequestStreamPtr in = MakeRequestStream(&t, info);
  t.incoming.push_back(req->Buffer().ToString());
  in->ResetForReceive();
  ASSERT_TRUE(in->Fetch());
  EXPECT_EQ(in->SubjectHeader().HopCount, 1);
  EXPECT_EQ(t.receives, 1);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->ServiceName(), "S");
  EXPECT_FALSE(in->Fetch());  // nothing left
}

TEST(Transfer, MaxTransportStreamSizeRefusesBeforeReading) {
  FakeTransport t;
  t.max_size = 10;
  TMwResponseStreamPtr in = MakeResponseStream(&t);
  for (int32_t length : {11, -1}) {
    t.incoming = {"whatever"};
    t.forced_length = length;
    try {
      in->Fetch();
      ADD_FAILURE() << length;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrTransportStreamSize);
      EXPECT_STREQ(e.what(), "Transportstream size out of bounds.");
    }
    EXPECT_EQ(t.incoming.size(), 1u);  // not read
  }
  t.forced_length = 8;
  EXPECT_TRUE(in->Fetch());
  // No limit: a negative length passes to the transport.
  t.max_size = 0;
  t.incoming = {"x"};
  t.forced_length = -1;
  EXPECT_NO_THROW(in->Fetch());
}

TEST(Transfer, WholeBufferCryptRunsInStepsSixAndThree) {
  FakeTransport t;
  t.crypt = true;
  TMwRequestStreamPtr req = MakeProbeRequest();
  TMwRequestStreamPtr enc = MakeRequestStream(&t);
  enc->SetServiceName("MW_QUERY");
  enc->SetMessageCount(1);
  enc->EnsureStreamState(5);
  const std::string plain = enc->Buffer().ToString();
  enc->EnsureStreamState(8);
  const std::string cipher = enc->Buffer().ToString();
  ASSERT_EQ(plain.size(), cipher.size());
  EXPECT_NE(plain, cipher);
  EXPECT_EQ(enc->Buffer().Position(), 0);
  TMwRequestStreamPtr dec = MakeRequestStream(&t);
  dec->LoadFromBytes(cipher);
  ASSERT_TRUE(dec->EnsureUnstreamState(7));
  EXPECT_EQ(dec->ServiceName(), "MW_QUERY");
}

TEST(Transfer, BaseTransportPrimitivesRaise) {
  TMwCustomTransport base;
  TMwRequestStreamPtr s = MakeRequestStream(&base);
  int32_t length = 0;
  EXPECT_TRUE(base.ReceiveLength(nullptr, *s, &length));
  EXPECT_EQ(length, -1);
  try {
    s->Deliver();
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrNotDefined);
    EXPECT_STREQ(e.what(), "TransmitStream not implemented in transport.");
  }
  try {
    s->Fetch();
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_STREQ(e.what(), "ReceiveStream not implemented in transport.");
  }
}

TEST(SeveralMessages, WriterRepeatsHeaderAndBodyReaderWalksThem) {
  TMwStandardMessageTransportStream out;
  out.SetMessageCount(3);
  for (int i = 0; i < 3; ++i) {
    if (i > 0) out.SetStreamState(2);
    out.SetUsername("user" + std::to_string(i));
    out.Args() = {Variant(i)};
    ASSERT_TRUE(out.EnsureStreamState(4));
  }
  out.EnsureStreamState(8);

  TMwStandardMessageTransportStream in;
  in.LoadFromBytes(out.Buffer().ToString());
  ASSERT_TRUE(in.BeginReading());
  EXPECT_EQ(in.MessageCount(), 3);
  std::vector<std::string> users;
  while (in.NextMessage()) {
    ASSERT_TRUE(in.EnsureUnstreamState(7));
    users.push_back(in.Username());
    EXPECT_EQ(in.Args(), TMwVariantList{Variant(static_cast<int32_t>(users.size() - 1))});
  }
  EXPECT_EQ(users, (std::vector<std::string>{"user0", "user1", "user2"}));
  EXPECT_EQ(in.MessageIndex(), 3);
  EXPECT_EQ(in.Buffer().Remaining(), 0);

  in.ResetUnstreamState();
  in.EnsureUnstreamState(5);
  try {
    in.NextMessage();
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrUnstreamState);
    EXPECT_STREQ(e.what(), "Not possible to move from unstreamstate 5 to 4");
  }
}

TEST(Requests, EmptyRequestAndAttachedStreams) {
  TMwRequestStreamPtr req = MakeRequestStream();
  req->SetMessageCount(1);
  TMwMemoryStream empty;
  req->AttachStreamByRef(&empty);
  std::string b = Encode(*req);
  EXPECT_EQ(b.substr(b.size() - 12), I32(0) + I32(0) + I32(0));  // ATTRCOUNT ARGCOUNT STREAMSIZE
  TMwRequestStreamPtr in = MakeRequestStream();
  in->Args() = {Variant(1)};
  in->LoadFromBytes(b);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_TRUE(in->Args().empty());

  // An attached stream is rewound and written whole, twice sized.
  TMwMemoryStream data;
  data.Assign("abc");
  data.Seek(2);
  req->AttachStreamByRef(&data);
  EXPECT_EQ(data.Position(), 0);
  data.Seek(3);
  b = Encode(*req);
  EXPECT_EQ(b.substr(b.size() - 11), I32(3) + S("abc"));
  EXPECT_FALSE(req->OwnsAttachedStream());
  req->AttachStreamCopy(data);
  EXPECT_TRUE(req->OwnsAttachedStream());
  data.Assign("changed");
  EXPECT_EQ(req->AttachedStream()->ToString(), "abc");
  req->DropAttachedStream();
  EXPECT_EQ(req->AttachedStream(), nullptr);

  // A negative ARGCOUNT reads as no arguments; STREAMSIZE <= 0 skips STREAM.
  const std::string head = b.substr(0, b.size() - 4 - 11);
  in->LoadFromBytes(head + I32(-4) + I32(-1));
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_TRUE(in->Args().empty());
  EXPECT_EQ(in->AttachedStream()->Size(), 0);
}

TEST(Params, LimitsAreCopiedIntoTheFormatter) {
  TMwRequestStreamPtr req = MakeRequestStream();
  TMwStrings params{"maxstringsize=5", "MAXSTREAMSIZE=6", "MAXARRAYSIZE=7", "MAXBINARYARRAYSIZE=8"};
  req->SetParams(&params);
  EXPECT_EQ(req->Formatter().MaxStringSize(), 5);
  EXPECT_EQ(req->Formatter().MaxStreamSize(), 6);
  EXPECT_EQ(req->Formatter().MaxArraySize(), 7);
  EXPECT_EQ(req->Formatter().MaxBinaryArraySize(), 8);
  req->SetParams(nullptr);
  EXPECT_TRUE(req->Params().Empty());
  EXPECT_EQ(req->Formatter().MaxStringSize(), 5);  // clearing keeps the limits

  // The stream's formatter never uses raw floats: it was created before any
  // parameter arrived.
  TMwStrings raw{"MW_STANDARDTRANSPORTSTREAM_FORMAT=RAW"};
  req->SetParams(&raw);
  req->Args() = {Variant(0.5)};
  req->SetMessageCount(1);
  const std::string b = Encode(*req);
  EXPECT_NE(b.find(S("0.5")), std::string::npos);

  // Limits apply to decoding: an 8-byte service name with MAXSTRINGSIZE=5.
  TMwRequestStreamPtr probe = MakeProbeRequest();
  TMwRequestStreamPtr in = MakeRequestStream();
  TMwStrings small{"MAXSTRINGSIZE=5"};
  in->SetParams(&small);
  in->LoadFromBytes(Encode(*probe));
  EXPECT_THROW(in->EnsureUnstreamState(7), EMwException);
}

TEST(Properties, InitialValues) {
  TMwRequestStreamPtr req = MakeRequestStream();
  EXPECT_EQ(req->Identifier(), "STANDARD");
  EXPECT_EQ(req->Version(), 300);
  EXPECT_EQ(req->MessageType(), mwmtRequest);
  EXPECT_EQ(req->GetMessageType(), mwmtRequest);
  EXPECT_EQ(req->MimeType(), "application/octet-stream");
  EXPECT_EQ(req->MessageCount(), 0);
  EXPECT_EQ(req->SubjectHeader().SubjectVersion, 1);
  EXPECT_EQ(req->Priority(), 128);
  EXPECT_TRUE(req->Sync());
  EXPECT_EQ(req->Data(), Variant::String(""));
  ASSERT_EQ(req->MessageID().size(), 32u);
  EXPECT_EQ(req->MessageID().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(req->MessageID(), MakeRequestStream()->MessageID());
  TMwResponseStreamPtr res = MakeResponseStream();
  EXPECT_EQ(res->Result(), Variant::Null());
  EXPECT_EQ(res->GetMessageType(), mwmtResponse);
}

TEST(Guid, FormsAndFreshness) {
  TMwGuid g;
  g.data1 = 0x01234567;
  g.data2 = 0x89AB;
  g.data3 = 0xCDEF;
  g.data4 = {0, 1, 2, 3, 4, 5, 6, 0xFF};
  EXPECT_EQ(GuidToMessageId(g), "0123456789abcdef00010203040506ff");
  EXPECT_EQ(GuidToString(g), "{01234567-89AB-CDEF-0001-0203040506FF}");
  const TMwGuid a = NewGuid(), b = NewGuid();
  EXPECT_NE(GuidToString(a), GuidToString(b));
  EXPECT_EQ(a.data3 >> 12, 4);  // version 4
}

}  // namespace
}  // namespace tallyvox::mw
