// Heap held by an idle session, and heap allocations per received PDU in the
// framer and dispatcher. Uses the counting operator new of CountingAlloc.cpp;
// the figures are counters, the timings of this binary mean nothing.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bench/CountingAlloc.h"
#include "bench/Fixtures.h"
#include "bench/Simulator.h"

namespace velmor::bench {
namespace {

// Heap bytes that `count` components hold on the client thread once
// connected, and once bound with one enquire_link round trip behind them. The
// simulator runs on its own thread, so none of its allocations is counted.
// One component is connected and destroyed first so that one-time costs of
// the loop (the reactor, its descriptor pool) are not charged to a session.
void BM_Heap_idle_session(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  TEventLoop loop;
  Simulator sim(true, loop);
  auto session = [&](TVelmorSMPPDemo& c, int& connected, int& idle) {
    c.OnConnect = [&](TObject*) { ++connected; };
    c.OnBind_RESP_OK = [&c](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) { c.Enquire_LINK(); };
    c.OnEnquire_LINK_RESP = [&idle](TObject*, Cardinal, Cardinal) { ++idle; };
  };
  {
    int connected = 0, idle = 0;
    TVelmorSMPPDemo warm(nullptr, loop);
    session(warm, connected, idle);
    warm.Connect("127.0.0.1", sim.port());
    loop.RunUntil([&] { return connected == 1; }, std::chrono::seconds(10));
    warm.Bind(Transceiver, "bench", "pw", "", 0, 0, "");
    loop.RunUntil([&] { return idle == 1; }, std::chrono::seconds(10));
  }
  loop.ProcessMessages();
  for (auto _ : state) {
    int connected = 0, idle = 0;
    std::vector<std::unique_ptr<TVelmorSMPPDemo>> cs;
    cs.reserve(count);
    const HeapCount before = ThreadHeap();
    for (int i = 0; i < count; ++i) {
      cs.push_back(std::make_unique<TVelmorSMPPDemo>(nullptr, loop));
      session(*cs.back(), connected, idle);
      cs.back()->Connect("127.0.0.1", sim.port());
    }
    if (!loop.RunUntil([&] { return connected == count; }, std::chrono::seconds(30)))
      state.SkipWithError("not every component connected");
    loop.ProcessMessages();
    const HeapCount at_connect = ThreadHeap();
    for (auto& c : cs) c->Bind(Transceiver, "bench", "pw", "", 0, 0, "");
    if (!loop.RunUntil([&] { return idle == count; }, std::chrono::seconds(30)))
      state.SkipWithError("not every session finished its enquire_link");
    loop.ProcessMessages();
    const HeapCount at_idle = ThreadHeap();
    state.counters["heap_connected_B"] = static_cast<double>(at_connect.live_bytes - before.live_bytes) / count;
    state.counters["heap_idle_bound_B"] = static_cast<double>(at_idle.live_bytes - before.live_bytes) / count;
    state.counters["allocs_to_idle"] = static_cast<double>(at_idle.allocations - before.allocations) / count;
    state.counters["sizeof_component_B"] = sizeof(TVelmorSMPPDemo);
    cs.clear();
    loop.ProcessMessages();
  }
}
BENCHMARK(BM_Heap_idle_session)->Arg(100)->Iterations(1);

// Allocations per PDU when one PDU kind arrives `kPdus` times in one block
// taken in 1,460-octet reads. range(0) 1: handlers assigned; 0: none. The
// counter `carried` is what the event's own values need (strings longer than
// the in-place capacity of std::string, and the unsuccess list); `extra` is
// what framing and dispatch add on top, which should be 0.
constexpr int kPdus = 1000;

void Allocations(benchmark::State& state, const std::string& pdu, double carried) {
  std::string block;
  for (int i = 0; i < kPdus; ++i) block += pdu;
  TEventLoop loop;
  Probe c(nullptr, loop);
  Sink sink;
  const bool handlers = state.range(0) != 0;
  if (handlers) sink.Assign(c);
  auto feed = [&] {
    for (std::size_t off = 0; off < block.size(); off += 1460)
      c.ReceiveOctets(std::string_view(block).substr(off, 1460));
  };
  feed();  // the receive buffer reaches its working size here
  for (auto _ : state) {
    const HeapCount before = ThreadHeap();
    feed();
    const HeapCount after = ThreadHeap();
    const double per = static_cast<double>(after.allocations - before.allocations) / kPdus;
    state.counters["allocs_per_pdu"] = per;
    state.counters["carried"] = handlers ? carried : 0;
    state.counters["extra"] = per - (handlers ? carried : 0);
  }
  benchmark::DoNotOptimize(sink.sum);
}

// deliver_sm: short_message (104 octets). data_sm: message_payload (120).
// submit_multi_resp: the list. submit_sm_resp: a 7-octet id, in place.
void BM_Allocs_deliver_sm_receipt(benchmark::State& s) { Allocations(s, DeliverReceipt(), 1); }
void BM_Allocs_data_sm_5tlv(benchmark::State& s) { Allocations(s, DataSm(), 1); }
void BM_Allocs_submit_sm_resp(benchmark::State& s) { Allocations(s, SubmitSmResp(), 0); }
void BM_Allocs_submit_multi_resp_5(benchmark::State& s) { Allocations(s, SubmitMultiResp(), 1); }
void BM_Allocs_enquire_link_resp(benchmark::State& s) { Allocations(s, EnquireLinkResp(), 0); }
BENCHMARK(BM_Allocs_deliver_sm_receipt)->ArgName("handlers")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_Allocs_data_sm_5tlv)->ArgName("handlers")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_Allocs_submit_sm_resp)->ArgName("handlers")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_Allocs_submit_multi_resp_5)->ArgName("handlers")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_Allocs_enquire_link_resp)->ArgName("handlers")->Arg(0)->Arg(1)->Iterations(1);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
