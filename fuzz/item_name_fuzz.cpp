// The item-name check and the URL encoding on any name. A name found safe
// stays below the folder it is resolved in; the check of a manifest's names
// refuses exactly the names that are unsafe (as sent or as installed) or
// that land on the updater's own files, with one status line a terminal can
// show; an encoded name holds only bytes a URL path can carry and survives
// the URL splitter unchanged.
//
// Input: one byte whose low bit marks the item compressed, then the name.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "manifest/item_name.h"
#include "phases/download.h"
#include "phases/replace.h"
#include "phases/replace_journal.h"
#include "platform/http_client.h"
#include "platform/install_folder.h"

namespace {

class Reporter : public CUpdateReporter {
 public:
  void AddStatus(std::string strLine) override { m_arrLines.push_back(std::move(strLine)); }
  void ResetStatus() override {}
  void MessageBox(const std::string&, Icon) override {}
  std::vector<std::string> m_arrLines;
};

void CheckSafeName(const std::string& strName) {
  const std::filesystem::path path(strName);
  QVN_FUZZ_CHECK(!path.is_absolute() && !path.has_root_name() && !path.has_root_directory());
  for (const auto& part : path) {
    QVN_FUZZ_CHECK(part != ".." && part != "." && !part.empty());
  }
  const std::filesystem::path normal = path.lexically_normal();
  QVN_FUZZ_CHECK(normal == path && *normal.begin() != "..");
  for (const char c : strName) {
    QVN_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && c != '\\');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize == 0) return 0;
  const bool bCompressed = (pData[0] & 1) != 0;
  const std::string strName(reinterpret_cast<const char*>(pData + 1), nSize - 1);

  std::string strReason = "stale";
  const bool bSafe = IsSafeItemName(strName, &strReason);
  QVN_FUZZ_CHECK(bSafe == strReason.empty());
  if (bSafe) CheckSafeName(strName);

  const std::string strEncoded = EncodeUrlPath(strName);
  for (const char c : strEncoded) {
    const unsigned char b = static_cast<unsigned char>(c);
    QVN_FUZZ_CHECK(b > 0x20 && b < 0x7F && c != '#' && c != '?');
  }
  QVN_FUZZ_CHECK(EncodeUrlPath(strEncoded) == strEncoded);
  // The payload's URL, written out, reads back as the same request.
  const CHttpUrl payload = PayloadUrl(*CHttpUrl::Parse("http://127.0.0.1:8080"), strName);
  const std::optional<CHttpUrl> url = CHttpUrl::Parse(payload.GetText());
  QVN_FUZZ_CHECK(url && url->GetObjectPath() == "/Updates/" + strEncoded &&
                 payload.GetObjectPath() == url->GetObjectPath() && url->GetHost() == "127.0.0.1" &&
                 url->GetPort() == 8080);

  CUpdateInfo info;
  auto pItem = std::make_unique<CUpdateFileItem>();
  pItem->m_strName = strName;
  pItem->m_bCompressed = bCompressed ? TRUE : FALSE;
  const std::string strTarget = TargetFileName(*pItem);
  info.m_arrItems.push_back(std::move(pItem));
  Reporter view;
  const bool bAccepted = CheckItemNames(view, info) != FALSE;
  // The folder is looked at too: a name it cannot hold (a part longer than the
  // file system allows) or that leads through a link is refused as well.
  CInstallFolder folder;
  const bool bExpected = bSafe && IsSafeItemName(strTarget, nullptr) &&
                         !IsUpdaterFileName(strTarget, nullptr) && folder.Open() == 0 &&
                         IsConfinedTarget(folder, strTarget, nullptr);
  QVN_FUZZ_CHECK(bAccepted == bExpected);
  if (bAccepted) {
    QVN_FUZZ_CHECK(view.m_arrLines.empty());
    CheckSafeName(strTarget);
    QVN_FUZZ_CHECK(BackupName(strTarget) != strTarget && IsUpdaterFileName(BackupName(strTarget), nullptr));
  } else {
    QVN_FUZZ_CHECK(view.m_arrLines.size() == 1);
    const std::string& strLine = view.m_arrLines[0];
    QVN_FUZZ_CHECK(strLine.size() >= 11 && strLine.compare(strLine.size() - 11, 11, " - ABORTING") == 0);
    for (const char c : strLine) QVN_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  return 0;
}
