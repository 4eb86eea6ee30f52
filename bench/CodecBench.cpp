// Building request PDUs, decoding and dispatching received ones, and framing
// throughput: the component's CPU paths without a network.
#include <benchmark/benchmark.h>

#include "bench/Fixtures.h"

namespace velmor::bench {
namespace {

// ---- building --------------------------------------------------------------

void BM_Build_submit_sm(benchmark::State& state) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  const SubmitSmArgs args;
  AnsiString pdu;
  Cardinal seq = 0;
  for (auto _ : state) {
    args.Format(c, pdu, seq);
    benchmark::DoNotOptimize(pdu.data());
    benchmark::ClobberMemory();
  }
  state.counters["octets"] = static_cast<double>(pdu.size());
}
BENCHMARK(BM_Build_submit_sm);

void BM_Build_data_sm(benchmark::State& state) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  const AnsiString service_type = "WAP", src = "VELMOR", dst = "447700900123";
  TOPData_SM op{};
  op.message_payload = {true, AnsiString(1024, 'p')};
  AnsiString pdu;
  Cardinal seq = 0;
  for (auto _ : state) {
    c.FormatDATA_SM(pdu, seq, service_type, 1, 1, src, 1, 1, dst, 0, 1, 4, op);
    benchmark::DoNotOptimize(pdu.data());
    benchmark::ClobberMemory();
  }
  state.counters["octets"] = static_cast<double>(pdu.size());
}
BENCHMARK(BM_Build_data_sm);

void BM_Build_submit_multi(benchmark::State& state) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  const AnsiString service_type = "", src = "VELMOR", none = "";
  const AnsiString text(100, 'x');
  Tdest_address dests;
  for (int i = 0; i < 10; ++i) c.dest_address_AddSME(dests, 1, 1, "4477009001" + std::to_string(10 + i));
  TOPSubmit_MULTI op{};
  AnsiString pdu;
  Cardinal seq = 0;
  for (auto _ : state) {
    c.FormatSUBMIT_MULTI(pdu, seq, service_type, 1, 1, src, dests, 0, 0, 0, none, none, 1, 0, 0, 0, text, op);
    benchmark::DoNotOptimize(pdu.data());
    benchmark::ClobberMemory();
  }
  state.counters["octets"] = static_cast<double>(pdu.size());
}
BENCHMARK(BM_Build_submit_multi);

void BM_Build_bind(benchmark::State& state) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  const AnsiString system_id = "velmor01", password = "secret", system_type = "BENCH", range = "";
  AnsiString pdu;
  Cardinal seq = 0;
  for (auto _ : state) {
    c.FormatBIND(pdu, seq, Transceiver, system_id, password, system_type, 0x34, 1, 1, range);
    benchmark::DoNotOptimize(pdu.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Build_bind);

void BM_Build_enquire_link(benchmark::State& state) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  AnsiString pdu;
  Cardinal seq = 0;
  for (auto _ : state) {
    c.FormatENQUIRE_LINK(pdu, seq);
    benchmark::DoNotOptimize(pdu.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Build_enquire_link);

// ---- decode and dispatch: one received PDU per call, handlers assigned ------

void BM_Dispatch_deliver_sm_receipt(benchmark::State& s) { Dispatch(s, DeliverReceipt()); }
void BM_Dispatch_data_sm_5tlv(benchmark::State& s) { Dispatch(s, DataSm()); }
void BM_Dispatch_submit_sm_resp(benchmark::State& s) { Dispatch(s, SubmitSmResp()); }
void BM_Dispatch_submit_multi_resp_5(benchmark::State& s) { Dispatch(s, SubmitMultiResp()); }
BENCHMARK(BM_Dispatch_deliver_sm_receipt);
BENCHMARK(BM_Dispatch_data_sm_5tlv);
BENCHMARK(BM_Dispatch_submit_sm_resp);
BENCHMARK(BM_Dispatch_submit_multi_resp_5);

// ---- framing throughput over 1 MiB of mixed PDUs -----------------------------
// range(0): octets per ReceiveOctets call (0: the whole block at once);
// range(1): 1 with the handlers assigned, 0 without (framing and decoding of
// the header only: a decoder with no handler returns before the body).

void BM_Framing(benchmark::State& state) {
  std::size_t pdus = 0;
  const std::string block = MixedBlock(1 << 20, &pdus);
  const std::size_t read = state.range(0) == 0 ? block.size() : static_cast<std::size_t>(state.range(0));
  TEventLoop loop;
  Probe c(nullptr, loop);
  Sink sink;
  if (state.range(1)) sink.Assign(c);
  for (auto _ : state) {
    for (std::size_t off = 0; off < block.size(); off += read)
      c.ReceiveOctets(std::string_view(block).substr(off, read));
  }
  if (state.range(1) && sink.events != static_cast<std::size_t>(state.iterations()) * pdus)
    state.SkipWithError("not every PDU reached its handler");
  benchmark::DoNotOptimize(sink.sum);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
  state.counters["PDUs/s"] =
      benchmark::Counter(static_cast<double>(pdus), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Framing)->ArgNames({"read", "handlers"})->ArgsProduct({{0, 1460}, {0, 1}});

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
