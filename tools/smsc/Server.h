// The SMSC simulator on the network: a TServerSocket accepting any number of
// ESME connections, one Session each, all served by one TEventLoop.
//
// Thread: construct, use and destroy the Server on the loop's thread (or
// before the loop runs); its notifications arrive there too.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Smsc.h"
#include "platform/EventLoop.h"
#include "platform/ScktComp.h"

namespace velmor::smsc {

class Server {
 public:
  explicit Server(Config config = {}, TEventLoop& loop = TEventLoop::Default());
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // TLS for the listener (certificate and key files; see TServerSocket::
  // SetTLS), taking effect at the next start().
  void set_tls(const TTLSOptions& options);
  // Starts listening on host:port (port 0: an ephemeral one, see port()).
  // False when the address cannot be bound, or the TLS certificate or key
  // cannot be loaded.
  bool start(const std::string& host, int port);
  // Stops listening and drops every connection.
  void stop();
  // An orderly end: sends unbind to every bound session, refuses new
  // connections, waits up to unbind_wait for the unbind_resp of each (a
  // session closes as soon as its own arrives), then stops as stop() does
  // and calls done (from the loop; done may destroy the Server). Before
  // start(), or with nothing bound, done is called at once. A second call
  // while one is under way only replaces done.
  void shutdown(std::chrono::milliseconds unbind_wait, std::function<void()> done);
  bool active() const;
  // The port actually bound, 0 before start().
  int port() const;
  int connections() const { return static_cast<int>(conns_.size()); }

  // The core, for hooks, counters, origination and configuration. Output the
  // core produces outside a notification (deliver_sm injected by a test, for
  // instance) is written by flush() or the next timer tick.
  Smsc& smsc() { return smsc_; }
  void flush();

  // Told the tls_error code of every accepted connection whose TLS
  // handshake failed (that connection is dropped; no session was opened).
  std::function<void(int code)> on_handshake_error;

 private:
  struct Conn {
    TCustomWinSocket* socket = nullptr;
    SessionId session = 0;
    Flush flush;
    std::vector<std::string> pieces;  // split writes still to go, one per tick
    std::size_t next_piece = 0;
    bool closing = false;
    bool closed = false;
  };

  void on_connect(TCustomWinSocket* socket);
  void on_read(TCustomWinSocket* socket);
  void on_disconnect(TCustomWinSocket* socket);
  void on_timer();
  void write(Session& s);
  void pump(Conn& c);
  // Ends a shutdown once no session still waits for its unbind_resp, or its
  // time is up.
  void check_shutdown(TimePoint now);

  TEventLoop& loop_;
  Smsc smsc_;
  std::unique_ptr<TServerSocket> listener_;
  std::unique_ptr<TTimer> timer_;
  std::unordered_map<TCustomWinSocket*, std::unique_ptr<Conn>> conns_;
  std::string read_buffer_;
  bool shutting_down_ = false;
  TimePoint shutdown_deadline_{};
  std::function<void()> shutdown_done_;
};

// Runs a simulator on host:port until loop.Stop() is called, over TLS when
// tls.enabled. on_listening, if given, is told the port actually bound before
// the loop starts; on_handshake_error as Server's. Returns 0 after the loop
// stops, 1 when the address cannot be bound or the TLS files cannot be used.
int run_standalone(const Config& config, const std::string& host, int port, TEventLoop& loop,
                   const std::function<void(int port)>& on_listening = {}, const TTLSOptions& tls = {},
                   const std::function<void(int code)>& on_handshake_error = {});

}  // namespace velmor::smsc
