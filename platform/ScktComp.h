// Notification-driven TCP sockets of the host, over Asio.
//
// TClientSocket opens one outgoing connection; TServerSocket accepts many.
// Either side talks through a TCustomWinSocket, the connection object, which
// every notification carries. Nothing blocks: Open returns at once, SendText
// queues, and progress arrives as notifications on the loop's thread.
//
// Notifications of a connection, in order: OnConnecting, then OnConnect or
// OnError(eeConnect); while connected, OnRead whenever octets are ready (read
// them with ReceiveBuf; what is left unread is notified again); at the end
// exactly one OnDisconnect, whether the peer closed, Close() was called or an
// error ended it (an error is reported by OnError first).
//
// Every notification is delivered from the loop, never from inside a call the
// application made, so a handler may call anything, including deleting the
// socket or its owner: once a socket is destroyed none of its notifications
// is delivered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Classes.h"
#include "platform/EventHandler.h"
#include "platform/EventLoop.h"
#include "platform/Tls.h"

namespace velmor {

enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };
enum class TClientType { ctNonBlocking, ctBlocking };

// Error codes that the platform itself reports (others are the system's errno
// values, negative resolver codes for host names that cannot be used, or the
// TLS codes of platform/Tls.h).
namespace socket_error {
inline constexpr int not_connected = 107;    // ENOTCONN: SendText while not connected
inline constexpr int send_queue_full = 105;  // ENOBUFS: SendText past the send-queue bound
inline constexpr int invalid_port = 22;      // EINVAL: Port outside 1..65535
inline constexpr int invalid_host = -2;      // EAI_NONAME: empty or unusable host
}  // namespace socket_error

namespace detail {
class Conn;
struct Access;
struct ClientSink;
struct TlsContext;
}  // namespace detail

// The connection object. Owned by its TClientSocket (one for the socket's
// whole life, reused by every connection) or by its TServerSocket (one per
// accepted connection, destroyed after its OnDisconnect handler returns).
class TCustomWinSocket {
 public:
  // Default bound on octets queued and not yet taken by the kernel.
  static constexpr std::size_t DefaultSendQueueLimit = 64u * 1024 * 1024;

  TCustomWinSocket();
  ~TCustomWinSocket();
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

  // True exactly while the connection is established.
  bool Connected() const;

  // Queues the octets; they are written in order, none is lost while the
  // connection lasts. Returns the count queued. While not connected, or when
  // the queue would pass SendQueueLimit(), nothing is queued, -1 is returned
  // and OnError(eeSend) follows from the loop with socket_error::not_connected
  // or socket_error::send_queue_full.
  int SendText(const std::string& S);
  int SendBuf(const void* Buf, int Count);

  // With Buf null and Count -1: the number of octets ready, reading nothing.
  // Otherwise reads at most Count octets into Buf and returns how many (0 when
  // none is ready or the connection is closed).
  int ReceiveBuf(void* Buf, int Count);

  // Closes the connection; OnDisconnect follows from the loop if it was
  // established. Octets still queued are dropped.
  void Close();

  void SetSendQueueLimit(std::size_t Octets) { FSendQueueLimit = Octets; }
  std::size_t SendQueueLimit() const { return FSendQueueLimit; }
  // Octets queued and not yet written to the kernel.
  std::size_t QueuedOctets() const;

  std::string RemoteAddress() const;
  int RemotePort() const;
  int LocalPort() const;

  // The negotiated protocol version and cipher of a TLS connection, e.g.
  // "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty over plain TCP or while not
  // connected.
  std::string TLSDescription() const;

  // Free for the application (a session object, for instance).
  void* Data = nullptr;

 private:
  friend struct detail::Access;
  std::shared_ptr<detail::Conn> FConn;
  std::size_t FSendQueueLimit = DefaultSendQueueLimit;
};

// Event properties (platform/EventHandler.h): a handler may reassign its event
// or destroy the socket while it runs.
using TSocketNotifyEvent = TEventHandler<void(TObject* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent =
    TEventHandler<void(TObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

class TClientSocket : public TComponent {
 public:
  explicit TClientSocket(TComponent* AOwner, TEventLoop& Loop = TEventLoop::Default());
  ~TClientSocket() override;

  // true opens (as Open), false closes (as Close).
  void SetActive(bool Value);
  bool Active() const;
  // Only non-blocking, notification-driven operation is offered; the value is
  // kept for the host's interface.
  void SetClientType(TClientType Value) { FClientType = Value; }
  TClientType ClientType() const { return FClientType; }
  // Host: an IPv4 or IPv6 literal (brackets allowed) or a host name.
  void SetHost(const std::string& Value) { FHost = Value; }
  const std::string& Host() const { return FHost; }
  void SetPort(std::int32_t Value) { FPort = Value; }
  std::int32_t Port() const { return FPort; }
  // A connection attempt that has not succeeded after this long ends in
  // OnError(eeConnect) with ETIMEDOUT (110); 0 waits as long as the system does.
  void SetConnectTimeout(unsigned Milliseconds) { FConnectTimeoutMs = Milliseconds; }
  unsigned ConnectTimeout() const { return FConnectTimeoutMs; }
  // TLS for the connections opened after this call (Options.enabled false:
  // plain TCP). Over TLS, OnConnect fires once the handshake has succeeded
  // and the peer's certificate has been verified; a failed handshake ends in
  // OnError(eeConnect) with a tls_error code and no OnConnect. Reads, sends,
  // the send queue and its bound behave as over TCP; ReceiveBuf(nullptr, -1)
  // counts the decrypted octets ready.
  void SetTLS(const TTLSOptions& Options);
  const TTLSOptions& TLS() const { return FTLS; }

  // Starts a connection attempt to Host:Port and returns. A connection that
  // is still open or opening is closed first (with its OnDisconnect, if it
  // was established). A Port outside 1..65535 or an unusable host ends in
  // OnError(eeConnect) with a non-zero code, never in a connection elsewhere.
  void Open();
  void Close();

  TCustomWinSocket* Socket() { return &FSocket; }
  TEventLoop& Loop() { return FLoop; }

  TSocketNotifyEvent OnConnecting;
  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnDisconnect;
  TSocketNotifyEvent OnRead;
  TSocketErrorEvent OnError;

 private:
  TEventLoop& FLoop;
  std::shared_ptr<detail::ClientSink> FSink;
  TCustomWinSocket FSocket;
  std::string FHost;
  std::int32_t FPort = 0;
  unsigned FConnectTimeoutMs = 30000;
  TClientType FClientType = TClientType::ctNonBlocking;
  TTLSOptions FTLS;
  std::shared_ptr<detail::TlsContext> FTLSContext;  // built at the first Open after SetTLS
};

// Accepts connections on a local address. Each accepted connection gets a
// TCustomWinSocket of its own, owned by the server.
class TServerSocket : public TComponent {
 public:
  explicit TServerSocket(TComponent* AOwner, TEventLoop& Loop = TEventLoop::Default());
  ~TServerSocket() override;

  // Address to listen on (default 127.0.0.1) and port (0: an ephemeral one).
  void SetAddress(const std::string& Value) { FAddress = Value; }
  void SetPort(std::int32_t Value) { FPort = Value; }
  // TLS for the connections accepted after the next Open: Options.cert_file
  // and key_file are required; a ca_file or ca_path asks every client for a
  // certificate those CAs issued. An accepted connection is announced by
  // OnClientConnect only after its handshake; a failed or timed-out
  // handshake is reported as OnClientError(nullptr, eeAccept, tls_error code)
  // and the connection dropped.
  void SetTLS(const TTLSOptions& Options) { FTLS = Options; }
  // Starts listening; returns false (and fires OnError with eeAccept) when the
  // address cannot be bound, or with tls_error::bad_config when the TLS
  // certificate or key cannot be loaded.
  bool Open();
  // Stops listening and closes every accepted connection (each with its
  // OnClientDisconnect).
  void Close();
  bool Active() const;
  // The port actually bound (useful after SetPort(0)).
  int LocalPort() const;
  int ActiveConnections() const;

  TSocketNotifyEvent OnClientConnect;
  TSocketNotifyEvent OnClientRead;
  TSocketNotifyEvent OnClientDisconnect;
  TSocketErrorEvent OnClientError;

 private:
  struct Impl;
  std::shared_ptr<Impl> FImpl;
  TEventLoop& FLoop;
  std::string FAddress = "127.0.0.1";
  std::int32_t FPort = 0;
  TTLSOptions FTLS;
};

}  // namespace velmor
