#include "tools/smsc/Server.h"

namespace velmor::smsc {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

Server::Server(Config config, TEventLoop& loop)
    : loop_(loop),
      smsc_(std::move(config)),
      listener_(std::make_unique<TServerSocket>(nullptr, loop)),
      timer_(std::make_unique<TTimer>(nullptr, loop)),
      read_buffer_(kReadChunk, '\0') {
  listener_->OnClientConnect = [this](TObject*, TCustomWinSocket* s) { on_connect(s); };
  listener_->OnClientRead = [this](TObject*, TCustomWinSocket* s) { on_read(s); };
  listener_->OnClientDisconnect = [this](TObject*, TCustomWinSocket* s) { on_disconnect(s); };
  // Errors of a session end in OnClientDisconnect, where the session is
  // dropped; a failed TLS handshake comes without a connection object.
  listener_->OnClientError = [this](TObject*, TCustomWinSocket* s, TErrorEvent, int& code) {
    if (s == nullptr && code >= tls_error::first && code <= tls_error::last && on_handshake_error)
      on_handshake_error(code);
  };
  timer_->OnTimer = [this](TObject*) { on_timer(); };
}

Server::~Server() {
  // Destroying the sockets first guarantees no notification reaches a
  // half-destroyed Server.
  timer_.reset();
  listener_.reset();
}

void Server::set_tls(const TTLSOptions& options) { listener_->SetTLS(options); }

bool Server::start(const std::string& host, int port) {
  listener_->SetAddress(host);
  listener_->SetPort(port);
  if (!listener_->Open()) return false;
  const Config& cfg = smsc_.config();
  // Split writes go out one per tick, so a fine tick keeps them quick.
  timer_->SetInterval(!cfg.split_offsets.empty() || cfg.split_random ? 1 : 5);
  timer_->SetEnabled(true);
  return true;
}

void Server::stop() {
  timer_->SetEnabled(false);
  listener_->Close();
}

bool Server::active() const { return listener_->Active(); }

int Server::port() const { return listener_->Active() ? listener_->LocalPort() : 0; }

void Server::shutdown(std::chrono::milliseconds unbind_wait, std::function<void()> done) {
  shutdown_done_ = std::move(done);
  if (shutting_down_) return;
  shutting_down_ = true;
  const TimePoint now = Clock::now();
  shutdown_deadline_ = now + unbind_wait;
  smsc_.unbind_all(now);
  flush();
  timer_->SetEnabled(true);
  check_shutdown(now);
}

void Server::check_shutdown(TimePoint now) {
  bool waiting = false;
  smsc_.for_each_session([&](Session& s) {
    if (s.unbinding()) waiting = true;
  });
  if (waiting && now < shutdown_deadline_) return;
  stop();
  shutting_down_ = false;
  // Last: the callback may destroy this Server.
  if (auto done = std::move(shutdown_done_)) {
    shutdown_done_ = nullptr;
    done();
  }
}

void Server::on_connect(TCustomWinSocket* socket) {
  if (shutting_down_) {
    socket->Close();  // no new sessions while the others are unbinding
    return;
  }
  auto conn = std::make_unique<Conn>();
  conn->socket = socket;
  Session& s = smsc_.open_session(socket->RemoteAddress() + ":" + std::to_string(socket->RemotePort()));
  conn->session = s.id();
  s.user = conn.get();
  socket->Data = conn.get();
  conns_.emplace(socket, std::move(conn));
}

void Server::on_read(TCustomWinSocket* socket) {
  const auto it = conns_.find(socket);
  if (it == conns_.end()) return;
  Session* s = smsc_.session(it->second->session);
  if (s == nullptr) return;
  const TimePoint now = Clock::now();
  for (;;) {
    const int n = socket->ReceiveBuf(read_buffer_.data(), static_cast<int>(read_buffer_.size()));
    if (n <= 0) break;
    s->feed(std::string_view(read_buffer_.data(), static_cast<std::size_t>(n)), now);
    if (static_cast<std::size_t>(n) < read_buffer_.size()) break;
  }
  // Everything this read caused, including receipts that fell due meanwhile,
  // goes out as one write per session.
  smsc_.tick(now);
  flush();
}

void Server::on_disconnect(TCustomWinSocket* socket) {
  const auto it = conns_.find(socket);
  if (it == conns_.end()) return;
  smsc_.close_session(it->second->session);
  conns_.erase(it);
}

void Server::on_timer() {
  const TimePoint now = Clock::now();
  smsc_.tick(now);
  flush();
  for (auto& [socket, conn] : conns_) pump(*conn);
  if (shutting_down_) check_shutdown(now);
}

void Server::flush() {
  smsc_.drain_dirty([this](Session& s) { write(s); });
}

void Server::write(Session& s) {
  auto* c = static_cast<Conn*>(s.user);
  if (c == nullptr || c->closed) return;
  if (!s.take(Clock::now(), c->flush)) return;
  const Flush& f = c->flush;
  if (f.cuts.empty() && c->next_piece == c->pieces.size()) {
    if (!f.octets.empty()) c->socket->SendBuf(f.octets.data(), static_cast<int>(f.octets.size()));
  } else {
    for (std::string_view p : f.pieces()) c->pieces.emplace_back(p);
  }
  if (f.close) c->closing = true;
  pump(*c);
}

void Server::pump(Conn& c) {
  if (c.closed) return;
  // One piece per turn, and only once the kernel has the previous one, so
  // each piece reaches the peer as a write of its own.
  if (c.next_piece < c.pieces.size() && c.socket->QueuedOctets() == 0) {
    const std::string& p = c.pieces[c.next_piece++];
    c.socket->SendBuf(p.data(), static_cast<int>(p.size()));
  }
  if (c.next_piece == c.pieces.size()) {
    c.pieces.clear();
    c.next_piece = 0;
  }
  // Close drops what is still queued, so wait until the last octet is out.
  if (c.closing && c.pieces.empty() && c.socket->QueuedOctets() == 0) {
    c.closed = true;
    c.socket->Close();
  }
}

int run_standalone(const Config& config, const std::string& host, int port, TEventLoop& loop,
                   const std::function<void(int port)>& on_listening, const TTLSOptions& tls,
                   const std::function<void(int code)>& on_handshake_error) {
  Server server(config, loop);
  server.set_tls(tls);
  server.on_handshake_error = on_handshake_error;
  if (!server.start(host, port)) return 1;
  if (on_listening) on_listening(server.port());
  loop.Run();
  return 0;
}

}  // namespace velmor::smsc
