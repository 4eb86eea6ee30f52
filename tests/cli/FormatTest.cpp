// What the CLI prints for statuses, socket errors, traces and received
// messages: the exact wording scripts and people rely on.
#include <gtest/gtest.h>

#include "common/Hex.h"
#include "sms/Receipt.h"
#include "tools/cli/Format.h"
#include "tools/cli/Progress.h"

#include <sstream>

namespace velmor::cli {
namespace {

TEST(Format, StatusTextNamesTheProtocolValue) {
  const std::pair<Cardinal, const char*> cases[] = {
      {0x58, "0x00000058 ESME_RTHROTTLED (Throttling error)"},
      {0x0D, "0x0000000D ESME_RBINDFAIL (Bind failed)"},
      {0x00, "0x00000000 ESME_ROK (No error)"},
      {0x40, "0x00000040 ESME_RINVDESTFLAG (Destination flag is invalid)"},
  };
  for (const auto& [status, text] : cases) EXPECT_EQ(StatusText(status), text);
  EXPECT_NE(StatusText(0x400).find("0x00000400"), std::string::npos);
}

TEST(Format, SocketErrorsCarryCodeAndSystemText) {
  EXPECT_EQ(SocketErrorText(111), "error 111 (Connection refused)");
  EXPECT_EQ(SocketErrorText(110), "error 110 (Connection timed out)");
  EXPECT_EQ(SocketErrorText(-2), "error -2 (Name or service not known)");
}

TEST(Format, TraceLineDecodesTheHeader) {
  const std::string pdu = test::hex("00 00 00 10 80 00 00 15 00 00 00 58 00 00 00 07");
  EXPECT_EQ(TraceLine('<', pdu),
            "< enquire_link_resp (0x80000015) len=16 seq=7 status=0x00000058 ESME_RTHROTTLED | "
            "00 00 00 10 80 00 00 15 00 00 00 58 00 00 00 07");
  EXPECT_EQ(TraceLine('>', test::hex("00 00 00 10 00 00 12 34 00 00 00 00 00 00 00 01")).substr(0, 30),
            "> unknown (0x00001234) len=16 ");
  EXPECT_EQ(TraceLine('>', test::hex("00 01")), "> short PDU | 00 01");
}

TEST(Format, HexRoundTrip) {
  EXPECT_EQ(HexOctets(test::hex("00 7F 80 FF")), "00 7F 80 FF");
  EXPECT_EQ(OctetsFromHex("007f80FF"), test::hex("00 7F 80 FF"));
}

TEST(Format, JsonStringEscapes) {
  EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
  EXPECT_EQ(JsonString("H\xC3\xA9"), "\"H\xC3\xA9\"");  // UTF-8 passes through
  EXPECT_EQ(JsonString("a\xFF"), "\"a\xEF\xBF\xBD\"");  // never invalid JSON
}

TEST(Format, MessageLinePlainAndJson) {
  MessageLine m;
  m.source = "4670";
  m.destination = "1234";
  m.data_coding = 8;
  m.parts = 3;
  m.text = "hi \"there\"";
  EXPECT_EQ(FormatMessage(m, false),
            "message=deliver_sm from=4670 to=1234 data_coding=8 parts=3 text=\"hi \\\"there\\\"\"");
  EXPECT_EQ(FormatMessage(m, true),
            "{\"type\":\"message\",\"via\":\"deliver_sm\",\"from\":\"4670\",\"to\":\"1234\",\"data_coding\":8,"
            "\"parts\":3,\"text\":\"hi \\\"there\\\"\"}");
  m.text = "00 FF";
  m.text_is_hex = true;
  EXPECT_NE(FormatMessage(m, false).find("hex=\"00 FF\""), std::string::npos);
  EXPECT_NE(FormatMessage(m, true).find("\"text_hex\":\"00 FF\""), std::string::npos);
}

// JSON lines stay valid whatever octets the SMSC sent: a field that is not
// UTF-8 (overlong, surrogate, truncated) goes as hex under <key>_hex.
TEST(Format, OctetsThatAreNotUtf8GoAsHex) {
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "ab\xE2\x82", "\xFF"}) {
    MessageLine m;
    m.text = bad;
    const std::string line = FormatMessage(m, true);
    EXPECT_NE(line.find("\"text_hex\":\"" + HexOctets(bad) + "\""), std::string::npos) << line;
    EXPECT_EQ(line.find("\"text\":"), std::string::npos) << line;
  }
  sms::Receipt r;
  r.id = "1";
  r.text = std::string("\xFF\xFE");
  EXPECT_NE(FormatReceipt(r, "", "", true).find("\"text_hex\":\"FF FE\""), std::string::npos);
}

TEST(Format, ReceiptLineCarriesParsedFields) {
  const auto r = sms::ParseReceipt(
      "id:17 sub:001 dlvrd:001 submit date:2401021530 done date:2401021531 stat:DELIVRD err:000 text:Hello");
  ASSERT_TRUE(r);
  EXPECT_EQ(FormatReceipt(*r, "4670", "1234", false),
            "receipt id=17 state=DELIVERED stat=DELIVRD err=000 sub=001 dlvrd=001 submit_date=\"2024-01-02 15:30\" "
            "done_date=\"2024-01-02 15:31\" from=4670 to=1234 text=\"Hello\"");
  const std::string json = FormatReceipt(*r, "", "", true);
  EXPECT_EQ(
      json.rfind("{\"type\":\"receipt\",\"message_id\":\"17\",\"state\":\"DELIVERED\",\"message_state\":2,\"stat\":"
                 "\"DELIVRD\",",
                 0),
      0u)
      << json;
  EXPECT_EQ(json.find("from"), std::string::npos);
  EXPECT_EQ(json.back(), '}');
}

}  // namespace
}  // namespace velmor::cli

namespace velmor::cli {
namespace {

// The bulk progress display: redrawn in place on a terminal, plain lines
// otherwise, nothing at all when disabled, and always a last line.
TEST(Format, ProgressOnATerminalAndInALog) {
  using std::chrono::seconds;
  std::ostringstream tty, log, off;
  Progress bar(tty, true, true), plain(log, false, true), none(off, true, false);
  for (Progress* p : {&bar, &plain, &none}) {
    p->Update(500, 1000, 3, seconds(10), false);
    p->Update(1000, 1000, 3, seconds(20), true);
    p->Update(1000, 1000, 3, seconds(30), true);  // after the last: nothing
  }
  EXPECT_EQ(tty.str(),
            "\r\033[K[###############               ] 500/1000  50 msg/s  3 errors  ETA 10s"
            "\r\033[K[##############################] 1000/1000  50 msg/s  3 errors  ETA 0s\n");
  EXPECT_EQ(log.str(),
            "progress: 500/1000  50 msg/s  3 errors  ETA 10s\n"
            "progress: 1000/1000  50 msg/s  3 errors  ETA 0s\n");
  EXPECT_EQ(off.str(), "");
}

}  // namespace
}  // namespace velmor::cli
