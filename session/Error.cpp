#include "session/Error.h"

#include <string>

#include "sms/Names.h"

namespace velmor::session {
namespace {

class category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "velmor.smpp"; }

  std::string message(int v) const override {
    switch (static_cast<errc>(v)) {
      case errc::not_bound: return "not bound: connect and bind the session before sending";
      case errc::invalid_state:
        return "request not allowed in the current bind (e.g. submit_sm bound as receiver): bind as transmitter or "
               "transceiver";
      case errc::queue_full: return "send queue full: too many requests waiting, slow down or raise queue_limit";
      case errc::timeout:
        return "no response before the request's deadline: the SMSC is slow or the link is stalled; retry, or raise "
               "request_timeout";
      case errc::disconnected:
        return "connection lost before the response arrived: the request may have been executed; query_sm before "
               "sending it again";
      case errc::shutting_down: return "session shutting down or destroyed: no new requests are accepted";
      case errc::bind_failed: return "no bind response before bind_timeout: check the SMSC address and its load";
      case errc::connect_failed:
        return "could not connect to the SMSC (refused, unreachable or connect_timeout): check host and port";
      case errc::invalid_argument:
        return "request refused before sending: a field too long for its PDU; send long text with send_text or "
               "message_payload";
      case errc::encoding_failed: return "text is not valid UTF-8 or needs more than 255 parts: fix or shorten it";
      case errc::link_dead:
        return "SMSC did not answer enquire_link within enquire_link_timeout: link closed, the session reconnects";
      case errc::peer_unbound:
        return "SMSC ended the session with unbind: link closed, the session reconnects if config::reconnect says so";
      case errc::send_queue_full:
        return "socket send queue full: the SMSC reads slower than requests are made; slow down or raise "
               "send_queue_limit";
      case errc::nacked:
        return "SMSC answered generic_nack without a status: the request was not accepted; check what was sent";
      case errc::receipt_store_behind:
        return "receipt store behind (unreachable or slow): request asking for a receipt not sent; retry later or "
               "raise receipt_matching.max_unwritten";
    }
    const auto status = static_cast<std::uint32_t>(v);
    std::string out = "SMSC answered " + sms::FormatCommandStatus(status);
    if (auto d = sms::CommandStatusDescription(status)) {
      out += ": ";
      out += *d;
    }
    return out;
  }
};

}  // namespace

const std::error_category& error_category() noexcept {
  static const category c;
  return c;
}

std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), error_category()}; }

std::error_code smpp_error(std::uint32_t status) noexcept {
  if (status == 0) return {};
  return {static_cast<int>(status), error_category()};
}

std::optional<std::uint32_t> command_status_of(const std::error_code& ec) noexcept {
  if (ec.category() != error_category() || (ec.value() < 0 && ec.value() >= static_cast<int>(errc::last_)))
    return std::nullopt;
  return static_cast<std::uint32_t>(ec.value());
}

}  // namespace velmor::session
