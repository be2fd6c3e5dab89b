// The transport stream's message layouts: golden request and response bytes,
// every version's round trip and defaults, the message header, and the
// encoding states with their hooks.
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

using namespace wiretest;  // NOLINT: the byte helpers of every wire test

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

}  // namespace
}  // namespace tallyvox::mw
