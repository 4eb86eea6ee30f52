// send's bulk summary, and data_sm.
#include "sms/Encoding.h"
#include "tools/cli/ClientImpl.h"
#include "tools/cli/Format.h"
#include "tools/cli/SendRun.h"

namespace velmor::cli {
using namespace sendrun;

void Client::PrintSummary(const std::shared_ptr<void>& state, bool interrupted, Clock::time_point submitted_at) {
  const auto& run = *std::static_pointer_cast<SendRun>(state);
  const Tally& t = run.t;
  const double secs = std::chrono::duration<double>(submitted_at - run.t0).count();
  const ss::MetricsSnapshot m = session_->metrics();
  json s{{"type", "summary"},    {"command", "send"},    {"interrupted", interrupted}, {"read", t.read},
         {"skipped", t.skipped}, {"sent", t.sent},       {"accepted", t.accepted},     {"refused", t.refused},
         {"partial", t.partial}, {"unknown", t.unknown}, {"unsent", t.unsent}};
  s["refused_by_status"] = t.refused_by;
  s["elapsed_s"] = Round2(secs);
  s["throughput_per_s"] = Round2(secs > 0 ? t.finished() / secs : 0);
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
    return;
  }
  char line[320];
  std::snprintf(line, sizeof line,
                "%sread %llu: skipped %llu, not sent %llu, sent %llu (accepted %llu, refused %llu, partial %llu, "
                "unknown %llu) in %.2f s (%.0f msg/s)",
                interrupted ? "interrupted; " : "", (unsigned long long)t.read, (unsigned long long)t.skipped,
                (unsigned long long)t.unsent, (unsigned long long)t.sent, (unsigned long long)t.accepted,
                (unsigned long long)t.refused, (unsigned long long)t.partial, (unsigned long long)t.unknown, secs,
                s["throughput_per_s"].get<double>());
  Result(line);
  for (const auto& [k, v] : t.refused_by) Result("  refused " + k + ": " + std::to_string(v));
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

// ---- data_sm ------------------------------------------------------------------------------

void Client::DataSm() {
  const auto coding = CodingOf(o_);
  auto enc = coding ? sms::EncodeText(o_.text, *coding) : sms::ChooseEncoding(o_.text);
  if (!enc) {
    auto why = PrepareText(o_, o_.text, 0);
    throw Failure{exit_code::usage,
                  std::holds_alternative<std::string>(why) ? std::get<std::string>(why) : "cannot encode the text"};
  }
  ss::data_sm_request q;
  q.service_type = o_.service_type;
  q.source_addr_ton = o_.source_ton;
  q.source_addr_npi = o_.source_npi;
  q.source_addr = o_.source;
  q.dest_addr_ton = o_.dest_ton;
  q.dest_addr_npi = o_.dest_npi;
  q.destination_addr = o_.to[0];
  q.esm_class = o_.esm_class.value_or(0);
  q.registered_delivery = o_.registered_delivery.value_or(0);
  q.data_coding = enc->data_coding;
  q.options.message_payload.Field = true;
  q.options.message_payload.Value = std::string(enc->octets.begin(), enc->octets.end());
  ApplyTlvs(o_, q.options, q.raw_tlvs, "data_sm");
  if (q.options.message_payload.Value.size() > 65535)
    throw Failure{exit_code::usage,
                  "text is " + std::to_string(enc->octets.size()) + " octets; message_payload holds at most 65535"};
  Connect();
  auto res = std::make_shared<std::optional<std::pair<std::error_code, ss::response>>>();
  session_->async_data_sm(std::move(q), [res](std::error_code ec, ss::response r) { res->emplace(ec, std::move(r)); });
  Await([&] { return res->has_value(); }, "data_sm response");
  const auto& [ec, r] = **res;
  const auto status = ec ? ss::command_status_of(ec) : std::optional<std::uint32_t>(0);
  if (o_.json && (!ec || status))
    Json(json{{"type", "submit"},
              {"via", "data_sm"},
              {"line", nullptr},
              {"to", o_.to[0]},
              {"part", 1},
              {"parts", 1},
              {"message_id", ec ? json(nullptr) : json(r.message_id)},
              {"command_status", *status},
              {"status", StatusName(*status)},
              {"round_trip_ms", Round2(Ms(r.round_trip))}});
  if (ec) throw FromError(ec, &r, "data_sm", o_.timeout_ms);
  if (!o_.json)
    Result("data_sm to " + o_.to[0] + ": message_id=" + r.message_id + " (" + MsText(Ms(r.round_trip)) + ")");
}

}  // namespace velmor::cli
