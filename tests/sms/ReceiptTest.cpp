#include <gtest/gtest.h>

#include <random>

#include "sms/Receipt.h"

using namespace velmor::sms;

TEST(Receipt, ParsesVendorVariants) {
  struct Case {
    const char* name;
    std::string text;
    std::string id;
    std::optional<std::uint64_t> id_decimal, id_hex;
    std::optional<MessageState> state;
    std::optional<ReceiptDate> done;
    std::optional<std::string> err, body;
    std::size_t extras;
  };
  const ReceiptDate d10{2023, 1, 2, 12, 5, 0, false};
  const ReceiptDate d12{2023, 1, 2, 12, 5, 59, true};
  const Case cases[] = {
      {"standard",
       "id:0123456789 sub:001 dlvrd:001 submit date:2301021200 done date:2301021205 stat:DELIVRD err:000 "
       "text:Hello world",
       "0123456789", 123456789, 0x123456789, MessageState::Delivered, d10, "000", "Hello world", 0},
      {"upper-case keys",
       "ID:77 SUB:001 DLVRD:000 SUBMIT DATE:2301021200 DONE DATE:2301021205 STAT:UNDELIV ERR:034 TEXT:x", "77", 77,
       0x77, MessageState::Undeliverable, d10, "034", "x", 0},
      {"missing fields", "id:42 stat:ACCEPTD", "42", 42, 0x42, MessageState::Accepted, {}, {}, {}, 0},
      {"hex id",
       "id:3ADE68B1 sub:001 dlvrd:000 submit date:2301021200 done date:2301021205 stat:expired err:0 text:",
       "3ADE68B1",
       {},
       0x3ADE68B1,
       MessageState::Expired,
       d10,
       "0",
       "",
       0},
      {"12-digit dates",
       "id:9 submit date:230102120000 done date:230102120559 stat:REJECTD",
       "9",
       9,
       9,
       MessageState::Rejected,
       d12,
       {},
       {},
       0},
      {"vendor fields and colon in text",
       "id:c449ab9744f47b6af1879e49e75e4f40 sub:001 dlvrd:001 submit_date:2301021200 Done_Date:2301021205 "
       "stat:DELIVRD err:000 mccmnc:26201 price:0.05 EUR text:hi: there  ",
       "c449ab9744f47b6af1879e49e75e4f40",
       {},
       {},
       MessageState::Delivered,
       d10,
       "000",
       "hi: there  ",
       2},
      {"spaced values and unknown stat", "  id: 5\tstat:WEIRD done date:2313011200", "5", 5, 5, {}, {}, {}, {}, 0},
  };
  for (const auto& c : cases) {
    auto r = ParseReceipt(c.text);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(r->id, c.id) << c.name;
    EXPECT_EQ(r->id_decimal, c.id_decimal) << c.name;
    EXPECT_EQ(r->id_hex, c.id_hex) << c.name;
    EXPECT_EQ(r->state, c.state) << c.name;
    EXPECT_EQ(r->done_date, c.done) << c.name;
    EXPECT_EQ(r->err, c.err) << c.name;
    EXPECT_EQ(r->text, c.body) << c.name;
    EXPECT_EQ(r->extra_fields.size(), c.extras) << c.name;
  }
  auto vendor = ParseReceipt(cases[5].text);
  EXPECT_EQ(vendor->extra_fields[1].key, "price");
  EXPECT_EQ(vendor->extra_fields[1].value, "0.05 EUR");
  EXPECT_EQ(vendor->sub, "001");
  EXPECT_TRUE(ParseReceipt(cases[5].text, {}, {.keep_unknown_fields = false})->extra_fields.empty());
  // Month 13 keeps the text but yields no date.
  EXPECT_EQ(ParseReceipt(cases[6].text)->done_date_text, "2313011200");
}

TEST(Receipt, GarbageIsNotAReceipt) {
  const std::string cases[] = {
      "",
      "Hello, how are you? See you at 10:30",
      "id:",
      "id:123",                             // an id alone says nothing about delivery
      "stat:DELIVRD done date:2301021205",  // no id
      "text:id:1 stat:DELIVRD",             // everything after text: is text
      std::string("\0\xff\x1b:id", 6),
  };
  for (const auto& s : cases) EXPECT_FALSE(ParseReceipt(s)) << s;
}

TEST(Receipt, MergesTlvForm) {
  ReceiptTlvs tlvs;
  tlvs.receipted_message_id = std::string_view("AB12\0", 5);
  tlvs.message_state = 5;
  tlvs.network_error_code = std::string_view("\x03\x00\x0b", 3);
  auto r = ParseReceipt("", tlvs);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, "AB12");
  EXPECT_EQ(r->receipted_message_id, "AB12");
  EXPECT_EQ(r->state, MessageState::Undeliverable);
  EXPECT_EQ(r->network_error, (NetworkErrorCode{3, 11}));
  EXPECT_EQ(r->id_hex, 0xAB12u);

  // The TLV state wins over the text; a bad network_error_code length is ignored.
  tlvs.network_error_code = std::string_view("\x03\x00", 2);
  auto both = ParseReceipt("id:44562 stat:DELIVRD", tlvs);
  EXPECT_EQ(both->id, "44562");
  EXPECT_EQ(both->state, MessageState::Undeliverable);
  EXPECT_FALSE(both->network_error);
}

TEST(Receipt, MessageIdsCompareAcrossHexAndDecimal) {
  struct Case {
    const char* receipt;
    const char* resp;
    bool same;
  };
  const Case cases[] = {
      {"987654321", "3ADE68B1", true},
      {"3ade68b1", "987654321", true},
      {"3ADE68B1", "3ade68b1", true},
      {"00042", "42", true},
      {"msg-1", "MSG-1", true},
      {"987654322", "3ADE68B1", false},
      {"abc-1", "abc-2", false},
      {"", "", false},
      {"99999999999999999999999", "1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(SameMessageId(c.receipt, c.resp), c.same) << c.receipt << " " << c.resp;
}

TEST(Receipt, RandomBytesNeverCrash) {
  std::mt19937 rng(1);
  const std::string alphabet = "id:sub dlvrd:submit date done stat:err text \t\r\n0123456789abcdefDELIVRD\xff";
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 96, '\0');
    for (auto& c : s) c = (rng() % 4) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
    (void)ParseReceipt(s, {.receipted_message_id = s,
                           .message_state = static_cast<std::uint8_t>(rng()),
                           .network_error_code = s.substr(0, 3)});
  }
}

// The one receipt test knows every notification kind of esm_class, whatever
// the other bits (UDHI, reply path, messaging mode) say; only an intermediate
// notification is told apart as never final.
TEST(Receipt, EsmClassNotificationKinds) {
  struct Case {
    std::uint8_t esm_class;
    bool receipt, intermediate;
  };
  const Case cases[] = {
      {0x00, false, false}, {0x04, true, false},  {0x08, true, false},  {0x10, true, false},
      {0x20, true, true},   {0x18, false, false}, {0x3C, false, false}, {0x44, true, false},
      {0xA3, true, true},   {0x40, false, false}, {0x0C, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.esm_class));
    EXPECT_EQ(IsReceiptEsmClass(c.esm_class), c.receipt);
    EXPECT_EQ(IsDeliveryReceiptEsmClass(c.esm_class), c.receipt);
    EXPECT_EQ(IsIntermediateNotification(c.esm_class), c.intermediate);
  }
}

// ENROUTE is the only intermediate message_state; a notification is final
// when its state is, or when it names none, unless it is intermediate.
TEST(Receipt, FinalStates) {
  for (std::uint8_t v = 1; v <= 8; ++v) {
    const MessageState s = *ToMessageState(v);
    SCOPED_TRACE(std::string(MessageStateName(s)));
    EXPECT_EQ(IsFinal(s), s != MessageState::Enroute);
    EXPECT_EQ(IsFinalNotification(0x04, s), IsFinal(s));
    EXPECT_FALSE(IsFinalNotification(0x20, s));
  }
  EXPECT_TRUE(IsFinal(MessageState::Accepted));
  EXPECT_TRUE(IsFinal(MessageState::Unknown));
  EXPECT_TRUE(IsFinalNotification(0x04, std::nullopt));
  EXPECT_FALSE(IsFinalNotification(0x20, std::nullopt));
}
