// The node SMSC (smsc.js) as a child process of the test: its stdin takes one
// JSON directive per line, its stdout gives one report per line, its stderr
// is the test's own (so ctest --output-on-failure shows node's diagnostics).
//
// Thread: one thread, the test's. Nothing here blocks for longer than the
// timeout it is given; the child is killed when this object goes away still
// running, so a failed test never leaves a node process behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::test {

class SmscProcess {
 public:
  SmscProcess() = default;
  ~SmscProcess();
  SmscProcess(const SmscProcess&) = delete;
  SmscProcess& operator=(const SmscProcess&) = delete;

  // Starts `node script` and waits for its "listening <port>" line. On
  // failure returns false with the reason in error.
  bool Start(const std::string& node, const std::string& script, std::chrono::milliseconds timeout, std::string& error);
  int Port() const { return FPort; }

  // Writes one line (a newline is appended). False once the child has closed
  // its stdin.
  bool WriteLine(std::string_view line);

  // Collects whatever the child has printed, waiting at most wait for the
  // first octet. Complete lines are appended to Lines().
  void Poll(std::chrono::milliseconds wait);
  const std::vector<std::string>& Lines() const { return FLines; }
  // The first collected line, at or after index from, that starts with
  // prefix; its index goes to at.
  std::optional<std::string> Find(std::string_view prefix, std::size_t from = 0, std::size_t* at = nullptr) const;

  // Closes the child's stdin and waits for it to exit, collecting its output;
  // kills it when the timeout passes. Returns the exit status (128 + signal
  // number for a signal), or -1 when it had to be killed.
  int Wait(std::chrono::milliseconds timeout);
  bool Running() const { return FPid > 0; }

 private:
  void Kill();
  pid_t FPid = -1;
  int FIn = -1;   // the child's stdin, our end
  int FOut = -1;  // the child's stdout, our end (non-blocking)
  int FPort = 0;
  std::string FPartial;
  std::vector<std::string> FLines;
};

}  // namespace velmor::test
