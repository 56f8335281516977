// A one-request-per-connection HTTP server on 127.0.0.1 for transport tests:
// records each request and answers with a settable status.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace le::test {

struct HttpRequest {
  std::string method, path, head, body;
};

class LoopbackHttp {
 public:
  explicit LoopbackHttp(int status) : status_(status) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(fd_);
      throw std::runtime_error("bind/listen on 127.0.0.1");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackHttp() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  LoopbackHttp(const LoopbackHttp&) = delete;
  LoopbackHttp& operator=(const LoopbackHttp&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Status of the answers to the next requests.
  void setStatus(int s) { status_ = s; }
  std::vector<HttpRequest> requests() {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
  }

  // A port on 127.0.0.1 that nothing listens on (bound, then released).
  static int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      handle(c);
      ::close(c);
    }
  }

  // Reads until the body announced by Content-Length is complete (2 s limit).
  void handle(int c) {
    std::string in;
    size_t headEnd = std::string::npos, want = 0;
    char buf[65536];
    for (;;) {
      if (headEnd != std::string::npos && in.size() >= headEnd + 4 + want) break;
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) return;
      const ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
      if (headEnd == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
        const std::string head = lower(in.substr(0, headEnd));
        const size_t at = head.find("\r\ncontent-length:");
        if (at != std::string::npos) {
          size_t v = at + 17;
          while (v < head.size() && head[v] == ' ') ++v;
          std::from_chars(head.data() + v, head.data() + head.size(), want);
        }
      }
    }
    HttpRequest r;
    r.head = in.substr(0, headEnd);
    r.body = in.substr(headEnd + 4, want);
    const size_t sp1 = r.head.find(' '), sp2 = r.head.find(' ', sp1 + 1);
    r.method = r.head.substr(0, sp1);
    r.path = r.head.substr(sp1 + 1, sp2 - sp1 - 1);
    {
      std::lock_guard<std::mutex> lk(mu_);
      requests_.push_back(std::move(r));
    }
    const std::string reply = "HTTP/1.1 " + std::to_string(status_.load()) +
                              " X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    (void)!::write(c, reply.data(), reply.size());
  }

  static std::string lower(std::string s) {
    for (char& ch : s)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<int> status_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<HttpRequest> requests_;
  std::thread thread_;
};

}  // namespace le::test
