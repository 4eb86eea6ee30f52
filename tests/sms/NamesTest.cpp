#include <gtest/gtest.h>

#include "sms/Names.h"

using namespace velmor::sms;

TEST(Names, EveryCommandStatusHasItsProtocolValue) {
  const std::pair<std::uint32_t, const char*> statuses[] = {
      {0x00, "ESME_ROK"},
      {0x01, "ESME_RINVMSGLEN"},
      {0x02, "ESME_RINVCMDLEN"},
      {0x03, "ESME_RINVCMDID"},
      {0x04, "ESME_RINVBNDSTS"},
      {0x05, "ESME_RALYBND"},
      {0x06, "ESME_RINVPRTFLG"},
      {0x07, "ESME_RINVREGDLVFLG"},
      {0x08, "ESME_RSYSERR"},
      {0x0A, "ESME_RINVSRCADR"},
      {0x0B, "ESME_RINVDSTADR"},
      {0x0C, "ESME_RINVMSGID"},
      {0x0D, "ESME_RBINDFAIL"},
      {0x0E, "ESME_RINVPASWD"},
      {0x0F, "ESME_RINVSYSID"},
      {0x11, "ESME_RCANCELFAIL"},
      {0x13, "ESME_RREPLACEFAIL"},
      {0x14, "ESME_RMSGQFUL"},
      {0x15, "ESME_RINVSERTYP"},
      {0x33, "ESME_RINVNUMDESTS"},
      {0x34, "ESME_RINVDLNAME"},
      {0x40, "ESME_RINVDESTFLAG"},
      {0x42, "ESME_RINVSUBREP"},
      {0x43, "ESME_RINVESMCLASS"},
      {0x44, "ESME_RCNTSUBDL"},
      {0x45, "ESME_RSUBMITFAIL"},
      {0x48, "ESME_RINVSRCTON"},
      {0x49, "ESME_RINVSRCNPI"},
      {0x50, "ESME_RINVDSTTON"},
      {0x51, "ESME_RINVDSTNPI"},
      {0x53, "ESME_RINVSYSTYP"},
      {0x54, "ESME_RINVREPFLAG"},
      {0x55, "ESME_RINVNUMMSGS"},
      {0x58, "ESME_RTHROTTLED"},
      {0x61, "ESME_RINVSCHED"},
      {0x62, "ESME_RINVEXPIRY"},
      {0x63, "ESME_RINVDFTMSGID"},
      {0x64, "ESME_RX_T_APPN"},
      {0x65, "ESME_RX_P_APPN"},
      {0x66, "ESME_RX_R_APPN"},
      {0x67, "ESME_RQUERYFAIL"},
      {0xC0, "ESME_RINVOPTPARSTREAM"},
      {0xC1, "ESME_ROPTPARNOTALLWD"},
      {0xC2, "ESME_RINVPARLEN"},
      {0xC3, "ESME_RMISSINGOPTPARAM"},
      {0xC4, "ESME_RINVOPTPARAMVAL"},
      {0xFE, "ESME_RDELIVERYFAILURE"},
      {0xFF, "ESME_RUNKNOWNERR"},
  };
  for (auto [value, name] : statuses) {
    EXPECT_EQ(CommandStatusName(value), name);
    EXPECT_EQ(CommandStatusFromName(name), value);
    EXPECT_TRUE(CommandStatusDescription(value));
  }
  for (std::uint32_t reserved : {0x09u, 0x10u, 0x12u, 0x16u, 0x41u, 0x68u, 0xFDu, 0x400u})
    EXPECT_FALSE(CommandStatusName(reserved)) << reserved;
  EXPECT_EQ(FormatCommandStatus(0x45), "0x00000045 ESME_RSUBMITFAIL");
  EXPECT_EQ(FormatCommandStatus(0x400), "0x00000400 (reserved/vendor)");
}

TEST(Names, CommandIdsAndResponses) {
  const std::pair<std::uint32_t, const char*> ids[] = {
      {0x80000000, "generic_nack"},       {0x00000004, "submit_sm"},    {0x80000004, "submit_sm_resp"},
      {0x00000009, "bind_transceiver"},   {0x0000000B, "outbind"},      {0x80000015, "enquire_link_resp"},
      {0x00000102, "alert_notification"}, {0x80000103, "data_sm_resp"}, {0x80000021, "submit_multi_resp"},
  };
  for (auto [value, name] : ids) {
    EXPECT_EQ(CommandIdName(value), name);
    EXPECT_EQ(CommandIdFromName(name), value);
  }
  EXPECT_FALSE(CommandIdName(0x8000000B));  // outbind has no response
  EXPECT_EQ(FormatCommandId(0x80000005), "0x80000005 deliver_sm_resp");
  EXPECT_EQ(FormatCommandId(0x00000A00), "0x00000A00 (reserved/vendor)");
}

TEST(Names, MessageStatesAndReceiptStatMapBothWays) {
  const std::tuple<std::uint8_t, const char*, const char*> states[] = {
      {1, "ENROUTE", "ENROUTE"}, {2, "DELIVERED", "DELIVRD"},     {3, "EXPIRED", "EXPIRED"},
      {4, "DELETED", "DELETED"}, {5, "UNDELIVERABLE", "UNDELIV"}, {6, "ACCEPTED", "ACCEPTD"},
      {7, "UNKNOWN", "UNKNOWN"}, {8, "REJECTED", "REJECTD"},
  };
  for (auto [value, name, stat] : states) {
    auto s = ToMessageState(value);
    ASSERT_TRUE(s);
    EXPECT_EQ(MessageStateName(*s), name);
    EXPECT_EQ(ReceiptStat(*s), stat);
    EXPECT_EQ(MessageStateFromStat(stat), s);
    EXPECT_EQ(MessageStateFromStat(name), s);
  }
  EXPECT_EQ(MessageStateFromStat("delivrd"), MessageState::Delivered);
  EXPECT_FALSE(ToMessageState(0));
  EXPECT_FALSE(ToMessageState(9));
  EXPECT_FALSE(MessageStateFromStat("DELIV"));
}
