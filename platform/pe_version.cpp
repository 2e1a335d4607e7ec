// The version resource of a PE image, read with nothing but plain file calls.
//
// The file is never trusted: every structure is read through ReadAt, which
// refuses any range outside the file, and every RVA is mapped through the
// section table to a range that lies wholly inside one section's raw data.
// The resource directory is walked exactly three levels deep (type, name,
// language), taking one entry per level, so a directory that points back at
// itself cannot loop.
#include "platform/pe_version.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include "platform/file.h"
#endif

namespace {

constexpr WORD kDosMagic = 0x5A4D;          // "MZ"
constexpr DWORD kPeSignature = 0x00004550;  // "PE\0\0"
constexpr WORD kPe32Magic = 0x10b;
constexpr WORD kPe32PlusMagic = 0x20b;
constexpr DWORD kResourceDirectoryIndex = 2;
constexpr DWORD kRtVersion = 16;
constexpr DWORD kSubdirectoryFlag = 0x80000000u;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kResourceDirectorySize = 16;
constexpr std::size_t kResourceEntrySize = 8;
constexpr std::size_t kResourceDataEntrySize = 16;
constexpr std::size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType

WORD ReadWord(const BYTE* p) {
  return static_cast<WORD>(p[0] | (p[1] << 8));
}

DWORD ReadDword(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}

#ifdef _WIN32
// An open file, read at absolute offsets with bounds checks. CreateFileW
// refuses a folder, and a device or pipe has no length to read within. Others
// may keep the file open in any way (a running program, a virus scanner).
class CPeFile {
 public:
  bool Open(const std::string& strFileName) {
    if (!m_file.Open(strFileName, CFile::modeRead | CFile::shareDenyNone)) return false;
    try {
      m_nSize = m_file.GetLength();
    } catch (const CFileException&) {
      return false;
    }
    return true;
  }

  // Reads exactly nBytes at nOffset; false when any of it lies outside the file.
  bool ReadAt(std::uint64_t nOffset, void* pBuffer, std::size_t nBytes) const {
    if (nOffset > m_nSize || nBytes > m_nSize - nOffset || nBytes > 0xFFFFFFFFu) return false;
    try {
      return m_file.ReadAt(nOffset, pBuffer, static_cast<UINT>(nBytes)) == nBytes;
    } catch (const CFileException&) {
      return false;
    }
  }

 private:
  CFile m_file;
  std::uint64_t m_nSize = 0;
};
#else
// An open regular file, read at absolute offsets with bounds checks.
class CPeFile {
 public:
  ~CPeFile() {
    if (m_fd >= 0) ::close(m_fd);
  }

  bool Open(const std::string& strFileName) {
    // O_NONBLOCK so that a FIFO given by mistake cannot block the open; it is
    // refused just below as not being a regular file.
    m_fd = ::open(strFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) return false;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
    m_nSize = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  // Reads exactly nBytes at nOffset; false when any of it lies outside the file.
  bool ReadAt(std::uint64_t nOffset, void* pBuffer, std::size_t nBytes) const {
    if (nOffset > m_nSize || nBytes > m_nSize - nOffset) return false;
    auto* pOut = static_cast<BYTE*>(pBuffer);
    std::size_t nDone = 0;
    while (nDone < nBytes) {
      const ssize_t n = ::pread(m_fd, pOut + nDone, nBytes - nDone, static_cast<off_t>(nOffset + nDone));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      nDone += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int m_fd = -1;
  std::uint64_t m_nSize = 0;
};
#endif

struct Section {
  DWORD dwVirtualAddress;
  DWORD dwRawSize;
  DWORD dwRawOffset;
};

// The parts of an image the resource lookup needs.
class CPeImage {
 public:
  explicit CPeImage(const CPeFile& file) : m_file(file) {}

  // Reads the headers and the section table. kPeOk, kPeNotPe or kPeMalformed.
  PeVersionStatus ReadHeaders() {
    BYTE dos[64];
    if (!m_file.ReadAt(0, dos, sizeof dos) || ReadWord(dos) != kDosMagic) return PeVersionStatus::kPeNotPe;
    const DWORD dwPeOffset = ReadDword(dos + 0x3c);

    BYTE coff[4 + kCoffHeaderSize];
    if (!m_file.ReadAt(dwPeOffset, coff, sizeof coff) || ReadDword(coff) != kPeSignature)
      return PeVersionStatus::kPeNotPe;
    const WORD wSections = ReadWord(coff + 4 + 2);
    const WORD wOptionalSize = ReadWord(coff + 4 + 16);
    const std::uint64_t nOptionalOffset = std::uint64_t{dwPeOffset} + sizeof coff;

    BYTE magic[2];
    if (wOptionalSize < sizeof magic || !m_file.ReadAt(nOptionalOffset, magic, sizeof magic))
      return PeVersionStatus::kPeNotPe;
    std::size_t nCountOffset = 0;  // of NumberOfRvaAndSizes; the data directories follow it
    switch (ReadWord(magic)) {
      case kPe32Magic:
        nCountOffset = 92;
        break;
      case kPe32PlusMagic:
        nCountOffset = 108;
        break;
      default:
        return PeVersionStatus::kPeNotPe;
    }
    const std::size_t nEntryOffset = nCountOffset + 4 + kResourceDirectoryIndex * 8;
    BYTE count[4];
    BYTE entry[8];
    if (wOptionalSize < nCountOffset + 4 || !m_file.ReadAt(nOptionalOffset + nCountOffset, count, 4))
      return PeVersionStatus::kPeMalformed;
    if (ReadDword(count) <= kResourceDirectoryIndex || wOptionalSize < nEntryOffset + sizeof entry) {
      m_dwResourceRva = 0;  // the directory table ends before the resource entry: no resources
    } else {
      if (!m_file.ReadAt(nOptionalOffset + nEntryOffset, entry, sizeof entry))
        return PeVersionStatus::kPeMalformed;
      m_dwResourceRva = ReadDword(entry);
      if (ReadDword(entry + 4) == 0) m_dwResourceRva = 0;
    }

    std::vector<BYTE> table(std::size_t{wSections} * kSectionHeaderSize);
    if (!m_file.ReadAt(nOptionalOffset + wOptionalSize, table.data(), table.size()))
      return PeVersionStatus::kPeMalformed;
    m_arrSections.reserve(wSections);
    for (std::size_t i = 0; i < wSections; ++i) {
      const BYTE* p = table.data() + i * kSectionHeaderSize;
      m_arrSections.push_back({ReadDword(p + 12), ReadDword(p + 16), ReadDword(p + 20)});
    }
    return PeVersionStatus::kPeOk;
  }

  DWORD GetResourceRva() const { return m_dwResourceRva; }

  // Reads nBytes at an RVA; the whole range must lie in one section's raw data.
  bool ReadRva(std::uint64_t nRva, void* pBuffer, std::size_t nBytes) const {
    for (const Section& section : m_arrSections) {
      if (nRva < section.dwVirtualAddress) continue;
      const std::uint64_t nDelta = nRva - section.dwVirtualAddress;
      if (nDelta >= section.dwRawSize || nBytes > section.dwRawSize - nDelta) continue;
      return m_file.ReadAt(section.dwRawOffset + nDelta, pBuffer, nBytes);
    }
    return false;
  }

  // The first entry of the resource directory at nDirOffset (relative to the
  // resource root) whose id is dwId, or simply its first entry when bAny.
  // On success dwTarget receives the entry's OffsetToData field.
  PeVersionStatus FindEntry(std::uint64_t nDirOffset, bool bAny, DWORD dwId, DWORD& dwTarget) const {
    BYTE header[kResourceDirectorySize];
    if (!ReadRva(std::uint64_t{m_dwResourceRva} + nDirOffset, header, sizeof header))
      return PeVersionStatus::kPeMalformed;
    const std::size_t nNamed = ReadWord(header + 12);
    const std::size_t nIds = ReadWord(header + 14);
    if (nNamed + nIds == 0) return PeVersionStatus::kPeNoVersionResource;
    // Named entries come first; an id is looked for among the id entries only.
    const std::size_t nFirst = bAny ? 0 : nNamed;
    const std::size_t nCount = bAny ? 1 : nIds;
    if (nCount == 0) return PeVersionStatus::kPeNoVersionResource;
    std::vector<BYTE> entries(nCount * kResourceEntrySize);
    const std::uint64_t nEntriesRva =
        std::uint64_t{m_dwResourceRva} + nDirOffset + kResourceDirectorySize + nFirst * kResourceEntrySize;
    if (!ReadRva(nEntriesRva, entries.data(), entries.size())) return PeVersionStatus::kPeMalformed;
    for (std::size_t i = 0; i < nCount; ++i) {
      const BYTE* p = entries.data() + i * kResourceEntrySize;
      if (bAny || ReadDword(p) == dwId) {
        dwTarget = ReadDword(p + 4);
        return PeVersionStatus::kPeOk;
      }
    }
    return PeVersionStatus::kPeNoVersionResource;
  }

 private:
  const CPeFile& m_file;
  DWORD m_dwResourceRva = 0;
  std::vector<Section> m_arrSections;
};

// A node of a version block: [nOffset, nEnd) within the block.
struct Node {
  std::size_t nOffset;
  std::size_t nEnd;
  std::size_t nKeyOffset;    // UTF-16LE, zero-terminated
  std::size_t nKeyChars;     // without the terminator
  std::size_t nValueOffset;  // 32-bit aligned after the key
  std::size_t nValueBytes;   // clipped to the node
  std::size_t nChildren;     // 32-bit aligned after the value; may equal nEnd
  bool bText;
};

constexpr std::size_t Align4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

// Parses the node at nOffset, which must end by nLimit. False when it does not fit.
bool ParseNode(const BYTE* pBlock, std::size_t nOffset, std::size_t nLimit, Node& node) {
  if (nOffset > nLimit || nLimit - nOffset < kNodeHeaderSize) return false;
  const std::size_t nLength = ReadWord(pBlock + nOffset);
  const std::size_t nValueLength = ReadWord(pBlock + nOffset + 2);
  const WORD wType = ReadWord(pBlock + nOffset + 4);
  if (nLength < kNodeHeaderSize || nLength > nLimit - nOffset) return false;
  node.nOffset = nOffset;
  node.nEnd = nOffset + nLength;
  node.nKeyOffset = nOffset + kNodeHeaderSize;
  std::size_t nPos = node.nKeyOffset;
  for (;;) {
    if (node.nEnd - nPos < 2) return false;  // the key runs past the node
    if (ReadWord(pBlock + nPos) == 0) break;
    nPos += 2;
  }
  node.nKeyChars = (nPos - node.nKeyOffset) / 2;
  node.bText = wType == 1;
  node.nValueOffset = std::min(Align4(nPos + 2), node.nEnd);
  const std::size_t nWanted = node.bText ? nValueLength * 2 : nValueLength;
  node.nValueBytes = std::min(nWanted, node.nEnd - node.nValueOffset);
  node.nChildren = std::min(Align4(node.nValueOffset + node.nValueBytes), node.nEnd);
  return true;
}

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Appends the UTF-8 form of nChars UTF-16LE units at p, stopping at a NUL.
// An unpaired surrogate becomes U+FFFD.
void AppendUtf8(const BYTE* p, std::size_t nChars, std::string& out) {
  auto put = [&out](DWORD cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  for (std::size_t i = 0; i < nChars; ++i) {
    const DWORD unit = ReadWord(p + 2 * i);
    if (unit == 0) return;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < nChars) {
      const DWORD low = ReadWord(p + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        put(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    put(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
  }
}

// The key of a node equals strName, ASCII letters compared without case.
// Keys beyond ASCII match only byte for byte after conversion to UTF-8.
bool KeyMatches(const BYTE* pBlock, const Node& node, const std::string& strName) {
  std::string key;
  AppendUtf8(pBlock + node.nKeyOffset, node.nKeyChars, key);
  if (key.size() != strName.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (FoldAscii(key[i]) != FoldAscii(strName[i])) return false;
  }
  return true;
}

// Walks the block along strSubBlock. The result node is in `node`.
bool FindNode(const BYTE* pBlock, std::size_t cbBlock, const std::string& strSubBlock, Node& node) {
  if (pBlock == nullptr || !ParseNode(pBlock, 0, cbBlock, node)) return false;
  std::size_t nStart = 0;
  while (nStart < strSubBlock.size()) {
    std::size_t nStop = strSubBlock.find('\\', nStart);
    if (nStop == std::string::npos) nStop = strSubBlock.size();
    const std::string strName = strSubBlock.substr(nStart, nStop - nStart);
    nStart = nStop + 1;
    if (strName.empty()) continue;  // leading, doubled or trailing backslashes
    bool bFound = false;
    Node child{};
    // Each child is at least kNodeHeaderSize long, so this walk always ends.
    for (std::size_t nPos = node.nChildren; nPos < node.nEnd; nPos = Align4(child.nEnd)) {
      if (!ParseNode(pBlock, nPos, node.nEnd, child)) return false;
      if (KeyMatches(pBlock, child, strName)) {
        bFound = true;
        break;
      }
    }
    if (!bFound) return false;
    node = child;
  }
  return true;
}

}  // namespace

const char* DescribePeVersionStatus(PeVersionStatus status) {
  switch (status) {
    case PeVersionStatus::kPeOk:
      return "has a version resource";
    case PeVersionStatus::kPeCannotOpen:
      return "cannot be opened: it is missing, unreadable or not a regular file";
    case PeVersionStatus::kPeNotPe:
      return "is not a Windows executable (PE image)";
    case PeVersionStatus::kPeNoVersionResource:
      return "has no version resource";
    case PeVersionStatus::kPeMalformed:
      return "is truncated or damaged: its headers or version resource point outside the data";
  }
  return "cannot be read";
}

PeVersionStatus ReadPeVersionBlock(const std::string& strFileName, std::vector<BYTE>& block) {
  block.clear();
  CPeFile file;
  if (!file.Open(strFileName)) return PeVersionStatus::kPeCannotOpen;
  CPeImage image(file);
  PeVersionStatus status = image.ReadHeaders();
  if (status != PeVersionStatus::kPeOk) return status;
  if (image.GetResourceRva() == 0) return PeVersionStatus::kPeNoVersionResource;

  // Type 16, then its first name, then its first language: each a subdirectory
  // but the last, which is a data entry.
  DWORD dwTarget = 0;
  status = image.FindEntry(0, false, kRtVersion, dwTarget);
  if (status != PeVersionStatus::kPeOk) return status;
  if ((dwTarget & kSubdirectoryFlag) == 0) return PeVersionStatus::kPeMalformed;
  status = image.FindEntry(dwTarget & ~kSubdirectoryFlag, true, 0, dwTarget);
  if (status != PeVersionStatus::kPeOk) return status;
  if ((dwTarget & kSubdirectoryFlag) == 0) return PeVersionStatus::kPeMalformed;
  status = image.FindEntry(dwTarget & ~kSubdirectoryFlag, true, 0, dwTarget);
  if (status != PeVersionStatus::kPeOk) return status;
  if ((dwTarget & kSubdirectoryFlag) != 0) return PeVersionStatus::kPeMalformed;

  BYTE data[kResourceDataEntrySize];
  if (!image.ReadRva(std::uint64_t{image.GetResourceRva()} + dwTarget, data, sizeof data))
    return PeVersionStatus::kPeMalformed;
  const DWORD dwDataRva = ReadDword(data);
  const DWORD dwDataSize = ReadDword(data + 4);
  // The root node gives the block's true length; the resource may be padded.
  BYTE root[kNodeHeaderSize];
  if (dwDataSize < sizeof root || !image.ReadRva(dwDataRva, root, sizeof root))
    return PeVersionStatus::kPeMalformed;
  const std::size_t nLength = ReadWord(root);
  if (nLength < sizeof root || nLength > dwDataSize) return PeVersionStatus::kPeMalformed;
  block.resize(nLength);
  if (!image.ReadRva(dwDataRva, block.data(), block.size())) {
    block.clear();
    return PeVersionStatus::kPeMalformed;
  }
  Node node{};
  if (!ParseNode(block.data(), 0, block.size(), node)) {
    block.clear();
    return PeVersionStatus::kPeMalformed;
  }
  return PeVersionStatus::kPeOk;
}

BOOL VerQueryValue(const void* pBlock, std::size_t cbBlock, const std::string& strSubBlock,
                   VersionValue& value) {
  const auto* p = static_cast<const BYTE*>(pBlock);
  Node node{};
  if (!FindNode(p, std::min(cbBlock, kMaxVersionBlockSize), strSubBlock, node)) return FALSE;
  value.pData = p + node.nValueOffset;
  value.nBytes = static_cast<UINT>(node.nValueBytes);
  value.bText = node.bText ? TRUE : FALSE;
  return TRUE;
}

BOOL VerQueryString(const void* pBlock, std::size_t cbBlock, const std::string& strSubBlock,
                    std::string& strValue) {
  strValue.clear();
  VersionValue value;
  if (!VerQueryValue(pBlock, cbBlock, strSubBlock, value)) return FALSE;
  // A binary node is read as UTF-16 too, as some tools mark string values that way.
  AppendUtf8(value.pData, value.nBytes / 2, strValue);
  return TRUE;
}
