#pragma once
// A bare TCP server on 127.0.0.1 for answers that no proper HTTP server
// gives: a body cut short, a connection reset in the middle, a server that
// goes silent. Each connection's request head is read, handed to the test's
// handler, and answered with exactly the bytes the handler returns, ended the
// way it asks. Connections are served one after another.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qvntest {

class RawServer {
 public:
  enum class Ending {
    Close,  // an orderly close after the bytes
    Reset,  // the connection is reset (RST) after the bytes
    Stall,  // nothing more is sent; the connection stays open until the stall ends
  };
  struct Reply {
    std::string strBytes;
    Ending ending = Ending::Close;
    int nStallMillis = 30000;  // Stall only; the server's stop ends it sooner
  };
  using Handler = std::function<Reply(const std::string& strRequestHead)>;

  explicit RawServer(Handler handler) : m_handler(std::move(handler)) {
    m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
    if (m_fdListen < 0) throw std::runtime_error("socket failed");
    const int nOne = 1;
    setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_fdListen, 8) != 0) {
      close(m_fdListen);
      throw std::runtime_error("cannot listen on a loopback port");
    }
    socklen_t nLen = sizeof addr;
    getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &nLen);
    m_nPort = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~RawServer() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    close(m_fdListen);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int Port() const { return m_nPort; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }
  std::vector<std::string> RequestHeads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrHeads;
  }

  // An HTTP/1.0 answer head with the given status and headers (each ending in "\r\n").
  static std::string Head(int nStatus, const std::string& strHeaders = "") {
    return "HTTP/1.0 " + std::to_string(nStatus) + " Whatever\r\n" + strHeaders + "\r\n";
  }

 private:
  bool WaitReadable(int fd, int nMillis) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, nMillis) > 0;
  }

  void Run() {
    while (!m_bStop) {
      if (!WaitReadable(m_fdListen, 20)) continue;
      const int fd = accept(m_fdListen, nullptr, nullptr);
      if (fd < 0) continue;
      Serve(fd);
    }
  }

  void Serve(int fd) {
    std::string strHead;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char buf[4096];
    while (strHead.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           !m_bStop) {
      if (!WaitReadable(fd, 20)) continue;
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      strHead.append(buf, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_arrHeads.push_back(strHead);
    }
    const Reply reply = m_handler(strHead);
    size_t nSent = 0;
    while (nSent < reply.strBytes.size()) {
      const ssize_t n = send(fd, reply.strBytes.data() + nSent, reply.strBytes.size() - nSent, MSG_NOSIGNAL);
      if (n <= 0) break;
      nSent += static_cast<size_t>(n);
    }
    if (reply.ending == Ending::Stall) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.nStallMillis);
      while (!m_bStop && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (reply.ending == Ending::Reset) {
      linger l{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(fd);
  }

  Handler m_handler;
  int m_fdListen = -1;
  int m_nPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_arrHeads;
};

// A loopback port on which nothing listens, so that connecting is refused.
inline int ClosedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t nLen = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace qvntest
