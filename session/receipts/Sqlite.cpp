#include "session/receipts/Sqlite.h"

#include <sqlite3.h>

#include <set>
#include <stdexcept>
#include <utility>

#include <asio/post.hpp>

#include "session/receipts/Rules.h"

namespace velmor::session::receipts {

namespace {

constexpr const char* kSchema = R"sql(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=NORMAL;
CREATE TABLE IF NOT EXISTS receipt_entry(
  account TEXT NOT NULL, id TEXT NOT NULL,
  state INTEGER NOT NULL,              -- 0 waiting, 1 tombstone, 2 dropped before any receipt
  tag INTEGER NOT NULL, destination_addr TEXT NOT NULL,
  part_index INTEGER NOT NULL, part_count INTEGER NOT NULL, grp TEXT NOT NULL,
  submitted INTEGER NOT NULL,          -- ms since the epoch
  since INTEGER NOT NULL,              -- ms: remembered, or became a tombstone / dropped
  PRIMARY KEY(account, id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS receipt_entry_age ON receipt_entry(state, since);
CREATE INDEX IF NOT EXISTS receipt_entry_account ON receipt_entry(account, state, since);
CREATE TABLE IF NOT EXISTS receipt_key(
  account TEXT NOT NULL, k TEXT NOT NULL, id TEXT NOT NULL,
  PRIMARY KEY(account, k)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS receipt_key_id ON receipt_key(account, id);
CREATE TABLE IF NOT EXISTS receipt_group(
  account TEXT NOT NULL, grp TEXT NOT NULL, done INTEGER NOT NULL, failed INTEGER NOT NULL, since INTEGER NOT NULL,
  PRIMARY KEY(account, grp)) WITHOUT ROWID;
)sql";

std::int64_t ms_of(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

struct sqlite_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace

// The connection and its prepared statements; worker thread only (after
// the constructor).
class sqlite_receipt_store::db {
 public:
  explicit db(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &h_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      const std::string why = h_ ? sqlite3_errmsg(h_) : "out of memory";
      sqlite3_close(h_);
      throw std::runtime_error("receipt store: cannot open SQLite file " + path + ": " + why);
    }
    sqlite3_busy_timeout(h_, 5000);
    char* err = nullptr;
    if (sqlite3_exec(h_, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string why = err ? err : "?";
      sqlite3_free(err);
      sqlite3_close(h_);
      throw std::runtime_error("receipt store: cannot set up SQLite file " + path + ": " + why);
    }
    ins_entry_ = prepare("INSERT OR REPLACE INTO receipt_entry VALUES(?1, ?2, 0, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    ins_key_ = prepare(
        "INSERT INTO receipt_key VALUES(?1, ?2, ?3) ON CONFLICT(account, k) DO UPDATE SET id = excluded.id "
        "WHERE NOT EXISTS (SELECT 1 FROM receipt_entry e WHERE e.account = receipt_key.account AND e.id = "
        "receipt_key.id)");
    find_key_ = prepare("SELECT id FROM receipt_key WHERE account = ?1 AND k = ?2");
    find_entry_ = prepare(
        "SELECT state, tag, destination_addr, part_index, part_count, grp, submitted FROM receipt_entry "
        "WHERE account = ?1 AND id = ?2");
    set_state_ = prepare("UPDATE receipt_entry SET state = ?3, since = ?4 WHERE account = ?1 AND id = ?2");
    group_up_ = prepare(
        "INSERT INTO receipt_group VALUES(?1, ?2, 1, ?3, ?4) ON CONFLICT(account, grp) DO UPDATE SET "
        "done = done + 1, failed = max(failed, excluded.failed) RETURNING done, failed");
    group_del_ = prepare("DELETE FROM receipt_group WHERE account = ?1 AND grp = ?2");
    age_ = prepare("UPDATE receipt_entry SET state = 2, since = ?1 WHERE state = 0 AND since < ?2");
    count_ = prepare(
        "UPDATE receipt_entry SET state = 2, since = ?3 WHERE account = ?1 AND state = 0 AND id IN "
        "(SELECT id FROM receipt_entry WHERE account = ?1 AND state = 0 ORDER BY since DESC LIMIT -1 OFFSET ?2)");
    unkey_ = prepare(
        "DELETE FROM receipt_key WHERE (account, id) IN "
        "(SELECT account, id FROM receipt_entry WHERE state <> 0 AND since < ?1)");
    bury_ = prepare("DELETE FROM receipt_entry WHERE state <> 0 AND since < ?1");
    groups_ = prepare("DELETE FROM receipt_group WHERE since < ?1");
    begin_ = prepare("BEGIN IMMEDIATE");
    commit_ = prepare("COMMIT");
    rollback_ = prepare("ROLLBACK");
  }
  ~db() {
    for (sqlite3_stmt* s : stmts_) sqlite3_finalize(s);
    sqlite3_close(h_);
  }

  void begin() { run(begin_); }
  void commit() { run(commit_); }
  void rollback() {
    sqlite3_reset(rollback_);
    sqlite3_step(rollback_);
    sqlite3_reset(rollback_);
  }

  void remember(const std::string& account, const receipt_entry& e, std::int64_t now) {
    const key_list keys = index_keys(e.message_id);
    if (keys.size == 0) return;
    const std::string id(trim_message_id(e.message_id));
    bind(ins_entry_, account, id);
    sqlite3_bind_int64(ins_entry_, 3, static_cast<sqlite3_int64>(e.tag));
    text(ins_entry_, 4, e.destination_addr);
    sqlite3_bind_int(ins_entry_, 5, e.part_index);
    sqlite3_bind_int(ins_entry_, 6, e.part_count);
    text(ins_entry_, 7, e.group);
    sqlite3_bind_int64(ins_entry_, 8, ms_of(e.submitted));
    sqlite3_bind_int64(ins_entry_, 9, now);
    run(ins_entry_);
    for (std::size_t i = 1; i < keys.size; ++i) {
      bind(ins_key_, account, keys.keys[i]);
      text(ins_key_, 3, id);
      run(ins_key_);
    }
  }

  receipt_take take(const std::string& account, std::string_view message_id, bool final_state, bool delivered,
                    std::int64_t now) {
    receipt_take r;
    std::string id;
    int state = -1;
    for (const std::string& k : lookup_keys(message_id)) {
      if (k[0] == '=') {
        id = k.substr(1);
      } else {
        bind(find_key_, account, k);
        const bool hit = sqlite3_step(find_key_) == SQLITE_ROW;
        if (hit) id = column(find_key_, 0);
        sqlite3_reset(find_key_);
        if (!hit) continue;
      }
      bind(find_entry_, account, id);
      if (sqlite3_step(find_entry_) == SQLITE_ROW) {
        state = sqlite3_column_int(find_entry_, 0);
        r.entry.message_id = id;
        r.entry.tag = static_cast<std::uint64_t>(sqlite3_column_int64(find_entry_, 1));
        r.entry.destination_addr = column(find_entry_, 2);
        r.entry.part_index = static_cast<std::uint16_t>(sqlite3_column_int(find_entry_, 3));
        r.entry.part_count = static_cast<std::uint16_t>(sqlite3_column_int(find_entry_, 4));
        r.entry.group = column(find_entry_, 5);
        r.entry.submitted =
            std::chrono::system_clock::time_point(std::chrono::milliseconds(sqlite3_column_int64(find_entry_, 6)));
      }
      sqlite3_reset(find_entry_);
      if (state >= 0) break;
    }
    if (state < 0) return r;
    if (state == 2) {
      r = receipt_take{};
      r.result = receipt_take::kind::expired;
      return r;
    }
    if (state == 1) {
      r.result = receipt_take::kind::duplicate;
      return r;
    }
    r.result = receipt_take::kind::matched;
    if (!final_state) return r;
    bind(set_state_, account, id);
    sqlite3_bind_int(set_state_, 3, 1);
    sqlite3_bind_int64(set_state_, 4, now);
    run(set_state_);
    if (r.entry.part_count > 1 && !r.entry.group.empty()) {
      bind(group_up_, account, r.entry.group);
      sqlite3_bind_int(group_up_, 3, delivered ? 0 : 1);
      sqlite3_bind_int64(group_up_, 4, now);
      if (sqlite3_step(group_up_) != SQLITE_ROW) fail(group_up_);
      const int done = sqlite3_column_int(group_up_, 0), failed = sqlite3_column_int(group_up_, 1);
      sqlite3_reset(group_up_);
      if (done >= r.entry.part_count) {
        r.whole_delivered = failed == 0;
        bind(group_del_, account, r.entry.group);
        run(group_del_);
      }
    }
    return r;
  }

  void sweep(const std::set<std::string>& accounts, const receipt_limits& l, std::int64_t now) {
    const auto ms = [](std::chrono::seconds s) { return std::chrono::milliseconds(s).count(); };
    sqlite3_bind_int64(age_, 1, now);
    sqlite3_bind_int64(age_, 2, now - ms(l.max_age));
    run(age_);
    for (const std::string& a : accounts) {
      text(count_, 1, a);
      sqlite3_bind_int64(count_, 2, static_cast<sqlite3_int64>(l.max_entries));
      sqlite3_bind_int64(count_, 3, now);
      run(count_);
    }
    for (sqlite3_stmt* s : {unkey_, bury_}) {
      sqlite3_bind_int64(s, 1, now - ms(l.tombstone_ttl));
      run(s);
    }
    sqlite3_bind_int64(groups_, 1, now - ms(l.max_age));
    run(groups_);
  }

 private:
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(h_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("receipt store: SQLite cannot prepare a statement: ") + sqlite3_errmsg(h_));
    stmts_.push_back(s);
    return s;
  }
  static void text(sqlite3_stmt* s, int i, std::string_view v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  static void bind(sqlite3_stmt* s, std::string_view a, std::string_view b) {
    text(s, 1, a);
    text(s, 2, b);
  }
  static std::string column(sqlite3_stmt* s, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, i))) : std::string();
  }
  void fail(sqlite3_stmt* s) {
    sqlite3_reset(s);
    throw sqlite_error(sqlite3_errmsg(h_));
  }
  void run(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail(s);
    sqlite3_reset(s);
  }

  sqlite3* h_ = nullptr;
  std::vector<sqlite3_stmt*> stmts_;
  sqlite3_stmt *ins_entry_, *ins_key_, *find_key_, *find_entry_, *set_state_, *group_up_, *group_del_, *age_, *count_,
      *unkey_, *bury_, *groups_, *begin_, *commit_, *rollback_;
};

sqlite_receipt_store::sqlite_receipt_store(std::string path, receipt_limits limits, std::size_t max_backlog)
    : limits_(limits), max_backlog_(std::max<std::size_t>(max_backlog, 1)), db_(std::make_unique<db>(path)) {
  limits_.max_entries = std::max<std::size_t>(limits_.max_entries, 1);
  worker_ = std::thread([this] { run(); });
}

sqlite_receipt_store::~sqlite_receipt_store() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void sqlite_receipt_store::remember(std::string_view account, receipt_entry e) {
  op o;
  o.account = std::string(account);
  o.entry = std::move(e);
  std::lock_guard lock(mutex_);
  if (queue_.size() >= max_backlog_) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
      if (!it->is_take) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        queue_.erase(it);
        break;
      }
  }
  queue_.push_back(std::move(o));
  queued_.store(queue_.size(), std::memory_order_relaxed);
  wake_.notify_one();
}

void sqlite_receipt_store::take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                                asio::any_io_executor ex, take_handler done, std::string_view /*attempt*/) {
  takes_.fetch_add(1, std::memory_order_relaxed);
  op o;
  o.is_take = true;
  o.account = std::string(account);
  o.id = std::string(message_id);
  o.final_state = final_state;
  o.delivered = delivered;
  o.ex = std::move(ex);
  o.done = std::move(done);
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(o));
  queued_.store(queue_.size(), std::memory_order_relaxed);
  wake_.notify_one();
}

void sqlite_receipt_store::run() {
  std::vector<op> batch;
  std::vector<receipt_take> answers;
  std::set<std::string> accounts;  // remembered into since the last sweep
  auto next_sweep = std::chrono::steady_clock::now();
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, next_sweep, [&] { return stop_ || !queue_.empty(); });
      stopping = stop_;
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
      queue_.clear();
    }
    const auto steady = std::chrono::steady_clock::now();
    const bool sweep = steady >= next_sweep;
    if (batch.empty() && !sweep) continue;
    const std::int64_t now = ms_of(std::chrono::system_clock::now());
    answers.assign(batch.size(), receipt_take{});
    bool ok = true;
    try {
      db_->begin();
      for (std::size_t i = 0; i < batch.size(); ++i) {
        op& o = batch[i];
        if (o.is_take) {
          answers[i] = db_->take(o.account, o.id, o.final_state, o.delivered, now);
        } else {
          db_->remember(o.account, o.entry, now);
          accounts.insert(o.account);
        }
      }
      if (sweep) {
        db_->sweep(accounts, limits_, now);
        accounts.clear();
        next_sweep = steady + std::chrono::seconds(1);
      }
      db_->commit();
    } catch (const std::exception&) {
      db_->rollback();
      ok = false;
    }
    std::size_t written = 0;
    for (std::size_t i = batch.size(); i-- > 0;) {
      op& o = batch[i];
      if (o.is_take) {
        if (!ok) {
          answers[i].result = receipt_take::kind::unreachable;
          unreachable_.fetch_add(1, std::memory_order_relaxed);
        }
        asio::post(o.ex, [done = std::move(o.done), t = std::move(answers[i])]() mutable { done(std::move(t)); });
      } else if (ok) {
        ++written;
      } else if (!stopping) {
        std::lock_guard lock(mutex_);  // tried again next round, in order, within the bound
        if (queue_.size() < max_backlog_)
          queue_.push_front(std::move(o));
        else
          dropped_.fetch_add(1, std::memory_order_relaxed);
      } else {
        dropped_.fetch_add(1, std::memory_order_relaxed);
      }
    }
    remembered_.fetch_add(written, std::memory_order_relaxed);
    batch.clear();
    {
      std::lock_guard lock(mutex_);
      queued_.store(queue_.size(), std::memory_order_relaxed);
    }
    if (!ok && !stopping) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (stopping) {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return;  // else what came meanwhile is written first
    }
  }
}

receipt_store_stats sqlite_receipt_store::stats() const {
  receipt_store_stats s;
  s.remembered = remembered_.load(std::memory_order_relaxed);
  s.remember_dropped = dropped_.load(std::memory_order_relaxed);
  s.takes = takes_.load(std::memory_order_relaxed);
  s.unreachable = unreachable_.load(std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  s.backlog = queue_.size();
  return s;
}

}  // namespace velmor::session::receipts
