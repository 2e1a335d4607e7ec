#pragma once
// A real HTTP server on 127.0.0.1, on a free port, running in a thread for
// the life of the object. Tests add handlers (cpp-httplib's own API through
// Server()) or simply files with a status code.
#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qvntest {

// Runs a cpp-httplib server, plain or TLS, on a free port of 127.0.0.1 in a
// thread of its own, from Start until Stop or the end of this object (which
// must therefore be declared after the server it runs).
class ServerThread {
 public:
  ServerThread() = default;
  ~ServerThread() { Stop(); }
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  // Binds server and starts answering; returns the port.
  int Start(httplib::Server& server) {
    m_nPort = server.bind_to_any_port("127.0.0.1");
    if (m_nPort <= 0) throw std::runtime_error("cannot bind a loopback port");
    m_pServer = &server;
    m_thread = std::thread([&server] { server.listen_after_bind(); });
    for (int i = 0; i < 1000 && !server.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return m_nPort;
  }
  void Stop() {
    if (m_thread.joinable()) {
      m_pServer->stop();
      m_thread.join();
    }
  }
  int Port() const { return m_nPort; }

 private:
  httplib::Server* m_pServer = nullptr;
  std::thread m_thread;
  int m_nPort = 0;
};

class LocalHttpServer {
 public:
  struct Reply {
    int nStatus = 200;
    std::string strBody;
  };

  LocalHttpServer() {
    m_server.set_keep_alive_max_count(1);
    // Recorded before the answer goes out, so that a client that has its
    // answer always finds its request recorded.
    m_server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_arrRequests.push_back(req.path);
      m_arrHeaders.push_back(req.headers);
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }
  ~LocalHttpServer() { Stop(); }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  // Serves path (as requested, e.g. "/Updates/UpdateInfo.txt") with this status and body.
  void Serve(const std::string& strPath, std::string strBody, int nStatus = 200) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[strPath] = Reply{nStatus, std::move(strBody)};
  }

  // Binds and starts answering. Handlers added through Server() must be
  // added before this; they take precedence over Serve()'s files.
  void Start() {
    m_server.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto it = m_replies.find(req.path);
      if (it == m_replies.end()) {
        res.status = 404;
        res.set_content("<html><body>Not Found</body></html>\n", "text/html");
        return;
      }
      res.status = it->second.nStatus;
      res.set_content(it->second.strBody, "application/octet-stream");
    });
    m_running.Start(m_server);
  }
  void Stop() { m_running.Stop(); }

  httplib::Server& Server() { return m_server; }
  int Port() const { return m_running.Port(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port()); }

  // Paths requested so far (percent-decoded, as the server sees them), in order.
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrRequests;
  }
  std::vector<httplib::Headers> RequestHeaders() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrHeaders;
  }

 private:
  httplib::Server m_server;
  ServerThread m_running;
  mutable std::mutex m_mutex;
  std::map<std::string, Reply> m_replies;
  std::vector<std::string> m_arrRequests;
  std::vector<httplib::Headers> m_arrHeaders;
};

}  // namespace qvntest
