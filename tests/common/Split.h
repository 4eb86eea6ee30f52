// The grind every received stream goes through: whole, cut in two at every
// offset, and one octet a read.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/EventLog.h"
#include "common/Probe.h"

namespace velmor::test {

// The event log of a fresh component fed the given reads in turn.
inline std::vector<std::string> events_of(const std::vector<std::string_view>& reads) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  std::vector<std::string> log;
  record_all(c, log);
  for (auto r : reads) c.ReceiveOctets(r);
  return log;
}

// The stream fed whole, then cut into two reads at every offset, then one
// octet a read: each gives exactly the expected events, so a PDU lost,
// repeated or misread across a read boundary shows at the offset it happens.
inline void expect_events_however_split(std::string_view stream, const std::vector<std::string>& expected) {
  EXPECT_EQ(events_of({stream}), expected) << "whole";
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    const auto got = events_of({stream.substr(0, cut), stream.substr(cut)});
    if (got != expected) {
      EXPECT_EQ(got, expected) << "cut at " << cut;
      return;
    }
  }
  std::vector<std::string_view> octets;
  for (std::size_t i = 0; i < stream.size(); ++i) octets.push_back(stream.substr(i, 1));
  EXPECT_EQ(events_of(octets), expected) << "one octet a read";
}

}  // namespace velmor::test
