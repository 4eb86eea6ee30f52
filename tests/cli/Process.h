// Runs the built velmorsmppdemo as a child process with its stdout and stderr
// on pipes, so tests see exactly what a user would. Every read and wait takes
// a deadline; a child still running at the end is killed, so no test can hang.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace velmor::test {

struct ProcessResult {
  int exit_code = -1;  // -1: killed at the deadline
  std::string out, err;
  std::chrono::milliseconds elapsed{0};
};

class Process {
 public:
  using Clock = std::chrono::steady_clock;

  // extra_env: "NAME=value" entries added to (or replacing) the environment.
  Process(const std::string& exe, const std::vector<std::string>& args,
          const std::vector<std::string>& extra_env = {}) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&fa, out_pipe[0]);
    posix_spawn_file_actions_addclose(&fa, err_pipe[0]);
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const auto& x : extra_env)
        if (entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0) replaced = true;
      if (!replaced) env_s.push_back(entry);
    }
    env_s.insert(env_s.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    start_ = Clock::now();
    const int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (rc != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
  }
  ~Process() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The next complete stdout line (without '\n'), or nullopt at the deadline
  // or end of output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (const auto nl = out_.find('\n', consumed_); nl != std::string::npos) {
        std::string line = out_.substr(consumed_, nl - consumed_);
        consumed_ = nl + 1;
        return line;
      }
      if (!Pump(deadline)) return std::nullopt;
    }
  }
  // Reads lines until one contains `needle`; returns it.
  std::optional<std::string> WaitForLine(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      auto line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
      if (!line) return std::nullopt;
      if (line->find(needle) != std::string::npos) return line;
    }
    return std::nullopt;
  }

  // Reads until stderr holds `needle` (for commands whose chatter goes to
  // stderr, as with --json).
  bool WaitForErr(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (err_.find(needle) == std::string::npos)
      if (!Pump(deadline)) return false;
    return true;
  }

  void Signal(int sig) { kill(pid_, sig); }

  // Collects the rest of the output and the exit status; kills the child at
  // the deadline (exit_code -1 then).
  ProcessResult Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Pump(deadline)) {}
    ProcessResult r;
    int status = 0;
    while (!reaped_) {
      const pid_t p = waitpid(pid_, &status, WNOHANG);
      if (p == pid_) {
        reaped_ = true;
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
        r.exit_code = -1;
      } else {
        usleep(2000);
      }
    }
    r.out = out_;
    r.err = err_;
    r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_);
    return r;
  }

  const std::string& err() const { return err_; }

 private:
  // Reads what is ready from either pipe; false at the deadline or once both
  // pipes reached end of file.
  bool Pump(Clock::time_point deadline) {
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
    if (poll(fds, 2, ms + 1) <= 0) return Clock::now() < deadline;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        (i == 0 ? out_fd_ : err_fd_) = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  std::size_t consumed_ = 0;
  Clock::time_point start_;
};

// `simulate --port 0` as a child process; the port is read from its first
// line (plain, or the "listening" JSON line with --json).
class SimulateProcess {
 public:
  SimulateProcess(const std::string& exe, std::vector<std::string> flags) {
    flags.insert(flags.begin(), {"simulate", "--port", "0"});
    proc_ = std::make_unique<Process>(exe, flags);
    const auto line = proc_->ReadLine(std::chrono::seconds(5));
    std::smatch m;
    static const std::regex re("listening on 127\\.0\\.0\\.1:(\\d+)|\"port\":(\\d+)");
    if (line && std::regex_search(*line, m, re)) port_ = m[1].matched ? m[1].str() : m[2].str();
  }
  const std::string& port() const { return port_; }
  Process& process() { return *proc_; }
  ProcessResult Stop() {
    proc_->Signal(SIGTERM);
    return proc_->Wait(std::chrono::seconds(10));
  }

 private:
  std::unique_ptr<Process> proc_;
  std::string port_;
};

// Runs to completion (or the deadline) and returns everything.
inline ProcessResult Run(const std::string& exe, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                         const std::vector<std::string>& extra_env = {}) {
  Process p(exe, args, extra_env);
  return p.Wait(timeout);
}

}  // namespace velmor::test
