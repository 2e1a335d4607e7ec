// qvnpack serve: a small web server that lets a publisher try an update
// directory before uploading it. It answers only below /Updates/, only with
// regular files that lie inside the directory, and never lists folders.
#include <fcntl.h>
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manifest/item_name.h"
#include "tools/args.h"
#include "tools/commands.h"

namespace {

constexpr int kDefaultPort = 8080;
constexpr const char* kUrlPrefix = "/Updates/";

struct ServeOptions {
  std::string strDir;
  std::string strBind = "127.0.0.1";
  int nPort = kDefaultPort;
};

// Returns 0 and fills options, or the exit status of a usage error.
int ParseServeArgs(const Args& args, ServeOptions& options) {
  ParsedArgs parsed;
  if (const int nStatus = SplitArgs("serve", args, {"--port", "--bind"}, {}, parsed)) return nStatus;
  for (const auto& [strName, strValue] : parsed.arrOptions) {
    if (strName == "--bind") {
      if (strValue.empty()) return UsageError("serve: --bind needs an address");
      options.strBind = strValue;
      continue;
    }
    char* pEnd = nullptr;
    errno = 0;
    const long n = std::strtol(strValue.c_str(), &pEnd, 10);
    if (strValue.empty() || *pEnd != '\0' || errno != 0 || n < 0 || n > 65535) {
      return UsageError("serve: the port must be a number from 0 to 65535, not '" + strValue + "'");
    }
    options.nPort = static_cast<int>(n);
  }
  if (parsed.arrOperands.empty()) return UsageError("serve: no directory given");
  if (parsed.arrOperands.size() > 1) {
    return UsageError("serve: only one directory can be served, got '" + parsed.arrOperands[1] + "' as well");
  }
  options.strDir = parsed.arrOperands[0];
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a request target (query and fragment cut off) with its
// percent-escapes decoded once. An escape that is not two hex digits stays as
// it is; "+" is not a space in a path.
std::string DecodeTargetPath(const std::string& strTarget) {
  const std::string strPath = strTarget.substr(0, strTarget.find_first_of("?#"));
  std::string strDecoded;
  strDecoded.reserve(strPath.size());
  for (size_t i = 0; i < strPath.size(); ++i) {
    if (strPath[i] == '%' && i + 2 < strPath.size() && HexValue(strPath[i + 1]) >= 0 &&
        HexValue(strPath[i + 2]) >= 0) {
      strDecoded += static_cast<char>(HexValue(strPath[i + 1]) * 16 + HexValue(strPath[i + 2]));
      i += 2;
    } else {
      strDecoded += strPath[i];
    }
  }
  return strDecoded;
}

// The part of a decoded request path below /Updates/, when it is a name the
// updater could ask for: the same check as for the manifest's item names, so
// no "." or ".." component, no empty component, no control byte. Empty when
// the request must be answered with 404.
std::string RelativeRequestPath(const std::string& strDecoded) {
  const std::string strPrefix = kUrlPrefix;
  if (strDecoded.compare(0, strPrefix.size(), strPrefix) != 0) return {};
  std::string strRel = strDecoded.substr(strPrefix.size());
  if (!IsSafeItemName(strRel, nullptr)) return {};
  return strRel;
}

// Opens the regular file strRel below strRoot (an absolute, resolved path)
// for reading. Symbolic links are followed only while they stay inside
// strRoot. Returns the descriptor and its size, or -1.
int OpenServedFile(const std::string& strRoot, const std::string& strRel, off_t& nSize) {
  const std::string strPath = strRoot + "/" + strRel;
  char szResolved[PATH_MAX];
  if (realpath(strPath.c_str(), szResolved) == nullptr) return -1;
  const std::string strResolved = szResolved;
  if (strResolved.compare(0, strRoot.size() + 1, strRoot + "/") != 0) return -1;
  // O_NONBLOCK: opening a FIFO must not hang a worker; it is refused below anyway.
  const int fd = open(szResolved, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  nSize = st.st_size;
  return fd;
}

// Bytes that would upset a terminal are shown as %XX in the request log.
std::string Printable(const std::string& str) {
  return PercentEncode(str, [](unsigned char b) { return b < 0x20 || b >= 0x7F; });
}

std::string ContentTypeOf(const std::string& strRel) {
  const size_t nDot = strRel.rfind('.');
  if (nDot != std::string::npos && strRel.substr(nDot) == ".txt") return "text/plain";
  return "application/octet-stream";
}

void AnswerNotFound(httplib::Response& res) {
  res.status = 404;
  res.set_content("Not Found\n", "text/plain");
}

void HandleGet(const std::string& strRoot, const httplib::Request& req, httplib::Response& res) {
  const std::string strRel = RelativeRequestPath(DecodeTargetPath(req.target));
  off_t nSize = 0;
  const int fd = strRel.empty() ? -1 : OpenServedFile(strRoot, strRel, nSize);
  if (fd < 0) {
    AnswerNotFound(res);
    return;
  }
  // The descriptor is shared by the provider and its releaser; the releaser
  // runs once the response is done with, whether it was sent or not.
  auto pFd = std::make_shared<int>(fd);
  res.status = 200;
  res.set_content_provider(
      static_cast<size_t>(nSize), ContentTypeOf(strRel),
      [pFd](size_t nOffset, size_t nLength, httplib::DataSink& sink) {
        char buffer[65536];
        const size_t nWant = nLength < sizeof buffer ? nLength : sizeof buffer;
        const ssize_t nRead = pread(*pFd, buffer, nWant, static_cast<off_t>(nOffset));
        // A file that shrank while being sent: stop rather than send garbage.
        if (nRead <= 0) return false;
        return sink.write(buffer, static_cast<size_t>(nRead));
      },
      [pFd](bool) { close(*pFd); });
}

std::mutex g_logMutex;

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
  unsigned long long nBytes = 0;
  if (req.method != "HEAD") {
    if (res.has_header("Content-Length")) {
      nBytes = std::strtoull(res.get_header_value("Content-Length").c_str(), nullptr, 10);
    } else {
      nBytes = res.body.size();
    }
  }
  const std::lock_guard<std::mutex> lock(g_logMutex);
  std::printf("%s %s %d %llu\n", Printable(req.method).c_str(), Printable(req.target).c_str(), res.status,
              nBytes);
  std::fflush(stdout);
}

std::string HostForUrl(const std::string& strHost) {
  return strHost.find(':') != std::string::npos ? "[" + strHost + "]" : strHost;
}

}  // namespace

int CmdServe(const Args& args) {
  ServeOptions options;
  if (const int nStatus = ParseServeArgs(args, options); nStatus != 0) return nStatus;

  char szRoot[PATH_MAX];
  struct stat st;
  if (realpath(options.strDir.c_str(), szRoot) == nullptr || stat(szRoot, &st) != 0) {
    std::fprintf(stderr, "qvnpack: cannot serve '%s': %s\n", options.strDir.c_str(), std::strerror(errno));
    return 2;
  }
  if (!S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "qvnpack: cannot serve '%s': it is not a folder\n", options.strDir.c_str());
    return 2;
  }
  const std::string strRoot = szRoot;
  if (access((strRoot + "/UpdateInfo.txt").c_str(), R_OK) != 0) {
    std::fprintf(stderr,
                 "qvnpack: warning: '%s' holds no readable UpdateInfo.txt, so updaters will find no "
                 "update there (make one with 'qvnpack build')\n",
                 options.strDir.c_str());
  }

  // Ctrl-C and SIGTERM are taken by sigwait below, in this thread only: every
  // thread the server starts inherits the blocked mask. Both are reset first,
  // because a shell starts background jobs with SIGINT ignored, and an
  // ignored signal never reaches sigwait.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that goes away mid-answer must not end the server.
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  server.Get(".*", [&strRoot](const httplib::Request& req, httplib::Response& res) {
    HandleGet(strRoot, req, res);
  });
  server.set_logger(LogRequest);
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
  });

  errno = 0;
  int nPort = options.nPort;
  bool bBound = false;
  if (nPort == 0) {
    nPort = server.bind_to_any_port(options.strBind);
    bBound = nPort > 0;
  } else {
    bBound = server.bind_to_port(options.strBind, nPort);
  }
  if (!bBound) {
    const int nError = errno;
    std::fprintf(stderr, "qvnpack: cannot listen on %s port %d: %s\n", options.strBind.c_str(), options.nPort,
                 nError != 0 ? std::strerror(nError)
                             : "the address is not one of this machine's, or the port is taken");
    return 1;
  }

  std::printf("Serving %s at http://%s:%d%s\n", options.strDir.c_str(), HostForUrl(options.strBind).c_str(),
              nPort, kUrlPrefix);
  std::fflush(stdout);
  std::fprintf(stderr, "Press Ctrl-C to stop.\n");

  std::atomic<bool> bStopping{false};
  std::atomic<bool> bListenFailed{false};
  std::thread listener([&server, &bStopping, &bListenFailed] {
    server.listen_after_bind();
    if (!bStopping) {
      // The server ended by itself: wake the sigwait below.
      bListenFailed = true;
      kill(getpid(), SIGTERM);
    }
  });
  int nSignal = 0;
  sigwait(&stopSignals, &nSignal);
  bStopping = true;
  server.stop();
  listener.join();
  if (bListenFailed) {
    std::fprintf(stderr, "qvnpack: the server stopped accepting connections\n");
    return 1;
  }
  std::fprintf(stderr, "Stopped.\n");
  return 0;
}
