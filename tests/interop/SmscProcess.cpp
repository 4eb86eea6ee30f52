#include "interop/SmscProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace velmor::test {
namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

int Status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

SmscProcess::~SmscProcess() {
  Kill();
  if (FIn >= 0) ::close(FIn);
  if (FOut >= 0) ::close(FOut);
}

bool SmscProcess::Start(const std::string& node, const std::string& script, std::chrono::milliseconds timeout,
                        std::string& error) {
  // A write to a child that has already exited must fail with EPIPE, not
  // end the whole test binary.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
  std::string argv0 = node, argv1 = script;
  char* argv[] = {argv0.data(), argv1.data(), nullptr};
  const int rc = ::posix_spawn(&FPid, node.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(in[0]);
  ::close(out[1]);
  FIn = in[1];
  FOut = out[0];
  if (rc != 0) {
    FPid = -1;
    error = "cannot start " + node + ": " + std::strerror(rc);
    return false;
  }
  ::fcntl(FOut, F_SETFL, ::fcntl(FOut, F_GETFL) | O_NONBLOCK);

  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto line = Find("listening ")) {
      FPort = std::atoi(line->c_str() + std::strlen("listening "));
      if (FPort > 0) return true;
      error = "bad listening line: " + *line;
      return false;
    }
    if (Remaining(deadline) == 0) {
      error = "smsc.js did not report its port in time";
      return false;
    }
    Poll(std::chrono::milliseconds(Remaining(deadline)));
    if (FOut < 0) {
      error = "smsc.js ended before reporting its port";
      return false;
    }
  }
}

bool SmscProcess::WriteLine(std::string_view line) {
  if (FIn < 0) return false;
  std::string data(line);
  data.push_back('\n');
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(FIn, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void SmscProcess::Poll(std::chrono::milliseconds wait) {
  if (FOut < 0) return;
  pollfd p{FOut, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(FOut, buf, sizeof buf);
    if (n > 0) {
      FPartial.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {  // the child closed its stdout: it is exiting
      ::close(FOut);
      FOut = -1;
    }
    break;
  }
  for (std::size_t nl; (nl = FPartial.find('\n')) != std::string::npos;) {
    FLines.push_back(FPartial.substr(0, nl));
    FPartial.erase(0, nl + 1);
  }
}

std::optional<std::string> SmscProcess::Find(std::string_view prefix, std::size_t from, std::size_t* at) const {
  for (std::size_t i = from; i < FLines.size(); ++i)
    if (std::string_view(FLines[i]).substr(0, prefix.size()) == prefix) {
      if (at) *at = i;
      return FLines[i];
    }
  return std::nullopt;
}

int SmscProcess::Wait(std::chrono::milliseconds timeout) {
  if (FIn >= 0) {
    ::close(FIn);
    FIn = -1;
  }
  if (FPid <= 0) return -1;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    Poll(std::chrono::milliseconds(std::min(Remaining(deadline), 20)));
    int raw = 0;
    const pid_t r = ::waitpid(FPid, &raw, WNOHANG);
    if (r == FPid) {
      FPid = -1;
      Poll(std::chrono::milliseconds(0));
      return Status(raw);
    }
    if (Remaining(deadline) == 0) {
      Kill();
      return -1;
    }
    if (FOut < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void SmscProcess::Kill() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGKILL);
  int raw = 0;
  ::waitpid(FPid, &raw, 0);
  FPid = -1;
}

}  // namespace velmor::test
