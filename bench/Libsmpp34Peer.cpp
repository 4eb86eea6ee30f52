#include "bench/Libsmpp34Peer.h"

#include <cstring>

extern "C" {
#include <stdint.h>
#include <stdio.h>
// libsmpp34's headers are C and rely on this order.
// clang-format off
#include <smpp34.h>
#include <smpp34_structs.h>
#include <smpp34_params.h>
// clang-format on
}

namespace velmor::bench::smpp34_peer {

struct SubmitSm::Impl {
  submit_sm_t pdu{};
  tlv_t umr{}, port{}, callback{};
};

namespace {
void copy_cstr(std::uint8_t* dst, const char* src) { std::memcpy(dst, src, std::strlen(src) + 1); }
}  // namespace

SubmitSm::SubmitSm() : impl_(new Impl) {
  submit_sm_t& s = impl_->pdu;
  s.command_id = SUBMIT_SM;
  s.command_status = ESME_ROK;
  copy_cstr(s.service_type, "");
  s.source_addr_ton = 1;
  s.source_addr_npi = 1;
  copy_cstr(s.source_addr, "VELMOR");
  s.dest_addr_ton = 1;
  s.dest_addr_npi = 1;
  copy_cstr(s.destination_addr, "447700900123");
  copy_cstr(s.schedule_delivery_time, "");
  copy_cstr(s.validity_period, "");
  s.registered_delivery = 1;
  s.sm_length = 160;
  std::memset(s.short_message, 'x', 160);
  impl_->umr.tag = TLVID_user_message_reference;
  impl_->umr.length = 2;
  impl_->umr.value.val16 = 4711;
  impl_->port.tag = TLVID_destination_port;
  impl_->port.length = 2;
  impl_->port.value.val16 = 2948;
  impl_->callback.tag = TLVID_callback_num;
  impl_->callback.length = 12;
  std::memcpy(impl_->callback.value.octet, "447700900999", 12);
  impl_->umr.next = &impl_->port;
  impl_->port.next = &impl_->callback;
  s.tlv = &impl_->umr;
}

SubmitSm::~SubmitSm() { delete impl_; }

bool SubmitSm::pack(std::string& out, std::uint32_t seq) {
  impl_->pdu.sequence_number = seq;
  out.resize(512);
  int len = 0;
  if (smpp34_pack(SUBMIT_SM, reinterpret_cast<std::uint8_t*>(out.data()), static_cast<int>(out.size()), &len,
                  &impl_->pdu) != 0)
    return false;
  out.resize(static_cast<std::size_t>(len));
  return true;
}

std::size_t unpack_deliver_sm(std::string_view pdu) {
  deliver_sm_t d;
  std::memset(&d, 0, sizeof d);
  if (smpp34_unpack(DELIVER_SM, &d, reinterpret_cast<const std::uint8_t*>(pdu.data()), static_cast<int>(pdu.size())) !=
      0)
    return 0;
  std::size_t sum = d.sequence_number + std::strlen(reinterpret_cast<const char*>(d.service_type)) +
                    std::strlen(reinterpret_cast<const char*>(d.source_addr)) +
                    std::strlen(reinterpret_cast<const char*>(d.destination_addr)) + d.esm_class +
                    std::strlen(reinterpret_cast<const char*>(d.schedule_delivery_time)) +
                    std::strlen(reinterpret_cast<const char*>(d.validity_period)) + d.sm_length + d.sm_length;
  for (tlv_t* t = d.tlv; t; t = t->next) {
    if (t->tag == TLVID_receipted_message_id) sum += t->length;
    if (t->tag == TLVID_message_state) sum += t->value.val08;
  }
  destroy_tlv(d.tlv);
  return sum;
}

}  // namespace velmor::bench::smpp34_peer
