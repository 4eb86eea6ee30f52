#include "tools/cli/Simulate.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "codec/Commands.h"
#include "sms/Encoding.h"
#include "sms/Names.h"
#include "tools/cli/ClientImpl.h"
#include "tools/cli/Control.h"
#include "tools/cli/Events.h"
#include "tools/cli/Format.h"
#include "tools/smsc/Server.h"

namespace velmor::cli {
namespace {

// Why host:port cannot be listened on, as the OS says it ("Address already
// in use"); empty when a listening socket can be made there after all.
std::string ListenProblem(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res); rc != 0)
    return gai_strerror(rc);
  std::string why;
  const int fd = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
  if (fd < 0) {
    why = std::strerror(errno);
  } else {
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 1) != 0) why = std::strerror(errno);
    close(fd);
  }
  freeaddrinfo(res);
  return why;
}

}  // namespace

smsc::Config SimulatorConfig(const Options& o, bool embedded) {
  smsc::Config c;
  for (const auto& [id, pw] : o.credentials) c.credentials[id] = pw;
  c.reject_binds = o.reject_binds;
  c.delivery_delay = std::chrono::milliseconds(o.delivery_delay_ms.value_or(embedded ? 200 : 1000));
  for (const auto& n : o.undeliverable) c.undeliverable.insert(n);
  for (const auto& n : o.reject) c.rejected.insert(n);
  c.throttle_every = o.throttle_every;
  c.id_style = o.id_hex ? smsc::MessageIdStyle::Hex : smsc::MessageIdStyle::Decimal;
  c.id_prefix = o.id_prefix;
  if (o.first_message_id) c.first_message_id = *o.first_message_id;
  c.rules = o.rules;
  // A long-running simulator keeps no per-PDU history nobody reads.
  c.pdu_log_limit = embedded ? 64 : 0;
  return c;
}

int RunSimulator(const Options& o, TEventLoop& loop, std::ostream& out, std::ostream& err,
                 const volatile std::sig_atomic_t* stop, volatile std::sig_atomic_t* counters_flag) {
  smsc::Config cfg = SimulatorConfig(o, false);
  std::ostream& chatter = o.json ? err : out;
  Events* events = nullptr;  // set once the server exists; the trace is called only after
  if (o.trace || o.json || o.http_port)
    cfg.trace = [&err, &o, &events](std::string_view session, bool received, std::string_view pdu) {
      if (o.trace) err << session << ' ' << TraceLine(received ? '<' : '>', pdu) << std::endl;
      if (events) events->Pdu(session, received, pdu);
    };
  cfg.mo_every = std::chrono::milliseconds(o.mo_every_ms);
  cfg.mo_source_addr = o.mo_from;
  cfg.mo_destination_addr = o.mo_to;
  cfg.mo_text = o.mo_text;
  cfg.mo_data_sm = o.mo_data_sm;
  if (const auto mo = smsc::encode_mo({o.mo_from, o.mo_to, o.mo_text, o.mo_data_sm}); !mo.error.empty()) {
    err << "error: --mo-text: " << mo.error << std::endl;
    return exit_code::usage;
  }
  smsc::Server server(cfg, loop);
  std::optional<Control> control;
  if (o.http_port) control.emplace(server, loop, o.http_token);
  Events json_events(server, o.json ? &out : nullptr,
                     control ? std::function<void(const json&)>([&](const json& e) { control->Record(e); })
                             : std::function<void(const json&)>());
  if (o.json || control) {
    events = &json_events;
    server.smsc().on_submit = [&](const smsc::Session& s, const smsc::MessageView& m) { json_events.Submit(s, m); };
    server.smsc().on_final = [&](const smsc::StoredMessage& m) { json_events.Final(m); };
  }
  server.set_tls(o.TLS());
  bool bad_tls_files = false;
  server.on_handshake_error = [&](int code) {
    if (code == tls_error::bad_config)
      bad_tls_files = true;
    else
      err << "a client failed: " << TLSErrorText(code) << std::endl;
  };
  if (!server.start(o.host, o.port)) {
    const std::string why = ListenProblem(o.host, o.port);
    if (!why.empty())
      err << "error: cannot listen on " << o.host << ":" << o.port << ": " << why
          << " (choose another --port, or --port 0 for any free one)" << std::endl;
    else if (o.tls)
      err << "error: cannot use --tls-cert " << o.tls_cert << " with --tls-key " << o.tls_key << ": "
          << TLSErrorText(tls_error::bad_config) << std::endl;
    else
      err << "error: cannot listen on " << o.host << ":" << o.port << std::endl;
    return exit_code::connect;
  }
  if (control) {
    std::string why;
    if (!control->Start(o.http_host, *o.http_port, why)) {
      err << "error: --http: cannot listen on " << o.http_host << ":" << *o.http_port << ": " << why
          << " (choose another port, or 0 for any free one)" << std::endl;
      server.stop();
      return exit_code::connect;
    }
  }
  chatter << "SMSC simulator listening on " << o.host << ":" << server.port() << (o.tls ? " (TLS)" : "");
  if (control) chatter << "; console on http://" << o.http_host << ":" << control->port() << "/";
  chatter << std::endl;
  if (o.json) {
    json line{{"type", "listening"}, {"host", o.host}, {"port", server.port()}, {"tls", o.tls}};
    if (control) line["http_port"] = control->port();
    json_events.Line(line);
  }

  auto print_counters = [&] { err << server.smsc().counters().to_string() << std::flush; };
  bool stopping = false;
  TTimer poll(nullptr, loop);
  poll.SetInterval(50);
  poll.OnTimer = [&](TObject*) {
    if (counters_flag && *counters_flag) {
      *counters_flag = 0;
      print_counters();
    }
    if (stop && *stop && !stopping) {
      stopping = true;
      server.shutdown(std::chrono::milliseconds(1000), [&loop] { loop.Stop(); });
    }
  };
  poll.SetEnabled(true);
  loop.Run();
  if (control) control->Stop();  // no request reaches the loop after this
  server.stop();
  print_counters();
  chatter << "SMSC simulator stopped" << std::endl;
  return exit_code::ok;
}

}  // namespace velmor::cli
