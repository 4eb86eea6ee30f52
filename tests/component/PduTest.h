// Shared by the PDU tests: the component with its seams opened, the event
// recorder, and a header builder for received PDUs.
#pragma once

#include <string>
#include <string_view>

#include "common/EventLog.h"
#include "common/Hex.h"
#include "common/Probe.h"
#include "common/Split.h"

namespace velmor::test {

// A whole PDU: header with command_length counted here, then the body given
// as hex text.
inline std::string pdu(Cardinal id, Cardinal status, Cardinal seq, std::string_view body_hex) {
  const std::string body = hex(body_hex);
  std::string out;
  for (Cardinal v : {static_cast<Cardinal>(16 + body.size()), id, status, seq})
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
  return out + body;
}

// Hex text of an ASCII string, for composing golden bodies readably.
inline std::string ascii(std::string_view s) { return to_hex(s); }

}  // namespace velmor::test
