// A minimal SMSC for benchmarks: it answers bind_transmitter, bind_receiver,
// bind_transceiver, submit_sm, enquire_link and unbind, and nothing else
// (any other request gets generic_nack ESME_RINVCMDID; responses from the
// client are read and dropped). Every response to the PDUs of one read goes
// out in one write, so a pipelined client costs the sink one read and one
// write per batch. It stores nothing, sends no receipts and keeps no
// per-message state: an end-to-end figure against it measures the client.
//
// Plain POSIX sockets and epoll on one thread of its own. The listening
// socket is open (and port() known) from construction; start() starts the
// thread, stop() ends it and closes every connection. start/stop/destructor
// from one controlling thread; submits() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace velmor::bench {

class FastSink {
 public:
  // Listens on 127.0.0.1:port (0: a free port). Throws std::system_error when
  // the port cannot be opened.
  explicit FastSink(int port = 0);
  ~FastSink();
  FastSink(const FastSink&) = delete;
  FastSink& operator=(const FastSink&) = delete;

  int port() const { return port_; }
  void start();
  void stop();
  // submit_sm PDUs answered so far.
  std::uint64_t submits() const { return submits_.load(std::memory_order_relaxed); }

 private:
  void run();

  int listen_fd_ = -1;
  int wake_fd_ = -1;  // eventfd that stop() signals
  int port_ = 0;
  std::thread thread_;
  std::atomic<std::uint64_t> submits_{0};
};

}  // namespace velmor::bench
