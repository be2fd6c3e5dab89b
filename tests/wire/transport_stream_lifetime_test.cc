// Transport stream lifetime (reference counts, clones), the stream
// controller and its registry, subject headers, the transport's text
// conversion and string lists.
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
