// One ESME connection as the SMSC sees it, without any I/O: octets received
// go in through feed(), octets to write come out of take(), and the time is
// always passed in, so every behaviour can be driven from a test.
//
// A Session belongs to its Smsc (which creates and destroys it) and shares
// the Smsc's store, configuration and counters. Single-threaded: call it from
// one thread, the one that owns the Smsc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Store.h"
#include "codec/Framer.h"
#include "codec/Pdu.h"
#include "pdu/Body.h"

namespace velmor::smsc {

class Smsc;

using SessionId = std::uint64_t;

// command_status values the simulator answers with, by their protocol names.
namespace status {
inline constexpr Cardinal ok = command_status::ESME_ROK;
inline constexpr Cardinal invalid_length = command_status::ESME_RINVCMDLEN;
inline constexpr Cardinal invalid_command = command_status::ESME_RINVCMDID;
inline constexpr Cardinal invalid_bind_status = command_status::ESME_RINVBNDSTS;
inline constexpr Cardinal already_bound = command_status::ESME_RALYBND;
inline constexpr Cardinal invalid_dest_addr = command_status::ESME_RINVDSTADR;
inline constexpr Cardinal bind_failed = command_status::ESME_RBINDFAIL;
inline constexpr Cardinal invalid_password = command_status::ESME_RINVPASWD;
inline constexpr Cardinal cancel_failed = command_status::ESME_RCANCELFAIL;
inline constexpr Cardinal replace_failed = command_status::ESME_RREPLACEFAIL;
inline constexpr Cardinal queue_full = command_status::ESME_RMSGQFUL;
inline constexpr Cardinal invalid_num_dests = command_status::ESME_RINVNUMDESTS;
inline constexpr Cardinal invalid_dest_flag = command_status::ESME_RINVDESTFLAG;
inline constexpr Cardinal throttled = command_status::ESME_RTHROTTLED;
inline constexpr Cardinal query_failed = command_status::ESME_RQUERYFAIL;
}  // namespace status

// The session's bind state; the values are codec::bind_state's, in its order.
enum class BindState { Open, Transmitter, Receiver, Transceiver };
static_assert(static_cast<int>(BindState::Transmitter) == static_cast<int>(codec::bind_state::bound_tx) &&
              static_cast<int>(BindState::Receiver) == static_cast<int>(codec::bind_state::bound_rx) &&
              static_cast<int>(BindState::Transceiver) == static_cast<int>(codec::bind_state::bound_trx));

// ton, npi, addr: the addressing triple as the PDU bodies carry it.
using Address = pdu::Address;

// One destination of a message request: an SME address (flag 1) or, in
// submit_multi, a distribution list name (flag 2, in dl_name).
struct Destination {
  Byte flag = 1;
  Address address;
  std::string_view dl_name;
};

// A decoded submit_sm, submit_multi or data_sm. Every view points into the
// received octets and is valid only during the callback it is passed to.
// Fields a PDU kind does not carry are zero or empty.
struct MessageView {
  Cardinal command_id = 0;
  Cardinal sequence_number = 0;
  std::string_view service_type;
  Address source;
  std::span<const Destination> destinations;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0;
  std::string_view schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, replace_if_present_flag = 0, data_coding = 0, sm_default_msg_id = 0;
  std::string_view short_message;
  std::string_view optional;  // the TLV octets after the mandatory fields
  std::string_view raw;       // the whole PDU
};

// A received PDU as it arrived, for tests to compare byte for byte.
struct ReceivedPdu {
  Cardinal command_id = 0;
  Cardinal command_status = 0;
  Cardinal sequence_number = 0;
  std::string raw;
};

// What take() hands to the transport: octets to write, and where a fault mode
// wants them cut into separate writes.
struct Flush {
  std::string octets;
  std::vector<std::size_t> cuts;  // ascending offsets inside octets, none at 0 or the end
  bool close = false;             // close the connection once octets are written

  // The writes in order: octets cut at every offset in cuts.
  std::vector<std::string_view> pieces() const;
};

// A message the SMSC originates towards an ESME (mobile-originated traffic).
struct Originated {
  std::string service_type;
  Byte source_ton = 0, source_npi = 0;
  std::string source;
  Byte dest_ton = 0, dest_npi = 0;
  std::string destination;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0, registered_delivery = 0, data_coding = 0;
  // deliver_sm: the short_message field (at most 255 octets). data_sm: the
  // message_payload TLV.
  std::string text;
  // TLV octets appended as given after the mandatory fields.
  std::string optional;
};

class Session {
 public:
  Session(Smsc& smsc, SessionId id, std::string peer);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Handles every complete PDU in the octets received so far and keeps an
  // incomplete tail for the next call. After the session has decided to
  // close (unbind, bad command_length, a cut write) further input is ignored.
  void feed(std::string_view octets, TimePoint now);

  // Moves what is ready to write at `now` into out (replacing its content;
  // out's buffers are reused). Returns true when there is something to write
  // or the connection is to be closed.
  bool take(TimePoint now, Flush& out);

  // PDUs this session originates, each with the next sequence number of the
  // session, which is returned. deliver_sm and data_sm are tracked until
  // their response arrives.
  Cardinal send_enquire_link(TimePoint now);
  // unbind; the session closes when its unbind_resp arrives.
  Cardinal send_unbind(TimePoint now);
  Cardinal send_deliver_sm(const Originated& m, TimePoint now);
  Cardinal send_data_sm(const Originated& m, TimePoint now);

  SessionId id() const { return id_; }
  const std::string& peer() const { return peer_; }
  BindState bind_state() const { return bind_; }
  bool bound() const { return bind_ != BindState::Open; }
  codec::bind_state state() const { return static_cast<codec::bind_state>(bind_); }
  bool can_receive() const { return bind_ == BindState::Receiver || bind_ == BindState::Transceiver; }
  bool can_transmit() const { return bind_ == BindState::Transmitter || bind_ == BindState::Transceiver; }
  const std::string& system_id() const { return system_id_; }
  // "#<id> <system_id>", or "#<id>" before a bind: how traces name the session.
  std::string name() const;
  // True while an unbind this session sent waits for its unbind_resp.
  bool unbinding() const { return unbind_sent_; }
  // True once the session will accept no more input and closes after its
  // last write.
  bool closing() const { return finished_; }

  const std::deque<ReceivedPdu>& received() const { return log_; }
  void clear_received() { log_.clear(); }
  // deliver_sm / data_sm sent and not yet answered.
  std::size_t outstanding() const { return outstanding_.size(); }
  bool has_delayed_output() const { return !delayed_.empty(); }

  // Free for the transport (its connection object, for instance).
  void* user = nullptr;

 private:
  friend class Smsc;

  struct Outstanding {
    Cardinal command_id = 0;
    TimePoint sent{};
    int attempts = 1;
    std::string body;  // kept only when the PDU may be resent
  };
  struct Delayed {
    TimePoint due;
    std::string pdu;
    bool cut = false;                   // write only its first half, then close
    std::vector<std::uint64_t> notify;  // messages whose intermediate notification follows it
  };

  void handle(std::string_view pdu, TimePoint now);
  void on_bind(const codec::Header& h, std::string_view body);
  void on_unbind(const codec::Header& h);
  void accept_single(MessageView& m, const Destination& d, Cardinal resp_id, TimePoint now);
  void on_submit_sm(const codec::Header& h, std::string_view pdu, std::string_view body, TimePoint now);
  void on_submit_multi(const codec::Header& h, std::string_view pdu, std::string_view body, TimePoint now);
  void on_data_sm(const codec::Header& h, std::string_view pdu, std::string_view body, TimePoint now);
  void on_query_sm(const codec::Header& h, std::string_view body);
  void on_cancel_sm(const codec::Header& h, std::string_view body, TimePoint now);
  void on_replace_sm(const codec::Header& h, std::string_view body);
  // Writes a whole PDU with a typed body into the output, exactly sized.
  template <class Body>
  void respond(Cardinal id, Cardinal status, Cardinal seq, const Body& body, bool response, TimePoint now);
  void on_response(const codec::Header& h);

  // Common path of the three message requests: hooks, throttling; returns the
  // command_status to answer with when the request is refused as a whole.
  // Also reads schedule_delivery_time and validity_period into schedule_ and
  // expiry_.
  Cardinal screen(const MessageView& m);
  // Intermediate notifications for the messages the request just answered
  // accepted.
  void notify_accepted(TimePoint now);
  void notify(const std::vector<std::uint64_t>& ids, TimePoint now);
  void finish_early(TimePoint now);
  // When a message read with schedule_ and expiry_ becomes final.
  TimePoint due_time(TimePoint now, TimePoint otherwise, bool& scheduled, bool& expires) const;
  // Stores one message for a destination; returns its status (0: stored).
  Cardinal store(const MessageView& m, const Address& dest, std::string_view text, TimePoint now, std::uint64_t& id);

  // A PDU is written into out_ between open_pdu and close_pdu, where the
  // fault modes (delay, cut) get to act on it.
  std::size_t open_pdu(Cardinal id, Cardinal status, Cardinal seq);
  void close_pdu(std::size_t start, bool response, TimePoint now);
  void respond_header_only(Cardinal id, Cardinal status, Cardinal seq, TimePoint now);
  Cardinal originate(Cardinal command_id, std::string_view body, TimePoint now, int attempts = 1);
  void finish();
  void mark_dirty();
  // True with probability p, from the session's seeded generator.
  bool chance(double p);
  // Set while the response to a message request is being built: the random
  // delay or cut chosen for it.
  std::chrono::milliseconds random_delay_{0};
  std::chrono::milliseconds rule_delay_{0};  // a delay rule's, for the response being written
  bool silent_ = false;                      // a no-response rule matched the request
  bool random_cut_ = false;
  SmppTime schedule_, expiry_;           // of the message request being handled
  std::vector<std::uint64_t> accepted_;  // ids it stored
  bool response_held_ = false;           // the last response written went to delayed_
  bool unbind_sent_ = false;

  Smsc& smsc_;
  SessionId id_;
  std::string peer_;
  BindState bind_ = BindState::Open;
  std::string system_id_;
  std::uint32_t system_ = 0;  // interned system_id_

  codec::Framer framer_;  // received octets: at most an incomplete PDU between feed calls
  std::string out_;       // octets ready to write
  std::deque<Delayed> delayed_;
  bool finished_ = false;  // no more input is handled
  bool close_after_write_ = false;
  bool output_closed_ = false;  // a cut write ended the output
  bool dirty_ = false;          // queued in the Smsc's list of sessions with output
  std::uint64_t pdus_out_ = 0;
  std::uint64_t message_requests_ = 0;
  Cardinal sequence_ = 0;
  TimePoint now_{};

  std::unordered_map<Cardinal, Outstanding> outstanding_;
  std::deque<ReceivedPdu> log_;
  std::vector<Destination> dests_;         // reused by every message request
  std::vector<Cardinal> results_;          // per destination of a submit_multi
  std::vector<pdu::Unsuccess> unsuccess_;  // the failed ones, for submit_multi_resp
  std::string text_;                       // a message_id or date being formatted; reused
  std::string body_;                       // the body of a PDU this session originates; reused
  std::vector<StoredMessage*> cancelled_;  // matches of the cancel_sm being answered
  std::minstd_rand rng_;
};

}  // namespace velmor::smsc
