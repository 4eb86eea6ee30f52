// velmorsmppdemo: a command-line ESME over TVelmorSMPPDemo. Exit codes are
// listed in tools/cli/Options.h (exit_code) and in --help.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/Client.h"
#include "tools/cli/Options.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnSignal(int) { g_stop = 1; }

void InstallSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A peer closing mid-write must surface as a socket error, not kill us.
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmor::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseOutcome parsed = ParseArgs(args, std::getenv("SMPP_PASSWORD"));
  if (parsed.help) {
    std::cout << Usage();
    return exit_code::ok;
  }
  if (!parsed.options) {
    std::cerr << "error: " << parsed.error << "\n\n" << Usage();
    return exit_code::usage;
  }
  InstallSignals();
  velmor::TEventLoop loop;
  try {
    if (parsed.options->command == Command::Simulate)
      return RunSimulator(*parsed.options, loop, std::cout, std::cerr, &g_stop);
    Client client(*parsed.options, loop, std::cout, std::cerr, &g_stop);
    return client.Run();
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    return exit_code::internal;
  }
}
