// qvnupdate: keeps an installation of Quorvane up to date.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/cli.h"
#include "core/version_block.h"
#include "platform/args.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/http_client.h"
#include "trust/minisign.h"
#include "trust/read_file.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: qvnupdate [--console] [--repair] [--server URL] [--cacert FILE] [--pubkey KEY]\n"
               "\n"
               "Brings the Quorvane installation in the current directory up to date\n"
               "from the update server.\n"
               "\n"
               "  --console      run one update without a window; status lines go to\n"
               "                 stdout, messages, errors and hints to stderr, and on a\n"
               "                 terminal the progress (sizes, rate, time left) too\n"
               "  --repair       also when the version is current, check every installed\n"
               "                 file against the release's signed INSTALLED.SHA256SUMS and\n"
               "                 fetch and replace only the missing or damaged ones, all\n"
               "                 or nothing (needs a public key)\n"
               "  --server URL   the update server (default %s)\n"
               "  --cacert FILE  also trust this certificate authority (a PEM file) for https\n"
               "                 servers; not on Windows, where the authority belongs in\n"
               "                 the system's certificate store (Trusted Root Certification\n"
               "                 Authorities)\n"
               "  --pubkey KEY   for this run, accept only updates signed with this minisign\n"
               "                 public key: a .pub file, or its base64 key\n"
               "  --help         show this help and exit\n"
               "  --version      show the version and exit\n"
               "\n"
               "%s\n"
               "\n"
               "QVN_STALL_TIMEOUT (environment, --console): how many seconds a transfer may\n"
               "                 stay below 1 KiB a second before it fails (default 60)\n"
               "\n"
               "With a public key, a download that the network or the server broke off is\n"
               "kept (hidden, .qvnupdate-part-<sha256>) and the next run continues it.\n"
               "\n"
               "Exit status with --console: 0 up to date, updated or repaired, 1 the update\n"
               "did not complete (a failed signature check included), 2 an error ended it\n"
               "or the arguments were wrong (--repair without a public key included), 130\n"
               "it was stopped (Ctrl-C, SIGINT or SIGTERM): no partial file is left and no\n"
               "installed file is changed.\n",
               QVN_SERVER_URL,
               *QVN_PUBLIC_KEY != '\0'
                   ? "Public key built in: " QVN_PUBLIC_KEY "; every update must be signed with it."
                   : "No public key is built in: updates are not verified unless --pubkey is given.");
}

int UsageError(const char* fmt, const char* arg) {
  std::fprintf(stderr, "qvnupdate: ");
  std::fprintf(stderr, fmt, arg);
  std::fprintf(stderr, "\nTry 'qvnupdate --help' for more information.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  UpdateSettings settings;
  std::string strServerUrl = QVN_SERVER_URL;
  bool bConsole = false;
  std::string strPublicKey;

  // UTF-8 on every system: Windows hands argv over in its ANSI code page.
  UseUtf8Console();
  const std::vector<std::string> arrArgs = CommandLineArguments(argc, argv);
  for (size_t i = 0; i < arrArgs.size(); ++i) {
    const std::string& arg = arrArgs[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s %s\n", kVersionProductName, kVersionFileVersion);
      return 0;
    } else if (arg == "--console") {
      bConsole = true;
    } else if (arg == "--repair") {
      settings.bRepair = true;
    } else if (arg == "--pubkey" || arg.rfind("--pubkey=", 0) == 0) {
      if (arg == "--pubkey" && i + 1 >= arrArgs.size())
        return UsageError("option '%s' needs a value", arg.c_str());
      strPublicKey = arg == "--pubkey" ? arrArgs[++i] : arg.substr(9);
      if (strPublicKey.empty()) return UsageError("option '%s' needs a value", "--pubkey");
    } else if (arg == "--server" || arg == "--cacert") {
      if (i + 1 >= arrArgs.size()) return UsageError("option '%s' needs a value", arg.c_str());
      (arg == "--server" ? strServerUrl : settings.strCaFile) = arrArgs[++i];
    } else if (arg.rfind("--server=", 0) == 0) {
      strServerUrl = arg.substr(9);
    } else if (arg.rfind("--cacert=", 0) == 0) {
      settings.strCaFile = arg.substr(9);
      if (settings.strCaFile.empty()) return UsageError("option '%s' needs a value", "--cacert");
    } else {
      return UsageError("unknown argument '%s'", arg.c_str());
    }
  }
  while (!strServerUrl.empty() && strServerUrl.back() == '/') strServerUrl.pop_back();

  // Settings that cannot work are an error in the command, found before any
  // update starts or any window opens.
  // The URL is split here once; the requests use its parts.
  std::optional<CHttpUrl> serverUrl = CHttpUrl::Parse(strServerUrl);
  if (!serverUrl) {
    // The common slips named, where an http:// URL is refused all the same.
    const size_t nHost = strServerUrl.find("://");
    const bool bWebScheme = strServerUrl.rfind("http://", 0) == 0 || strServerUrl.rfind("https://", 0) == 0;
    const std::string strAuthority =
        nHost == std::string::npos || !bWebScheme
            ? std::string()
            : strServerUrl.substr(nHost + 3, strServerUrl.find('/', nHost + 3) - nHost - 3);
    const char* pszWhy = strAuthority.find('@') != std::string::npos
                             ? " (a user name or password in it is not supported)"
                         : strAuthority.find(':') != std::string::npos && strAuthority.front() != '['
                             ? " (its port must be a number from 1 to 65535)"
                             : "";
    const std::string strWhy =
        "the server must be an http:// or https:// URL, not '" + strServerUrl + "'" + pszWhy;
    return UsageError("%s", strWhy.c_str());
  }
  // The files' names are added to its path: a query would end up before them.
  if (serverUrl->GetObjectPath().find('?') != std::string::npos) {
    return UsageError("the server's address cannot hold a query ('?'), as in '%s'", strServerUrl.c_str());
  }
  settings.serverUrl = std::move(*serverUrl);
  if (!settings.strCaFile.empty() && !CanTrustCaFile()) {
    return UsageError("%s",
                      "--cacert is not available on Windows: add the authority's certificate to the "
                      "system's certificate store (Trusted Root Certification Authorities) instead");
  }
  // Found now, not when an https server is first reached (or never, for http).
  if (CFile caFile; !settings.strCaFile.empty()) {
    CFileException error;
    if (!caFile.Open(settings.strCaFile, CFile::modeRead, &error)) {
      return UsageError("--cacert: %s", error.GetErrorMessage().c_str());
    }
  }
  if (!strPublicKey.empty()) {
    std::string strError;
    MinisignPublicKey key;
    if (!ReadPublicKeyArgument(strPublicKey, settings.strPublicKey, key, strError)) {
      return UsageError("--pubkey: %s", strError.c_str());
    }
  } else if (MinisignPublicKey key; *QVN_PUBLIC_KEY != '\0') {
    std::string strError;
    if (!ParsePublicKey(QVN_PUBLIC_KEY, key, strError)) {
      return UsageError("the built-in public key cannot be used: %s", strError.c_str());
    }
    settings.strPublicKey = QVN_PUBLIC_KEY;
  }
  if (settings.bRepair && settings.strPublicKey.empty()) {
    return UsageError("%s",
                      "--repair needs a public key (--pubkey KEY): without a signed list of the installed "
                      "files, a damaged file cannot be told from a good one");
  }
  if (const char* pszStall = std::getenv("QVN_STALL_TIMEOUT"); pszStall != nullptr && *pszStall != '\0') {
    // A day at most: a stall longer than that is no stall, and larger counts
    // overflow the clocks they are added to.
    constexpr long kMaxStall = 86400;
    char* pEnd = nullptr;
    errno = 0;
    const long nSeconds = std::strtol(pszStall, &pEnd, 10);
    if (*pEnd != '\0' || nSeconds <= 0 || nSeconds > kMaxStall || errno == ERANGE) {
      return UsageError("QVN_STALL_TIMEOUT must be a number of seconds from 1 to 86400, not '%s'", pszStall);
    }
    settings.nStallTimeout = nSeconds;
  }

  if (bConsole) return RunConsole(settings);
  // A console made for this window alone (started from Explorer) goes away.
  LeaveOwnConsole();
  return RunWindow(argc, argv, settings);
}
