// Every use of the receipt book, in one place on the shell's side: what a
// submit response remembers, how a receipt is matched, and its delivery to
// the application's receipt handler. Loop thread.
#pragma once

#include <cstddef>
#include <string>

#include "session/ReceiptBook.h"
#include "session/Types.h"
#include "session/detail/Machine.h"

namespace velmor::session::detail {

class receipts {
 public:
  explicit receipts(ReceiptBook::Limits limits) : book_(limits) {}
  // A response carrying a message_id for a request that asked for a receipt.
  void remember(const receipt_note& note, const std::string& message_id, time_point now);
  // Matches the receipt against the book and hands it to the handler (when
  // set). The handler runs last: it may destroy the session, and this with it.
  void deliver(inbound_message&& m, sms::Receipt&& r, const receipt_handler& handler, time_point now);
  std::size_t size() const { return book_.size(); }

 private:
  ReceiptBook book_;
};

}  // namespace velmor::session::detail
