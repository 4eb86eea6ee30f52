// The state of one send run and the helpers its parts share: Send.cpp
// (submitting, receipts) and SendReport.cpp (the summary, data_sm).
// Internal to velmor_cli.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "sms/Names.h"
#include "tools/cli/ClientImpl.h"
#include "tools/cli/Journal.h"
#include "tools/cli/Messages.h"

namespace velmor::cli::sendrun {

struct Job {
  std::size_t line = 0;  // --file: its line number (1-based); 0 otherwise
  std::string raw;       // --file: the line as read, for the journal
  std::vector<std::string> to;
  std::string text;
  std::shared_ptr<const Parts> parts;
};

// What became of a message, once every part has an answer (or none comes).
enum class Outcome { accepted, refused, partial, unknown, unsent };

struct Flight {
  std::uint64_t index = 0;
  std::size_t parts_left = 0;
  bool refused = false, unknown = false, answered = false, unsent = false;
  std::size_t dests_refused = 0, dests_accepted = 0;
  std::string status;  // the first refusal's status name
  std::optional<Failure> failure;
};

struct Tally {
  std::uint64_t read = 0, skipped = 0, sent = 0, accepted = 0, refused = 0, partial = 0, unknown = 0, unsent = 0;
  std::map<std::string, std::uint64_t> refused_by;
  std::map<std::string, std::uint64_t> receipts_by;
  std::uint64_t receipts_expected = 0, receipts_final = 0;
  int receipt_exit = exit_code::ok;
  std::optional<Failure> first_failure;
  std::string first_partial;  // "1 of 3 destinations refused; first: ..."
  std::uint64_t finished() const { return accepted + refused + partial + unknown; }
};

struct SendRun {
  std::vector<Job> jobs;
  bool repeat = false;  // --count: jobs[0] every time
  std::uint64_t total = 0;
  Tally t;
  std::uint64_t next = 0;
  std::map<std::uint64_t, std::shared_ptr<Flight>> flying;
  bool stopping = false, finished = false;
  std::unique_ptr<Journal> journal;
  // submit_multi: the response names one message_id, but an SMSC may give
  // each destination its own; a receipt from a destination still owed one
  // belongs to the message too.
  std::map<std::string, std::uint64_t> multi_ids;
  std::multimap<std::string, std::uint64_t> multi_owed;
  Clock::time_point t0 = Clock::now();
  const Job& job(std::uint64_t i) const { return jobs[repeat ? 0 : i]; }
};

inline std::string StatusName(Cardinal status) {
  const auto name = sms::CommandStatusName(status);
  if (name) return std::string(*name);
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", status);
  return buf;
}

// Sets the aggregate's member with this tag from the octets (integers big
// endian, in their width); the reason when the width is wrong. A tag the
// aggregate has no member for goes into raw as one encoded TLV, after the
// members on the wire.
template <class Aggregate>
std::string SetTlv(Aggregate& a, std::string& raw, Word tag, const std::string& octets) {
  std::string why;
  const bool member = Aggregate::visit(a, [&](auto& m) {
    using M = std::decay_t<decltype(m)>;
    if (M::tag != tag) return false;
    if constexpr (requires { m.Value; }) {
      using V = typename M::value_type;
      if constexpr (std::is_same_v<V, AnsiString>) {
        m.Value = octets;
      } else {
        if (octets.size() != sizeof(V)) {
          why = "takes " + std::to_string(sizeof(V)) + " octets, not " + std::to_string(octets.size());
          return true;
        }
        V v = 0;
        for (unsigned char c : octets) v = static_cast<V>((v << 8) | c);
        m.Value = v;
      }
    } else if (!octets.empty()) {
      why = "carries no value (use TAG=)";
      return true;
    }
    m.Field = true;
    return true;
  });
  if (!member) {
    for (const unsigned v : {unsigned{tag}, static_cast<unsigned>(octets.size())}) {
      raw += static_cast<char>(v >> 8);
      raw += static_cast<char>(v & 0xFF);
    }
    raw += octets;
  }
  return why;
}

template <class Aggregate>
void ApplyTlvs(const Options& o, Aggregate& a, std::string& raw, const char* pdu) {
  for (const auto& [tag, octets] : o.tlvs)
    if (auto why = SetTlv(a, raw, tag, octets); !why.empty()) {
      char t[8];
      std::snprintf(t, sizeof t, "0x%04X", tag);
      throw Failure{exit_code::usage, std::string("--tlv ") + t + ": " + why + " (" + pdu + ")"};
    }
}

}  // namespace velmor::cli::sendrun
