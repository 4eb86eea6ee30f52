// The SMSC simulator configured for benchmarks, either on the caller's loop
// or on a thread of its own with its own loop.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "tools/smsc/Server.h"

namespace velmor::bench {

inline smsc::Config BenchConfig() {
  smsc::Config cfg;
  cfg.pdu_log_limit = 0;
  cfg.store_limit = 4'000'000;
  cfg.delivery_delay = std::chrono::milliseconds(1);
  return cfg;
}

class Simulator {
 public:
  // own_thread: the simulator gets a TEventLoop and a thread of its own;
  // otherwise it shares `loop` with the client. Over TLS when tls.enabled.
  Simulator(bool own_thread, TEventLoop& loop, const TTLSOptions& tls = {}) {
    TEventLoop& l = own_thread ? *(own_ = std::make_unique<TEventLoop>()) : loop;
    server_ = std::make_unique<smsc::Server>(BenchConfig(), l);
    server_->set_tls(tls);
    server_->start("127.0.0.1", 0);
    port_ = server_->port();
    if (own_) thread_ = std::thread([this] { own_->Run(); });
  }
  ~Simulator() {
    if (own_) {
      own_->Stop();
      thread_.join();
    }
    server_.reset();  // its loop no longer runs: destroyed from here safely
  }
  int port() const { return port_; }

 private:
  std::unique_ptr<TEventLoop> own_;
  std::unique_ptr<smsc::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace velmor::bench
