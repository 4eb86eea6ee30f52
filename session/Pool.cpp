#include "session/Pool.h"

#include <algorithm>
#include <future>
#include <limits>
#include <stdexcept>

#include <asio/post.hpp>

#include "session/receipts/Memory.h"

namespace velmor::session {

pool::pool(pool_config cfg, TEventLoop& loop) { build(std::move(cfg), {&loop}); }

pool::pool(pool_config cfg, const std::vector<TEventLoop*>& loops) { build(std::move(cfg), loops); }

void pool::build(pool_config cfg, const std::vector<TEventLoop*>& loops) {
  if (cfg.binds.empty())
    throw std::invalid_argument("session::pool: no binds configured; give pool_config::binds one config per bind");
  if (loops.empty()) throw std::invalid_argument("session::pool: no loops given; pass at least one TEventLoop");
  if (cfg.submit_rate > 0) rate_ = std::make_unique<detail::shared_rate>(cfg.submit_rate, cfg.submit_burst);
  for (std::size_t k = 0; k < std::min(loops.size(), cfg.binds.size()); ++k)
    loops_.push_back(loops[k]->Context().get_executor());
  // One shared budget for every bind that brings none.
  for (auto& b : cfg.binds)
    if (!b.rate_limiter) b.rate_limiter = cfg.rate_limiter;
  // One receipt store for every bind that brings none, so that a receipt on
  // any bind matches a submit made on any other.
  std::shared_ptr<receipt_store> shared = cfg.receipt_store;
  for (auto& b : cfg.binds)
    if (!b.receipt_store) {
      if (!shared)
        shared = std::make_shared<receipts::memory_receipt_store>(
            receipt_limits{b.receipts.max_entries, b.receipts.max_age, receipt_limits{}.tombstone_ttl});
      b.receipt_store = shared;
    }
  for (std::size_t i = 0; i < cfg.binds.size(); ++i) {
    auto m = std::make_unique<member>();
    m->window = static_cast<std::int64_t>(std::max<std::size_t>(1, cfg.binds[i].window));
    m->loop = i % loops.size();
    m->s = std::make_unique<session>(std::move(cfg.binds[i]), *loops[i % loops.size()]);
    m->link.rate = rate_.get();
    m->link.others_bound = [this, i] { return others_bound(i); };
    m->link.hand_off = [this, i](std::vector<detail::parked>&& r) { hand_off(i, std::move(r)); };
    m->s->join_pool(&m->link);
    m->s->set_state_handler([this, i](state st, std::error_code ec) { on_state(i, st, ec); });
    members_.push_back(std::move(m));
  }
}

pool::~pool() {
  // Every bind refuses requests before any is destroyed: a completion run
  // from here may make a request through the pool, which then finds a
  // session that fails it with shutting_down rather than one already gone.
  for (auto& m : members_) m->s->retire();
  for (auto& m : members_) m->s.reset();
}

void pool::set_message_handler(message_handler h) {
  for (auto& m : members_) m->s->set_message_handler(h);
}

void pool::set_receipt_handler(receipt_handler h) {
  for (auto& m : members_) m->s->set_receipt_handler(h);
}

void pool::set_state_handler(pool_state_handler h) { on_state_ = std::move(h); }

// Bound binds first; among them the most free window slots; among ties one
// on the caller's own loop, then in turn, as the scan starts one further
// each time.
std::size_t pool::pick(std::size_t except) {
  const std::size_t n = members_.size();
  const std::size_t start = turn_.fetch_add(1, std::memory_order_relaxed);
  std::size_t here = loops_.size();
  if (loops_.size() > 1)
    for (std::size_t k = 0; k < loops_.size(); ++k)
      if (loops_[k].running_in_this_thread()) here = k;
  std::size_t best = n;
  bool best_up = false, best_here = false;
  std::int64_t best_free = std::numeric_limits<std::int64_t>::min();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (start + k) % n;
    if (i == except) continue;
    const member& m = *members_[i];
    const bool up = m.up.load(std::memory_order_relaxed);
    const bool at_home = m.loop == here;
    const std::int64_t free = m.window - m.link.load.load(std::memory_order_relaxed);
    if (best == n || (up && !best_up) ||
        (up == best_up && (free > best_free || (free == best_free && at_home && !best_here)))) {
      best = i;
      best_up = up;
      best_here = at_home;
      best_free = free;
    }
  }
  members_[best]->link.load.fetch_add(1, std::memory_order_relaxed);
  return best;
}

session& pool::choose() { return *members_[pick(members_.size())]->s; }

bool pool::others_bound(std::size_t i) const {
  for (std::size_t k = 0; k < members_.size(); ++k)
    if (k != i && members_[k]->up.load(std::memory_order_relaxed)) return true;
  return false;
}

void pool::hand_off(std::size_t from, std::vector<detail::parked>&& requests) {
  for (auto& p : requests) members_[pick(from)]->s->adopt(std::move(p));
}

void pool::on_state(std::size_t i, state st, std::error_code ec) {
  const bool up = st == state::bound_tx || st == state::bound_trx;  // binds that can submit
  const bool was = members_[i]->up.exchange(up, std::memory_order_relaxed);
  if (up && !was) {
    // Requests stuck in the queues of binds that are down may go now.
    for (std::size_t k = 0; k < members_.size(); ++k)
      if (k != i && !members_[k]->up.load(std::memory_order_relaxed)) members_[k]->s->release_queue_if_down();
  }
  if (on_state_) on_state_(i, st, ec);
}

std::string pool::metrics_prometheus(std::string_view prefix) {
  std::vector<MetricsSnapshot> all(members_.size());
  std::vector<std::future<void>> waits;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    session& s = *members_[i]->s;
    if (loops_[members_[i]->loop].running_in_this_thread() || loops_.size() == 1) {
      all[i] = s.metrics();
      continue;
    }
    auto done = std::make_shared<std::promise<void>>();
    waits.push_back(done->get_future());
    asio::post(loops_[members_[i]->loop], [&s, &out = all[i], done] {
      out = s.metrics();
      done->set_value();
    });
  }
  for (auto& w : waits) w.wait();
  return to_prometheus(all, prefix);
}

}  // namespace velmor::session
