#include "tools/cli/Control.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <future>
#include <thread>

#include "sms/Names.h"
#include "tools/smsc/Rules.h"

namespace velmor::cli {

using json = nlohmann::json;

namespace {

struct Reply {
  int status = 200;
  std::string body;
  std::string type = "application/json";
};

Reply Json(const json& j, int status = 200) {
  return {status, j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"};
}
Reply Error(int status, const std::string& why) { return Json({{"error", why}}, status); }

const char* BindName(smsc::BindState b) {
  switch (b) {
    case smsc::BindState::Transmitter: return "transmitter";
    case smsc::BindState::Receiver: return "receiver";
    case smsc::BindState::Transceiver: return "transceiver";
    default: return nullptr;
  }
}

json RuleJson(const smsc::FaultRule& r) {
  json j{{"id", r.id}, {"prefix", r.prefix}, {"fault", smsc::fault_name(r.fault)}, {"rule", smsc::rule_text(r)}};
  if (r.fault == smsc::Fault::delay) j["delay_ms"] = r.delay.count();
  if (r.fault == smsc::Fault::refuse) j["command_status"] = r.status;
  return j;
}

// "name value" lines of Counters::to_string, as pairs.
std::vector<std::pair<std::string, std::uint64_t>> CounterList(const smsc::Counters& c) {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  std::istringstream in(c.to_string());
  std::string name;
  std::uint64_t v = 0;
  while (in >> name >> v) out.emplace_back(name, v);
  return out;
}

std::string Iso(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

struct Control::Impl {
  smsc::Server& server;
  TEventLoop& loop;
  std::string token;
  httplib::Server http;
  std::thread thread;
  std::deque<json> activity;  // loop thread only
  std::uint64_t activity_seq = 0;

  void Record(json e) {
    e["seq"] = ++activity_seq;
    e["time"] = Iso(std::chrono::system_clock::now());
    activity.push_back(std::move(e));
    if (activity.size() > 200) activity.pop_front();
  }

  // Runs fn on the simulator's loop and waits for its reply.
  Reply OnLoop(std::function<Reply(smsc::Smsc&)> fn) {
    auto done = std::make_shared<std::promise<Reply>>();
    auto reply = done->get_future();
    loop.Post([done, fn = std::move(fn), &server = server] {
      Reply r = fn(server.smsc());
      server.flush();  // what an injection made the sessions owe goes out now
      done->set_value(std::move(r));
    });
    if (reply.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
      return Error(503, "the simulator's loop did not answer within 5 s");
    return reply.get();
  }

  static void Send(httplib::Response& res, const Reply& r) {
    res.status = r.status;
    res.set_content(r.body, r.type.c_str());
  }

  void Routes() {
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (token.empty() || req.path == "/") return httplib::Server::HandlerResponse::Unhandled;
      if (req.get_header_value("Authorization") == "Bearer " + token)
        return httplib::Server::HandlerResponse::Unhandled;
      res.set_header("WWW-Authenticate", "Bearer");
      Send(res, Error(401, "this simulator needs Authorization: Bearer <token> (simulate --http-token)"));
      return httplib::Server::HandlerResponse::Handled;
    });
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(kConsoleHtml, "text/html; charset=utf-8");
    });
    http.Get("/api/sessions", [this](const httplib::Request&, httplib::Response& res) {
      Send(res, OnLoop([](smsc::Smsc& s) {
             json list = json::array();
             s.for_each_session([&](smsc::Session& ses) {
               const char* bind = BindName(ses.bind_state());
               list.push_back({{"id", ses.id()},
                               {"name", ses.name()},
                               {"system_id", ses.system_id()},
                               {"bind", bind ? json(bind) : json(nullptr)},
                               {"peer", ses.peer()},
                               {"closing", ses.closing()}});
             });
             return Json(list);
           }));
    });
    http.Get("/api/messages", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string to = req.get_param_value("to"), id = req.get_param_value("id");
      std::size_t limit = 200;
      if (req.has_param("limit"))
        limit = std::clamp<std::size_t>(std::stoul("0" + req.get_param_value("limit")), 1, 10000);
      Send(res, OnLoop([=](smsc::Smsc& s) {
             json list = json::array();
             s.store().for_each_newest([&](const smsc::StoredMessage& m) {
               if (!to.empty() && m.destination.view().substr(0, to.size()) != to) return true;
               const std::string mid = s.ids().text(m.id);
               if (!id.empty() && mid != id) return true;
               json j{{"message_id", mid},
                      {"from", m.source.view()},
                      {"to", m.destination.view()},
                      {"state", sms::MessageStateName(m.state)},
                      {"message_state", static_cast<unsigned>(m.state)},
                      {"stat", sms::ReceiptStat(m.state)},
                      {"text", m.text.view()},
                      {"registered_delivery", m.registered_delivery},
                      {"submitted", Iso(s.wall(m.submitted))}};
               j["done"] = smsc::is_final(m.state) ? json(Iso(s.wall(m.done))) : json(nullptr);
               list.push_back(std::move(j));
               return list.size() < limit;
             });
             return Json(list);
           }));
    });
    http.Post(R"(/api/messages/([^/]+)/state)", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string id = req.matches[1];
      const json body = json::parse(req.body, nullptr, false);
      if (!body.is_object() || !body.contains("state") || !body["state"].is_string())
        return Send(res, Error(400, "send {\"state\": \"DELIVERED|UNDELIVERABLE|EXPIRED|DELETED|REJECTED|UNKNOWN\"}"));
      const std::string name = body["state"];
      std::optional<sms::MessageState> state = sms::MessageStateFromStat(name);
      for (int v = 1; v <= 8 && !state; ++v)
        if (sms::MessageStateName(sms::MessageState(v)) == name) state = sms::MessageState(v);
      if (!state || !smsc::is_final(*state)) return Send(res, Error(400, "'" + name + "' is not a final state"));
      Send(res, OnLoop([=](smsc::Smsc& s) {
             const auto number = s.ids().parse(id);
             if (!number) return Error(404, "no message " + id);
             if (!s.force_state(*number, *state, smsc::Clock::now()))
               return Error(409, "message " + id + " is unknown or already final");
             return Json({{"message_id", id}, {"state", sms::MessageStateName(*state)}});
           }));
    });
    http.Post("/api/mo", [this](const httplib::Request& req, httplib::Response& res) {
      const json b = json::parse(req.body, nullptr, false);
      if (!b.is_object() || !b.contains("text") || !b["text"].is_string())
        return Send(res, Error(400, "send {\"text\": \"...\", \"from\", \"to\", \"account\", \"encoding\", \"via\"}"));
      smsc::MoText mo;
      mo.text = b["text"];
      mo.source = b.value("from", mo.source);
      mo.destination = b.value("to", mo.destination);
      const std::string via = b.value("via", "deliver_sm"), encoding = b.value("encoding", "auto");
      if (via != "deliver_sm" && via != "data_sm") return Send(res, Error(400, "via is deliver_sm or data_sm"));
      mo.data_sm = via == "data_sm";
      if (encoding == "gsm")
        mo.data_coding = 0;
      else if (encoding == "ucs2")
        mo.data_coding = 8;
      else if (encoding == "latin1")
        mo.data_coding = 3;
      else if (encoding != "auto")
        return Send(res, Error(400, "encoding is auto, gsm, ucs2 or latin1"));
      if (mo.source.size() > 20 || mo.destination.size() > 20)
        return Send(res, Error(400, "from and to hold at most 20 characters"));
      const std::string account = b.value("account", "");
      Send(res, OnLoop([=, this](smsc::Smsc& s) mutable {
             static std::uint8_t reference = 0;
             mo.reference = ++reference;
             std::string error;
             const auto parts = smsc::encode_mo(mo);
             const std::size_t n = s.send_mo(account, mo, smsc::Clock::now(), error);
             if (!error.empty()) return Error(400, error);
             if (n == 0)
               return Error(409, account.empty() ? "no receiver or transceiver is bound"
                                                 : "no receiver or transceiver of " + account + " is bound");
             Record({{"type", "inject"},
                     {"from", mo.source},
                     {"to", mo.destination},
                     {"text", mo.text},
                     {"via", via},
                     {"sessions", n}});
             return Json({{"sessions", n}, {"parts", parts.pdus.size()}, {"via", via}});
           }));
    });
    http.Get("/api/rules", [this](const httplib::Request&, httplib::Response& res) {
      Send(res, OnLoop([](smsc::Smsc& s) {
             json list = json::array();
             for (const auto& r : s.config().rules) list.push_back(RuleJson(r));
             return Json(list);
           }));
    });
    http.Post("/api/rules", [this](const httplib::Request& req, httplib::Response& res) {
      const json b = json::parse(req.body, nullptr, false);
      if (!b.is_object() || !b.contains("rule") || !b["rule"].is_string())
        return Send(res, Error(400, "send {\"rule\": \"PREFIX=FAULT[:ARG]\"}"));
      std::string error;
      auto rule = smsc::parse_rule(b["rule"].get<std::string>(), error);
      if (!rule) return Send(res, Error(400, error));
      const bool first = b.value("first", false);
      Send(res, OnLoop([r = *rule, first](smsc::Smsc& s) { return Json(RuleJson(s.add_rule(r, first)), 201); }));
    });
    http.Delete(R"(/api/rules/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      const std::uint64_t id = std::stoull(req.matches[1]);
      Send(res, OnLoop([id](smsc::Smsc& s) {
             return s.remove_rule(id) ? Json({{"removed", id}}) : Error(404, "no rule " + std::to_string(id));
           }));
    });
    http.Get("/api/activity", [this](const httplib::Request&, httplib::Response& res) {
      Send(res, OnLoop([this](smsc::Smsc&) {
             json list = json::array();
             for (auto it = activity.rbegin(); it != activity.rend(); ++it) list.push_back(*it);
             return Json(list);
           }));
    });
    http.Get("/api/counters", [this](const httplib::Request&, httplib::Response& res) {
      Send(res, OnLoop([](smsc::Smsc& s) {
             json j = json::object();
             for (const auto& [name, v] : CounterList(s.counters())) j[name] = v;
             return Json(j);
           }));
    });
    http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      Send(res, OnLoop([](smsc::Smsc& s) {
             std::string out;
             for (const auto& [name, v] : CounterList(s.counters())) {
               const bool gauge = name == "sessions";
               const std::string metric = "velmor_smsc_" + name + (gauge ? "" : "_total");
               out += "# TYPE " + metric + (gauge ? " gauge\n" : " counter\n");
               out += metric + " " + std::to_string(v) + "\n";
             }
             return Reply{200, out, "text/plain; version=0.0.4"};
           }));
    });
  }
};

Control::Control(smsc::Server& server, TEventLoop& loop, std::string token)
    : impl_(new Impl{server, loop, std::move(token), {}, {}}) {
  impl_->Routes();
}

Control::~Control() { Stop(); }

void Control::Record(const json& event) { impl_->Record(event); }

bool Control::Start(const std::string& host, int port, std::string& error) {
  auto& http = impl_->http;
  if (port == 0) {
    port_ = http.bind_to_any_port(host.c_str());
  } else {
    port_ = http.bind_to_port(host.c_str(), port) ? port : -1;
  }
  if (port_ <= 0) {
    error = std::strerror(errno);
    port_ = 0;
    return false;
  }
  impl_->thread = std::thread([&http] { http.listen_after_bind(); });
  return true;
}

void Control::Stop() {
  if (!impl_ || !impl_->thread.joinable()) return;
  impl_->http.stop();
  impl_->thread.join();
}

struct MetricsEndpoint::Impl {
  TEventLoop& loop;
  std::function<std::string()> render;
  httplib::Server http;
  std::thread thread;
};

MetricsEndpoint::MetricsEndpoint(TEventLoop& loop, std::function<std::string()> render)
    : impl_(new Impl{loop, std::move(render), {}, {}}) {
  impl_->http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    auto done = std::make_shared<std::promise<std::string>>();
    auto text = done->get_future();
    impl_->loop.Post([done, render = impl_->render] { done->set_value(render()); });
    if (text.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      res.status = 503;
      return;
    }
    res.set_content(text.get(), "text/plain; version=0.0.4");
  });
}

MetricsEndpoint::~MetricsEndpoint() {
  if (!impl_->thread.joinable()) return;
  impl_->http.stop();
  impl_->thread.join();
}

bool MetricsEndpoint::Start(const std::string& host, int port, std::string& error) {
  auto& http = impl_->http;
  port_ = port == 0 ? http.bind_to_any_port(host.c_str()) : (http.bind_to_port(host.c_str(), port) ? port : -1);
  if (port_ <= 0) {
    error = std::strerror(errno);
    port_ = 0;
    return false;
  }
  impl_->thread = std::thread([&http] { http.listen_after_bind(); });
  return true;
}

}  // namespace velmor::cli
