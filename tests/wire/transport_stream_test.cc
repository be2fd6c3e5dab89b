#include "middleware/wire/transport_stream.h"
#include "middleware/wire/message_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/stream_controller.h"
#include "middleware/wire/subject_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "middleware/wire/guid.h"
#include "wire/wire_test_util.h"

namespace tallyvox::mw {
namespace {

using wiretest::B;
using wiretest::Encode;
using wiretest::Hex;
using wiretest::I32;
using wiretest::MakeProbeRequest;
using wiretest::MakeProbeResponse;
using wiretest::S;

TEST(ProbeRequest, GoldenBytesOffsetByOffset) {
  TMwRequestStreamPtr req = MakeProbeRequest(5);
  const std::string b = Encode(*req);
  // Message header: 25 bytes.
  EXPECT_EQ(Hex(b.substr(0, 4)), Hex(B({0xCC, 0xFB, 0xAF, 0x0A})));
  EXPECT_EQ(b.substr(4, 12), S("STANDARD"));
  EXPECT_EQ(Hex(b.substr(16, 4)), Hex(B({0x2C, 0x01, 0, 0})));
  EXPECT_EQ(Hex(b.substr(20, 1)), Hex(B({0})));
  EXPECT_EQ(Hex(b.substr(21, 4)), Hex(B({1, 0, 0, 0})));
  // Header fields.
  EXPECT_EQ(b.substr(25, 12), S("MW_QUERY"));
  EXPECT_EQ(b.substr(37, 10), S("MW_1.0"));
  EXPECT_EQ(b.substr(47, 11), S("EXECUTE"));
  EXPECT_EQ(Hex(b.substr(58, 16)), Hex(std::string(16, '\0')));  // four empty strings
  size_t at = 74;
  EXPECT_EQ(Hex(b.substr(at, 4)), Hex(B({0xFF, 0xFF, 0xFF, 0xFF})));  // STATEID
  at += 4;
  EXPECT_EQ(Hex(b.substr(at, 14)), Hex(B({0, 1, 0, 0, 6, 0, 0, 0}) + "COMMON"));  // DATA
  at += 14;
  EXPECT_EQ(b.substr(at, 4), I32(5));  // REQUESTID
  at += 4;
  EXPECT_EQ(Hex(b.substr(at, 1)), Hex(B({1})));  // SYNC
  at += 1;
  EXPECT_EQ(Hex(b.substr(at, 4)), Hex(B({0x80, 0, 0, 0})));  // PRIORITY
  at += 4;
  EXPECT_EQ(b.substr(at, 4), I32(0));  // ATTRCOUNT
  at += 4;
  // Body.
  EXPECT_EQ(b.substr(at, 4), I32(3));  // ARGCOUNT
  at += 4;
  for (const char* arg : {"select * from ufile7", "*", "*"}) {
    const std::string expect = B({0, 1, 0, 0}) + S(arg);
    EXPECT_EQ(Hex(b.substr(at, expect.size())), Hex(expect)) << arg;
    at += expect.size();
  }
  EXPECT_EQ(b.substr(at, 4), I32(0));  // STREAMSIZE
  at += 4;
  EXPECT_EQ(at, b.size());
  EXPECT_EQ(req->StreamState(), 8);
  EXPECT_EQ(req->Buffer().Position(), 0);
}

TEST(ProbeRequest, ServerSideDecodesEveryField) {
  TMwRequestStreamPtr req = MakeProbeRequest(9);
  req->SetUsername("u");
  req->SetPassword("p");
  req->SetToken("t");
  req->SetClientLocation("here");
  req->MutableAttributes() = {"A=1", "B=2"};
  const std::string bytes = Encode(*req);

  TMwRequestStreamPtr in = MakeRequestStream();
  in->LoadFromBytes(bytes);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->Identifier(), "STANDARD");
  EXPECT_EQ(in->Version(), 300);
  EXPECT_EQ(in->MessageCount(), 1);
  EXPECT_EQ(in->ServiceName(), "MW_QUERY");
  EXPECT_EQ(in->ServiceVersion(), "MW_1.0");
  EXPECT_EQ(in->Function(), "EXECUTE");
  EXPECT_EQ(in->Username(), "u");
  EXPECT_EQ(in->Password(), "p");
  EXPECT_EQ(in->Token(), "t");
  EXPECT_EQ(in->ClientLocation(), "here");
  EXPECT_EQ(in->StateID(), -1);
  EXPECT_EQ(in->Data(), Variant::String("COMMON"));
  EXPECT_EQ(in->RequestID(), 9);
  EXPECT_TRUE(in->Sync());
  EXPECT_EQ(in->Priority(), 128);
  EXPECT_EQ(in->Attributes(), (TMwStrings{"A=1", "B=2"}));
  EXPECT_EQ(in->Args(), req->Args());
  ASSERT_NE(in->AttachedStream(), nullptr);
  EXPECT_EQ(in->AttachedStream()->Size(), 0);
}

TEST(ProbeResponse, SuccessAndErrorLayouts) {
  TMwResponseStreamPtr res = MakeProbeResponse(9);
  const std::string b = Encode(*res);
  EXPECT_EQ(b.substr(0, 25),
            B({0xCC, 0xFB, 0xAF, 0x0A}) + S("STANDARD") + I32(300) + B({0}) + I32(1));
  EXPECT_EQ(b.substr(25, 4), I32(0));  // STATUSCODE

  TMwResponseStreamPtr in = MakeResponseStream();
  in->LoadFromBytes(b);
  in->DecodeHeader();
  EXPECT_EQ(in->UnstreamState(), 5);
  EXPECT_FALSE(in->IsError());
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->Result(), res->Result());
  EXPECT_EQ(in->RequestID(), 9);

  // Error: STATUSCODE = -code, bytes FC 78 FE FF for 100100.
  TMwResponseStreamPtr err = MakeResponseStream();
  err->SetError(100100, "Service 'X' not available");
  err->SetMessageCount(1);
  const std::string eb = Encode(*err);
  EXPECT_EQ(Hex(eb.substr(25, 4)), Hex(B({0xFC, 0x78, 0xFE, 0xFF})));
  EXPECT_EQ(eb.substr(29, 4 + 25), S("Service 'X' not available"));
  in->LoadFromBytes(eb);
  in->DecodeHeader();
  EXPECT_TRUE(in->IsError());
  EXPECT_EQ(in->ErrorCode(), 100100);
  EXPECT_EQ(in->StatusText(), "Service 'X' not available");
}

TEST(Response, SetErrorAcceptsOnlyTheRange) {
  TMwResponseStreamPtr res = MakeResponseStream();
  res->SetError(1, "a");
  EXPECT_EQ(res->StatusCode(), -1);
  res->SetError(0x0FFFFFFE, "b");
  EXPECT_EQ(res->ErrorCode(), 0x0FFFFFFE);
  for (int64_t bad : {int64_t{0}, int64_t{-5}, int64_t{0x0FFFFFFF}, int64_t{0x7FFFFFFF}}) {
    try {
      res->SetError(bad, "x");
      ADD_FAILURE() << bad;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrInvalidErrorCode);
      EXPECT_STREQ(e.what(), "Error codes must be between 1 and $FFFFFFF.");
    }
  }
  res->SetOK("fine");
  EXPECT_EQ(res->StatusCode(), 0);
  EXPECT_FALSE(res->IsError());
  EXPECT_EQ(res->ErrorCode(), 0);
  // A server may send any STATUSCODE; the most negative one must not
  // overflow when negated.
  res->SetStatusCode(INT32_MIN);
  EXPECT_TRUE(res->IsError());
  EXPECT_EQ(res->ErrorCode(), INT32_MIN);
}

// Requests and responses at every version boundary: what is written, and
// what a reader fills in for the fields that are absent.
class VersionTest : public ::testing::TestWithParam<int> {};

TEST_P(VersionTest, RequestRoundTripAndDefaults) {
  const int v = GetParam();
  TMwRequestStreamPtr req = MakeProbeRequest(77);
  req->SetStateID(12);
  req->SetSync(false);
  req->SetPriority(3);
  req->MutableAttributes() = {"K=V"};
  req->SetVersion(v);
  const std::string bytes = Encode(*req);
  const int32_t ident = v >= 290 ? kMwStreamIdentCurrent : kMwStreamIdentLegacy;
  EXPECT_EQ(bytes.substr(0, 4), I32(ident));

  TMwRequestStreamPtr in = MakeRequestStream();
  in->SetRequestID(555);  // to see "unchanged"
  in->SetSync(false);
  in->SetPriority(7);
  in->LoadFromBytes(bytes);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->Version(), v);
  EXPECT_EQ(in->MessageCount(), 1);
  EXPECT_EQ(in->Args(), req->Args());
  EXPECT_EQ(in->StateID(), v > 100 ? 12 : -1);
  EXPECT_EQ(in->Data(), v > 100 ? Variant::String("COMMON") : Variant::String(""));
  EXPECT_EQ(in->RequestID(), v >= 200 ? 77 : (v > 100 ? -1 : 555));
  EXPECT_EQ(in->Sync(), v >= 203 ? false : (v > 100 ? true : false));
  EXPECT_EQ(in->Priority(), v >= 250 ? 3 : (v >= 203 ? 128 : 7));
  EXPECT_EQ(in->Attributes().Count(), v > 100 ? 1u : 0u);
}

TEST_P(VersionTest, ResponseRoundTripAndDefaults) {
  const int v = GetParam();
  TMwResponseStreamPtr res = MakeProbeResponse(77);
  res->SetSync(false);
  res->SetPriority(3);
  res->SetToken("tok");
  res->SetInternalCode(4);
  res->MutableAttributes() = {"K=V"};
  TMwMemoryStream dataset;
  dataset.Assign("rows");
  res->AttachStreamByRef(&dataset);
  res->SetVersion(v);
  const std::string bytes = Encode(*res);

  TMwResponseStreamPtr in = MakeResponseStream();
  in->MutableAttributes() = {"stale"};
  in->LoadFromBytes(bytes);
  in->DecodeHeader();
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->Version(), v);
  EXPECT_EQ(in->Token(), "tok");
  EXPECT_EQ(in->InternalCode(), 4);
  EXPECT_EQ(in->StateID(), -1);
  EXPECT_EQ(in->Data(), Variant::String("COMMON"));
  EXPECT_EQ(in->RequestID(), v >= 200 ? 77 : -1);
  EXPECT_EQ(in->Sync(), v >= 203 ? false : true);
  EXPECT_EQ(in->Priority(), v >= 250 ? 3 : 128);
  EXPECT_EQ(in->Attributes().Count(), v >= 102 ? 1u : 0u);
  EXPECT_EQ(in->Result(), res->Result());
  ASSERT_NE(in->AttachedStream(), nullptr);
  EXPECT_EQ(in->AttachedStream()->ToString(), "rows");
  EXPECT_EQ(in->AttachedStream()->Position(), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTest,
                         ::testing::Values(100, 101, 102, 200, 203, 250, 289, 290, 299, 300));

TEST(MessageHeader, LegacyVersionIsTextWithoutCount) {
  TMwRequestStreamPtr req = MakeProbeRequest();
  req->SetVersion(289);
  const std::string b = Encode(*req);
  EXPECT_EQ(b.substr(0, 4 + 12 + 7), B({0xBF, 0xFB, 0xAF, 0x0A}) + S("STANDARD") + S("289"));
  EXPECT_EQ(b.substr(23, 12), S("MW_QUERY"));  // header follows at once
  // 290..299: integer version, count, no unicode flag.
  req->SetVersion(295);
  const std::string c = Encode(*req);
  EXPECT_EQ(c.substr(0, 24), I32(kMwStreamIdentCurrent) + S("STANDARD") + I32(295) + I32(1));
}

TEST(MessageHeader, StreamVersionParamReplacesVersion) {
  TMwRequestStreamPtr req = MakeProbeRequest(4);
  TMwStrings params{"STREAMVERSION=200"};
  req->SetParams(&params);
  const std::string b = Encode(*req);
  // 200 is below 290: the legacy header with the version as text.
  EXPECT_EQ(b.substr(0, 23), I32(kMwStreamIdentLegacy) + S("STANDARD") + S("200"));
  EXPECT_EQ(req->Version(), 200);
  TMwRequestStreamPtr in = MakeRequestStream();
  in->LoadFromBytes(b);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->RequestID(), 4);  // written
  EXPECT_TRUE(in->Sync());        // not written: default
  EXPECT_EQ(in->Priority(), 128);
  // REQUESTID is the last header field before ATTRCOUNT at version 200.
  EXPECT_EQ(b.substr(23 + 12 + 10 + 11 + 16 + 4 + 14, 8), I32(4) + I32(0));
}

TEST(MessageHeader, NewerVersionStopsAtStateThree) {
  TMwResponseStreamPtr res = MakeProbeResponse();
  res->SetVersion(301);
  const std::string b = Encode(*res);
  TMwResponseStreamPtr in = MakeResponseStream();
  in->LoadFromBytes(b);
  EXPECT_FALSE(in->EnsureUnstreamState(5));
  EXPECT_EQ(in->UnstreamState(), 3);
  in->ResetStates();
  try {
    in->DecodeHeader();
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrInvalidVersion);
    EXPECT_STREQ(e.what(), "Invalid transport stream version. Please match client to server.");
  }
  EXPECT_EQ(in->UnstreamState(), 3);
}

TEST(MessageHeader, FailureTable) {
  struct Case {
    std::string bytes;
    int32_t code;
    const char* text;
  } cases[] = {
      {I32(0x12345678) + S("STANDARD"), kMwErrUnknownFormat,
       "Invalid/unknown transport stream format."},
      {I32(kMwStreamIdentCurrent) + S("STANDARD") + I32(300) + B({1}) + I32(1),
       kMwErrUnicodeStrings,
       "Transport stream contains unicode strings that this application do not support."},
  };
  for (const Case& c : cases) {
    TMwResponseStreamPtr in = MakeResponseStream();
    in->LoadFromBytes(c.bytes);
    try {
      in->EnsureUnstreamState(7);
      ADD_FAILURE() << c.text;
    } catch (const EMwTransportException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_STREQ(e.what(), c.text);
      EXPECT_EQ(in->UnstreamState(), 4);  // a step that raises keeps its number
    }
  }
  // The identifier read is not compared; a version 299 stream has no flag.
  TMwResponseStreamPtr in = MakeResponseStream();
  in->LoadFromBytes(I32(kMwStreamIdentCurrent) + S("OTHER") + I32(299) + I32(1));
  EXPECT_TRUE(in->EnsureUnstreamState(4));
  EXPECT_EQ(in->Identifier(), "OTHER");
}

TEST(StreamStates, StepsAndHooksRunInOrder) {
  // A request stream that logs its hooks.
  class Logged : public TMwStandardRequestTransportStream {
   public:
    std::string log;

   protected:
    void WriteEnvelopeStart() override { log += "ES "; }
    void BeforeWriteHeader() override { log += "BWH "; }
    void AfterWriteHeader() override { log += "AWH "; }
    void BeforeWriteBody() override { log += "BWB "; }
    void AfterWriteBody() override { log += "AWB "; }
    void WriteEnvelopeEnd() override { log += "EE "; }
    void BeforeCompress() override { log += "BC "; }
    void AfterCompress() override { log += "AC "; }
    void BeforeEncrypt() override { log += "BE "; }
    void AfterEncrypt() override { log += "AE "; }
    void BeforeSign() override { log += "BS "; }
    void AfterSign() override { log += "AS "; }
    void BeforeVerify() override { log += "BV "; }
    void AfterVerify() override { log += "AV "; }
    void BeforeDecrypt() override { log += "BD "; }
    void AfterDecrypt() override { log += "AD "; }
    void BeforeDecompress() override { log += "BX "; }
    void AfterDecompress() override { log += "AX "; }
    void ReadEnvelopeStart() override { log += "RS "; }
    void BeforeReadHeader() override { log += "BRH "; }
    void AfterReadHeader() override { log += "ARH "; }
    void BeforeReadBody() override { log += "BRB "; }
    void AfterReadBody() override { log += "ARB "; }
    void ReadEnvelopeEnd() override { log += "RE "; }
  };
  Logged s;
  s.SetMessageCount(1);
  EXPECT_TRUE(s.EnsureStreamState(4));
  EXPECT_EQ(s.log, "ES BWH AWH BWB AWB ");
  EXPECT_TRUE(s.EnsureStreamState(2));  // already past: nothing
  EXPECT_EQ(s.StreamState(), 4);
  EXPECT_TRUE(s.EnsureStreamState(8));
  EXPECT_EQ(s.log, "ES BWH AWH BWB AWB EE BC AC BE AE BS AS ");
  s.log.clear();
  EXPECT_TRUE(s.EnsureUnstreamState(7));
  EXPECT_EQ(s.log, "BV AV BD AD BX AX RS BRH ARH BRB ARB RE ");
}

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

TEST(Lifetime, ReferenceCountingFreesOnce) {
  // Count live instances through a subclass.
  static int live = 0;
  class Counted : public TMwStandardRequestTransportStream {
   public:
    Counted() { ++live; }
    ~Counted() override { --live; }
  };
  auto* s = new Counted();
  EXPECT_FALSE(s->IsReferenced());
  s->AddRef();
  s->AddRef();
  EXPECT_EQ(s->RefCount(), 2);
  EXPECT_FALSE(TMwCustomTransportStream::FreeIfUnreferenced(s));
  // Two threads each drop one reference; the last one frees.
  std::vector<std::thread> threads;
  std::atomic<int> freed{0};
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      if (s->Release() == 0 && TMwCustomTransportStream::FreeIfUnreferenced(s)) ++freed;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(freed.load(), 1);
  EXPECT_EQ(live, 0);

  // The handle frees an unreferenced stream, and leaves a referenced one to
  // its other holder.
  TMwCustomTransportStream* held = nullptr;
  {
    TMwTransportStreamPtr h(new Counted());
    held = h.get();
    held->AddRef();
  }
  EXPECT_EQ(live, 1);
  held->Release();
  EXPECT_TRUE(TMwCustomTransportStream::FreeIfUnreferenced(held));
  EXPECT_EQ(live, 0);
}

TEST(Lifetime, CloneCopiesEverythingAndCapsUnstreamState) {
  TMwResponseStreamPtr res = MakeProbeResponse(3);
  TMwMemoryStream data;
  data.Assign("dataset");
  res->AttachStreamByRef(&data);
  res->SetToken("tok");
  res->MutableAttributes() = {"X=1"};
  const std::string bytes = Encode(*res);
  TMwResponseStreamPtr in = MakeResponseStream();
  in->LoadFromBytes(bytes);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  in->AddRef();
  TMwTransportStreamPtr copy(in->Clone());
  in->Release();
  auto* c = dynamic_cast<TMwStandardResponseTransportStream*>(copy.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->RefCount(), 0);
  EXPECT_EQ(c->UnstreamState(), 3);
  EXPECT_EQ(c->Buffer().ToString(), bytes);
  EXPECT_EQ(c->Token(), "tok");
  EXPECT_EQ(c->Result(), res->Result());
  EXPECT_EQ(c->Attributes(), in->Attributes());
  EXPECT_EQ(c->MessageID(), in->MessageID());
  ASSERT_TRUE(c->OwnsAttachedStream());
  EXPECT_EQ(c->AttachedStream()->ToString(), "dataset");
  // The copy decodes again from state 3.
  ASSERT_TRUE(c->EnsureUnstreamState(7));
  EXPECT_EQ(c->RequestID(), 3);
}

TEST(Controller, StandardAnswers) {
  const auto& c = TMwStandardTransportStreamController::Instance();
  EXPECT_EQ(c.GetIdentifier(), "STANDARD");
  EXPECT_EQ(c.GetVersion(), 300);
  EXPECT_EQ(c.GetSubjectVersion(), 1);
  EXPECT_TRUE(c.SupportsRequestResponse());
  EXPECT_TRUE(c.SupportsMessaging());
  EXPECT_FALSE(c.HasMatchFunction());
  struct Case {
    int type;
    uint8_t message_type;
  } cases[] = {{0, 4}, {1, 1}, {2, 2}, {3, 1}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}};
  for (const Case& k : cases) {
    TMwTransportStreamPtr s = c.CreateStream(k.type);
    EXPECT_EQ(s->MessageType(), k.message_type) << k.type;
    EXPECT_EQ(&s->Controller(), &c);
  }
  EXPECT_EQ(c.GetStreamClass(10), nullptr);
  try {
    c.CreateStream(10);
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrUnsupportedMessageType);
    EXPECT_STREQ(e.what(), "STANDARD do not support messagetype 'mwmtUnknown (10)'");
  }
  EXPECT_EQ(MwMessageTypeName(3), "mwmtServiceCall");
  EXPECT_EQ(MwMessageTypeName(256), "mwmtUnknown (256)");
}

TEST(Controller, AbstractOperationsRaise) {
  TMwCustomTransportStreamController abstract;
  struct Case {
    std::function<void()> call;
    const char* text;
  } cases[] = {
      {[&] { abstract.GetIdentifier(); }, "Transport stream identifier not defined."},
      {[&] { abstract.GetVersion(); }, "Transport stream version not defined."},
      {[&] { abstract.GetSubjectVersion(); }, "Transport stream subject version not defined."},
      {[&] { abstract.CreateFormatter(nullptr, nullptr, nullptr); },
       "Transport stream GetStreamFormatterClass not defined."},
      {[&] { abstract.HasMatchFunction(); }, "Transport stream match function not defined."},
      {[&] { abstract.GetStreamClass(1); }, "Transport stream do not support GetStreamClass."},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.text;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrNotDefined);
      EXPECT_STREQ(e.what(), c.text);
    }
  }
  // Stream classes without a controller or a message type.
  class NoController : public TMwCustomRequestTransportStream {
   public:
    NoController() : TMwCustomRequestTransportStream(nullptr, 1, nullptr, nullptr) {}
    TMwCustomTransportStream* Clone() const override { return nullptr; }
  };
  try {
    NoController s;
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrNoController);
    EXPECT_STREQ(e.what(), "Transport stream controller not defined");
  }
  class NoType : public TMwCustomTransportStream {
   public:
    NoType()
        : TMwCustomTransportStream(&TMwStandardTransportStreamController::Instance(), 0, nullptr,
                                   nullptr) {}
    TMwCustomTransportStream* Clone() const override { return nullptr; }
  };
  NoType n;
  try {
    n.GetMessageType();
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrNotDefined);
    EXPECT_STREQ(e.what(), "GetMessageType not defined");
  }
}

TEST(Subject, PrefixesAndCodes) {
  using C = TMwCustomTransportStreamController;
  EXPECT_EQ(C::SubjectToMessageType("req.DEFAULT.x"), 1);
  EXPECT_EQ(C::SubjectToMessageType("QUE.x"), 9);
  EXPECT_EQ(C::SubjectToMessageType("XYZ.x"), 0);
  EXPECT_EQ(C::SubjectToMessageType("RE"), 0);
  EXPECT_EQ(C::MessageTypeToSubject(2, "abc"), "RES.abc");
  EXPECT_EQ(C::MessageTypeToSubject(0, "abc"), "abc");
  try {
    C::MessageTypeToSubject(10, "abc");
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrUnsupportedMessageType);
    EXPECT_STREQ(e.what(), "Unknown messagetype.");
  }
  EXPECT_EQ(C::StreamToSubject(*MakeRequestStream(), "x"), "REQ.x");
  EXPECT_EQ(C::StreamToSubject(*MakeResponseStream(), "x"), "RES.x");
  try {
    C::StreamToSubject(TMwStandardCacheTransportStream(), "x");
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrUnknownStreamClass);
    EXPECT_STREQ(e.what(), "Unknown stream class. Cannot generate subject.");
  }
  EXPECT_EQ(C::MessageTypeToCode(1), "REQ");
  EXPECT_EQ(C::MessageTypeToCode(9), "QUE");
  EXPECT_EQ(C::MessageTypeToCode(0), "");
  EXPECT_EQ(C::CodeToMessageType("USB"), 6);
  EXPECT_EQ(C::CodeToMessageType("usb"), 0);  // exact match only
  const auto& std_c = TMwStandardTransportStreamController::Instance();
  EXPECT_EQ(std_c.StreamClassForSubject("RES.x"), std_c.GetStreamClass(2));
  EXPECT_EQ(MwComposeRequestSubject("DEFAULT", "00ABCDEF12", "MW.Q*", "MW_1.0", "EX>E", 42, true),
            "REQ.DEFAULT.00ABCDEF12.MW_Q_.MW_1_0.EX_E.42.SYNC");
  EXPECT_EQ(MwComposeRequestSubject("D", "I", "S", "V", "F", 0, false), "REQ.D.I.S.V.F.0.ASYNC");
}

TEST(Subject, BinaryHeaderRoundTripAndRefusals) {
  const auto& c = TMwStandardTransportStreamController::Instance();
  TMwSubjectHeader h;
  h.Subject = "REQ.a";
  h.Hops = "h";
  h.Trace = "";
  h.SubjectData = "dd";
  h.Priority = 9;
  h.QoS = 2;
  h.HopCount = 0x0102;
  h.MaxHopCount = 0x0304;
  TMwMemoryStream buf;
  c.WriteSubjectHeader(buf, h);
  EXPECT_EQ(Hex(buf.ToString()),
            Hex(B({8, 0, 1, 0, 9, 2, 2, 1, 4, 3, 5, 0, 1, 0, 0, 0, 2, 0}) + "REQ.ahdd"));
  buf.Rewind();
  TMwSubjectHeader r;
  ASSERT_TRUE(c.ReadSubjectHeader(buf, &r));
  EXPECT_EQ(r.Subject, "REQ.a");
  EXPECT_EQ(r.Hops, "h");
  EXPECT_EQ(r.SubjectData, "dd");
  EXPECT_EQ(r.Priority, 9);
  EXPECT_EQ(r.HopCount, 0x0102);

  // Total 0, above 4096, or lengths that do not add up: refused, strings empty.
  for (const std::string& bad :
       {B({0, 0, 1, 0, 9, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
        B({0x01, 0x10, 1, 0, 9, 2, 0, 0, 0, 0, 0x01, 0x10, 0, 0, 0, 0, 0, 0}) +
            std::string(4097, 'x'),
        B({4, 0, 1, 0, 9, 2, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0}) + "abcd"}) {
    TMwMemoryStream b2;
    b2.Assign(bad);
    TMwSubjectHeader x;
    x.Subject = "old";
    EXPECT_FALSE(c.ReadSubjectHeader(b2, &x));
    EXPECT_EQ(x.Subject, "");
  }
  TMwMemoryStream shortbuf;
  shortbuf.Assign(B({8, 0, 1}));
  EXPECT_THROW(c.ReadSubjectHeader(shortbuf, &r), EMwException);
  h.Subject = std::string(4097, 's');
  EXPECT_THROW(c.WriteSubjectHeader(buf, h), EMwException);
}

TEST(Registry, CaseInsensitiveLookupAndSelectionErrors) {
  auto& reg = TMwRegisteredTransportStreamList::Instance();
  EXPECT_EQ(reg.Find("standard"), &TMwStandardTransportStreamController::Instance());
  EXPECT_EQ(reg.Find("StAnDaRd"), &TMwStandardTransportStreamController::Instance());
  EXPECT_EQ(reg.Find("XML"), nullptr);
  EXPECT_EQ(&reg.Select("standard", true), &TMwStandardTransportStreamController::Instance());
  try {
    reg.Select("Binary", true);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Transport stream format Binary not registered for the middleware.");
  }
  // A format that supports messaging only.
  class MessagingOnly : public TMwStandardTransportStreamController {
   public:
    std::string GetIdentifier() const override { return "MsgOnly"; }
    bool SupportsRequestResponse() const override { return false; }
  };
  static const MessagingOnly messaging_only;
  reg.Register(&messaging_only);
  EXPECT_EQ(reg.Find("MSGONLY"), &messaging_only);
  EXPECT_EQ(&reg.Select("msgonly", false), &messaging_only);
  try {
    reg.Select("msgonly", true);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Transport stream format msgonly is not compatible with the transport type.");
  }
}

}  // namespace
}  // namespace tallyvox::mw

namespace tallyvox::mw {
namespace {

// The formatter of a stream takes its text conversion from the transport.
TEST(Transport, StringConversionComesFromTheTransport) {
  class LocaleTransport : public TMwCustomTransport {
   public:
    TMwStringConversion StringConversion() const override { return mwscLocale; }
    TMwFormatSettings FormatSettings() const override {
      TMwFormatSettings fs;
      fs.decimal_separator = ',';
      return fs;
    }
  } locale;
  TMwRequestStreamPtr req = MakeRequestStream(&locale);
  req->Args() = {Variant(2.5)};
  req->SetMessageCount(1);
  const std::string b = Encode(*req);
  EXPECT_NE(b.find(I32(varDouble) + S("2,5")), std::string::npos);
  // A reader under mwscFixed accepts the comma too (first ',' or '.').
  TMwRequestStreamPtr in = MakeRequestStream();
  in->LoadFromBytes(b);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_EQ(in->Args()[0], Variant(2.5));
}

// Decoding never writes into a stream the caller attached by reference.
TEST(Requests, DecodingReplacesAReferencedAttachedStream) {
  TMwRequestStreamPtr out = MakeProbeRequest();
  TMwMemoryStream payload;
  payload.Assign("incoming");
  out->AttachStreamByRef(&payload);
  const std::string b = Encode(*out);

  TMwMemoryStream mine;
  mine.Assign("caller's own bytes");
  TMwRequestStreamPtr in = MakeRequestStream();
  in->AttachStreamByRef(&mine);
  in->LoadFromBytes(b);
  ASSERT_TRUE(in->EnsureUnstreamState(7));
  EXPECT_TRUE(in->OwnsAttachedStream());
  EXPECT_EQ(in->AttachedStream()->ToString(), "incoming");
  EXPECT_EQ(mine.ToString(), "caller's own bytes");
}

TEST(StringList, NamesMatchWithoutCase) {
  TMwStrings p;
  p.SetText("MaxStringSize=10\r\nHOST=a\nempty=\r");
  ASSERT_EQ(p.Count(), 3u);
  EXPECT_EQ(p.Value("maxstringsize"), "10");
  EXPECT_EQ(p.IndexOfName("host"), 1);
  EXPECT_EQ(p.Find("EMPTY"), std::optional<std::string>(""));
  EXPECT_FALSE(p.Find("missing").has_value());
  p.SetValue("HOST", "b");
  EXPECT_EQ(p[1], "HOST=b");
  p.SetValue("host", "");
  EXPECT_EQ(p.Count(), 2u);
  p.SetValue("NEW", "1");
  EXPECT_EQ(p.Text(), "MaxStringSize=10\r\nempty=\r\nNEW=1\r\n");
}

}  // namespace
}  // namespace tallyvox::mw
