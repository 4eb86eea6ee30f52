// The command logic of velmorsmppdemo over one velmor::session::session: the
// session answers the SMSC's enquire_link, unbind and unknown commands,
// keeps the window, the deadlines and the throttling pauses, and matches
// each delivery receipt to the message it belongs to; the client turns the
// command line into requests and their outcomes into lines and exit codes.
//
// Output: results go to `out` (with --json only JSON lines), everything else
// (progress, chatter, trace, errors) to `err`; --quiet drops the chatter.
//
// Thread: everything runs on the thread that calls Run(), which drives the
// loop. The stop flag is written by a signal handler and only read here.
#pragma once

#include <csignal>
#include <memory>
#include <ostream>
#include <string>

#include "package/VelmorSMPPDemo_LIB.h"
#include "tools/cli/Options.h"

namespace velmor::cli {

struct ClientIo {
  std::ostream& out;
  std::ostream& err;
  const volatile std::sig_atomic_t* stop = nullptr;  // null: never interrupted
  bool err_is_terminal = false;                      // progress as a redrawn bar
};

// Runs the command: starts the embedded simulator when no --host/--port was
// given, checks every text and length, connects, binds, runs, unbinds.
// Returns the exit code; a failure has been reported on err as one line.
int RunClient(const Options& options, TEventLoop& loop, const ClientIo& io);

}  // namespace velmor::cli
