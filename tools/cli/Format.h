// Text the CLI prints: status and socket error wording, PDU trace lines, and
// the one-line (plain or JSON) forms of received messages and receipts.
// Pure functions of their arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "codec/Types.h"
#include "sms/Receipt.h"

namespace velmor::cli {

// "0x00000058 ESME_RTHROTTLED (Throttling error)"; a value without a
// protocol name reads "0x00000400 (reserved/vendor)".
std::string StatusText(Cardinal status);

// A socket error code as the platform reports it: errno values with
// strerror's text, negative resolver codes with gai_strerror's, e.g.
// "error 111 (Connection refused)".
std::string SocketErrorText(int code);

// Upper-case hex, one space between octets.
std::string HexOctets(std::string_view octets);
// Hex digits (either case, no separators) to octets; the caller checked them.
std::string OctetsFromHex(std::string_view hex);

// One trace line: direction ('>' sent, '<' received), the header fields
// decoded, then the whole PDU in hex. A PDU shorter than its header is shown
// as hex only.
std::string TraceLine(char direction, std::string_view pdu);

// A JSON string with quotes, backslashes and control characters escaped;
// octets that are not valid UTF-8 become U+FFFD (JSON lines carry such
// values as hex in a separate `<key>_hex` field instead).
std::string JsonString(std::string_view text);

// A mobile-originated message, whole (after reassembly).
struct MessageLine {
  std::string source;
  std::string destination;
  Byte data_coding = 0;
  unsigned parts = 1;
  std::string text;  // UTF-8, or hex when not decodable
  bool text_is_hex = false;
  const char* via = "deliver_sm";
};
std::string FormatMessage(const MessageLine& m, bool json);

// A delivery receipt with the fields it had; absent ones are left out. JSON:
// message_id (the receipt's id), state (name) and message_state (number),
// stat as written, err, sub, dlvrd, dates, from, to, text.
std::string FormatReceipt(const sms::Receipt& r, std::string_view source, std::string_view destination, bool json);
// The same receipt as a JSON object, for lines that add keys of their own.
nlohmann::json ReceiptJson(const sms::Receipt& r, std::string_view source, std::string_view destination);

// Whose message a receipt was matched to, through a shared store: the
// sending run's tag, its input line (--file runs), the part and the outcome
// (matched, early_matched, duplicate, intermediate).
struct ReceiptOrigin {
  std::string tag;
  std::optional<unsigned long long> line;
  unsigned part = 1, parts = 1;
  std::string outcome;
};
// FormatReceipt with the origin after it: plain "... tag=T line=N part=1/2
// outcome=matched", JSON the keys tag, line (null without one), part, parts,
// outcome.
std::string FormatReceiptFrom(const sms::Receipt& r, std::string_view source, std::string_view destination,
                              const ReceiptOrigin& o, bool json);

}  // namespace velmor::cli
