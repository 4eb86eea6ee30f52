// query_sm and query_sm_resp.
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatQUERY_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& message_id,
                                     Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr) {
  FormatRequest(pdu, command_id::query_sm, 0, sequence_number,
                velmor::pdu::QuerySm{message_id, {source_addr_ton, source_addr_npi, source_addr}});
}

Cardinal TVelmorSMPPDemo::Query_SM(const AnsiString& message_id, Byte source_addr_ton, Byte source_addr_npi,
                                   const AnsiString& source_addr) {
  Cardinal seq = 0;
  FormatQUERY_SM(FOut, seq, message_id, source_addr_ton, source_addr_npi, source_addr);
  CliSockSend(FOut);
  return seq;
}

// message_state and error_code that the body no longer holds (an error
// response often has no body) read as 0; the event still fires.
void TVelmorSMPPDemo::RecognQUERY_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body) {
  if (command_status == 0 ? !OnQuery_SM_RESP_OK : !OnQuery_SM_RESP_Error) return;
  pdu::QuerySmResp r;
  pdu::read(body, r);
  if (command_status == 0)
    Fire(OnQuery_SM_RESP_OK, sequence_number, r.message_id, r.final_date, r.message_state, r.error_code);
  else
    Fire(OnQuery_SM_RESP_Error, command_status, sequence_number, r.message_id, r.final_date, r.message_state,
         r.error_code);
}

}  // namespace velmor
