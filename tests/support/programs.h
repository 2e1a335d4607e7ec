#pragma once
// This build's qvnpack and qvnupdate run as processes, each within a time
// limit whose passing fails the test, and the lines they print.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace qvntest {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Proxy settings of the test's own environment would send requests meant for
// 127.0.0.1 elsewhere.
inline const std::vector<std::string> kProxyVariables = {
    "http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"};

// The Windows updater (qvnupdate.exe) that the scenarios run under Wine
// instead of this build's own, as QVN_TEST_WINDOWS_UPDATER names it; null when
// they run the Linux one. Wine's prefix and debug settings come from the
// environment (WINEPREFIX, WINEDEBUG).
inline const char* WindowsUpdater() {
  const char* psz = std::getenv("QVN_TEST_WINDOWS_UPDATER");
  return psz != nullptr && *psz != '\0' ? psz : nullptr;
}

// The system's own words for a failure, which differ between libcurl and
// Linux on one side and WinINet and Windows on the other.
inline std::string SystemWords(const std::string& strLinux, const std::string& strWindows) {
  return WindowsUpdater() != nullptr ? strWindows : strLinux;
}

// Windows programs end their lines with CR LF; the scenarios compare lines.
inline void StripCarriageReturns(std::string& str) {
  str = std::regex_replace(str, std::regex("\r\n"), "\n");
}

// One of this build's programs (qvnpack, qvnupdate) with arrArgs; a run that
// outlasts the time limit fails the test.
inline ProcessResult RunBuiltProgram(const std::string& strProgram, std::vector<std::string> arrArgs,
                                     const ProcessOptions& options) {
  const char* pszExe = strProgram == "qvnupdate" ? WindowsUpdater() : nullptr;
  arrArgs.insert(arrArgs.begin(), pszExe != nullptr ? pszExe : QVN_BIN_DIR "/" + strProgram);
  if (pszExe != nullptr) arrArgs.insert(arrArgs.begin(), "/usr/lib/wine/wine64");
  ProcessResult r = RunProcess(arrArgs, options);
  // Under load Wine now and then fails to start a program, which then ends at
  // once having written nothing, something the updater never does: once more.
  if (pszExe != nullptr && !r.bTimedOut && r.nExit != 0 && r.strOut.empty() && r.strErr.empty()) {
    r = RunProcess(arrArgs, options);
  }
  if (pszExe != nullptr) {
    StripCarriageReturns(r.strOut);
    StripCarriageReturns(r.strErr);
  }
  EXPECT_FALSE(r.bTimedOut) << strProgram << " did not finish within " << options.nTimeoutSeconds
                            << " seconds";
  return r;
}

inline ProcessResult RunQvnpack(std::vector<std::string> arrArgs) {
  return RunBuiltProgram("qvnpack", std::move(arrArgs), ProcessOptions{});
}

// qvnupdate with arrArgs in the installation folder, with arrEnv added to an
// environment cleared of proxies and of the variables the tests set. A run
// told to stop at a step of the replacement (QVN_TEST_CRASH_AT in arrEnv, see
// support/stop_at_step.h) is one of qvnupdate-testhooks, the same updater with
// that hook, which the shipped program lacks.
inline ProcessResult RunQvnupdate(const std::filesystem::path& folder, std::vector<std::string> arrArgs,
                                  EnvList arrEnv = {}, ProcessOptions options = {}) {
  const bool bStops = std::any_of(arrEnv.begin(), arrEnv.end(),
                                  [](const auto& var) { return var.first == "QVN_TEST_CRASH_AT"; });
  options.strCwd = folder.string();
  options.arrEnv = std::move(arrEnv);
  options.arrUnset = kProxyVariables;
  options.arrUnset.insert(options.arrUnset.end(), {"QVN_STALL_TIMEOUT", "QVN_TEST_CRASH_AT"});
  return RunBuiltProgram(bStops ? "qvnupdate-testhooks" : "qvnupdate", std::move(arrArgs), options);
}

// qvnupdate --console in folder against strUrl, with extra arguments.
inline ProcessResult RunUpdater(const std::filesystem::path& folder, const std::string& strUrl,
                                EnvList arrEnv = {}, std::vector<std::string> arrExtra = {}) {
  std::vector<std::string> arrArgs = {"--console", "--server", strUrl};
  arrArgs.insert(arrArgs.end(), arrExtra.begin(), arrExtra.end());
  return RunQvnupdate(folder, std::move(arrArgs), std::move(arrEnv));
}

// scripts/make-product-exe: a product executable at strExe whose version
// resource gives strVersion; strBits "32" (the default) or "64".
inline ProcessResult MakeProductExe(const std::string& strVersion, const std::string& strExe,
                                    const std::string& strBits = "32") {
  ProcessOptions options;
  const ProcessResult r =
      RunProcess({QVN_TEST_DATA_DIR "/../../scripts/make-product-exe", strVersion, strExe, strBits}, options);
  EXPECT_FALSE(r.bTimedOut) << "make-product-exe did not finish within " << options.nTimeoutSeconds
                            << " seconds";
  return r;
}

// The lines a program printed, each of which must end with a line feed.
inline std::vector<std::string> Lines(const std::string& str) {
  std::vector<std::string> arr;
  size_t nStart = 0;
  for (size_t n; (n = str.find('\n', nStart)) != std::string::npos; nStart = n + 1) {
    arr.push_back(str.substr(nStart, n - nStart));
  }
  EXPECT_EQ(nStart, str.size()) << "output does not end with a line feed";
  return arr;
}

// The updater's lines with the seconds a download took shown as "N".
inline std::vector<std::string> WithoutSeconds(const std::string& strOut) {
  std::vector<std::string> arr;
  for (const auto& s : Lines(strOut)) {
    arr.push_back(std::regex_replace(s, std::regex(" - [0-9]+ second\\(s\\)$"), " - N second(s)"));
  }
  return arr;
}

}  // namespace qvntest
