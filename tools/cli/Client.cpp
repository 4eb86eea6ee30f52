#include "tools/cli/Client.h"

#include "tools/cli/ClientImpl.h"
#include "tools/cli/Control.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "codec/Commands.h"
#include "session/Session.h"
#include "session/receipts/Open.h"
#include "session/receipts/RedisRate.h"
#include "sms/Names.h"
#include "sms/Reassembly.h"
#include "sms/SubmitParts.h"
#include "tools/cli/Format.h"
#include "tools/cli/Messages.h"
#include "tools/cli/Progress.h"
#include "tools/cli/Simulate.h"
#include "tools/smsc/Server.h"

namespace velmor::cli {

// Pause between loop wake-ups that check the stop flag.
constexpr unsigned kPollMs = 50;
// Unbinding after a failure is best effort and must not stretch the exit.
constexpr unsigned kCloseAfterFailureMs = 1000;

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
  // Without a shared store the CLI pairs receipts with what it sent itself
  // (submit_multi and texts included), so the session hands every receipt
  // over at once instead of parking one it cannot place. With one, another
  // process may write the entry after its receipt came: it waits.
  if (!store_ || pair_locally_) c.receipt_matching.wait = std::chrono::milliseconds(0);
  c.receipt_store = store_;
  c.rate_limiter = limiter_;  // --rate-store: the --rate budget shared by processes
  c.receipt_account = account_;
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

void Client::OpenShared() {
  account_ = !o_.account.empty() ? o_.account : host_ + ":" + std::to_string(port_) + "/" + o_.system_id;
  if (o_.store.empty() && o_.rate_store.empty()) return;
  namespace rs = velmor::session::receipts;
  try {
    if (!o_.store.empty()) {
      store_ = rs::open_receipt_store(o_.store);
      board_ =
          std::make_unique<RunBoard>(o_.store, account_, loop_.Context().get_executor(), ss::receipt_limits{}.max_age);
    }
    if (!o_.rate_store.empty())
      limiter_ = std::make_shared<rs::redis_rate_limiter>(
          rs::parse_redis_url(o_.rate_store), "velmor:rate:{" + account_ + "}", o_.rate, std::max(1.0, o_.rate / 20));
  } catch (const std::invalid_argument& e) {
    throw Failure{exit_code::usage, std::string("--store: ") + e.what()};
  } catch (const std::runtime_error& e) {
    throw Failure{exit_code::usage, e.what()};
  }
}

void Client::FlushStore() {
  if (!store_) return;
  // A take is answered after every write queued before it: the store's
  // worker keeps their order.
  auto done = std::make_shared<bool>(false);
  store_->take(account_, "velmor-flush", false, false, loop_.Context().get_executor(),
               [done](ss::receipt_take) { *done = true; });
  loop_.RunUntil([&] { return *done; }, std::chrono::milliseconds(3000));
  if (!*done)
    io_.err << "warning: --store " << o_.store << ": entries may not all be written (no answer in 3 s)" << std::endl;
  const auto st = store_->stats();
  if (st.remember_dropped)
    io_.err << "warning: --store " << o_.store << ": " << st.remember_dropped << " entries could not be written"
            << std::endl;
}

void Client::ForOtherRun(const ss::receipt_event& e, std::function<void(const std::optional<RunInfo>&)> then) {
  const std::uint32_t run = RunOf(e.tag);
  board_->Lookup(run, [this, e, run, then = std::move(then)](const std::optional<RunInfo>& info) {
    const bool final_state = !e.intermediate && FinalReceipt(e.receipt);
    if (info && info->waits && final_state && e.outcome != ss::receipts::outcome::duplicate) {
      json j = ReceiptJson(e.receipt, e.message.source_addr, e.message.destination_addr);
      j["message_id"] = e.message_id;
      j["run_tag"] = e.tag;
      j["part"] = e.part_index + 1;
      j["parts"] = e.part_count;
      board_->Publish(run, j.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    if (then) then(info);
  });
}

void Client::Connect() {
  if (o_.Embedded()) StartEmbedded();
  if (account_.empty()) OpenShared();
  ss::config cfg = Config();
  cfg.trace = [this](bool sent, std::string_view pdu) {
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
    if (s == ss::state::closed) smsc_unbound_ = why == ss::errc::peer_unbound;  // of the latest loss
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
  auto result = std::make_shared<std::optional<std::error_code>>();
  const auto t0 = Clock::now();
  session_->async_connect([result](std::error_code ec) { *result = ec; });
  loop_.RunUntil([&] { return result->has_value() || Interrupted(); }, std::chrono::hours(1));
  if (!*result) throw Failure{exit_code::interrupted, "interrupted while connecting to " + where};
  const std::error_code ec = **result;
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
    auto done = std::make_shared<std::optional<std::error_code>>();
    const ss::state before = session_->current_state();
    session_->async_shutdown([done](std::error_code ec) { *done = ec; });
    loop_.RunUntil([&] { return done->has_value(); },
                   std::chrono::milliseconds(after_failure ? kCloseAfterFailureMs : o_.timeout_ms * 2 + 1000));
    if (*done && !**done && before != ss::state::closed) {
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
    // A TLS file that cannot be read is the command line's fault: say which,
    // before anything connects.
    for (auto [flag, path] : {std::pair{"--tls-ca", &o_.tls_ca}, std::pair{"--tls-cert", &o_.tls_cert},
                              std::pair{"--tls-key", &o_.tls_key}})
      if (!path->empty() && access(path->c_str(), R_OK) != 0)
        throw Failure{exit_code::usage, std::string(flag) + " " + *path + ": cannot be read: " + std::strerror(errno)};
    host_ = o_.host;
    port_ = o_.port;
    switch (o_.command) {
      case Command::Send: Send(); break;
      case Command::DataSm: DataSm(); break;
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
  std::optional<MetricsEndpoint> metrics;
  if (o_.metrics_port) {
    // The session's own rendering: inbound messages, receipts by outcome and
    // the state gauge are the session's families, labelled with account and bind.
    metrics.emplace(loop_, [this] { return session_->metrics_prometheus(); });
    std::string why;
    if (!metrics->Start("127.0.0.1", *o_.metrics_port, why))
      throw Failure{exit_code::usage, "--metrics-port " + std::to_string(*o_.metrics_port) + ": " + why};
    Say("metrics on http://127.0.0.1:" + std::to_string(metrics->port()) + "/metrics");
  }
  on_receipt_ = [this](const ss::receipt_event& e) {
    ++printed_;
    if (!board_ || !e.matched || RunOf(e.tag) == 0) {
      Result(FormatReceipt(e.receipt, e.message.source_addr, e.message.destination_addr, o_.json));
      return;
    }
    // Matched through the store: printed with the sending run's tag.
    ForOtherRun(e, [this, e](const std::optional<RunInfo>& info) {
      ReceiptOrigin from;
      from.tag = info ? info->tag : "run " + std::to_string(RunOf(e.tag));
      if (info && info->file) from.line = NumberOf(e.tag);
      from.part = e.part_index + 1u;
      from.parts = e.part_count;
      from.outcome = ss::receipts::to_string(e.outcome);
      Result(FormatReceiptFrom(e.receipt, e.message.source_addr, e.message.destination_addr, from, o_.json));
    });
  };
  std::optional<Deadline> duration;
  if (o_.duration_ms) duration.emplace(loop_, o_.duration_ms);
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
  // Receipts whose run is being looked up are printed, and outcomes handed
  // on, before the exit.
  if (board_) loop_.RunUntil([&] { return !board_->LookupsPending(); }, std::chrono::milliseconds(3000));
  FlushStore();
}

// ---- query / cancel / replace / ping --------------------------------------------------------

void Client::Query() {
  const Answer ans = NewAnswer();
  session_->async_query_sm({.message_id = o_.id,
                            .source_addr_ton = o_.source_ton,
                            .source_addr_npi = o_.source_npi,
                            .source_addr = o_.source},
                           Into(ans));
  Await([&] { return ans->has_value(); }, "query response");
  if ((*ans)->first) throw FromError((*ans)->first, &(*ans)->second, "query", o_.timeout_ms);
  const ss::response& r = (*ans)->second;
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
  const Answer ans = NewAnswer();
  ss::cancel_sm_request q;
  q.message_id = o_.id;
  q.source_addr_ton = o_.source_ton;
  q.source_addr_npi = o_.source_npi;
  q.source_addr = o_.source;
  q.dest_addr_ton = o_.dest_ton;
  q.dest_addr_npi = o_.dest_npi;
  q.destination_addr = o_.to.empty() ? std::string() : o_.to[0];
  session_->async_cancel_sm(std::move(q), Into(ans));
  Await([&] { return ans->has_value(); }, "cancel response");
  if ((*ans)->first) throw FromError((*ans)->first, &(*ans)->second, "cancel", o_.timeout_ms);
  if (o_.json)
    Json(json{{"type", "cancel"}, {"message_id", o_.id}, {"round_trip_ms", Round2(Ms((*ans)->second.round_trip))}});
  else
    Result("cancelled message_id=" + o_.id + " (" + MsText(Ms((*ans)->second.round_trip)) + ")");
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
  const Answer ans = NewAnswer();
  ss::replace_sm_request q;
  q.message_id = o_.id;
  q.source_addr_ton = o_.source_ton;
  q.source_addr_npi = o_.source_npi;
  q.source_addr = o_.source;
  q.registered_delivery = o_.registered_delivery.value_or(0);
  q.short_message = encoded->octets;
  session_->async_replace_sm(std::move(q), Into(ans));
  Await([&] { return ans->has_value(); }, "replace response");
  if ((*ans)->first) throw FromError((*ans)->first, &(*ans)->second, "replace", o_.timeout_ms);
  if (o_.json)
    Json(json{{"type", "replace"}, {"message_id", o_.id}, {"round_trip_ms", Round2(Ms((*ans)->second.round_trip))}});
  else
    Result("replaced message_id=" + o_.id + " (" + MsText(Ms((*ans)->second.round_trip)) + ")");
}

void Client::Ping() {
  const unsigned count = o_.count ? o_.count : 3;
  std::vector<double> rtts;
  std::optional<Failure> failure;
  std::size_t sent = 0;
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
    auto res = std::make_shared<std::optional<std::pair<std::error_code, ss::response>>>();
    session_->async_enquire_link([res](std::error_code ec, ss::response r) { res->emplace(ec, std::move(r)); });
    ++sent;
    try {
      Await([&] { return res->has_value(); }, "enquire_link response");
      if ((*res)->first) throw FromError((*res)->first, &(*res)->second, "enquire_link", o_.timeout_ms);
    } catch (const Failure& f) {
      failure = f;
      break;
    }
    const double ms = Ms((*res)->second.round_trip);
    rtts.push_back(ms);
    if (o_.json)
      Json(json{{"type", "enquire_link_resp"}, {"seq", (*res)->second.sequence_number}, {"time_ms", Round2(ms)}});
    else
      Result("enquire_link_resp seq=" + std::to_string((*res)->second.sequence_number) + " time=" + MsText(ms));
  }
  // The summary comes whatever ended the run, SIGINT included; sent counts
  // the enquire_links written, answered those whose response came.
  if (sent && rtts.empty()) {
    if (o_.json)
      Json(json{{"type", "summary"}, {"command", "ping"}, {"sent", sent}, {"answered", 0}, {"rtt_ms", nullptr}});
    else
      Result(std::to_string(sent) + " sent, 0 answered");
  } else if (sent) {
    std::vector<double> s = rtts;
    std::sort(s.begin(), s.end());
    double sum = 0;
    for (double v : s) sum += v;
    const double p99 = s[std::min(s.size() - 1, std::size_t(std::ceil(0.99 * s.size())) - 1)];
    if (o_.json) {
      Json(json{{"type", "summary"},
                {"command", "ping"},
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

int RunClient(const Options& options, TEventLoop& loop, const ClientIo& io) {
  Client c(options, loop, io);
  return c.Run();
}

}  // namespace velmor::cli
