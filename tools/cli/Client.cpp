#include "tools/cli/Client.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "codec/Commands.h"
#include "session/Session.h"
#include "sms/Names.h"
#include "sms/Reassembly.h"
#include "sms/SubmitParts.h"
#include "tools/cli/Format.h"
#include "tools/cli/Messages.h"
#include "tools/cli/Progress.h"
#include "tools/cli/Simulate.h"
#include "tools/smsc/Server.h"

namespace velmor::cli {
namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
namespace ss = velmor::session;

// Pause between loop wake-ups that check the stop flag.
constexpr unsigned kPollMs = 50;
// Unbinding after a failure is best effort and must not stretch the exit.
constexpr unsigned kCloseAfterFailureMs = 1000;

struct Failure {
  int code;
  std::string message;
};

double Ms(std::chrono::nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string MsText(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ms < 10 ? "%.2f ms" : "%.0f ms", ms);
  return buf;
}

double Round2(double v) { return std::round(v * 100) / 100; }

TOPSubmit_MULTI ToMulti(const TOPSubmit_SM& s) {
  TOPSubmit_MULTI m;
  m.sar_msg_ref_num = s.sar_msg_ref_num;
  m.sar_total_segments = s.sar_total_segments;
  m.sar_segment_seqnum = s.sar_segment_seqnum;
  m.message_payload = s.message_payload;
  return m;
}

std::uint32_t ReadU32(std::string_view p, std::size_t at) {
  return (std::uint32_t(Byte(p[at])) << 24) | (std::uint32_t(Byte(p[at + 1])) << 16) |
         (std::uint32_t(Byte(p[at + 2])) << 8) | Byte(p[at + 3]);
}

// A bind's password octets replaced by '*' so a trace can be shared.
std::string MaskPassword(std::string_view pdu) {
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
int ReceiptExit(const sms::Receipt& r) {
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

std::string StateText(const sms::Receipt& r) {
  if (r.stat) return *r.stat;
  if (r.state) return std::string(sms::MessageStateName(*r.state));
  return "UNKNOWN";
}

bool FinalReceipt(const sms::Receipt& r) { return !r.state || sms::IsFinal(*r.state); }

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

class Client {
 public:
  Client(const Options& o, TEventLoop& loop, const ClientIo& io) : o_(o), loop_(loop), io_(io) {}
  ~Client() {
    session_.reset();
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

  // ---- the link ------------------------------------------------------------------
  void StartEmbedded();
  ss::config Config() const;
  void Connect();
  void Close(bool after_failure);
  Failure Lost(const std::string& what) const;
  Failure FromError(std::error_code ec, const ss::response* r, const std::string& what, unsigned timeout_ms) const;
  // Runs the loop until done() holds, the link is lost, or a stop request.
  void Await(const std::function<bool()>& done, const std::string& what);

  // ---- commands ------------------------------------------------------------------
  void Send();
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
  std::unique_ptr<ss::session> session_;
  std::string host_;
  int port_ = 0;
  bool bound_ = false, lost_ = false, closing_ = false, started_ = false;
  std::error_code lost_why_;
  bool smsc_unbound_ = false;
  std::string unframeable_;
  sms::Reassembler reassembler_;
  std::function<void(const ss::receipt_event&)> on_receipt_;
  unsigned printed_ = 0;
};

void Client::StartEmbedded() {
  server_ = std::make_unique<smsc::Server>(SimulatorConfig(o_, true), loop_);
  if (!server_->start("127.0.0.1", 0)) throw Failure{exit_code::connect, "cannot start the embedded SMSC on 127.0.0.1"};
  host_ = "127.0.0.1";
  port_ = server_->port();
  Say("embedded SMSC listening on " + host_ + ":" + std::to_string(port_) + " (no --host given)");
}

ss::config Client::Config() const {
  ss::config c;
  c.host = host_;
  c.port = port_;
  c.bind_type = o_.EffectiveBind();
  c.system_id = o_.system_id;
  c.password = o_.password;
  c.system_type = o_.system_type;
  c.addr_ton = o_.source_ton;
  c.addr_npi = o_.source_npi;
  c.window = o_.window;
  c.queue_limit = std::max<std::size_t>(1000, std::size_t(o_.window) * 300);
  c.request_timeout = std::chrono::milliseconds(o_.timeout_ms);
  c.connect_timeout = std::chrono::milliseconds(o_.tls ? o_.connect_timeout_ms * 2 + 1000 : o_.connect_timeout_ms);
  c.bind_timeout = std::chrono::milliseconds(o_.bind_timeout_ms);
  c.reconnect = o_.reconnect;
  c.submit_rate = o_.rate;
  c.submit_burst = o_.rate > 0 ? std::max(1.0, o_.rate / 20) : 1;
  c.drain_timeout = std::chrono::milliseconds(o_.timeout_ms);
  c.unbind_timeout = std::chrono::milliseconds(o_.timeout_ms);
  c.tls = o_.TLS();
  return c;
}

void Client::Connect() {
  if (o_.Embedded()) StartEmbedded();
  ss::config cfg = Config();
  cfg.trace = [this](bool sent, std::string_view pdu) {
    if (!sent && pdu.size() >= 8 && ReadU32(pdu, 4) == command_id::unbind) smsc_unbound_ = true;
    if (o_.trace) io_.err << TraceLine(sent ? '>' : '<', sent ? MaskPassword(pdu) : std::string(pdu)) << std::endl;
  };
  cfg.unframeable = [this](Cardinal length, Cardinal id, Cardinal status, Cardinal seq) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "command_length=%u command_id=0x%08X command_status=0x%08X sequence_number=%u",
                  length, id, status, seq);
    unframeable_ = buf;
  };
  session_ = std::make_unique<ss::session>(std::move(cfg), loop_);
  session_->set_state_handler([this](ss::state s, std::error_code why) {
    if (s == ss::state::closed && bound_ && !closing_) {
      if (o_.reconnect) {
        io_.err << "warning: link lost (" << (why ? why.message() : "closed") << "); reconnecting" << std::endl;
        bound_ = false;
        return;
      }
      lost_ = true;
      lost_why_ = why;
    }
    if ((s == ss::state::bound_rx || s == ss::state::bound_trx || s == ss::state::bound_tx) && o_.reconnect &&
        !bound_ && started_) {
      bound_ = true;
      Say("bound again");
    }
  });
  session_->set_receipt_handler([this](const ss::receipt_event& e) {
    if (on_receipt_) on_receipt_(e);
  });
  session_->set_message_handler([this](const ss::inbound_message& m, ss::inbound_context&) -> std::uint32_t {
    OnMessage(m);
    return 0;
  });

  const std::string where = host_ + ":" + std::to_string(port_);
  if (o_.tls_insecure)
    io_.err << "warning: --tls-insecure: the SMSC's certificate is not verified; anyone on the path can read and "
               "change this session"
            << std::endl;
  std::optional<std::error_code> result;
  const auto t0 = Clock::now();
  session_->async_connect([&](std::error_code ec) { result = ec; });
  loop_.RunUntil([&] { return result.has_value() || Interrupted(); }, std::chrono::hours(1));
  if (!result) throw Failure{exit_code::interrupted, "interrupted while connecting to " + where};
  const std::error_code ec = *result;
  if (ec == ss::errc::connect_failed) {
    const int code = session_->last_socket_error();
    if (code == 0)
      throw Failure{exit_code::timeout,
                    "connect to " + where + ": no answer within " + std::to_string(o_.connect_timeout_ms) + " ms"};
    throw Failure{exit_code::connect, "cannot connect to " + where + ": " + SocketErrorText(code)};
  }
  if (ec == ss::errc::bind_failed)
    throw Failure{exit_code::timeout, "bind response: no answer within " + std::to_string(o_.bind_timeout_ms) + " ms"};
  if (auto status = ss::command_status_of(ec))
    throw Failure{exit_code::bind_rejected, "bind rejected: " + StatusText(*status)};
  if (ec) {
    Failure f = Lost("bind response");
    if (unframeable_.empty() && !smsc_unbound_ && !o_.tls) f.message += " (if the SMSC expects TLS, add --tls)";
    throw f;
  }
  bound_ = true;
  started_ = true;
  Say("connected to " + where + (o_.tls ? " over TLS" : ""));
  if (o_.trace && o_.tls) io_.err << "tls " << session_->tls_description() << std::endl;
  Say(std::string("bound as ") + BindName(o_.EffectiveBind()) + " (" + MsText(Ms(Clock::now() - t0)) + ")");
}

Failure Client::Lost(const std::string& what) const {
  if (!unframeable_.empty())
    return {exit_code::lost, "closed the connection: the SMSC sent a PDU that cannot be framed (" + unframeable_ +
                                 ") while waiting for " + what};
  if (smsc_unbound_)
    return {exit_code::lost, "the SMSC ended the session (unbind, answered) while waiting for " + what};
  return {exit_code::lost, "connection lost while waiting for " + what};
}

Failure Client::FromError(std::error_code ec, const ss::response* r, const std::string& what,
                          unsigned timeout_ms) const {
  if (auto status = ss::command_status_of(ec)) {
    if (r && r->command_id == command_id::generic_nack)
      return {exit_code::rejected, what + " rejected with generic_nack: " + StatusText(*status)};
    return {exit_code::rejected, what + " rejected: " + StatusText(*status)};
  }
  if (ec == ss::errc::timeout)
    return {exit_code::timeout, what + " response: no answer within " + std::to_string(timeout_ms) + " ms"};
  if (ec == ss::errc::disconnected || ec == ss::errc::not_bound) return Lost(what + " response");
  if (ec == ss::errc::shutting_down) return {exit_code::interrupted, "interrupted while waiting for " + what};
  if (ec == ss::errc::invalid_argument)
    return {exit_code::usage, what +
                                  " not sent: a field is longer than the PDU allows (short_message: 254 octets, "
                                  "an optional parameter: 65535, addresses: 20)"};
  return {exit_code::internal, what + ": " + ec.message()};
}

void Client::Await(const std::function<bool()>& done, const std::string& what) {
  loop_.RunUntil([&] { return done() || lost_ || Interrupted(); }, std::chrono::hours(24 * 365));
  if (done()) return;
  if (lost_) throw Lost(what);
  throw Failure{exit_code::interrupted, "interrupted while waiting for " + what};
}

void Client::Close(bool after_failure) {
  closing_ = true;
  if (!session_) return;
  if (bound_ && !lost_) {
    std::optional<std::error_code> done;
    const ss::state before = session_->current_state();
    session_->async_shutdown([&](std::error_code ec) { done = ec; });
    loop_.RunUntil([&] { return done.has_value(); },
                   std::chrono::milliseconds(after_failure ? kCloseAfterFailureMs : o_.timeout_ms * 2 + 1000));
    if (done && !*done && before != ss::state::closed) {
      Say("unbound");
      Say("disconnected");
    }
  }
  bound_ = false;
}

int Client::Run() {
  TTimer poll(nullptr, loop_);
  poll.SetInterval(kPollMs);
  poll.OnTimer = [](TObject*) {};
  poll.SetEnabled(io_.stop != nullptr);
  int code = exit_code::ok;
  try {
    host_ = o_.host;
    port_ = o_.port;
    switch (o_.command) {
      case Command::Send: Send(); break;
      case Command::Listen:
        Connect();
        Listen();
        break;
      case Command::Query:
        Connect();
        Query();
        break;
      case Command::Cancel:
        Connect();
        Cancel();
        break;
      case Command::Replace: Replace(); break;
      case Command::Ping:
        Connect();
        Ping();
        break;
      case Command::Simulate: break;
    }
    Close(false);
  } catch (const Failure& f) {
    io_.err << "error: " << f.message << std::endl;
    code = f.code;
    if (f.code != exit_code::lost && f.code != exit_code::connect) Close(true);
  }
  return code;
}

// ---- send ------------------------------------------------------------------------------

struct Job {
  std::vector<std::string> to;
  std::shared_ptr<const Parts> parts;
};

// Counts for the summary and the progress line.
struct Tally {
  std::uint64_t total = 0, sent = 0, accepted = 0, failed = 0, done = 0;
  std::map<std::string, std::uint64_t> failed_by;
  std::map<std::string, std::uint64_t> receipts_by;
  std::uint64_t receipts_expected = 0, receipts_final = 0;
  int receipt_exit = exit_code::ok;
  std::optional<Failure> first_failure;
};

void Client::Send() {
  // Every text is encoded and split, and every --file line read, before any
  // connection is made: a bad line never leaves half a batch sent.
  std::mt19937 rng{std::random_device{}()};
  std::vector<Job> jobs;
  if (!o_.file.empty()) {
    std::ifstream in(o_.file);
    if (!in) throw Failure{exit_code::usage, "--file " + o_.file + ": cannot be read: " + std::strerror(errno)};
    std::string line;
    for (std::size_t n = 1; std::getline(in, line); ++n) {
      if (line.empty() || line == "\r" || line[0] == '#') continue;
      auto parsed = ParseFileLine(line);
      if (auto* e = std::get_if<std::string>(&parsed))
        throw Failure{exit_code::usage, o_.file + ":" + std::to_string(n) + ": " + *e};
      auto& f = std::get<FileLine>(parsed);
      auto parts = PrepareText(o_, f.text, static_cast<std::uint16_t>(rng()));
      if (auto* e = std::get_if<std::string>(&parts))
        throw Failure{exit_code::usage, o_.file + ":" + std::to_string(n) + ": " + *e};
      jobs.push_back({std::move(f.to), std::make_shared<const Parts>(std::move(std::get<Parts>(parts)))});
    }
    if (jobs.empty()) throw Failure{exit_code::usage, "--file " + o_.file + ": no messages in it"};
  } else {
    auto parts = PrepareText(o_, o_.text, static_cast<std::uint16_t>(rng()));
    if (auto* e = std::get_if<std::string>(&parts)) throw Failure{exit_code::usage, *e};
    jobs.push_back({o_.to, std::make_shared<const Parts>(std::move(std::get<Parts>(parts)))});
  }
  const bool bulk = !o_.file.empty() || o_.count > 1;
  const std::uint64_t total = o_.file.empty() ? std::max(1u, o_.count) : jobs.size();
  auto job = [&](std::uint64_t i) -> const Job& { return jobs[o_.file.empty() ? 0 : i]; };

  const Byte registered = o_.registered_delivery.value_or(o_.receipt ? 1 : 0);
  auto t0 = Clock::now();
  Tally t;
  t.total = total;

  // Receipts: each message's parts, by tag (message index) and part; a
  // receipt for anything else (one flushed at bind, say) is not ours.
  struct Pending {
    std::size_t parts_left;
    int exit = exit_code::ok;
  };
  // submit_multi: the response names one message_id, but an SMSC may give
  // each destination its own; a receipt from a destination still owed one
  // belongs to the message too.
  std::map<std::string, std::uint64_t> multi_ids;        // message_id -> message index
  std::multimap<std::string, std::uint64_t> multi_owed;  // destination -> message index
  on_receipt_ = [&](const ss::receipt_event& e) {
    std::optional<std::uint64_t> index;
    if (e.matched) {
      index = e.tag;
    } else if (auto it = multi_ids.find(e.message_id); it != multi_ids.end()) {
      index = it->second;
    }
    if (!e.matched) {
      if (auto owed = multi_owed.find(e.message.source_addr); owed != multi_owed.end()) {
        if (!index) index = owed->second;
        if (FinalReceipt(e.receipt)) multi_owed.erase(owed);
      }
    }
    if (!index) {
      if (!o_.quiet)
        io_.err << "note: ignored a receipt for message_id " << e.message_id << " (not sent by this run)" << std::endl;
      return;
    }
    if (!FinalReceipt(e.receipt)) return;
    ++t.receipts_final;
    ++t.receipts_by[StateText(e.receipt)];
    const int code = ReceiptExit(e.receipt);
    if (code != exit_code::ok && t.receipt_exit == exit_code::ok) t.receipt_exit = code;
    if (!bulk) {
      const double since = Ms(Clock::now() - t0);
      if (o_.json) {
        json j{{"type", "receipt"}, {"message_id", e.message_id}, {"state", StateText(e.receipt)}};
        if (e.receipt.state) j["message_state"] = sms::MessageStateName(*e.receipt.state);
        if (e.receipt.err) j["err"] = *e.receipt.err;
        j["to"] = e.matched ? e.destination_addr : e.message.source_addr;
        if (e.part_count > 1) j["part"] = e.part_index + 1;
        j["after_ms"] = Round2(since);
        Json(j);
      } else {
        std::string line = "receipt received: id=" + (e.receipt.id.empty() ? e.message_id : e.receipt.id);
        if (e.receipt.state) line += " state=" + std::string(sms::MessageStateName(*e.receipt.state));
        if (e.receipt.stat) line += " stat=" + *e.receipt.stat;
        if (e.receipt.err) line += " err=" + *e.receipt.err;
        Result(line + " (" + MsText(since) + " after submit)");
      }
    }
  };

  Connect();  // receipts flushed at the bind reach the handler above
  t0 = Clock::now();
  // Messages in flight at most: enough to keep the session's window full.
  const std::uint64_t cap = std::max<std::uint64_t>(o_.window * 2, 16);
  std::uint64_t next = 0, outstanding = 0;
  auto fail = [&](const std::string& key, Failure f) {
    ++t.failed;
    ++t.failed_by[key];
    if (!t.first_failure) t.first_failure = std::move(f);
  };
  auto issue = [&](std::uint64_t index) {
    const Job& j = job(index);
    const std::size_t n = j.parts->size();
    auto left = std::make_shared<std::size_t>(n);
    auto failed = std::make_shared<bool>(false);
    ++outstanding;
    ++t.sent;
    auto part_done = [&, index, n, left, failed](std::size_t i, std::error_code ec, const ss::response& r,
                                                 std::vector<std::pair<std::string, std::string>> ids,
                                                 std::vector<std::string> refused) {
      const std::string part_text = n > 1 ? " part " + std::to_string(i + 1) + "/" + std::to_string(n) : "";
      const std::string what = job(index).to.size() > 1 ? "submit_multi" : "submit";
      if (ec) {
        if (!*failed) {
          *failed = true;
          const auto status = ss::command_status_of(ec);
          fail(status ? StatusText(*status).substr(0, StatusText(*status).find(" (")) : ec.message(),
               FromError(ec, &r, what + part_text, o_.timeout_ms));
        }
      } else if (!bulk) {
        if (o_.json) {
          json line{{"type", "submit"}, {"part", i + 1}, {"parts", n}, {"round_trip_ms", Round2(Ms(r.round_trip))}};
          json dests = json::array();
          for (const auto& [to, id] : ids) dests.push_back({{"to", to}, {"message_id", id}});
          for (const auto& u : r.unsuccess_sme)
            dests.push_back({{"to", u.destination_addr},
                             {"error", StatusText(u.error_status_code)},
                             {"command_status", u.error_status_code}});
          line["destinations"] = dests;
          Json(line);
        } else {
          for (const auto& [to, id] : ids)
            Result("submitted to " + to + part_text + ": message_id=" + id + " (" + MsText(Ms(r.round_trip)) + ")");
          for (const auto& u : r.unsuccess_sme)
            Result("not accepted for " + u.destination_addr + part_text + ": " + StatusText(u.error_status_code));
        }
      }
      if (!ec && registered & 0x03) t.receipts_expected += ids.size();
      if (!ec && !refused.empty() && refused.size() >= job(index).to.size() && !*failed) {
        *failed = true;
        fail("every destination refused", {exit_code::rejected, "submit_multi rejected for every destination"});
      }
      if (--*left == 0) {
        --outstanding;
        ++t.done;
        if (!*failed) ++t.accepted;
      }
    };
    // The fields submit_sm and submit_multi share.
    auto common = [&](auto& q, const sms::Part& p) {
      q.source_addr_ton = o_.source_ton;
      q.source_addr_npi = o_.source_npi;
      q.source_addr = o_.source;
      q.short_message = p.short_message;
      q.esm_class = p.esm_class;
      q.data_coding = p.data_coding;
      q.registered_delivery = registered;
    };
    for (std::size_t i = 0; i < n; ++i) {
      const sms::Part& p = (*j.parts)[i];
      if (j.to.size() == 1) {
        ss::submit_sm_request q;
        common(q, p);
        q.dest_addr_ton = o_.dest_ton;
        q.dest_addr_npi = o_.dest_npi;
        q.destination_addr = j.to[0];
        q.options = sms::ToOPSubmit_SM(p);
        q.tag = index;
        session_->async_submit_sm(std::move(q), [part_done, i, to = j.to[0]](std::error_code ec, ss::response r) {
          std::vector<std::pair<std::string, std::string>> ids;
          if (!ec) ids.emplace_back(to, r.message_id);
          part_done(i, ec, r, std::move(ids), {});
        });
      } else {
        ss::submit_multi_request q;
        common(q, p);
        for (const auto& d : j.to) q.dest_address.push_back({o_.dest_ton, o_.dest_npi, d, false});
        q.options = ToMulti(sms::ToOPSubmit_SM(p));
        session_->async_submit_multi(std::move(q), [&, part_done, i, index](std::error_code ec, ss::response r) {
          std::vector<std::pair<std::string, std::string>> ids;
          std::vector<std::string> refused;
          if (!ec) {
            multi_ids[r.message_id] = index;
            for (const auto& d : job(index).to) {
              const bool bad = std::any_of(r.unsuccess_sme.begin(), r.unsuccess_sme.end(),
                                           [&](const auto& u) { return u.destination_addr == d; });
              if (bad) {
                refused.push_back(d);
              } else {
                ids.emplace_back(d, r.message_id);
                if (registered & 0x03) multi_owed.emplace(d, index);
              }
            }
          }
          part_done(i, ec, r, std::move(ids), std::move(refused));
        });
      }
    }
  };

  Progress progress(io_.err, io_.err_is_terminal, bulk && !o_.quiet);
  TTimer tick(nullptr, loop_);
  tick.SetInterval(200);
  tick.OnTimer = [&](TObject*) { progress.Update(t.done, t.total, t.failed, Clock::now() - t0, false); };
  tick.SetEnabled(bulk && !o_.quiet);
  auto pump = [&] {
    while (next < total && outstanding < cap) issue(next++);
    return t.done >= total;
  };
  try {
    Await(pump, "submit responses");
  } catch (Failure&) {
    progress.Update(t.done, t.total, t.failed, Clock::now() - t0, true);
    throw;
  }
  const auto submitted_at = Clock::now();
  progress.Update(t.done, t.total, t.failed, submitted_at - t0, true);

  if (o_.receipt && t.receipts_expected > 0) {
    // Receipts have a deadline of their own, counted from the last response.
    const Deadline deadline(loop_, o_.receipt_timeout_ms);
    Await([&] { return deadline.expired() || t.receipts_final >= t.receipts_expected; }, "delivery receipts");
    if (t.receipts_final < t.receipts_expected && !bulk)
      throw Failure{exit_code::timeout, "delivery receipts: " + std::to_string(t.receipts_final) + " of " +
                                            std::to_string(t.receipts_expected) + " within " +
                                            std::to_string(o_.receipt_timeout_ms) + " ms"};
  }

  if (bulk) {
    const double secs = std::chrono::duration<double>(submitted_at - t0).count();
    const ss::MetricsSnapshot m = session_->metrics();
    json s{{"sent", t.sent}, {"accepted", t.accepted}, {"failed", t.failed}};
    s["failed_by_status"] = t.failed_by;
    s["throughput_per_s"] = Round2(secs > 0 ? t.done / secs : 0);
    s["latency_ms"] = {{"p50", Round2(Ms(m.rtt.p50))},
                       {"p90", Round2(Ms(m.rtt.p90))},
                       {"p99", Round2(Ms(m.rtt.p99))},
                       {"max", Round2(Ms(m.rtt.max))}};
    if (o_.receipt) {
      json r = t.receipts_by;
      r["expected"] = t.receipts_expected;
      r["missing"] = t.receipts_expected - std::min(t.receipts_expected, t.receipts_final);
      s["receipts"] = r;
    } else {
      s["receipts"] = nullptr;
    }
    if (o_.json) {
      Json(s);
    } else {
      char line[256];
      std::snprintf(line, sizeof line, "sent %llu, accepted %llu, failed %llu in %.2f s (%.0f msg/s)",
                    (unsigned long long)t.sent, (unsigned long long)t.accepted, (unsigned long long)t.failed, secs,
                    s["throughput_per_s"].get<double>());
      Result(line);
      for (const auto& [k, v] : t.failed_by) Result("  failed " + k + ": " + std::to_string(v));
      std::snprintf(line, sizeof line, "latency p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms", Ms(m.rtt.p50),
                    Ms(m.rtt.p90), Ms(m.rtt.p99), Ms(m.rtt.max));
      Result(line);
      if (o_.receipt) {
        std::string r = "receipts:";
        for (const auto& [k, v] : t.receipts_by) r += " " + k + " " + std::to_string(v);
        r += " (" + std::to_string(t.receipts_final) + " of " + std::to_string(t.receipts_expected) + ")";
        Result(r);
      }
    }
    if (t.failed) {
      if (total == 1 && t.first_failure) throw *t.first_failure;
      throw Failure{exit_code::rejected, std::to_string(t.failed) + " of " + std::to_string(total) +
                                             " messages failed; first: " + t.first_failure->message};
    }
    if (o_.receipt && t.receipts_final < t.receipts_expected)
      throw Failure{exit_code::timeout, "delivery receipts: " + std::to_string(t.receipts_final) + " of " +
                                            std::to_string(t.receipts_expected) + " within " +
                                            std::to_string(o_.receipt_timeout_ms) + " ms"};
  } else if (t.first_failure) {
    throw *t.first_failure;
  }
  if (o_.receipt && t.receipt_exit != exit_code::ok) {
    std::string states;
    for (const auto& [k, v] : t.receipts_by)
      if (k != "DELIVRD") states += (states.empty() ? "" : ", ") + k;
    throw Failure{t.receipt_exit, "not delivered: the receipt says " + states};
  }
}

// ---- listen ----------------------------------------------------------------------------

void Client::OnMessage(const ss::inbound_message& m) {
  if (o_.command != Command::Listen) return;  // MO traffic is only of interest to listen
  sms::InboundPart part;
  part.source = m.source_addr;
  part.destination = m.destination_addr;
  part.esm_class = m.esm_class;
  part.data_coding = m.data_coding;
  part.short_message = m.short_message;
  auto take = [&](const auto& op) {
    if (op.message_payload.Field) part.message_payload = op.message_payload.Value;
    if (op.sar_msg_ref_num.Field && op.sar_total_segments.Field && op.sar_segment_seqnum.Field)
      part.sar = sms::SarValues{op.sar_msg_ref_num.Value, op.sar_total_segments.Value, op.sar_segment_seqnum.Value};
  };
  const bool data = m.command_id == command_id::data_sm;
  if (data)
    take(m.data_options);
  else
    take(m.deliver_options);
  const auto fed = reassembler_.Feed(part, Clock::now());
  Dropped(fed.dropped);
  if (fed.status == sms::FeedStatus::Malformed) {
    io_.err << "warning: malformed concatenation header in a message from " << m.source_addr << std::endl;
    return;
  }
  if (fed.status != sms::FeedStatus::Complete || !fed.message) return;
  const sms::Message& msg = *fed.message;
  MessageLine line;
  line.source = msg.source;
  line.destination = msg.destination;
  line.data_coding = msg.data_coding;
  line.parts = msg.total_parts;
  line.via = data ? "data_sm" : "deliver_sm";
  const auto alphabet = sms::AlphabetOf(msg.data_coding);
  auto text = alphabet == sms::Alphabet::Binary || alphabet == sms::Alphabet::Unsupported
                  ? sms::Result<std::string>(sms::Error{sms::ErrorCode::UnsupportedCoding})
                  : sms::DecodeMessage(msg, sms::OnBadInput::Replace);
  if (text) {
    line.text = std::move(*text);
  } else {
    line.text = HexOctets(msg.octets);
    line.text_is_hex = true;
  }
  ++printed_;
  Result(FormatMessage(line, o_.json));
}

void Client::Listen() {
  on_receipt_ = [this](const ss::receipt_event& e) {
    ++printed_;
    Result(FormatReceipt(e.receipt, e.message.source_addr, e.message.destination_addr, o_.json));
  };
  std::optional<Deadline> duration;
  if (o_.duration_s) duration.emplace(loop_, o_.duration_s * 1000);
  TTimer sweep(nullptr, loop_);
  sweep.SetInterval(30000);
  sweep.OnTimer = [this](TObject*) { Dropped(reassembler_.Expire(Clock::now())); };
  sweep.SetEnabled(true);
  auto done = [&] { return (o_.count && printed_ >= o_.count) || (duration && duration->expired()); };
  try {
    Await(done, "messages");
  } catch (const Failure& f) {
    if (f.code != exit_code::interrupted) throw;
    // SIGINT/SIGTERM is how listen is meant to end: unbind as usual.
  }
}

// ---- query / cancel / replace / ping --------------------------------------------------------

void Client::Query() {
  std::optional<std::pair<std::error_code, ss::response>> res;
  session_->async_query_sm({.message_id = o_.id,
                            .source_addr_ton = o_.source_ton,
                            .source_addr_npi = o_.source_npi,
                            .source_addr = o_.source},
                           [&](std::error_code ec, ss::response r) { res.emplace(ec, std::move(r)); });
  Await([&] { return res.has_value(); }, "query response");
  if (res->first) throw FromError(res->first, &res->second, "query", o_.timeout_ms);
  const ss::response& r = res->second;
  std::string state = std::to_string(r.message_state);
  if (const auto s = sms::ToMessageState(r.message_state)) state = std::string(sms::MessageStateName(*s));
  if (o_.json) {
    Json(json{{"type", "query"},
              {"message_id", r.message_id},
              {"state", state},
              {"message_state", r.message_state},
              {"final_date", r.final_date},
              {"error_code", r.error_code},
              {"round_trip_ms", Round2(Ms(r.round_trip))}});
    return;
  }
  Result("query message_id=" + r.message_id + " state=" + state +
         " final_date=" + (r.final_date.empty() ? "-" : r.final_date) + " error_code=" + std::to_string(r.error_code) +
         " (" + MsText(Ms(r.round_trip)) + ")");
}

void Client::Cancel() {
  std::optional<std::pair<std::error_code, ss::response>> res;
  ss::cancel_sm_request q;
  q.message_id = o_.id;
  q.source_addr_ton = o_.source_ton;
  q.source_addr_npi = o_.source_npi;
  q.source_addr = o_.source;
  q.dest_addr_ton = o_.dest_ton;
  q.dest_addr_npi = o_.dest_npi;
  q.destination_addr = o_.to.empty() ? std::string() : o_.to[0];
  session_->async_cancel_sm(std::move(q), [&](std::error_code ec, ss::response r) { res.emplace(ec, std::move(r)); });
  Await([&] { return res.has_value(); }, "cancel response");
  if (res->first) throw FromError(res->first, &res->second, "cancel", o_.timeout_ms);
  if (o_.json)
    Json(json{{"type", "cancel"}, {"message_id", o_.id}, {"round_trip_ms", Round2(Ms(res->second.round_trip))}});
  else
    Result("cancelled message_id=" + o_.id + " (" + MsText(Ms(res->second.round_trip)) + ")");
}

void Client::Replace() {
  const auto encoded = sms::EncodeText(o_.text, o_.data_coding.value_or(sms::data_coding::kDefault));
  if (!encoded) {
    Options one = o_;
    one.split = SplitMethod::Udh8;
    auto why = PrepareText(one, o_.text, 0);
    throw Failure{exit_code::usage,
                  std::holds_alternative<std::string>(why) ? std::get<std::string>(why) : "cannot encode the text"};
  }
  if (encoded->octets.size() > TVelmorSMPPDemo::MaxShortMessage)
    throw Failure{exit_code::usage, "text is " + std::to_string(encoded->octets.size()) +
                                        " octets; replace_sm's short_message holds at most 254"};
  Connect();
  std::optional<std::pair<std::error_code, ss::response>> res;
  ss::replace_sm_request q;
  q.message_id = o_.id;
  q.source_addr_ton = o_.source_ton;
  q.source_addr_npi = o_.source_npi;
  q.source_addr = o_.source;
  q.registered_delivery = o_.registered_delivery.value_or(0);
  q.short_message = encoded->octets;
  session_->async_replace_sm(std::move(q), [&](std::error_code ec, ss::response r) { res.emplace(ec, std::move(r)); });
  Await([&] { return res.has_value(); }, "replace response");
  if (res->first) throw FromError(res->first, &res->second, "replace", o_.timeout_ms);
  if (o_.json)
    Json(json{{"type", "replace"}, {"message_id", o_.id}, {"round_trip_ms", Round2(Ms(res->second.round_trip))}});
  else
    Result("replaced message_id=" + o_.id + " (" + MsText(Ms(res->second.round_trip)) + ")");
}

void Client::Ping() {
  const unsigned count = o_.count ? o_.count : 3;
  std::vector<double> rtts;
  std::optional<Failure> failure;
  for (unsigned i = 0; i < count && !failure; ++i) {
    if (i && o_.interval_ms) {
      const Deadline pause(loop_, o_.interval_ms);
      try {
        Await([&] { return pause.expired(); }, "the next enquire_link");
      } catch (const Failure& f) {
        failure = f;
        break;
      }
    }
    std::optional<std::pair<std::error_code, ss::response>> res;
    session_->async_enquire_link([&](std::error_code ec, ss::response r) { res.emplace(ec, std::move(r)); });
    try {
      Await([&] { return res.has_value(); }, "enquire_link response");
      if (res->first) throw FromError(res->first, &res->second, "enquire_link", o_.timeout_ms);
    } catch (const Failure& f) {
      failure = f;
      break;
    }
    const double ms = Ms(res->second.round_trip);
    rtts.push_back(ms);
    if (o_.json)
      Json(json{{"type", "enquire_link_resp"}, {"seq", res->second.sequence_number}, {"time_ms", Round2(ms)}});
    else
      Result("enquire_link_resp seq=" + std::to_string(res->second.sequence_number) + " time=" + MsText(ms));
  }
  // The summary comes whatever ended the run, SIGINT included.
  const std::size_t sent = rtts.size() + (failure ? 1 : 0);
  if (!rtts.empty()) {
    std::vector<double> s = rtts;
    std::sort(s.begin(), s.end());
    double sum = 0;
    for (double v : s) sum += v;
    const double p99 = s[std::min(s.size() - 1, std::size_t(std::ceil(0.99 * s.size())) - 1)];
    if (o_.json) {
      Json(json{{"type", "ping_summary"},
                {"sent", sent},
                {"answered", rtts.size()},
                {"rtt_ms",
                 {{"min", Round2(s.front())},
                  {"avg", Round2(sum / s.size())},
                  {"max", Round2(s.back())},
                  {"p99", Round2(p99)}}}});
    } else {
      char buf[160];
      std::snprintf(buf, sizeof buf, "%zu sent, %zu answered, round trip min/avg/max/p99 = %.2f/%.2f/%.2f/%.2f ms",
                    sent, rtts.size(), s.front(), sum / s.size(), s.back(), p99);
      Result(buf);
    }
  }
  if (failure) throw *failure;
}

}  // namespace

int RunClient(const Options& options, TEventLoop& loop, const ClientIo& io) {
  Client c(options, loop, io);
  return c.Run();
}

}  // namespace velmor::cli
