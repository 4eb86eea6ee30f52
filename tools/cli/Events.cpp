#include "tools/cli/Events.h"

#include "codec/Commands.h"
#include "sms/Encoding.h"
#include "sms/Names.h"
#include "tools/cli/ClientImpl.h"
#include "tools/cli/Format.h"

namespace velmor::cli {

Events::Events(smsc::Server& server, std::ostream* out, std::function<void(const json&)> activity)
    : server_(server), out_(out), activity_(std::move(activity)) {}

void Events::Line(const json& j) {
  if (out_) *out_ << j.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
}

void Events::Emit(const json& j) {
  Line(j);
  if (activity_) activity_(j);
}

void Events::Pdu(std::string_view session, bool received, std::string_view pdu) {
  if (pdu.size() < 16) return;
  const std::uint32_t id = ReadU32(pdu, 4), status = ReadU32(pdu, 8);
  if (!received && status == 0 &&
      (id == command_id::bind_transmitter_resp || id == command_id::bind_receiver_resp ||
       id == command_id::bind_transceiver_resp)) {
    const char* bind = id == command_id::bind_transmitter_resp ? "transmitter"
                       : id == command_id::bind_receiver_resp  ? "receiver"
                                                               : "transceiver";
    Emit({{"type", "bound"}, {"session", session}, {"bind", bind}});
  } else if (received && id == command_id::unbind) {
    Emit({{"type", "unbind"}, {"session", session}, {"by", "esme"}});
  } else if (!received && id == command_id::unbind) {
    Emit({{"type", "unbind"}, {"session", session}, {"by", "smsc"}});
  } else if (!received && (id == command_id::submit_sm_resp || id == command_id::submit_multi_resp ||
                           id == command_id::data_sm_resp)) {
    const auto it = pending_.find({std::string(session), ReadU32(pdu, 12)});
    if (it == pending_.end()) return;
    json j = std::move(it->second);
    pending_.erase(it);
    j["type"] = "submit";
    j["command_status"] = status;
    const auto name = sms::CommandStatusName(status);
    j["status"] = name ? std::string(*name) : std::to_string(status);
    if (status == 0 && pdu.size() > 16) j["message_id"] = std::string(pdu.substr(16, pdu.find('\0', 16) - 16));
    if (activity_) activity_(j);
  } else if (!received && (id == command_id::deliver_sm || id == command_id::data_sm)) {
    // service_type, source (ton, npi, addr), dest (ton, npi, addr), esm_class
    std::size_t at = 16;
    auto cstr = [&] {
      const std::size_t end = pdu.find('\0', at);
      if (end == std::string_view::npos) return std::string_view();
      std::string_view v = pdu.substr(at, end - at);
      at = end + 1;
      return v;
    };
    cstr();
    at += 2;
    const std::string_view from = cstr();
    at += 2;
    const std::string_view to = cstr();
    if (at >= pdu.size()) return;
    const Byte esm_class = Byte(pdu[at]);
    if ((esm_class & 0x3C) != 0) return;  // a receipt: reported by Final()
    Emit({{"type", "mo"},
          {"session", session},
          {"via", id == command_id::data_sm ? "data_sm" : "deliver_sm"},
          {"from", from},
          {"to", to},
          {"esm_class", esm_class}});
  }
}

void Events::Submit(const smsc::Session& s, const smsc::MessageView& m) {
  json to = json::array();
  for (const auto& d : m.destinations) to.push_back(d.address.addr);
  json j{{"type", "received"},
         {"session", s.name()},
         {"via", m.command_id == command_id::submit_multi ? "submit_multi"
                 : m.command_id == command_id::data_sm    ? "data_sm"
                                                          : "submit_sm"},
         {"from", m.source.addr},
         {"to", to},
         {"esm_class", m.esm_class},
         {"data_coding", m.data_coding}};
  const bool udh = (m.esm_class & 0x40) != 0 && !m.short_message.empty();
  const std::string_view body =
      udh ? m.short_message.substr(std::min<std::size_t>(m.short_message.size(), 1 + Byte(m.short_message[0])))
          : m.short_message;
  const auto alphabet = sms::AlphabetOf(m.data_coding);
  auto text = alphabet == sms::Alphabet::Binary || alphabet == sms::Alphabet::Unsupported
                  ? sms::Result<std::string>(sms::Error{sms::ErrorCode::UnsupportedCoding})
                  : sms::DecodeText(body, m.data_coding);
  if (text)
    j["text"] = *text;
  else
    j["text_hex"] = HexOctets(body);
  if (out_) Line(j);
  if (activity_) {
    // A request never answered (a no-response rule) must not pile up.
    if (pending_.size() >= 10000) pending_.erase(pending_.begin());
    pending_[{s.name(), m.sequence_number}] = std::move(j);
  }
}

void Events::Final(const smsc::StoredMessage& m) {
  const Byte rd = m.registered_delivery & 0x03;
  const bool receipt = rd == 1 || (rd == 2 && m.state != sms::MessageState::Delivered);
  Emit({{"type", receipt ? "receipt" : "final"},
        {"message_id", server_.smsc().ids().text(m.id)},
        {"from", m.destination.view()},
        {"to", m.source.view()},
        {"state", sms::MessageStateName(m.state)},
        {"message_state", static_cast<unsigned>(m.state)},
        {"stat", sms::ReceiptStat(m.state)}});
}

}  // namespace velmor::cli
