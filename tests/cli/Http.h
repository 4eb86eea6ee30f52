// A minimal HTTP/1.1 client for the tests of simulate --http and listen
// --metrics-port: one request per connection (Connection: close), the
// status code and the body back. Every read has a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace velmor::test {

struct HttpReply {
  int status = 0;  // 0: no connection or no answer
  std::string body;
};

inline HttpReply Http(int port, const std::string& method, const std::string& path, const std::string& body = "",
                      const std::string& token = "") {
  HttpReply r;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return r;
  }
  std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!token.empty()) req += "Authorization: Bearer " + token + "\r\n";
  req += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  (void)!write(fd, req.data(), req.size());
  std::string in;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    in.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  if (in.rfind("HTTP/1.1 ", 0) != 0) return r;
  r.status = std::stoi(in.substr(9, 3));
  if (const auto at = in.find("\r\n\r\n"); at != std::string::npos) r.body = in.substr(at + 4);
  return r;
}

}  // namespace velmor::test
