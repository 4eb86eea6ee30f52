// Mobile-originated messages as a handset's SMSC would deliver them: the
// UTF-8 text in GSM 7-bit when every character fits, UCS-2 otherwise, and a
// text longer than one short message split into parts with a concatenation
// UDH (esm_class UDHI). As data_sm the whole text goes in one
// message_payload. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Session.h"

namespace velmor::smsc {

struct MoText {
  std::string source = "46700000100";
  std::string destination = "1234";
  std::string text;
  bool data_sm = false;
  std::optional<Byte> data_coding;  // unset: GSM 7-bit when it fits, else UCS-2
  std::uint8_t reference = 1;       // the parts' concatenation reference
};

// One Originated per PDU to send, in order; an error text when the text is
// not valid UTF-8, does not fit the data_coding asked for, or needs more
// than 255 parts.
struct MoParts {
  std::vector<Originated> pdus;
  std::string error;
};
MoParts encode_mo(const MoText& mo);

}  // namespace velmor::smsc
