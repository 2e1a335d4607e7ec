#pragma once
// nginx serving a folder on a free loopback port, with its own configuration,
// logs and pid file in a temporary folder; stopped when the object goes.
// Available() tells whether nginx is installed at all.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/raw_server.h"
#include "support/temp_dir.h"

namespace qvntest {

class NginxServer {
 public:
  static constexpr const char* kBinary = "/usr/sbin/nginx";
  static bool Available() { return access(kBinary, X_OK) == 0; }

  // Serves the files below strRoot (which must stay as long as this object).
  explicit NginxServer(const std::filesystem::path& root) {
    m_nPort = ClosedLoopbackPort();
    const std::string strPrefix = m_dir.Path().string();
    // The workers may run as another user; they must be able to read the files.
    // (A temporary folder is made for its owner alone; the folders above it are
    // the system's and stay untouched.)
    chmod(root.c_str(), 0755);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.is_directory()) chmod(entry.path().c_str(), 0755);
    }
    std::filesystem::create_directories(m_dir.Path() / "tmp");
    WriteFile(m_dir.Path() / "nginx.conf",
              "daemon off;\n"
              "worker_processes 1;\n"
              "pid " +
                  strPrefix +
                  "/nginx.pid;\n"
                  "error_log " +
                  strPrefix +
                  "/error.log;\n"
                  "events { worker_connections 64; }\n"
                  "http {\n"
                  "  access_log off;\n"
                  "  default_type application/octet-stream;\n"
                  "  client_body_temp_path " +
                  strPrefix +
                  "/tmp/body;\n"
                  "  proxy_temp_path " +
                  strPrefix +
                  "/tmp/proxy;\n"
                  "  fastcgi_temp_path " +
                  strPrefix +
                  "/tmp/fastcgi;\n"
                  "  uwsgi_temp_path " +
                  strPrefix +
                  "/tmp/uwsgi;\n"
                  "  scgi_temp_path " +
                  strPrefix +
                  "/tmp/scgi;\n"
                  "  server {\n"
                  "    listen 127.0.0.1:" +
                  std::to_string(m_nPort) +
                  ";\n"
                  "    root " +
                  root.string() +
                  ";\n"
                  "  }\n"
                  "}\n");
    const std::string strConf = strPrefix + "/nginx.conf";
    const std::string strErrorLog = strPrefix + "/error.log";
    m_pid = fork();
    if (m_pid == 0) {
      execl(kBinary, kBinary, "-p", strPrefix.c_str(), "-c", strConf.c_str(), "-e", strErrorLog.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it accepts connections.
    for (int i = 0; i < 250; ++i) {
      if (Accepting()) return;
      int nStatus = 0;
      if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
        m_pid = -1;
        throw std::runtime_error("nginx did not start: " + ErrorLog());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    throw std::runtime_error("nginx did not start listening: " + ErrorLog());
  }
  ~NginxServer() { Stop(); }
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }
  std::string ErrorLog() const {
    try {
      return ReadFile(m_dir.Path() / "error.log");
    } catch (const std::exception&) {
      return "";
    }
  }

  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    for (int i = 0; i < 250; ++i) {
      int nStatus = 0;
      if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
        m_pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  bool Accepting() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(m_nPort));
    const bool bOk = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return bOk;
  }

  TempDir m_dir;
  int m_nPort = 0;
  pid_t m_pid = -1;
};

}  // namespace qvntest
