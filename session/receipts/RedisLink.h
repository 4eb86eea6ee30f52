// One connection to Redis, on a worker thread of its own, shared by the Redis
// receipt store and the Redis rate limiter.
//
// Callers queue commands from any thread and return at once. The worker
// sends everything queued in one pipeline, reads the replies and calls each
// command's callback on the worker thread (callbacks post onward; they must
// not block). While Redis cannot be reached the worker reconnects every
// reconnect_every; a command marked `keep` (a write that must not be lost)
// waits for it, at most max_backlog of them (past that the oldest is given up
// and counted), and every other command is answered at once with no reply.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct redisContext;
struct redisReply;

namespace velmor::session::receipts {

struct redis_address {
  std::string host = "127.0.0.1";
  int port = 6379;
  int db = 0;
};
// "redis://HOST:PORT[/DB]"; throws std::invalid_argument naming the fault.
redis_address parse_redis_url(std::string_view url);

class redis_link {
 public:
  // reply is null when Redis could not be reached or the connection broke
  // before the reply came.
  using callback = std::function<void(redisReply* reply)>;
  struct options {
    std::chrono::milliseconds connect_timeout{500}, io_timeout{2'000}, reconnect_every{200};
    std::size_t max_backlog = 100'000;
  };

  // scripts: Lua loaded on every (re)connection; run_script names them by
  // their index here.
  redis_link(redis_address where, options opt, std::vector<std::string> scripts, std::function<void()> round_end = {});
  ~redis_link();  // stops the worker; commands still queued get no reply
  redis_link(const redis_link&) = delete;
  redis_link& operator=(const redis_link&) = delete;

  void run_script(std::size_t script, std::vector<std::string> keys, std::vector<std::string> args, bool keep,
                  callback done);

  // One item for a script that handles many in one call, so a round trip
  // costs Redis one script run instead of one per item. Items queued one
  // behind another for the same script and group (their keys' hash tag: one
  // cluster slot) go out as one EVALSHA, in queue order. The script gets
  // KEYS: every item's keys, one item after another; ARGV: per item its key
  // count, its argument count, then its arguments; it answers an array of
  // one reply per item, and done gets its item's. An error reply (the whole
  // call refused) goes to each of its items.
  class item {
   public:
    // One key or argument, the pieces end to end; keys come first.
    item& key(std::initializer_list<std::string_view> pieces) {
      part(pieces);
      ++keys_;
      return *this;
    }
    item& arg(std::initializer_list<std::string_view> pieces) {
      part(pieces);
      return *this;
    }

   private:
    friend class redis_link;
    void part(std::initializer_list<std::string_view> pieces);
    std::string data_;  // per part: its length (4 octets, native order), its octets
    std::uint32_t keys_ = 0, parts_ = 0;
  };
  void run_batched(std::size_t script, std::string_view group, item it, bool keep, callback done);

  // True on the worker while it runs the callbacks of one round trip's
  // replies; round_end (given to the constructor) runs after them, so a
  // caller can gather what they hand on and pass it on in one piece.
  static bool in_round();

  std::uint64_t dropped() const;  // keep-commands given up
  std::size_t backlog() const;
  bool connected() const;
  // Commands queued or being sent: past half of max_backlog the caller
  // should hold back.
  std::size_t queued() const { return queued_.load(std::memory_order_relaxed); }
  bool congested() const { return queued_.load(std::memory_order_relaxed) > opt_.max_backlog / 2; }

 private:
  struct command {
    item parts;  // keys, then arguments
    std::size_t script = 0;
    std::size_t group = 0;  // run_batched: the group's hash
    bool keep = false, batched = false;
    callback done;
  };
  void enqueue(command c);
  void run();
  bool connect();
  void disconnect();

  redis_address where_;
  options opt_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<command> queue_;
  std::vector<std::string> scripts_, shas_;
  std::function<void()> round_end_;
  bool stop_ = false, connected_ = false;
  std::atomic<std::size_t> queued_{0};
  std::uint64_t dropped_ = 0;
  redisContext* ctx_ = nullptr;  // worker thread only
  std::thread worker_;
};

}  // namespace velmor::session::receipts
