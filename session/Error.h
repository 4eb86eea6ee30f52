// Errors of the session layer: one std::error_category for every SMPP
// command_status an SMSC may answer with (value = the status) and for the
// failures the session reports itself (negative values, enum errc).
#pragma once

#include <cstdint>
#include <optional>
#include <system_error>

namespace velmor::session {

enum class errc : int {
  not_bound = -1,         // the request needs a bind and the session has none (never connected, or stopped)
  invalid_state = -2,     // the current bind does not allow this request (submit_sm bound as receiver)
  queue_full = -3,        // window and queue are both full
  timeout = -4,           // no response before the request's deadline
  disconnected = -5,      // the connection ended while the request waited for its response
  shutting_down = -6,     // the session is shutting down or was destroyed
  bind_failed = -7,       // no bind_resp before bind_timeout
  connect_failed = -8,    // the TCP connection could not be made (refused, unreachable, connect_timeout)
  invalid_argument = -9,  // a field the PDU cannot carry (short_message over 254 octets, value over 65535)
  encoding_failed = -10,  // send_text: the text cannot be encoded or split
  link_dead = -11,        // enquire_link went unanswered; the link was closed
  peer_unbound = -12,     // the SMSC sent unbind: the session answered it and closed the link
  send_queue_full = -13,  // the socket's send queue (config::send_queue_limit) had no room for the PDU
  nacked = -14,           // the SMSC answered generic_nack with command_status 0: the request was not accepted
  // A request asking for a receipt, while the receipt store has more writes
  // waiting than receipt_matching.max_unwritten: not sent, so none is lost.
  receipt_store_behind = -15,
  last_ = receipt_store_behind,  // (the lowest value of this enum)
};

const std::error_category& error_category() noexcept;

std::error_code make_error_code(errc e) noexcept;
// The error for a non-zero command_status of a response (0: no error).
std::error_code smpp_error(std::uint32_t command_status) noexcept;
// The command_status an error carries, when it is one.
std::optional<std::uint32_t> command_status_of(const std::error_code& ec) noexcept;

}  // namespace velmor::session

template <>
struct std::is_error_code_enum<velmor::session::errc> : std::true_type {};
