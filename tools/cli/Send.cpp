// send (one message, or bulk with --count / --file) and data_sm.
//
// A bulk run reads and prepares every input line before it connects, then
// keeps a bounded number of messages in flight. Whatever ends it (the last
// response, SIGINT/SIGTERM, a lost link) it prints one summary whose counts
// add up to what was read: skipped (already in the --journal) + not sent +
// sent, and sent = accepted + refused + partial + unknown (no response
// before the link closed).
//
// Lifetime: the run's state is shared by every completion handler
// (shared_ptr), and handlers that arrive after the summary change nothing.
// They also use the Client, which owns the session and so outlives every
// handler the session holds.
#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "sms/Encoding.h"
#include "sms/Names.h"
#include "sms/SubmitParts.h"
#include "tools/cli/ClientImpl.h"
#include "tools/cli/Format.h"
#include "tools/cli/Journal.h"
#include "tools/cli/Messages.h"
#include "tools/cli/Progress.h"
#include "tools/cli/SendRun.h"

namespace velmor::cli {
using namespace sendrun;
namespace {

// The session's own text path carries destination, text, coding and split;
// a message that needs more fields goes part by part.
bool TextPath(const Options& o, const Job& j) {
  return j.to.size() == 1 && o.encoding != sms::Alphabet::Binary && o.split != SplitMethod::Udh16 &&
         o.service_type.empty() && !o.esm_class && !o.priority_flag && !o.protocol_id &&
         o.schedule_delivery_time.empty() && o.validity_period.empty() && o.tlvs.empty();
}

std::vector<Job> ReadJobs(const Options& o, std::uint64_t& read, std::uint64_t& skipped, Journal* journal) {
  std::mt19937 rng{std::random_device{}()};
  std::vector<Job> jobs;
  auto prepare = [&](Job j, const std::string& where) {
    auto parts = PrepareText(o, j.text, static_cast<std::uint16_t>(rng()));
    if (auto* e = std::get_if<std::string>(&parts)) throw Failure{exit_code::usage, where + *e};
    j.parts = std::make_shared<const Parts>(std::move(std::get<Parts>(parts)));
    jobs.push_back(std::move(j));
  };
  if (o.file.empty()) {
    prepare({0, {}, o.to, o.text, nullptr}, "");
    read = std::max(1u, o.count);
    return jobs;
  }
  std::ifstream in(o.file);
  if (!in) throw Failure{exit_code::usage, "--file " + o.file + ": cannot be read: " + std::strerror(errno)};
  std::string line;
  std::optional<CsvOrder> order;
  bool first = true;
  for (std::size_t n = 1; std::getline(in, line); ++n) {
    // Blank lines and lines starting with '#' are comments.
    if (line.empty() || line == "\r" || line[0] == '#') continue;
    if (first) {
      first = false;
      if ((order = ParseCsvHeader(line))) continue;
    }
    ++read;
    if (journal && journal->Accepted(n, line)) {
      ++skipped;
      continue;
    }
    auto parsed = ParseFileLine(line, order.value_or(CsvOrder::ToText));
    const std::string where = o.file + ":" + std::to_string(n) + ": ";
    if (auto* e = std::get_if<std::string>(&parsed)) throw Failure{exit_code::usage, where + *e};
    auto& f = std::get<FileLine>(parsed);
    prepare({n, line, std::move(f.to), std::move(f.text), nullptr}, where);
  }
  if (read == 0) throw Failure{exit_code::usage, "--file " + o.file + ": no messages in it"};
  return jobs;
}

}  // namespace

void Client::Send() {
  // Every text is encoded and split, and every --file line read, before any
  // connection is made: a bad line never leaves half a batch sent.
  auto run = std::make_shared<SendRun>();
  Tally& t = run->t;
  if (!o_.journal.empty()) {
    try {
      run->journal = std::make_unique<Journal>(o_.journal);
    } catch (const std::runtime_error& e) {
      throw Failure{exit_code::usage, e.what()};
    }
  }
  run->jobs = ReadJobs(o_, t.read, t.skipped, run->journal.get());
  run->repeat = o_.file.empty();
  run->total = run->repeat ? t.read : run->jobs.size();
  for (const Job& j : run->jobs) {
    if (j.to.size() == 1) {
      TOPSubmit_SM probe{};
      std::string raw;
      ApplyTlvs(o_, probe, raw, "submit_sm");
    } else {
      TOPSubmit_MULTI probe{};
      std::string raw;
      ApplyTlvs(o_, probe, raw, "submit_multi");
    }
  }
  const bool bulk = !o_.file.empty() || o_.count > 1;
  const Byte registered = o_.registered_delivery.value_or(o_.receipt ? 1 : 0);

  // ---- receipts: each message's parts, by tag (this run, message number) ------------
  // A message's number in the tag: its input line with --file, else its
  // repetition counted from 1; back to its index here.
  auto index_of = [run](std::uint32_t number) -> std::optional<std::uint64_t> {
    if (run->repeat)
      return number >= 1 && number <= run->total ? std::optional<std::uint64_t>(number - 1) : std::nullopt;
    const auto it = std::lower_bound(run->jobs.begin(), run->jobs.end(), number,
                                     [](const Job& j, std::uint32_t n) { return j.line < n; });
    if (it == run->jobs.end() || it->line != number) return std::nullopt;
    return static_cast<std::uint64_t>(it - run->jobs.begin());
  };
  // A final receipt of message `index`, taken by this bind or (elsewhere)
  // by another process's and handed on through the store. j: its JSON line.
  auto counted = [this, run, bulk](std::uint64_t index, const sms::Receipt& rc, const std::string& message_id, json j,
                                   bool elsewhere) {
    Tally& t = run->t;
    ++t.receipts_final;
    ++t.receipts_by[StateText(rc)];
    const int code = ReceiptExit(rc);
    if (code != exit_code::ok && t.receipt_exit == exit_code::ok) t.receipt_exit = code;
    if (bulk && !o_.json) return;
    const double since = Ms(Clock::now() - run->t0);
    if (o_.json) {
      const Job& job = run->job(index);
      j["line"] = job.line ? json(job.line) : json(nullptr);
      j["after_ms"] = Round2(since);
      if (elsewhere) j["elsewhere"] = true;
      Json(j);
      return;
    }
    std::string line = "receipt received: id=" + (rc.id.empty() ? message_id : rc.id);
    if (rc.state) line += " state=" + std::string(sms::MessageStateName(*rc.state));
    if (rc.stat) line += " stat=" + *rc.stat;
    if (rc.err) line += " err=" + *rc.err;
    Result(line + " (" + MsText(since) + " after submit" + (elsewhere ? ", taken by another process" : "") + ")");
  };
  on_receipt_ = [this, run, index_of, counted](const ss::receipt_event& e) {
    if (run->finished) return;
    if (e.matched && RunOf(e.tag) != run_) {  // another run's entry, through the store
      if (board_) ForOtherRun(e, {});
      if (!o_.quiet)
        io_.err << "note: a receipt for message_id " << e.message_id << " belongs to another run" << std::endl;
      return;
    }
    // A duplicate was counted with its first copy.
    if (e.outcome == ss::receipts::outcome::duplicate) return;
    std::optional<std::uint64_t> index;
    if (e.matched)
      index = index_of(NumberOf(e.tag));
    else if (auto it = run->multi_ids.find(e.message_id); it != run->multi_ids.end())
      index = it->second;
    if (!e.matched)
      if (auto owed = run->multi_owed.find(e.message.source_addr); owed != run->multi_owed.end()) {
        if (!index) index = owed->second;
        if (FinalReceipt(e.receipt)) run->multi_owed.erase(owed);
      }
    if (!index) {
      if (!o_.quiet)
        io_.err << "note: ignored a receipt for message_id " << e.message_id << " (not sent by this run)" << std::endl;
      return;
    }
    if (!FinalReceipt(e.receipt)) return;
    json j = ReceiptJson(e.receipt, e.message.source_addr, e.message.destination_addr);
    j["message_id"] = e.message_id;
    j["part"] = e.part_index + 1;
    j["parts"] = e.part_count;
    counted(*index, e.receipt, e.message_id, std::move(j), false);
  };
  for (const Job& j : run->jobs) pair_locally_ = pair_locally_ || j.to.size() > 1;

  Connect();  // receipts flushed at the bind reach the handler above
  if (board_) {
    // The run is described before its first entry, so that whoever takes
    // one of its receipts finds the tag (and that this run waits).
    RunInfo info{o_.tag.empty() ? (o_.file.empty() ? "run " + std::to_string(run_) : o_.file) : o_.tag,
                 !o_.file.empty(), o_.receipt};
    auto written = std::make_shared<std::optional<bool>>();
    board_->Announce(run_, info, [written](bool ok) { *written = ok; });
    loop_.RunUntil([&] { return written->has_value() || Interrupted(); }, std::chrono::milliseconds(3000));
    if (!written->value_or(false))
      io_.err << "warning: --store " << o_.store << ": the run's tag could not be written"
              << (board_->Problem().empty() ? std::string() : " (" + board_->Problem() + ")") << std::endl;
    if (o_.receipt)
      board_->Collect(run_, [this, run, index_of, counted](std::vector<std::string> outcomes) {
        for (const std::string& text : outcomes) {
          if (run->finished) return;
          json j = json::parse(text, nullptr, false);
          if (!j.is_object() || !j.contains("run_tag") || !j["run_tag"].is_number_unsigned()) continue;
          const auto tag = j["run_tag"].get<std::uint64_t>();
          j.erase("run_tag");
          const auto index = RunOf(tag) == run_ ? index_of(NumberOf(tag)) : std::nullopt;
          if (!index) continue;
          sms::Receipt rc;
          rc.id = j.value("message_id", "");
          if (j.contains("message_state") && j["message_state"].is_number_unsigned())
            rc.state = sms::ToMessageState(static_cast<Byte>(j["message_state"].get<unsigned>()));
          if (j.contains("stat") && j["stat"].is_string()) rc.stat = j["stat"].get<std::string>();
          if (j.contains("err") && j["err"].is_string()) rc.err = j["err"].get<std::string>();
          counted(*index, rc, rc.id, std::move(j), true);
        }
      });
  }
  run->t0 = Clock::now();

  // ---- one submit result: a line per destination and part -------------------------
  // (bulk without --json prints only refusals, on stderr, by input line)
  auto report = [this, run, bulk](const Job& j, std::size_t part, std::size_t parts, const std::string& to,
                                  const std::string& message_id, std::optional<Cardinal> status,
                                  const std::string& status_name, std::optional<double> rtt, const char* via) {
    if (run->finished) return;
    const std::string part_text =
        parts > 1 && part ? " part " + std::to_string(part) + "/" + std::to_string(parts) : "";
    if (o_.json) {
      Json(json{{"type", "submit"},
                {"via", via},
                {"line", j.line ? json(j.line) : json(nullptr)},
                {"to", to},
                {"part", part ? json(part) : json(nullptr)},
                {"parts", parts},
                {"message_id", message_id.empty() ? json(nullptr) : json(message_id)},
                {"command_status", status ? json(*status) : json(nullptr)},
                {"status", status_name},
                {"round_trip_ms", rtt ? json(Round2(*rtt)) : json(nullptr)}});
    } else if (bulk) {
      if (status_name != "ESME_ROK" && !o_.quiet)
        io_.err << (j.line ? o_.file + ":" + std::to_string(j.line) : std::string("message")) << " to " << to
                << part_text << ": " << (status ? StatusText(*status) : status_name) << std::endl;
    } else if (status && *status == 0) {
      Result("submitted to " + to + part_text + ": message_id=" + message_id + " (" + MsText(rtt.value_or(0)) + ")");
    } else if (status) {
      Result("not accepted for " + to + part_text + ": " + StatusText(*status));
    }
  };

  // Ends a message once every part is answered (or given up on).
  auto settle = [this, run](const std::shared_ptr<Flight>& f) {
    if (run->finished || run->flying.erase(f->index) == 0) return;
    Tally& t = run->t;
    const Job& j = run->job(f->index);
    Outcome out = Outcome::accepted;
    if (f->unsent && !f->answered)
      out = Outcome::unsent;
    else if (f->refused || (f->dests_refused && !f->dests_accepted))
      out = Outcome::refused;
    else if (f->unknown || f->unsent)
      out = Outcome::unknown;
    else if (f->dests_refused)
      out = Outcome::partial;
    switch (out) {
      case Outcome::accepted:
        ++t.accepted;
        if (run->journal && j.line) run->journal->Record(j.line, j.raw);
        break;
      case Outcome::refused:
        ++t.refused;
        ++t.refused_by[f->status.empty() ? "every destination refused" : f->status];
        if (!t.first_failure)
          t.first_failure =
              f->failure ? *f->failure : Failure{exit_code::rejected, "submit_multi rejected for every destination"};
        break;
      case Outcome::partial:
        ++t.partial;
        if (t.first_partial.empty() && f->failure)
          t.first_partial = std::to_string(f->dests_refused) + " of " +
                            std::to_string(f->dests_refused + f->dests_accepted) +
                            " destinations refused; first: " + f->failure->message;
        break;
      case Outcome::unknown: ++t.unknown; break;
      case Outcome::unsent:
        --t.sent;
        ++t.unsent;
        break;
    }
  };

  // A part's answer: ec from the session, the destinations accepted (with
  // their message ids) and those refused (submit_multi's unsuccess_sme).
  auto answer = [this, run](const std::shared_ptr<Flight>& f, std::error_code ec, const ss::response* r,
                            const std::string& what) {
    if (!ec) {
      f->answered = true;
      return;
    }
    if (ec == ss::errc::shutting_down) {
      f->unsent = true;
    } else if (auto status = ss::command_status_of(ec)) {
      f->answered = true;
      if (!f->refused) {
        f->refused = true;
        f->status = StatusName(*status);
        f->failure = FromError(ec, r, what, o_.timeout_ms);
      }
    } else if (ec == ss::errc::invalid_argument || ec == ss::errc::encoding_failed) {
      f->answered = true;
      f->refused = true;
      f->status = ec.message();
      f->failure = FromError(ec, r, what, o_.timeout_ms);
    } else {
      f->unknown = true;  // timeout, disconnected: sent, no answer
    }
  };

  auto issue = [&, run](std::uint64_t index) {
    const Job& j = run->job(index);
    auto f = std::make_shared<Flight>();
    f->index = index;
    run->flying.emplace(index, f);
    ++run->t.sent;
    const auto issued = Clock::now();
    if (TextPath(o_, j)) {
      f->parts_left = 1;
      ss::text_request q;
      q.source_addr = o_.source;
      q.source_addr_ton = o_.source_ton;
      q.source_addr_npi = o_.source_npi;
      q.destination_addr = j.to[0];
      q.dest_addr_ton = o_.dest_ton;
      q.dest_addr_npi = o_.dest_npi;
      q.text = j.text;
      q.split = o_.split == SplitMethod::Udh8  ? ss::split_method::udh
                : o_.split == SplitMethod::Sar ? ss::split_method::sar
                                               : ss::split_method::payload;
      q.data_coding = CodingOf(o_);
      q.registered_delivery = registered;
      q.tag = RunTag(run_, run->repeat ? static_cast<std::uint32_t>(index + 1) : static_cast<std::uint32_t>(j.line));
      session_->async_send_text(std::move(q), [=, this](std::error_code ec, ss::text_result r) {
        if (run->finished) return;
        const Job& j = run->job(index);
        answer(f, ec, nullptr, "submit");
        const double rtt = Ms(Clock::now() - issued);
        if (!ec) {
          for (std::size_t i = 0; i < r.message_ids.size(); ++i)
            report(j, i + 1, r.parts, j.to[0], r.message_ids[i], 0, "ESME_ROK", rtt, "submit_sm");
          if (registered & 0x03) run->t.receipts_expected += r.parts;
        } else {
          const auto status = ss::command_status_of(ec);
          // The text path names no failing part; a one-part message has only one.
          report(j, j.parts->size() == 1 ? 1 : 0, j.parts->size(), j.to[0], "", status,
                 status       ? StatusName(*status)
                 : f->unsent  ? std::string("unsent")
                 : f->unknown ? std::string("unknown")
                              : ec.message(),
                 status ? std::optional<double>(rtt) : std::nullopt, "submit_sm");
        }
        settle(f);
      });
      return;
    }
    const std::size_t n = j.parts->size();
    f->parts_left = n;
    auto common = [&](auto& q, const sms::Part& p) {
      q.service_type = o_.service_type;
      q.source_addr_ton = o_.source_ton;
      q.source_addr_npi = o_.source_npi;
      q.source_addr = o_.source;
      q.short_message = p.short_message;
      q.esm_class = p.esm_class | o_.esm_class.value_or(0);
      q.protocol_id = o_.protocol_id;
      q.priority_flag = o_.priority_flag;
      q.schedule_delivery_time = o_.schedule_delivery_time;
      q.validity_period = o_.validity_period;
      q.data_coding = p.data_coding;
      q.registered_delivery = registered;
    };
    for (std::size_t i = 0; i < n; ++i) {
      const sms::Part& p = (*j.parts)[i];
      auto done_part = [=, this](std::error_code ec, const ss::response& r) {
        if (run->finished) return;
        const Job& j = run->job(index);
        const bool multi = j.to.size() > 1;
        const std::string what = std::string(multi ? "submit_multi" : "submit") +
                                 (n > 1 ? " part " + std::to_string(i + 1) + "/" + std::to_string(n) : std::string());
        answer(f, ec, &r, what);
        const char* via = multi ? "submit_multi" : "submit_sm";
        const double rtt = Ms(r.round_trip);
        if (ec) {
          const auto status = ss::command_status_of(ec);
          const std::string name = status       ? StatusName(*status)
                                   : f->unsent  ? std::string("unsent")
                                   : f->unknown ? std::string("unknown")
                                                : ec.message();
          for (const auto& d : j.to) report(j, i + 1, n, d, "", status, name, std::nullopt, via);
        } else {
          if (multi) run->multi_ids[r.message_id] = index;
          for (const auto& d : j.to) {
            const auto u = std::find_if(r.unsuccess_sme.begin(), r.unsuccess_sme.end(),
                                        [&](const auto& u) { return u.destination_addr == d; });
            if (u != r.unsuccess_sme.end()) {
              ++f->dests_refused;
              if (f->status.empty()) {
                f->status = StatusName(u->error_status_code);
                f->failure =
                    Failure{exit_code::rejected, "submit_multi for " + d + ": " + StatusText(u->error_status_code)};
              }
              report(j, i + 1, n, d, "", u->error_status_code, StatusName(u->error_status_code), rtt, via);
            } else {
              ++f->dests_accepted;
              if (registered & 0x03) {
                ++run->t.receipts_expected;
                if (multi) run->multi_owed.emplace(d, index);
              }
              report(j, i + 1, n, d, r.message_id, 0, "ESME_ROK", rtt, via);
            }
          }
        }
        if (--f->parts_left == 0) settle(f);
      };
      if (j.to.size() == 1) {
        ss::submit_sm_request q;
        common(q, p);
        q.dest_addr_ton = o_.dest_ton;
        q.dest_addr_npi = o_.dest_npi;
        q.destination_addr = j.to[0];
        q.options = sms::ToOPSubmit_SM(p);
        ApplyTlvs(o_, q.options, q.raw_tlvs, "submit_sm");
        q.tag = RunTag(run_, run->repeat ? static_cast<std::uint32_t>(index + 1) : static_cast<std::uint32_t>(j.line));
        session_->async_submit_sm(std::move(q), std::move(done_part));
      } else {
        ss::submit_multi_request q;
        common(q, p);
        for (const auto& d : j.to) q.dest_address.push_back({o_.dest_ton, o_.dest_npi, d, false});
        q.options = ToMulti(sms::ToOPSubmit_SM(p));
        ApplyTlvs(o_, q.options, q.raw_tlvs, "submit_multi");
        session_->async_submit_multi(std::move(q), std::move(done_part));
      }
    }
  };

  // ---- submit, with a bounded number of messages in flight -------------------------
  const std::uint64_t cap = std::max<std::uint64_t>(o_.window * 2, 16);
  const std::uint64_t total = run->total;
  Progress progress(io_.err, io_.err_is_terminal, bulk && !o_.quiet);
  TTimer tick(nullptr, loop_);
  tick.SetInterval(200);
  tick.OnTimer = [&](TObject*) { progress.Update(t.finished(), total, t.refused, Clock::now() - run->t0, false); };
  tick.SetEnabled(bulk && !o_.quiet);
  auto all_done = [&] { return run->next >= total && run->flying.empty(); };
  loop_.RunUntil(
      [&] {
        while (!run->stopping && run->next < total && run->flying.size() < cap) issue(run->next++);
        return all_done() || LinkLost() || Interrupted();
      },
      std::chrono::hours(24 * 365));
  const bool interrupted = !all_done() && !LinkLost();
  run->stopping = true;
  if (interrupted && !run->flying.empty()) {
    if (!o_.quiet)
      io_.err << "interrupted: waiting up to " << o_.timeout_ms << " ms for " << run->flying.size()
              << " messages in flight" << std::endl;
    Drain([&] { return run->flying.empty(); }, o_.timeout_ms);
  }
  const auto submitted_at = Clock::now();
  tick.SetEnabled(false);
  progress.Update(t.finished(), total, t.refused, submitted_at - run->t0, true);

  // Receipts have a deadline of their own, counted from the last response.
  bool receipts_interrupted = false;
  if (!interrupted && !LinkLost() && o_.receipt && t.receipts_expected > 0) {
    const Deadline deadline(loop_, o_.receipt_timeout_ms);
    auto got = [&] { return deadline.expired() || t.receipts_final >= t.receipts_expected; };
    loop_.RunUntil([&] { return got() || LinkLost() || Interrupted(); }, std::chrono::hours(24 * 365));
    receipts_interrupted = !got() && !LinkLost();
  }
  FlushStore();
  const bool lost = LinkLost();
  // Messages still waiting when the link closes were sent and never answered.
  if (interrupted || receipts_interrupted) Close(false);
  for (auto it = run->flying.begin(); it != run->flying.end();) {
    auto f = (it++)->second;
    f->unknown = true;
    settle(f);
  }
  t.unsent += total - std::min(total, run->next);
  run->finished = true;
  on_receipt_ = nullptr;

  if (bulk) PrintSummary(run, interrupted || receipts_interrupted, submitted_at);

  if (interrupted || receipts_interrupted) {
    std::string what = receipts_interrupted ? "delivery receipts" : "submit responses";
    if (!bulk) throw Failure{exit_code::interrupted, "interrupted while waiting for " + what};
    throw Failure{
        exit_code::interrupted,
        "interrupted: " + std::to_string(t.unsent) + " of " + std::to_string(t.read) + " messages not sent" +
            (o_.journal.empty() ? std::string() : "; run again with --journal " + o_.journal + " to send them")};
  }
  if (lost) {
    Failure f = Lost("submit responses");
    if (bulk)
      f.message +=
          " (" + std::to_string(t.unknown) + " sent without an answer, " + std::to_string(t.unsent) + " not sent)";
    throw f;
  }
  if (t.refused) {
    if (!bulk && t.first_failure) throw *t.first_failure;
    throw Failure{exit_code::rejected, std::to_string(t.refused) + " of " + std::to_string(t.sent) +
                                           " messages refused; first: " + t.first_failure->message};
  }
  if (t.unknown)
    throw Failure{exit_code::timeout, std::to_string(t.unknown) + " of " + std::to_string(t.sent) +
                                          " messages got no response within " + std::to_string(o_.timeout_ms) + " ms"};
  if (t.partial) {
    if (!bulk) throw Failure{exit_code::partial, "submit_multi: " + t.first_partial};
    throw Failure{exit_code::partial, std::to_string(t.partial) + " of " + std::to_string(t.sent) +
                                          " messages refused for some destinations; first: " + t.first_partial};
  }
  if (o_.receipt && t.receipts_final < t.receipts_expected) {
    std::string why;
    if (board_) {
      why = "; the rest reached neither this bind nor, through --store, another process's";
      if (const std::string p = board_->Problem(); !p.empty()) why += " (the store: " + p + ")";
    }
    throw Failure{exit_code::timeout, "delivery receipts: " + std::to_string(t.receipts_final) + " of " +
                                          std::to_string(t.receipts_expected) + " within " +
                                          std::to_string(o_.receipt_timeout_ms) + " ms" + why};
  }
  if (o_.receipt && t.receipt_exit != exit_code::ok) {
    std::string states;
    for (const auto& [k, v] : t.receipts_by)
      if (k != "DELIVRD") states += (states.empty() ? "" : ", ") + k;
    throw Failure{t.receipt_exit, "not delivered: the receipt says " + states};
  }
}

}  // namespace velmor::cli
