// The one scripted TCP peer of the tests, on 127.0.0.1: plain blocking POSIX
// sockets on a thread of its own, independent of the platform layer under
// test. It listens on an ephemeral port as soon as it is made; serve() runs
// the script with each accepted connection. A peer that is never served is a
// silent one: connections complete in the kernel's backlog and nothing is
// ever said. A transport such as TLS (tests/common/TlsPeer.h) may carry
// the octets of each accepted connection.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velmor::test {

// What carries the octets of an accepted connection when it is not the bare
// socket. Blocking calls; a result <= 0 means closed or failed.
struct PeerTransport {
  virtual ~PeerTransport() = default;
  virtual long write(const char* data, std::size_t n) = 0;
  virtual long read(char* data, std::size_t n) = 0;
  // Octets already received and decoded above the socket.
  virtual bool buffered() const = 0;
};

// Sets up the transport on an accepted socket; null when that fails (the
// connection is then closed without running the script).
using PeerWrap = std::function<std::shared_ptr<PeerTransport>(int fd)>;

class PeerConn {
 public:
  explicit PeerConn(int fd, std::shared_ptr<PeerTransport> t = nullptr) : fd_(fd), t_(std::move(t)) {}
  int fd() const { return fd_; }

  void send(const std::string& octets) const {
    std::size_t off = 0;
    while (off < octets.size()) {
      const ssize_t n = t_ ? t_->write(octets.data() + off, octets.size() - off)
                           : ::send(fd_, octets.data() + off, octets.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<std::size_t>(n);
    }
  }

  // Reads exactly n octets, or fewer if the connection ends or the timeout
  // passes.
  std::string recv(std::size_t n, int timeout_ms = 5000) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (!(t_ && t_->buffered()) && ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[65536];
      const ssize_t r = read(buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }

  // Reads one whole PDU by its command_length (empty on timeout or close).
  std::string recv_pdu(int timeout_ms = 5000) const {
    std::string head = recv(4, timeout_ms);
    if (head.size() < 4) return {};
    const std::uint32_t len = (std::uint32_t(std::uint8_t(head[0])) << 24) |
                              (std::uint32_t(std::uint8_t(head[1])) << 16) |
                              (std::uint32_t(std::uint8_t(head[2])) << 8) | std::uint8_t(head[3]);
    if (len < 4) return head;
    return head + recv(len - 4, timeout_ms);
  }

  // True once the other side has closed (reads return 0) within the timeout.
  bool wait_closed(int timeout_ms = 5000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if ((t_ && t_->buffered()) || ::poll(&p, 1, 50) > 0) {
        const ssize_t r = read(buf, sizeof buf);
        if (r <= 0) return true;
      }
    }
    return false;
  }

  // True when the next thing the other side does within the timeout is to
  // close the connection, with no octet before it.
  bool eof(int timeout_ms = 5000) const {
    pollfd p{fd_, POLLIN, 0};
    char b;
    return ::poll(&p, 1, timeout_ms) == 1 && ::recv(fd_, &b, 1, 0) == 0;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Closes with RST instead of FIN.
  void reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  ssize_t read(char* buf, std::size_t n) const { return t_ ? t_->read(buf, n) : ::recv(fd_, buf, n, 0); }

  int fd_;
  std::shared_ptr<PeerTransport> t_;
};

class LoopbackPeer {
 public:
  explicit LoopbackPeer(PeerWrap wrap = {}) : wrap_(std::move(wrap)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_fd_, 16);
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackPeer() {
    join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }

  int port() const { return port_; }

  // Accepts `connections` connections one after another and runs the script
  // on each; the connection is closed when the script returns.
  void serve(std::function<void(PeerConn&)> script, int connections = 1) {
    thread_ = std::thread([this, script = std::move(script), connections] {
      for (int i = 0; i < connections; ++i) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return;
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        auto transport = wrap_ ? wrap_(fd) : nullptr;
        PeerConn c(fd, transport);
        if (!wrap_ || transport) script(c);
        transport.reset();
        if (c.fd() >= 0) ::close(c.fd());
      }
      done_ = true;
    });
  }

  void join() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_; }

 private:
  PeerWrap wrap_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

// Descriptors this process holds open, for leak checks.
inline int open_fds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// A port on 127.0.0.1 with nobody listening.
inline int closed_port() {
  LoopbackPeer p;
  return p.port();  // the listener closes with p
}

}  // namespace velmor::test
