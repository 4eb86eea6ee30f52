#include "session/receipts/Desk.h"

#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asio/steady_timer.hpp>

namespace velmor::session::receipts {

struct receipt_desk::impl : std::enable_shared_from_this<impl> {
  impl(asio::any_io_executor e, std::shared_ptr<receipt_store> s, std::string a, matcher_config c)
      : ex(std::move(e)), store(std::move(s)), account(std::move(a)), matcher(c), timer(ex) {
    std::random_device rd;
    attempts = std::to_string((std::uint64_t{rd()} << 32) ^ rd()) + ".";
  }

  asio::any_io_executor ex;
  std::shared_ptr<receipt_store> store;
  std::string account;
  receipt_matcher matcher;
  asio::steady_timer timer;
  std::optional<receipt_matcher::clock::time_point> armed;
  std::unordered_map<receipt_matcher::ticket, report_handler> waiting;
  receipt_matcher::ticket next = 1;
  // Names each receipt's takes, the same on every retry: random per desk,
  // then the ticket.
  std::string attempts;
  std::vector<receipt_matcher::lookup> lookups;
  std::vector<receipt_matcher::report> reports;

  void ask(receipt_matcher::lookup l) {
    std::weak_ptr<impl> self = weak_from_this();
    const auto t = l.t;
    store->take(
        account, l.id, l.final_state, l.delivered, ex,
        [self, t](receipt_take r) {
          if (auto s = self.lock()) s->answered(t, std::move(r));
        },
        attempts + std::to_string(t));
  }
  void tell(receipt_matcher::report& r) {
    auto it = waiting.find(r.t);
    if (it == waiting.end()) return;
    auto done = std::move(it->second);
    waiting.erase(it);
    done(r);
  }
  void answered(receipt_matcher::ticket t, receipt_take&& r) {
    if (auto rep = matcher.on_take(t, std::move(r), receipt_matcher::clock::now())) tell(*rep);
    rearm();
  }
  void wake() {
    armed.reset();
    lookups.clear();
    reports.clear();
    matcher.tick(receipt_matcher::clock::now(), lookups, reports);
    auto ls = std::move(lookups);
    auto rs = std::move(reports);
    for (auto& r : rs) tell(r);
    for (auto& l : ls) ask(std::move(l));
    rearm();
  }
  void rearm() {
    const auto at = matcher.next_wake();
    if (!at || (armed && *armed <= *at)) return;
    armed = *at;
    timer.expires_at(*at);
    std::weak_ptr<impl> self = weak_from_this();
    timer.async_wait([self](std::error_code ec) {
      if (auto s = self.lock(); s && !ec) s->wake();
    });
  }
};

receipt_desk::receipt_desk(asio::any_io_executor ex, std::shared_ptr<receipt_store> store, std::string account,
                           matcher_config cfg)
    : impl_(std::make_shared<impl>(std::move(ex), std::move(store), std::move(account), cfg)) {}

receipt_desk::~receipt_desk() { impl_->timer.cancel(); }

void receipt_desk::remember(receipt_entry e) {
  std::vector<receipt_matcher::lookup> wake;
  impl_->matcher.on_remembered(e.message_id, wake);
  impl_->store->remember(impl_->account, std::move(e));
  for (auto& l : wake) impl_->ask(std::move(l));  // after the remember: a store keeps their order
}

void receipt_desk::receipt(std::string id, bool final_state, bool delivered, report_handler done) {
  const auto t = impl_->next++;
  impl_->waiting.emplace(t, std::move(done));
  impl_->ask(impl_->matcher.on_receipt(t, std::move(id), final_state, delivered, receipt_matcher::clock::now()));
}

std::size_t receipt_desk::open() const { return impl_->matcher.open(); }
std::size_t receipt_desk::parked() const { return impl_->matcher.parked(); }
const std::string& receipt_desk::account() const { return impl_->account; }
receipt_store& receipt_desk::store() const { return *impl_->store; }
bool receipt_desk::congested() const { return impl_->store->congested(); }

}  // namespace velmor::session::receipts
