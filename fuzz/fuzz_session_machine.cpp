// libFuzzer entry: the session's protocol machine under a random interleaving
// of inputs: connects, link ups and losses, socket errors, valid, mutated and
// out-of-state PDUs, requests of every kind, time steps, refused writes,
// answers to inbound messages, shutdowns and retirement (what destruction
// does). After every step it checks what the machine promises:
//   - every request completes exactly once (and all have, once retired);
//   - never more than `window` requests in flight;
//   - no request is written in a state that forbids it, nothing after close;
//   - the counters balance: every request counted is held or completed.
//
// Input: [0] window-1 (mod 8), [1] options (bit 0 wait_for_room, bit 1
// transmitter, bit 2 receiver, bit 3 no reconnect), then one step per octet
// with the operands it reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "codec/Pdu.h"
#include "session/detail/Machine.h"

namespace {

using namespace velmor;
using namespace velmor::session;
namespace sd = velmor::session::detail;
using sd::act;
using sd::action;

void check(bool ok) {
  if (!ok) std::abort();
}

Cardinal be32(std::string_view s, std::size_t at) {
  return (Cardinal(std::uint8_t(s[at])) << 24) | (Cardinal(std::uint8_t(s[at + 1])) << 16) |
         (Cardinal(std::uint8_t(s[at + 2])) << 8) | Cardinal(std::uint8_t(s[at + 3]));
}

std::string header(Cardinal id, Cardinal status, Cardinal seq, std::string_view body) {
  std::string out;
  codec::put_u32(out, static_cast<Cardinal>(16 + body.size()));
  codec::put_u32(out, id);
  codec::put_u32(out, status);
  codec::put_u32(out, seq);
  out.append(body);
  return out;
}

constexpr Cardinal kIds[] = {command_id::generic_nack,
                             command_id::bind_transceiver_resp,
                             command_id::bind_transmitter_resp,
                             command_id::bind_receiver_resp,
                             command_id::submit_sm_resp,
                             command_id::submit_multi_resp,
                             command_id::data_sm_resp,
                             command_id::query_sm_resp,
                             command_id::cancel_sm_resp,
                             command_id::replace_sm_resp,
                             command_id::enquire_link_resp,
                             command_id::unbind_resp,
                             command_id::deliver_sm,
                             command_id::data_sm,
                             command_id::enquire_link,
                             command_id::unbind,
                             command_id::submit_sm,
                             command_id::outbind,
                             command_id::alert_notification,
                             0x00001234,
                             0x80001234};
constexpr Cardinal kStatuses[] = {0, 0x58, 0x14, 0x0E, 0x0D, 0x45, 0x03};

bool is_request(Cardinal id) {
  switch (id) {
    case command_id::submit_sm:
    case command_id::submit_multi:
    case command_id::data_sm:
    case command_id::query_sm:
    case command_id::cancel_sm:
    case command_id::replace_sm: return true;
    default: return false;
  }
}

struct harness {
  sd::machine& m;
  std::size_t window;
  std::set<std::uint32_t> open;  // keys given and not completed
  std::uint64_t completions = 0;
  std::uint32_t next_key = 1;
  state st = state::closed;
  bool closed = true;          // no connection, or a close asked for
  std::vector<Cardinal> sent;  // sequence numbers written, recent first
  std::vector<Cardinal> sent_ids;
  std::vector<std::uint32_t> tickets;

  void take(sd::time_point t) {
    for (std::size_t i = 0; i < m.actions().size(); ++i) {
      action& a = m.actions()[i];
      switch (a.kind) {
        case act::write: {
          const std::string_view o = m.octets(a);
          check(o.size() >= 16 && be32(o, 0) == o.size());
          check(!closed);
          const Cardinal id = be32(o, 4);
          if (is_request(id)) check(st == state::bound_tx || st == state::bound_trx);
          sent.insert(sent.begin(), be32(o, 12));
          sent_ids.insert(sent_ids.begin(), id);
          if (sent.size() > 16) sent.pop_back(), sent_ids.pop_back();
          break;
        }
        case act::connect: closed = false; break;
        case act::close: closed = true; break;
        case act::complete:
          check(open.erase(a.key) == 1);
          ++completions;
          break;
        case act::state:
          st = a.st;
          if (st == state::closed) closed = true;
          break;
        case act::message:
        case act::receipt: tickets.push_back(a.inbound); break;
        case act::release: m.released(t); break;  // appends; a is not used after
        default: break;
      }
    }
    m.clear_actions();
    check(m.in_flight() <= window);
    const session_counters& c = m.counters();
    check(c.ok + c.rejected + c.timeouts + c.disconnected + c.local_errors == completions);
    check(c.requests == completions + m.held() + c.handed_off);
    check(m.held() == open.size());
  }
  std::uint32_t key() {
    open.insert(next_key);
    return next_key++;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace std::chrono_literals;
  velmor::fuzz::FuzzInput in(data, size);
  config cfg;
  cfg.window = 1 + in.u8() % 8;
  const std::uint8_t options = in.u8();
  cfg.queue_limit = 4;
  cfg.when_queue_full = (options & 1) ? queue_policy::wait_for_room : queue_policy::fail_at_once;
  cfg.bind_type = (options & 2) ? Transmitter : (options & 4) ? Receiver : Transceiver;
  cfg.reconnect = (options & 8) == 0;
  cfg.request_timeout = 500ms;
  cfg.random_seed = 1;
  sd::machine m(cfg, 1);
  harness h{m, cfg.window};
  sd::time_point t{std::chrono::seconds(1)};
  std::uint32_t waiter = 1u << 30;
  for (int steps = 0; !in.empty() && steps < 2000; ++steps) {
    switch (in.u8() % 14) {
      case 0: m.connect(waiter++, t); break;
      case 1: m.link_up(t); break;
      case 2: m.link_down(t); break;
      case 3: m.socket_error(t); break;
      case 4: {  // a response to something sent, with a status
        if (h.sent.empty()) break;
        const std::size_t i = in.u8() % h.sent.size();
        const Cardinal status = kStatuses[in.u8() % std::size(kStatuses)];
        const Cardinal id = in.flag() ? command_id::generic_nack : (h.sent_ids[i] | 0x80000000);
        m.received(header(id, status, h.sent[i], in.flag() ? std::string_view("abc\0", 4) : ""), t);
        break;
      }
      case 5: {  // any PDU the SMSC might send, body as the input says
        const Cardinal id = kIds[in.u8() % std::size(kIds)];
        const Cardinal seq = h.sent.empty() || in.flag() ? in.u32() : h.sent[in.u8() % h.sent.size()];
        m.received(header(id, kStatuses[in.u8() % std::size(kStatuses)], seq, in.octets(in.u8())), t);
        break;
      }
      case 6:
        t += std::chrono::milliseconds(in.u16() % 4096);
        m.tick(t);
        break;
      case 7:
        switch (in.u8() % 7) {
          case 0: {
            submit_sm_request r;
            r.short_message = in.text();
            r.registered_delivery = in.u8();
            r.timeout = std::chrono::milliseconds(in.u8() * 8);
            m.request(r, h.key(), t);
            break;
          }
          case 1: {
            submit_multi_request r;
            r.dest_address.resize(in.u8() % 3);
            m.request(r, h.key(), t);
            break;
          }
          case 2: m.request(data_sm_request{.registered_delivery = in.u8()}, h.key(), t); break;
          case 3: m.request(query_sm_request{.message_id = in.text()}, h.key(), t); break;
          case 4: m.request(cancel_sm_request{}, h.key(), t); break;
          case 5: m.request(replace_sm_request{.short_message = std::string(in.u8() + 100u, 'x')}, h.key(), t); break;
          default: m.request(enquire_link_request{}, h.key(), t); break;
        }
        break;
      case 8: m.shutdown(waiter++, t); break;
      case 9:
        if (!h.tickets.empty()) m.answer(h.tickets[in.u8() % h.tickets.size()], in.u8(), in.text(), t);
        break;
      case 10:
        if (!h.sent.empty()) m.write_refused(h.sent.front(), h.sent_ids.front(), t);
        break;
      case 11: {  // a whole moved request, as a pool hands one over
        sd::moved_request r;
        r.key = h.key();
        r.command_id = command_id::submit_sm;
        r.pdu = header(command_id::submit_sm, 0, 0, std::string(30, '\0'));
        r.deadline = t + 100ms;
        m.adopt(std::move(r), t);
        break;
      }
      case 12:
        for (auto& r : m.take_queue()) h.open.erase(r.key);
        break;
      default:
        if (in.u8() % 8 == 0) m.retire();  // destruction: everything completes now
        break;
    }
    h.take(t);
  }
  m.retire();
  h.take(t);
  check(h.open.empty());
  return 0;
}
