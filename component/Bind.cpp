// bind_transmitter, bind_receiver, bind_transceiver, outbind, and the three
// bind responses. The component keeps no bind state: the bind type of a
// response comes from the response's own command_id.
#include "component/Internal.h"

namespace velmor {
namespace {

constexpr Byte kInterfaceVersion = 0x34;

Cardinal BindValue(TBindType Bind_Type) {
  switch (Bind_Type) {
    case Transmitter: return command_id::bind_transmitter;
    case Receiver: return command_id::bind_receiver;
    case Transceiver:
    default: return command_id::bind_transceiver;
  }
}

}  // namespace

void TVelmorSMPPDemo::FormatBIND(AnsiString& pdu, Cardinal& sequence_number, TBindType Bind_Type,
                                 const AnsiString& system_id, const AnsiString& password,
                                 const AnsiString& system_type, Byte interface_version, Byte addr_ton,
                                 Byte addr_npi, const AnsiString& address_range) {
  // Four C-Octet Strings (one NUL each) and three one-octet fields.
  const std::size_t body = system_id.size() + password.size() + system_type.size() + address_range.size() + 7;
  BeginRequest(pdu, BindValue(Bind_Type), 0, sequence_number, body);
  codec::Writer w = codec::body_writer(pdu, body);
  w.cstring(system_id);
  w.cstring(password);
  w.cstring(system_type);
  w.u8(interface_version);
  w.u8(addr_ton);
  w.u8(addr_npi);
  w.cstring(address_range);
  codec::end_pdu(pdu);
}

void TVelmorSMPPDemo::FormatOUTBIND(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& system_id,
                                    const AnsiString& password) {
  BeginRequest(pdu, command_id::outbind, 0, sequence_number, system_id.size() + password.size() + 2);
  codec::put_cstring(pdu, system_id);
  codec::put_cstring(pdu, password);
  codec::end_pdu(pdu);
}

Cardinal TVelmorSMPPDemo::Bind(TBindType Bind_Type, const AnsiString& system_id, const AnsiString& password,
                               const AnsiString& system_type, Byte addr_ton, Byte addr_npi,
                               const AnsiString& address_range) {
  Cardinal seq = 0;
  FormatBIND(FOut, seq, Bind_Type, system_id, password, system_type, kInterfaceVersion, addr_ton, addr_npi,
             address_range);
  CliSockSend(FOut);
  return seq;
}

Cardinal TVelmorSMPPDemo::Outbind(const AnsiString& system_id, const AnsiString& password) {
  Cardinal seq = 0;
  FormatOUTBIND(FOut, seq, system_id, password);
  CliSockSend(FOut);
  return seq;
}

void TVelmorSMPPDemo::RecognBIND_RESP(TBindType Bind_Type, Cardinal command_status, Cardinal sequence_number,
                                      std::string_view body) {
  if (command_status == 0 ? !OnBind_RESP_OK : !OnBind_RESP_Error) return;
  codec::Cursor c(body);
  AnsiString system_id = str(c.cstring());
  TOPBind_RESP op = OPBind_RESP_Set(c.rest());
  if (command_status == 0)
    Fire(OnBind_RESP_OK, Bind_Type, sequence_number, std::move(system_id), std::move(op));
  else
    Fire(OnBind_RESP_Error, Bind_Type, command_status, sequence_number, std::move(system_id), std::move(op));
}

}  // namespace velmor
