#include "session/receipts/RedisLink.h"

#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace velmor::session::receipts {

namespace {
constexpr std::size_t kBatch = 512;
// Items of one batched script call at most: one call's work stays well
// inside a millisecond of Redis's single thread.
constexpr std::size_t kBatchItems = 256;
}  // namespace

redis_address parse_redis_url(std::string_view url) {
  constexpr std::string_view scheme = "redis://";
  if (url.substr(0, scheme.size()) != scheme)
    throw std::invalid_argument("receipt store: \"" + std::string(url) + "\" is not redis://HOST:PORT[/DB]");
  std::string_view rest = url.substr(scheme.size());
  redis_address a;
  const auto slash = rest.find('/');
  const std::string_view hostport = rest.substr(0, slash);
  const auto colon = hostport.rfind(':');
  const auto number = [&](std::string_view s, int& out, const char* what) {
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || out < 0)
      throw std::invalid_argument("receipt store: bad " + std::string(what) + " in \"" + std::string(url) + "\"");
  };
  a.host = std::string(hostport.substr(0, colon));
  if (a.host.empty()) a.host = "127.0.0.1";
  if (colon != std::string_view::npos) number(hostport.substr(colon + 1), a.port, "port");
  if (slash != std::string_view::npos && slash + 1 < rest.size()) number(rest.substr(slash + 1), a.db, "database");
  return a;
}

redis_link::redis_link(redis_address where, options opt, std::vector<std::string> scripts,
                       std::function<void()> round_end)
    : where_(std::move(where)), opt_(opt), scripts_(std::move(scripts)), round_end_(std::move(round_end)) {
  worker_ = std::thread([this] { run(); });
}

redis_link::~redis_link() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
  disconnect();
}

void redis_link::item::part(std::initializer_list<std::string_view> pieces) {
  std::uint32_t n = 0;
  for (std::string_view p : pieces) n += static_cast<std::uint32_t>(p.size());
  data_.append(reinterpret_cast<const char*>(&n), sizeof n);
  for (std::string_view p : pieces) data_.append(p);
  ++parts_;
}

namespace {
thread_local bool delivering = false;
}  // namespace

bool redis_link::in_round() { return delivering; }

void redis_link::run_script(std::size_t script, std::vector<std::string> keys, std::vector<std::string> args, bool keep,
                            callback done) {
  command c;
  for (const auto& k : keys) c.parts.key({k});
  for (const auto& a : args) c.parts.arg({a});
  c.script = script;
  c.keep = keep;
  c.done = std::move(done);
  enqueue(std::move(c));
}

void redis_link::run_batched(std::size_t script, std::string_view group, item it, bool keep, callback done) {
  command c;
  c.parts = std::move(it);
  c.script = script;
  c.batched = true;
  // Two groups of one hash would share a call: harmless outside a cluster,
  // and in one a refused call (CROSSSLOT) its items see as an error reply.
  c.group = std::hash<std::string_view>{}(group);
  c.keep = keep;
  c.done = std::move(done);
  enqueue(std::move(c));
}

void redis_link::enqueue(command c) {
  const bool keep = c.keep;
  {
    std::lock_guard lock(mutex_);
    if (!connected_ && !keep) {
      // Not waited for: the caller decides what an unreachable store means.
    } else {
      if (keep && queue_.size() >= opt_.max_backlog) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
          if (it->keep) {
            ++dropped_;
            queue_.erase(it);
            break;
          }
      }
      queue_.push_back(std::move(c));
      queued_.fetch_add(1, std::memory_order_relaxed);
      wake_.notify_one();
      return;
    }
  }
  c.done(nullptr);
}

std::uint64_t redis_link::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}
std::size_t redis_link::backlog() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}
bool redis_link::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

void redis_link::disconnect() {
  if (ctx_) redisFree(ctx_);
  ctx_ = nullptr;
}

static bool transient(const redisReply* r) {
  if (r->type != REDIS_REPLY_ERROR) return false;
  const std::string_view e(r->str, r->len);
  return e.starts_with("LOADING") || e.starts_with("NOSCRIPT") || e.starts_with("BUSY") || e.starts_with("MASTERDOWN");
}

static timeval to_timeval(std::chrono::milliseconds ms) {
  return timeval{static_cast<time_t>(ms.count() / 1000), static_cast<suseconds_t>(ms.count() % 1000 * 1000)};
}

bool redis_link::connect() {
  disconnect();
  ctx_ = redisConnectWithTimeout(where_.host.c_str(), where_.port, to_timeval(opt_.connect_timeout));
  if (!ctx_ || ctx_->err) return false;
  redisSetTimeout(ctx_, to_timeval(opt_.io_timeout));
  // A pipeline is written in pieces: without this each piece after the first
  // waits for the previous one's ACK (tens of milliseconds, delayed ACK).
  const int one = 1;
  ::setsockopt(ctx_->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const auto ok = [&](redisReply* r, int type) {
    const bool good = r && r->type == type;
    if (r) freeReplyObject(r);
    return good;
  };
  if (where_.db != 0 && !ok(static_cast<redisReply*>(redisCommand(ctx_, "SELECT %d", where_.db)), REDIS_REPLY_STATUS))
    return false;
  std::vector<std::string> shas;
  for (const std::string& s : scripts_) {
    auto* r = static_cast<redisReply*>(redisCommand(ctx_, "SCRIPT LOAD %b", s.data(), s.size()));
    if (!r || r->type != REDIS_REPLY_STRING) {
      if (r) freeReplyObject(r);
      return false;
    }
    shas.emplace_back(r->str, r->len);
    freeReplyObject(r);
  }
  shas_ = std::move(shas);
  return true;
}

void redis_link::run() {
  std::vector<command> batch;
  std::vector<const char*> argv;
  std::vector<std::size_t> lens;
  std::vector<std::size_t> calls;
  std::vector<std::string> counts;
  auto next_try = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (connected_)
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      else
        wake_.wait_until(lock, next_try, [&] { return stop_; });
      if (stop_) return;
    }
    if (!ctx_) {
      const bool up = connect();
      if (!up) disconnect();
      std::vector<command> refused;
      {
        std::lock_guard lock(mutex_);
        connected_ = up;
        if (!up) {
          // Reads are not held while Redis is away; writes wait.
          for (auto it = queue_.begin(); it != queue_.end();)
            if (!it->keep) {
              refused.push_back(std::move(*it));
              it = queue_.erase(it);
            } else {
              ++it;
            }
        }
      }
      for (auto& c : refused) c.done(nullptr);
      if (!up) {
        next_try = std::chrono::steady_clock::now() + opt_.reconnect_every;
        continue;
      }
    }
    {
      std::lock_guard lock(mutex_);
      // At most kBatch commands per round trip: a few hundred kilobytes each
      // way, so neither side's buffers balloon and replies flow while the
      // next batch is being queued.
      const std::size_t n = std::min(queue_.size(), kBatch);
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.begin() + n));
      queue_.erase(queue_.begin(), queue_.begin() + n);
    }
    // One call per unbatched command, one per run of batched ones of the
    // same script and group: calls[k] is the first command of call k.
    calls.clear();
    for (std::size_t at = 0; at < batch.size();) {
      calls.push_back(at);
      argv.clear();
      lens.clear();
      const auto add = [&](const char* p, std::size_t n) {
        argv.push_back(p);
        lens.push_back(n);
      };
      // Each part of c from first (in order), at most count of them.
      const auto add_parts = [&](const command& c, std::uint32_t first, std::uint32_t count) {
        const char* p = c.parts.data_.data();
        for (std::uint32_t i = 0; i < first + count && i < c.parts.parts_; ++i) {
          std::uint32_t n;
          std::memcpy(&n, p, sizeof n);
          if (i >= first) add(p + sizeof n, n);
          p += sizeof n + n;
        }
      };
      static const std::string evalsha = "EVALSHA";
      const command& c = batch[at];
      counts.clear();
      if (!c.batched) {
        counts.push_back(std::to_string(c.parts.keys_));
        add(evalsha.data(), evalsha.size());
        add(shas_.at(c.script).data(), shas_.at(c.script).size());
        add(counts[0].data(), counts[0].size());
        add_parts(c, 0, c.parts.parts_);
        ++at;
      } else {
        std::size_t end = at + 1, keys = c.parts.keys_;
        while (end < batch.size() && end - at < kBatchItems && batch[end].batched && batch[end].script == c.script &&
               batch[end].group == c.group)
          keys += batch[end++].parts.keys_;
        // Counts first, so that the pointers into them stay put.
        counts.push_back(std::to_string(keys));
        for (std::size_t k = at; k < end; ++k) {
          counts.push_back(std::to_string(batch[k].parts.keys_));
          counts.push_back(std::to_string(batch[k].parts.parts_ - batch[k].parts.keys_));
        }
        add(evalsha.data(), evalsha.size());
        add(shas_.at(c.script).data(), shas_.at(c.script).size());
        add(counts[0].data(), counts[0].size());
        for (std::size_t k = at; k < end; ++k) add_parts(batch[k], 0, batch[k].parts.keys_);
        for (std::size_t k = at; k < end; ++k) {
          add(counts[1 + 2 * (k - at)].data(), counts[1 + 2 * (k - at)].size());
          add(counts[2 + 2 * (k - at)].data(), counts[2 + 2 * (k - at)].size());
          add_parts(batch[k], batch[k].parts.keys_, batch[k].parts.parts_ - batch[k].parts.keys_);
        }
        at = end;
      }
      redisAppendCommandArgv(ctx_, static_cast<int>(argv.size()), argv.data(), lens.data());
    }
    calls.push_back(batch.size());
    // i: the first command not answered.
    std::size_t i = 0;
    delivering = true;
    for (std::size_t k = 0; k + 1 < calls.size(); ++k) {
      void* raw = nullptr;
      if (redisGetReply(ctx_, &raw) != REDIS_OK) break;
      auto* r = static_cast<redisReply*>(raw);
      if (transient(r)) {
        // Redis is starting (LOADING) or lost our scripts (NOSCRIPT, after a
        // restart behind the same connection): as if it were unreachable,
        // and the scripts are loaded again on reconnecting.
        freeReplyObject(r);
        for (std::size_t rest = k + 1; rest + 1 < calls.size(); ++rest)
          if (redisGetReply(ctx_, &raw) == REDIS_OK) freeReplyObject(raw);
        break;
      }
      const std::size_t first = calls[k], n = calls[k + 1] - first;
      if (!batch[first].batched) {
        batch[first].done(r);
      } else if (r->type == REDIS_REPLY_ARRAY && r->elements == n) {
        for (std::size_t j = 0; j < n; ++j) batch[first + j].done(r->element[j]);
      } else {
        for (std::size_t j = 0; j < n; ++j) batch[first + j].done(r);
      }
      freeReplyObject(r);
      i = calls[k + 1];
    }
    delivering = false;
    if (round_end_) round_end_();
    if (i < batch.size()) {
      // The connection broke: writes go back to the front, in order (each is
      // idempotent), reads are answered with no reply.
      disconnect();
      std::vector<command> unanswered;
      {
        std::lock_guard lock(mutex_);
        connected_ = false;
        for (std::size_t k = batch.size(); k-- > i;) {
          if (batch[k].keep)
            queue_.push_front(std::move(batch[k]));
          else
            unanswered.push_back(std::move(batch[k]));
        }
      }
      for (auto& c : unanswered) c.done(nullptr);
      next_try = std::chrono::steady_clock::now() + opt_.reconnect_every / 4;
    }
    {
      std::lock_guard lock(mutex_);
      queued_.store(queue_.size(), std::memory_order_relaxed);
    }
    batch.clear();
  }
}

}  // namespace velmor::session::receipts
