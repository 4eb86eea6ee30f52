// Shared by the PDU tests: a subclass that reaches the component's internal
// seams, a recorder that turns every event into one line of text, and a
// header builder for received PDUs.
//
// Event lines are compared as text so that a failure prints every argument of
// both sides. The expected line is built with the same formatter from values
// written in the test (ev("Submit_SM_RESP_OK", 2, "abc")), so the format is
// never spelled out by hand except for TLV aggregates and unsuccess lists,
// written as Raw text: {TAG:value ...} and [ton/npi'addr':code ...].
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/Hex.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::test {

struct Probe : TVelmorSMPPDemo {
  using TVelmorSMPPDemo::TVelmorSMPPDemo;
  using TVelmorSMPPDemo::Fsequence_number;
  using TVelmorSMPPDemo::ReceiveOctets;
};

// Text that goes into an event line as it is.
struct Raw {
  std::string text;
};

// Octets shown between quotes; anything outside printable ASCII, the quote
// and the backslash as \xNN, so a NUL inside a field is visible.
inline std::string show(std::string_view s) {
  std::string out = "'";
  for (char ch : s) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || b >= 0x7F || ch == '\'' || ch == '\\') {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "'";
}

template <class T>
std::string arg(const T& v);

// Present members as TAG:value in wire order. An absent member that still
// carries a value is shown as !TAG:value: decoders must hand out clean records.
template <class Agg>
std::string members(const Agg& a) {
  std::string out;
  Agg::visit(a, [&out](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    char tag[8];
    std::snprintf(tag, sizeof tag, "%04X", static_cast<unsigned>(R::tag));
    std::string item;
    if constexpr (std::is_same_v<R, Talert_on_message_delivery>) {
      if (m.Field) item = tag;
    } else if (m.Field) {
      item = std::string(tag) + ":" + arg(m.Value);
    } else if (!(m.Value == typename R::value_type{})) {
      item = "!" + std::string(tag) + ":" + arg(m.Value);
    }
    if (!item.empty()) out += (out.empty() ? "" : " ") + item;
    return false;
  });
  return "{" + out + "}";
}

template <class T>
std::string arg(const T& v) {
  if constexpr (std::is_same_v<T, Raw>) {
    return v.text;
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return show(v);
  } else if constexpr (std::is_enum_v<T>) {
    return std::to_string(static_cast<unsigned long long>(v));
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else if constexpr (std::is_same_v<T, Tunsuccess_sme>) {
    std::string out;
    for (const auto& e : v)
      out += (out.empty() ? "" : " ") + arg(e.dest_addr_ton) + "/" + arg(e.dest_addr_npi) +
             show(e.destination_addr) + ":" + arg(e.error_status_code);
    return "[" + out + "]";
  } else {
    return members(v);
  }
}

template <class... A>
std::string ev(std::string_view name, const A&... a) {
  std::string out(name);
  ((out += " " + arg(a)), ...);
  return out;
}

// Every one of the 26 events appends its line to log; a Sender other than the
// component is logged as an error line of its own.
struct Recorder {
  TVelmorSMPPDemo* c;
  std::vector<std::string> log;

  explicit Recorder(TVelmorSMPPDemo& comp) : c(&comp) {
    auto h = [this](const char* name) {
      return [this, name](TObject* sender, const auto&... a) {
        if (sender != c) log.push_back(std::string("wrong Sender in ") + name);
        log.push_back(ev(name, a...));
      };
    };
    comp.OnConnect = h("Connect");
    comp.OnDisconnect = h("Disconnect");
    comp.OnSockError = h("SockError");
    comp.OnConnecting = h("Connecting");
    comp.OnBind_RESP_OK = h("Bind_RESP_OK");
    comp.OnBind_RESP_Error = h("Bind_RESP_Error");
    comp.OnUnbind_RESP_OK = h("Unbind_RESP_OK");
    comp.OnUnbind_RESP_Error = h("Unbind_RESP_Error");
    comp.OnGeneric_NACK = h("Generic_NACK");
    comp.OnSubmit_SM_RESP_OK = h("Submit_SM_RESP_OK");
    comp.OnSubmit_SM_RESP_Error = h("Submit_SM_RESP_Error");
    comp.OnSubmit_MULTI_RESP_OK = h("Submit_MULTI_RESP_OK");
    comp.OnSubmit_MULTI_RESP_Error = h("Submit_MULTI_RESP_Error");
    comp.OnDeliver_SM = h("Deliver_SM");
    comp.OnData_SM = h("Data_SM");
    comp.OnData_SM_RESP_OK = h("Data_SM_RESP_OK");
    comp.OnData_SM_RESP_Error = h("Data_SM_RESP_Error");
    comp.OnQuery_SM_RESP_OK = h("Query_SM_RESP_OK");
    comp.OnQuery_SM_RESP_Error = h("Query_SM_RESP_Error");
    comp.OnCancel_RESP_OK = h("Cancel_RESP_OK");
    comp.OnCancel_RESP_Error = h("Cancel_RESP_Error");
    comp.OnReplace_RESP_OK = h("Replace_RESP_OK");
    comp.OnReplace_RESP_Error = h("Replace_RESP_Error");
    comp.OnEnquire_LINK = h("Enquire_LINK");
    comp.OnEnquire_LINK_RESP = h("Enquire_LINK_RESP");
    comp.OnUnknown_command = h("Unknown_command");
  }
};

// A whole PDU: header with command_length counted here, then the body given
// as hex text.
inline std::string pdu(Cardinal id, Cardinal status, Cardinal seq, std::string_view body_hex) {
  const std::string body = hex(body_hex);
  std::string out;
  for (Cardinal v : {static_cast<Cardinal>(16 + body.size()), id, status, seq})
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
  return out + body;
}

// Hex text of an ASCII string, for composing golden bodies readably.
inline std::string ascii(std::string_view s) { return to_hex(s); }

}  // namespace velmor::test
