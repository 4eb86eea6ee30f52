// submit_multi, its destination lists, and submit_multi_resp with the list of
// unsuccessful destinations.
#include "component/Internal.h"

namespace velmor {
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

// The encoded destination list alone, with its count.
AnsiString TVelmorSMPPDemo::dest_address_Get(const Tdest_address& dest_address, Byte& number_of_dests) {
  number_of_dests = static_cast<Byte>(dest_address.size());
  const pdu::DestList<const Tdest_address> list{&dest_address};
  AnsiString out;
  pdu::append(out, list);
  out.erase(0, 1);  // number_of_dests travels separately here
  return out;
}

void TVelmorSMPPDemo::FormatSUBMIT_MULTI(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type,
                                         Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                                         const Tdest_address& dest_address, Byte esm_class, Byte protocol_id,
                                         Byte priority_flag, const AnsiString& schedule_delivery_time,
                                         const AnsiString& validity_period, Byte registered_delivery,
                                         Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id,
                                         const AnsiString& short_message, const TOPSubmit_MULTI& OPSubmit_MULTI) {
  const velmor::pdu::SubmitMultiT<const Tdest_address> body{service_type,
                                                            {source_addr_ton, source_addr_npi, source_addr},
                                                            {&dest_address},
                                                            {esm_class,
                                                             protocol_id,
                                                             priority_flag,
                                                             schedule_delivery_time,
                                                             validity_period,
                                                             registered_delivery,
                                                             replace_if_present_flag,
                                                             data_coding,
                                                             sm_default_msg_id,
                                                             {0, short_message}},
                                                            pdu::tlvs_of(OPSubmit_MULTI)};
  FormatRequest(pdu, command_id::submit_multi, 0, sequence_number, body);
}

Cardinal TVelmorSMPPDemo::Submit_MULTI(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                                       const AnsiString& source_addr, const Tdest_address& dest_address, Byte esm_class,
                                       Byte protocol_id, Byte priority_flag, const AnsiString& schedule_delivery_time,
                                       const AnsiString& validity_period, Byte registered_delivery,
                                       Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id,
                                       const AnsiString& short_message, const TOPSubmit_MULTI& OPSubmit_MULTI) {
  // number_of_dests and sm_length are one octet each: a list or a text they
  // cannot count is refused rather than sent with a count that disagrees.
  if (dest_address.size() > MaxDestinations || short_message.size() > MaxShortMessage || tlv::overlong(OPSubmit_MULTI))
    return 0;
  Cardinal seq = 0;
  FormatSUBMIT_MULTI(FOut, seq, service_type, source_addr_ton, source_addr_npi, source_addr, dest_address, esm_class,
                     protocol_id, priority_flag, schedule_delivery_time, validity_period, registered_delivery,
                     replace_if_present_flag, data_coding, sm_default_msg_id, short_message, OPSubmit_MULTI);
  CliSockSend(FOut);
  return seq;
}

// Exactly no_unsuccess entries, whatever the octets hold: fields the body no
// longer has read as 0 or empty.
Tunsuccess_sme TVelmorSMPPDemo::unsuccess_sme_Set(Byte no_unsuccess, std::string_view rest) {
  Tunsuccess_sme list;
  UnsuccessSink sink{list};
  sink.reserve(no_unsuccess);
  codec::Cursor c(rest);
  for (Byte i = 0; i < no_unsuccess; ++i) {
    pdu::Unsuccess u;
    sink.push_back(pdu::read(c, u));
  }
  return list;
}

// A body that ends before no_unsuccess (an error response often has none)
// reports no_unsuccess 0 and an empty list; the event still fires.
void TVelmorSMPPDemo::RecognSUBMIT_MULTI_RESP(Cardinal command_status, Cardinal sequence_number,
                                              std::string_view body) {
  if (command_status == 0 ? !OnSubmit_MULTI_RESP_OK : !OnSubmit_MULTI_RESP_Error) return;
  Tunsuccess_sme unsuccess_sme;
  UnsuccessSink sink{unsuccess_sme};
  pdu::SubmitMultiRespT<UnsuccessSink> r{{}, {&sink}};
  pdu::read(body, r);
  const Byte no_unsuccess = r.unsuccess.no_unsuccess;
  if (command_status == 0)
    Fire(OnSubmit_MULTI_RESP_OK, sequence_number, r.message_id, no_unsuccess, moved(unsuccess_sme));
  else
    Fire(OnSubmit_MULTI_RESP_Error, command_status, sequence_number, r.message_id, no_unsuccess, moved(unsuccess_sme));
}

}  // namespace velmor
