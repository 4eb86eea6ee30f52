// submit_multi, its destination lists, and submit_multi_resp with the list of
// unsuccessful destinations.
#include "component/Internal.h"

namespace velmor {
namespace {
constexpr Byte kDestFlagSME = 0x01;
constexpr Byte kDestFlagDL = 0x02;
}  // namespace

Boolean TVelmorSMPPDemo::dest_address_AddSME(Tdest_address& dest_address, Byte dest_addr_ton, Byte dest_addr_npi,
                                             const AnsiString& destination_addr) {
  if (dest_address.size() >= MaxDestinations) return false;
  dest_address.push_back({dest_addr_ton, dest_addr_npi, destination_addr, false});
  return true;
}

Boolean TVelmorSMPPDemo::dest_address_AddDL(Tdest_address& dest_address, const AnsiString& dl_name) {
  if (dest_address.size() >= MaxDestinations) return false;
  dest_address.push_back({0, 0, dl_name, true});
  return true;
}

namespace {

// The encoded destination list: an SME address is its flag, ton, npi and
// C-Octet String; a distribution list its flag and C-Octet String.
std::size_t dest_address_size(const Tdest_address& dest_address) {
  std::size_t n = 0;
  for (const auto& d : dest_address) n += (d.SME_DL ? 2 : 4) + d.destination_addr_dl_name.size();
  return n;
}

void write_dest_address(codec::Writer& w, const Tdest_address& dest_address) {
  for (const auto& d : dest_address) {
    if (d.SME_DL) {
      w.u8(kDestFlagDL);
    } else {
      w.u8(kDestFlagSME);
      w.u8(d.dest_addr_ton);
      w.u8(d.dest_addr_npi);
    }
    w.cstring(d.destination_addr_dl_name);
  }
}

}  // namespace

AnsiString TVelmorSMPPDemo::dest_address_Get(const Tdest_address& dest_address, Byte& number_of_dests) {
  number_of_dests = static_cast<Byte>(dest_address.size());
  AnsiString out(dest_address_size(dest_address), '\0');
  codec::Writer w(out.data());
  write_dest_address(w, dest_address);
  return out;
}

void TVelmorSMPPDemo::FormatSUBMIT_MULTI(AnsiString& pdu, Cardinal& sequence_number,
                                         const AnsiString& service_type, Byte source_addr_ton,
                                         Byte source_addr_npi, const AnsiString& source_addr,
                                         const Tdest_address& dest_address, Byte esm_class, Byte protocol_id,
                                         Byte priority_flag, const AnsiString& schedule_delivery_time,
                                         const AnsiString& validity_period, Byte registered_delivery,
                                         Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id,
                                         const AnsiString& short_message, const TOPSubmit_MULTI& OPSubmit_MULTI) {
  const std::size_t dests = dest_address_size(dest_address);
  // Four C-Octet Strings (one NUL each) and eleven one-octet fields,
  // number_of_dests and sm_length included.
  const std::size_t body = service_type.size() + source_addr.size() + dests + schedule_delivery_time.size() +
                           validity_period.size() + short_message.size() + 15 + tlv::encoded_size(OPSubmit_MULTI);
  BeginRequest(pdu, command_id::submit_multi, 0, sequence_number, body);
  codec::Writer w = codec::body_writer(pdu, body);
  w.cstring(service_type);
  w.u8(source_addr_ton);
  w.u8(source_addr_npi);
  w.cstring(source_addr);
  w.u8(static_cast<Byte>(dest_address.size()));
  write_dest_address(w, dest_address);
  write_message_fields(w, esm_class, protocol_id, priority_flag, schedule_delivery_time, validity_period,
                       registered_delivery, replace_if_present_flag, data_coding, sm_default_msg_id, short_message);
  tlv::write(w, OPSubmit_MULTI);
  codec::end_pdu(pdu);
}

Cardinal TVelmorSMPPDemo::Submit_MULTI(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                                       const AnsiString& source_addr, const Tdest_address& dest_address,
                                       Byte esm_class, Byte protocol_id, Byte priority_flag,
                                       const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                                       Byte registered_delivery, Byte replace_if_present_flag, Byte data_coding,
                                       Byte sm_default_msg_id, const AnsiString& short_message,
                                       const TOPSubmit_MULTI& OPSubmit_MULTI) {
  // number_of_dests and sm_length are one octet each: a list or a text they
  // cannot count is refused rather than sent with a count that disagrees.
  if (dest_address.size() > MaxDestinations || short_message.size() > MaxShortMessage ||
      tlv::overlong(OPSubmit_MULTI))
    return 0;
  Cardinal seq = 0;
  FormatSUBMIT_MULTI(FOut, seq, service_type, source_addr_ton, source_addr_npi, source_addr, dest_address,
                     esm_class, protocol_id, priority_flag, schedule_delivery_time, validity_period,
                     registered_delivery, replace_if_present_flag, data_coding, sm_default_msg_id, short_message,
                     OPSubmit_MULTI);
  CliSockSend(FOut);
  return seq;
}

// Exactly no_unsuccess entries, whatever the octets hold: fields the body no
// longer has read as 0 or empty.
Tunsuccess_sme TVelmorSMPPDemo::unsuccess_sme_Set(Byte no_unsuccess, std::string_view rest) {
  Tunsuccess_sme list(no_unsuccess);
  codec::Cursor c(rest);
  for (auto& e : list) {
    e.dest_addr_ton = c.u8();
    e.dest_addr_npi = c.u8();
    e.destination_addr = str(c.cstring());
    e.error_status_code = c.u32();
  }
  return list;
}

// A body that ends before no_unsuccess (an error response often has none)
// reports no_unsuccess 0 and an empty list; the event still fires.
void TVelmorSMPPDemo::RecognSUBMIT_MULTI_RESP(Cardinal command_status, Cardinal sequence_number,
                                              std::string_view body) {
  if (command_status == 0 ? !OnSubmit_MULTI_RESP_OK : !OnSubmit_MULTI_RESP_Error) return;
  codec::Cursor c(body);
  AnsiString message_id = str(c.cstring());
  const Byte no_unsuccess = c.u8();
  Tunsuccess_sme unsuccess_sme = unsuccess_sme_Set(no_unsuccess, c.rest());
  if (command_status == 0)
    Fire(OnSubmit_MULTI_RESP_OK, sequence_number, std::move(message_id), no_unsuccess, std::move(unsuccess_sme));
  else
    Fire(OnSubmit_MULTI_RESP_Error, command_status, sequence_number, std::move(message_id), no_unsuccess,
         std::move(unsuccess_sme));
}

}  // namespace velmor
