#include "tools/cli/Runs.h"

#include <hiredis/hiredis.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include <asio/post.hpp>

#include <random>
#include <stdexcept>

#include "session/receipts/RedisLink.h"

namespace velmor::cli {

std::uint32_t NewRunNumber() {
  std::random_device rd;
  std::uint32_t n = 0;
  while (n == 0) n = rd() & 0x7FFFFFFF;  // kept positive: SQLite stores tags as signed
  return n;
}

namespace {

std::string InfoText(const RunInfo& i) {
  return nlohmann::json{{"tag", i.tag}, {"file", i.file}, {"waits", i.waits}}.dump();
}

std::optional<RunInfo> ParseInfo(const std::string& text) {
  const auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  RunInfo i;
  i.tag = j.value("tag", "");
  i.file = j.value("file", false);
  i.waits = j.value("waits", false);
  return i;
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// One connection to the store, worker thread only. Every call either does
// its work or throws std::runtime_error naming why not.
struct RunBoard::Backend {
  virtual ~Backend() = default;
  virtual void Announce(std::uint32_t run, const std::string& info) = 0;
  virtual std::optional<std::string> Lookup(std::uint32_t run) = 0;
  virtual void Publish(std::uint32_t run, const std::string& outcome) = 0;
  virtual std::vector<std::string> Take(std::uint32_t run) = 0;  // at most a batch, removed
};

namespace {

constexpr int kBatch = 200;

class RedisBackend final : public RunBoard::Backend {
 public:
  RedisBackend(session::receipts::redis_address a, const std::string& account, std::chrono::seconds ttl)
      : a_(std::move(a)), prefix_("{" + account + "}:"), ttl_ms_(std::to_string(ttl.count() * 1000)) {}
  ~RedisBackend() override {
    if (c_) redisFree(c_);
  }
  void Announce(std::uint32_t run, const std::string& info) override {
    Reply(Command({"SET", Key("run", run), info, "PX", ttl_ms_}));
  }
  std::optional<std::string> Lookup(std::uint32_t run) override {
    auto r = Command({"GET", Key("run", run)});
    if (r->type != REDIS_REPLY_STRING) return std::nullopt;
    return std::string(r->str, r->len);
  }
  void Publish(std::uint32_t run, const std::string& outcome) override {
    const std::string k = Key("out", run);
    Append({"RPUSH", k, outcome});
    Append({"PEXPIRE", k, ttl_ms_});
    Reply(Next());
    Reply(Next());
  }
  std::vector<std::string> Take(std::uint32_t run) override {
    auto r = Command({"LPOP", Key("out", run), std::to_string(kBatch)});
    std::vector<std::string> out;
    if (r->type == REDIS_REPLY_ARRAY)
      for (std::size_t i = 0; i < r->elements; ++i) out.emplace_back(r->element[i]->str, r->element[i]->len);
    return out;
  }

 private:
  using Owned = std::unique_ptr<redisReply, void (*)(void*)>;
  std::string Key(const char* kind, std::uint32_t run) const {
    return std::string("velmor:") + kind + ":" + prefix_ + std::to_string(run);
  }
  void Connect() {
    if (c_ && !c_->err) return;
    if (c_) redisFree(c_);
    const timeval tv{0, 500'000};
    c_ = redisConnectWithTimeout(a_.host.c_str(), a_.port, tv);
    if (!c_ || c_->err) Fail("cannot connect");
    const timeval io{2, 0};
    redisSetTimeout(c_, io);
    if (a_.db) Reply(Command({"SELECT", std::to_string(a_.db)}));
  }
  void Append(const std::vector<std::string>& argv) {
    Connect();
    std::vector<const char*> p;
    std::vector<std::size_t> n;
    for (const auto& s : argv) {
      p.push_back(s.data());
      n.push_back(s.size());
    }
    if (redisAppendCommandArgv(c_, static_cast<int>(p.size()), p.data(), n.data()) != REDIS_OK) Fail("write");
  }
  Owned Next() {
    void* r = nullptr;
    if (redisGetReply(c_, &r) != REDIS_OK || !r) Fail("no reply");
    return Owned(static_cast<redisReply*>(r), freeReplyObject);
  }
  Owned Command(const std::vector<std::string>& argv) {
    Append(argv);
    return Next();
  }
  void Reply(const Owned& r) {
    if (r->type == REDIS_REPLY_ERROR) throw std::runtime_error("Redis: " + std::string(r->str, r->len));
  }
  [[noreturn]] void Fail(const char* what) {
    std::string why = c_ && c_->errstr[0] ? c_->errstr : what;
    if (c_) redisFree(c_);
    c_ = nullptr;
    throw std::runtime_error("Redis " + a_.host + ":" + std::to_string(a_.port) + ": " + why);
  }

  session::receipts::redis_address a_;
  std::string prefix_, ttl_ms_;
  redisContext* c_ = nullptr;
};

class SqliteBackend final : public RunBoard::Backend {
 public:
  SqliteBackend(const std::string& path, std::string account, std::chrono::seconds ttl)
      : account_(std::move(account)), ttl_ms_(ttl.count() * 1000) {
    if (sqlite3_open_v2(path.c_str(), &h_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      const std::string why = h_ ? sqlite3_errmsg(h_) : "out of memory";
      sqlite3_close(h_);
      throw std::runtime_error("--store sqlite:" + path + ": cannot open: " + why);
    }
    sqlite3_busy_timeout(h_, 5000);
    Exec(R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE IF NOT EXISTS velmor_run(account TEXT NOT NULL, run INTEGER NOT NULL, info TEXT NOT NULL,
  at INTEGER NOT NULL, PRIMARY KEY(account, run)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS velmor_outcome(n INTEGER PRIMARY KEY, account TEXT NOT NULL, run INTEGER NOT NULL,
  body TEXT NOT NULL, at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS velmor_outcome_run ON velmor_outcome(account, run, n);
)sql");
  }
  ~SqliteBackend() override {
    for (auto& [sql, s] : stmts_) sqlite3_finalize(s);
    sqlite3_close(h_);
  }
  void Announce(std::uint32_t run, const std::string& info) override {
    const long long old = NowMs() - ttl_ms_;
    Step("DELETE FROM velmor_run WHERE at < ?3", run, {}, old);
    Step("DELETE FROM velmor_outcome WHERE at < ?3", run, {}, old);
    Step("INSERT OR REPLACE INTO velmor_run VALUES(?1, ?2, ?4, ?3)", run, info, NowMs());
  }
  std::optional<std::string> Lookup(std::uint32_t run) override {
    std::optional<std::string> out;
    Step("SELECT info FROM velmor_run WHERE account = ?1 AND run = ?2", run, {}, 0,
         [&](sqlite3_stmt* s) { out = Text(s, 0); });
    return out;
  }
  void Publish(std::uint32_t run, const std::string& outcome) override {
    Step("INSERT INTO velmor_outcome(account, run, body, at) VALUES(?1, ?2, ?4, ?3)", run, outcome, NowMs());
  }
  std::vector<std::string> Take(std::uint32_t run) override {
    std::vector<std::string> out;
    Step(
        "DELETE FROM velmor_outcome WHERE n IN (SELECT n FROM velmor_outcome WHERE account = ?1 AND run = ?2 "
        "ORDER BY n LIMIT ?3) RETURNING body",
        run, {}, kBatch, [&](sqlite3_stmt* s) { out.push_back(Text(s, 0)); });
    return out;
  }

 private:
  static std::string Text(sqlite3_stmt* s, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, col))) : std::string();
  }
  void Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(h_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string why = err ? err : sqlite3_errmsg(h_);
      sqlite3_free(err);
      throw std::runtime_error("SQLite: " + why);
    }
  }
  // ?1 account, ?2 run, ?3 a number, ?4 a text; a statement may use fewer
  // (binding a parameter it lacks is refused, harmlessly).
  void Step(const char* sql, std::uint32_t run, const std::string& text, long long number,
            const std::function<void(sqlite3_stmt*)>& row = {}) {
    sqlite3_stmt*& s = stmts_[sql];
    if (!s && sqlite3_prepare_v2(h_, sql, -1, &s, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(h_));
    sqlite3_bind_text(s, 1, account_.data(), static_cast<int>(account_.size()), SQLITE_STATIC);
    sqlite3_bind_int64(s, 2, run);
    sqlite3_bind_int64(s, 3, number);
    sqlite3_bind_text(s, 4, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
      if (row) row(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(h_));
  }

  sqlite3* h_ = nullptr;
  std::string account_;
  long long ttl_ms_;
  std::map<const char*, sqlite3_stmt*> stmts_;
};

}  // namespace

RunBoard::RunBoard(std::string_view where, std::string account, asio::any_io_executor loop, std::chrono::seconds ttl)
    : account_(std::move(account)), loop_(std::move(loop)), ttl_(ttl) {
  if (where.substr(0, 7) == "sqlite:")
    backend_ = std::make_unique<SqliteBackend>(std::string(where.substr(7)), account_, ttl_);
  else
    backend_ = std::make_unique<RedisBackend>(session::receipts::parse_redis_url(where), account_, ttl_);
  worker_ = std::thread([this] { Work(); });
}

RunBoard::~RunBoard() {
  *alive_ = false;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void RunBoard::Queue(Task t) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(t));
  }
  wake_.notify_one();
}

std::string RunBoard::Problem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

// Tasks in order; while collecting, the run's outcomes every 50 ms. On stop
// the queued tasks still run (each is bounded by the store's timeouts).
void RunBoard::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, std::chrono::milliseconds(50), [&] { return stop_ || !tasks_.empty(); });
    std::deque<Task> tasks;
    tasks.swap(tasks_);
    const bool stop = stop_;
    const auto collect = collect_;
    auto on_outcomes = on_outcomes_;
    lock.unlock();
    std::string failed;
    std::size_t skipped = 0;
    for (auto& t : tasks) {
      if (stop && !failed.empty()) {  // exiting with the store down: no wait per task
        ++skipped;
        continue;
      }
      try {
        t(*backend_);
      } catch (const std::exception& e) {
        failed = e.what();
      }
    }
    if (skipped) failed += " (" + std::to_string(skipped) + " more writes not made)";
    if (collect && !stop) try {
        for (auto got = backend_->Take(*collect); !got.empty(); got = backend_->Take(*collect)) {
          std::weak_ptr<bool> alive = alive_;
          asio::post(loop_, [alive, on_outcomes, got = std::move(got)]() mutable {
            if (auto a = alive.lock(); a && *a) on_outcomes(std::move(got));
          });
        }
      } catch (const std::exception& e) {
        failed = e.what();
      }
    lock.lock();
    if (!failed.empty()) problem_ = failed;
    if (stop && tasks_.empty()) return;
  }
}

void RunBoard::Announce(std::uint32_t run, const RunInfo& info, std::function<void(bool)> written) {
  known_[run] = info;
  std::weak_ptr<bool> alive = alive_;
  Queue([this, alive, run, text = InfoText(info), written = std::move(written)](Backend& b) {
    bool ok = false;
    try {
      b.Announce(run, text);
      ok = true;
    } catch (...) {
      if (written)
        asio::post(loop_, [alive, written] {
          if (auto a = alive.lock(); a && *a) written(false);
        });
      throw;
    }
    if (written)
      asio::post(loop_, [alive, written, ok] {
        if (auto a = alive.lock(); a && *a) written(ok);
      });
  });
}

void RunBoard::Lookup(std::uint32_t run, std::function<void(const std::optional<RunInfo>&)> done) {
  if (auto it = known_.find(run); it != known_.end()) {
    asio::post(loop_, [done = std::move(done), info = it->second] { done(info); });
    return;
  }
  auto& w = waiting_[run];
  w.push_back(std::move(done));
  if (w.size() > 1) return;
  std::weak_ptr<bool> alive = alive_;
  Queue([this, run, alive](Backend& b) {
    std::optional<RunInfo> info;
    std::string failed;
    try {
      if (auto text = b.Lookup(run)) info = ParseInfo(*text);
    } catch (const std::exception& e) {
      failed = e.what();
    }
    asio::post(loop_, [this, run, alive, info, failed] {
      auto a = alive.lock();
      if (!a || !*a) return;
      // Not found, or the store failed: asked again next time (the run may
      // not have been written yet).
      if (failed.empty() && info) {
        if (known_.size() > 10'000) known_.clear();
        known_[run] = info;
      }
      auto w = std::move(waiting_[run]);
      waiting_.erase(run);
      for (auto& d : w) d(info);
    });
    if (!failed.empty()) throw std::runtime_error(failed);
  });
}

void RunBoard::Publish(std::uint32_t run, std::string outcome) {
  Queue([run, outcome = std::move(outcome)](Backend& b) { b.Publish(run, outcome); });
}

void RunBoard::Collect(std::uint32_t run, std::function<void(std::vector<std::string>)> on_outcomes) {
  std::lock_guard lock(mutex_);
  collect_ = run;
  on_outcomes_ = std::move(on_outcomes);
}

}  // namespace velmor::cli
