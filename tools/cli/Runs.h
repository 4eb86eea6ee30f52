// What send runs leave beside a shared receipt store (--store), so that other
// processes of the account can use their entries:
//   - each run's description, under its run number: the tag a listener prints
//     for a receipt it matched to one of the run's entries, and whether the
//     run waits for its receipts (send --receipt);
//   - the outcomes of a waiting run's receipts that another process's bind
//     took: the taker publishes each one to the run, the run collects them.
// A receipt store's take is atomic, so exactly one process publishes a
// receipt's outcome, and only the writer collects it.
//
// Where: Redis keys velmor:run:{ACCOUNT}:RUN (the description) and
// velmor:out:{ACCOUNT}:RUN (a list of outcomes), each with a TTL; or, in the
// store's SQLite file, tables velmor_run and velmor_outcome, rows older than
// the TTL deleted when a run starts.
//
// An entry's tag names its run: run << 32 | the message's number in the run
// (its input line with --file, its repetition counted from 1 otherwise).
//
// Threads: every call on the loop's thread, and it returns at once; the I/O
// runs on a worker thread of its own, answers are posted to the loop. A
// store that cannot be reached costs a bounded wait on that thread only;
// what could not be written is counted in Problem().
#pragma once

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmor::cli {

inline std::uint64_t RunTag(std::uint32_t run, std::uint32_t number) { return std::uint64_t{run} << 32 | number; }
inline std::uint32_t RunOf(std::uint64_t tag) { return static_cast<std::uint32_t>(tag >> 32); }
inline std::uint32_t NumberOf(std::uint64_t tag) { return static_cast<std::uint32_t>(tag); }
// A fresh run number: random, never 0 (0 marks an entry no run wrote).
std::uint32_t NewRunNumber();

struct RunInfo {
  std::string tag;    // --tag, or the --file name
  bool file = false;  // the numbers are input lines
  bool waits = false;
};

class RunBoard {
 public:
  struct Backend;
  // where: "sqlite:PATH" or "redis://HOST:PORT[/DB]". ttl: how long a
  // description and an unread outcome are kept. Throws std::runtime_error
  // when an SQLite file cannot be opened; Redis is not waited for.
  RunBoard(std::string_view where, std::string account, asio::any_io_executor loop, std::chrono::seconds ttl);
  ~RunBoard();  // writes what is queued (a bounded wait), then stops
  RunBoard(const RunBoard&) = delete;
  RunBoard& operator=(const RunBoard&) = delete;

  // written runs on the loop once the description is written (true) or
  // could not be (false).
  void Announce(std::uint32_t run, const RunInfo& info, std::function<void(bool)> written = {});
  // done runs on the loop, once: the description, or nullopt when the run is
  // unknown or the store could not be asked. Answers are cached.
  void Lookup(std::uint32_t run, std::function<void(const std::optional<RunInfo>&)> done);
  // An outcome (a JSON object's text) for a run that waits.
  void Publish(std::uint32_t run, std::string outcome);
  // From now on, outcomes published for run are handed to on_outcomes on
  // the loop, a batch at a time, until the board is destroyed.
  void Collect(std::uint32_t run, std::function<void(std::vector<std::string>)> on_outcomes);

  bool LookupsPending() const { return !waiting_.empty(); }
  // The last failure to reach the store ("" when none).
  std::string Problem() const;

 private:
  using Task = std::function<void(Backend&)>;
  void Queue(Task t);
  void Work();

  std::string account_;
  asio::any_io_executor loop_;
  std::chrono::seconds ttl_;
  std::unique_ptr<Backend> backend_;
  // loop thread
  std::map<std::uint32_t, std::optional<RunInfo>> known_;
  std::map<std::uint32_t, std::vector<std::function<void(const std::optional<RunInfo>&)>>> waiting_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // shared with the worker
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stop_ = false;
  std::optional<std::uint32_t> collect_;
  std::function<void(std::vector<std::string>)> on_outcomes_;
  std::string problem_;
  std::thread worker_;
};

}  // namespace velmor::cli
