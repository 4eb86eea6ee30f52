// libFuzzer entry: the SMSC simulator's handling of what a client sends.
// Arbitrary octets, cut into arbitrary reads, go to one Session of a fresh
// Smsc; after every read its output is taken and time moves on, so
// responses, receipts and the fault modes run too.
//
// Input layout:
//   [0]      options: bit 0 split writes at random, bit 1 throttle every 2nd,
//            bit 2 require a password, bit 3 delay responses, bit 4 cut a PDU
//   [1]      k = [1] % 8 read sizes follow
//   [2..k+1] read sizes, used in turn (0 means 4096 octets)
//   rest     the received stream
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzInput.h"
#include "tools/smsc/Smsc.h"

// Results the harness computes only to read every value; kept observable
// so the reads are not optimised away.
volatile std::size_t g_sink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmor::smsc;
  using namespace std::chrono_literals;
  velmor::fuzz::FuzzInput in(data, size);
  const std::uint8_t options = in.u8();
  std::vector<std::size_t> sizes;
  for (unsigned k = in.u8() % 8; k > 0; --k) {
    const std::uint8_t s = in.u8();
    sizes.push_back(s == 0 ? 4096 : s);
  }
  std::string_view stream = in.rest();

  Config config;
  config.split_random = options & 0x01;
  config.throttle_every = (options & 0x02) ? 2 : 0;
  if (options & 0x04) config.credentials.emplace("esme", "secret");
  if (options & 0x08) config.response_delay = 5ms;
  if (options & 0x10) config.cut_pdu_index = 3;
  config.delivery_delay = 1ms;
  config.store_limit = 64;
  config.pdu_log_limit = 16;

  Smsc smsc(config);
  auto now = TimePoint{} + 1h;
  smsc.set_wall_clock(now, std::chrono::system_clock::time_point{} + std::chrono::hours(24 * 365 * 30));
  Session& session = smsc.open_session("fuzz");
  Flush out;
  std::size_t written = 0;
  std::size_t turn = 0;
  while (!stream.empty()) {
    const std::size_t n = sizes.empty() ? stream.size() : sizes[turn++ % sizes.size()];
    const std::string_view piece = stream.substr(0, n);
    stream.remove_prefix(piece.size());
    session.feed(piece, now);
    now += 2ms;
    smsc.tick(now);
    smsc.drain_dirty([&](Session& s) {
      if (s.take(now, out))
        for (std::string_view w : out.pieces()) written += w.size();
    });
  }
  // Let every delayed response and receipt fall due.
  now += 1s;
  smsc.tick(now);
  smsc.drain_dirty([&](Session& s) {
    if (s.take(now, out)) written += out.octets.size();
  });
  g_sink = written + session.received().size();
  return 0;
}
