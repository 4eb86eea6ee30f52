// Where a session keeps the messages that wait for their delivery receipt:
// one small interface, keyed by (account, message_id), with three
// implementations (memory, SQLite, Redis; see session/receipts/).
//
// An account names whose receipts an entry waits for: the SMSC address with
// the system_id ("127.0.0.1:2775/esme"), or a name the application gives.
// Every bind and every process of one account that shares a store matches
// the receipts of the others.
//
// What a store decides, atomically, for one receipt (take):
//   - the id names an entry still waiting: matched (final state: the entry
//     becomes a tombstone, kept tombstone_ttl, so a second final receipt is a
//     duplicate rather than unmatched; intermediate state: the entry stays);
//   - the id names a tombstone: duplicate;
//   - no entry: none (the caller parks the receipt and asks again);
//   - the store cannot be reached: unreachable (the caller waits and asks again).
// A part of a multipart message reports, with the final receipt that makes
// every part final, the whole message's outcome, once.
//
// Ids are looked up by receipt_lookup_keys (session/receipts/Rules.h): the
// exact id first, then the same number in the same base (leading zeros,
// letter case, 0x), then hex <-> decimal; the first remembered entry of a
// number keeps it.
//
// Threads and blocking. Every call may be made from any thread and returns
// at once: no call waits on a disk or a network. A take completes through
// asio::post on the executor given, never inside the call. remember is
// fire-and-forget: a store that cannot write keeps the entry (bounded) and
// writes it when it can, counting what it had to give up in stats().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/any_io_executor.hpp>

#include "session/ReceiptEntry.h"

namespace velmor::session {

class receipt_store {
 public:
  using take_handler = std::function<void(receipt_take)>;
  virtual ~receipt_store() = default;

  // Keeps e for account until a final receipt takes it, until limits'
  // max_age, or until max_entries newer entries push it out. An entry whose
  // message_id (blanks around it ignored) is already kept replaces it; an
  // empty message_id is not kept.
  virtual void remember(std::string_view account, receipt_entry e) = 0;

  // Looks up the entry message_id names and decides as described above;
  // delivered says whether a final state is DELIVERED (for the whole
  // message's outcome). done runs on ex, once.
  //
  // attempt names one receipt's takes (unique across processes; empty: no
  // name). A take answered unreachable may still have been decided (the
  // connection broke before the reply came); asked again with the same
  // attempt, the store gives that decision again, so the receipt is matched,
  // not reported a duplicate of itself.
  virtual void take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                    asio::any_io_executor ex, take_handler done, std::string_view attempt = {}) = 0;

  virtual receipt_store_stats stats() const = 0;

  // More writes are waiting than the store should take on (half its
  // backlog bound): a session holds new submits back while this is true,
  // rather than let entries be given up. Cheap; any thread.
  virtual bool congested() const { return false; }
  // Readies the store for account before its first remember, so that a cost
  // paid once per account (the memory store sizes its tables for the limits)
  // falls where the session is made, not inside a handler on the loop.
  // Optional; the first remember does it otherwise.
  virtual void prepare(std::string_view /*account*/) {}

  // Writes (remembers) queued and not yet written. Cheap; any thread.
  virtual std::size_t backlog() const { return 0; }
};

}  // namespace velmor::session
