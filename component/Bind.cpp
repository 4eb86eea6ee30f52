// bind_transmitter, bind_receiver, bind_transceiver, outbind, and the three
// bind responses. The component keeps no bind state: the bind type of a
// response comes from the response's own command_id.
#include "component/BindType.h"
#include "component/Internal.h"

namespace velmor {
namespace {

constexpr Byte kInterfaceVersion = codec::interface_version;

}  // namespace

void TVelmorSMPPDemo::FormatBIND(AnsiString& pdu, Cardinal& sequence_number, TBindType Bind_Type,
                                 const AnsiString& system_id, const AnsiString& password, const AnsiString& system_type,
                                 Byte interface_version, Byte addr_ton, Byte addr_npi,
                                 const AnsiString& address_range) {
  const velmor::pdu::Bind body{
      system_id, password, system_type, interface_version, {addr_ton, addr_npi, address_range}};
  FormatRequest(pdu, BindCommand(Bind_Type), 0, sequence_number, body);
}

void TVelmorSMPPDemo::FormatOUTBIND(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& system_id,
                                    const AnsiString& password) {
  FormatRequest(pdu, command_id::outbind, 0, sequence_number, velmor::pdu::Outbind{system_id, password});
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
  pdu::BindResp r;
  pdu::read(body, r);
  const TOPBind_RESP op = OPBind_RESP_Set(r.optional.octets);
  if (command_status == 0)
    Fire(OnBind_RESP_OK, Bind_Type, sequence_number, r.system_id, op);
  else
    Fire(OnBind_RESP_Error, Bind_Type, command_status, sequence_number, r.system_id, op);
}

}  // namespace velmor
