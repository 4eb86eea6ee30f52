// Settings of the SMSC simulator: identity, credentials, message lifecycle,
// and the fault modes a test turns on to see how a client copes.
//
// A Config is copied into the Smsc at construction; Smsc::config() may be
// changed between PDUs (from the loop's thread) and takes effect from the next
// PDU handled, except id_style, id_prefix, first_message_id and store_limit,
// which the store takes once at construction (MessageStore::set_limit changes
// the limit later). The Server picks its tick from the split settings when it
// starts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Rules.h"
#include "codec/Types.h"

namespace velmor::smsc {

// The default first message id: microseconds since the epoch, so a simulator
// restarted later never issues an id an earlier run already gave out (unless
// that run averaged more than a million messages a second).
inline std::uint64_t clock_first_message_id() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

enum class MessageIdStyle {
  Decimal,  // "1", "2", ... "1234567"
  Hex,      // upper-case hex: "1", ... "12D687"
};

struct Config {
  // ---- identity and binds --------------------------------------------------
  // system_id returned in every successful bind response.
  std::string system_id = "VelmorSMSC";
  // system_id -> password. Empty: any credentials are accepted.
  std::map<std::string, std::string, std::less<>> credentials;
  // Refuse every bind with ESME_RBINDFAIL.
  bool reject_binds = false;

  // ---- framing ---------------------------------------------------------------
  // A command_length above this (or below 16) gets generic_nack
  // ESME_RINVCMDLEN and the connection is closed.
  std::size_t max_pdu_size = 256 * 1024;

  // ---- message store ---------------------------------------------------------
  MessageIdStyle id_style = MessageIdStyle::Decimal;
  std::string id_prefix;  // put before the number, e.g. "M"
  // Taken from the clock by default (see clock_first_message_id); a test that
  // wants "1", "2", ... sets it to 1.
  std::uint64_t first_message_id = clock_first_message_id();
  // How long a message stays ENROUTE before it becomes final.
  std::chrono::milliseconds delivery_delay{1000};
  // Destinations accepted but ending UNDELIVERABLE.
  std::set<std::string, std::less<>> undeliverable;
  // Destinations refused at once with ESME_RINVDSTADR (an unsuccess entry in
  // submit_multi_resp). An empty destination_addr is always refused.
  std::set<std::string, std::less<>> rejected;
  // network error reported (query_sm_resp error_code, receipt err:) for an
  // UNDELIVERABLE message.
  Byte undeliverable_error = 1;
  // Messages kept for query/cancel/replace. When full, the oldest final
  // messages are evicted; if the oldest is still ENROUTE, new messages are
  // refused with ESME_RMSGQFUL.
  std::size_t store_limit = 1'000'000;

  // ---- PDUs the SMSC originates ---------------------------------------------
  // How long to wait for deliver_sm_resp / data_sm_resp; 0 waits forever.
  std::chrono::milliseconds response_timeout{0};
  // Times a PDU is sent in all (1: never resent) before it is given up.
  int send_attempts = 1;
  // Receipts waiting for a receiver of their system_id to bind; past this
  // count the oldest is dropped.
  std::size_t pending_receipt_limit = 100'000;

  // ---- receipt modes (what real SMSCs do that a client must cope with) -------
  // Which bind a receipt goes to: any receiver or transceiver bound with the
  // submitter's system_id, in turn (what SMSCs do), or the submitting bind
  // itself when it can receive (any other in turn when it cannot).
  enum class ReceiptRoute { any_bind, submitter };
  ReceiptRoute receipt_route = ReceiptRoute::any_bind;
  // The message becomes final at once and its receipt goes out before the
  // submit_sm / submit_multi / data_sm response.
  bool receipt_before_response = false;
  // Every final receipt is sent twice.
  bool duplicate_receipts = false;
  // The receipt names the message in decimal (id: and receipted_message_id)
  // whatever id_style the responses use; with Hex, the response says "1A2B"
  // and the receipt "6699".
  bool receipt_ids_decimal = false;

  // ---- mobile-originated traffic ---------------------------------------------------
  // Every mo_every, a message from mo_source_addr to mo_destination_addr
  // carrying mo_text (UTF-8: GSM 7-bit when it fits, else UCS-2; split with
  // a UDH when long) goes to every bound receiver and transceiver, as
  // deliver_sm, or as one data_sm with mo_data_sm. 0: off.
  std::chrono::milliseconds mo_every{0};
  std::string mo_source_addr = "46700000100";
  std::string mo_destination_addr = "1234";
  std::string mo_text = "Hello from the handset";
  bool mo_data_sm = false;

  // ---- observability -----------------------------------------------------------
  // Told every PDU the simulator receives (received = true) or writes, whole
  // (header included), with the session's name, "#<id> <system_id>" ("#<id>"
  // before a bind). Called on the loop's thread; the views last only for the
  // call. Empty: nothing is traced. A PDU held back by a fault mode is traced
  // when it is queued, not when it is written.
  std::function<void(std::string_view session_name, bool received, std::string_view pdu)> trace;
  // Received PDUs kept per session (the most recent ones); 0 keeps none,
  // which is what a benchmark wants.
  std::size_t pdu_log_limit = 4096;

  // ---- fault modes -------------------------------------------------------------
  // Every write cut at these offsets (relative to the write's start; offsets
  // at or past its end are ignored), giving several writes.
  std::vector<std::size_t> split_offsets;
  // Every write cut at one to three random offsets (seeded, so reproducible).
  bool split_random = false;
  std::uint32_t random_seed = 1;
  // Responses held back this long before they are written.
  std::chrono::milliseconds response_delay{0};
  // submit_sm, submit_multi and data_sm answered with ESME_RTHROTTLED: 1
  // throttles every one, N every Nth of the session (the Nth, 2Nth, ...), 0
  // none.
  std::uint32_t throttle_every = 0;
  // The PDU with this index among those a session writes (0 is the first) is
  // written only in part, its first half, and then the connection is closed.
  // Negative: off.
  std::int64_t cut_pdu_index = -1;
  // enquire_link from the ESME goes unanswered (a peer that has gone silent).
  bool ignore_enquire_link = false;

  // ---- random faults (seeded by random_seed, per session) ------------------------
  // Each submit_sm, submit_multi and data_sm, with these chances: the
  // connection is dropped instead of answering; the request is answered
  // ESME_RTHROTTLED; the response is held back random_delay; the response is
  // written only in part and the connection closed.
  double drop_probability = 0;
  double throttle_probability = 0;
  double delay_probability = 0;
  std::chrono::milliseconds random_delay{0};
  double cut_probability = 0;

  // ---- fault rules by destination prefix (Rules.h) ------------------------------
  // The first rule whose prefix begins a destination applies to it: to a
  // submit_sm or data_sm, or to one destination of a submit_multi (refusals
  // become its unsuccess entries; no-response and delay hold the whole
  // response). Added and removed at run time through Smsc::add_rule.
  std::vector<FaultRule> rules;
};

}  // namespace velmor::smsc
