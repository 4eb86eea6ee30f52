// Shared by the benchmarks: a component with its internal seams opened, the
// received PDUs they decode, and process measurements.
#pragma once

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/Pdu.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::bench {

struct Probe : TVelmorSMPPDemo {
  using TVelmorSMPPDemo::TVelmorSMPPDemo;
  using TVelmorSMPPDemo::FormatBIND;
  using TVelmorSMPPDemo::FormatDATA_SM;
  using TVelmorSMPPDemo::FormatENQUIRE_LINK;
  using TVelmorSMPPDemo::FormatSUBMIT_MULTI;
  using TVelmorSMPPDemo::FormatSUBMIT_SM;
  using TVelmorSMPPDemo::ReceiveOctets;
};

inline std::string Pdu(Cardinal id, Cardinal status, Cardinal seq, std::string_view body) {
  return codec::build_pdu(id, status, seq, body, {});
}

inline void Tlv(std::string& out, Word t, std::string_view v) {
  codec::put_u16(out, t);
  codec::put_u16(out, static_cast<Word>(v.size()));
  out.append(v);
}
inline void Tlv16(std::string& out, Word t, Word v) {
  codec::put_u16(out, t);
  codec::put_u16(out, 2);
  codec::put_u16(out, v);
}
inline void Tlv8(std::string& out, Word t, Byte v) {
  codec::put_u16(out, t);
  codec::put_u16(out, 1);
  codec::put_u8(out, v);
}

inline constexpr std::string_view kReceiptText =
    "id:1234567 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD err:000 text:Hello";

// A delivery receipt as an SMSC sends it: receipt text in short_message,
// receipted_message_id and message_state as TLVs.
inline std::string DeliverReceipt(Cardinal seq = 7) {
  std::string b;
  codec::put_cstring(b, "");
  codec::put_u8(b, 1);
  codec::put_u8(b, 1);
  codec::put_cstring(b, "447700900123");
  codec::put_u8(b, 0);
  codec::put_u8(b, 0);
  codec::put_cstring(b, "VELMOR");
  codec::put_u8(b, 0x04);
  for (int i = 0; i < 2; ++i) codec::put_u8(b, 0);
  codec::put_cstring(b, "");
  codec::put_cstring(b, "");
  for (int i = 0; i < 4; ++i) codec::put_u8(b, 0);
  codec::put_u8(b, static_cast<Byte>(kReceiptText.size()));
  codec::put_octets(b, kReceiptText);
  Tlv(b, tag::receipted_message_id, std::string_view("1234567\0", 8));
  Tlv8(b, tag::message_state, 2);
  return Pdu(command_id::deliver_sm, 0, seq, b);
}

// data_sm from the SMSC with five TLVs, one of them a 120-octet payload.
inline std::string DataSm(Cardinal seq = 8) {
  std::string b;
  codec::put_cstring(b, "WAP");
  codec::put_u8(b, 1);
  codec::put_u8(b, 1);
  codec::put_cstring(b, "447700900123");
  codec::put_u8(b, 0);
  codec::put_u8(b, 0);
  codec::put_cstring(b, "VELMOR");
  codec::put_u8(b, 0);
  codec::put_u8(b, 0);
  codec::put_u8(b, 0x04);
  Tlv16(b, tag::source_port, 9200);
  Tlv16(b, tag::destination_port, 2948);
  Tlv16(b, tag::sar_msg_ref_num, 42);
  Tlv8(b, tag::sar_total_segments, 1);
  Tlv(b, tag::message_payload, std::string(120, 'p'));
  return Pdu(command_id::data_sm, 0, seq, b);
}

inline std::string SubmitSmResp(Cardinal seq = 9) {
  return Pdu(command_id::submit_sm_resp, 0, seq, std::string_view("1234567\0", 8));
}

inline std::string SubmitMultiResp(Cardinal seq = 10) {
  std::string b;
  codec::put_cstring(b, "1234567");
  codec::put_u8(b, 5);
  for (int i = 0; i < 5; ++i) {
    codec::put_u8(b, 1);
    codec::put_u8(b, 1);
    codec::put_cstring(b, "44770090010" + std::to_string(i));
    codec::put_u32(b, 0x0B);
  }
  return Pdu(command_id::submit_multi_resp, 0, seq, b);
}

inline std::string EnquireLink(Cardinal seq = 11) { return Pdu(command_id::enquire_link, 0, seq, {}); }
inline std::string EnquireLinkResp(Cardinal seq = 12) { return Pdu(command_id::enquire_link_resp, 0, seq, {}); }

// At least `size` octets of whole PDUs of every kind above, in rotation.
inline std::string MixedBlock(std::size_t size, std::size_t* pdus = nullptr) {
  const std::string kinds[] = {SubmitSmResp(), DeliverReceipt(), EnquireLinkResp(),
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
                            AnsiString dst, Byte esm, Byte, Byte, AnsiString sdt, AnsiString vp, Byte, Byte, Byte,
                            Byte, Byte sm_length, AnsiString sm, TOPDeliver_SM op) {
      sum += seq + st.size() + src.size() + dst.size() + esm + sdt.size() + vp.size() + sm_length + sm.size() +
             op.receipted_message_id.Value.size() + op.message_state.Value;
      ++events;
    };
    c.OnData_SM = [this](TObject*, Cardinal seq, AnsiString st, Byte, Byte, AnsiString src, Byte, Byte,
                         AnsiString dst, Byte, Byte, Byte dc, TOPData_SM op) {
      sum += seq + st.size() + src.size() + dst.size() + dc + op.source_port.Value +
             op.message_payload.Value.size() + op.sar_total_segments.Value;
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

inline void RaiseFileLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

}  // namespace velmor::bench
