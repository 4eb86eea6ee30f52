// The command table: its rows agree with each other and with SMPP 3.4, and
// the queries the session and the simulator refuse and answer by read it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "codec/Pdu.h"
#include "common/Hex.h"

namespace velmor::codec {
namespace {

using test::hex;
using test::to_hex;

// Every request with a response names one that exists, carries the response
// bit and is sent, by the other side, in the request's states; the two that
// have none are outbind and alert_notification.
TEST(CommandTable, RequestsAndResponsesPair) {
  int requests = 0;
  for (const Command& c : commands) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(find(c.name), &c);  // names round-trip
    EXPECT_EQ(find(c.id), &c);
    EXPECT_NE(c.from_esme | c.from_smsc, states::none);
    if (is_response(c.id)) {
      EXPECT_EQ(c.response, 0u);
      continue;
    }
    ++requests;
    if (c.response == 0) {
      EXPECT_TRUE(c.id == command_id::outbind || c.id == command_id::alert_notification);
      continue;
    }
    EXPECT_EQ(c.response, c.id | response_bit);
    const Command* r = find(c.response);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r->name), std::string(c.name) + "_resp");
    EXPECT_EQ(r->from_esme, c.from_smsc);
    EXPECT_EQ(r->from_smsc, c.from_esme);
  }
  EXPECT_EQ(requests, 14);
  EXPECT_EQ(std::size(commands), 27u);
  EXPECT_EQ(find("submit_sm_resp")->id, command_id::submit_sm_resp);
  EXPECT_EQ(find("Submit_SM"), nullptr);
  EXPECT_EQ(response_id(0x00000099), 0u);
}

struct StateCase {
  const char* name;
  sender from;
  Cardinal id;
  bind_state state;
  bool allowed;
};
void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class CommandStates : public ::testing::TestWithParam<StateCase> {};

TEST_P(CommandStates, FollowTheBindState) {
  const StateCase& c = GetParam();
  EXPECT_EQ(allowed(c.from, c.id, c.state), c.allowed);
}

using bs = bind_state;
constexpr sender esme = sender::esme, smsc = sender::smsc;
INSTANTIATE_TEST_SUITE_P(
    Rows, CommandStates,
    ::testing::Values(StateCase{"BindWhenOpen", esme, command_id::bind_transceiver, bs::open, true},
                      StateCase{"NoSecondBind", esme, command_id::bind_receiver, bs::bound_trx, false},
                      StateCase{"SubmitOnTransmitter", esme, command_id::submit_sm, bs::bound_tx, true},
                      StateCase{"NoSubmitOnReceiver", esme, command_id::submit_multi, bs::bound_rx, false},
                      StateCase{"NoQueryBeforeBind", esme, command_id::query_sm, bs::open, false},
                      StateCase{"DeliverOnReceiver", smsc, command_id::deliver_sm, bs::bound_rx, true},
                      StateCase{"NoDeliverOnTransmitter", smsc, command_id::deliver_sm, bs::bound_tx, false},
                      StateCase{"EsmeNeverDelivers", esme, command_id::deliver_sm, bs::bound_trx, false},
                      StateCase{"DataSmFromEsmeOnTransmitter", esme, command_id::data_sm, bs::bound_tx, true},
                      StateCase{"DataSmFromSmscNotOnTransmitter", smsc, command_id::data_sm, bs::bound_tx, false},
                      StateCase{"DataSmFromSmscOnReceiver", smsc, command_id::data_sm, bs::bound_rx, true},
                      StateCase{"NoEnquireLinkBeforeBind", esme, command_id::enquire_link, bs::open, false},
                      StateCase{"EnquireLinkFromSmsc", smsc, command_id::enquire_link, bs::bound_rx, true},
                      StateCase{"UnbindFromEitherSide", smsc, command_id::unbind, bs::bound_tx, true},
                      StateCase{"GenericNackBeforeBind", esme, command_id::generic_nack, bs::open, true},
                      StateCase{"OutbindOnlyFromSmsc", esme, command_id::outbind, bs::open, false},
                      StateCase{"AlertOnReceiver", smsc, command_id::alert_notification, bs::bound_rx, true},
                      StateCase{"UnknownNever", esme, 0x00000099, bs::bound_trx, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandTable, BindTypesMapBothWays) {
  for (const BindName& b : bind_names) {
    const Cardinal id = bind_command(b.state);
    EXPECT_EQ(command_id_name(id), "bind_" + std::string(b.name));
    EXPECT_TRUE(is_bind(id));
    EXPECT_FALSE(is_bind(response_id(id)));
    EXPECT_EQ(bound_state_of(id), b.state);
    EXPECT_EQ(bound_state_of(response_id(id)), b.state);
    EXPECT_EQ(bind_state_name(b.state), b.name);
  }
  EXPECT_EQ(bind_command(bs::open), 0u);
  EXPECT_EQ(bound_state_of(command_id::submit_sm), bs::open);
}

// One header writer: two PDUs built one after the other in one buffer.
TEST(HeaderWriter, BuildsPdusBackToBack) {
  std::string out;
  const std::size_t a = open_pdu(out, command_id::enquire_link, 0, 3);
  end_pdu(out, a);
  const std::size_t b = open_pdu(out, command_id::generic_nack, 0x03, 0x7FFFFFFF);
  out += "xyz";
  end_pdu(out, b);
  EXPECT_EQ(to_hex(out), to_hex(hex("00000010 00000015 00000000 00000003"
                                    "00000013 80000000 00000003 7FFFFFFF 78797A")));
}

}  // namespace
}  // namespace velmor::codec
