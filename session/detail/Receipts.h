// Every use of the receipt store, in one place on the shell's side: what a
// submit response remembers, how a receipt is placed (through the receipt
// desk, asynchronously), and what the application's receipt handler is told.
// Loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include <asio/any_io_executor.hpp>

#include "session/Types.h"
#include "session/detail/Machine.h"
#include "session/receipts/Desk.h"
#include "session/receipts/Memory.h"

namespace velmor::session::detail {

class receipts {
 public:
  receipts(asio::any_io_executor ex, const config& cfg);

  // While a long text's parts are requested: each request key made
  // meanwhile belongs to one group, whose receipts add up to one outcome.
  void begin_text();
  void end_text() { text_group_.clear(); }
  void requested(std::uint32_t key, std::uint16_t part_count);
  // Request `key` leaves this session (to another bind of a pool): its
  // group goes with it, and the bind that takes it in files it under its
  // own key.
  std::string hand_over(std::uint32_t key);
  void take_over(std::uint32_t key, std::string group);

  // Request `key` completed; when its response carried a message_id for a
  // request that asked for a receipt (note), the store keeps it.
  void completed(std::uint32_t key, const receipt_note* note, const std::string& message_id);

  // Places the receipt; report runs later, on the loop, once, with the
  // event to hand the application (unless the session is gone by then).
  using report_fn = std::function<void(receipt_event&)>;
  void deliver(inbound_message&& m, sms::Receipt&& r, report_fn report);

  // Entries waiting in the session's own memory store (0 with a store given).
  std::size_t size() const { return own_ ? own_->size() : 0; }
  bool congested() const { return desk_.congested(); }
  // A request asking for a receipt is refused: the store is too far behind.
  bool behind() const { return desk_.store().backlog() >= max_unwritten_; }

 private:
  velmor::session::receipts::memory_receipt_store* own_ = nullptr;
  velmor::session::receipts::receipt_desk desk_;
  std::size_t max_unwritten_;
  std::string text_group_;
  std::uint64_t groups_ = 0;
  std::unordered_map<std::uint32_t, std::string> group_of_;  // request key -> its text's group
};

}  // namespace velmor::session::detail
