// The typed bodies of pdu/: each writes its golden octets at exactly the size
// it announces, reads them back into the same fields, and reads every
// truncation of them leniently without going past the end.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "common/Hex.h"
#include "pdu/Body.h"

namespace velmor::pdu {
namespace {

using test::hex;
using test::to_hex;

using Dests = std::vector<Destination>;
using Failed = std::vector<Unsuccess>;

// Writes a body and checks that size() announced exactly what was written.
template <class Body>
std::string written(const Body& b) {
  std::string out = "xy";  // appending keeps what is there
  append(out, b);
  EXPECT_EQ(out.size(), 2 + size(b));
  return out.substr(2);
}

// Reads the octets into a fresh body (lists into containers of their own)
// and writes that body again.
template <class Body>
std::string reread(std::string_view octets) {
  Body b;
  Dests dests;
  Failed failed;
  if constexpr (requires { b.dests; }) b.dests.list = &dests;
  if constexpr (requires { b.unsuccess; }) b.unsuccess.list = &failed;
  read(octets, b);
  return written(b);
}

struct BodyCase {
  const char* name;
  std::function<std::string()> write;
  std::function<std::string(std::string_view)> reread;
  const char* golden;
};

TOPSubmit_SM submit_tlvs() {
  TOPSubmit_SM t;
  t.user_message_reference = {true, 7};
  return t;
}
TOPData_SM_RESP data_resp_tlvs() {
  TOPData_SM_RESP t;
  t.delivery_failure_reason = {true, 1};
  return t;
}

const Dests kDests = {{Destination::sme, {1, 1, "46700"}, {}}, {Destination::distribution_list, {}, "friends"}};
const Failed kFailed = {{{1, 2, "467"}, 0x45}, {{0, 0, ""}, 0x0B}};

const BodyCase kCases[] = {
    {"Bind",
     [] {
       return written(Bind{"esme", "pw", "", 0x34, {1, 1, "467*"}});
     },
     reread<Bind>, "65736D6500 707700 00 34 01 01 3436372A00"},
    {"BindResp",
     [] {
       TOPBind_RESP t;
       t.sc_interface_version = {true, 0x34};
       return written(BindResp{"SMSC", {&t, {}}});
     },
     reread<BindResp>, "534D534300 0210 0001 34"},
    {"Outbind",
     [] {
       return written(Outbind{"esme", "pw"});
     },
     reread<Outbind>, "65736D6500 707700"},
    {"MessageIdResp", [] { return written(MessageIdResp{"abc"}); }, reread<MessageIdResp>, "61626300"},
    {"SubmitSm",
     [] {
       const TOPSubmit_SM t = submit_tlvs();
       return written(SubmitSm{
           "CMT", {1, 1, "123"}, {1, 1, "456"}, {0x40, 0, 1, "", "000001000000000R", 1, 0, 8, 0, {0, "Hi"}}, {&t, {}}});
     },
     reread<SubmitSm>,
     "434D5400 0101 31323300 0101 34353600 40 00 01 00 303030303031303030303030303030 52 00 01 00 08 00 02 4869"
     "0204 0002 0007"},
    {"DeliverSmWithRawTlvs",
     [] {
       return written(DeliverSm{
           {}, {1, 1, "1"}, {1, 1, "2"}, {4, 0, 0, "", "", 0, 0, 0, 0, {0, ""}}, {nullptr, hex("0427 0001 02")}});
     },
     reread<DeliverSm>, "00 0101 3100 0101 3200 04 00 00 00 00 00 00 00 00 00 0427 0001 02"},
    {"SubmitMulti",
     [] {
       return written(
           SubmitMultiT<const Dests>{"", {1, 1, "9"}, {&kDests}, {0, 0, 0, "", "", 0, 0, 0, 0, {0, "z"}}, {}});
     },
     reread<SubmitMultiT<Dests>>,
     "00 0101 3900 02 01 0101 343637303000 02 667269656E647300 00 00 00 00 00 00 00 00 00 01 7A"},
    {"SubmitMultiResp",
     [] {
       return written(SubmitMultiRespT<const Failed>{"A", {&kFailed}});
     },
     reread<SubmitMultiRespT<Failed>>, "4100 02 01 02 34363700 00000045 00 00 00 0000000B"},
    {"DataSm",
     [] {
       TOPData_SM t;
       t.message_payload = {true, "hi"};
       return written(DataSm{"", {1, 1, "1"}, {1, 1, "2"}, 0, 1, 0, {&t, hex("0019 0001 00")}});
     },
     reread<DataSm>, "00 0101 3100 0101 3200 00 01 00 0424 0002 6869 0019 0001 00"},
    {"DataSmResp",
     [] {
       const TOPData_SM_RESP t = data_resp_tlvs();
       return written(DataSmResp{"A", {&t, {}}});
     },
     reread<DataSmResp>, "4100 0425 0001 01"},
    {"QuerySm",
     [] {
       return written(QuerySm{"42", {1, 1, "123"}});
     },
     reread<QuerySm>, "343200 01 01 31323300"},
    {"QuerySmResp",
     [] {
       return written(QuerySmResp{"42", "", 2, 0});
     },
     reread<QuerySmResp>, "343200 00 02 00"},
    {"CancelSm",
     [] {
       return written(CancelSm{"", "42", {1, 1, "1"}, {1, 1, "2"}});
     },
     reread<CancelSm>, "00 343200 0101 3100 0101 3200"},
    {"ReplaceSm",
     [] {
       return written(ReplaceSm{"42", {1, 1, "1"}, "", "", 1, 0, {0, "new"}});
     },
     reread<ReplaceSm>, "343200 0101 3100 00 00 01 00 03 6E6577"},
    {"AlertNotification",
     [] {
       return written(AlertNotification{{1, 1, "1"}, {2, 2, "2"}});
     },
     reread<AlertNotification>, "0101 3100 0202 3200"},
};

class BodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyTest, WritesItsGoldenOctetsAndReadsThemBack) {
  const std::string golden = hex(GetParam().golden);
  EXPECT_EQ(to_hex(GetParam().write()), to_hex(golden));
  EXPECT_EQ(to_hex(GetParam().reread(golden)), to_hex(golden));
}

// Every truncation reads without going past the end (the sanitizer build
// would see it) and yields a body that writes at the size it announces.
TEST_P(BodyTest, EveryTruncationReadsLeniently) {
  const std::string golden = hex(GetParam().golden);
  for (std::size_t cut = 0; cut < golden.size(); ++cut) {
    const std::string part = golden.substr(0, cut);  // its own allocation: an overread is caught
    GetParam().reread(part);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, BodyTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Lenient reading in detail: missing octets read as 0 or empty, sm_length is
// reported as received while short_message holds only the octets there are.
TEST(BodyRead, MissingFieldsReadAsZeroOrEmpty) {
  const std::string deliver = hex("00 0101 3100 0101 3200 04 00 00 00 00 00 00 00 00 05 4869");
  DeliverSm d;
  read(deliver, d);
  EXPECT_EQ(d.message.esm_class, 4);
  EXPECT_EQ(d.message.short_message.sm_length, 5);
  EXPECT_EQ(d.message.short_message.text, "Hi");
  EXPECT_TRUE(d.optional.octets.empty());

  const std::string query = hex("343200");
  QuerySmResp q;
  read(query, q);
  EXPECT_EQ(q.message_id, "42");
  EXPECT_EQ(q.final_date, "");
  EXPECT_EQ(q.message_state, 0);

  // No NUL: the C-Octet String is empty and nothing is consumed.
  const std::string no_nul = hex("41 42 43");
  DataSmResp r;
  read(no_nul, r);
  EXPECT_EQ(r.message_id, "");
  EXPECT_EQ(to_hex(r.optional.octets), "41 42 43");
}

// A list entry with an unknown dest_flag ends the list; no_unsuccess makes
// exactly that many entries whatever the octets hold.
TEST(BodyRead, ListsFollowTheirCounts) {
  Dests dests;
  SubmitMultiT<Dests> m;
  m.dests.list = &dests;
  const std::string multi = hex("00 0101 3900 03 01 0101 3100 07 01 0101 3200");
  read(multi, m);
  EXPECT_EQ(m.dests.number_of_dests, 3);
  ASSERT_EQ(dests.size(), 2u);
  EXPECT_EQ(dests[1].dest_flag, 7);

  Failed failed;
  SubmitMultiRespT<Failed> r;
  r.unsuccess.list = &failed;
  const std::string resp = hex("4100 03 01 01 3100");
  read(resp, r);
  EXPECT_EQ(r.unsuccess.no_unsuccess, 3);
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0].address.addr, "1");
  EXPECT_EQ(failed[2].error_status_code, 0u);
}

#ifndef NDEBUG
// In a debug build a write past the room a Writer was given stops the
// program instead of corrupting the PDU buffer.
TEST(WriterDeathTest, WriteBeyondItsRoomIsCaught) {
  char buf[8];
  EXPECT_DEATH(
      {
        codec::Writer w(buf, 3);
        w.u32(1);
      },
      "");
}
#endif

}  // namespace
}  // namespace velmor::pdu

namespace velmor::pdu {
namespace {

// Each command has its body, found by its id; a constant id of another
// command does not compile as a body's id_for (consteval), so these hold at
// every call of build().
static_assert(std::is_same_v<body_for<command_id::submit_sm>, SubmitSm>);
static_assert(std::is_same_v<body_for<command_id::deliver_sm>, DeliverSm>);
static_assert(std::is_same_v<body_for<command_id::bind_receiver_resp>, BindResp>);
static_assert(std::is_same_v<body_for<command_id::cancel_sm_resp>, Empty>);
static_assert(std::is_same_v<body_for<0x00000099>, void>);
static_assert(!carries<SubmitSm>(command_id::deliver_sm) && !carries<MessageIdResp>(command_id::data_sm_resp));

TEST(BodyBuild, HeaderAndBodyInOnePdu) {
  EXPECT_EQ(to_hex(build(command_id::enquire_link_resp, 0, 7)), to_hex(hex("00000010 80000015 00000000 00000007")));
  EXPECT_EQ(to_hex(build(command_id::submit_sm_resp, 0, 2, MessageIdResp{"ab"})),
            to_hex(hex("00000013 80000004 00000000 00000002 616200")));
  // A refusal is a header alone, whatever the command.
  EXPECT_EQ(to_hex(build(id_for<Empty>::checked(command_id::submit_sm_resp, 0x45), 0x45, 3)),
            to_hex(hex("00000010 80000004 00000045 00000003")));
}

}  // namespace
}  // namespace velmor::pdu
