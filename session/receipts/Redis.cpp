#include "session/receipts/Redis.h"

#include <hiredis/hiredis.h>

#include <charconv>
#include <utility>

#include <asio/post.hpp>

#include "session/receipts/Rules.h"

namespace velmor::session::receipts {

namespace {

// Fields of an entry's value after its state letter, separated by 0x1F.
constexpr char kSep = '\x1f';

// KEYS[1] the entry, KEYS[2..] its numeric keys. ARGV: value, ttl ms, id, prefix.
// A numeric key keeps the entry it names while that entry lives. A remember
// sent again after a broken connection finds its entry taken already (a
// tombstone of the same value): it stays a tombstone.
constexpr const char* kRemember = R"lua(
local cur = redis.call('GET', KEYS[1])
if cur and string.sub(cur, 1, 1) == 't' then
  local a = string.find(cur, '\30', 2, true)
  local b = a and string.find(cur, '\30', a + 1, true)
  if b and string.sub(cur, b + 1) == string.sub(ARGV[1], 2) then return 0 end
end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
for i = 2, #KEYS do
  local cur = redis.call('GET', KEYS[i])
  if cur == ARGV[3] or not cur or redis.call('EXISTS', ARGV[4] .. 'e:' .. cur) == 0 then
    redis.call('SET', KEYS[i], ARGV[3], 'PX', ARGV[2])
  end
end
return 1
)lua";

// KEYS: lookup keys in rule order (e:ID for the text, k:KEY for the rest).
// ARGV: final (0/1), delivered (0/1), tombstone ttl ms, prefix, group ttl ms,
// attempt. Returns {} for no entry, {'m', value[, whole]} matched, {'d',
// value} duplicate. A tombstone is 't' attempt 0x1E whole 0x1E the entry's
// fields: the same attempt asking again (its reply was lost) gets the
// original answer.
constexpr const char* kTake = R"lua(
local p = ARGV[4]
for i = 1, #KEYS do
  local ek = KEYS[i]
  if string.sub(ek, #p + 1, #p + 2) == 'k:' then
    local id = redis.call('GET', ek)
    if id then ek = p .. 'e:' .. id else ek = nil end
  end
  local v = ek and redis.call('GET', ek)
  if v then
    if string.sub(v, 1, 1) == 't' then
      local a = string.find(v, '\30', 2, true)
      local b = a and string.find(v, '\30', a + 1, true)
      if not b then return {'d', v} end
      local body = 'w' .. string.sub(v, b + 1)
      if ARGV[6] ~= '' and string.sub(v, 2, a - 1) == ARGV[6] then
        local whole = string.sub(v, a + 1, b - 1)
        if whole ~= '' then return {'m', body, whole} end
        return {'m', body}
      end
      return {'d', body}
    end
    if ARGV[1] == '0' then return {'m', v} end
    local whole = ''
    local f = {}
    for x in string.gmatch(string.sub(v, 2) .. '\31', '(.-)\31') do f[#f + 1] = x end
    local count, group = tonumber(f[1]), f[2]
    if count > 1 and group ~= '' then
      local gk = p .. 'g:' .. group
      local done = redis.call('HINCRBY', gk, 'done', 1)
      if ARGV[2] == '0' then redis.call('HSET', gk, 'failed', 1) end
      redis.call('PEXPIRE', gk, ARGV[5])
      if done >= count then
        if redis.call('HGET', gk, 'failed') then whole = '0' else whole = '1' end
        redis.call('DEL', gk)
      end
    end
    redis.call('SET', ek, 't' .. ARGV[6] .. '\30' .. whole .. '\30' .. string.sub(v, 2), 'PX', ARGV[3])
    if whole ~= '' then return {'m', v, whole} end
    return {'m', v}
  end
end
return {}
)lua";

constexpr std::size_t kRememberScript = 0, kTakeScript = 1;

std::string prefix(std::string_view account) {
  std::string p = "velmor:rcpt:{";
  p.append(account);
  p.append("}:");
  return p;
}

// "w" part_count group tag part_index submitted_ms message_id destination_addr
std::string encode(const receipt_entry& e) {
  std::string v = "w";
  const auto field = [&](std::string_view s) {
    v.append(s);
    v.push_back(kSep);
  };
  field(std::to_string(e.part_count));
  field(e.group);
  field(std::to_string(e.tag));
  field(std::to_string(e.part_index));
  field(std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(e.submitted.time_since_epoch()).count()));
  field(e.message_id);
  v.append(e.destination_addr);
  return v;
}

receipt_entry decode(std::string_view v) {
  receipt_entry e;
  if (v.empty()) return e;
  v.remove_prefix(1);
  std::string_view f[7];
  for (int i = 0; i < 6; ++i) {
    const auto at = v.find(kSep);
    f[i] = v.substr(0, at);
    v = at == std::string_view::npos ? std::string_view() : v.substr(at + 1);
  }
  f[6] = v;
  const auto num = [](std::string_view s, auto& out) { std::from_chars(s.data(), s.data() + s.size(), out); };
  num(f[0], e.part_count);
  e.group = std::string(f[1]);
  num(f[2], e.tag);
  num(f[3], e.part_index);
  std::int64_t ms = 0;
  num(f[4], ms);
  e.submitted = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
  e.message_id = std::string(f[5]);
  e.destination_addr = std::string(f[6]);
  return e;
}

std::string ms(std::chrono::seconds s) { return std::to_string(std::chrono::milliseconds(s).count()); }

}  // namespace

redis_receipt_store::redis_receipt_store(redis_address where, receipt_limits limits, redis_link::options opt)
    : limits_(limits),
      link_(std::make_unique<redis_link>(std::move(where), opt, std::vector<std::string>{kRemember, kTake})) {}

void redis_receipt_store::remember(std::string_view account, receipt_entry e) {
  const key_list keys = index_keys(e.message_id);
  if (keys.size == 0) return;
  const std::string p = prefix(account);
  std::vector<std::string> k;
  k.push_back(p + "e:" + std::string(trim_message_id(e.message_id)));
  for (std::size_t i = 1; i < keys.size; ++i) k.push_back(p + "k:" + keys.keys[i]);
  std::vector<std::string> a{encode(e), ms(limits_.max_age), std::string(trim_message_id(e.message_id)), p};
  link_->run_script(kRememberScript, std::move(k), std::move(a), true, [this](redisReply* r) {
    // A write Redis refused (out of memory, say) is as lost as one given up.
    (r && r->type != REDIS_REPLY_ERROR ? remembered_ : refused_).fetch_add(1, std::memory_order_relaxed);
  });
}

void redis_receipt_store::take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                               asio::any_io_executor ex, take_handler done, std::string_view attempt) {
  takes_.fetch_add(1, std::memory_order_relaxed);
  const key_list keys = lookup_keys(message_id);
  if (keys.size == 0) {
    asio::post(ex, [done = std::move(done)] { done(receipt_take{}); });
    return;
  }
  const std::string p = prefix(account);
  std::vector<std::string> k;
  for (const std::string& key : keys) k.push_back(key[0] == '=' ? p + "e:" + key.substr(1) : p + "k:" + key);
  std::vector<std::string> a{final_state ? "1" : "0", delivered ? "1" : "0", ms(limits_.tombstone_ttl), p,
                             ms(limits_.max_age),     std::string(attempt)};
  link_->run_script(kTakeScript, std::move(k), std::move(a), false,
                    [this, ex = std::move(ex), done = std::move(done)](redisReply* r) mutable {
                      receipt_take t;
                      if (!r || r->type != REDIS_REPLY_ARRAY) {
                        t.result = receipt_take::kind::unreachable;
                        unreachable_.fetch_add(1, std::memory_order_relaxed);
                      } else if (r->elements >= 2) {
                        t.result =
                            r->element[0]->str[0] == 'd' ? receipt_take::kind::duplicate : receipt_take::kind::matched;
                        t.entry = decode(std::string_view(r->element[1]->str, r->element[1]->len));
                        if (r->elements >= 3) t.whole_delivered = r->element[2]->str[0] == '1';
                      }
                      asio::post(ex, [done = std::move(done), t = std::move(t)]() mutable { done(std::move(t)); });
                    });
}

receipt_store_stats redis_receipt_store::stats() const {
  receipt_store_stats s;
  s.remembered = remembered_.load(std::memory_order_relaxed);
  s.takes = takes_.load(std::memory_order_relaxed);
  s.unreachable = unreachable_.load(std::memory_order_relaxed);
  s.remember_dropped = link_->dropped() + refused_.load(std::memory_order_relaxed);
  s.backlog = link_->backlog();
  return s;
}

}  // namespace velmor::session::receipts
