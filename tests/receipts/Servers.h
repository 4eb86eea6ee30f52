// Servers the receipt tests run against: redis-server on a free loopback
// port in a directory of its own, started and stopped by process id.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

namespace velmor::receipts_test {

inline int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline bool port_open(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Whether a Redis server on port answers PING with PONG (not LOADING).
inline bool redis_ready(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::write(fd, "PING\r\n", 6) == 6) {
    char buf[16] = {};
    ok = ::read(fd, buf, sizeof buf - 1) >= 5 && std::string_view(buf).starts_with("+PONG");
  }
  ::close(fd);
  return ok;
}

inline std::string redis_binary() {
  for (const char* p : {"/usr/bin/redis-server", "/usr/local/bin/redis-server"})
    if (::access(p, X_OK) == 0) return p;
  return {};
}

inline std::filesystem::path scratch_dir(const std::string& name) {
  auto d = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(d);
  std::filesystem::create_directories(d);
  return d;
}

// A redis-server of its own. durable: data persists across stop()/start()
// (an append-only file, fsync on every write), so a restart keeps the
// entries; otherwise nothing is written to disk (benchmarks).
class redis_server {
 public:
  explicit redis_server(bool durable = true)
      : port_(free_port()), dir_(scratch_dir("velmor-redis-" + std::to_string(port_))), durable_(durable) {}
  ~redis_server() {
    stop();
    std::filesystem::remove_all(dir_);
  }
  bool available() const { return !redis_binary().empty(); }
  int port() const { return port_; }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_) + "/0"; }

  // Starts it and waits (bounded) until it accepts connections.
  bool start() {
    const std::string bin = redis_binary();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that crashed
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      const std::string port = std::to_string(port_), dir = dir_.string();
      ::execl(bin.c_str(), bin.c_str(), "--port", port.c_str(), "--bind", "127.0.0.1", "--dir", dir.c_str(), "--save",
              "", "--appendonly", durable_ ? "yes" : "no", "--appendfsync", "always", "--daemonize", "no", "--loglevel",
              "warning", "--logfile", (dir + "/redis.log").c_str(), static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      if (redis_ready(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  int port_;
  std::filesystem::path dir_;
  bool durable_ = true;
  pid_t pid_ = -1;
};

}  // namespace velmor::receipts_test
