// qvnpack build SRC OUT: turns a release folder into an update directory that
// any web server can serve as /Updates/. Every file of SRC becomes one item
// of OUT/UpdateInfo.txt, sent compressed (NAME.crz) when that is smaller.
//
// Everything that can be checked is checked before OUT is touched: names the
// updater would refuse or could not read back from the manifest, the version,
// and what OUT already holds. Every payload is made under a temporary name
// first, so a build that fails or is stopped while it compresses leaves OUT
// as it was. Only then are they renamed into place, the manifest last, so a
// server that serves OUT meanwhile never hands out a half-written file.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "compress/compressed_file.h"
#include "core/version_array.h"
#include "core/version_info.h"
#include "manifest/item_name.h"
#include "manifest/line_splitter.h"
#include "manifest/update_info.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/file_read.h"
#include "platform/name_case.h"
#include "platform/output_lock.h"
#include "platform/shell_pattern.h"
#include "tools/args.h"
#include "tools/commands.h"
#include "tools/manifest_check.h"
#include "tools/signing.h"
#include "tools/stop.h"
#include "tools/utf8_path.h"
#include "trust/sha256_sums.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kProductExe = "Quorvane.exe";
constexpr const char* kManifestName = "UpdateInfo.txt";
constexpr const char* kCompressedSuffix = ".crz";
// The manifest reads SIZE: as 32 bits.
constexpr std::uint64_t kMaxItemSize = 0xFFFFFFFFull;
// The compressed format counts positions in signed 32 bits.
constexpr std::uint64_t kMaxCompressibleSize = 0x7FFFFFFFull;
// A compressed block takes a 2-byte header and at least one byte, so smaller
// files cannot come out smaller.
constexpr std::uint64_t kMinCompressibleSize = 4;
constexpr UINT kChunk = 1 << 20;
// The longest file name (one folder entry) the common file systems take.
constexpr std::size_t kMaxNameBytes = 255;

struct BuildOptions {
  std::string strSrc;
  std::string strOut;
  std::string strVersion;
  bool bHaveVersion = false;
  std::vector<std::string> arrStorePatterns;
  bool bReboot = false;
  std::string strSignKey;  // --sign: the secret key file; empty for an unsigned build
  std::int64_t nExpiresDays = 0;
};

// One file of the release and what became of it.
struct SourceFile {
  std::string strName;  // relative to SRC, "/" between folders; the installed name
  fs::path path;        // where it is read from
  std::uint64_t nSize = 0;
  std::string strStoreReason;  // why it is sent as it is without trying; empty to try
  // Filled while OUT is written.
  bool bCompressed = false;
  std::string strSentName;
  std::uint64_t nSentSize = 0;
  // The SHA-256 of the bytes read, which the installed file will hold: a
  // file that changes while the build runs is listed as it was sent.
  std::string strInstalledSha256;
};

class BuildError : public std::exception {
 public:
  explicit BuildError(std::string strMessage) : m_strMessage(std::move(strMessage)) {}
  const char* what() const noexcept override { return m_strMessage.c_str(); }

 private:
  std::string m_strMessage;
};

void PrintError(const std::string& strMessage) {
  std::fprintf(stderr, "qvnpack: %s\n", strMessage.c_str());
}
void PrintWarning(const std::string& strMessage) {
  std::fprintf(stderr, "qvnpack: warning: %s\n", strMessage.c_str());
}

// A name for messages: control bytes are shown as escapes, so that a name
// with a line feed in it cannot break the message in two.
std::string ShowName(const std::string& strName) {
  std::string strShown = "'";
  for (const char c : strName) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\n') {
      strShown += "\\n";
    } else if (c == '\t') {
      strShown += "\\t";
    } else if (b < 0x20 || b == 0x7F) {
      char sz[8];
      std::snprintf(sz, sizeof sz, "\\x%02X", b);
      strShown += sz;
    } else {
      strShown += c;
    }
  }
  return strShown + "'";
}

// Returns 0 and fills options, or the exit status of a usage error.
int ParseBuildArgs(const Args& args, BuildOptions& options) {
  ParsedArgs parsed;
  if (const int nStatus =
          SplitArgs("build", args, {"--version", "--store", "--sign", "--expires"}, {"--reboot"}, parsed)) {
    return nStatus;
  }
  for (const auto& [strName, strValue] : parsed.arrOptions) {
    if (strName == "--version") {
      options.strVersion = strValue;
      options.bHaveVersion = true;
    } else if (strName == "--store") {
      if (strValue.empty()) return UsageError("build: --store needs a pattern");
      options.arrStorePatterns.push_back(strValue);
    } else if (strName == "--sign") {
      if (strValue.empty()) return UsageError("build: --sign needs a secret key file");
      options.strSignKey = strValue;
    } else if (strName == "--expires") {
      if (strValue.empty() || strValue.size() > 6 ||
          strValue.find_first_not_of("0123456789") != std::string::npos || std::stoll(strValue) == 0) {
        return UsageError("build: --expires needs a number of days from 1 to 999999");
      }
      options.nExpiresDays = std::stoll(strValue);
    } else {
      options.bReboot = true;
    }
  }
  if (parsed.arrOperands.size() != 2)
    return UsageError("build takes a release folder SRC and an output folder OUT");
  options.strSrc = parsed.arrOperands[0];
  options.strOut = parsed.arrOperands[1];
  if (options.nExpiresDays != 0 && options.strSignKey.empty())
    return UsageError("build: --expires goes with --sign");
  if (options.bHaveVersion && options.strVersion.empty())
    return UsageError("build: --version needs a version");
  return 0;
}

// Parses text as the updater reads a manifest body.
void ParseManifestText(const std::string& strText, CUpdateInfo& info) {
  CLineSplitter splitter;
  auto onLine = [&info](const std::string& strLine) { info.ParseLine(strLine); };
  splitter.Feed(strText, onLine);
  splitter.Finish(onLine);
}

// Why the updater would not read `strName` back from a NAME: line; empty when
// it would.
std::string NameReadBackProblem(const std::string& strName) {
  CUpdateInfo info;
  ParseManifestText(std::string("[FILES]\nNUMBERITEMS: 1\nITEM: 1\nNAME: ") + strName + "\n", info);
  if (info.m_arrMessages.empty() && info.m_arrItems.size() == 1 && info.m_arrItems[0]->m_strName == strName) {
    return {};
  }
  if (strName[0] == ' ') return "it begins with a space, which the manifest format drops";
  return "a manifest line NAME: with it would not read back as this name (it holds a key text such as "
         "VERSION:, ITEM: or SNAME:)";
}

std::string VersionReadBackProblem(const std::string& strVersion) {
  for (const char c : strVersion) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "it holds a control character";
  }
  CUpdateInfo info;
  ParseManifestText("[GENERAL]\nVERSION: " + strVersion + "\n", info);
  if (info.m_arrMessages.empty() && info.m_strVersion == strVersion) return {};
  if (strVersion[0] == ' ') return "it begins with a space, which the manifest format drops";
  return "a manifest line VERSION: with it would not read back as this version";
}

// Why the updater would refuse the item named strName, or the manifest could
// not carry it; empty when the name is fine.
std::string NameProblem(const std::string& strName) {
  if (std::string strWhy = ItemNameProblem(strName, false); !strWhy.empty()) return strWhy;
  if (strName.find('%') != std::string::npos) {
    return "it holds '%', which web servers read as the start of an escaped character";
  }
  if (strName == kManifestName || strName.rfind(std::string(kManifestName) + "/", 0) == 0) {
    return "it would take the place of the manifest of the update directory";
  }
  if (std::string strWhy = NameReadBackProblem(strName); !strWhy.empty()) return strWhy;
  return NameReadBackProblem(strName + kCompressedSuffix);
}

bool MatchesStorePattern(const std::string& strPattern, const std::string& strName) {
  if (MatchesShellPattern(strPattern, strName)) return true;
  // A pattern without a folder in it also matches the file name alone, so
  // that "*.png" and "Logo.png" match in every subfolder.
  if (strPattern.find('/') != std::string::npos) return false;
  const size_t nSlash = strName.rfind('/');
  return nSlash != std::string::npos && MatchesShellPattern(strPattern, strName.substr(nSlash + 1));
}

std::string RelativeName(const fs::path& root, const fs::path& path) {
  return Utf8(path.lexically_relative(root).generic_u8string());
}

// Every file below SRC, in byte order of their names. Problems that make the
// release impossible to send are gathered in arrProblems.
std::vector<SourceFile> CollectSourceFiles(const fs::path& src, std::vector<std::string>& arrProblems,
                                           std::set<std::string>& setFolders) {
  std::vector<SourceFile> arrFiles;
  std::error_code ec;
  fs::recursive_directory_iterator it(src, fs::directory_options::none, ec);
  if (ec) throw BuildError("cannot read the release folder '" + Utf8(src) + "': " + ec.message());
  // A folder that cannot be read ends the walk (the iterator turns into the
  // end) with the error set: the error is looked at first, or the release
  // would be sent without the rest of its files.
  fs::path entered = src;  // the folder the walk went into last, the likeliest to fail it
  for (const fs::recursive_directory_iterator end; ec || it != end; it.increment(ec)) {
    if (ec) throw BuildError("cannot read the release folder '" + Utf8(entered) + "': " + ec.message());
    const fs::path& path = it->path();
    const std::string strName = RelativeName(src, path);
    const fs::file_status linkStatus = LinkStatus(path, ec);
    if (ec) {
      // Listed with the other problems (on Windows, a name such as "nul.txt"
      // that the system takes for a device), not the end of the walk.
      arrProblems.push_back(ShowName(strName) + " cannot be looked at: " + ec.message());
      ec.clear();
      it.disable_recursion_pending();
      continue;
    }
    // A link to a folder is not walked into, wherever it leads.
    if (fs::is_symlink(linkStatus)) it.disable_recursion_pending();
    if (fs::is_directory(linkStatus)) {
      setFolders.insert(strName);
      entered = path;
      continue;
    }
    // A link to a file sends the file it points to; anything else cannot be
    // installed as a file.
    const fs::file_status status = fs::is_symlink(linkStatus) ? it->status(ec) : linkStatus;
    if (ec || !fs::is_regular_file(status)) {
      arrProblems.push_back(
          ShowName(strName) + ": " +
          (fs::is_symlink(linkStatus) ? "a symbolic link to a folder or to nothing" : "not a regular file") +
          ", which cannot be sent as an update item");
      continue;
    }
    // Found out now rather than halfway through writing OUT.
    if (std::string strReason; !CanRead(Utf8(path), false, strReason)) {
      arrProblems.push_back(ShowName(strName) + " cannot be read: " + strReason);
      continue;
    }
    SourceFile file;
    file.strName = strName;
    file.path = path;
    file.nSize = fs::file_size(path, ec);
    if (ec) throw BuildError("cannot look at '" + Utf8(path) + "': " + ec.message());
    arrFiles.push_back(std::move(file));
  }
  std::sort(arrFiles.begin(), arrFiles.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.strName < b.strName; });
  return arrFiles;
}

bool IsSameOrInside(const fs::path& inner, const fs::path& outer) {
  auto itOuter = outer.begin();
  auto itInner = inner.begin();
  for (; itOuter != outer.end(); ++itOuter, ++itInner) {
    if (itOuter->empty()) continue;  // the empty last element of a path ending in "/"
    if (itInner == inner.end() || *itInner != *itOuter) return false;
  }
  return true;
}

// IsSameOrInside also by what the folders are: on Windows one folder has
// many spellings (letter case, a second drive letter mapped to it) that
// neither the path nor its canonical form shows.
bool IsSameOrInsideOnDisk(const fs::path& inner, const fs::path& outer) {
  if (IsSameOrInside(inner, outer)) return true;
  std::error_code ec;
  if (!fs::exists(outer, ec)) return false;
  for (fs::path at = inner; !at.empty(); at = at.parent_path()) {
    if (fs::equivalent(at, outer, ec)) return true;
    if (at == at.parent_path()) break;
  }
  return false;
}

// The item names of an earlier manifest in OUT, so that files it listed and
// the new one does not can be removed.
std::vector<std::string> ReadPreviousItems(const fs::path& manifest) {
  std::vector<std::string> arrNames;
  CFile file;
  if (!file.Open(Utf8(manifest), CFile::modeRead)) return arrNames;
  CUpdateInfo info;
  CLineSplitter splitter;
  auto onLine = [&info](const std::string& strLine) { info.ParseLine(strLine); };
  std::vector<char> buffer(65536);
  while (const UINT n = file.Read(buffer.data(), static_cast<UINT>(buffer.size()))) {
    splitter.Feed(buffer.data(), n, onLine);
    // An earlier manifest is small; anything huge is not one of ours.
    if (splitter.BytesFed() > (64u << 20)) return {};
  }
  splitter.Finish(onLine);
  for (const auto& pItem : info.m_arrItems) arrNames.push_back(pItem->m_strName);
  return arrNames;
}

// Names that were a file in the earlier build and are a folder in this one,
// or the other way round. The updater never removes what stands in the way
// of a file, so installations of the earlier release could not take this one.
std::vector<std::string> FindFileFolderSwaps(const std::vector<std::string>& arrPrevious,
                                             const std::vector<SourceFile>& arrFiles) {
  // Compared as Windows compares names: "Data" and "data/" are one.
  using NameMap = std::map<std::string, std::string>;  // folded name, and as written
  const auto gather = [](const std::string& strName, NameMap& mapFiles, NameMap& mapFolders) {
    mapFiles.emplace(FoldNameCase(strName), strName);
    for (size_t n = strName.find('/'); n != std::string::npos; n = strName.find('/', n + 1))
      mapFolders.emplace(FoldNameCase(strName.substr(0, n)), strName.substr(0, n));
  };
  NameMap mapOldFiles, mapOldFolders, mapNewFiles, mapNewFolders;
  const std::string strSuffix = kCompressedSuffix;
  for (const std::string& strSent : arrPrevious) {
    const bool bCompressed =
        strSent.size() > strSuffix.size() &&
        strSent.compare(strSent.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
    gather(bCompressed ? strSent.substr(0, strSent.size() - strSuffix.size()) : strSent, mapOldFiles,
           mapOldFolders);
  }
  for (const SourceFile& file : arrFiles) gather(file.strName, mapNewFiles, mapNewFolders);
  std::vector<std::string> arrSwaps;
  for (const auto& [strFolded, strName] : mapOldFiles) {
    if (const auto it = mapNewFolders.find(strFolded); it != mapNewFolders.end())
      arrSwaps.push_back(ShowName(strName) + " was a file and is a folder (" + ShowName(it->second) + ")");
  }
  for (const auto& [strFolded, strName] : mapOldFolders) {
    if (const auto it = mapNewFiles.find(strFolded); it != mapNewFiles.end())
      arrSwaps.push_back(ShowName(strName) + " was a folder and is a file (" + ShowName(it->second) + ")");
  }
  return arrSwaps;
}

// Whether a name below OUT is reached through a symbolic link on the way:
// removing or writing through one would reach outside OUT.
bool HasLinkOnTheWay(const fs::path& out, const std::string& strName) {
  std::error_code ec;
  fs::path path = out;
  const std::vector<std::string_view> arrParts = PathParts(strName);
  for (size_t i = 0; i + 1 < arrParts.size(); ++i) {
    path /= PathFromUtf8(std::string(arrParts[i]));
    if (fs::is_symlink(LinkStatus(path, ec))) return true;
  }
  return false;
}

// Payloads of the earlier build that stand where this build puts a file or a
// folder (a release that turned a folder into a file, or the other way
// round). They go just before the new payloads are renamed into place;
// anything else in the way, and a link on the way, is a problem found before
// OUT is touched.
std::vector<fs::path> FindWhatIsInTheWay(const fs::path& out, const std::vector<SourceFile>& arrFiles,
                                         const std::set<std::string>& setPrevious,
                                         std::vector<std::string>& arrProblems) {
  std::vector<fs::path> arrInTheWay;
  std::error_code ec;
  std::set<std::string> setSeen;
  for (const SourceFile& file : arrFiles) {
    // The folders on the way to the file.
    const std::vector<std::string_view> arrParts = PathParts(file.strName);
    std::string strFolder;
    for (size_t i = 0; i + 1 < arrParts.size(); ++i) {
      strFolder += (i == 0 ? "" : "/") + std::string(arrParts[i]);
      if (!setSeen.insert(strFolder).second) continue;
      const fs::path path = out / PathFromUtf8(strFolder);
      const fs::file_status status = LinkStatus(path, ec);
      if (!fs::exists(status) || fs::is_directory(status)) continue;
      if (fs::is_regular_file(status) && setPrevious.count(strFolder) != 0) {
        arrInTheWay.push_back(path);
      } else {
        arrProblems.push_back("the output folder holds " + ShowName(strFolder) + " as " +
                              (fs::is_symlink(status) ? "a symbolic link" : "something other than a folder") +
                              ", where the release has a folder; move it away");
      }
    }
    // A folder where the file goes, in either form.
    for (const std::string& strName : {file.strName, file.strName + kCompressedSuffix}) {
      const fs::path target = out / PathFromUtf8(strName);
      if (!fs::is_directory(LinkStatus(target, ec)) || !setSeen.insert(strName).second) continue;
      std::vector<fs::path> arrFolders{target};
      std::vector<fs::path> arrBelow;
      bool bOnlyPrevious = true;
      for (fs::recursive_directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status status = LinkStatus(it->path(), ec);
        if (fs::is_directory(status)) {
          arrFolders.push_back(it->path());
        } else if (fs::is_regular_file(status) && setPrevious.count(RelativeName(out, it->path())) != 0) {
          arrBelow.push_back(it->path());
        } else {
          bOnlyPrevious = false;
          break;
        }
      }
      if (ec || !bOnlyPrevious) {
        arrProblems.push_back("the output folder holds " + ShowName(strName) +
                              " as a folder with files of no earlier build in it, where the release has a "
                              "file; move it away");
        continue;
      }
      // Files first, then their folders, the deepest first.
      arrInTheWay.insert(arrInTheWay.end(), arrBelow.begin(), arrBelow.end());
      arrInTheWay.insert(arrInTheWay.end(), arrFolders.rbegin(), arrFolders.rend());
    }
  }
  return arrInTheWay;
}

// Every temporary file of a build starts so.
constexpr const char* kTempPrefix = ".qvnpack-";

// A temporary file in folder, with the permissions of a new file (payloads
// are for a web server to read). Its name is short whatever the name it is
// renamed to: a long name with a suffix added would pass the file system's
// limit on one name.
class CTempFile {
 public:
  explicit CTempFile(const fs::path& folder) {
    std::string strReason;
    if (!CreateUniqueFile(Utf8(folder) + "/" + kTempPrefix, m_strPath, strReason)) {
      throw BuildError("cannot create a file in '" + Utf8(folder) + "': " + strReason);
    }
  }
  ~CTempFile() {
    if (!m_strPath.empty()) RemoveFile(m_strPath);
  }
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;

  // UTF-8; kept as a string, as a build holds one for every file until the end.
  const std::string& Path() const { return m_strPath; }
  std::uint64_t Size() const {
    std::error_code ec;
    const std::uintmax_t nSize = fs::file_size(PathFromUtf8(m_strPath), ec);
    return ec ? 0 : static_cast<std::uint64_t>(nSize);
  }
  void RenameTo(const fs::path& target) {
    if (std::string strReason; !RenameOver(m_strPath, Utf8(target), strReason)) {
      throw BuildError("cannot put '" + Utf8(target) + "' in place: " + strReason);
    }
    m_strPath.clear();
  }

 private:
  std::string m_strPath;
};

// Copies source to dest (opened already), returning the bytes copied.
std::uint64_t CopyInto(const fs::path& source, CFile& dest, std::vector<char>& buffer, CSha256* pSha) {
  CFile in(Utf8(source), CFile::modeRead);
  std::uint64_t nTotal = 0;
  while (const UINT n = in.Read(buffer.data(), static_cast<UINT>(buffer.size()))) {
    StopIfAsked();
    dest.Write(buffer.data(), n);
    if (pSha != nullptr) pSha->Update(buffer.data(), n);
    nTotal += n;
  }
  return nTotal;
}

// The temporary files that a killed build left in out (killed as it wrote
// them, it could not remove them), as paths below out; at its top alone
// unless bBelow.
std::vector<std::string> FindLeftovers(const fs::path& out, bool bBelow) {
  std::vector<std::string> arrFound;
  std::error_code ec;
  auto look = [&](const fs::path& path) {
    if (path.filename().string().starts_with(kTempPrefix)) arrFound.push_back(RelativeName(out, path));
  };
  if (bBelow) {
    for (fs::recursive_directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec))
      look(it->path());
  } else {
    for (fs::directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec)) look(it->path());
  }
  return arrFound;
}

// Makes file's payload in a temporary file at the top of out, compressed when
// that comes out smaller, else as it is; file.strSentName says where it goes.
// With bHash (a signed build), the SHA-256 of the bytes read goes to
// file.strInstalledSha256.
std::unique_ptr<CTempFile> SendFile(const fs::path& out, SourceFile& file, std::vector<char>& buffer,
                                    bool bHash) {
  // One temporary file per file, whichever form it takes: removing one and
  // making another for every file that does not compress made the build
  // quadratic, as ext4 looks for a free inode past every recently freed one.
  // Beside its target when that folder is there already (a rename within one
  // folder is the cheaper), else at the top of OUT.
  const fs::path folder = (out / PathFromUtf8(file.strName)).parent_path();
  std::error_code ec;
  auto pTemp = std::make_unique<CTempFile>(fs::is_directory(LinkStatus(folder, ec)) ? folder : out);
  CTempFile& temp = *pTemp;

  if (file.strStoreReason.empty()) {
    COXCompressedFile crz(0);
    CFileException error;
    if (!crz.Open(temp.Path(), CFile::modeCreate | CFile::modeWrite, &error)) throw error;
    CFile in(Utf8(file.path), CFile::modeRead);
    std::uint64_t nRead = 0;
    bool bLarger = false;
    CSha256 sha;
    while (const UINT n = in.Read(buffer.data(), static_cast<UINT>(buffer.size()))) {
      StopIfAsked();
      crz.Write(buffer.data(), n);
      if (bHash) sha.Update(buffer.data(), n);
      nRead += n;
      // Data that does not compress is found out early: the compressed file
      // already holds as much as the original.
      if (temp.Size() >= file.nSize || nRead > kMaxCompressibleSize) {
        bLarger = true;
        break;
      }
    }
    if (!bLarger) {
      crz.Close();
      const std::uint64_t nCompressed = temp.Size();
      if (nCompressed < nRead) {
        file.bCompressed = true;
        file.strSentName = file.strName + kCompressedSuffix;
        file.nSentSize = nCompressed;
        if (bHash) file.strInstalledSha256 = sha.FinishHex();
        return pTemp;
      }
    } else {
      crz.Abort();
    }
    file.strStoreReason = "compressed form not smaller";
  }

  CFile dest(temp.Path(), CFile::modeCreate | CFile::modeWrite);  // truncates a try at compressing
  CSha256 sha;
  file.nSentSize = CopyInto(file.path, dest, buffer, bHash ? &sha : nullptr);
  if (bHash) file.strInstalledSha256 = sha.FinishHex();
  dest.Close();
  file.strSentName = file.strName;
  return pTemp;
}

std::string BuildManifest(const std::string& strVersion, bool bReboot,
                          const std::vector<SourceFile>& arrFiles) {
  std::string strText = "[GENERAL]\nVERSION: " + strVersion + "\nREBOOT: " + (bReboot ? "Y" : "N") +
                        "\n[FILES]\nNUMBERITEMS: " + std::to_string(arrFiles.size()) + "\n";
  for (size_t i = 0; i < arrFiles.size(); ++i) {
    const SourceFile& file = arrFiles[i];
    strText += "ITEM: " + std::to_string(i + 1) + "\nNAME: " + file.strSentName +
               "\nSIZE: " + std::to_string(file.nSentSize) +
               "\nREPLACE: Y\nCOMPRESSED: " + (file.bCompressed ? "Y" : "N") + "\n";
  }
  strText += "[REGISTRY]\nNUMBERITEMS: 0\n";
  return strText;
}

// The most bytes the manifest of arrFiles can take, whichever are sent
// compressed (a compressed file's size has no more digits than the file's),
// and how many of the files, in order, surely fit in kMaxManifestBytes.
std::pair<std::uint64_t, std::size_t> ManifestSizeBound(const std::string& strVersion, bool bReboot,
                                                        const std::vector<SourceFile>& arrFiles) {
  // The manifest without items says "NUMBERITEMS: 0".
  std::uint64_t nBytes =
      BuildManifest(strVersion, bReboot, {}).size() + std::to_string(arrFiles.size()).size() - 1;
  std::size_t nFit = 0;
  for (std::size_t i = 0; i < arrFiles.size(); ++i) {
    const SourceFile& file = arrFiles[i];
    nBytes += std::string("ITEM: \nNAME: .crz\nSIZE: \nREPLACE: Y\nCOMPRESSED: N\n").size() +
              std::to_string(i + 1).size() + file.strName.size() + std::to_string(file.nSize).size();
    if (nBytes <= kMaxManifestBytes) nFit = i + 1;
  }
  return {nBytes, nFit};
}

// The manifest must read back, through the updater's own parser, as exactly
// what was meant, with no diagnostic.
void CheckManifest(const std::string& strText, const std::string& strVersion, bool bReboot,
                   const std::vector<SourceFile>& arrFiles) {
  CUpdateInfo info;
  ParseManifestText(strText, info);
  bool bSame = info.m_arrMessages.empty() && info.m_strVersion == strVersion &&
               (info.m_bReboot != FALSE) == bReboot && info.m_arrItems.size() == arrFiles.size();
  for (size_t i = 0; bSame && i < arrFiles.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    bSame = item.m_strName == arrFiles[i].strSentName && item.m_nSize == arrFiles[i].nSentSize &&
            (item.m_bCompressed != FALSE) == arrFiles[i].bCompressed && item.m_nReplace == 1;
  }
  if (!bSame) {
    std::string strWhy = info.m_arrMessages.empty() ? "it reads back differently" : info.m_arrMessages[0];
    throw BuildError("the manifest does not read back as written (" + strWhy +
                     "); nothing was changed in it");
  }
}

void WriteTextFile(const fs::path& target, const std::string& strText) {
  CTempFile temp(target.parent_path());
  CFile file(temp.Path(), CFile::modeCreate | CFile::modeWrite);
  file.Write(strText.data(), static_cast<UINT>(strText.size()));
  file.Flush();
  file.Close();
  temp.RenameTo(target);
}

std::string Percent(std::uint64_t nPart, std::uint64_t nWhole) {
  if (nWhole == 0) return "-";
  char sz[32];
  std::snprintf(sz, sizeof sz, "%.0f%%", 100.0 * static_cast<double>(nPart) / static_cast<double>(nWhole));
  return sz;
}

int Build(const BuildOptions& options) {
  const auto tStart = std::chrono::steady_clock::now();
  std::error_code ec;

  // The release folder.
  const fs::path src = fs::weakly_canonical(fs::absolute(PathFromUtf8(options.strSrc), ec), ec);
  if (ec || !fs::is_directory(src, ec)) {
    PrintError("cannot read the release folder '" + options.strSrc + "': " +
               (fs::exists(PathFromUtf8(options.strSrc), ec) ? "it is not a folder" : "no such folder"));
    return 2;
  }
  if (std::string strReason; !CanRead(Utf8(src), true, strReason)) {
    PrintError("cannot read the release folder '" + options.strSrc + "': " + strReason);
    return 2;
  }

  // The output folder: neither SRC itself nor inside it or around it, and
  // either new, empty, or the update directory of an earlier build.
  const fs::path out = fs::weakly_canonical(fs::absolute(PathFromUtf8(options.strOut), ec), ec);
  if (ec) {
    PrintError("cannot use the output folder '" + options.strOut + "': " + ec.message());
    return 2;
  }
  if (IsSameOrInsideOnDisk(out, src) || IsSameOrInsideOnDisk(src, out)) {
    PrintError("the output folder '" + options.strOut + "' must lie outside the release folder '" +
               options.strSrc + "', and the release outside it");
    return 2;
  }
  if (fs::exists(out, ec) && !fs::is_directory(out, ec)) {
    PrintError("the output folder '" + options.strOut + "' exists and is not a folder");
    return 1;
  }
  // One build at a time writes OUT, and what is read of it below stays true
  // until this one ends: OUT is made now to be locked, and removed again if
  // nothing is built into it (a folder that holds files stays).
  struct MadeFolder {
    fs::path path;
    bool bMade = false;
    ~MadeFolder() {
      std::error_code ecRemove;
      if (bMade) fs::remove(path, ecRemove);
    }
  } madeOut{out};
  if (!fs::exists(out, ec)) {
    madeOut.bMade = fs::create_directories(out, ec);
    if (ec) {
      PrintError("cannot make the output folder '" + options.strOut + "': " + ec.message());
      return 1;
    }
  }
  const bool bNewOut = madeOut.bMade;
  // From here a stop ends the build through its clean-up, which removes a
  // folder made for OUT.
  CatchStops();
  COutputLock lock;
  bool bHeld = false;
  if (std::string strWhy; !lock.TryLock(Utf8(out), bHeld, strWhy)) {
    if (bHeld) {
      PrintError("another build is writing into the output folder '" + options.strOut +
                 "'; try again once it has finished");
      return 1;
    }
    PrintWarning("cannot lock the output folder '" + options.strOut + "' (" + strWhy +
                 "): make sure no other build writes into it at the same time");
  }
  std::vector<std::string> arrPrevious;
  if (!bNewOut) {
    const bool bEmpty = fs::is_empty(out, ec);
    if (!bEmpty && !fs::exists(out / kManifestName, ec)) {
      // A first build that was killed leaves its files at the top.
      const std::vector<std::string> arrLeftovers = FindLeftovers(out, false);
      PrintError("the output folder '" + options.strOut + "' is not empty and holds no " + kManifestName +
                 "; give a new or empty folder, or the folder of an earlier build" +
                 (arrLeftovers.empty() ? ""
                                       : " (it holds files of a build that was killed, such as '" +
                                             arrLeftovers.front() + "': remove them)"));
      return 1;
    }
    arrPrevious = ReadPreviousItems(out / kManifestName);
    const std::vector<std::string> arrLeftovers = FindLeftovers(out, true);
    // Not ours to remove by their look alone (a release may send such a
    // name), but they must not be uploaded.
    for (const std::string& strLeftover : arrLeftovers) {
      if (std::find(arrPrevious.begin(), arrPrevious.end(), strLeftover) != arrPrevious.end()) continue;
      PrintWarning("'" + strLeftover +
                   "' was left by a build that was killed and is no part of the update: remove it");
    }
  }

  // The files, and every reason they cannot be sent.
  std::vector<std::string> arrProblems;
  std::set<std::string> setFolders;
  std::vector<SourceFile> arrFiles = CollectSourceFiles(src, arrProblems, setFolders);
  for (const SourceFile& file : arrFiles) {
    if (std::string strWhy = NameProblem(file.strName); !strWhy.empty()) {
      arrProblems.push_back(ShowName(file.strName) + " cannot be an update item: " + strWhy);
    } else if (file.nSize > kMaxItemSize) {
      arrProblems.push_back(ShowName(file.strName) + " has " + std::to_string(file.nSize) +
                            " bytes, more than an update item can hold (" + std::to_string(kMaxItemSize) +
                            ")");
    }
  }

  // Windows, where the release is installed, does not tell case apart: two
  // such files would be installed as one.
  // A folder and a file so named cannot be made side by side there either.
  std::map<std::string, std::string> mapByFoldedName;
  auto checkCase = [&](const std::string& strName) {
    if (const auto [it, bNew] = mapByFoldedName.emplace(FoldNameCase(strName), strName); !bNew) {
      arrProblems.push_back(ShowName(it->second) + " and " + ShowName(strName) +
                            " would be one file on Windows, which does not tell case apart");
    }
  };
  for (const std::string& strFolder : setFolders) checkCase(strFolder);
  for (const SourceFile& file : arrFiles) checkCase(file.strName);

  MinisignSecretKey signKey;
  if (!options.strSignKey.empty()) {
    if (std::string strWhy; !LoadSigningKey(options.strSignKey, signKey, strWhy))
      arrProblems.push_back(strWhy);
    const fs::path key = fs::weakly_canonical(fs::absolute(PathFromUtf8(options.strSignKey), ec), ec);
    if (!ec && IsSameOrInsideOnDisk(key, src)) {
      arrProblems.push_back("the secret key " + ShowName(options.strSignKey) +
                            " lies in the release folder, so it would be sent to every installation; "
                            "keep it elsewhere");
    } else if (!ec && IsSameOrInsideOnDisk(key, out)) {
      arrProblems.push_back("the secret key " + ShowName(options.strSignKey) +
                            " lies in the output folder, which is published; keep it elsewhere");
    }
    // A copy of the key anywhere in the release would be sent all the same,
    // as would a link to it: both are read through links.
    const auto readThroughLinks = [](const fs::path& path, std::string& strData) {
      std::error_code ecReal;
      const fs::path real = fs::canonical(path, ecReal);
      return !ecReal &&
             ReadRegularFile(Utf8(real), [&](const char* p, std::size_t n) { strData.append(p, n); });
    };
    std::string strKey;
    if (readThroughLinks(PathFromUtf8(options.strSignKey), strKey) && !strKey.empty()) {
      for (const SourceFile& file : arrFiles) {
        std::string strData;
        if (file.nSize == strKey.size() && readThroughLinks(file.path, strData) && strData == strKey) {
          arrProblems.push_back(ShowName(file.strName) +
                                " is a copy of the secret key, so it would be sent to every installation");
        }
      }
    }
    for (const SourceFile& file : arrFiles) {
      if (IsSignatureFileName(file.strName)) {
        arrProblems.push_back(ShowName(file.strName) + " cannot be an update item of a signed build: " +
                              "the signature files take its place");
      }
    }
  }

  // The version the update offers.
  std::string strVersion = options.strVersion;
  std::string strExeVersion;
  {
    CFileVersionInfo info;
    if (info.Load(Utf8(src / kProductExe))) strExeVersion = info.GetProductVersion();
  }
  if (!options.bHaveVersion) {
    strVersion = strExeVersion;
    if (strVersion.empty()) {
      arrProblems.push_back(std::string("cannot tell the version of the release: ") +
                            (fs::exists(src / kProductExe, ec)
                                 ? "its " + std::string(kProductExe) + " has no ProductVersion"
                                 : "it has no " + std::string(kProductExe)) +
                            "; give the version with --version V");
    }
  }
  if (!strVersion.empty()) {
    if (std::string strWhy = VersionReadBackProblem(strVersion); !strWhy.empty()) {
      arrProblems.push_back("the version " + ShowName(strVersion) +
                            " cannot be written in the manifest: " + strWhy);
    } else if (strWhy = VersionProblem(strVersion); !strWhy.empty()) {
      arrProblems.push_back(
          "the version " + ShowName(strVersion) +
          (options.bHaveVersion ? " given with --version" : " of the release's " + std::string(kProductExe)) +
          " is not a version the updater reads as written: " + strWhy);
    }
  }
  const std::set<std::string> setPrevious(arrPrevious.begin(), arrPrevious.end());
  const std::vector<fs::path> arrInTheWay = FindWhatIsInTheWay(out, arrFiles, setPrevious, arrProblems);
  if (arrProblems.empty()) {
    const auto [nBound, nFit] = ManifestSizeBound(strVersion, options.bReboot, arrFiles);
    if (nBound > kMaxManifestBytes) {
      arrProblems.push_back("the manifest of " + std::to_string(arrFiles.size()) +
                            " files could take up to " + std::to_string(nBound) +
                            " bytes, but the updater refuses manifests larger than 1 MiB (1048576 bytes); "
                            "at most " +
                            std::to_string(nFit) + " of these files fit: send the rest in a later update");
    }
  }

  if (!arrProblems.empty()) {
    for (const std::string& strProblem : arrProblems) PrintError(strProblem);
    PrintError("nothing was written to '" + options.strOut + "'");
    return 1;
  }

  // Warnings: things that work, but are probably not what the publisher meant.
  for (const SourceFile& file : arrFiles) {
    if (FoldNameCase(file.strName) != "QVNUPDATE.EXE") continue;
    PrintWarning(
        "the release holds qvnupdate.exe, the updater itself: Windows keeps the file of a running "
        "program, so an update run by it cannot replace it and fails (every file put back)");
  }
  for (const std::string& strSwap : FindFileFolderSwaps(arrPrevious, arrFiles)) {
    PrintWarning(strSwap +
                 " in this release: the updater does not put a folder in place of a file or a "
                 "file in place of a folder, so installations of the earlier build cannot take this update");
  }
  CVersionArray offered;
  offered.FromString(strVersion);
  // What an installation without a readable version has: the single number 0.
  CVersionArray zero;
  zero.FromString("");
  if (offered.Compare(zero) <= 0) {
    PrintWarning("the version '" + strVersion +
                 "' reads as 0, so no installation will ever take this update");
  }
  if (!fs::exists(src / kProductExe, ec)) {
    PrintWarning(
        std::string("the release has no ") + kProductExe +
        ": installations keep the version they have, and will take this update again every time they "
        "look");
  } else if (!strExeVersion.empty() && strExeVersion != strVersion) {
    CVersionArray exe;
    exe.FromString(strExeVersion);
    if (offered.Compare(exe) > 0) {
      PrintWarning("the update offers " + strVersion + " but its " + kProductExe + " says " + strExeVersion +
                   ": installations will take this update again every time they look");
    }
  }
  if (arrFiles.empty()) PrintWarning("the release folder holds no files");
  std::set<std::string> setFileFolders;
  for (const SourceFile& file : arrFiles) {
    for (fs::path p = PathFromUtf8(file.strName).parent_path(); !p.empty(); p = p.parent_path()) {
      setFileFolders.insert(Utf8(p.generic_u8string()));
    }
  }
  for (const std::string& strFolder : setFolders) {
    if (setFileFolders.count(strFolder) == 0) {
      PrintWarning("the empty folder '" + strFolder +
                   "' is not sent: the updater makes only the folders of files");
    }
  }

  // Which files are sent as they are without trying to compress them.
  std::set<std::string> setTaken(setFolders);
  for (const SourceFile& file : arrFiles) setTaken.insert(file.strName);
  std::vector<bool> arrPatternUsed(options.arrStorePatterns.size(), false);
  for (SourceFile& file : arrFiles) {
    for (size_t i = 0; i < options.arrStorePatterns.size(); ++i) {
      if (MatchesStorePattern(options.arrStorePatterns[i], file.strName)) {
        arrPatternUsed[i] = true;
        if (file.strStoreReason.empty()) file.strStoreReason = "--store " + options.arrStorePatterns[i];
      }
    }
    if (!file.strStoreReason.empty()) continue;
    if (file.nSize == 0) {
      file.strStoreReason = "empty";
    } else if (file.nSize < kMinCompressibleSize) {
      file.strStoreReason = "too small to compress";
    } else if (file.nSize > kMaxCompressibleSize) {
      file.strStoreReason = "too large for the compressed format";
    } else if (setTaken.count(file.strName + kCompressedSuffix) != 0) {
      file.strStoreReason = "the release also holds " + file.strName + kCompressedSuffix;
    } else if (PathParts(file.strName).back().size() + std::strlen(kCompressedSuffix) > kMaxNameBytes) {
      file.strStoreReason = "its name with " + std::string(kCompressedSuffix) + " would be too long";
    }
  }
  for (size_t i = 0; i < arrPatternUsed.size(); ++i) {
    if (!arrPatternUsed[i]) PrintWarning("--store '" + options.arrStorePatterns[i] + "' matches no file");
  }

  // From here on OUT is written: first every payload under a temporary name,
  // removed again if the build goes no further.
  std::uint64_t nBytesIn = 0;
  std::uint64_t nBytesSent = 0;
  bool bSwapping = false;
  // After a failure, with the temporary files gone (a folder made for OUT
  // goes on the way out): the words that say what became of OUT.
  const auto afterFailure = [&] {
    if (bSwapping) return "; it may now hold files of both releases: build it again";
    return "; nothing in it was changed";
  };
  try {
    fs::create_directories(out);
    std::vector<char> buffer(kChunk);
    std::vector<std::unique_ptr<CTempFile>> arrStaged;
    arrStaged.reserve(arrFiles.size());
    for (SourceFile& file : arrFiles) {
      try {
        arrStaged.push_back(SendFile(out, file, buffer, !options.strSignKey.empty()));
      } catch (const CException& e) {
        throw BuildError(ShowName(file.strName) + ": " + e.GetErrorMessage());
      }
      nBytesIn += file.nSize;
      nBytesSent += file.nSentSize;
      if (file.bCompressed) {
        std::printf("  compressed %s -> %s (%llu -> %llu bytes, %s)\n", file.strName.c_str(),
                    file.strSentName.c_str(), static_cast<unsigned long long>(file.nSize),
                    static_cast<unsigned long long>(file.nSentSize),
                    Percent(file.nSentSize, file.nSize).c_str());
      } else {
        std::printf("  stored     %s (%llu bytes; %s)\n", file.strSentName.c_str(),
                    static_cast<unsigned long long>(file.nSentSize), file.strStoreReason.c_str());
      }
    }
    const std::string strManifest = BuildManifest(strVersion, options.bReboot, arrFiles);
    CheckManifest(strManifest, strVersion, options.bReboot, arrFiles);

    // The swap: what of the earlier build is in the way goes, the payloads
    // take their places, then the manifest.
    bSwapping = true;
    for (const fs::path& path : arrInTheWay) {
      const fs::file_status status = LinkStatus(path, ec);
      if (fs::is_directory(status) || fs::is_regular_file(status)) fs::remove(path);
    }
    for (size_t i = 0; i < arrFiles.size(); ++i) {
      const fs::path target = out / PathFromUtf8(arrFiles[i].strSentName);
      fs::create_directories(target.parent_path());
      arrStaged[i]->RenameTo(target);
    }
    WriteTextFile(out / kManifestName, strManifest);
    std::vector<std::pair<std::string, std::string>> arrInstalled;
    std::vector<std::string> arrSent;
    for (const SourceFile& file : arrFiles) {
      arrInstalled.emplace_back(file.strName, file.strInstalledSha256);
      arrSent.push_back(file.strSentName);
    }
    if (!options.strSignKey.empty()) {
      WriteSignatureFiles(out, arrInstalled, arrSent, signKey, options.nExpiresDays);
    } else {
      RemoveStaleSignature(out, arrSent);
    }
  } catch (const CStopped&) {
    PrintError("building '" + options.strOut + "' was stopped" + afterFailure());
    return kStoppedStatus;
  } catch (const CException& e) {
    PrintError("building '" + options.strOut + "' failed: " + e.GetErrorMessage() + afterFailure());
    return 1;
  } catch (const BuildError& e) {
    PrintError("building '" + options.strOut + "' failed: " + e.what() + afterFailure());
    return 1;
  } catch (const fs::filesystem_error& e) {
    PrintError("building '" + options.strOut + "' failed: " + e.code().message() + " (" + Utf8(e.path1()) +
               ")" + afterFailure());
    return 1;
  } catch (const std::runtime_error& e) {
    PrintError("signing '" + options.strOut + "' failed: " + e.what());
    return 1;
  }

  // Payloads of the earlier build that the new manifest no longer lists (the
  // signature files just written are none of them, whatever it listed).
  std::set<std::string> setSent;
  for (const SourceFile& file : arrFiles) setSent.insert(file.strSentName);
  for (const std::string& strOld : arrPrevious) {
    if (setSent.count(strOld) != 0 || strOld == kManifestName || !IsSafeItemName(strOld, nullptr) ||
        (!options.strSignKey.empty() && IsSignatureFileName(strOld)) || HasLinkOnTheWay(out, strOld)) {
      continue;
    }
    const fs::path old = out / PathFromUtf8(strOld);
    if (!fs::is_regular_file(LinkStatus(old, ec)) || !fs::remove(old, ec)) continue;
    for (fs::path dir = old.parent_path(); dir != out && IsSameOrInside(dir, out); dir = dir.parent_path()) {
      if (!fs::is_empty(dir, ec) || !fs::remove(dir, ec)) break;
    }
  }

  const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
  std::printf("Built %s: version %s, %zu files, %llu bytes in, %llu bytes sent (%s), %.2f s\n",
              options.strOut.c_str(), strVersion.c_str(), arrFiles.size(),
              static_cast<unsigned long long>(nBytesIn), static_cast<unsigned long long>(nBytesSent),
              Percent(nBytesSent, nBytesIn).c_str(), dSeconds);
  return 0;
}

}  // namespace

int CmdBuild(const Args& args) {
  BuildOptions options;
  if (const int nStatus = ParseBuildArgs(args, options); nStatus != 0) return nStatus;
  try {
    return Build(options);
  } catch (const BuildError& e) {
    PrintError(e.what());
    return 1;
  } catch (const CException& e) {
    PrintError(e.GetErrorMessage());
    return 1;
  } catch (const fs::filesystem_error& e) {
    PrintError(e.code().message() + " (" + Utf8(e.path1()) + ")");
    return 1;
  }
}
