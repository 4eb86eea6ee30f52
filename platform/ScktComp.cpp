#include "platform/ScktComp.h"

#include <cerrno>
#include <cstring>
#include <list>
#include <optional>
#include <utility>
#include <vector>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "platform/TlsEngine.h"

namespace velmor {
namespace detail {

using asio::ip::tcp;

// An OpenSSL context shared by the connections of one socket component; each
// connection holds it as long as its TLS stream lives.
struct TlsContext {
  TlsContext(ssl_ctx_st* handle, const TTLSOptions& options) : ctx(handle), options(options) {}
  asio::ssl::context ctx;
  TTLSOptions options;
};

// Decrypted octets held per TLS connection. Records that have already
// arrived are decrypted together, up to this much, before one read
// notification: the peer's records then reach the application as the
// kernel would hand over plain octets, not one notification per peer write
// (which would make both sides answer in tiny records).
constexpr std::size_t kTlsRxCapacity = 64 * 1024;
// A read from the stream returns one record at most.
constexpr std::size_t kTlsRecord = 16 * 1024;
// Receive buffer of a plain TCP connection: allocated at the first readiness
// (a connection that has received nothing holds none), doubled after a read
// that fills it, back to the first size after a run of reads that use little
// of it, so an idle connection holds 256 octets and a busy one takes what the
// kernel has in one read.
constexpr std::uint32_t kRxFirst = 256;
constexpr std::uint32_t kRxMost = 64 * 1024;
constexpr unsigned kSmallReadsBeforeShrink = 16;

// The code a TLS-level failure is reported with; errors of the socket under
// it keep the system's errno.
int stream_error_code(const asio::error_code& ec) {
  if (ec.category() == asio::error::get_ssl_category() || ec.category() == asio::ssl::error::get_stream_category())
    return tls_error::protocol;
  return ec.value();
}

// Receives the notifications of connections. Owned jointly by the socket
// component and its connections, so a connection may outlive its component
// (an operation still in flight) and simply finds the sink detached.
struct Sink {
  virtual ~Sink() = default;
  virtual void connecting(Conn& c) = 0;
  virtual void connected(Conn& c) = 0;
  virtual void readable(Conn& c) = 0;
  virtual void closed(Conn& c) = 0;
  // Returns false when nobody listens any more.
  virtual bool error(Conn& c, TErrorEvent ev, int code) = 0;
};

// One TCP connection, optionally under TLS. Asynchronous operations hold a
// shared_ptr to it, so their completions always find valid memory; whether
// anybody still listens is decided by the sink.
//
// Reads go into the connection's buffer (over TLS: decrypted octets), one
// read per readiness, and ReceiveBuf answers from what the buffer holds; the
// next read starts only once the buffer is empty, and octets left unread are
// notified again from the loop, as the kernel's would be. Over plain TCP the
// read is Asio's speculative async_read_some: no FIONREAD, no re-registration
// with the reactor per read.
//
// Writes over plain TCP: PDUs queued inside a read notification are gathered
// and go out in one write as soon as the notification returns; outside one,
// the first PDU is written at once and the rest of that turn of the loop
// gathered into one write. Over TLS each write starts at once. What the
// kernel does not take at once goes out asynchronously, and PDUs queued
// meanwhile join the next write.
class Conn : public std::enable_shared_from_this<Conn> {
 public:
  enum class State { idle, opening, connected, closed };

  Conn(asio::io_context& ctx, std::shared_ptr<Sink> sink) : ctx_(ctx), sock(ctx), sink(std::move(sink)) {}

  asio::io_context& ctx_;
  tcp::socket sock;
  std::shared_ptr<TlsContext> tls_ctx;
  std::unique_ptr<asio::ssl::stream<tcp::socket&>> tls;  // declared after sock: goes first
  std::unique_ptr<asio::steady_timer> handshake_timer;
  std::unique_ptr<char[]> rx;  // received octets [rx_at, rx_len) not yet taken by ReceiveBuf
  std::size_t rx_at = 0, rx_len = 0;
  // Kept small (a connection object per idle session): rx's size, the size
  // it takes once it is empty (0: unchanged), consecutive reads that used at
  // most 1/8 of it, and the depth of read notifications, inside which sends
  // are gathered.
  std::uint32_t rx_cap = 0, next_rx_cap = 0;
  std::uint16_t in_read = 0;
  std::uint8_t small_reads = 0;
  bool notify_posted = false;
  bool gathering = false;  // a flush of the sends made outside a read notification is posted
  std::unique_ptr<tcp::resolver> resolver;
  std::unique_ptr<asio::steady_timer> connect_timer;
  std::shared_ptr<Sink> sink;
  TCustomWinSocket* handle = nullptr;  // null once the connection object is gone
  State state = State::idle;
  bool was_connected = false;  // OnDisconnect is owed exactly once
  std::string pending;         // queued by SendText, not yet handed to the kernel
  std::string writing;         // the write in flight
  bool write_active = false;
  bool read_armed = false;
  // Errors raised inside a call (a send refused) wait here for the loop, as
  // runs of equal errors, so a flood of refused sends costs O(1) memory.
  struct ErrorRun {
    TErrorEvent ev;
    int code;
    std::size_t count;
  };
  // Delivered up to errors_at. A vector, not a deque: an empty one holds no
  // memory, and every connection object has one.
  std::vector<ErrorRun> deferred_errors;
  std::size_t errors_at = 0;
  bool errors_posted = false;

  std::size_t queued() const { return pending.size() + writing.size(); }

  // Entered the established state: notify, then start watching for input.
  void established() {
    asio::error_code ec;
    sock.set_option(tcp::no_delay(true), ec);
    sock.non_blocking(true, ec);
    state = State::connected;
    was_connected = true;
    auto self = shared_from_this();
    sink->connected(*this);
    if (state == State::connected) arm_read();
  }

  void arm_read() {
    if (state != State::connected) return;
    if (rx_at < rx_len) return post_notify();
    if (read_armed) return;
    rx_at = rx_len = 0;
    if (tls) {
      if (!rx) rx = std::make_unique<char[]>(kTlsRxCapacity), rx_cap = kTlsRxCapacity;
      return read_tls_record();
    }
    read_armed = true;
    if (!rx) {
      // Nothing received yet: wait without holding a buffer.
      sock.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
        self->read_armed = false;
        if (self->state != State::connected) return;
        if (ec) return self->on_read(ec, 0);
        self->size_rx(kRxFirst);
        asio::error_code e;
        const std::size_t n = self->sock.read_some(asio::buffer(self->rx.get(), self->rx_cap), e);
        if (e == asio::error::would_block || e == asio::error::try_again) return self->arm_read();
        self->on_read(e, n);
      });
      return;
    }
    sock.async_read_some(asio::buffer(rx.get(), rx_cap),
                         [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                           self->read_armed = false;
                           self->on_read(ec, n);
                         });
  }

  void size_rx(std::uint32_t cap) {
    if (rx && rx_cap == cap) return;
    rx = std::make_unique<char[]>(cap);
    rx_cap = cap;
  }

  // A plain TCP read completed with n octets (0 with an error or the end).
  void on_read(const asio::error_code& ec, std::size_t n) {
    if (state != State::connected) return;
    if (n > 0) {
      rx_len = n;
      // The next buffer's size, chosen now and applied once this one is empty.
      if (n == rx_cap && rx_cap < kRxMost)
        next_rx_cap = rx_cap * 2, small_reads = 0;
      else if (n <= rx_cap / 8 && rx_cap > kRxFirst && ++small_reads >= kSmallReadsBeforeShrink)
        next_rx_cap = kRxFirst, small_reads = 0;
      else if (n > rx_cap / 8)
        small_reads = 0;
      deliver();
      if (state != State::connected) return;
    }
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      if (ec == asio::error::eof) return peer_closed();
      return fail(TErrorEvent::eeReceive, ec.value());
    }
    if (rx_at == rx_len && next_rx_cap) size_rx(std::exchange(next_rx_cap, 0));
    arm_read();
  }

  // One read notification; what the handler sent meanwhile goes out in one
  // write once it returns.
  void deliver() {
    struct Gather {
      Conn& c;
      explicit Gather(Conn& conn) : c(conn) { ++c.in_read; }
      ~Gather() { --c.in_read; }
    };
    auto self = shared_from_this();
    {
      Gather g(*this);
      sink->readable(*this);  // may close, reopen or destroy anything
    }
    if (in_read == 0) flush();
  }

  void post_notify() {
    if (notify_posted) return;
    notify_posted = true;
    asio::post(ctx_, [self = shared_from_this()] {
      self->notify_posted = false;
      if (self->state != State::connected || self->rx_at == self->rx_len) return self->arm_read();
      self->deliver();
      self->arm_read();
    });
  }

  void read_tls_record() {
    read_armed = true;
    tls->async_read_some(asio::buffer(rx.get() + rx_len, kTlsRxCapacity - rx_len),
                         [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                           self->read_armed = false;
                           self->on_tls_read(ec, n);
                         });
  }

  void on_tls_read(const asio::error_code& ec, std::size_t n) {
    if (state != State::connected) return;
    rx_len += n;
    if (!ec && kTlsRxCapacity - rx_len >= kTlsRecord) {
      asio::error_code e;
      if (tls_has_input(tls->native_handle()) || sock.available(e) > 0) return read_tls_record();
    }
    // What arrived before an error or the peer's close is delivered first.
    if (rx_at < rx_len) {
      deliver();
      if (state != State::connected) return;
    }
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      // A peer that closes without close_notify has still closed: SMPP ends
      // its sessions with unbind, not with the TLS alert.
      if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) return peer_closed();
      return fail(TErrorEvent::eeReceive, stream_error_code(ec));
    }
    arm_read();
  }

  // Starts the TLS handshake on the connected socket; `done` runs once it
  // has succeeded, `failed` with a tls_error code when it fails or times out.
  // Both run only while the connection is still opening.
  void start_tls(std::shared_ptr<TlsContext> context, asio::ssl::stream_base::handshake_type type,
                 const std::string& host, std::function<void()> done, std::function<void(int)> failed) {
    tls_ctx = std::move(context);
    tls = std::make_unique<asio::ssl::stream<tcp::socket&>>(sock, tls_ctx->ctx);
    if (type == asio::ssl::stream_base::client) tls_prepare_client(tls->native_handle(), tls_ctx->options, host);
    const auto timeout = tls_ctx->options.handshake_timeout;
    auto self = shared_from_this();
    if (timeout.count() > 0) {
      handshake_timer = std::make_unique<asio::steady_timer>(ctx_);
      handshake_timer->expires_after(timeout);
      handshake_timer->async_wait([self, failed](const asio::error_code& ec) {
        if (!ec && self->state == State::opening) failed(tls_error::handshake_timeout);
      });
    }
    tls->async_handshake(type, [self, done = std::move(done), failed](const asio::error_code& ec) {
      if (self->state != State::opening) return;
      if (self->handshake_timer) self->handshake_timer->cancel();
      if (ec) return failed(tls_handshake_error(self->tls->native_handle()));
      done();
    });
  }

  // Answers from the buffer only: the octets of the last read not yet taken.
  int receive(void* buf, int count) {
    if (state != State::connected) return 0;
    const std::size_t ready = rx_len - rx_at;
    if (buf == nullptr && count == -1) return static_cast<int>(ready);
    if (buf == nullptr || count <= 0) return 0;
    const std::size_t n = std::min(ready, static_cast<std::size_t>(count));
    if (n) std::memcpy(buf, rx.get() + rx_at, n);
    rx_at += n;
    return static_cast<int>(n);
  }

  int send(const char* data, std::size_t n, std::size_t limit) {
    if (state != State::connected) {
      post_error(TErrorEvent::eeSend, socket_error::not_connected);
      return -1;
    }
    if (queued() + n > limit) {
      post_error(TErrorEvent::eeSend, socket_error::send_queue_full);
      return -1;
    }
    pending.append(data, n);
    // Over TLS every send starts its write at once, as a Close right after it
    // cannot hand gathered octets to the kernel without waiting.
    if (write_active || (!tls && (in_read > 0 || gathering))) return static_cast<int>(n);
    flush();
    if (!tls && !write_active) {
      // The rest of this turn's sends are gathered into one write.
      gathering = true;
      asio::post(ctx_, [self = shared_from_this()] {
        self->gathering = false;
        self->flush();
      });
    }
    return static_cast<int>(n);
  }

  // Hands everything queued to the kernel: at once over plain TCP as far as
  // it takes it, the rest (and everything over TLS) by one asynchronous
  // write; PDUs queued while that is in flight are gathered into the next.
  void flush() {
    if (pending.empty() || write_active || state != State::connected) return;
    if (!tls) {
      asio::error_code e;
      const std::size_t n = sock.send(asio::buffer(pending), 0, e);
      if (!e && n == pending.size()) {
        pending.clear();
        return;
      }
      // A partial write, a full kernel buffer or an error: the asynchronous
      // write finishes the job, or reports the error from the loop.
      if (!e) pending.erase(0, n);
    }
    write_active = true;
    writing.swap(pending);
    auto written = [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
      self->write_active = false;
      self->writing.clear();
      if (ec) {
        if (ec != asio::error::operation_aborted && self->state == State::connected)
          self->fail(TErrorEvent::eeSend, stream_error_code(ec));
        return;
      }
      self->flush();
    };
    if (tls)
      asio::async_write(*tls, asio::buffer(writing), std::move(written));
    else
      asio::async_write(sock, asio::buffer(writing), std::move(written));
  }

  void post_error(TErrorEvent ev, int code) {
    if (errors_at < deferred_errors.size() && deferred_errors.back().ev == ev && deferred_errors.back().code == code)
      ++deferred_errors.back().count;
    else
      deferred_errors.push_back({ev, code, 1});
    if (errors_posted) return;
    errors_posted = true;
    asio::post(ctx_, [self = shared_from_this()] { self->deliver_errors(); });
  }

  // One notification per refused send, in order; stops as soon as nobody
  // listens any more (the sink decides), dropping what is left.
  void deliver_errors() {
    auto self = shared_from_this();
    while (errors_at < deferred_errors.size()) {
      ErrorRun& run = deferred_errors[errors_at];
      const TErrorEvent ev = run.ev;
      const int code = run.code;
      if (--run.count == 0) ++errors_at;
      if (!sink->error(*this, ev, code)) break;
    }
    deferred_errors.clear();
    errors_at = 0;
    errors_posted = false;
  }

  // Closes the socket without notifying anybody.
  void shutdown() {
    state = State::closed;
    asio::error_code e;
    if (resolver) resolver->cancel();
    if (connect_timer) connect_timer->cancel();
    if (handshake_timer) handshake_timer->cancel();
    rx_at = rx_len = 0;
    sock.shutdown(tcp::socket::shutdown_both, e);
    sock.close(e);
    pending.clear();
  }

  // Closed by the application: OnDisconnect follows from the loop if the
  // connection had been established.
  void close() {
    if (state == State::closed || state == State::idle) {
      state = State::closed;
      return;
    }
    const bool owed = state == State::connected;
    // What a read handler sent just before closing is still gathered: give
    // it to the kernel first, as far as it takes it without waiting.
    if (owed && !tls && !write_active && !pending.empty()) {
      asio::error_code e;
      sock.send(asio::buffer(pending), 0, e);
    }
    shutdown();
    if (owed) asio::post(ctx_, [self = shared_from_this()] { self->sink->closed(*self); });
  }

  void peer_closed() {
    shutdown();
    sink->closed(*this);
  }

  // An error ends the connection: OnError first, then OnDisconnect if it had
  // been established.
  void fail(TErrorEvent ev, int code) {
    const bool owed = state == State::connected;
    shutdown();
    auto self = shared_from_this();
    sink->error(*this, ev, code != 0 ? code : EIO);
    if (owed) sink->closed(*this);
  }
};

}  // namespace detail

using asio::ip::tcp;
using detail::Conn;

// ---- TCustomWinSocket ------------------------------------------------------

TCustomWinSocket::TCustomWinSocket() = default;

TCustomWinSocket::~TCustomWinSocket() {
  if (FConn) {
    FConn->handle = nullptr;
    FConn->shutdown();
  }
}

bool TCustomWinSocket::Connected() const { return FConn && FConn->state == Conn::State::connected; }

int TCustomWinSocket::SendText(const std::string& S) { return SendBuf(S.data(), static_cast<int>(S.size())); }

int TCustomWinSocket::SendBuf(const void* Buf, int Count) {
  if (!FConn || Count < 0) return -1;
  return FConn->send(static_cast<const char*>(Buf), static_cast<std::size_t>(Count), FSendQueueLimit);
}

int TCustomWinSocket::ReceiveBuf(void* Buf, int Count) { return FConn ? FConn->receive(Buf, Count) : 0; }

void TCustomWinSocket::Close() {
  if (FConn) FConn->close();
}

std::size_t TCustomWinSocket::QueuedOctets() const { return FConn ? FConn->queued() : 0; }

std::string TCustomWinSocket::RemoteAddress() const {
  if (!FConn) return {};
  asio::error_code e;
  auto ep = FConn->sock.remote_endpoint(e);
  return e ? std::string() : ep.address().to_string();
}

int TCustomWinSocket::RemotePort() const {
  if (!FConn) return 0;
  asio::error_code e;
  auto ep = FConn->sock.remote_endpoint(e);
  return e ? 0 : ep.port();
}

std::string TCustomWinSocket::TLSDescription() const {
  if (!FConn || !FConn->tls || FConn->state != Conn::State::connected) return {};
  return detail::tls_description(FConn->tls->native_handle());
}

int TCustomWinSocket::LocalPort() const {
  if (!FConn) return 0;
  asio::error_code e;
  auto ep = FConn->sock.local_endpoint(e);
  return e ? 0 : ep.port();
}

// ---- TClientSocket ---------------------------------------------------------

namespace detail {

struct Access {
  static Conn* conn(TCustomWinSocket& s) { return s.FConn.get(); }
  static std::shared_ptr<Conn>& ptr(TCustomWinSocket& s) { return s.FConn; }
};

struct ClientSink final : Sink {
  TClientSocket* owner = nullptr;  // null once the component is destroyed

  // Connection events reach the component only for its current connection;
  // a replaced connection may still owe its OnDisconnect and errors.
  bool current(Conn& c) const { return owner && Access::conn(*owner->Socket()) == &c; }

  // Runs an event of the component with the loop's one-thread guard held.
  template <class Event>
  void notify(Event& event, TCustomWinSocket* socket) {
    TClientSocket* o = owner;
    TEventLoop& loop = o->Loop();
    event.Dispatch([&](const auto& fn) {
      TEventLoop::TDispatchGuard one_thread(loop);
      fn(o, socket);
    });
  }

  void connecting(Conn& c) override {
    if (current(c)) notify(owner->OnConnecting, c.handle);
  }
  void connected(Conn& c) override {
    if (current(c)) notify(owner->OnConnect, c.handle);
  }
  void readable(Conn& c) override {
    if (current(c)) notify(owner->OnRead, c.handle);
  }
  void closed(Conn& c) override {
    if (!owner || !c.was_connected) return;
    c.was_connected = false;
    notify(owner->OnDisconnect, owner->Socket());
  }
  bool error(Conn& c, TErrorEvent ev, int code) override {
    if (!owner) return false;
    TClientSocket* o = owner;
    TEventLoop& loop = o->Loop();
    int ErrorCode = code;
    o->OnError.Dispatch([&](const auto& fn) {
      TEventLoop::TDispatchGuard one_thread(loop);
      fn(o, o->Socket(), ev, ErrorCode);
    });
    return owner != nullptr;
  }
};

}  // namespace detail

using detail::Access;
using detail::ClientSink;

namespace {

// Host text to an address we may connect to: a literal (IPv6 in brackets or
// not), or nothing when the text must be resolved as a name. Sets `unusable`
// for texts that can never name a peer.
std::optional<asio::ip::address> literal_address(std::string host, bool& unusable) {
  unusable = false;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || host.find('\0') != std::string::npos) {
    unusable = true;
    return std::nullopt;
  }
  asio::error_code e;
  const auto addr = asio::ip::make_address(host, e);
  if (e) {
    // Text that looks numeric but is no valid literal ("1.2.3", "256.1.1.1")
    // is never handed to the resolver, which would read it in legacy forms
    // and connect somewhere the caller did not name.
    const bool numeric =
        host.find_first_not_of("0123456789.") == std::string::npos || host.find(':') != std::string::npos;
    unusable = numeric;
    return std::nullopt;
  }
  if (addr.is_unspecified() || addr.is_multicast() ||
      (addr.is_v4() && addr.to_v4() == asio::ip::address_v4::broadcast())) {
    unusable = true;
    return std::nullopt;
  }
  return addr;
}

}  // namespace

TClientSocket::TClientSocket(TComponent* AOwner, TEventLoop& Loop)
    : TComponent(AOwner), FLoop(Loop), FSink(std::make_shared<ClientSink>()) {
  FSink->owner = this;
  Access::ptr(FSocket) = std::make_shared<Conn>(FLoop.Context(), FSink);
  Access::conn(FSocket)->handle = &FSocket;
}

TClientSocket::~TClientSocket() {
  // From here on no notification reaches this component, whatever is still
  // in flight; FSocket's destructor closes the connection quietly.
  FSink->owner = nullptr;
}

void TClientSocket::SetActive(bool Value) {
  if (Value)
    Open();
  else
    Close();
}

bool TClientSocket::Active() const {
  const Conn* c = Access::conn(const_cast<TCustomWinSocket&>(FSocket));
  return c && (c->state == Conn::State::opening || c->state == Conn::State::connected);
}

void TClientSocket::Open() {
  // The previous connection, if any, is closed and owes its OnDisconnect
  // before this attempt's OnConnecting.
  Access::conn(FSocket)->close();
  auto conn = std::make_shared<Conn>(FLoop.Context(), FSink);
  conn->handle = &FSocket;
  conn->state = Conn::State::opening;
  Access::ptr(FSocket) = conn;

  asio::post(FLoop.Context(), [conn] {
    if (conn->state == Conn::State::opening) conn->sink->connecting(*conn);
  });

  auto fail = [conn](TErrorEvent ev, int code) {
    if (conn->state != Conn::State::opening) return;
    conn->shutdown();
    conn->sink->error(*conn, ev, code);
  };

  if (FPort < 1 || FPort > 65535) {
    asio::post(FLoop.Context(), [fail] { fail(TErrorEvent::eeConnect, socket_error::invalid_port); });
    return;
  }
  const auto port = static_cast<unsigned short>(FPort);

  if (FTLS.enabled && !FTLSContext) {
    int code = 0;
    if (ssl_ctx_st* handle = detail::tls_client_context(FTLS, code))
      FTLSContext = std::make_shared<detail::TlsContext>(handle, FTLS);
    else {
      asio::post(FLoop.Context(), [fail, code] { fail(TErrorEvent::eeConnect, code); });
      return;
    }
  }
  std::shared_ptr<detail::TlsContext> tls = FTLS.enabled ? FTLSContext : nullptr;

  if (FConnectTimeoutMs > 0) {
    conn->connect_timer = std::make_unique<asio::steady_timer>(FLoop.Context());
    conn->connect_timer->expires_after(std::chrono::milliseconds(FConnectTimeoutMs));
    conn->connect_timer->async_wait([fail](const asio::error_code& ec) {
      if (!ec) fail(TErrorEvent::eeConnect, ETIMEDOUT);
    });
  }

  auto on_connect = [conn, fail, tls, host = FHost](const asio::error_code& ec) {
    if (conn->state != Conn::State::opening) return;
    if (ec) return fail(TErrorEvent::eeConnect, ec.value() ? ec.value() : ECONNREFUSED);
    if (conn->connect_timer) conn->connect_timer->cancel();
    if (!tls) return conn->established();
    conn->start_tls(
        tls, asio::ssl::stream_base::client, host, [conn] { conn->established(); },
        [fail](int code) { fail(TErrorEvent::eeConnect, code); });
  };

  bool unusable = false;
  const auto addr = literal_address(FHost, unusable);
  if (unusable) {
    asio::post(FLoop.Context(), [fail] { fail(TErrorEvent::eeLookup, socket_error::invalid_host); });
    return;
  }
  if (addr) {
    conn->sock.async_connect(tcp::endpoint(*addr, port), on_connect);
    return;
  }
  conn->resolver = std::make_unique<tcp::resolver>(FLoop.Context());
  conn->resolver->async_resolve(
      FHost, std::to_string(port), tcp::resolver::numeric_service,
      [conn, fail, on_connect](const asio::error_code& ec, tcp::resolver::results_type results) {
        if (conn->state != Conn::State::opening) return;
        if (ec || results.empty()) {
          // Resolver codes are negative (EAI_*); the netdb family's small
          // positive values would read as unrelated errno values, so every
          // other lookup failure is reported as an unusable host.
          int code = socket_error::invalid_host;
          if (ec.category() == asio::error::get_addrinfo_category() && ec.value() < 0)
            code = ec.value();
          else if (ec.category() == asio::error::get_system_category() && ec.value() > 0)
            code = ec.value();
          return fail(TErrorEvent::eeLookup, code);
        }
        asio::async_connect(conn->sock, results,
                            [on_connect](const asio::error_code& e, const tcp::endpoint&) { on_connect(e); });
      });
}

void TClientSocket::Close() { Access::conn(FSocket)->close(); }

void TClientSocket::SetTLS(const TTLSOptions& Options) {
  FTLS = Options;
  FTLSContext.reset();
}

// ---- TServerSocket ---------------------------------------------------------

struct TServerSocket::Impl final : detail::Sink, std::enable_shared_from_this<TServerSocket::Impl> {
  explicit Impl(asio::io_context& ctx) : ctx(ctx), acceptor(ctx) {}

  asio::io_context& ctx;
  tcp::acceptor acceptor;
  TServerSocket* owner = nullptr;  // null once the component is destroyed
  std::list<std::unique_ptr<TCustomWinSocket>> clients;
  std::shared_ptr<detail::TlsContext> tls;       // set while listening with TLS
  std::vector<std::weak_ptr<Conn>> handshaking;  // accepted, handshake not done yet

  // Hands an accepted connection to the application: it gets its
  // connection object and OnClientConnect.
  void admit(const std::shared_ptr<Conn>& conn) {
    auto sock = std::make_unique<TCustomWinSocket>();
    Access::ptr(*sock) = conn;
    conn->handle = sock.get();
    clients.push_back(std::move(sock));
    conn->established();
  }

  // Over TLS a connection is admitted once its handshake succeeds; a
  // failure is reported without a connection object and the socket dropped.
  void handshake(const std::shared_ptr<Conn>& conn) {
    std::erase_if(handshaking, [](const auto& w) { return w.expired() || w.lock()->state != Conn::State::opening; });
    handshaking.push_back(conn);
    conn->state = Conn::State::opening;
    auto self = shared_from_this();
    conn->start_tls(
        tls, asio::ssl::stream_base::server, {},
        [self, conn] {
          if (!self->owner || !self->acceptor.is_open()) return conn->shutdown();
          self->admit(conn);
        },
        [self, conn](int code) {
          conn->shutdown();
          if (self->owner && self->owner->OnClientError) {
            auto fn = self->owner->OnClientError;
            fn(self->owner, nullptr, TErrorEvent::eeAccept, code);
          }
        });
  }

  // Stops the handshakes in progress, without notifications.
  void drop_handshakes() {
    for (auto& w : handshaking)
      if (auto c = w.lock()) c->shutdown();
    handshaking.clear();
  }

  void accept() {
    acceptor.async_accept([self = shared_from_this()](const asio::error_code& ec, tcp::socket s) {
      if (!self->owner || !self->acceptor.is_open()) return;
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        if (self->owner->OnClientError) {
          auto fn = self->owner->OnClientError;
          int code = ec.value();
          fn(self->owner, nullptr, TErrorEvent::eeAccept, code);
        }
        if (self->owner) self->accept();
        return;
      }
      auto conn = std::make_shared<Conn>(self->ctx, self);
      conn->sock = std::move(s);
      self->accept();  // keep accepting whatever the handler does
      if (self->tls)
        self->handshake(conn);
      else
        self->admit(conn);
    });
  }

  void connecting(Conn&) override {}
  void connected(Conn& c) override {
    if (owner && c.handle && owner->OnClientConnect) {
      auto fn = owner->OnClientConnect;
      fn(owner, c.handle);
    }
  }
  void readable(Conn& c) override {
    if (owner && c.handle) owner->OnClientRead.Dispatch([&](const auto& fn) { fn(owner, c.handle); });
  }
  void closed(Conn& c) override {
    if (!c.was_connected) return;
    c.was_connected = false;
    auto self = shared_from_this();
    TCustomWinSocket* h = c.handle;
    if (owner && h && owner->OnClientDisconnect) {
      auto fn = owner->OnClientDisconnect;
      fn(owner, h);
    }
    // The connection object goes after its last notification.
    if (h && c.handle == h) clients.remove_if([h](const auto& p) { return p.get() == h; });
  }
  bool error(Conn& c, TErrorEvent ev, int code) override {
    if (!owner || !c.handle) return false;
    if (owner->OnClientError) {
      auto fn = owner->OnClientError;
      int ErrorCode = code;
      fn(owner, c.handle, ev, ErrorCode);
    }
    return owner && c.handle;
  }
};

TServerSocket::TServerSocket(TComponent* AOwner, TEventLoop& Loop)
    : TComponent(AOwner), FImpl(std::make_shared<Impl>(Loop.Context())), FLoop(Loop) {
  FImpl->owner = this;
}

TServerSocket::~TServerSocket() {
  FImpl->owner = nullptr;
  asio::error_code e;
  FImpl->acceptor.close(e);
  FImpl->drop_handshakes();
  FImpl->clients.clear();  // each closes quietly
}

bool TServerSocket::Open() {
  asio::error_code e;
  if (FImpl->acceptor.is_open()) return true;
  bool unusable = false;
  auto addr = literal_address(FAddress, unusable);
  if (!addr && !unusable && FAddress == "localhost") addr = asio::ip::make_address("127.0.0.1");
  if (!addr && FAddress == "0.0.0.0") addr = asio::ip::address_v4::any();
  if (!addr || FPort < 0 || FPort > 65535) e = asio::error::invalid_argument;
  int tls_code = 0;
  FImpl->tls.reset();
  if (!e && FTLS.enabled) {
    if (ssl_ctx_st* handle = detail::tls_server_context(FTLS, tls_code))
      FImpl->tls = std::make_shared<detail::TlsContext>(handle, FTLS);
  }
  if (!e && tls_code == 0) {
    tcp::endpoint ep(*addr, static_cast<unsigned short>(FPort));
    FImpl->acceptor.open(ep.protocol(), e);
    if (!e) FImpl->acceptor.set_option(tcp::acceptor::reuse_address(true), e);
    if (!e) FImpl->acceptor.bind(ep, e);
    if (!e) FImpl->acceptor.listen(asio::socket_base::max_listen_connections, e);
  }
  if (e || tls_code != 0) {
    asio::error_code ignore;
    FImpl->acceptor.close(ignore);
    if (OnClientError) {
      auto fn = OnClientError;
      int code = tls_code != 0 ? tls_code : e.value();
      fn(this, nullptr, TErrorEvent::eeAccept, code);
    }
    return false;
  }
  FImpl->accept();
  return true;
}

void TServerSocket::Close() {
  asio::error_code e;
  FImpl->acceptor.close(e);
  FImpl->drop_handshakes();
  for (auto& c : FImpl->clients) c->Close();
}

bool TServerSocket::Active() const { return FImpl->acceptor.is_open(); }

int TServerSocket::LocalPort() const {
  asio::error_code e;
  auto ep = FImpl->acceptor.local_endpoint(e);
  return e ? 0 : ep.port();
}

int TServerSocket::ActiveConnections() const { return static_cast<int>(FImpl->clients.size()); }

}  // namespace velmor
