// What a handler does to the framing of the block it was called from: a
// handler that throws leaves the component able to frame the next read, and
// Connect or Disconnect from a handler still dispatch the block's whole PDUs
// and drop only its incomplete tail.
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/EventLog.h"
#include "common/Hex.h"
#include "common/Probe.h"

namespace velmor::test {
namespace {

std::string link_resp(int seq) {
  std::string p = hex("00000010 80000015 00000000 00000000");
  p[15] = static_cast<char>(seq);
  return p;
}

struct Recorder {
  TEventLoop loop;
  Probe c{nullptr, loop};
  std::vector<int> seen;
  std::function<void(int)> on_event;
  Recorder() {
    c.OnEnquire_LINK_RESP = [this](TObject*, Cardinal, Cardinal seq) {
      seen.push_back(static_cast<int>(seq));
      if (on_event) on_event(static_cast<int>(seq));
    };
  }
};

// The exception leaves through the call that fed the octets; the PDUs after
// the one whose handler threw stay buffered and come with the next read, and
// a read after Connect or Disconnect is framed from its own first octet.
TEST(Handler, ThrowingHandlerLeavesTheComponentFraming) {
  enum class Then { NextRead, AfterDisconnect, AfterConnect };
  for (Then then : {Then::NextRead, Then::AfterDisconnect, Then::AfterConnect}) {
    Recorder r;
    r.on_event = [](int seq) {
      if (seq == 1) throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(r.c.ReceiveOctets(link_resp(1) + link_resp(2) + link_resp(3).substr(0, 5)), std::runtime_error);
    EXPECT_EQ(r.seen, std::vector<int>{1});
    if (then == Then::AfterDisconnect) r.c.Disconnect();
    if (then == Then::AfterConnect) r.c.Connect("", 0);  // refused at once: no connection is made
    r.c.ReceiveOctets(then == Then::NextRead ? link_resp(3).substr(5) + link_resp(4) : link_resp(4));
    const std::vector<int> expected = then == Then::NextRead ? std::vector<int>{1, 2, 3, 4} : std::vector<int>{1, 4};
    EXPECT_EQ(r.seen, expected) << static_cast<int>(then);
  }
}

// Connect or Disconnect from a handler: the other whole PDUs of the block
// are still dispatched, in order; the incomplete tail is dropped, so the next
// read is framed from its own first octet.
TEST(Handler, EndingTheStreamInsideAHandlerKeepsTheBlocksWholePdus) {
  for (bool reconnect : {false, true}) {
    Recorder r;
    r.on_event = [&](int seq) {
      if (seq != 1) return;
      if (reconnect)
        r.c.Connect("", 0);
      else
        r.c.Disconnect();
    };
    r.c.ReceiveOctets(link_resp(1) + link_resp(2) + link_resp(3) + link_resp(9).substr(0, 10));
    EXPECT_EQ(r.seen, (std::vector<int>{1, 2, 3})) << reconnect;
    r.c.ReceiveOctets(link_resp(4));
    EXPECT_EQ(r.seen, (std::vector<int>{1, 2, 3, 4})) << reconnect;
  }
}

// Octets fed from inside a handler (a nested read) come after the rest of the
// block being framed, whether that rest holds whole PDUs or only a tail, and
// whether the block was framed from the buffer or from its own octets.
TEST(Handler, OctetsFedInsideAHandlerFollowTheRestOfTheBlock) {
  for (int feeder : {1, 2}) {
    for (bool buffered_before : {false, true}) {
      Recorder r;
      r.on_event = [&](int seq) {
        if (seq == feeder) r.c.ReceiveOctets(link_resp(3).substr(7) + link_resp(4));
      };
      const std::string block = link_resp(1) + link_resp(2) + link_resp(3).substr(0, 7);
      if (buffered_before) {
        r.c.ReceiveOctets(block.substr(0, 3));
        r.c.ReceiveOctets(block.substr(3));
      } else {
        r.c.ReceiveOctets(block);
      }
      EXPECT_EQ(r.seen, (std::vector<int>{1, 2, 3, 4})) << feeder << buffered_before;
    }
  }
}

}  // namespace
}  // namespace velmor::test
