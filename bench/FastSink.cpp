#include "bench/FastSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_map>

#include "codec/Framer.h"
#include "pdu/Body.h"

namespace velmor::bench {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// One client connection: what it sent that is not yet a whole PDU, and the
// responses not yet written.
struct Conn {
  int fd;
  codec::Framer in{1u << 20};
  std::string out;
  std::size_t out_at = 0;
  explicit Conn(int f) : fd(f) {}
};

// Appends one response PDU whose body is at most one C-Octet String.
void respond(std::string& out, Cardinal id, Cardinal status, Cardinal seq, std::string_view cstr, bool body) {
  const std::size_t len = codec::header_size + (body ? cstr.size() + 1 : 0);
  const std::size_t at = out.size();
  out.resize(at + len);
  codec::Writer w(out.data() + at, len);
  codec::write_header(w, {static_cast<Cardinal>(len), id, status, seq});
  if (body) w.cstring(cstr);
}

// Decimal digits of n, into buf (at least 20 octets); returns the view.
std::string_view decimal(std::uint64_t n, char* buf) {
  char* end = buf + 20;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  return {p, static_cast<std::size_t>(end - p)};
}

// Writes what is pending; false when the connection is gone.
bool flush(Conn& c) {
  while (c.out_at < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL);
    if (n > 0) {
      c.out_at += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  c.out.clear();
  c.out_at = 0;
  return true;
}

}  // namespace

FastSink::FastSink(int port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) fail("fast sink: socket");
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 4096) != 0) {
    const int e = errno;
    ::close(listen_fd_);
    errno = e;
    fail("fast sink: bind/listen on 127.0.0.1");
  }
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    ::close(listen_fd_);
    fail("fast sink: eventfd");
  }
}

FastSink::~FastSink() {
  stop();
  ::close(listen_fd_);
  ::close(wake_fd_);
}

void FastSink::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void FastSink::stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
  thread_.join();
  std::uint64_t drained;
  (void)!::read(wake_fd_, &drained, sizeof drained);
}

void FastSink::run() {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;  // the listening socket
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd_, &ev);
  ev.data.ptr = &wake_fd_;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, wake_fd_, &ev);

  std::unordered_map<Conn*, std::unique_ptr<Conn>> conns;
  auto drop = [&](Conn* c) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    ::close(c->fd);
    conns.erase(c);
  };
  // Answers every whole PDU buffered on c; false when c must be closed.
  std::uint64_t message_id = 0;
  auto answer = [&](Conn& c) {
    std::uint64_t submitted = 0;
    char digits[20];
    for (;;) {
      const codec::Frame f = c.in.next();
      if (f.kind == codec::Frame::Kind::need_more) break;
      if (f.kind == codec::Frame::Kind::unframeable || f.short_length()) return false;
      codec::Cursor cur(f.octets);
      const codec::Header h = codec::read_header(cur);
      switch (h.command_id) {
        case command_id::submit_sm:
          ++submitted;
          respond(c.out, command_id::submit_sm_resp, 0, h.sequence_number, decimal(++message_id, digits), true);
          break;
        case command_id::enquire_link:
          respond(c.out, command_id::enquire_link_resp, 0, h.sequence_number, {}, false);
          break;
        case command_id::bind_transmitter:
        case command_id::bind_receiver:
        case command_id::bind_transceiver:
          respond(c.out, codec::response_id(h.command_id), 0, h.sequence_number, "fastsink", true);
          break;
        case command_id::unbind: respond(c.out, command_id::unbind_resp, 0, h.sequence_number, {}, false); break;
        default:
          if (!codec::is_response(h.command_id))
            respond(c.out, command_id::generic_nack, command_status::ESME_RINVCMDID, h.sequence_number, {}, false);
          break;
      }
    }
    if (submitted) submits_.fetch_add(submitted, std::memory_order_relaxed);
    return true;
  };

  epoll_event events[256];
  for (bool running = true; running;) {
    const int n = ::epoll_wait(ep, events, 256, -1);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &wake_fd_) {
        running = false;
      } else if (tag == nullptr) {
        for (;;) {
          const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0) break;
          const int one = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          auto conn = std::make_unique<Conn>(fd);
          epoll_event cev{};
          cev.events = EPOLLIN | EPOLLRDHUP;
          cev.data.ptr = conn.get();
          ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev);
          conns.emplace(conn.get(), std::move(conn));
        }
      } else {
        Conn* c = static_cast<Conn*>(tag);
        bool alive = true;
        if (events[i].events & EPOLLOUT) alive = flush(*c);
        if (alive && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
          char* room = c->in.prepare(64 * 1024);
          const ssize_t got = ::recv(c->fd, room, 64 * 1024, 0);
          if (got > 0) {
            c->in.commit(static_cast<std::size_t>(got));
            alive = answer(*c) && flush(*c);
          } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            alive = false;
          }
        }
        if (!alive) {
          drop(c);
          continue;
        }
        // Wait for room only while responses are pending.
        epoll_event cev{};
        cev.events = EPOLLIN | EPOLLRDHUP | (c->out.empty() ? 0u : static_cast<unsigned>(EPOLLOUT));
        cev.data.ptr = c;
        if ((events[i].events & EPOLLOUT) || !c->out.empty()) ::epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &cev);
      }
    }
  }
  for (auto& [p, c] : conns) ::close(c->fd);
  ::close(ep);
}

}  // namespace velmor::bench
