// SMSC delivery receipts: the conventional short_message text
//   id:IIIIIIIIII sub:SSS dlvrd:DDD submit date:YYMMDDhhmm done date:YYMMDDhhmm stat:DDDDDDD err:E text:...
// in its common vendor variants, merged with the receipt TLVs of deliver_sm/data_sm.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sms/Names.h"

namespace velmor::sms {

// The message type of esm_class (bits 2-5) in a deliver_sm or data_sm from
// the SMSC: an ordinary message, or one of the notifications about a message
// sent earlier.
enum class EsmMessageType : std::uint8_t {
  Message = 0x00,
  DeliveryReceipt = 0x04,  // SMSC delivery receipt
  DeliveryAck = 0x08,      // SME delivery acknowledgement
  UserAck = 0x10,          // SME manual/user acknowledgement
  ConversationAbort = 0x18,
  Intermediate = 0x20,  // intermediate delivery notification
};
inline constexpr std::uint8_t kEsmClassMessageTypeMask = 0x3C;

// The message type bits as they are; a value not listed above is returned as is.
constexpr EsmMessageType MessageTypeOf(std::uint8_t esm_class) noexcept {
  return static_cast<EsmMessageType>(esm_class & kEsmClassMessageTypeMask);
}

// The one receipt test: true for every notification kind (SMSC delivery
// receipt, SME delivery acknowledgement, user acknowledgement, intermediate
// notification), false for an ordinary message and for unassigned types.
constexpr bool IsReceiptEsmClass(std::uint8_t esm_class) noexcept {
  switch (MessageTypeOf(esm_class)) {
    case EsmMessageType::DeliveryReceipt:
    case EsmMessageType::DeliveryAck:
    case EsmMessageType::UserAck:
    case EsmMessageType::Intermediate: return true;
    default: return false;
  }
}
// The former name of IsReceiptEsmClass; it now knows every notification kind.
constexpr bool IsDeliveryReceiptEsmClass(std::uint8_t esm_class) noexcept { return IsReceiptEsmClass(esm_class); }

// An intermediate delivery notification: a report on the way, never the last.
constexpr bool IsIntermediateNotification(std::uint8_t esm_class) noexcept {
  return MessageTypeOf(esm_class) == EsmMessageType::Intermediate;
}

// Whether a notification with this esm_class and message_state is the last
// one for its message: never for an intermediate notification; otherwise when
// its state is final, or when it names no state (nothing says more follows).
constexpr bool IsFinalNotification(std::uint8_t esm_class, std::optional<MessageState> state) noexcept {
  if (IsIntermediateNotification(esm_class)) return false;
  return !state || IsFinal(*state);
}

struct ReceiptDate {
  std::uint16_t year = 0;  // 2000 + YY
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool has_seconds = false;  // 12-digit form
  friend bool operator==(const ReceiptDate&, const ReceiptDate&) = default;
};

struct NetworkErrorCode {
  std::uint8_t type = 0;  // 1 ANSI-136, 2 IS-95, 3 GSM, ...
  std::uint16_t code = 0;
  friend bool operator==(const NetworkErrorCode&, const NetworkErrorCode&) = default;
};

struct ReceiptField {
  std::string key;  // as written
  std::string value;
};

struct Receipt {
  std::string id;                                   // text id:, else receipted_message_id
  std::optional<std::uint64_t> id_decimal;          // id read as decimal, when it is one
  std::optional<std::uint64_t> id_hex;              // id read as hex (optional 0x), when it is one
  std::optional<std::string> receipted_message_id;  // TLV value, trailing NULs removed
  std::optional<std::string> sub;
  std::optional<std::string> dlvrd;
  std::optional<std::string> submit_date_text;
  std::optional<std::string> done_date_text;
  std::optional<ReceiptDate> submit_date;  // when the text is a valid 10/12-digit date
  std::optional<ReceiptDate> done_date;
  std::optional<std::string> stat;    // as written
  std::optional<MessageState> state;  // message_state TLV if given, else from stat
  std::optional<std::string> err;
  std::optional<NetworkErrorCode> network_error;  // from the 3-octet TLV
  std::optional<std::string> text;                // everything after text:, verbatim
  std::vector<ReceiptField> extra_fields;         // unknown keys, when kept
};

// Receipt TLVs as received; any may be absent.
struct ReceiptTlvs {
  std::optional<std::string_view> receipted_message_id;  // may end with NUL(s)
  std::optional<std::uint8_t> message_state;
  std::optional<std::string_view> network_error_code;  // 3 octets; other lengths ignored
};

struct ReceiptOptions {
  bool keep_unknown_fields = true;
};

// Keys match in any letter case; "submit date" may also be written submit_date or
// submitdate (likewise done date). A field's value runs to the next key; text: runs to
// the end. The result is a receipt when a message id is known (text or TLV) and at
// least one of sub, dlvrd, submit date, done date, stat or message_state is present;
// anything else is nullopt. Never throws; any octets are accepted.
std::optional<Receipt> ParseReceipt(std::string_view short_message, const ReceiptTlvs& tlvs = {},
                                    const ReceiptOptions& options = {});

// YYMMDDhhmm or YYMMDDhhmmss with field ranges checked.
std::optional<ReceiptDate> ParseReceiptDate(std::string_view digits) noexcept;

// Whether a receipt id and a submit_sm_resp message_id name the same message: equal
// text (ignoring case and surrounding blanks), or equal numbers when either side is
// read as decimal or hex (SMSCs commonly answer in hex and report in decimal or the
// other way round).
bool SameMessageId(std::string_view receipt_id, std::string_view message_id) noexcept;

// A message id read as a number: base 10 takes decimal digits only, base 16 hex digits
// in either case after an optional 0x. nullopt when the id (taken as is, blanks
// included) is not such a number or does not fit 64 bits.
std::optional<std::uint64_t> MessageIdNumber(std::string_view id, unsigned base) noexcept;

}  // namespace velmor::sms
