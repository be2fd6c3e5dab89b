// Encode plus decode of the probe request and of its EXECUTE response.
// Reports time per message and bytes per second (MB/s of encoded message).
#include <benchmark/benchmark.h>

#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"

using namespace tallyvox::mw;

namespace {

void FillProbeRequest(TMwStandardRequestTransportStream& req) {
  req.SetServiceName("MW_QUERY");
  req.SetServiceVersion("MW_1.0");
  req.SetFunction("EXECUTE");
  req.SetStateID(-1);
  req.SetData(Variant::String("COMMON"));
  req.SetRequestID(1);
  req.Args() = {Variant("select * from ufile7"), Variant("*"), Variant("*")};
  req.SetMessageCount(1);
}

void FillProbeResponse(TMwStandardResponseTransportStream& res) {
  res.SetOK("");
  res.SetStateID(-1);
  res.SetData(Variant::String("COMMON"));
  res.SetRequestID(1);
  res.SetResult(Variant::Array(
      varVariant, 0, {Variant(1), Variant::Array(varVariant, 0, {Variant::Null()}), Variant(0)}));
  res.SetMessageCount(1);
}

void BM_ProbeRequestEncodeDecode(benchmark::State& state) {
  int64_t bytes = 0;
  for (auto _ : state) {
    TMwRequestStreamPtr req = MakeRequestStream();
    FillProbeRequest(*req);
    req->EnsureStreamState(8);
    TMwRequestStreamPtr in = MakeRequestStream();
    in->LoadFromBytes(req->Buffer().Data(), static_cast<size_t>(req->BufferSize()));
    in->EnsureUnstreamState(7);
    benchmark::DoNotOptimize(in->Args().size());
    bytes += req->BufferSize();
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProbeRequestEncodeDecode);

void BM_ProbeResponseEncodeDecode(benchmark::State& state) {
  int64_t bytes = 0;
  for (auto _ : state) {
    TMwResponseStreamPtr res = MakeResponseStream();
    FillProbeResponse(*res);
    res->EnsureStreamState(8);
    TMwResponseStreamPtr in = MakeResponseStream();
    in->LoadFromBytes(res->Buffer().Data(), static_cast<size_t>(res->BufferSize()));
    in->DecodeHeader();
    in->EnsureUnstreamState(7);
    benchmark::DoNotOptimize(in->Result().Items().size());
    bytes += res->BufferSize();
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProbeResponseEncodeDecode);

// The same request, streams reused (no stream construction per message).
void BM_ProbeRequestEncodeDecodeReused(benchmark::State& state) {
  TMwStandardRequestTransportStream req, in;
  FillProbeRequest(req);
  int64_t bytes = 0;
  for (auto _ : state) {
    req.ResetStates();
    req.EnsureStreamState(8);
    in.LoadFromBytes(req.Buffer().Data(), static_cast<size_t>(req.BufferSize()));
    in.EnsureUnstreamState(7);
    benchmark::DoNotOptimize(in.Args().size());
    bytes += req.BufferSize();
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProbeRequestEncodeDecodeReused);

}  // namespace

BENCHMARK_MAIN();
