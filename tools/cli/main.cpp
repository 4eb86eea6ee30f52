// velmorsmppdemo: a command-line ESME over the session layer, and the SMSC
// simulator. Exit codes are listed in tools/cli/Options.h and in --help.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/Client.h"
#include "tools/cli/Options.h"
#include "tools/cli/Simulate.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_counters = 0;

extern "C" void OnStop(int) { g_stop = 1; }
extern "C" void OnCounters(int) { g_counters = 1; }

void InstallSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = OnCounters;
  sigaction(SIGUSR1, &sa, nullptr);
  // A peer closing mid-write must surface as a socket error, not kill us.
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmor::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseOutcome parsed = ParseArgs(args, [](const char* name) { return std::getenv(name); });
  if (parsed.help || parsed.version) {
    std::cout << parsed.text;
    return exit_code::ok;
  }
  if (!parsed.options) {
    std::cerr << "error: " << parsed.error << "\n"
              << "try `velmorsmppdemo" << (parsed.command.empty() ? "" : " " + parsed.command) << " --help`"
              << std::endl;
    return exit_code::usage;
  }
  InstallSignals();
  velmor::TEventLoop loop;
  try {
    if (parsed.options->command == Command::Simulate)
      return RunSimulator(*parsed.options, loop, std::cout, std::cerr, &g_stop, &g_counters);
    return RunClient(*parsed.options, loop, ClientIo{std::cout, std::cerr, &g_stop, isatty(2) == 1});
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    return exit_code::internal;
  }
}
