// The session's value types: its states, its configuration, the requests,
// their results, and what the SMSC sends. Plain structs with no I/O, shared by
// the session (session/Session.h) and its protocol machine.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "component/Velmorsmppdemo.h"
#include "session/ReceiptBook.h"
#include "session/ReceiptEntry.h"
#include "session/receipts/Matcher.h"
#include "sms/Receipt.h"
#include "sms/Segment.h"

namespace velmor::session {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class state : std::uint8_t {
  closed,      // no connection (initial, after a close, between reconnect attempts)
  connecting,  // TCP connection under way
  open,        // connected, bind not yet sent
  binding,     // bind sent, waiting for its response
  bound_tx,    // bound as transmitter
  bound_rx,    // bound as receiver
  bound_trx,   // bound as transceiver
  unbinding,   // unbind sent, waiting for unbind_resp
};
const char* to_string(state s) noexcept;

// What a request finds when window and queue are both full.
enum class queue_policy : std::uint8_t { fail_at_once, wait_for_room };

// How send_text splits a text that does not fit one short_message: udh
// (8-bit reference), Udh16, sar or payload.
using split_method = sms::SegmentMethod;

class receipt_store;  // session/ReceiptStore.h
class rate_limiter;   // session/RateLimiter.h

struct config {
  std::string host = "127.0.0.1";
  int port = 2775;
  TBindType bind_type = Transceiver;
  std::string system_id;
  std::string password;
  std::string system_type;
  Byte addr_ton = 0;
  Byte addr_npi = 0;
  std::string address_range;

  std::size_t window = 10;         // requests in flight at most
  std::size_t queue_limit = 1000;  // requests waiting behind a full window (or a reconnect)
  // What a request finds when the queue is full: fail_at_once fails it with
  // queue_full; wait_for_room lets it wait (until its own deadline, then
  // timeout) and queues it, in order, as soon as there is room.
  queue_policy when_queue_full = queue_policy::fail_at_once;
  // Octets handed to the socket and not yet taken by the kernel, at most. A
  // request that does not fit fails at once with send_queue_full; any other
  // PDU that does not fit ends the connection with that error.
  std::size_t send_queue_limit = 64u * 1024 * 1024;
  milliseconds request_timeout{10'000};
  milliseconds enquire_link_idle{30'000};
  milliseconds enquire_link_timeout{10'000};
  milliseconds connect_timeout{10'000};
  milliseconds bind_timeout{10'000};
  bool reconnect = true;  // reconnect and rebind after the link is lost
  // A bind refused with ESME_RINVPASWD, ESME_RINVSYSID or ESME_RINVSYSTYP is
  // not retried (an SMSC may lock the account after repeated failed logins):
  // the session stops, and async_connect and the state handler get the
  // status. true: such refusals back off and retry like any other.
  bool retry_permanent_bind_failures = false;
  milliseconds reconnect_min{1'000};  // first backoff; doubled per failed attempt
  milliseconds reconnect_max{60'000};
  double reconnect_jitter = 0.2;          // each delay is scaled by a random factor in [1-j, 1+j]
  bool queue_while_reconnecting = true;   // false: requests fail at once with not_bound
  double submit_rate = 0;                 // submit_sm/submit_multi/data_sm per second; 0: unlimited
  double submit_burst = 1;                // tokens the bucket holds
  milliseconds throttle_pause{1'000};     // sending paused after ESME_RTHROTTLED / ESME_RMSGQFUL
  int throttle_retries = 3;               // resubmissions of a refused request before it fails
  milliseconds response_deadline{5'000};  // a deferred deliver_sm/data_sm answer; then ESME_RX_T_APPN
  milliseconds drain_timeout{5'000};      // shutdown: wait for requests in flight
  milliseconds unbind_timeout{5'000};     // shutdown: wait for unbind_resp
  // Messages waiting for their delivery receipt (see session/ReceiptStore.h
  // and README "Receipts"). receipt_store null: a memory store of this
  // session's own, limited by `receipts`. A pool gives all its binds one.
  ReceiptBook::Limits receipts{};
  std::shared_ptr<velmor::session::receipt_store> receipt_store;
  // Whose receipts the entries wait for; empty: "host:port/system_id", so the
  // binds and processes of one account share entries in a shared store.
  std::string receipt_account;
  receipts::matcher_config receipt_matching{};  // how long a receipt waits for its entry, how many wait
  // A deliver_sm or data_sm for which no handler is set (no receipt handler
  // for a receipt, no message handler for the rest) is answered
  // ESME_RX_T_APPN, so the SMSC delivers it again later; true answers it 0.
  bool accept_unhandled = false;
  std::uint32_t random_seed = 0;  // for the backoff jitter; 0: from the clock
  // TLS for every connection, verified by default (see TTLSOptions); each
  // reconnect makes a new handshake. A failed handshake is a connect_failed.
  TTLSOptions tls{};
  // Sees every PDU handed to the socket (sent true) and every framed PDU
  // received, on the loop's thread, before the session acts on it. A
  // diagnostic hook: it must not call into the session.
  std::function<void(bool sent, std::string_view pdu)> trace;
  // Called with the header of a PDU that cannot be framed (command_length 0
  // or beyond the largest PDU), once the component has dropped the link for
  // it; the state handler then sees closed with errc::disconnected.
  std::function<void(Cardinal command_length, Cardinal command_id, Cardinal command_status, Cardinal sequence_number)>
      unframeable;
  // A submit budget shared with other sessions or processes (a pool's binds,
  // every process of an account: session/RateLimiter.h). Set: each
  // submit_sm, submit_multi and data_sm draws a token from it, and
  // submit_rate/submit_burst are not used; it is never waited on inside the
  // loop (a few tokens are fetched ahead). Null: the session's own bucket.
  std::shared_ptr<velmor::session::rate_limiter> rate_limiter;
};

// ---- requests (value structs; designated initializers welcome) ----------------------
// Fields are in protocol order, except that the text follows the addresses,
// so the common designated initializer reads naturally:
//   {.destination_addr = "4670001", .short_message = "Hi", .registered_delivery = 1}
// timeout 0 takes config::request_timeout. tag is the application's own value,
// handed back with each delivery receipt of the message.
struct submit_sm_request {
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  std::string short_message;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0;
  std::string schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, replace_if_present_flag = 0, data_coding = 0, sm_default_msg_id = 0;
  TOPSubmit_SM options{};
  std::uint64_t tag = 0;
  milliseconds timeout{0};
  // Optional parameters already encoded (tag, length, value; each big-endian),
  // written as given after those of options: for a tag options has no member
  // for (a vendor's, 0x1400..0x3FFF). Octets that are not whole TLVs fail the
  // request with invalid_argument.
  std::string raw_tlvs;
};

struct submit_multi_request {
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Tdest_address dest_address;
  std::string short_message;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0;
  std::string schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, replace_if_present_flag = 0, data_coding = 0, sm_default_msg_id = 0;
  TOPSubmit_MULTI options{};
  milliseconds timeout{0};
  std::string raw_tlvs;  // as submit_sm_request::raw_tlvs
};

struct data_sm_request {
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  Byte esm_class = 0, registered_delivery = 0, data_coding = 0;
  TOPData_SM options{};
  std::uint64_t tag = 0;
  milliseconds timeout{0};
  std::string raw_tlvs;  // as submit_sm_request::raw_tlvs
};

struct query_sm_request {
  std::string message_id;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  milliseconds timeout{0};
};

struct cancel_sm_request {
  std::string service_type, message_id;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  milliseconds timeout{0};
};

struct replace_sm_request {
  std::string message_id;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  std::string schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, sm_default_msg_id = 0;
  std::string short_message;
  milliseconds timeout{0};
};

struct enquire_link_request {
  milliseconds timeout{0};
};

// A UTF-8 text to one destination: encoded (GSM 7-bit when it fits, UCS-2
// otherwise, unless data_coding says), split, and submitted part by part.
struct text_request {
  std::string source_addr;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string destination_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string text;
  split_method split = split_method::udh;
  std::optional<Byte> data_coding;
  Byte registered_delivery = 0;
  std::uint64_t tag = 0;
  milliseconds timeout{0};
};

// ---- results ----------------------------------------------------------------------
// The response to one request. Fields a response kind does not carry stay empty.
struct response {
  Cardinal command_id = 0;  // of the response PDU (generic_nack when the SMSC sent one)
  Cardinal sequence_number = 0;
  Cardinal command_status = 0;
  std::string message_id;
  std::chrono::nanoseconds round_trip{0};  // from the write of the request that got this response
  int attempts = 1;                        // > 1 after throttle retries
  // query_sm_resp
  std::string final_date;
  Byte message_state = 0, error_code = 0;
  // submit_multi_resp
  Tunsuccess_sme unsuccess_sme;
};

struct text_result {
  std::vector<std::string> message_ids;  // one per part, in part order
  std::size_t parts = 0;
};

// ---- what the SMSC sends --------------------------------------------------------------
// A deliver_sm or data_sm (command_id tells which); fields a PDU does not
// carry stay 0 or empty.
struct inbound_message {
  Cardinal command_id = 0;
  Cardinal sequence_number = 0;
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0, registered_delivery = 0, data_coding = 0;
  std::string short_message;
  TOPDeliver_SM deliver_options{};
  TOPData_SM data_options{};
};

// A delivery receipt, once its store has placed it (README "Receipts").
// matched: the message was found (outcome matched, early_matched,
// intermediate or duplicate): tag, destination_addr and the part are the
// submitter's; otherwise they are empty, reason says why, and message_id is
// what the receipt named. The deliver_sm / data_sm is answered once the
// handler has returned (or ESME_RX_T_APPN at response_deadline, when the
// receipt waited longer than that: the SMSC then delivers it again).
struct receipt_event {
  bool matched = false;
  receipts::outcome outcome = receipts::outcome::unmatched;
  receipts::unmatched_reason reason = receipts::unmatched_reason::none;
  bool intermediate = false;  // a non-final state (ENROUTE) or an intermediate notification (esm_class 0x20)
  // With the receipt that made every part of a long message final: whether
  // every part was delivered.
  std::optional<bool> whole_delivered;
  std::uint64_t tag = 0;
  std::string destination_addr;
  std::uint16_t part_index = 0, part_count = 1;
  std::string message_id;
  sms::Receipt receipt;
  inbound_message message;
};
using receipt_handler = std::function<void(const receipt_event&)>;
// Every state change; error says why the link went down (empty otherwise).
using state_handler = std::function<void(state, std::error_code)>;

// Counts of everything that completed, for the application and the tests.
struct session_counters {
  std::uint64_t requests = 0;  // accepted or refused at the call
  std::uint64_t ok = 0;        // completed with command_status 0
  std::uint64_t rejected = 0;  // completed with a non-zero command_status
  std::uint64_t timeouts = 0;
  std::uint64_t disconnected = 0;
  std::uint64_t local_errors = 0;  // refused by the session (not_bound, queue_full, shutting_down, ...)
  std::uint64_t late_responses = 0;
  std::uint64_t throttled = 0, retried = 0;
  std::uint64_t reconnects = 0, binds = 0;
  std::uint64_t enquire_links_sent = 0, links_declared_dead = 0;
  std::uint64_t inbound_answered = 0, inbound_rejected_state = 0, generic_nacks_sent = 0;
  std::uint64_t deferred_timeouts = 0;
  std::uint64_t handed_off = 0;  // queued requests moved to another bind of a pool
};

}  // namespace velmor::session
