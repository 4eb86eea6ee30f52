// Assigns all 26 events of a component to handlers that append one line per
// event, every argument included, so two runs can be compared as a whole.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "common/Hex.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::test {

template <class Agg>
std::string describe_tlvs(const Agg& a) {
  std::ostringstream o;
  Agg::visit(a, [&o](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!m.Field) return false;
    o << " [" << std::hex << R::tag << std::dec;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      if constexpr (std::is_same_v<typename R::value_type, AnsiString>) o << "=" << to_hex(m.Value);
      else o << "=" << static_cast<unsigned long>(m.Value);
    }
    o << "]";
    return false;
  });
  return o.str();
}

inline void record_all(TVelmorSMPPDemo& c, std::vector<std::string>& log) {
  auto put = [&log](std::string s) { log.push_back(std::move(s)); };
  auto S = [](const AnsiString& s) { return "'" + to_hex(s) + "'"; };
  c.OnConnect = [put](TObject*) { put("Connect"); };
  c.OnDisconnect = [put](TObject*) { put("Disconnect"); };
  c.OnSockError = [put](TObject*, Integer e) { put("SockError " + std::to_string(e)); };
  c.OnConnecting = [put](TObject*) { put("Connecting"); };
  c.OnBind_RESP_OK = [=](TObject*, TBindType t, Cardinal seq, AnsiString id, TOPBind_RESP op) {
    put("Bind_RESP_OK " + std::to_string(t) + " " + std::to_string(seq) + " " + S(id) + describe_tlvs(op));
  };
  c.OnBind_RESP_Error = [=](TObject*, TBindType t, Cardinal st, Cardinal seq, AnsiString id, TOPBind_RESP op) {
    put("Bind_RESP_Error " + std::to_string(t) + " " + std::to_string(st) + " " + std::to_string(seq) + " " + S(id) +
        describe_tlvs(op));
  };
  c.OnUnbind_RESP_OK = [=](TObject*, Cardinal seq) { put("Unbind_RESP_OK " + std::to_string(seq)); };
  c.OnUnbind_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq) {
    put("Unbind_RESP_Error " + std::to_string(st) + " " + std::to_string(seq));
  };
  c.OnGeneric_NACK = [=](TObject*, Cardinal st, Cardinal seq) {
    put("Generic_NACK " + std::to_string(st) + " " + std::to_string(seq));
  };
  c.OnSubmit_SM_RESP_OK = [=](TObject*, Cardinal seq, AnsiString id) {
    put("Submit_SM_RESP_OK " + std::to_string(seq) + " " + S(id));
  };
  c.OnSubmit_SM_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq, AnsiString id) {
    put("Submit_SM_RESP_Error " + std::to_string(st) + " " + std::to_string(seq) + " " + S(id));
  };
  auto list = [=](const Tunsuccess_sme& l) {
    std::string s;
    for (const auto& e : l)
      s += " {" + std::to_string(e.dest_addr_ton) + "," + std::to_string(e.dest_addr_npi) + "," +
           S(e.destination_addr) + "," + std::to_string(e.error_status_code) + "}";
    return s;
  };
  c.OnSubmit_MULTI_RESP_OK = [=](TObject*, Cardinal seq, AnsiString id, Byte n, Tunsuccess_sme l) {
    put("Submit_MULTI_RESP_OK " + std::to_string(seq) + " " + S(id) + " " + std::to_string(n) + list(l));
  };
  c.OnSubmit_MULTI_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq, AnsiString id, Byte n, Tunsuccess_sme l) {
    put("Submit_MULTI_RESP_Error " + std::to_string(st) + " " + std::to_string(seq) + " " + S(id) + " " +
        std::to_string(n) + list(l));
  };
  c.OnDeliver_SM = [=](TObject*, Cardinal seq, AnsiString st, Byte sat, Byte san, AnsiString sa, Byte dat, Byte dan,
                       AnsiString da, Byte esm, Byte pid, Byte pri, AnsiString sdt, AnsiString vp, Byte rd, Byte rip,
                       Byte dc, Byte dm, Byte len, AnsiString sm, TOPDeliver_SM op) {
    std::ostringstream o;
    o << "Deliver_SM " << seq << " " << S(st) << " " << +sat << " " << +san << " " << S(sa) << " " << +dat << " "
      << +dan << " " << S(da) << " " << +esm << " " << +pid << " " << +pri << " " << S(sdt) << " " << S(vp) << " "
      << +rd << " " << +rip << " " << +dc << " " << +dm << " " << +len << " " << S(sm) << describe_tlvs(op);
    put(o.str());
  };
  c.OnData_SM = [=](TObject*, Cardinal seq, AnsiString st, Byte sat, Byte san, AnsiString sa, Byte dat, Byte dan,
                    AnsiString da, Byte esm, Byte rd, Byte dc, TOPData_SM op) {
    std::ostringstream o;
    o << "Data_SM " << seq << " " << S(st) << " " << +sat << " " << +san << " " << S(sa) << " " << +dat << " "
      << +dan << " " << S(da) << " " << +esm << " " << +rd << " " << +dc << describe_tlvs(op);
    put(o.str());
  };
  c.OnData_SM_RESP_OK = [=](TObject*, Cardinal seq, AnsiString id, TOPData_SM_RESP op) {
    put("Data_SM_RESP_OK " + std::to_string(seq) + " " + S(id) + describe_tlvs(op));
  };
  c.OnData_SM_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq, AnsiString id, TOPData_SM_RESP op) {
    put("Data_SM_RESP_Error " + std::to_string(st) + " " + std::to_string(seq) + " " + S(id) + describe_tlvs(op));
  };
  c.OnQuery_SM_RESP_OK = [=](TObject*, Cardinal seq, AnsiString id, AnsiString fd, Byte ms, Byte ec) {
    put("Query_SM_RESP_OK " + std::to_string(seq) + " " + S(id) + " " + S(fd) + " " + std::to_string(ms) + " " +
        std::to_string(ec));
  };
  c.OnQuery_SM_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq, AnsiString id, AnsiString fd, Byte ms, Byte ec) {
    put("Query_SM_RESP_Error " + std::to_string(st) + " " + std::to_string(seq) + " " + S(id) + " " + S(fd) + " " +
        std::to_string(ms) + " " + std::to_string(ec));
  };
  c.OnCancel_RESP_OK = [=](TObject*, Cardinal seq) { put("Cancel_RESP_OK " + std::to_string(seq)); };
  c.OnCancel_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq) {
    put("Cancel_RESP_Error " + std::to_string(st) + " " + std::to_string(seq));
  };
  c.OnReplace_RESP_OK = [=](TObject*, Cardinal seq) { put("Replace_RESP_OK " + std::to_string(seq)); };
  c.OnReplace_RESP_Error = [=](TObject*, Cardinal st, Cardinal seq) {
    put("Replace_RESP_Error " + std::to_string(st) + " " + std::to_string(seq));
  };
  c.OnEnquire_LINK = [=](TObject*, Cardinal st, Cardinal seq) {
    put("Enquire_LINK " + std::to_string(st) + " " + std::to_string(seq));
  };
  c.OnEnquire_LINK_RESP = [=](TObject*, Cardinal st, Cardinal seq) {
    put("Enquire_LINK_RESP " + std::to_string(st) + " " + std::to_string(seq));
  };
  c.OnUnknown_command = [=](TObject*, Cardinal len, Cardinal id, Cardinal st, Cardinal seq, AnsiString p) {
    put("Unknown_command " + std::to_string(len) + " " + std::to_string(id) + " " + std::to_string(st) + " " +
        std::to_string(seq) + " " + S(p));
  };
}

}  // namespace velmor::test
