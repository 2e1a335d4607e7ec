#pragma once
// A bare TCP server on 127.0.0.1 for answers that no proper HTTP server
// gives: a body cut short, a connection reset in the middle, a server that
// goes silent, a body sent in small pieces with pauses (a trickle) or one
// that never ends. Each connection's request head is read, handed to the
// test's handler, and answered with exactly the bytes the handler returns,
// ended the way it asks. Connections are served one after another; every
// send loop is bounded in bytes and time and ends when the client goes away
// or the server stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qvntest {

// A socket listening on a free port of 127.0.0.1, with that port in nPort;
// -1 when none can be had.
inline int ListenOnLoopback(int& nPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int nOne = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLen = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
    close(fd);
    return -1;
  }
  nPort = ntohs(addr.sin_port);
  return fd;
}

// A loopback port on which nothing listens, so that connecting is refused.
inline int ClosedLoopbackPort() {
  int nPort = 0;
  const int fd = ListenOnLoopback(nPort);
  if (fd >= 0) close(fd);
  return nPort;
}

class RawServer {
 public:
  enum class Ending {
    Close,  // an orderly close after the bytes
    Reset,  // the connection is reset (RST) after the bytes
    Stall,  // nothing more is sent; the connection stays open until the stall ends
  };
  struct Reply {
    std::string strHead{};  // sent at once: status line, headers and blank line, or any bytes at all
    std::string strBody{};  // sent after the head
    size_t nChunk = 0;      // bytes per send; 0: the body at once
    int nPauseMillis = 0;   // pause after every chunk
    bool bEndless = false;  // the body again and again, until the client goes
    Ending ending = Ending::Close;
    int nStallMillis = 30000;  // Stall only; the server's stop ends it sooner
  };
  using Handler = std::function<Reply(const std::string& strRequestHead)>;

  // The most any connection is sent, and the longest it is served.
  static constexpr size_t kMaxBytes = 256u << 20;
  static constexpr auto kMaxTime = std::chrono::seconds(30);

  explicit RawServer(Handler handler) : m_handler(std::move(handler)) {
    m_fdListen = ListenOnLoopback(m_nPort);
    if (m_fdListen < 0) throw std::runtime_error("cannot listen on a loopback port");
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
  // The paths of the GET requests so far, in order.
  std::vector<std::string> Paths() const {
    std::vector<std::string> arr;
    for (const auto& strHead : RequestHeads()) arr.push_back(PathOf(strHead));
    return arr;
  }

  // The path a GET request head asks for; empty for any other request.
  static std::string PathOf(const std::string& strHead) {
    if (strHead.rfind("GET ", 0) != 0) return {};
    return strHead.substr(4, strHead.find(' ', 4) - 4);
  }
  // An HTTP/1.0 answer head with the given status and headers (each ending in "\r\n").
  static std::string Head(int nStatus, const std::string& strHeaders = "") {
    return "HTTP/1.0 " + std::to_string(nStatus) + " Whatever\r\n" + strHeaders + "\r\n";
  }
  static std::string LengthHeader(size_t n) { return "Content-Length: " + std::to_string(n) + "\r\n"; }

 private:
  static bool WaitReadable(int fd, int nMillis) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, nMillis) > 0;
  }

  void Pause(int nMillis) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMillis);
    while (!m_bStop && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void Run() {
    while (!m_bStop) {
      if (!WaitReadable(m_fdListen, 20)) continue;
      const int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) Serve(fd);
    }
  }

  static bool Send(int fd, const char* p, size_t n) {
    while (n > 0) {
      const ssize_t nSent = send(fd, p, n, MSG_NOSIGNAL);
      if (nSent <= 0) return false;
      p += nSent;
      n -= static_cast<size_t>(nSent);
    }
    return true;
  }

  void Serve(int fd) {
    std::string strHead;
    const auto start = std::chrono::steady_clock::now();
    char buf[4096];
    while (strHead.find("\r\n\r\n") == std::string::npos && !m_bStop &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
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
    bool bOpen = Send(fd, reply.strHead.data(), reply.strHead.size());
    size_t nBodySent = 0;
    do {
      const size_t nChunk = reply.nChunk == 0 ? reply.strBody.size() : reply.nChunk;
      for (size_t nDone = 0; bOpen && nDone < reply.strBody.size() && !m_bStop; nDone += nChunk) {
        const size_t n = std::min(nChunk, reply.strBody.size() - nDone);
        bOpen = Send(fd, reply.strBody.data() + nDone, n);
        if (bOpen) nBodySent += n;
        if (reply.nPauseMillis > 0) Pause(reply.nPauseMillis);
      }
    } while (reply.bEndless && bOpen && !m_bStop && !reply.strBody.empty() && nBodySent < kMaxBytes &&
             std::chrono::steady_clock::now() - start < kMaxTime);
    if (reply.ending == Ending::Stall) Pause(reply.nStallMillis);
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

}  // namespace qvntest
