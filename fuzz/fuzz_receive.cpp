// libFuzzer entry: the inbound path of the component. Arbitrary octets, cut
// into arbitrary reads, go through framing, dispatch and every decoder with
// all 26 events assigned to handlers that read every argument. A handler may
// also, at one chosen event, disconnect, destroy the component, or feed the
// next read from inside itself (as a handler that runs the loop would).
//
// Input layout:
//   [0]      control: low 5 bits = the event (1-based) at which to act, 0 never;
//            bits 5-6 = the action: 0 none, 1 Disconnect, 2 destroy, 3 nested read
//   [1]      k = [1] % 8 read sizes follow
//   [2..k+1] read sizes, used in turn (0 means 4096 octets)
//   rest     the received stream
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzInput.h"
#include "common/EventLog.h"
#include "common/Probe.h"
#include "component/Velmorsmppdemo.h"

namespace {

using namespace velmor;

using FedComponent = velmor::test::Probe;

// The stream and the read sizes it is cut by, shared with the handlers so a
// nested read takes the next piece.
struct Reads {
  std::string_view stream;
  std::vector<std::size_t> sizes;
  std::size_t turn = 0;

  std::string_view next() {
    std::size_t n = sizes.empty() ? stream.size() : sizes[turn++ % sizes.size()];
    const std::string_view piece = stream.substr(0, n);
    stream.remove_prefix(piece.size());
    return piece;
  }
};

}  // namespace

// Results the harness computes only to read every value; kept observable
// so the reads are not optimised away.
volatile std::size_t g_sink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmor::fuzz::FuzzInput in(data, size);
  const std::uint8_t control = in.u8();
  const unsigned act_at = control & 0x1F;
  const unsigned action = (control >> 5) & 0x03;
  Reads reads;
  for (unsigned k = in.u8() % 8; k > 0; --k) {
    const std::uint8_t s = in.u8();
    reads.sizes.push_back(s == 0 ? 4096 : s);
  }
  reads.stream = in.rest();

  TEventLoop loop;
  std::vector<std::string> log;
  std::size_t traced = 0;
  {
    auto* c = new FedComponent(nullptr, loop);
    FedComponent* live = c;
    velmor::test::record_all(*c, log);
    c->TraceReceived = [&traced](std::string_view pdu) {
      for (char ch : pdu) traced += static_cast<unsigned char>(ch);
    };
    unsigned events = 0;
    auto after = [&] {
      if (++events != act_at || live == nullptr) return;
      switch (action) {
        case 1: live->Disconnect(); break;
        case 2:
          delete live;
          live = nullptr;
          break;
        case 3: live->ReceiveOctets(reads.next()); break;
        default: break;
      }
    };
    velmor::test::after_every_event(*c, after);

    while (live != nullptr && !reads.stream.empty()) live->ReceiveOctets(reads.next());
    // Closing an unframeable stream posts its notifications to the loop;
    // deliver them while the component (if still alive) can take them.
    loop.ProcessMessages();
    delete live;
  }
  loop.ProcessMessages();
  g_sink = traced + log.size();
  return 0;
}
