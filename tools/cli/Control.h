// `simulate --http PORT`: the simulator's control API and its web console.
//
// An HTTP server (cpp-httplib, on threads of its own) whose every request is
// carried to the simulator's loop by TEventLoop::Post and answered from
// there: the simulator's state is only ever touched on its own thread. A
// request the loop does not take up within a few seconds gets 503.
//
// Endpoints (JSON unless said; README, "SMSC simulator", has the shapes):
//   GET    /                         the console (one static page)
//   GET    /api/sessions             bound and open sessions
//   GET    /api/messages?to=&id=&limit=   messages, newest first, with state
//   POST   /api/messages/ID/state    {"state":"UNDELIVERABLE"}: end it so now
//   POST   /api/mo                   {"account","from","to","text","encoding","via"}
//   GET    /api/rules                fault rules; POST {"rule":"PREFIX=FAULT[:ARG]"}
//   DELETE /api/rules/ID
//   GET    /api/activity             the latest events (MO, submits with their status, ...)
//   GET    /api/counters             the counters by name
//   GET    /metrics                  the counters in the Prometheus text format
// With a token every request but GET / needs `Authorization: Bearer TOKEN`.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

#include "platform/EventLoop.h"
#include "tools/smsc/Server.h"

namespace velmor::cli {

class Control {
 public:
  Control(smsc::Server& server, TEventLoop& loop, std::string token);
  ~Control();  // stops the HTTP server and joins its threads
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // Binds host:port (0: any free port) and serves from a thread of its own.
  // False with `error` (the OS's reason) when the address cannot be bound.
  bool Start(const std::string& host, int port, std::string& error);
  int port() const { return port_; }
  void Stop();
  // Keeps an event for GET /api/activity (the latest 200). Loop thread.
  void Record(const nlohmann::json& event);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// GET /metrics on host:port for a long-running client (listen
// --metrics-port): render runs on the loop's thread, by TEventLoop::Post,
// and its text is the response. Stops and joins on destruction.
class MetricsEndpoint {
 public:
  MetricsEndpoint(TEventLoop& loop, std::function<std::string()> render);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
  bool Start(const std::string& host, int port, std::string& error);
  int port() const { return port_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// The console page, served at /.
extern const char* const kConsoleHtml;

}  // namespace velmor::cli
