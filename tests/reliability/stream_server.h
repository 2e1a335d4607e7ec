#pragma once
// A bare HTTP server on 127.0.0.1 for the ways a server can go wrong over
// time: a body sent in small pieces with pauses (a trickle), a body that never
// ends, a connection dropped or reset after some bytes, a server that goes
// silent. Connections are served one after another; every send loop is
// bounded in bytes and time and ends when the client goes away or the server
// stops.
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

class StreamServer {
 public:
  enum class Ending { Close, Reset, Stall };
  struct Reply {
    Reply(std::string head = {}, std::string body = {}, size_t chunk = 0, int pauseMillis = 0,
          bool endless = false, Ending end = Ending::Close, int stallMillis = 0)
        : strHead(std::move(head)),
          strBody(std::move(body)),
          nChunk(chunk),
          nPauseMillis(pauseMillis),
          bEndless(endless),
          ending(end),
          nStallMillis(stallMillis) {}
    std::string strHead;    // status line and headers, blank line included
    std::string strBody;    // sent after the head
    size_t nChunk = 0;      // bytes per send; 0: the body at once
    int nPauseMillis = 0;   // pause after every chunk
    bool bEndless = false;  // the body again and again, until the client goes
    Ending ending = Ending::Close;
    int nStallMillis = 0;  // Stall: silence before the connection closes
  };
  using Handler = std::function<Reply(const std::string& strPath)>;

  // The most any connection is sent, and the longest it is served.
  static constexpr size_t kMaxBytes = 256u << 20;
  static constexpr auto kMaxTime = std::chrono::seconds(30);

  explicit StreamServer(Handler handler) : m_handler(std::move(handler)) {
    m_fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fdListen < 0) throw std::runtime_error("socket failed");
    const int nOne = 1;
    setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
  ~StreamServer() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    close(m_fdListen);
  }
  StreamServer(const StreamServer&) = delete;
  StreamServer& operator=(const StreamServer&) = delete;

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }
  // Paths requested so far, in order.
  std::vector<std::string> Paths() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrPaths;
  }
  // Bytes of body sent on the last connection.
  size_t LastBodyBytes() const { return m_nLastBody; }

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

  bool Send(int fd, const char* p, size_t n) {
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
    std::string strPath;
    if (strHead.rfind("GET ", 0) == 0) strPath = strHead.substr(4, strHead.find(' ', 4) - 4);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_arrPaths.push_back(strPath);
    }
    const Reply reply = m_handler(strPath);
    m_nLastBody = 0;
    bool bOpen = Send(fd, reply.strHead.data(), reply.strHead.size());
    do {
      const size_t nChunk = reply.nChunk == 0 ? reply.strBody.size() : reply.nChunk;
      for (size_t nDone = 0; bOpen && nDone < reply.strBody.size() && !m_bStop; nDone += nChunk) {
        const size_t n = std::min(nChunk, reply.strBody.size() - nDone);
        bOpen = Send(fd, reply.strBody.data() + nDone, n);
        if (bOpen) m_nLastBody += n;
        if (reply.nPauseMillis > 0) Pause(reply.nPauseMillis);
      }
    } while (reply.bEndless && bOpen && !m_bStop && !reply.strBody.empty() && m_nLastBody < kMaxBytes &&
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
  std::atomic<size_t> m_nLastBody{0};
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_arrPaths;
};

}  // namespace qvntest
