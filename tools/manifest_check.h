#pragma once
// What lint and build refuse in a manifest: the things the updater's parser
// reads without a diagnostic but that break or mislead every updater (a name
// it refuses, a SIZE it misreads, a version it reads as something else, a
// manifest it will not load). The updater itself reads such manifests as it
// always did; these checks are for the publisher's tools only.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "manifest/update_info.h"

// The updater refuses manifest bodies larger than this.
inline constexpr std::uint64_t kMaxManifestBytes = 1024 * 1024;

// Why strVersion is not dotted decimal numbers of at most 65535 each (any
// number of parts), the only versions every updater compares as written;
// empty when it is.
std::string VersionProblem(const std::string& strVersion);

// Whether s is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF).
bool IsValidUtf8(const std::string& s);

// Why Windows could not hold strName as it is written (a character it does
// not allow, a dot or space it would drop, bytes that are not UTF-8); empty
// when it could.
std::string WindowsNameProblem(const std::string& strName);

// Why an item named strName, sent compressed or not, would be refused or
// misinstalled by the updater; empty when it would not.
std::string ItemNameProblem(const std::string& strName, bool bCompressed);

// Fed the same lines as CUpdateInfo::ParseLine, after it, so that it sees the
// raw text of values the parser reads loosely.
class CManifestChecker {
 public:
  void Line(const std::string& strLine, const CUpdateInfo& info);

  // The errors of the parsed manifest of nBytes bytes, in the order a reader
  // meets them.
  std::vector<std::string> Errors(const CUpdateInfo& info, std::uint64_t nBytes) const;

 private:
  std::map<std::size_t, std::string> m_mapSizeProblems;  // by item index, the last SIZE: line's
  bool m_bFirstLineSeen = false;
  bool m_bByteOrderMark = false;  // the first line starts with one
};
