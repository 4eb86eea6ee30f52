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

// Remembers and takes, as many as were queued behind one another, in one
// call (redis_link::run_batched), each as if alone and in order; the call is
// atomic, so two processes never both take one receipt.
//
// A numeric key k:d<value> / k:h<value> is written only for an entry whose
// text is not that number's plain spelling (decimal, or lowercase hex, no
// leading zeros): an entry spelled so is found under e:<spelling>, which
// each numeric key travels with as its fallback. Most SMSCs' ids are plain,
// so most entries are one key.
//
// A remember: keys the entry, then per numeric key it needs the key and its
// plain spelling's entry key; ARGV 'r', value, ttl ms, id, prefix. A numeric
// key keeps the entry it names while that entry lives, and is not taken
// from a living entry of the plain spelling. A remember sent again after a
// broken connection finds its entry taken already (a tombstone of the same
// value): it stays a tombstone. Answers 1 written, 0 left.
//
// A take: keys the receipt's text's entry key; ARGV 't', final (0/1),
// delivered (0/1), tombstone ttl ms, prefix, group ttl ms, attempt, and its
// numeric readings in rule order ("d<value>=<plain spelling> ...", read only
// when the text finds nothing).
// Answers {} for no entry, {'m', value[, whole]} matched, {'d', value}
// duplicate. A tombstone is 't' attempt 0x1E whole 0x1E the entry's fields:
// the same attempt asking again (its reply was lost) gets the original
// answer.
constexpr const char* kBatch = R"lua(
local function remember(k0, nk, a0)
  local value, ttl = ARGV[a0 + 2], ARGV[a0 + 3]
  local ek = KEYS[k0 + 1]
  if not redis.call('SET', ek, value, 'PX', ttl, 'NX') then
    local cur = redis.call('GET', ek)
    if cur and string.sub(cur, 1, 1) == 't' then
      local a = string.find(cur, '\30', 2, true)
      local b = a and string.find(cur, '\30', a + 1, true)
      if b and string.sub(cur, b + 1) == string.sub(value, 2) then return 0 end
    end
    redis.call('SET', ek, value, 'PX', ttl)
  end
  local id, p = ARGV[a0 + 4], ARGV[a0 + 5]
  for i = k0 + 2, k0 + nk, 2 do
    local k = KEYS[i]
    local cur = redis.call('GET', k)
    local mine
    if cur then
      mine = cur == id or redis.call('EXISTS', p .. 'e:' .. cur) == 0
    else
      mine = redis.call('EXISTS', KEYS[i + 1]) == 0
    end
    if mine then redis.call('SET', k, id, 'PX', ttl) end
  end
  return 1
end

local function take(k0, nk, a0)
  local final, delivered, tomb, p, gttl, attempt =
    ARGV[a0 + 2], ARGV[a0 + 3], ARGV[a0 + 4], ARGV[a0 + 5], ARGV[a0 + 6], ARGV[a0 + 7]
  local text = KEYS[k0 + 1]
  local ek, v = text, redis.call('GET', text)
  if not v then
    for key, plain in string.gmatch(ARGV[a0 + 8], '(%S+)=(%S+)') do
      local id = redis.call('GET', p .. 'k:' .. key)
      if id then
        ek = p .. 'e:' .. id
        v = redis.call('GET', ek)
      end
      if not v and p .. 'e:' .. plain ~= text then
        ek = p .. 'e:' .. plain
        v = redis.call('GET', ek)
      end
      if v then break end
    end
    if not v then return {} end
  end
  if string.sub(v, 1, 1) == 't' then
    local a = string.find(v, '\30', 2, true)
    local b = a and string.find(v, '\30', a + 1, true)
    if not b then return {'d', v} end
    local body = 'w' .. string.sub(v, b + 1)
    if attempt ~= '' and string.sub(v, 2, a - 1) == attempt then
      local whole = string.sub(v, a + 1, b - 1)
      if whole ~= '' then return {'m', body, whole} end
      return {'m', body}
    end
    return {'d', body}
  end
  if final == '0' then return {'m', v} end
  local whole = ''
  local s1 = string.find(v, '\31', 2, true)
  local count = tonumber(string.sub(v, 2, s1 - 1))
  if count > 1 then
    local s2 = string.find(v, '\31', s1 + 1, true)
    local group = string.sub(v, s1 + 1, s2 - 1)
    if group ~= '' then
      local gk = p .. 'g:' .. group
      local done = redis.call('HINCRBY', gk, 'done', 1)
      if delivered == '0' then redis.call('HSET', gk, 'failed', 1) end
      redis.call('PEXPIRE', gk, gttl)
      if done >= count then
        if redis.call('HGET', gk, 'failed') then whole = '0' else whole = '1' end
        redis.call('DEL', gk)
      end
    end
  end
  redis.call('SET', ek, 't' .. attempt .. '\30' .. whole .. '\30' .. string.sub(v, 2), 'PX', tomb)
  if whole ~= '' then return {'m', v, whole} end
  return {'m', v}
end

local out, k0, a0 = {}, 0, 0
while a0 < #ARGV do
  local nk, na = tonumber(ARGV[a0 + 1]), tonumber(ARGV[a0 + 2])
  a0 = a0 + 2
  if ARGV[a0 + 1] == 'r' then out[#out + 1] = remember(k0, nk, a0) else out[#out + 1] = take(k0, nk, a0) end
  k0 = k0 + nk
  a0 = a0 + na
end
return out
)lua";

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

// A number's plain spelling in its reading's base: the text an entry has
// when no key but its own is needed to find it by that number.
std::string spelling(const reading& r) {
  if (r.index == 'd') return std::to_string(r.value);
  char buf[17];
  const auto end = std::to_chars(buf, buf + sizeof buf, r.value, 16).ptr;
  return std::string(buf, end);
}

std::string numeric_key(const std::string& p, const reading& r) { return p + "k:" + number_key(r); }

std::string ms(std::chrono::seconds s) { return std::to_string(std::chrono::milliseconds(s).count()); }

}  // namespace

redis_receipt_store::redis_receipt_store(redis_address where, receipt_limits limits, redis_link::options opt)
    : limits_(limits),
      max_age_(ms(limits.max_age)),
      tombstone_ttl_(ms(limits.tombstone_ttl)),
      link_(std::make_unique<redis_link>(std::move(where), opt, std::vector<std::string>{kBatch},
                                         [this] { round_end(); })) {}

// A round trip's answers go to the loop as one handler per executor, not
// one each: fewer wake-ups and cross-thread hand-offs for the loop.
void redis_receipt_store::hand_on(answer a) {
  if (redis_link::in_round()) {
    answers_.push_back(std::move(a));
    return;
  }
  asio::post(a.ex, [done = std::move(a.done), t = std::move(a.take)]() mutable { done(std::move(t)); });
}

void redis_receipt_store::round_end() {
  while (!answers_.empty()) {
    asio::any_io_executor ex = answers_.front().ex;
    std::vector<answer> same;
    std::vector<answer> rest;
    for (answer& a : answers_) (a.ex == ex ? same : rest).push_back(std::move(a));
    answers_ = std::move(rest);
    asio::post(ex, [same = std::move(same)]() mutable {
      for (answer& a : same) a.done(std::move(a.take));
    });
  }
}

void redis_receipt_store::remember(std::string_view account, receipt_entry e) {
  const readings r = index_readings(e.message_id);
  if (r.text.empty()) return;
  const std::string p = prefix(account);
  redis_link::item it;
  it.key({p, "e:", r.text});
  for (std::size_t i = 0; i < r.count; ++i) {
    const std::string plain = spelling(r.numbers[i]);
    if (plain == r.text) continue;  // found under its own entry key
    it.key({numeric_key(p, r.numbers[i])});
    it.key({p, "e:", plain});
  }
  it.arg({"r"}).arg({encode(e)}).arg({max_age_}).arg({r.text}).arg({p});
  link_->run_batched(0, p, std::move(it), true, [this](redisReply* r) {
    // A write Redis refused (out of memory, say) is as lost as one given up.
    (r && r->type != REDIS_REPLY_ERROR ? remembered_ : refused_).fetch_add(1, std::memory_order_relaxed);
  });
}

void redis_receipt_store::take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                               asio::any_io_executor ex, take_handler done, std::string_view attempt) {
  takes_.fetch_add(1, std::memory_order_relaxed);
  const readings r = lookup_readings(message_id);
  if (r.text.empty()) {
    asio::post(ex, [done = std::move(done)] { done(receipt_take{}); });
    return;
  }
  const std::string p = prefix(account);
  std::string numbers;
  for (std::size_t i = 0; i < r.count; ++i) {
    if (i) numbers.push_back(' ');
    numbers.append(number_key(r.numbers[i]));
    numbers.push_back('=');
    numbers.append(spelling(r.numbers[i]));
  }
  redis_link::item it;
  it.key({p, "e:", r.text});
  it.arg({"t"}).arg({final_state ? "1" : "0"}).arg({delivered ? "1" : "0"}).arg({tombstone_ttl_}).arg({p});
  it.arg({max_age_}).arg({attempt}).arg({numbers});
  link_->run_batched(
      0, p, std::move(it), false, [this, ex = std::move(ex), done = std::move(done)](redisReply* r) mutable {
        receipt_take t;
        if (!r || r->type != REDIS_REPLY_ARRAY) {
          t.result = receipt_take::kind::unreachable;
          unreachable_.fetch_add(1, std::memory_order_relaxed);
        } else if (r->elements >= 2) {
          t.result = r->element[0]->str[0] == 'd' ? receipt_take::kind::duplicate : receipt_take::kind::matched;
          t.entry = decode(std::string_view(r->element[1]->str, r->element[1]->len));
          if (r->elements >= 3) t.whole_delivered = r->element[2]->str[0] == '1';
        }
        hand_on(answer{std::move(ex), std::move(done), std::move(t)});
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
