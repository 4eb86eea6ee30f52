// TLS end to end on 127.0.0.1: a whole session through the simulator over
// TLS, each certificate failure with its own code, and handshakes that stall
// or meet the wrong protocol, which must end cleanly, never hang.
#include <gtest/gtest.h>

#include <set>

#include "common/EventLog.h"
#include "common/LoopbackPeer.h"
#include "common/TlsPeer.h"
#include "session/Session.h"
#include "tools/smsc/Server.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

// The simulator on an ephemeral port, over TLS with the given certificate
// (plain TCP when cert is empty); failed handshakes are collected.
struct Smsc {
  smsc::Server server;
  std::vector<int> handshake_errors;

  Smsc(TEventLoop& loop, const std::string& cert, const std::string& key, TTLSOptions tls = {}, smsc::Config cfg = {},
       int port = 0)
      : server(std::move(cfg), loop) {
    tls.enabled = !cert.empty();
    tls.cert_file = cert;
    tls.key_file = key;
    server.set_tls(tls);
    server.on_handshake_error = [this](int code) { handshake_errors.push_back(code); };
    EXPECT_TRUE(server.start("127.0.0.1", port));
  }
  int port() const { return server.port(); }
};

TClientSocket* socket_of(TVelmorSMPPDemo& c) {
  for (int i = 0; i < c.ComponentCount(); ++i)
    if (auto* s = dynamic_cast<TClientSocket*>(c.Components(i))) return s;
  return nullptr;
}

// Connects and records the connection events until OnConnect or
// OnSockError, then runs a little longer: nothing may follow a failure.
std::vector<std::string> connect_events(TEventLoop& loop, const TTLSOptions& tls, const std::string& host, int port) {
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.SetTLS(tls);
  smpp.Connect(host, port);
  loop.RunUntil([&] { return log.size() >= 2; }, 5s);
  loop.RunFor(30ms);
  if (!log.empty() && log.back() == "Connect") {
    EXPECT_TRUE(smpp.Connected());
  }
  return log;
}

TEST(Tls, SessionThroughTheSimulatorBindSubmitReceiptUnbind) {
  TEventLoop loop;
  smsc::Config cfg;
  cfg.delivery_delay = 20ms;
  Smsc smsc(loop, test_pki().cert, test_pki().key, {}, cfg);
  TVelmorSMPPDemo smpp(nullptr, loop);
  smpp.SetTLS(tls_client_options());
  std::vector<std::string> steps;
  std::string description, message_id, receipted;
  smpp.OnConnect = [&](TObject*) {
    steps.push_back("connect");
    description = socket_of(smpp)->Socket()->TLSDescription();
    smpp.Bind(Transceiver, "esme", "secret", "", 1, 1, "");
  };
  smpp.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString system_id, TOPBind_RESP) {
    steps.push_back("bound " + system_id);
    smpp.Submit_SM("", 1, 1, "4670", 1, 1, "4671", 0, 0, 0, "", "", 1, 0, 0, 0, "over TLS", {});
  };
  smpp.OnSubmit_SM_RESP_OK = [&](TObject*, Cardinal, AnsiString id) {
    steps.push_back("submitted");
    message_id = id;
  };
  smpp.OnDeliver_SM = [&](TObject*, Cardinal seq, AnsiString, Byte, Byte, AnsiString, Byte, Byte, AnsiString,
                          Byte esm_class, Byte, Byte, AnsiString, AnsiString, Byte, Byte, Byte, Byte, Byte, AnsiString,
                          TOPDeliver_SM op) {
    steps.push_back("receipt esm_class=" + std::to_string(esm_class));
    receipted = op.receipted_message_id.Value;
    smpp.Deliver_SM_RESP(0, seq, "");
    smpp.Unbind();
  };
  smpp.OnUnbind_RESP_OK = [&](TObject*, Cardinal) {
    steps.push_back("unbound");
    smpp.Disconnect();
  };
  smpp.OnSockError = [&](TObject*, Integer code) { steps.push_back("error " + std::to_string(code)); };
  smpp.OnDisconnect = [&](TObject*) { steps.push_back("disconnect"); };
  smpp.Connect("127.0.0.1", smsc.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !steps.empty() && steps.back() == "disconnect"; }, 10s));
  EXPECT_EQ(steps, (std::vector<std::string>{"connect", "bound VelmorSMSC", "submitted", "receipt esm_class=4",
                                             "unbound", "disconnect"}));
  EXPECT_EQ(std::string(receipted.c_str()), message_id);  // the TLV carries its NUL
  EXPECT_EQ(description.rfind("TLSv1.3 TLS_", 0), 0u) << description;
  EXPECT_EQ(socket_of(smpp)->Socket()->TLSDescription(), "");  // closed
  EXPECT_TRUE(smsc.handshake_errors.empty());
}

// The managed session over TLS: it binds and submits through a verified
// handshake, and after the SMSC restarts it reconnects with a new handshake;
// a session that does not trust the SMSC's CA never binds.
TEST(Tls, SessionReconnectsWithANewHandshake) {
  TEventLoop loop;
  smsc::Config cfg;
  cfg.delivery_delay = 20ms;
  auto smsc = std::make_unique<Smsc>(loop, test_pki().cert, test_pki().key, TTLSOptions{}, cfg);
  const int port = smsc->port();
  session::config c;
  c.port = port;
  c.system_id = "esme";
  c.tls = tls_client_options();
  c.reconnect_min = 10ms;
  c.reconnect_max = 50ms;
  session::session s(c, loop);
  std::optional<std::error_code> connected;
  s.async_connect([&](std::error_code ec) { connected = ec; });
  ASSERT_TRUE(loop.RunUntil([&] { return connected.has_value(); }, 5s));
  ASSERT_FALSE(*connected) << connected->message();

  auto submit = [&] {
    std::optional<std::error_code> done;
    s.async_submit_sm({.destination_addr = "4671", .short_message = "over TLS"},
                      [&](std::error_code ec, session::response) { done = ec; });
    EXPECT_TRUE(loop.RunUntil([&] { return done.has_value(); }, 5s));
    return done.value_or(make_error_code(std::errc::timed_out));
  };
  EXPECT_FALSE(submit());

  smsc.reset();  // the SMSC goes away; a new one takes the same port
  loop.RunFor(30ms);
  smsc = std::make_unique<Smsc>(loop, test_pki().cert, test_pki().key, TTLSOptions{}, cfg, port);
  ASSERT_TRUE(loop.RunUntil([&] { return s.current_state() == session::state::bound_trx; }, 5s));
  EXPECT_FALSE(submit());
  EXPECT_GE(s.metrics().reconnects, 1u);
  EXPECT_TRUE(smsc->handshake_errors.empty());

  session::config untrusted = c;
  untrusted.tls.ca_file.clear();  // the system store does not know the test CA
  untrusted.reconnect = false;
  session::session u(untrusted, loop);
  std::optional<std::error_code> refused;
  u.async_connect([&](std::error_code ec) { refused = ec; });
  ASSERT_TRUE(loop.RunUntil([&] { return refused.has_value(); }, 5s));
  EXPECT_EQ(*refused, session::errc::connect_failed);
}

// Which certificate the server shows, what the client trusts and expects,
// and the outcome: a connection, or OnSockError with the code README lists.
TEST(Tls, CertificateOutcomes) {
  const TestPki& pki = test_pki();
  struct Case {
    const char* what;
    std::string cert, key;
    std::function<void(TTLSOptions&)> tweak;
    std::string host;
    int code;  // 0: connects
  };
  auto none = [](TTLSOptions&) {};
  auto name = [](const char* n) { return [n](TTLSOptions& o) { o.server_name = n; }; };
  auto insecure = [](TTLSOptions& o) { o.insecure_skip_verify = true; };
  const Case cases[] = {
      {"valid, by address", pki.cert, pki.key, none, "127.0.0.1", 0},
      {"valid, by name", pki.cert, pki.key, none, "localhost", 0},
      {"valid, by bracketed literal", pki.cert, pki.key, name("[127.0.0.1]"), "127.0.0.1", 0},
      {"expired", pki.expired_cert, pki.expired_key, none, "127.0.0.1", tls_error::cert_expired},
      {"for another name", pki.wrong_name_cert, pki.wrong_name_key, none, "127.0.0.1", tls_error::cert_wrong_name},
      {"server_name not in the certificate", pki.cert, pki.key, name("smsc.example"), "127.0.0.1",
       tls_error::cert_wrong_name},
      {"server_name that is in the certificate", pki.wrong_name_cert, pki.wrong_name_key, name("other.example"),
       "127.0.0.1", 0},
      {"wildcard-free exact match only", pki.wrong_name_cert, pki.wrong_name_key, name("x.other.example"), "127.0.0.1",
       tls_error::cert_wrong_name},
      {"self-signed", pki.self_signed_cert, pki.self_signed_key, none, "127.0.0.1", tls_error::cert_unknown_ca},
      {"system store does not know the test CA", pki.cert, pki.key, [](TTLSOptions& o) { o.ca_file.clear(); },
       "127.0.0.1", tls_error::cert_unknown_ca},
      {"expired, insecure", pki.expired_cert, pki.expired_key, insecure, "127.0.0.1", 0},
      {"self-signed, insecure", pki.self_signed_cert, pki.self_signed_key,
       [](TTLSOptions& o) {
         o.ca_file.clear();
         o.insecure_skip_verify = true;
       },
       "127.0.0.1", 0},
      {"wrong name, insecure", pki.wrong_name_cert, pki.wrong_name_key, insecure, "127.0.0.1", 0},
      {"CA file missing", pki.cert, pki.key, [](TTLSOptions& o) { o.ca_file = "/nonexistent/ca.pem"; }, "127.0.0.1",
       tls_error::bad_config},
      {"client certificate without its key", pki.cert, pki.key, [&](TTLSOptions& o) { o.cert_file = pki.client_cert; },
       "127.0.0.1", tls_error::bad_config},
      {"client certificate with the wrong key", pki.cert, pki.key,
       [&](TTLSOptions& o) {
         o.cert_file = pki.client_cert;
         o.key_file = pki.key;
       },
       "127.0.0.1", tls_error::bad_config},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TEventLoop loop;
    Smsc smsc(loop, c.cert, c.key);
    TTLSOptions o = tls_client_options();
    c.tweak(o);
    const auto log = connect_events(loop, o, c.host, smsc.port());
    if (c.code == 0)
      EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect"}));
    else
      EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "SockError " + std::to_string(c.code)}));
  }
}

// The socket itself over TLS: ReceiveBuf(nullptr, -1) counts the decrypted
// octets ready, and what a handler leaves unread is notified again until it
// is taken, in order, as over TCP.
TEST(Tls, UnreadOctetsAreNotifiedAgainUntilTaken) {
  std::string sent;
  for (int i = 0; i < 5000; ++i) sent += static_cast<char>(i * 7);
  LoopbackPeer peer(tls_server());
  peer.serve([&](PeerConn& c) {
    c.send(sent.substr(0, 1000));
    c.send(sent.substr(1000));
    c.wait_closed(5000);
  });
  TEventLoop loop;
  TClientSocket client(nullptr, loop);
  client.SetTLS(tls_client_options());
  client.SetHost("127.0.0.1");
  client.SetPort(peer.port());
  std::string got;
  bool counts_match = true;
  client.OnRead = [&](TObject*, TCustomWinSocket* s) {
    const int ready = s->ReceiveBuf(nullptr, -1);
    char buf[7];
    const int n = s->ReceiveBuf(buf, sizeof buf);
    counts_match &= n == std::min(ready, 7) && s->ReceiveBuf(nullptr, -1) == ready - n;
    got.append(buf, static_cast<std::size_t>(n));
  };
  client.Open();
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() == sent.size(); }, 5s)) << got.size();
  EXPECT_EQ(got, sent);
  EXPECT_TRUE(counts_match);
  client.Close();
  loop.RunFor(20ms);
  peer.join();
}

// Octets that are not TLS after a good handshake (written past the TLS
// layer): a protocol error, then the disconnect.
TEST(Tls, NonTlsOctetsAfterTheHandshakeAreAProtocolError) {
  LoopbackPeer peer(tls_server());
  peer.serve([](PeerConn& c) {
    const std::string junk = "this is not a TLS record";
    ::send(c.fd(), junk.data(), junk.size(), MSG_NOSIGNAL);
    c.wait_closed(3000);
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.SetTLS(tls_client_options());
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "Disconnect"; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect", "SockError " + std::to_string(tls_error::protocol),
                                           "Disconnect"}));
  peer.join();
}

TEST(Tls, EveryCodeHasATextOfItsOwn) {
  std::set<std::string> texts;
  for (int code = tls_error::first; code <= tls_error::last; ++code) {
    ASSERT_NE(TLSErrorText(code), nullptr) << code;
    texts.insert(TLSErrorText(code));
  }
  EXPECT_EQ(texts.size(), std::size_t(tls_error::last - tls_error::first + 1));
  for (int other : {0, -1, -2, -105, -1000, -1010, 104, 110}) EXPECT_EQ(TLSErrorText(other), nullptr) << other;
}

// A peer that accepts and never answers the ClientHello: the handshake's own
// deadline ends it, and the peer sees the connection closed.
TEST(Tls, HandshakeWithASilentPeerTimesOut) {
  LoopbackPeer peer;
  std::atomic<bool> peer_saw_close{false};
  peer.serve([&](PeerConn& c) { peer_saw_close = c.wait_closed(5000); });
  TEventLoop loop;
  TTLSOptions o = tls_client_options();
  o.handshake_timeout = 200ms;
  const auto t0 = std::chrono::steady_clock::now();
  const auto log = connect_events(loop, o, "127.0.0.1", peer.port());
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "SockError " + std::to_string(tls_error::handshake_timeout)}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  peer.join();
  EXPECT_TRUE(peer_saw_close);
}

// The simulator's side of the same: a client that connects and says nothing
// is dropped after the handshake deadline, without a session.
TEST(Tls, ServerDropsAClientThatNeverHandshakes) {
  TEventLoop loop;
  TTLSOptions server_tls;
  server_tls.handshake_timeout = 200ms;
  Smsc smsc(loop, test_pki().cert, test_pki().key, server_tls);
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.Connect("127.0.0.1", smsc.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "Disconnect"; }, 3s));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect", "Disconnect"}));
  EXPECT_EQ(smsc.handshake_errors, std::vector<int>{tls_error::handshake_timeout});
  EXPECT_EQ(smsc.server.connections(), 0);
}

// Plain SMPP against the TLS listener: the bind is not TLS, the handshake
// fails, the client is disconnected without an answer.
TEST(Tls, PlaintextClientAgainstTheTlsListenerIsDisconnected) {
  TEventLoop loop;
  Smsc smsc(loop, test_pki().cert, test_pki().key);
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.OnConnect = [&](TObject*) {
    log.push_back("Connect");
    smpp.Bind(Transceiver, "esme", "secret", "", 1, 1, "");
  };
  smpp.Connect("127.0.0.1", smsc.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "Disconnect"; }, 5s));
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], "Connect");
  for (std::size_t i = 2; i + 1 < log.size(); ++i) EXPECT_EQ(log[i].rfind("SockError", 0), 0u) << log[i];
  EXPECT_EQ(smsc.handshake_errors, std::vector<int>{tls_error::handshake_failed});
}

// TLS against a plaintext SMSC: the simulator cannot frame a ClientHello and
// closes; the handshake fails with its code, nothing is connected.
TEST(Tls, TlsClientAgainstAPlaintextListenerFails) {
  TEventLoop loop;
  Smsc smsc(loop, "", "");
  TTLSOptions o = tls_client_options();
  o.handshake_timeout = 2s;
  const auto log = connect_events(loop, o, "127.0.0.1", smsc.port());
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "SockError " + std::to_string(tls_error::handshake_failed)}));
}

// A server that names a CA asks for client certificates: one from that CA
// gets a session, a client without one is refused.
TEST(Tls, ClientCertificateWhenTheServerAsksForOne) {
  const TestPki& pki = test_pki();
  TTLSOptions server_tls;
  server_tls.ca_file = pki.ca;
  for (const bool with_cert : {true, false}) {
    SCOPED_TRACE(with_cert);
    TEventLoop loop;
    Smsc smsc(loop, pki.cert, pki.key, server_tls);
    TVelmorSMPPDemo smpp(nullptr, loop);
    TTLSOptions o = tls_client_options();
    if (with_cert) {
      o.cert_file = pki.client_cert;
      o.key_file = pki.client_key;
    }
    smpp.SetTLS(o);
    bool bound = false, ended = false;
    smpp.OnConnect = [&](TObject*) { smpp.Bind(Transceiver, "esme", "secret", "", 1, 1, ""); };
    smpp.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) {
      bound = true;
      smpp.Disconnect();
    };
    smpp.OnSockError = [&](TObject*, Integer) { ended = true; };
    smpp.OnDisconnect = [&](TObject*) { ended = true; };
    smpp.Connect("127.0.0.1", smsc.port());
    ASSERT_TRUE(loop.RunUntil([&] { return ended; }, 5s));
    EXPECT_EQ(bound, with_cert);
    EXPECT_EQ(smsc.handshake_errors.empty(), with_cert);
  }
}

TEST(Tls, ServerWithUnusableCertificateDoesNotListen) {
  TEventLoop loop;
  smsc::Server server({}, loop);
  TTLSOptions tls;
  tls.enabled = true;
  tls.cert_file = test_pki().cert;
  tls.key_file = test_pki().expired_key;  // not this certificate's key
  std::vector<int> codes;
  server.on_handshake_error = [&](int code) { codes.push_back(code); };
  server.set_tls(tls);
  EXPECT_FALSE(server.start("127.0.0.1", 0));
  EXPECT_EQ(codes, std::vector<int>{tls_error::bad_config});
}

}  // namespace
}  // namespace velmor::test
