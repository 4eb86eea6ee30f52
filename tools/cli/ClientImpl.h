// The client's link and its commands, shared by Client.cpp (the link,
// listen, query, cancel, replace, ping) and Send.cpp (send, single and bulk).
// Internal to velmor_cli.
//
// Lifetime: every completion handler given to the session holds what it
// touches by shared_ptr, or is done before the frame it captures returns;
// the session completes whatever is still waiting when it is destroyed, so
// no handler may hold a reference into a frame that can unwind first.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "codec/Commands.h"
#include "session/RateLimiter.h"
#include "session/ReceiptStore.h"
#include "session/Session.h"
#include "sms/Reassembly.h"
#include "sms/Receipt.h"
#include "tools/cli/Client.h"
#include "tools/cli/Runs.h"
#include "tools/smsc/Server.h"

namespace velmor::cli {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
namespace ss = velmor::session;

struct Failure {
  int code;
  std::string message;
};

inline double Ms(std::chrono::nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline std::string MsText(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ms < 10 ? "%.2f ms" : "%.0f ms", ms);
  return buf;
}

inline double Round2(double v) { return std::round(v * 100) / 100; }

inline TOPSubmit_MULTI ToMulti(const TOPSubmit_SM& s) {
  TOPSubmit_MULTI m;
  m.sar_msg_ref_num = s.sar_msg_ref_num;
  m.sar_total_segments = s.sar_total_segments;
  m.sar_segment_seqnum = s.sar_segment_seqnum;
  m.message_payload = s.message_payload;
  return m;
}

inline std::uint32_t ReadU32(std::string_view p, std::size_t at) {
  return (std::uint32_t(Byte(p[at])) << 24) | (std::uint32_t(Byte(p[at + 1])) << 16) |
         (std::uint32_t(Byte(p[at + 2])) << 8) | Byte(p[at + 3]);
}

// A bind's password octets replaced by '*' so a trace can be shared.
inline std::string MaskPassword(std::string_view pdu) {
  std::string out(pdu);
  if (pdu.size() < 16) return out;
  const std::uint32_t id = ReadU32(pdu, 4);
  if (!codec::is_bind(id)) return out;
  std::size_t at = pdu.find('\0', 16);  // end of system_id
  if (at == std::string_view::npos) return out;
  for (++at; at < out.size() && out[at] != '\0'; ++at) out[at] = '*';
  return out;
}

// The exit code a final receipt state gives send --receipt.
inline int ReceiptExit(const sms::Receipt& r) {
  if (r.state) {
    switch (*r.state) {
      case sms::MessageState::Delivered: return exit_code::ok;
      case sms::MessageState::Undeliverable: return exit_code::undeliverable;
      case sms::MessageState::Expired: return exit_code::expired;
      case sms::MessageState::Rejected: return exit_code::receipt_rejected;
      case sms::MessageState::Deleted: return exit_code::deleted;
      default: return exit_code::unknown_state;
    }
  }
  return exit_code::unknown_state;
}

inline std::string StateText(const sms::Receipt& r) {
  if (r.stat) return *r.stat;
  if (r.state) return std::string(sms::MessageStateName(*r.state));
  return "UNKNOWN";
}

inline bool FinalReceipt(const sms::Receipt& r) { return !r.state || sms::IsFinal(*r.state); }

// A one-shot deadline on the loop: expired() turns true once, after ms.
class Deadline {
 public:
  Deadline(TEventLoop& loop, unsigned ms) : timer_(nullptr, loop) {
    timer_.SetInterval(std::max(1u, ms));
    timer_.OnTimer = [this](TObject*) {
      expired_ = true;
      timer_.SetEnabled(false);
    };
    timer_.SetEnabled(true);
  }
  bool expired() const { return expired_; }

 private:
  TTimer timer_;
  bool expired_ = false;
};

// The outcome of one request, shared with its completion handler: a
// response that arrives after the waiting frame has unwound (an interrupt, a
// deadline) writes into live memory and is ignored.
using Answer = std::shared_ptr<std::optional<std::pair<std::error_code, ss::response>>>;
inline Answer NewAnswer() { return std::make_shared<std::optional<std::pair<std::error_code, ss::response>>>(); }
inline auto Into(const Answer& a) {
  return [a](std::error_code ec, ss::response r) { a->emplace(ec, std::move(r)); };
}

class Client {
 public:
  Client(const Options& o, TEventLoop& loop, const ClientIo& io) : o_(o), loop_(loop), io_(io) {}
  ~Client() {
    session_.reset();
    board_.reset();
    server_.reset();
  }

  int Run();

 private:
  // ---- output ------------------------------------------------------------------
  void Say(const std::string& text) {  // chatter
    if (!o_.quiet) (o_.json ? io_.err : io_.out) << text << std::endl;
  }
  void Result(const std::string& text) { io_.out << text << std::endl; }
  void Json(const json& j) { io_.out << j.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl; }
  bool Interrupted() const { return !closing_ && io_.stop != nullptr && *io_.stop != 0; }
  bool LinkLost() const { return lost_; }

  // ---- the link ------------------------------------------------------------------
  void StartEmbedded();
  ss::config Config() const;
  void Connect();
  // --store, --rate-store: opened once the SMSC's address is known.
  void OpenShared();
  // Until the store has written every entry queued so far (bounded).
  void FlushStore();
  // A receipt the store matched to an entry another run wrote: its run's
  // description, then (when that run waits) the outcome handed on to it.
  void ForOtherRun(const ss::receipt_event& e, std::function<void(const std::optional<RunInfo>&)> then);
  void Close(bool after_failure);
  Failure Lost(const std::string& what) const;
  Failure FromError(std::error_code ec, const ss::response* r, const std::string& what, unsigned timeout_ms) const;
  // Runs the loop until done() holds, the link is lost, or a stop request.
  void Await(const std::function<bool()>& done, const std::string& what);
  // Runs the loop until done() holds or the link is lost, at most ms; a stop
  // request does not end it (used to let responses in flight arrive).
  void Drain(const std::function<bool()>& done, unsigned ms) {
    loop_.RunUntil([&] { return done() || lost_; }, std::chrono::milliseconds(ms));
  }

  // ---- commands ------------------------------------------------------------------
  void Send();    // Send.cpp
  void DataSm();  // Send.cpp
  // The bulk summary; state is Send.cpp's run.
  void PrintSummary(const std::shared_ptr<void>& state, bool interrupted, Clock::time_point submitted_at);
  void Listen();
  void Query();
  void Cancel();
  void Replace();
  void Ping();
  void OnMessage(const ss::inbound_message& m);
  // Partial messages the reassembler gave up on: never dropped silently.
  template <class List>
  void Dropped(const List& dropped) {
    for (const auto& d : dropped)
      io_.err << "warning: dropped an incomplete message from " << d.source << " (" << d.parts.size() << " of "
              << unsigned(d.total_parts) << " parts)" << std::endl;
  }

  const Options& o_;
  TEventLoop& loop_;
  ClientIo io_;
  std::unique_ptr<smsc::Server> server_;
  std::shared_ptr<ss::receipt_store> store_;
  std::shared_ptr<ss::rate_limiter> limiter_;
  std::unique_ptr<RunBoard> board_;
  std::string account_;
  std::uint32_t run_ = NewRunNumber();  // names this process's entries in the store
  bool pair_locally_ = false;           // send: submit_multi receipts are paired here, not by the store
  std::unique_ptr<ss::session> session_;
  std::string host_;
  int port_ = 0;
  bool bound_ = false, lost_ = false, closing_ = false, started_ = false;
  std::error_code lost_why_;
  bool smsc_unbound_ = false;  // the latest loss was the SMSC's unbind (errc::peer_unbound)
  std::string unframeable_;
  sms::Reassembler reassembler_;
  std::function<void(const ss::receipt_event&)> on_receipt_;
  unsigned printed_ = 0;  // lines listen printed
};

}  // namespace velmor::cli
