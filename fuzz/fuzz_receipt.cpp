// libFuzzer entry: delivery-receipt parsing and multipart reassembly on arbitrary octets.
// Both must return (never crash, never read out of bounds) whatever the input.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sms/Reassembly.h"
#include "sms/Receipt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmor::sms;
  const std::string_view in(reinterpret_cast<const char*>(data), size);

  // First three octets double as receipt TLVs.
  ReceiptTlvs tlvs;
  if (size >= 1) tlvs.message_state = data[0];
  if (size >= 3) tlvs.network_error_code = in.substr(0, 3);
  tlvs.receipted_message_id = in.substr(0, size / 4);
  (void)ParseReceipt(in);
  (void)ParseReceipt(in, tlvs);

  // Split the input into parts at 0xFF: first octet of each is esm_class, second
  // data_coding, the rest short_message. A tiny pending limit exercises eviction.
  Reassembler reassembler({.max_pending = 4,
                           .max_pending_octets = 1024,
                           .expiry = std::chrono::seconds(30),
                           .gsm_packed = (size % 2) == 1});
  auto now = std::chrono::steady_clock::time_point{};
  std::size_t begin = 0;
  while (begin < size) {
    std::size_t end = in.find('\xFF', begin);
    if (end == std::string_view::npos) end = size;
    const std::string_view chunk = in.substr(begin, end - begin);
    InboundPart part;
    part.source = "src";
    part.destination = "dst";
    part.esm_class = chunk.size() > 0 ? static_cast<std::uint8_t>(chunk[0]) : 0x40;
    part.data_coding = chunk.size() > 1 ? static_cast<std::uint8_t>(chunk[1]) : 0;
    part.short_message = std::string(chunk.substr(chunk.size() > 2 ? 2 : chunk.size()));
    if ((part.esm_class & 0x01) && part.short_message.size() >= 4) {
      part.sar =
          SarValues{static_cast<std::uint16_t>(part.short_message[0]), static_cast<std::uint8_t>(part.short_message[1]),
                    static_cast<std::uint8_t>(part.short_message[2])};
    }
    now += std::chrono::seconds(1);
    auto result = reassembler.Feed(part, now);
    if (result.message) (void)DecodeMessage(*result.message, OnBadInput::Replace);
    begin = end + 1;
  }
  return 0;
}
