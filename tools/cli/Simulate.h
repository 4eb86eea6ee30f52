// `simulate`, and the embedded simulator a client starts when it is given
// no --host and no --port.
#pragma once

#include <csignal>
#include <ostream>

#include "platform/EventLoop.h"
#include "tools/cli/Options.h"
#include "tools/smsc/Config.h"

namespace velmor::cli {

// The simulator settings the flags describe. The embedded simulator answers
// receipts after 200 ms unless --delivery-delay says otherwise, so that a
// demo does not sit idle.
smsc::Config SimulatorConfig(const Options& options, bool embedded);

// Runs the simulator on --host:--port until *stop (SIGINT/SIGTERM: every
// session is unbound, then the process exits). *counters set (SIGUSR1)
// prints the counters and is cleared. Prints the port bound. Returns the
// exit code.
int RunSimulator(const Options& options, TEventLoop& loop, std::ostream& out, std::ostream& err,
                 const volatile std::sig_atomic_t* stop, volatile std::sig_atomic_t* counters);

}  // namespace velmor::cli
