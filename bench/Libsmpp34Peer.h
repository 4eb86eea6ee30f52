// libsmpp34 (Debian libsmpp34-dev, a C codec) doing the codec work our
// benchmarks measure, for the ratios bench/run.sh prints. Only its public
// API is used: smpp34_pack / smpp34_unpack over its PDU structures.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmor::bench::smpp34_peer {

// The submit_sm of BM_Build_submit_sm (160-octet text, user_message_reference,
// destination_port, callback_num) as libsmpp34 structures, filled once.
class SubmitSm {
 public:
  SubmitSm();
  ~SubmitSm();
  // Packs it with sequence_number seq into out (resized to the PDU); false
  // when libsmpp34 reports an error.
  bool pack(std::string& out, std::uint32_t seq);

 private:
  struct Impl;
  Impl* impl_;
};

// Unpacks a deliver_sm and reads every field the receipt handler of
// bench::Sink reads; returns their sum (0 when libsmpp34 refused the PDU).
std::size_t unpack_deliver_sm(std::string_view pdu);

}  // namespace velmor::bench::smpp34_peer
