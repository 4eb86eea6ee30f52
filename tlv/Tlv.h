// Optional parameters (TLVs) of SMPP 3.4: one record per parameter, one
// aggregate per PDU kind, and the encoders and decoders between aggregates and
// octets.
//
// Every aggregate lists its members exactly once, in an X-macro below; each
// member's record type carries its tag and the width of its value. That one
// list declares the members, fixes the emission order of the encoder, and is
// the set of tags the decoder recognises, so the two directions cannot drift.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "codec/Codec.h"

namespace velmor {

// Tags of the optional parameters.
namespace tag {
inline constexpr Word dest_addr_subunit = 0x0005;
inline constexpr Word dest_network_type = 0x0006;
inline constexpr Word dest_bearer_type = 0x0007;
inline constexpr Word dest_telematics_id = 0x0008;
inline constexpr Word source_addr_subunit = 0x000D;
inline constexpr Word source_network_type = 0x000E;
inline constexpr Word source_bearer_type = 0x000F;
inline constexpr Word source_telematics_id = 0x0010;
inline constexpr Word qos_time_to_live = 0x0017;
inline constexpr Word payload_type = 0x0019;
inline constexpr Word additional_status_info_text = 0x001D;
inline constexpr Word receipted_message_id = 0x001E;
inline constexpr Word ms_msg_wait_facilities = 0x0030;
inline constexpr Word privacy_indicator = 0x0201;
inline constexpr Word source_subaddress = 0x0202;
inline constexpr Word dest_subaddress = 0x0203;
inline constexpr Word user_message_reference = 0x0204;
inline constexpr Word user_response_code = 0x0205;
inline constexpr Word source_port = 0x020A;
inline constexpr Word destination_port = 0x020B;
inline constexpr Word sar_msg_ref_num = 0x020C;
inline constexpr Word language_indicator = 0x020D;
inline constexpr Word sar_total_segments = 0x020E;
inline constexpr Word sar_segment_seqnum = 0x020F;
inline constexpr Word sc_interface_version = 0x0210;
inline constexpr Word callback_num_pres_ind = 0x0302;
inline constexpr Word callback_num_atag = 0x0303;
inline constexpr Word number_of_messages = 0x0304;
inline constexpr Word callback_num = 0x0381;
inline constexpr Word dpf_result = 0x0420;
inline constexpr Word set_dpf = 0x0421;
inline constexpr Word network_error_code = 0x0423;
inline constexpr Word message_payload = 0x0424;
inline constexpr Word delivery_failure_reason = 0x0425;
inline constexpr Word more_messages_to_send = 0x0426;
inline constexpr Word message_state = 0x0427;
inline constexpr Word ussd_service_op = 0x0501;
inline constexpr Word display_time = 0x1201;
inline constexpr Word sms_signal = 0x1203;
inline constexpr Word ms_validity = 0x1204;
inline constexpr Word alert_on_message_delivery = 0x130C;
inline constexpr Word its_reply_type = 0x1380;
inline constexpr Word its_session_info = 0x1383;
}  // namespace tag

// One optional parameter: Field is the presence flag, Value means something
// only while Field is true. The record's type carries its tag and value width.
template <class V, Word Tag>
struct TOptionalParameter {
  using value_type = V;
  static constexpr Word tag = Tag;
  Boolean Field = false;
  V Value{};
  bool operator==(const TOptionalParameter&) const = default;
};

using Tdest_addr_subunit = TOptionalParameter<Byte, tag::dest_addr_subunit>;
using Tdest_network_type = TOptionalParameter<Byte, tag::dest_network_type>;
using Tdest_bearer_type = TOptionalParameter<Byte, tag::dest_bearer_type>;
using Tdest_telematics_id = TOptionalParameter<Word, tag::dest_telematics_id>;
using Tsource_addr_subunit = TOptionalParameter<Byte, tag::source_addr_subunit>;
using Tsource_network_type = TOptionalParameter<Byte, tag::source_network_type>;
using Tsource_bearer_type = TOptionalParameter<Byte, tag::source_bearer_type>;
using Tsource_telematics_id = TOptionalParameter<Byte, tag::source_telematics_id>;
using Tqos_time_to_live = TOptionalParameter<Cardinal, tag::qos_time_to_live>;
using Tpayload_type = TOptionalParameter<Byte, tag::payload_type>;
using Tadditional_status_info_text = TOptionalParameter<AnsiString, tag::additional_status_info_text>;
using Treceipted_message_id = TOptionalParameter<AnsiString, tag::receipted_message_id>;
using Tms_msg_wait_facilities = TOptionalParameter<Byte, tag::ms_msg_wait_facilities>;
using Tprivacy_indicator = TOptionalParameter<Byte, tag::privacy_indicator>;
using Tsource_subaddress = TOptionalParameter<AnsiString, tag::source_subaddress>;
using Tdest_subaddress = TOptionalParameter<AnsiString, tag::dest_subaddress>;
using Tuser_message_reference = TOptionalParameter<Word, tag::user_message_reference>;
using Tuser_response_code = TOptionalParameter<Byte, tag::user_response_code>;
using Tsource_port = TOptionalParameter<Word, tag::source_port>;
using Tdestination_port = TOptionalParameter<Word, tag::destination_port>;
using Tsar_msg_ref_num = TOptionalParameter<Word, tag::sar_msg_ref_num>;
using Tlanguage_indicator = TOptionalParameter<Byte, tag::language_indicator>;
using Tsar_total_segments = TOptionalParameter<Byte, tag::sar_total_segments>;
using Tsar_segment_seqnum = TOptionalParameter<Byte, tag::sar_segment_seqnum>;
using Tsc_interface_version = TOptionalParameter<Byte, tag::sc_interface_version>;
using Tcallback_num_pres_ind = TOptionalParameter<Byte, tag::callback_num_pres_ind>;
using Tcallback_num_atag = TOptionalParameter<AnsiString, tag::callback_num_atag>;
using Tnumber_of_messages = TOptionalParameter<Byte, tag::number_of_messages>;
using Tcallback_num = TOptionalParameter<AnsiString, tag::callback_num>;
using Tdpf_result = TOptionalParameter<Byte, tag::dpf_result>;
using Tset_dpf = TOptionalParameter<Byte, tag::set_dpf>;
using Tnetwork_error_code = TOptionalParameter<AnsiString, tag::network_error_code>;
using Tmessage_payload = TOptionalParameter<AnsiString, tag::message_payload>;
using Tdelivery_failure_reason = TOptionalParameter<Byte, tag::delivery_failure_reason>;
using Tmore_messages_to_send = TOptionalParameter<Byte, tag::more_messages_to_send>;
using Tmessage_state = TOptionalParameter<Byte, tag::message_state>;
using Tussd_service_op = TOptionalParameter<Byte, tag::ussd_service_op>;
using Tdisplay_time = TOptionalParameter<Byte, tag::display_time>;
using Tsms_signal = TOptionalParameter<Word, tag::sms_signal>;
using Tms_validity = TOptionalParameter<Byte, tag::ms_validity>;
using Tits_reply_type = TOptionalParameter<Byte, tag::its_reply_type>;
using Tits_session_info = TOptionalParameter<Word, tag::its_session_info>;

// alert_on_message_delivery carries no value: its presence is the information.
struct Talert_on_message_delivery {
  static constexpr Word tag = tag::alert_on_message_delivery;
  Boolean Field = false;
  bool operator==(const Talert_on_message_delivery&) const = default;
};

// Part of the record set for completeness; no PDU of this library carries it,
// so it has no tag here and no encoder or decoder touches it.
struct Tms_availability_status {
  Boolean Field = false;
  Byte Value = 0;
  bool operator==(const Tms_availability_status&) const = default;
};

// ---- the aggregates: each member listed once, in wire order ---------------
// X(member, record type). The member of type Talert_on_message_delivery is
// named alert_on_msg_delivery everywhere.

// clang-format off
#define VELMOR_TOPBind_RESP(X) X(sc_interface_version, Tsc_interface_version)

#define VELMOR_TOPSubmit_SM(X)                                                       \
  X(user_message_reference, Tuser_message_reference) X(source_port, Tsource_port)    \
  X(source_addr_subunit, Tsource_addr_subunit) X(destination_port, Tdestination_port) \
  X(dest_addr_subunit, Tdest_addr_subunit) X(sar_msg_ref_num, Tsar_msg_ref_num)      \
  X(sar_total_segments, Tsar_total_segments) X(sar_segment_seqnum, Tsar_segment_seqnum) \
  X(more_messages_to_send, Tmore_messages_to_send) X(payload_type, Tpayload_type)    \
  X(message_payload, Tmessage_payload) X(privacy_indicator, Tprivacy_indicator)      \
  X(callback_num, Tcallback_num) X(callback_num_pres_ind, Tcallback_num_pres_ind)    \
  X(callback_num_atag, Tcallback_num_atag) X(source_subaddress, Tsource_subaddress)  \
  X(dest_subaddress, Tdest_subaddress) X(user_response_code, Tuser_response_code)    \
  X(display_time, Tdisplay_time) X(sms_signal, Tsms_signal) X(ms_validity, Tms_validity) \
  X(ms_msg_wait_facilities, Tms_msg_wait_facilities)                                 \
  X(number_of_messages, Tnumber_of_messages)                                         \
  X(alert_on_msg_delivery, Talert_on_message_delivery)                               \
  X(language_indicator, Tlanguage_indicator) X(its_reply_type, Tits_reply_type)      \
  X(its_session_info, Tits_session_info) X(ussd_service_op, Tussd_service_op)

#define VELMOR_TOPSubmit_MULTI(X)                                                    \
  X(user_message_reference, Tuser_message_reference) X(source_port, Tsource_port)    \
  X(source_addr_subunit, Tsource_addr_subunit) X(destination_port, Tdestination_port) \
  X(dest_addr_subunit, Tdest_addr_subunit) X(sar_msg_ref_num, Tsar_msg_ref_num)      \
  X(sar_total_segments, Tsar_total_segments) X(sar_segment_seqnum, Tsar_segment_seqnum) \
  X(payload_type, Tpayload_type) X(message_payload, Tmessage_payload)                \
  X(privacy_indicator, Tprivacy_indicator) X(callback_num, Tcallback_num)            \
  X(callback_num_pres_ind, Tcallback_num_pres_ind) X(callback_num_atag, Tcallback_num_atag) \
  X(source_subaddress, Tsource_subaddress) X(dest_subaddress, Tdest_subaddress)      \
  X(display_time, Tdisplay_time) X(sms_signal, Tsms_signal) X(ms_validity, Tms_validity) \
  X(ms_msg_wait_facilities, Tms_msg_wait_facilities)                                 \
  X(alert_on_msg_delivery, Talert_on_message_delivery)                               \
  X(language_indicator, Tlanguage_indicator)

#define VELMOR_TOPDeliver_SM(X)                                                      \
  X(user_message_reference, Tuser_message_reference) X(source_port, Tsource_port)    \
  X(destination_port, Tdestination_port) X(sar_msg_ref_num, Tsar_msg_ref_num)        \
  X(sar_total_segments, Tsar_total_segments) X(sar_segment_seqnum, Tsar_segment_seqnum) \
  X(user_response_code, Tuser_response_code) X(privacy_indicator, Tprivacy_indicator) \
  X(payload_type, Tpayload_type) X(message_payload, Tmessage_payload)                \
  X(callback_num, Tcallback_num) X(source_subaddress, Tsource_subaddress)            \
  X(dest_subaddress, Tdest_subaddress) X(language_indicator, Tlanguage_indicator)    \
  X(its_session_info, Tits_session_info) X(network_error_code, Tnetwork_error_code)  \
  X(message_state, Tmessage_state) X(receipted_message_id, Treceipted_message_id)

#define VELMOR_TOPData_SM(X)                                                         \
  X(source_port, Tsource_port) X(source_addr_subunit, Tsource_addr_subunit)          \
  X(source_network_type, Tsource_network_type) X(source_bearer_type, Tsource_bearer_type) \
  X(source_telematics_id, Tsource_telematics_id) X(destination_port, Tdestination_port) \
  X(dest_addr_subunit, Tdest_addr_subunit) X(dest_network_type, Tdest_network_type)  \
  X(dest_bearer_type, Tdest_bearer_type) X(dest_telematics_id, Tdest_telematics_id)  \
  X(sar_msg_ref_num, Tsar_msg_ref_num) X(sar_total_segments, Tsar_total_segments)    \
  X(sar_segment_seqnum, Tsar_segment_seqnum)                                         \
  X(more_messages_to_send, Tmore_messages_to_send)                                   \
  X(qos_time_to_live, Tqos_time_to_live) X(payload_type, Tpayload_type)              \
  X(message_payload, Tmessage_payload) X(set_dpf, Tset_dpf)                          \
  X(receipted_message_id, Treceipted_message_id) X(message_state, Tmessage_state)    \
  X(network_error_code, Tnetwork_error_code)                                         \
  X(user_message_reference, Tuser_message_reference)                                 \
  X(privacy_indicator, Tprivacy_indicator) X(callback_num, Tcallback_num)            \
  X(callback_num_pres_ind, Tcallback_num_pres_ind) X(callback_num_atag, Tcallback_num_atag) \
  X(source_subaddress, Tsource_subaddress) X(dest_subaddress, Tdest_subaddress)      \
  X(user_response_code, Tuser_response_code) X(display_time, Tdisplay_time)          \
  X(sms_signal, Tsms_signal) X(ms_validity, Tms_validity)                            \
  X(ms_msg_wait_facilities, Tms_msg_wait_facilities)                                 \
  X(number_of_messages, Tnumber_of_messages)                                         \
  X(alert_on_msg_delivery, Talert_on_message_delivery)                               \
  X(language_indicator, Tlanguage_indicator) X(its_reply_type, Tits_reply_type)      \
  X(its_session_info, Tits_session_info)

#define VELMOR_TOPData_SM_RESP(X)                                                    \
  X(delivery_failure_reason, Tdelivery_failure_reason)                               \
  X(network_error_code, Tnetwork_error_code)                                         \
  X(additional_status_info_text, Tadditional_status_info_text) X(dpf_result, Tdpf_result)
// clang-format on

#define VELMOR_TLV_DECLARE(name, type) type name;
#define VELMOR_TLV_VISIT(name, type) f(s.name) ||
#define VELMOR_TLV_CASE(name, type) \
  case type::tag: f(s.name); return true;

// visit(s, f) calls f on each member in wire order and stops at the first
// call that returns true; it returns whether one did. with_tag(s, t, f) calls
// f on the member whose tag is t (one switch, however many members), and
// returns whether there was one.
#define VELMOR_TLV_AGGREGATE(Name) \
  struct Name { \
    VELMOR_##Name(VELMOR_TLV_DECLARE) bool operator==(const Name&) const = default; \
    template <class S, class F> \
    static constexpr bool visit(S& s, F&& f) { \
      return VELMOR_##Name(VELMOR_TLV_VISIT) false; \
    } \
    template <class S, class F> \
    static constexpr bool with_tag(S& s, Word t, F&& f) { \
      switch (t) { VELMOR_##Name(VELMOR_TLV_CASE) default : return false; } \
    } \
  };

VELMOR_TLV_AGGREGATE(TOPBind_RESP)
VELMOR_TLV_AGGREGATE(TOPSubmit_SM)
VELMOR_TLV_AGGREGATE(TOPSubmit_MULTI)
VELMOR_TLV_AGGREGATE(TOPDeliver_SM)
VELMOR_TLV_AGGREGATE(TOPData_SM)
VELMOR_TLV_AGGREGATE(TOPData_SM_RESP)

#undef VELMOR_TLV_AGGREGATE
#undef VELMOR_TLV_CASE
#undef VELMOR_TLV_VISIT
#undef VELMOR_TLV_DECLARE

// ---- encoders: one TLV per present member, in member order ----------------
// A present octet-string member longer than 65535 octets is left out: its
// 2-octet length could not describe it, and a length that disagrees with the
// octets after it would corrupt every record behind it. Check the aggregate
// with tlv::overlong() first to refuse it instead, as the component's sending
// methods do (they send nothing and return 0).
AnsiString OPSubmit_SM_Get(const TOPSubmit_SM& OPSubmit_SM);
AnsiString OPSubmit_MULTI_Get(const TOPSubmit_MULTI& OPSubmit_MULTI);
AnsiString OPData_SM_Get(const TOPData_SM& OPData_SM);
AnsiString OPData_SM_RESP_Get(const TOPData_SM_RESP& OPData_SM_RESP);

// ---- decoders: a new aggregate from the octets after the mandatory fields --
// Never read past the input. Unknown tags are skipped by their length, a
// repeated tag keeps its last value, a value cut short by the end is the
// octets that are there, and one to three trailing octets are read as a tag
// and a length from what is there.
TOPBind_RESP OPBind_RESP_Set(std::string_view OptionalParameters);
TOPDeliver_SM OPDeliver_SM_Set(std::string_view OptionalParameters);
TOPData_SM OPData_SM_SM_Set(std::string_view OptionalParameters);
TOPData_SM_RESP OPData_SM_RESP_Set(std::string_view OptionalParameters);

namespace tlv {

// Largest octet-string value the 2-octet length field can describe.
inline constexpr std::size_t max_value_length = 0xFFFF;

// True when a member goes on the wire: present, and, for an octet string, no
// longer than its length field can describe.
template <class R>
constexpr bool emitted(const R& m) {
  if constexpr (std::is_same_v<R, Talert_on_message_delivery>)
    return m.Field;
  else if constexpr (std::is_same_v<typename R::value_type, AnsiString>)
    return m.Field && m.Value.size() <= max_value_length;
  else
    return m.Field;
}

template <class R>
constexpr std::size_t value_width() {
  using V = typename R::value_type;
  if constexpr (std::is_same_v<V, AnsiString>)
    return 0;
  else
    return sizeof(V);
}

// Writes the TLVs of every emitted member through w, which must have room
// for encoded_size(agg) octets.
template <class Agg>
void write(codec::Writer& w, const Agg& agg) {
  Agg::visit(agg, [&w](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!emitted(m)) return false;
    w.u16(R::tag);
    if constexpr (std::is_same_v<R, Talert_on_message_delivery>) {
      w.u16(0);
    } else if constexpr (std::is_same_v<typename R::value_type, AnsiString>) {
      w.u16(static_cast<Word>(m.Value.size()));
      w.octets(m.Value);
    } else {
      constexpr std::size_t width = sizeof(typename R::value_type);
      w.u16(static_cast<Word>(width));
      if constexpr (width == 1)
        w.u8(m.Value);
      else if constexpr (width == 2)
        w.u16(m.Value);
      else
        w.u32(m.Value);
    }
    return false;
  });
}

template <class Agg>
std::size_t encoded_size(const Agg& agg);

// Appends the TLVs of every present member to out (the hot-path form of the
// _Get encoders, writing straight into the PDU being built).
template <class Agg>
void append(std::string& out, const Agg& agg) {
  const std::size_t at = out.size();
  const std::size_t n = encoded_size(agg);
  out.resize(at + n);
  codec::Writer w(out.data() + at, n);
  write(w, agg);
}

// Octets the emitted members take on the wire (for reserving the PDU buffer).
template <class Agg>
std::size_t encoded_size(const Agg& agg) {
  std::size_t n = 0;
  Agg::visit(agg, [&n](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!emitted(m)) return false;
    n += 4;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      if constexpr (std::is_same_v<typename R::value_type, AnsiString>)
        n += m.Value.size();
      else
        n += sizeof(typename R::value_type);
    }
    return false;
  });
  return n;
}

// True when a present octet-string member is longer than its length field can
// say; a sending method refuses such an aggregate rather than send a wrong
// length.
template <class Agg>
bool overlong(const Agg& agg) {
  return Agg::visit(agg, [](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if constexpr (std::is_same_v<R, Talert_on_message_delivery>)
      return false;
    else if constexpr (std::is_same_v<typename R::value_type, AnsiString>)
      return m.Field && m.Value.size() > max_value_length;
    else
      return false;
  });
}

// Decodes TLVs from the cursor into agg, which the caller starts absent.
template <class Agg>
void decode(std::string_view in, Agg& agg) {
  codec::Cursor c(in);
  while (!c.empty()) {
    const Word t = c.u16();
    const Word len = c.u16();
    const std::string_view v = c.octets(len);
    Agg::with_tag(agg, t, [v](auto& m) {
      using R = std::decay_t<decltype(m)>;
      m.Field = true;
      if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
        using V = typename R::value_type;
        if constexpr (std::is_same_v<V, AnsiString>) {
          // The first time (the usual case) the value is empty: an append
          // copies without assign's check for overlapping octets.
          if (m.Value.empty())
            m.Value.append(v.data(), v.size());
          else
            m.Value.assign(v.data(), v.size());
        } else
          m.Value = static_cast<V>(codec::be_value(v));
      }
    });
  }
}

// A new aggregate decoded from the octets (the inline form of the _Set
// decoders, for building an event argument in place).
template <class Agg>
Agg decoded(std::string_view in) {
  Agg agg;
  decode(in, agg);
  return agg;
}

// The tags of an aggregate in member order: its emission order, and the set
// of tags its decoder recognises.
template <class Agg>
std::vector<Word> tags() {
  std::vector<Word> out;
  Agg a{};
  Agg::visit(a, [&out](const auto& m) {
    out.push_back(std::decay_t<decltype(m)>::tag);
    return false;
  });
  return out;
}

}  // namespace tlv
}  // namespace velmor
