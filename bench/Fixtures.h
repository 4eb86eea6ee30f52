// Shared by the benchmarks: a component with its internal seams opened, the
// received PDUs they decode, and process measurements.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/Pdu.h"
#include "component/Velmorsmppdemo.h"
#include "pdu/Body.h"

namespace velmor::bench {

struct Probe : TVelmorSMPPDemo {
  using TVelmorSMPPDemo::FormatBIND;
  using TVelmorSMPPDemo::FormatDATA_SM;
  using TVelmorSMPPDemo::FormatENQUIRE_LINK;
  using TVelmorSMPPDemo::FormatSUBMIT_MULTI;
  using TVelmorSMPPDemo::FormatSUBMIT_SM;
  using TVelmorSMPPDemo::ReceiveOctets;
  using TVelmorSMPPDemo::TVelmorSMPPDemo;
};

inline constexpr std::string_view kReceiptText =
    "id:1234567 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD err:000 text:Hello";

// A delivery receipt as an SMSC sends it: receipt text in short_message,
// receipted_message_id and message_state as TLVs.
inline std::string DeliverReceipt(Cardinal seq = 7) {
  TOPDeliver_SM tlvs;
  tlvs.receipted_message_id = {true, std::string("1234567\0", 8)};
  tlvs.message_state = {true, 2};
  const pdu::DeliverSm b{
      {}, {1, 1, "447700900123"}, {0, 0, "VELMOR"}, {0x04, 0, 0, {}, {}, 0, 0, 0, 0, {0, kReceiptText}}, {&tlvs, {}}};
  return pdu::build(command_id::deliver_sm, 0, seq, b);
}

// data_sm from the SMSC with five TLVs, one of them a 120-octet payload.
inline std::string DataSm(Cardinal seq = 8) {
  TOPData_SM tlvs;
  tlvs.source_port = {true, 9200};
  tlvs.destination_port = {true, 2948};
  tlvs.sar_msg_ref_num = {true, 42};
  tlvs.sar_total_segments = {true, 1};
  tlvs.message_payload = {true, std::string(120, 'p')};
  const pdu::DataSm b{"WAP", {1, 1, "447700900123"}, {0, 0, "VELMOR"}, 0, 0, 0x04, {&tlvs, {}}};
  return pdu::build(command_id::data_sm, 0, seq, b);
}

inline std::string SubmitSmResp(Cardinal seq = 9) {
  return pdu::build(command_id::submit_sm_resp, 0, seq, pdu::MessageIdResp{"1234567"});
}

inline std::string SubmitMultiResp(Cardinal seq = 10) {
  std::string names[5];
  std::vector<pdu::Unsuccess> failed;
  for (int i = 0; i < 5; ++i) {
    names[i] = "44770090010" + std::to_string(i);
    failed.push_back({{1, 1, names[i]}, 0x0B});
  }
  return pdu::build(command_id::submit_multi_resp, 0, seq,
                    pdu::SubmitMultiRespT<std::vector<pdu::Unsuccess>>{"1234567", {&failed}});
}

inline std::string EnquireLink(Cardinal seq = 11) { return codec::build_pdu(command_id::enquire_link, 0, seq, {}, {}); }
inline std::string EnquireLinkResp(Cardinal seq = 12) {
  return codec::build_pdu(command_id::enquire_link_resp, 0, seq, {}, {});
}

// At least `size` octets of whole PDUs of every kind above, in rotation.
inline std::string MixedBlock(std::size_t size, std::size_t* pdus = nullptr) {
  const std::string kinds[] = {SubmitSmResp(), DeliverReceipt(),  EnquireLinkResp(),
                               DataSm(),       SubmitMultiResp(), EnquireLink()};
  std::string out;
  out.reserve(size + 512);
  std::size_t n = 0;
  while (out.size() < size) out += kinds[n++ % 6];
  if (pdus) *pdus = n;
  return out;
}

// Handlers that read every argument and keep a running sum, so that nothing
// the decoder produced can be optimised away. They allocate nothing.
struct Sink {
  std::size_t sum = 0;
  std::size_t events = 0;
  void Assign(TVelmorSMPPDemo& c) {
    c.OnDeliver_SM = [this](TObject*, Cardinal seq, AnsiString st, Byte, Byte, AnsiString src, Byte, Byte,
                            AnsiString dst, Byte esm, Byte, Byte, AnsiString sdt, AnsiString vp, Byte, Byte, Byte, Byte,
                            Byte sm_length, AnsiString sm, TOPDeliver_SM op) {
      sum += seq + st.size() + src.size() + dst.size() + esm + sdt.size() + vp.size() + sm_length + sm.size() +
             op.receipted_message_id.Value.size() + op.message_state.Value;
      ++events;
    };
    c.OnData_SM = [this](TObject*, Cardinal seq, AnsiString st, Byte, Byte, AnsiString src, Byte, Byte, AnsiString dst,
                         Byte, Byte, Byte dc, TOPData_SM op) {
      sum += seq + st.size() + src.size() + dst.size() + dc + op.source_port.Value + op.message_payload.Value.size() +
             op.sar_total_segments.Value;
      ++events;
    };
    c.OnSubmit_SM_RESP_OK = [this](TObject*, Cardinal seq, AnsiString id) {
      sum += seq + id.size();
      ++events;
    };
    c.OnSubmit_MULTI_RESP_OK = [this](TObject*, Cardinal seq, AnsiString id, Byte n, Tunsuccess_sme list) {
      sum += seq + id.size() + n;
      for (const auto& e : list) sum += e.destination_addr.size() + e.error_status_code;
      ++events;
    };
    c.OnEnquire_LINK = [this](TObject*, Cardinal st, Cardinal seq) {
      sum += st + seq;
      ++events;
    };
    c.OnEnquire_LINK_RESP = [this](TObject*, Cardinal st, Cardinal seq) {
      sum += st + seq;
      ++events;
    };
  }
};

// The submit_sm the build benchmarks make: 160 octets of text and three TLVs
// (user_message_reference, destination_port, callback_num).
struct SubmitSmArgs {
  AnsiString service_type = "", src = "VELMOR", dst = "447700900123", none = "";
  AnsiString text = AnsiString(160, 'x');
  TOPSubmit_SM op = [] {
    TOPSubmit_SM o{};
    o.user_message_reference = {true, 4711};
    o.destination_port = {true, 2948};
    o.callback_num = {true, "447700900999"};
    return o;
  }();
  void Format(Probe& c, AnsiString& pdu, Cardinal& seq) const {
    c.FormatSUBMIT_SM(pdu, seq, service_type, 1, 1, src, 1, 1, dst, 0, 0, 0, none, none, 1, 0, 0, 0, text, op);
  }
};

// Decode + dispatch of `pdu`, one ReceiveOctets per iteration, with handlers
// that read every argument.
inline void Dispatch(benchmark::State& state, const std::string& pdu) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  Sink sink;
  sink.Assign(c);
  for (auto _ : state) c.ReceiveOctets(pdu);
  if (sink.events != static_cast<std::size_t>(state.iterations()))
    state.SkipWithError("not every PDU reached its handler");
  benchmark::DoNotOptimize(sink.sum);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pdu.size()));
}

// A benchmark that runs its body once and reports the time it measured
// itself, in milliseconds (the end-to-end and scale runs).
// Use: BENCHMARK(BM_x)->Apply(OncePerRun);
inline void OncePerRun(benchmark::internal::Benchmark* b) {
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// ---- process measurements ----------------------------------------------------

// CPU time (user + system) of the calling thread so far.
inline double ThreadCpuMicros() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

// Resident set of this process, in KiB.
inline long VmRSSKiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  std::fclose(f);
  return kib;
}

// Raises the soft descriptor limit to the hard one, and both to at least
// `wanted` when the process may (root may raise the hard limit). Returns the
// soft limit now in force.
inline rlim_t RaiseFileLimit(rlim_t wanted = 0) {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
  if (r.rlim_max != RLIM_INFINITY && r.rlim_max < wanted) {
    rlimit up{wanted, wanted};
    if (setrlimit(RLIMIT_NOFILE, &up) == 0) return wanted;
  }
  if (r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
  getrlimit(RLIMIT_NOFILE, &r);
  return r.rlim_cur;
}

// Runs serve(report) in a forked child, so that the parent's resident memory
// is the client's alone; serve calls report(port) once listening and then
// serves until the child is killed. Returns the child's pid (-1 on failure)
// and its port (0 when it never reported one). Fork before starting threads.
inline pid_t ForkPeer(int& port, const std::function<void(const std::function<void(int)>& report)>& serve) {
  int fds[2];
  port = 0;
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    RaiseFileLimit(1 << 15);
    serve([&](int p) {
      (void)!write(fds[1], &p, sizeof p);
      close(fds[1]);
    });
    _exit(0);
  }
  close(fds[1]);
  if (pid > 0 && read(fds[0], &port, sizeof port) != sizeof port) port = 0;
  close(fds[0]);
  return pid;
}

}  // namespace velmor::bench
