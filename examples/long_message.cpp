// A 400-character text with emoji goes out as concatenated submit_sm parts
// and comes back whole: the simulator hands every part it received to a
// receiving session as deliver_sm, in reverse order, and the receiver
// reassembles them.
#include <cstdio>
#include <string>
#include <vector>

#include "package/VelmorSMPPDemo_LIB.h"
#include "sms/Reassembly.h"
#include "sms/Segment.h"
#include "tools/smsc/Server.h"

using namespace velmor;

int main() {
  TEventLoop loop;
  smsc::Server simulator(smsc::Config{}, loop);
  if (!simulator.start("127.0.0.1", 0)) return 1;

  // 400 characters: 18 times 22, then four rockets.
  std::string text;
  for (int i = 0; i < 18; ++i) text += "Grüße from Velmor 🚀📨 ";
  text += "🚀🚀🚀🚀";
  std::vector<std::string> sent_parts;  // what the SMSC received, in order
  simulator.smsc().on_submit = [&](const smsc::Session&, const smsc::MessageView& m) {
    sent_parts.emplace_back(m.short_message);
  };

  // Encode and segment: UCS-2 (emoji), 8-bit UDH reference, 67 units a part.
  sms::SegmentOptions opts;
  opts.method = sms::SegmentMethod::Udh8;
  opts.reference = 0x2A;
  auto parts = sms::SegmentText(text, opts);
  if (!parts) return 1;
  std::printf("text of %zu octets (UTF-8) in %zu parts, data_coding 0x%02X\n", text.size(), parts->size(),
              parts->front().data_coding);

  TVelmorSMPPDemo sender(nullptr, loop), receiver(nullptr, loop);
  sms::Reassembler reassembler;
  std::string received;
  int acks = 0;

  sender.OnConnect = [&](TObject*) { sender.Bind(Transmitter, "alice", "", "", 1, 1, ""); };
  sender.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) {
    for (const auto& p : *parts)
      sender.Submit_SM("", 1, 1, "46700000000", 1, 1, "46700000001", p.esm_class, 0, 0, "", "", 0, 0, p.data_coding, 0,
                       p.short_message, TOPSubmit_SM{});
  };
  sender.OnSubmit_SM_RESP_OK = [&](TObject*, Cardinal, AnsiString) {
    if (++acks != static_cast<int>(parts->size())) return;
    // Every part is at the SMSC: hand them to the receiver, last part first.
    for (auto it = sent_parts.rbegin(); it != sent_parts.rend(); ++it) {
      smsc::Originated mo;
      mo.source = "46700000000";
      mo.destination = "46700000001";
      mo.esm_class = sms::kEsmClassUdhi;
      mo.data_coding = parts->front().data_coding;
      mo.text = *it;
      simulator.smsc().deliver_sm("bob", mo, std::chrono::steady_clock::now());
    }
    simulator.flush();
  };

  receiver.OnConnect = [&](TObject*) { receiver.Bind(Receiver, "bob", "", "", 1, 1, ""); };
  receiver.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) {
    sender.Connect("127.0.0.1", simulator.port());
  };
  receiver.OnDeliver_SM = [&](TObject*, Cardinal seq, AnsiString, Byte, Byte, AnsiString source, Byte, Byte,
                              AnsiString destination, Byte esm_class, Byte, Byte, AnsiString, AnsiString, Byte, Byte,
                              Byte data_coding, Byte, Byte, AnsiString short_message, TOPDeliver_SM) {
    receiver.Deliver_SM_RESP(0, seq, "");
    sms::InboundPart part{source, destination, esm_class, data_coding, short_message, {}, {}};
    auto r = reassembler.Feed(part, std::chrono::steady_clock::now());
    if (r.status == sms::FeedStatus::Complete) {
      if (auto decoded = sms::DecodeMessage(*r.message)) received = *decoded;
    }
  };
  receiver.Connect("127.0.0.1", simulator.port());

  loop.RunUntil([&] { return !received.empty(); }, std::chrono::seconds(10));
  const bool same = received == text;
  std::printf("received %zu octets (UTF-8) after reassembly: %s\n", received.size(),
              same ? "identical to the text sent" : "DIFFERENT");
  return same ? 0 : 1;
}
