#include "tools/cli/Client.h"

#include <algorithm>
#include <random>

#include "codec/Commands.h"
#include "component/Events.h"
#include "sms/Encoding.h"
#include "sms/Names.h"
#include "sms/Segment.h"
#include "sms/SubmitParts.h"
#include "tools/cli/Format.h"
#include "tools/smsc/Server.h"

namespace velmor::cli {
namespace {

// Pause between loop wake-ups that check the stop flag. Short enough that
// Ctrl-C feels immediate, long enough to cost nothing.
constexpr unsigned kPollMs = 50;
// Receivers keep the link alive: SMSCs drop sessions that stay silent.
constexpr unsigned kKeepAliveMs = 30000;
// Unbinding and closing after a failure is best effort and must not stretch
// the exit; this bounds each of those waits.
constexpr unsigned kCloseAfterFailureMs = 1000;

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::string Ms(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ms < 10 ? "%.2f ms" : "%.0f ms", ms);
  return buf;
}

std::string Join(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += (out.empty() ? "" : ",") + s;
  return out;
}

// A deadline on the loop: expired() turns true once, after ms.
class Deadline {
 public:
  Deadline(TEventLoop& loop, unsigned ms) : timer_(nullptr, loop) {
    timer_.SetInterval(std::max(1u, ms));
    timer_.OnTimer = [this](TObject*) {
      expired_ = true;
      timer_.SetEnabled(false);
    };
    timer_.SetEnabled(true);
  }
  bool expired() const { return expired_; }

 private:
  TTimer timer_;
  bool expired_ = false;
};

TOPSubmit_MULTI ToMulti(const TOPSubmit_SM& s) {
  TOPSubmit_MULTI m;
  m.sar_msg_ref_num = s.sar_msg_ref_num;
  m.sar_total_segments = s.sar_total_segments;
  m.sar_segment_seqnum = s.sar_segment_seqnum;
  m.message_payload = s.message_payload;
  return m;
}

std::string EncodingError(const sms::Error& e) {
  return std::string("cannot encode the text: ") + sms::ErrorCodeName(e.code) + " at character " +
         std::to_string(e.index);
}

}  // namespace

smsc::Config SimulatorConfig(const Options& o, bool embedded) {
  smsc::Config c;
  for (const auto& [id, pw] : o.credentials) c.credentials[id] = pw;
  c.reject_binds = o.reject_binds;
  c.delivery_delay = std::chrono::milliseconds(o.delivery_delay_ms.value_or(embedded ? 200 : 1000));
  for (const auto& n : o.undeliverable) c.undeliverable.insert(n);
  c.throttle_every = o.throttle_every;
  // A long-running simulator keeps no per-PDU history nobody reads.
  c.pdu_log_limit = embedded ? 64 : 0;
  return c;
}

Client::Client(const Options& options, TEventLoop& loop, std::ostream& out, std::ostream& err,
               const volatile std::sig_atomic_t* stop)
    : o_(options), loop_(loop), out_(out), err_(err), stop_(stop) {}

Client::~Client() {
  // The component first: its socket must not outlive the handlers that
  // capture this object.
  smpp_.reset();
  poll_.reset();
  server_.reset();
}

void Client::Line(const std::string& text) { out_ << text << std::endl; }

void Client::Store(Cardinal command_id, Cardinal seq, Response r) {
  r.command_id = command_id;
  if (const auto it = sent_at_.find(seq); it != sent_at_.end()) {
    r.rtt_ms = MsSince(it->second);
    sent_at_.erase(it);
  }
  responses_[seq] = std::move(r);
}

void Client::Wire() {
  TVelmorSMPPDemo& c = *smpp_;
  c.OnConnect = [this](TObject*) { connected_ = true; };
  c.OnSockError = [this](TObject*, Integer code) {
    if (!connected_) sock_error_ = code == 0 ? -1 : code;
  };
  c.OnDisconnect = [this](TObject*) {
    closed_ = true;
    if (connected_) lost_ = true;
    connected_ = false;
  };
  c.OnBind_RESP_OK = [this](TObject*, TBindType, Cardinal seq, AnsiString system_id, TOPBind_RESP) {
    Response r;
    r.message_id = std::move(system_id);
    Store(command_id::bind_transceiver_resp, seq, std::move(r));
  };
  c.OnBind_RESP_Error = [this](TObject*, TBindType, Cardinal status, Cardinal seq, AnsiString system_id,
                               TOPBind_RESP) {
    Response r;
    r.status = status;
    r.message_id = std::move(system_id);
    Store(command_id::bind_transceiver_resp, seq, std::move(r));
  };
  c.OnUnbind_RESP_OK = [this](TObject*, Cardinal seq) { Store(command_id::unbind_resp, seq, {}); };
  c.OnUnbind_RESP_Error = [this](TObject*, Cardinal status, Cardinal seq) {
    Response r;
    r.status = status;
    Store(command_id::unbind_resp, seq, std::move(r));
  };
  c.OnGeneric_NACK = [this](TObject*, Cardinal status, Cardinal seq) {
    Response r;
    r.status = status;
    Store(command_id::generic_nack, seq, std::move(r));
  };
  c.OnSubmit_SM_RESP_OK = [this](TObject*, Cardinal seq, AnsiString id) {
    Response r;
    r.message_id = std::move(id);
    Store(command_id::submit_sm_resp, seq, std::move(r));
  };
  c.OnSubmit_SM_RESP_Error = [this](TObject*, Cardinal status, Cardinal seq, AnsiString id) {
    Response r;
    r.status = status;
    r.message_id = std::move(id);
    Store(command_id::submit_sm_resp, seq, std::move(r));
  };
  auto multi = [this](Cardinal status, Cardinal seq, AnsiString id, Tunsuccess_sme u) {
    Response r;
    r.status = status;
    r.message_id = std::move(id);
    r.unsuccess = std::move(u);
    Store(command_id::submit_multi_resp, seq, std::move(r));
  };
  c.OnSubmit_MULTI_RESP_OK = [multi](TObject*, Cardinal seq, AnsiString id, Byte, Tunsuccess_sme u) {
    multi(0, seq, std::move(id), std::move(u));
  };
  c.OnSubmit_MULTI_RESP_Error = [multi](TObject*, Cardinal status, Cardinal seq, AnsiString id, Byte,
                                        Tunsuccess_sme u) { multi(status, seq, std::move(id), std::move(u)); };
  auto query = [this](Cardinal status, Cardinal seq, AnsiString id, AnsiString final_date, Byte state, Byte error) {
    Response r;
    r.status = status;
    r.message_id = std::move(id);
    r.final_date = std::move(final_date);
    r.message_state = state;
    r.error_code = error;
    Store(command_id::query_sm_resp, seq, std::move(r));
  };
  c.OnQuery_SM_RESP_OK = [query](TObject*, Cardinal seq, AnsiString id, AnsiString fd, Byte st, Byte ec) {
    query(0, seq, std::move(id), std::move(fd), st, ec);
  };
  c.OnQuery_SM_RESP_Error = [query](TObject*, Cardinal status, Cardinal seq, AnsiString id, AnsiString fd, Byte st,
                                    Byte ec) { query(status, seq, std::move(id), std::move(fd), st, ec); };
  c.OnCancel_RESP_OK = [this](TObject*, Cardinal seq) { Store(command_id::cancel_sm_resp, seq, {}); };
  c.OnCancel_RESP_Error = [this](TObject*, Cardinal status, Cardinal seq) {
    Response r;
    r.status = status;
    Store(command_id::cancel_sm_resp, seq, std::move(r));
  };
  c.OnReplace_RESP_OK = [this](TObject*, Cardinal seq) { Store(command_id::replace_sm_resp, seq, {}); };
  c.OnReplace_RESP_Error = [this](TObject*, Cardinal status, Cardinal seq) {
    Response r;
    r.status = status;
    Store(command_id::replace_sm_resp, seq, std::move(r));
  };
  c.OnEnquire_LINK_RESP = [this](TObject*, Cardinal status, Cardinal seq) {
    Response r;
    r.status = status;
    Store(command_id::enquire_link_resp, seq, std::move(r));
  };
  c.OnData_SM_RESP_OK = [this](TObject*, Cardinal seq, AnsiString id, TOPData_SM_RESP) {
    Response r;
    r.message_id = std::move(id);
    Store(command_id::data_sm_resp, seq, std::move(r));
  };
  c.OnData_SM_RESP_Error = [this](TObject*, Cardinal status, Cardinal seq, AnsiString id, TOPData_SM_RESP) {
    Response r;
    r.status = status;
    r.message_id = std::move(id);
    Store(command_id::data_sm_resp, seq, std::move(r));
  };

  // What the SMSC asks of us is answered here, whatever the command.
  c.OnEnquire_LINK = [this](TObject*, Cardinal, Cardinal seq) { smpp_->Enquire_LINK_RESP(seq); };
  c.OnDeliver_SM = [this](TObject*, Cardinal seq, AnsiString, Byte, Byte, AnsiString source, Byte, Byte,
                          AnsiString destination, Byte esm_class, Byte, Byte, AnsiString, AnsiString, Byte, Byte,
                          Byte data_coding, Byte, Byte, AnsiString short_message, TOPDeliver_SM op) {
    smpp_->Deliver_SM_RESP(0, seq, "");
    Inbound(source, destination, esm_class, data_coding, short_message, &op, nullptr, "deliver_sm");
  };
  c.OnData_SM = [this](TObject*, Cardinal seq, AnsiString, Byte, Byte, AnsiString source, Byte, Byte,
                       AnsiString destination, Byte esm_class, Byte, Byte data_coding, TOPData_SM op) {
    smpp_->Data_SM_RESP(0, seq, "", {});
    Inbound(source, destination, esm_class, data_coding, "", nullptr, &op, "data_sm");
  };

  if (o_.trace) {
    c.TraceSent = [this](std::string_view pdu) { err_ << TraceLine('>', pdu) << std::endl; };
    c.TraceReceived = [this](std::string_view pdu) { err_ << TraceLine('<', pdu) << std::endl; };
    // Every event, handled or not, as "* On<name>" before its handler runs.
    for_each_event(c, [this](const char* name, auto& event) {
      event = [this, name, inner = event](TObject* sender, auto... a) {
        err_ << "* On" << name << std::endl;
        if (inner) inner(sender, std::move(a)...);
      };
    });
  }
}

void Client::Inbound(const std::string& source, const std::string& destination, Byte esm_class, Byte data_coding,
                     const std::string& short_message, const TOPDeliver_SM* deliver, const TOPData_SM* data,
                     const char* via) {
  sms::ReceiptTlvs tlvs;
  sms::InboundPart part;
  part.source = source;
  part.destination = destination;
  part.esm_class = esm_class;
  part.data_coding = data_coding;
  part.short_message = short_message;
  auto take = [&](const auto& op) {
    if (op.receipted_message_id.Field) tlvs.receipted_message_id = op.receipted_message_id.Value;
    if (op.message_state.Field) tlvs.message_state = op.message_state.Value;
    if (op.network_error_code.Field) tlvs.network_error_code = op.network_error_code.Value;
    if (op.message_payload.Field) part.message_payload = op.message_payload.Value;
    if (op.sar_msg_ref_num.Field && op.sar_total_segments.Field && op.sar_segment_seqnum.Field)
      part.sar = sms::SarValues{op.sar_msg_ref_num.Value, op.sar_total_segments.Value, op.sar_segment_seqnum.Value};
  };
  if (deliver) take(*deliver);
  if (data) take(*data);

  if (sms::IsDeliveryReceiptEsmClass(esm_class) || tlvs.receipted_message_id) {
    const std::string_view body = part.message_payload ? std::string_view(*part.message_payload) : short_message;
    if (auto r = sms::ParseReceipt(body, tlvs)) {
      receipts_.push_back({std::move(*r), source, destination});
      if (listening_) {
        ++printed_;
        Line(FormatReceipt(receipts_.back().receipt, source, destination, o_.json));
        receipts_.clear();
      }
      return;
    }
  }
  if (!listening_) return;  // MO traffic is only of interest to listen
  const auto fed = reassembler_.Feed(part, Clock::now());
  for (const auto& d : fed.dropped)
    err_ << "warning: dropped an incomplete message from " << d.source << " (" << d.parts.size() << " of "
         << unsigned(d.total_parts) << " parts)" << std::endl;
  if (fed.status == sms::FeedStatus::Malformed) {
    err_ << "warning: malformed concatenation header in a message from " << source << std::endl;
    return;
  }
  if (fed.status != sms::FeedStatus::Complete || !fed.message) return;
  const sms::Message& m = *fed.message;
  MessageLine line;
  line.source = m.source;
  line.destination = m.destination;
  line.data_coding = m.data_coding;
  line.parts = m.total_parts;
  line.via = via;
  const auto alphabet = sms::AlphabetOf(m.data_coding);
  auto text = alphabet == sms::Alphabet::Binary || alphabet == sms::Alphabet::Unsupported
                  ? sms::Result<std::string>(sms::Error{sms::ErrorCode::UnsupportedCoding})
                  : sms::DecodeMessage(m, sms::OnBadInput::Replace);
  if (text) {
    line.text = std::move(*text);
  } else {
    line.text = HexOctets(m.octets);
    line.text_is_hex = true;
  }
  ++printed_;
  Line(FormatMessage(line, o_.json));
}

void Client::Await(const std::function<bool()>& done, unsigned timeout_ms, const std::string& what) {
  Deadline deadline(loop_, timeout_ms);
  loop_.RunUntil([&] { return done() || deadline.expired() || lost_ || Interrupted(); },
                 std::chrono::milliseconds(timeout_ms + 1000));
  if (done()) return;
  if (lost_) throw Failure{exit_code::lost, "connection lost while waiting for " + what};
  if (Interrupted()) throw Failure{exit_code::interrupted, "interrupted while waiting for " + what};
  throw Failure{exit_code::timeout, what + ": no answer within " + std::to_string(timeout_ms) + " ms"};
}

void Client::Pause(unsigned ms) {
  if (ms == 0) return;
  Deadline deadline(loop_, ms);
  loop_.RunUntil([&] { return deadline.expired() || lost_ || Interrupted(); }, std::chrono::milliseconds(ms + 1000));
  if (lost_) throw Failure{exit_code::lost, "connection lost"};
  if (Interrupted()) throw Failure{exit_code::interrupted, "interrupted"};
}

Client::Response Client::Request(Cardinal seq, const std::string& what, unsigned timeout_ms, int reject_code) {
  if (seq == 0) throw Failure{exit_code::usage, what + " not sent: a field is longer than the PDU allows"};
  Await([&] { return responses_.count(seq) != 0; }, timeout_ms, what + " response");
  Response r = std::move(responses_[seq]);
  responses_.erase(seq);
  if (r.command_id == command_id::generic_nack)
    throw Failure{reject_code, what + " rejected with generic_nack: " + StatusText(r.status)};
  if (r.status != 0) throw Failure{reject_code, what + " rejected: " + StatusText(r.status)};
  return r;
}

void Client::StartEmbedded() {
  server_ = std::make_unique<smsc::Server>(SimulatorConfig(o_, true), loop_);
  if (!server_->start("127.0.0.1", 0))
    throw Failure{exit_code::connect, "cannot start the embedded SMSC on 127.0.0.1"};
  host_ = "127.0.0.1";
  port_ = server_->port();
  Line("embedded SMSC listening on " + host_ + ":" + std::to_string(port_) + " (no --host given)");
}

// The component's socket, for what only the socket knows (the TLS session).
TClientSocket* SocketOf(TVelmorSMPPDemo& c) {
  for (int i = 0; i < c.ComponentCount(); ++i)
    if (auto* s = dynamic_cast<TClientSocket*>(c.Components(i))) return s;
  return nullptr;
}

void Client::Open() {
  const std::string where = host_ + ":" + std::to_string(port_);
  const TTLSOptions tls = o_.TLS();
  if (tls.insecure_skip_verify)
    err_ << "warning: --tls-insecure: the SMSC's certificate is not verified; anyone on the path can read and "
            "change this session"
         << std::endl;
  smpp_->SetTLS(tls);
  smpp_->Connect(host_, port_);
  // Over TLS the handshake has a deadline of its own after the connect's; it
  // reports its own error before this wait ends.
  const unsigned wait = tls.enabled ? o_.connect_timeout_ms * 2 + 1000 : o_.connect_timeout_ms;
  try {
    Await([&] { return connected_ || sock_error_ != 0; }, wait, "connect to " + where);
  } catch (const Failure&) {
    smpp_->Disconnect();
    throw;
  }
  if (!connected_) throw Failure{exit_code::connect, "cannot connect to " + where + ": " + SocketErrorText(sock_error_)};
  Line("connected to " + where + (tls.enabled ? " over TLS" : ""));
  if (o_.trace && tls.enabled)
    if (TClientSocket* s = SocketOf(*smpp_)) err_ << "tls " << s->Socket()->TLSDescription() << std::endl;
}

void Client::BindSession() {
  const TBindType type = o_.EffectiveBind();
  const auto t0 = Clock::now();
  const Cardinal seq = smpp_->Bind(type, o_.system_id, o_.password, o_.system_type, o_.source_ton, o_.source_npi, "");
  sent_at_[seq] = t0;
  Response r;
  try {
    r = Request(seq, "bind", o_.bind_timeout_ms, exit_code::bind_rejected);
  } catch (Failure& f) {
    // A TLS listener drops a plaintext bind without a word.
    if (f.code == exit_code::lost && !o_.tls) f.message += " (if the SMSC expects TLS, add --tls)";
    throw;
  }
  bound_ = true;
  Line(std::string("bound as ") + BindName(type) + ", system_id=" + r.message_id + " (" + Ms(r.rtt_ms) + ")");
}

void Client::Close(bool quiet) {
  const unsigned wait = quiet ? std::min(o_.timeout_ms, kCloseAfterFailureMs) : o_.timeout_ms;
  closing_ = true;
  if (bound_ && connected_) {
    bound_ = false;
    const Cardinal seq = smpp_->Unbind();
    try {
      Request(seq, "unbind", wait, exit_code::rejected);
      Line("unbound");
    } catch (const Failure& f) {
      if (!quiet) throw;
    }
  }
  if (connected_) {
    connected_ = false;  // from here a disconnect is ours, not a loss
    closed_ = false;
    smpp_->Disconnect();
    // OnDisconnect follows from the loop; let it run so the socket is closed
    // before the process reports success.
    loop_.RunUntil([this] { return closed_; }, std::chrono::milliseconds(kCloseAfterFailureMs));
    Line("disconnected");
  }
}

int Client::Run() {
  smpp_ = std::make_unique<TVelmorSMPPDemo>(nullptr, loop_);
  Wire();
  poll_ = std::make_unique<TTimer>(nullptr, loop_);
  poll_->SetInterval(kPollMs);
  poll_->OnTimer = [](TObject*) {};
  poll_->SetEnabled(stop_ != nullptr);
  int code = exit_code::ok;
  try {
    if (o_.Embedded()) {
      StartEmbedded();
    } else {
      host_ = o_.host;
      port_ = o_.port;
    }
    Open();
    BindSession();
    switch (o_.command) {
      case Command::Send: Send(); break;
      case Command::Listen: Listen(); break;
      case Command::Query: Query(); break;
      case Command::Cancel: Cancel(); break;
      case Command::Replace: Replace(); break;
      case Command::Ping: Ping(); break;
      case Command::Simulate: break;
    }
    Close(false);
  } catch (const Failure& f) {
    err_ << "error: " << f.message << std::endl;
    code = f.code;
    if (f.code != exit_code::lost && f.code != exit_code::connect) {
      try {
        Close(true);
      } catch (const Failure&) {
      }
    }
  }
  return code;
}

void Client::Send() {
  sms::SegmentOptions so;
  so.method = o_.split == SplitMethod::Udh   ? sms::SegmentMethod::Udh8
              : o_.split == SplitMethod::Sar ? sms::SegmentMethod::Sar
                                             : sms::SegmentMethod::Payload;
  so.reference = static_cast<std::uint16_t>(std::random_device{}() & 0xFF);
  sms::Result<std::vector<sms::Part>> parts = sms::Error{};
  if (o_.encoding == TextEncoding::Binary) {
    parts = sms::SegmentOctets(OctetsFromHex(o_.text), o_.data_coding.value_or(sms::data_coding::kBinary), so);
  } else {
    switch (o_.encoding) {
      case TextEncoding::Gsm: so.data_coding = sms::data_coding::kDefault; break;
      case TextEncoding::Ucs2: so.data_coding = sms::data_coding::kUcs2; break;
      case TextEncoding::Latin1: so.data_coding = sms::data_coding::kLatin1; break;
      default: so.data_coding = o_.data_coding; break;
    }
    parts = sms::SegmentText(o_.text, so);
  }
  if (!parts) throw Failure{exit_code::usage, EncodingError(parts.error())};

  const Byte registered = o_.registered_delivery.value_or(o_.receipt ? 1 : 0);
  const std::size_t total = parts->size();
  std::size_t expected_receipts = 0;
  std::vector<Clock::time_point> submitted;
  for (std::size_t i = 0; i < total; ++i) {
    const sms::Part& p = (*parts)[i];
    const std::string part_text = total > 1 ? " part " + std::to_string(i + 1) + "/" + std::to_string(total) : "";
    const auto t0 = Clock::now();
    if (o_.to.size() == 1) {
      const Cardinal seq = smpp_->Submit_SM("", o_.source_ton, o_.source_npi, o_.source, o_.dest_ton, o_.dest_npi,
                                            o_.to[0], p.esm_class, 0, 0, "", "", registered, 0, p.data_coding, 0,
                                            p.short_message, sms::ToOPSubmit_SM(p));
      if (seq) sent_at_[seq] = t0;
      const Response r = Request(seq, "submit", o_.timeout_ms, exit_code::rejected);
      Line("submitted to " + o_.to[0] + part_text + ": message_id=" + r.message_id + " (" + Ms(r.rtt_ms) + ")");
      ++expected_receipts;
    } else {
      Tdest_address dests;
      for (const auto& d : o_.to) smpp_->dest_address_AddSME(dests, o_.dest_ton, o_.dest_npi, d);
      const Cardinal seq = smpp_->Submit_MULTI("", o_.source_ton, o_.source_npi, o_.source, dests, p.esm_class, 0, 0,
                                               "", "", registered, 0, p.data_coding, 0, p.short_message,
                                               ToMulti(sms::ToOPSubmit_SM(p)));
      if (seq) sent_at_[seq] = t0;
      const Response r = Request(seq, "submit_multi", o_.timeout_ms, exit_code::rejected);
      Line("submitted to " + Join(o_.to) + part_text + ": message_id=" + r.message_id + " (" + Ms(r.rtt_ms) + ")");
      for (const auto& u : r.unsuccess)
        err_ << "not accepted for " << u.destination_addr << ": " << StatusText(u.error_status_code) << std::endl;
      if (r.unsuccess.size() >= o_.to.size())
        throw Failure{exit_code::rejected, "submit_multi rejected for every destination"};
      expected_receipts += o_.to.size() - r.unsuccess.size();
    }
    submitted.push_back(t0);
  }
  if (!o_.receipt) return;
  const auto since = submitted.front();
  std::size_t shown = 0;
  auto show_new = [&] {
    for (; shown < receipts_.size(); ++shown) {
      const sms::Receipt& r = receipts_[shown].receipt;
      std::string line = "receipt received: id=" + r.id;
      if (r.state) line += " state=" + std::string(sms::MessageStateName(*r.state));
      if (r.stat) line += " stat=" + *r.stat;
      if (r.err) line += " err=" + *r.err;
      Line(line + " (" + Ms(MsSince(since)) + " after submit)");
    }
    return receipts_.size() >= expected_receipts;
  };
  try {
    Await(show_new, o_.receipt_timeout_ms, "delivery receipts");
  } catch (Failure& f) {
    if (f.code == exit_code::timeout)
      f.message = "delivery receipts: " + std::to_string(receipts_.size()) + " of " +
                  std::to_string(expected_receipts) + " within " + std::to_string(o_.receipt_timeout_ms) + " ms";
    throw;
  }
}

void Client::Listen() {
  listening_ = true;
  // Receipts queued before the bind were delivered with it; print them now.
  for (auto& r : receipts_) {
    ++printed_;
    Line(FormatReceipt(r.receipt, r.source, r.destination, o_.json));
  }
  receipts_.clear();
  std::optional<Deadline> duration;
  if (o_.duration_s) duration.emplace(loop_, o_.duration_s * 1000);
  TTimer keepalive(nullptr, loop_);
  keepalive.SetInterval(kKeepAliveMs);
  keepalive.OnTimer = [this](TObject*) {
    smpp_->Enquire_LINK();
    for (const auto& d : reassembler_.Expire(Clock::now()))
      err_ << "warning: dropped an incomplete message from " << d.source << " (" << d.parts.size() << " of "
           << unsigned(d.total_parts) << " parts)" << std::endl;
  };
  keepalive.SetEnabled(true);
  auto done = [&] {
    return (o_.count && printed_ >= o_.count) || (duration && duration->expired()) || lost_ || Interrupted();
  };
  while (!done()) loop_.RunUntil(done, std::chrono::hours(1));
  if (lost_) throw Failure{exit_code::lost, "connection lost"};
  // SIGINT/SIGTERM is how listen is meant to end: unbind as usual.
}

void Client::Query() {
  const auto t0 = Clock::now();
  const Cardinal seq = smpp_->Query_SM(o_.id, o_.source_ton, o_.source_npi, o_.source);
  sent_at_[seq] = t0;
  const Response r = Request(seq, "query", o_.timeout_ms, exit_code::rejected);
  std::string state = std::to_string(r.message_state);
  if (const auto s = sms::ToMessageState(r.message_state)) state = std::string(sms::MessageStateName(*s));
  Line("query message_id=" + r.message_id + " state=" + state +
       " final_date=" + (r.final_date.empty() ? "-" : r.final_date) + " error_code=" + std::to_string(r.error_code) +
       " (" + Ms(r.rtt_ms) + ")");
}

void Client::Cancel() {
  const auto t0 = Clock::now();
  const Cardinal seq = smpp_->Cancel_SM("", o_.id, o_.source_ton, o_.source_npi, o_.source, o_.dest_ton, o_.dest_npi,
                                        o_.to.empty() ? std::string() : o_.to[0]);
  sent_at_[seq] = t0;
  const Response r = Request(seq, "cancel", o_.timeout_ms, exit_code::rejected);
  Line("cancelled message_id=" + o_.id + " (" + Ms(r.rtt_ms) + ")");
}

void Client::Replace() {
  const auto encoded = sms::EncodeText(o_.text, o_.data_coding.value_or(sms::data_coding::kDefault));
  if (!encoded) throw Failure{exit_code::usage, EncodingError(encoded.error())};
  const auto t0 = Clock::now();
  const Cardinal seq = smpp_->Replace_SM(o_.id, o_.source_ton, o_.source_npi, o_.source, "", "",
                                         o_.registered_delivery.value_or(0), 0, encoded->octets);
  if (seq) sent_at_[seq] = t0;
  const Response r = Request(seq, "replace", o_.timeout_ms, exit_code::rejected);
  Line("replaced message_id=" + o_.id + " (" + Ms(r.rtt_ms) + ")");
}

void Client::Ping() {
  const unsigned count = o_.count ? o_.count : 3;
  double lo = 0, hi = 0, sum = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (i) Pause(o_.interval_ms);
    const auto t0 = Clock::now();
    const Cardinal seq = smpp_->Enquire_LINK();
    sent_at_[seq] = t0;
    const Response r = Request(seq, "enquire_link", o_.timeout_ms, exit_code::rejected);
    lo = i ? std::min(lo, r.rtt_ms) : r.rtt_ms;
    hi = std::max(hi, r.rtt_ms);
    sum += r.rtt_ms;
    Line("enquire_link_resp seq=" + std::to_string(seq) + " time=" + Ms(r.rtt_ms));
  }
  char buf[128];
  std::snprintf(buf, sizeof buf, "%u sent, %u answered, round trip min/avg/max = %.2f/%.2f/%.2f ms", count, count, lo,
                sum / count, hi);
  Line(buf);
}

int RunSimulator(const Options& o, TEventLoop& loop, std::ostream& out, std::ostream& err,
                 const volatile std::sig_atomic_t* stop) {
  TTimer poll(nullptr, loop);
  poll.SetInterval(kPollMs);
  poll.OnTimer = [&](TObject*) {
    if (stop && *stop) loop.Stop();
  };
  poll.SetEnabled(true);
  bool bad_tls_files = false;
  const int rc = smsc::run_standalone(
      SimulatorConfig(o, false), o.host, o.port, loop,
      [&](int port) {
        out << "SMSC simulator listening on " << o.host << ":" << port << (o.tls ? " (TLS)" : "") << std::endl;
      },
      o.TLS(),
      [&](int code) {
        if (code == tls_error::bad_config) bad_tls_files = true;
        else err << "a client failed: " << TLSErrorText(code) << std::endl;
      });
  if (rc != 0) {
    if (bad_tls_files)
      err << "error: cannot use --tls-cert " << o.tls_cert << " with --tls-key " << o.tls_key << ": "
          << TLSErrorText(tls_error::bad_config) << std::endl;
    else
      err << "error: cannot listen on " << o.host << ":" << o.port << std::endl;
    return exit_code::connect;
  }
  out << "SMSC simulator stopped" << std::endl;
  return exit_code::ok;
}

}  // namespace velmor::cli
