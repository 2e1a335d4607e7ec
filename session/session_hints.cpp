#include "session/session_hints.h"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/http_client.h"
#include "platform/pe_version.h"

namespace {

bool EndsWithNoCase(const std::string& str, const std::string& strSuffix) {
  if (str.size() < strSuffix.size()) return false;
  return std::equal(strSuffix.begin(), strSuffix.end(), str.end() - static_cast<long>(strSuffix.size()),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// The server URL is never rewritten: the user is told, and decides.
void HintUpdatesFolder(CUpdateReporter& view, const UpdateSettings& settings) {
  const std::string& strUrl = settings.serverUrl.GetText();
  if (!EndsWithNoCase(strUrl, "/updates")) return;
  view.AddDetail(
      fmt::format("hint: the server URL ends in /Updates, which the updater adds itself: try --server {}",
                  strUrl.substr(0, strUrl.size() - 8)));
}

}  // namespace

void ReportNoManifest(CUpdateReporter& view, const UpdateSettings& settings, const CUpdateRequest& request,
                      bool bAnsweredSuccess) {
  if (bAnsweredSuccess) {
    view.AddDetail(
        fmt::format("{} is not update information (it gives no version: no \"VERSION:\" line with a value)",
                    request.pFile ? request.pFile->GetFileURL() : settings.serverUrl.GetText()));
  } else {
    view.AddDetail(request.DescribeAnswer());
  }
  HintUpdatesFolder(view, settings);
}

std::vector<std::string> FailureHints(const CException& e, const UpdateSettings& settings) {
  const auto* pNet = dynamic_cast<const CInternetException*>(&e);
  if (pNet == nullptr) return {};
  const std::string& strUrl = settings.serverUrl.GetText();
  switch (pNet->m_kind) {
    case CInternetException::Kind::kTls:
      if (strUrl.rfind("https://", 0) == 0) {
        return {
            fmt::format("hint: the server may not speak https; if it is a plain HTTP server, try --server {}",
                        "http://" + strUrl.substr(8))};
      }
      break;
    case CInternetException::Kind::kCertificate:
      return {
          "hint: if the server's certificate comes from an authority of your own, give that "
          "authority's certificate with --cacert FILE"};
    case CInternetException::Kind::kCaFile:
      return {"hint: --cacert needs a readable file holding the authority's certificate in PEM form"};
    case CInternetException::Kind::kResolve:
    case CInternetException::Kind::kConnect:
      return {"hint: check the server's address (--server) and that the server is running"};
    default:
      break;
  }
  return {};
}

void WarnIfNoProduct(CUpdateReporter& view, const UpdateSettings& settings,
                     const std::string& strProductExe) {
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::current_path(ec);
  if (std::filesystem::is_regular_file(strProductExe, ec)) {
    if (strProductExe == settings.strProductExe ||
        std::filesystem::equivalent(strProductExe, settings.strProductExe, ec)) {
      return;
    }
    view.AddDetail(fmt::format(
        "warning: the version is read from {}, beside this program, but the update installs into this "
        "folder ({}); run it from the installation folder",
        strProductExe, folder.string()));
    return;
  }
  // Something else by that name (a folder, say): WarnIfNoVersion says what.
  if (std::filesystem::exists(std::filesystem::symlink_status(strProductExe, ec))) return;
  view.AddDetail(fmt::format(
      "warning: {} is not in this folder ({}); is it the installation? An update installs the whole "
      "release here",
      settings.strProductExe, folder.string()));
}

void WarnIfNoVersion(CUpdateReporter& view, const std::string& strProductExe) {
  std::vector<BYTE> block;
  const PeVersionStatus status = ReadPeVersionBlock(strProductExe, block);
  std::error_code ec;
  // Not there: WarnIfNoProduct said so.
  if (!std::filesystem::exists(std::filesystem::symlink_status(strProductExe, ec))) return;
  const std::string strWhy = status == PeVersionStatus::kPeOk
                                 ? "has no ProductVersion in its version resource"
                                 : DescribePeVersionStatus(status);
  view.AddDetail(fmt::format("warning: {} {}, so its version reads as 0 and any update is taken",
                             strProductExe, strWhy));
}

bool WarnIfProductIsALink(CUpdateReporter& view, const std::string& strProductExe) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(strProductExe, ec))) return false;
  view.AddDetail(fmt::format(
      "warning: {} is a symbolic link, which the updater does not follow, so its version reads as 0 and "
      "any update is taken (replacing the link with the file)",
      strProductExe));
  return true;
}
