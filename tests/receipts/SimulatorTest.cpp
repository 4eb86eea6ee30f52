// The simulator's receipt modes, without a network: what comes out, in what
// order, on which bind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smsc/Harness.h"

using namespace velmor;
using namespace velmor::smsc;
using namespace velmor::smsc::test;

namespace {

// Each PDU of a write as "command_id-name [esm_class] [id]": the id is the
// receipt's receipted_message_id, or a submit_sm_resp's message_id.
std::vector<std::string> pdus(std::string_view out) {
  std::vector<std::string> r;
  while (out.size() >= 16) {
    codec::Cursor c(out);
    const codec::Header h = codec::read_header(c);
    const std::string_view one = out.substr(0, h.command_length);
    if (h.command_id == command_id::deliver_sm) {
      const DecodedDeliver d = decode_deliver(one);
      std::string id = d.tlvs.receipted_message_id.Value;
      while (!id.empty() && id.back() == '\0') id.pop_back();
      r.push_back("deliver_sm " + std::to_string(d.esm_class) + " " + id + " " + d.text.substr(0, d.text.find(' ')));
    } else if (h.command_id == command_id::submit_sm_resp) {
      r.push_back("submit_sm_resp " + std::string(one.substr(16, one.size() - 17)));
    } else if (h.command_id != command_id::bind_transceiver_resp) {  // held back with response_delay too
      r.push_back(std::to_string(h.command_id));
    }
    out.remove_prefix(h.command_length);
  }
  return r;
}

using list = std::vector<std::string>;

}  // namespace

TEST(SimulatorReceipts, ReceiptBeforeResponse) {
  Config c = test_config();
  c.receipt_before_response = true;
  Harness h(c);
  h.bound();
  EXPECT_EQ(pdus(h.feed(submit(2, "456", "hi", 1))), (list{"deliver_sm 4 1 id:1", "submit_sm_resp 1"}));
  h.tick(5s);
  EXPECT_EQ(pdus(h.take(5s)), list{}) << "one receipt only";
}

TEST(SimulatorReceipts, EveryReceiptTwice) {
  Config c = test_config();
  c.duplicate_receipts = true;
  Harness h(c);
  h.bound();
  h.feed(submit(2, "456", "hi", 1));
  h.tick(2s);
  EXPECT_EQ(pdus(h.take(2s)), (list{"deliver_sm 4 1 id:1", "deliver_sm 4 1 id:1"}));
}

TEST(SimulatorReceipts, HexResponseDecimalReceipt) {
  Config c = test_config();
  c.id_style = MessageIdStyle::Hex;
  c.first_message_id = 6699;
  c.receipt_ids_decimal = true;
  Harness h(c);
  h.bound();
  EXPECT_EQ(pdus(h.feed(submit(2, "456", "hi", 1))), list{"submit_sm_resp 1A2B"});
  h.tick(2s);
  EXPECT_EQ(pdus(h.take(2s)), list{"deliver_sm 4 6699 id:6699"});
}

// An intermediate notification never comes before the response naming its
// message, even when the response is held back.
TEST(SimulatorReceipts, IntermediateOnlyAfterTheResponse) {
  for (const auto delay : {0ms, 300ms}) {
    Config c = test_config();
    c.response_delay = delay;
    Harness h(c);
    h.bound();
    const list first = pdus(h.feed(submit(2, "456", "hi", 0x11)));
    const list later = pdus(h.take(delay));
    list all = first;
    all.insert(all.end(), later.begin(), later.end());
    EXPECT_EQ(all, (list{"submit_sm_resp 1", "deliver_sm 32 1 id:1"})) << delay.count();
  }
}

// Receipts go to any receiving bind of the system_id in turn, or, as an
// option, back to the bind that submitted.
TEST(SimulatorReceipts, RoutedToAnyBindOrTheSubmitter) {
  for (const auto route : {Config::ReceiptRoute::any_bind, Config::ReceiptRoute::submitter}) {
    Config c = test_config();
    c.receipt_route = route;
    Harness h(c);
    h.bound();
    Session& other = h.smsc.open_session("other");
    other.feed(bind_trx(1), h.t0);
    Flush f;
    other.take(h.t0, f);
    for (Cardinal i = 0; i < 4; ++i) h.feed(submit(2 + i, "456", "hi", 1));
    h.tick(2s);
    const auto here = pdus(h.take(2s)).size();
    other.take(h.t0 + 2s, f);
    const auto there = pdus(f.octets).size();
    if (route == Config::ReceiptRoute::any_bind) {
      EXPECT_EQ(here, 2u);
      EXPECT_EQ(there, 2u);
    } else {
      EXPECT_EQ(here, 4u);
      EXPECT_EQ(there, 0u);
    }
  }
}
