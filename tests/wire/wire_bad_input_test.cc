// Decoders against truncated, corrupted and lying input: every failure is an
// exception, nothing is read out of bounds (run under ASan), and no length
// field is trusted for an allocation before its bytes have arrived.
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "middleware/wire/message_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/transport_stream.h"
#include "wire/wire_test_util.h"

// Records, while armed, the largest single allocation and the peak of the
// bytes allocated and not yet freed since arming (blocks freed during the
// measurement that were allocated before it count against that peak, which
// only lowers it). Replacing the global allocation functions is allowed by
// the language and by ASan, which still checks the underlying malloc/free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<bool> g_track{false};
std::atomic<size_t> g_largest{0};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void Arm() {
  g_largest = 0;
  g_live = 0;
  g_peak = 0;
  g_track = true;
}

void Disarm() { g_track = false; }

void Freed(void* p) {
  if (p != nullptr && g_track.load(std::memory_order_relaxed)) {
    g_live -= static_cast<int64_t>(malloc_usable_size(p));
  }
  std::free(p);
}
}  // namespace

void* operator new(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  if (g_track.load(std::memory_order_relaxed)) {
    size_t prev = g_largest.load();
    while (n > prev && !g_largest.compare_exchange_weak(prev, n)) {
    }
    const int64_t live = g_live += static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { Freed(p); }
void operator delete[](void* p) noexcept { Freed(p); }
void operator delete(void* p, size_t) noexcept { Freed(p); }
void operator delete[](void* p, size_t) noexcept { Freed(p); }

namespace tallyvox::mw {
namespace {

using wiretest::B;
using wiretest::Encode;
using wiretest::I32;
using wiretest::MakeProbeRequest;
using wiretest::MakeProbeResponse;
using wiretest::S;

enum class Kind { kRequest, kResponse, kMessage };

// Decodes `bytes` completely as `kind`; rethrows what the decoder raises.
void DecodeAll(Kind kind, const std::string& bytes) {
  TMwTransportStreamPtr s;
  switch (kind) {
    case Kind::kRequest:
      s.reset(new TMwStandardRequestTransportStream());
      break;
    case Kind::kResponse:
      s.reset(new TMwStandardResponseTransportStream());
      break;
    case Kind::kMessage:
      s.reset(new TMwStandardMessageTransportStream());
      break;
  }
  s->LoadFromBytes(bytes);
  if (!s->BeginReading()) throw std::runtime_error("newer version");
  while (s->NextMessage()) s->EnsureUnstreamState(7);
}

struct Sample {
  const char* name;
  Kind kind;
  std::string bytes;
};

std::vector<Sample> Samples() {
  std::vector<Sample> out;
  auto req = MakeProbeRequest(3);
  req->MutableAttributes() = {"A=1"};
  out.push_back({"request300", Kind::kRequest, Encode(*req)});
  req->SetVersion(289);
  out.push_back({"request289", Kind::kRequest, Encode(*req)});
  req->SetVersion(100);
  out.push_back({"request100", Kind::kRequest, Encode(*req)});
  auto res = MakeProbeResponse(3);
  TMwMemoryStream rows;
  rows.Assign("rows of a dataset");
  res->AttachStreamByRef(&rows);
  res->SetResult(Variant::Array(
      varVariant, 0,
      {Variant(1), Variant::ByteArray(0, {1, 2, 3}), Variant(0.25), Variant::WideString("\xC3\xA9"),
       Variant::DateTime(45000.5), Variant(true), Variant::Integer(varInt64, 1LL << 40)}));
  out.push_back({"response300", Kind::kResponse, Encode(*res)});
  auto err = MakeResponseStream();
  err->SetError(100100, "Service 'MW_QUERY' not available");
  err->SetMessageCount(1);
  out.push_back({"error", Kind::kResponse, Encode(*err)});
  TMwStandardMessageTransportStream msg;
  msg.SetMessageCount(2);
  msg.Args() = {Variant("a")};
  msg.EnsureStreamState(4);
  msg.SetStreamState(2);
  msg.EnsureStreamState(8);
  out.push_back({"messages", Kind::kMessage, msg.Buffer().ToString()});
  return out;
}

TEST(BadInput, EveryTruncatedPrefixRaisesStreamReadError) {
  for (const Sample& sample : Samples()) {
    ASSERT_NO_THROW(DecodeAll(sample.kind, sample.bytes)) << sample.name;
    for (size_t n = 0; n < sample.bytes.size(); ++n) {
      try {
        DecodeAll(sample.kind, sample.bytes.substr(0, n));
        ADD_FAILURE() << sample.name << ": prefix of " << n << " bytes decoded";
      } catch (const EMwException& e) {
        EXPECT_EQ(e.ErrorCode(), kMwErrStreamRead) << sample.name << " at " << n;
        EXPECT_STREQ(e.what(), "Stream read error");
      }
    }
  }
}

TEST(BadInput, CorruptedBytesAtEveryPositionFailCleanly) {
  int failures = 0, decoded = 0;
  for (const Sample& sample : Samples()) {
    for (size_t i = 0; i < sample.bytes.size(); ++i) {
      for (int value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        std::string bad = sample.bytes;
        if (static_cast<unsigned char>(bad[i]) == value) continue;
        bad[i] = static_cast<char>(value);
        try {
          DecodeAll(sample.kind, bad);
          ++decoded;
        } catch (const std::exception&) {
          ++failures;
        }
      }
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_GT(decoded, 0);  // e.g. a changed character inside a text
}

// Each case is a short message whose length field claims about 2 GB.
TEST(BadInput, HugeClaimedLengthsFailBeforeAllocating) {
  const std::string header =
      I32(kMwStreamIdentCurrent) + S("STANDARD") + I32(300) + B({0}) + I32(1);
  const std::string huge = I32(0x7FFFFFF0);
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"service name", header + huge + "abc"},
      {"variant string", header + S("S") + S("V") + S("F") + S("") + S("") + S("") + S("") +
                             I32(-1) + I32(varString) + huge + "x"},
      {"variant array", header + S("") + S("") + S("") + S("") + S("") + S("") + S("") + I32(0) +
                            I32(0x200C) + I32(1) + I32(0) + I32(0x7FFFFFFE)},
      {"array span overflow", header + S("") + S("") + S("") + S("") + S("") + S("") + S("") +
                                  I32(0) + I32(0x200C) + I32(1) + I32(-2147483647 - 1) +
                                  I32(0x7FFFFFFF)},
      {"byte array", header + S("") + S("") + S("") + S("") + S("") + S("") + S("") + I32(0) +
                         I32(0x2011) + I32(1) + I32(0) + I32(0x7FFFFFFE) + "ab"},
      {"attribute count", header + S("") + S("") + S("") + S("") + S("") + S("") + S("") + I32(0) +
                              I32(0) + I32(0) + B({1}) + I32(128) + I32(0x7FFFFFFF) + S("a")},
      {"argument count", header + S("") + S("") + S("") + S("") + S("") + S("") + S("") + I32(0) +
                             I32(0) + I32(0) + B({1}) + I32(128) + I32(0) + I32(0x7FFFFFFF)},
      {"stream section", header + S("") + S("") + S("") + S("") + S("") + S("") + S("") + I32(0) +
                             I32(0) + I32(0) + B({1}) + I32(128) + I32(0) + I32(0) + huge + huge},
  };
  for (const Case& c : cases) {
    Arm();
    try {
      DecodeAll(Kind::kRequest, c.bytes);
      ADD_FAILURE() << c.what << " decoded";
    } catch (const EMwException& e) {
      EXPECT_TRUE(e.ErrorCode() == kMwErrStreamRead || e.ErrorCode() == kMwErrArraySize)
          << c.what << ": " << e.what();
    }
    Disarm();
    EXPECT_LT(g_largest.load(), size_t{1} << 16) << c.what;
  }
  // Control: the tracker does see a large string that really arrived.
  TMwMemoryStream buf;
  buf.Assign(S(std::string(200000, 'x')));
  TMwStandardTransportStreamFormatter f(nullptr, &buf, nullptr);
  Arm();
  const std::string big = f.ReadString("S");
  Disarm();
  EXPECT_GE(g_largest.load(), big.size());
}

// The frames that claim the most decoded memory per byte: lists of empty
// values, 4 bytes each on the wire and a Variant (or a string) each in
// memory. Whatever decodes stays within MwDecodeBudget of its frame's size;
// what would not is refused with "Stream read error" before the memory is
// taken.
std::string ResponseHeaderBytes() {
  return I32(kMwStreamIdentCurrent) + S("STANDARD") + I32(300) + B({0}) + I32(1) + I32(0) + S("") +
         I32(0) + S("") + I32(-1) + I32(varEmpty) + I32(7) + B({1}) + I32(128) + I32(0);
}
std::string RequestHeaderBytes(int32_t attributes) {
  std::string bytes = I32(kMwStreamIdentCurrent) + S("STANDARD") + I32(300) + B({0}) + I32(1);
  for (int i = 0; i < 7; ++i) bytes += S("");
  bytes += I32(-1) + I32(varEmpty) + I32(7) + B({1}) + I32(128) + I32(attributes);
  for (int32_t i = 0; i < attributes; ++i) bytes += S("");
  return bytes;
}
std::string Empties(int64_t count) {
  std::string bytes;
  for (int64_t i = 0; i < count; ++i) bytes += I32(varEmpty);
  return bytes;
}
std::string ResultOfEmpties(int64_t count) {
  return ResponseHeaderBytes() + I32(0x200C) + I32(1) + I32(0) +
         I32(static_cast<int32_t>(count - 1)) + Empties(count) + I32(0);
}

TEST(BadInput, DecodedMemoryStaysWithinTheBudgetOfTheMessage) {
  // The largest RESULT array whose elements the budget of its own frame
  // allows.
  const int64_t element = sizeof(Variant);
  int64_t most = 0;
  while ((most + 1) * element <=
         MwDecodeBudget(static_cast<int64_t>(ResultOfEmpties(most + 1).size()))) {
    ++most;
  }
  constexpr int32_t kMany = 250000;  // a 1 MB frame
  struct Case {
    const char* what;
    Kind kind;
    std::string bytes;
    bool decodes;
  } cases[] = {
      {"result array at the budget", Kind::kResponse, ResultOfEmpties(most), true},
      {"result array one past it", Kind::kResponse, ResultOfEmpties(most + 1), false},
      {"result array of a 1 MB frame", Kind::kResponse, ResultOfEmpties(kMany), false},
      {"arguments of a 1 MB frame", Kind::kRequest,
       RequestHeaderBytes(0) + I32(kMany) + Empties(kMany) + I32(0), false},
      {"attributes of a 1 MB frame", Kind::kRequest, RequestHeaderBytes(kMany) + I32(0) + I32(0),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TMwTransportStreamPtr stream;
    if (c.kind == Kind::kRequest) {
      stream.reset(new TMwStandardRequestTransportStream());
    } else {
      stream.reset(new TMwStandardResponseTransportStream());
    }
    stream->LoadFromBytes(c.bytes);
    Arm();
    bool decoded = false;
    try {
      decoded = stream->EnsureUnstreamState(kMwUnstreamStateLast);
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrStreamRead) << e.what();
    }
    Disarm();
    EXPECT_EQ(decoded, c.decodes);
    // Beside the budget: the allocator's rounding and the stream's own
    // small objects.
    constexpr int64_t kOverhead = 8 << 10;
    EXPECT_LE(g_peak.load(), MwDecodeBudget(static_cast<int64_t>(c.bytes.size())) + kOverhead);
    if (!c.decodes) {
      EXPECT_LT(g_largest.load(), size_t{1} << 16);
    }
  }
}

TEST(BadInput, NegativeLengthsAreRefused) {
  TMwMemoryStream buf;
  TMwStandardTransportStreamFormatter f(nullptr, &buf, nullptr);
  buf.Assign(I32(-1) + "abcd");
  EXPECT_THROW(f.ReadString("S"), EMwException);
  buf.Assign(I32(-5));
  TMwMemoryStream target;
  EXPECT_THROW(f.ReadStream("STREAM", target), EMwException);
  // high < low - 1 is not an array.
  buf.Assign(I32(0x200C) + I32(1) + I32(5) + I32(2));
  EXPECT_THROW(f.ReadVariant("V"), EMwException);
  buf.Assign(I32(0x2011) + I32(1) + I32(5) + I32(2));
  EXPECT_THROW(f.ReadVariant("V"), EMwException);
}

TEST(BadInput, LegacyVersionTextMustBeANumber) {
  DecodeAll(Kind::kRequest, Encode(*[] {
              auto r = MakeProbeRequest();
              r->SetVersion(250);
              return r;
            }()));
  const std::string bad = I32(kMwStreamIdentLegacy) + S("STANDARD") + S("2x0");
  EXPECT_THROW(DecodeAll(Kind::kRequest, bad), EConvertError);
}

}  // namespace
}  // namespace tallyvox::mw
