// The command logic of velmorsmppdemo over one TVelmorSMPPDemo, used exactly
// as an application would use it: the client answers enquire_link, deliver_sm
// and data_sm itself, pairs responses with requests by sequence number, and
// keeps its own deadlines as TTimers on the loop, so no wait can outlast its
// timeout.
//
// Thread: everything runs on the thread that calls Run(), which drives the
// loop. The stop flag is written by a signal handler and only read here.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "package/VelmorSMPPDemo_LIB.h"
#include "sms/Reassembly.h"
#include "sms/Receipt.h"
#include "tools/cli/Options.h"
#include "tools/smsc/Config.h"

namespace velmor::smsc {
class Server;
}

namespace velmor::cli {

// The simulator settings the flags describe. The embedded simulator answers
// receipts after 200 ms unless --delivery-delay says otherwise, so that a
// demo does not sit idle.
smsc::Config SimulatorConfig(const Options& options, bool embedded);

class Client {
 public:
  // out receives the transcript and the command's results, err the trace and
  // the one-line errors. stop may be null (never interrupted).
  Client(const Options& options, TEventLoop& loop, std::ostream& out, std::ostream& err,
         const volatile std::sig_atomic_t* stop = nullptr);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts the embedded simulator when no --host was given, connects, binds,
  // runs the command, unbinds and disconnects. Returns the exit code; a
  // failure has been reported on err as one line.
  int Run();

 private:
  struct Failure {
    int code;
    std::string message;
  };
  struct Response {
    Cardinal command_id = 0;
    Cardinal status = 0;
    std::string message_id;
    Tunsuccess_sme unsuccess;
    std::string final_date;
    Byte message_state = 0;
    Byte error_code = 0;
    double rtt_ms = 0;
  };
  struct Received {
    sms::Receipt receipt;
    std::string source, destination;
  };
  using Clock = std::chrono::steady_clock;

  void Wire();
  void Line(const std::string& text);
  // Once closing, a stop request no longer cuts waits short: the unbind that
  // follows SIGINT must still be awaited (under its own timeout).
  bool Interrupted() const { return !closing_ && stop_ != nullptr && *stop_ != 0; }

  // Runs the loop until done() holds; throws Failure on timeout, on a lost
  // connection or on interruption, naming `what`.
  void Await(const std::function<bool()>& done, unsigned timeout_ms, const std::string& what);
  // Runs the loop for ms (a pause between pings), ending early on stop or loss.
  void Pause(unsigned ms);
  // Waits for the response to seq and checks its command_status; a refusal
  // throws Failure{reject_code, "<what> rejected: 0x... NAME (text)"}.
  Response Request(Cardinal seq, const std::string& what, unsigned timeout_ms, int reject_code);

  void StartEmbedded();
  void Open();
  void BindSession();
  void Close(bool quiet);

  void Send();
  void Listen();
  void Query();
  void Cancel();
  void Replace();
  void Ping();

  void Inbound(const std::string& source, const std::string& destination, Byte esm_class, Byte data_coding,
               const std::string& short_message, const TOPDeliver_SM* deliver, const TOPData_SM* data,
               const char* via);
  void Store(Cardinal command_id, Cardinal seq, Response r);

  Options o_;
  TEventLoop& loop_;
  std::ostream& out_;
  std::ostream& err_;
  const volatile std::sig_atomic_t* stop_;

  std::unique_ptr<smsc::Server> server_;
  std::unique_ptr<TVelmorSMPPDemo> smpp_;
  std::unique_ptr<TTimer> poll_;  // wakes the loop so the stop flag is seen

  std::string host_;
  int port_ = 0;
  bool connected_ = false, lost_ = false, bound_ = false, closed_ = false, closing_ = false;
  int sock_error_ = 0;
  std::map<Cardinal, Response> responses_;
  std::map<Cardinal, Clock::time_point> sent_at_;

  sms::Reassembler reassembler_;
  std::vector<Received> receipts_;
  unsigned printed_ = 0;  // messages and receipts printed by listen
  bool listening_ = false;
};

// `simulate`: the simulator on --host:--port until SIGINT/SIGTERM. Prints the
// port bound. Returns the exit code.
int RunSimulator(const Options& options, TEventLoop& loop, std::ostream& out, std::ostream& err,
                 const volatile std::sig_atomic_t* stop);

}  // namespace velmor::cli
