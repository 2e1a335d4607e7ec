// qvnpack serve: a small web server that lets a publisher try an update
// directory before uploading it. It answers only below /Updates/, only with
// regular files that lie inside the directory, and never lists folders; a
// hidden name only when the directory's manifest lists it. One byte range is
// answered with 206; other Range headers are ignored.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "manifest/item_name.h"
#include "manifest/line_splitter.h"
#include "manifest/update_info.h"
#include "platform/serve_os.h"
#include "tools/args.h"
#include "tools/commands.h"

namespace {

constexpr int kDefaultPort = 8080;
constexpr const char* kUrlPrefix = "/Updates/";
constexpr const char* kManifestName = "UpdateInfo.txt";
// Each connection holds a worker while it is open, idle ones too (until the
// keep-alive time-out), so there are enough for a crowd of idle clients to
// leave room for the ones that ask.
constexpr std::size_t kWorkerThreads = 256;
// The manifest is read no further than the updater reads it.
constexpr std::size_t kMaxManifestBytes = 1024 * 1024;

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
      // A mistyped address is a wrong argument, not a port someone else holds.
      if (std::string strError; !IsBindableAddress(strValue, strError)) {
        return UsageError("serve: --bind: '" + strValue + "' is no address: " + strError);
      }
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

// Whether some part of strRel is hidden (begins with ".").
bool IsHiddenName(const std::string& strRel) {
  for (const std::string_view part : PathParts(strRel)) {
    if (!part.empty() && part[0] == '.') return true;
  }
  return false;
}

// Whether the manifest of strRoot lists strRel as an item: hidden files
// (a server's .htpasswd, a build's temporary files) are served only then.
bool IsListedInManifest(const std::string& strRoot, const std::string& strRel) {
  const auto pFile = CServedFile::Open(strRoot, kManifestName);
  if (!pFile) return false;
  CUpdateInfo info;
  CLineSplitter splitter;
  auto onLine = [&info](const std::string& strLine) { info.ParseLine(strLine); };
  char buffer[65536];
  long long n = 0;
  while (splitter.BytesFed() <= kMaxManifestBytes &&
         (n = pFile->ReadAt(splitter.BytesFed(), buffer, sizeof buffer)) > 0) {
    splitter.Feed(buffer, static_cast<std::size_t>(n), onLine);
  }
  if (n < 0 || splitter.BytesFed() > kMaxManifestBytes) return false;
  splitter.Finish(onLine);
  for (const auto& pItem : info.m_arrItems) {
    if (pItem->m_strName == strRel) return true;
  }
  return false;
}

// Settles the Range of a request for a file of nSize bytes: one range that
// holds at least a byte of the file is made absolute and answered with 206;
// anything else (several ranges, one past the end) is dropped, and the whole
// file is sent with 200, as HTTP allows. Returns the status to answer with.
int SettleRanges(httplib::Ranges& ranges, ULONGLONG nFileSize) {
  // httplib's offsets are signed, the last n bytes of the file as (-1, n).
  using Offset = httplib::Range::first_type;
  const auto nSize = static_cast<Offset>(nFileSize);
  if (ranges.size() == 1 && nSize > 0) {
    const auto [nFirst, nSecond] = ranges[0];
    Offset nFrom = nFirst;
    Offset nTo = nSize - 1;
    if (nFirst < 0) {  // the last nSecond bytes
      nFrom = nSecond > 0 ? std::max<Offset>(0, nSize - nSecond) : nSize;
    } else if (nSecond >= 0) {
      nTo = std::min<Offset>(nSecond, nSize - 1);
    }
    if (nFrom <= nTo && nFrom < nSize) {
      ranges[0] = {nFrom, nTo};
      return 206;
    }
  }
  ranges.clear();
  return 200;
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
  std::string strRel = RelativeRequestPath(DecodeTargetPath(req.target));
  if (!strRel.empty() && IsHiddenName(strRel) && !IsListedInManifest(strRoot, strRel)) strRel.clear();
  std::shared_ptr<CServedFile> pFile;
  if (!strRel.empty()) pFile = CServedFile::Open(strRoot, strRel);
  if (!pFile) {
    AnswerNotFound(res);
    return;
  }
  // The file is shared by the provider and its releaser; the releaser runs
  // once the response is done with, whether it was sent or not.
  // httplib cuts the answer to req.ranges after this handler; its Request is
  // its own, not a const object, so settling the ranges here is sound.
  res.status = SettleRanges(const_cast<httplib::Request&>(req).ranges, pFile->Size());
  res.set_content_provider(
      static_cast<size_t>(pFile->Size()), ContentTypeOf(strRel),
      [pFile](size_t nOffset, size_t nLength, httplib::DataSink& sink) {
        char buffer[65536];
        const size_t nWant = nLength < sizeof buffer ? nLength : sizeof buffer;
        const long long nRead = pFile->ReadAt(nOffset, buffer, nWant);
        // A file that shrank while being sent: stop rather than send garbage.
        if (nRead <= 0) return false;
        return sink.write(buffer, static_cast<size_t>(nRead));
      },
      [pFile](bool) { pFile->Close(); });
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

  std::string strRoot;
  if (std::string strError; !ResolveServedFolder(options.strDir, strRoot, strError)) {
    std::fprintf(stderr, "qvnpack: cannot serve '%s': %s\n", options.strDir.c_str(), strError.c_str());
    return 2;
  }
  if (!IsReadableFile(strRoot + "/" + kManifestName)) {
    std::fprintf(stderr,
                 "qvnpack: warning: '%s' holds no readable UpdateInfo.txt, so updaters will find no "
                 "update there (make one with 'qvnpack build')\n",
                 options.strDir.c_str());
  }

  // Before the server starts its threads: the stop requests are taken below,
  // in this thread only.
  HoldStopRequests();

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  // Instead of httplib's default, which lets a second server share the port.
  socket_t listenSocket = INVALID_SOCKET;
  server.set_socket_options([&listenSocket](socket_t sock) {
    SetListenSocketOptions(sock);
    listenSocket = sock;
  });
  server.Get(".*", [&strRoot](const httplib::Request& req, httplib::Response& res) {
    HandleGet(strRoot, req, res);
  });
  server.set_logger(LogRequest);
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([&strRoot](const httplib::Request& req, httplib::Response& res) {
        // httplib answers a Range header it cannot parse (bytes=5-3, items=0-1)
        // with 416 before any handler runs; HTTP says to ignore such a header,
        // so the request is answered as one without it (the whole file, or 404).
        if (res.status == 416 && (req.method == "GET" || req.method == "HEAD")) {
          const_cast<httplib::Request&>(req).ranges.clear();
          res = httplib::Response();
          HandleGet(strRoot, req, res);
          return httplib::Server::HandlerResponse::Handled;
        }
        if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
      }));

  errno = 0;
  int nPort = options.nPort;
  bool bBound = false;
  if (nPort == 0) {
    nPort = server.bind_to_any_port(options.strBind);
    bBound = nPort > 0;
  } else {
    bBound = server.bind_to_port(options.strBind, nPort);
  }
  // httplib listens with a backlog of 5, so a crowd of clients connecting at
  // once waits for SYN retries.
  if (bBound && listenSocket != INVALID_SOCKET) WidenListenBacklog(listenSocket);
  if (!bBound) {
    const int nError = errno;
    std::fprintf(stderr, "qvnpack: cannot listen on %s port %d: %s\n", options.strBind.c_str(), options.nPort,
                 nError != 0 ? std::strerror(nError)
                             : "the address is not one of this machine's, or the port is taken");
    return 1;
  }

  std::atomic<bool> bStopping{false};
  std::atomic<bool> bListenFailed{false};
  std::atomic<bool> bListenEnded{false};
  std::thread listener([&server, &bStopping, &bListenFailed, &bListenEnded] {
    server.listen_after_bind();
    bListenEnded = true;
    if (!bStopping) {
      // The server ended by itself: wake the wait below.
      bListenFailed = true;
      RequestStop();
    }
  });
  // A stop asked before the server runs would be lost (stop() does nothing
  // then, and the server would go on for ever): say where it serves, which is
  // when clients and scripts start and may stop it, only once it runs.
  while (!server.is_running() && !bListenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::printf("Serving %s at http://%s:%d%s\n", options.strDir.c_str(), HostForUrl(options.strBind).c_str(),
              nPort, kUrlPrefix);
  std::fflush(stdout);
  std::fprintf(stderr, "Press Ctrl-C to stop.\n");
  WaitForStopRequest();
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
