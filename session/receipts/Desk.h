// The shell around the matcher: carries its lookups to a receipt store, its
// answers back, and wakes it on a timer. One per session (or per pool bind),
// on that session's executor; the store may be shared by many desks.
//
// Threads: every call on the executor's thread. Reports run there too.
// Lifetime: destroying the desk drops the reports still owed (answers the
// store gives later are ignored); the session answers their PDUs itself.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>

#include "session/ReceiptStore.h"
#include "session/receipts/Matcher.h"

namespace velmor::session::receipts {

class receipt_desk {
 public:
  // The report is the handler's own: it may move what it needs out of it.
  using report_handler = std::function<void(receipt_matcher::report&)>;
  receipt_desk(asio::any_io_executor ex, std::shared_ptr<receipt_store> store, std::string account,
               matcher_config cfg = {});
  ~receipt_desk();
  receipt_desk(const receipt_desk&) = delete;
  receipt_desk& operator=(const receipt_desk&) = delete;

  // A submit's response gave e.message_id: kept in the store, and receipts
  // waiting here that may name it are looked up again.
  void remember(receipt_entry e);
  // A receipt came; done is called once with what the application is told.
  void receipt(std::string id, bool final_state, bool delivered, report_handler done);

  std::size_t open() const;    // receipts not yet reported
  std::size_t parked() const;  // of those, waiting for an entry or the store
  const std::string& account() const;
  bool congested() const;  // the store asks new submits to wait
  receipt_store& store() const;

 private:
  struct impl;
  std::shared_ptr<impl> impl_;
};

}  // namespace velmor::session::receipts
