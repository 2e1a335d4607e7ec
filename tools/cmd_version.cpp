// qvnpack version FILE: the ProductVersion the updater would read from FILE.
// qvnpack vercmp A B:   how the updater would compare version A against B.
#include <cstdio>
#include <string>
#include <vector>

#include "core/version_array.h"
#include "core/version_info.h"
#include "platform/pe_version.h"
#include "tools/commands.h"

int CmdVersion(const Args& args) {
  if (args.size() != 1) return UsageError("version takes exactly one FILE");
  const std::string& strFile = args[0];

  CFileVersionInfo info;
  std::string strVersion;
  std::string strWhy;
  if (info.Load(strFile)) {
    strVersion = info.GetProductVersion();
    if (strVersion.empty()) {
      char szTranslation[16];
      std::snprintf(szTranslation, sizeof szTranslation, "%08lx",
                    static_cast<unsigned long>(info.m_dwTranslation));
      strWhy = std::string(
                   "has no ProductVersion, or an empty one, in the string table of its first translation (") +
               szTranslation + ")";
    }
  } else {
    // Load says only yes or no; ask the reader why, for the message.
    std::vector<BYTE> block;
    const PeVersionStatus status = ReadPeVersionBlock(strFile, block);
    strWhy = status == PeVersionStatus::kPeOk ? "has no translation table in its version resource"
                                              : DescribePeVersionStatus(status);
  }
  std::printf("%s\n", strVersion.c_str());
  std::fflush(stdout);
  if (strVersion.empty()) {
    std::fprintf(stderr, "qvnpack: %s %s\n", strFile.c_str(), strWhy.c_str());
    return 1;
  }
  return 0;
}

int CmdVercmp(const Args& args) {
  if (args.size() != 2) return UsageError("vercmp takes exactly two versions, A and B");
  CVersionArray a;
  CVersionArray b;
  a.FromString(args[0]);
  b.FromString(args[1]);
  std::printf("%d\n", a.Compare(b));
  return 0;
}
