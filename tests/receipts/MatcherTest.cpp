// The matcher over the pure memory book, time simulated: each case is a
// script of remembers, receipts and waits, and the reports it must give.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "session/receipts/Matcher.h"
#include "session/receipts/Memory.h"
#include "session/receipts/Rules.h"
#include "sms/Receipt.h"

using namespace velmor::session;
using namespace velmor::session::receipts;
using namespace std::chrono_literals;

namespace {

struct sim {
  explicit sim(receipt_limits l = {}, matcher_config c = {}) : book(l), m(c) {}
  memory_receipts book;
  receipt_matcher m;
  receipt_matcher::clock::time_point now{std::chrono::hours(1000)};
  std::chrono::system_clock::time_point wall{std::chrono::hours(500000)};
  std::vector<std::string> reports;
  receipt_matcher::ticket next = 1;

  void lookups(const std::vector<receipt_matcher::lookup>& ls) {
    for (const auto& l : ls) {
      const auto r = book.take("acct", l.id, l.final_state, l.delivered, wall);
      if (auto rep = m.on_take(l.t, r, now)) say(*rep);
    }
  }
  void say(const receipt_matcher::report& r) {
    std::ostringstream o;
    o << r.t << ' ' << to_string(r.outcome);
    if (r.outcome == outcome::unmatched)
      o << ' ' << to_string(r.reason);
    else
      o << " tag" << r.entry.tag;
    if (r.whole_delivered) o << (*r.whole_delivered ? " whole:delivered" : " whole:failed");
    reports.push_back(o.str());
  }
  void tick() {
    for (int guard = 0; guard < 100000; ++guard) {
      const auto w = m.next_wake();
      if (!w || *w > now) return;
      std::vector<receipt_matcher::lookup> ls;
      std::vector<receipt_matcher::report> rs;
      m.tick(now, ls, rs);
      for (auto& r : rs) say(r);
      lookups(ls);
    }
  }
  // One step of a script:
  //   "R id tag [index count group]"  a submit's response gave id
  //   "F id" / "U id" / "E id"        a final DELIVERED / final UNDELIVERABLE / ENROUTE receipt
  //   "W ms"                          time passes
  void step(const std::string& s) {
    std::istringstream in(s);
    char op;
    std::string id;
    in >> op >> id;
    if (op == 'R') {
      receipt_entry e;
      e.message_id = id;
      in >> e.tag;
      int index = 0, count = 1;
      if (in >> index >> count >> e.group) {
        e.part_index = static_cast<std::uint16_t>(index);
        e.part_count = static_cast<std::uint16_t>(count);
      }
      book.remember("acct", std::move(e), wall);
      std::vector<receipt_matcher::lookup> ls;
      m.on_remembered(id, ls);
      lookups(ls);
    } else if (op == 'W') {
      const auto ms = std::chrono::milliseconds(std::stoll(id));
      // In small steps, as a loop's timer would wake the matcher.
      for (auto left = ms; left.count() > 0;) {
        const auto d = std::min(left, std::chrono::milliseconds(250));
        now += d;
        wall += d;
        left -= d;
        tick();
      }
    } else {
      lookups({m.on_receipt(next++, id, op != 'E', op == 'F', now)});
      tick();
    }
  }
};

struct script_case {
  const char* name;
  std::vector<std::string> steps;
  std::vector<std::string> want;
  receipt_limits limits{};
  matcher_config cfg{};
};

}  // namespace

TEST(ReceiptMatcher, Scripts) {
  receipt_limits two{};
  two.max_entries = 2;
  matcher_config park2{};
  park2.max_parked = 2;
  const script_case cases[] = {
      {"matched", {"R 100 1", "F 100"}, {"1 matched tag1"}},
      {"hex response, decimal receipt", {"R 1A2B 1", "F 6699"}, {"1 matched tag1"}},
      {"leading zeros and case", {"R 00ab 1", "F AB"}, {"1 matched tag1"}},
      {"early receipt waits for its response", {"F 100", "W 200", "R 100 7"}, {"1 early_matched tag7"}},
      {"early receipt with nothing to wait for", {"F 100", "W 31000"}, {"1 unmatched no_entry"}},
      {"duplicate after a final state",
       {"R 100 1", "F 100", "F 100", "U 0x64"},
       {"1 matched tag1", "2 duplicate tag1", "3 duplicate tag1"}},
      {"tombstone forgotten after an hour",
       {"R 100 1", "F 100", "W 3601000", "F 100", "W 31000"},
       {"1 matched tag1", "2 unmatched no_entry"}},
      {"intermediate then final, reported once each",
       {"R 100 1", "E 100", "E 100", "F 100", "F 100"},
       {"1 intermediate tag1", "2 intermediate tag1", "3 matched tag1", "4 duplicate tag1"}},
      {"early intermediate", {"E 100", "R 100 1", "F 100"}, {"1 intermediate tag1", "2 matched tag1"}},
      {"multipart: one part failed",
       {"R a1 5 0 3 g", "R a2 5 1 3 g", "R a3 5 2 3 g", "F a1", "U a2", "F a3"},
       {"1 matched tag5", "2 matched tag5", "3 matched tag5 whole:failed"}},
      {"multipart: a part's duplicate does not count twice",
       {"R b1 6 0 2 h", "R b2 6 1 2 h", "F b1", "F b1", "F b2"},
       {"1 matched tag6", "2 duplicate tag6", "3 matched tag6 whole:delivered"}},
      {"multipart: a part's receipt comes early",
       {"R c1 8 0 2 k", "F c2", "F c1", "R c2 8 1 2 k"},
       {"2 matched tag8", "1 early_matched tag8 whole:delivered"}},
      {"pushed out by count: expired",
       {"R 1 1", "R 2 2", "R 3 3", "F 1", "F 3"},
       {"1 unmatched expired", "2 matched tag3"},
       two},
      {"past max_age: expired", {"R 100 1", "W 259201000", "F 100"}, {"1 unmatched expired"}},
      {"too many waiting: the oldest told at once",
       {"F 1", "F 2", "F 3", "R 3 3", "W 31000"},
       {"1 unmatched no_entry", "3 early_matched tag3", "2 unmatched no_entry"},
       {},
       park2},
  };
  for (const auto& c : cases) {
    sim s(c.limits, c.cfg);
    for (const auto& st : c.steps) s.step(st);
    EXPECT_EQ(s.reports, c.want) << c.name;
    EXPECT_EQ(s.m.open(), 0u) << c.name << ": every receipt is reported";
  }
}

// An id's numbers, read eight digits at a time where it can be, against the
// reference reading of each base: every length up to past 2^64, with leading
// zeros, at the edge of fitting, and with a non-digit in each place.
TEST(ReceiptRules, ReadingsAgreeWithTheReference) {
  using velmor::sms::MessageIdNumber;
  std::vector<std::string> ids;
  for (std::size_t n = 1; n <= 24; ++n) {
    std::string up, nines(n, '9'), zeros(n - 1, '0');
    for (std::size_t i = 0; i < n; ++i) up.push_back(static_cast<char>('1' + i % 9));
    ids.insert(ids.end(), {up, nines, zeros + "7", "0" + up});
    for (std::size_t at = 0; at < n; at += 3) {
      std::string bad = up;
      bad[at] = at % 2 ? 'a' : ':';
      ids.push_back(bad);
    }
  }
  ids.insert(ids.end(), {"18446744073709551615", "18446744073709551616", "0018446744073709551615", "FFFFFFFFFFFFFFFF",
                         "1FFFFFFFFFFFFFFFF", "0000000000000000ffffffffffffffff"});
  for (const std::string& id : ids) {
    const auto r = index_readings(id);
    std::vector<std::pair<char, std::uint64_t>> got, want;
    for (std::size_t k = 0; k < r.count; ++k) got.emplace_back(r.numbers[k].index, r.numbers[k].value);
    if (const auto d = MessageIdNumber(id, 10)) want.emplace_back('d', *d);
    if (const auto h = MessageIdNumber(id, 16)) want.emplace_back('h', *h);
    EXPECT_EQ(got, want) << id;
  }
}
