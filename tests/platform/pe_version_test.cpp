// The PE version reader on real images made by windres and ld (tests/data/pe,
// rebuilt by make-fixtures.sh there), and on those images damaged in every
// way a truncated download or a hostile file could damage them.
#include "platform/pe_version.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/pe_fixtures.h"
#include "support/temp_dir.h"

namespace {

using qvntest::kPeDir;
using qvntest::ReadImage;
using qvntest::WriteImage;

WORD Word(const std::vector<BYTE>& b, std::size_t at) {
  return static_cast<WORD>(b[at] | (b[at + 1] << 8));
}
DWORD Dword(const std::vector<BYTE>& b, std::size_t at) {
  return static_cast<DWORD>(Word(b, at)) | (static_cast<DWORD>(Word(b, at + 2)) << 16);
}
void PutWord(std::vector<BYTE>& b, std::size_t at, WORD v) {
  b[at] = static_cast<BYTE>(v);
  b[at + 1] = static_cast<BYTE>(v >> 8);
}
void PutDword(std::vector<BYTE>& b, std::size_t at, DWORD v) {
  PutWord(b, at, static_cast<WORD>(v));
  PutWord(b, at + 2, static_cast<WORD>(v >> 16));
}

// Where things are in a fixture image, found by section name and by the
// plain layout windres writes, so that tests can damage them on purpose.
struct Layout {
  std::size_t nPeOffset;
  std::size_t nSectionCountAt;
  std::size_t nRsrcRaw;      // file offset of the resource directory root
  std::size_t nTypeEntryAt;  // the type-16 entry of the root directory
  std::size_t nNameDirAt;    // the name directory of type 16
  std::size_t nLangDirAt;    // the language directory under its first name
  std::size_t nDataEntryAt;  // the data entry under the first language
  std::size_t nBlockAt;      // the version block in the file
};

Layout FindLayout(const std::vector<BYTE>& image) {
  Layout l{};
  l.nPeOffset = Dword(image, 0x3c);
  l.nSectionCountAt = l.nPeOffset + 6;
  const std::size_t nSections = Word(image, l.nSectionCountAt);
  const std::size_t nTable = l.nPeOffset + 24 + Word(image, l.nPeOffset + 20);
  for (std::size_t i = 0; i < nSections; ++i) {
    const std::size_t at = nTable + 40 * i;
    if (std::memcmp(&image[at], ".rsrc", 6) == 0) l.nRsrcRaw = Dword(image, at + 20);
  }
  const std::size_t r = l.nRsrcRaw;
  const std::size_t nIds = Word(image, r + 14);
  const std::size_t nNamed = Word(image, r + 12);
  for (std::size_t i = nNamed; i < nNamed + nIds; ++i) {
    if (Dword(image, r + 16 + 8 * i) == 16) l.nTypeEntryAt = r + 16 + 8 * i;
  }
  l.nNameDirAt = r + (Dword(image, l.nTypeEntryAt + 4) & 0x7fffffff);
  l.nLangDirAt = r + (Dword(image, l.nNameDirAt + 16 + 4) & 0x7fffffff);
  l.nDataEntryAt = r + Dword(image, l.nLangDirAt + 16 + 4);
  static const char key[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0";
  const auto it = std::search(image.begin(), image.end(), key, key + sizeof key - 1);
  l.nBlockAt = static_cast<std::size_t>(it - image.begin()) - 6;
  return l;
}

std::string Query(const std::vector<BYTE>& block, const std::string& strPath) {
  std::string strValue;
  if (!VerQueryString(block.data(), block.size(), strPath, strValue)) return "<missing>";
  return strValue;
}

const char kProductVersion[] = "\\StringFileInfo\\040904b0\\ProductVersion";

// Reading the block: which fixtures have one, and why the others have none.
TEST(PeVersionRead, StatusOfEachFixture) {
  struct Case {
    const char* name;
    PeVersionStatus status;
  };
  const Case cases[] = {
      {"plain", PeVersionStatus::kPeOk},
      {"commas", PeVersionStatus::kPeOk},
      {"two_translations", PeVersionStatus::kPeOk},
      {"german", PeVersionStatus::kPeOk},
      {"no_translation", PeVersionStatus::kPeOk},  // a block, but without a translation table
      {"no_product_version", PeVersionStatus::kPeOk},
      {"upper_key", PeVersionStatus::kPeOk},
      {"trailing_blanks", PeVersionStatus::kPeOk},
      {"named_resource", PeVersionStatus::kPeOk},
      {"no_version", PeVersionStatus::kPeNoVersionResource},
      {"truncated", PeVersionStatus::kPeMalformed},
  };
  for (const char* bits : qvntest::kPeBits) {
    for (const Case& c : cases) {
      const std::string strFile = kPeDir + c.name + "-" + bits + ".exe";
      std::vector<BYTE> block;
      EXPECT_EQ(ReadPeVersionBlock(strFile, block), c.status) << strFile;
      EXPECT_EQ(block.empty(), c.status != PeVersionStatus::kPeOk) << strFile;
#ifdef _WIN32
      // The system's version API keeps room of its own behind the block.
      EXPECT_EQ(GetFileVersionInfoSize(strFile) == 0, block.empty()) << strFile;
      EXPECT_GE(GetFileVersionInfoSize(strFile), block.size()) << strFile;
#else
      EXPECT_EQ(GetFileVersionInfoSize(strFile), block.size()) << strFile;
#endif
    }
  }
}

// Files that are no PE image, or no file at all.
TEST(PeVersionRead, NotAnImage) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  WriteImage(dir / "empty.exe", {});
  WriteImage(dir / "mz.exe", {'M', 'Z'});
  std::vector<BYTE> block{1, 2, 3};
  EXPECT_EQ(ReadPeVersionBlock(kPeDir + "not-pe.txt", block), PeVersionStatus::kPeNotPe);
  EXPECT_TRUE(block.empty());
  EXPECT_EQ(ReadPeVersionBlock(dir / "empty.exe", block), PeVersionStatus::kPeNotPe);
  EXPECT_EQ(ReadPeVersionBlock(dir / "mz.exe", block), PeVersionStatus::kPeNotPe);
  EXPECT_EQ(ReadPeVersionBlock(dir / "missing.exe", block), PeVersionStatus::kPeCannotOpen);
  EXPECT_EQ(ReadPeVersionBlock(dir.Path().string(), block), PeVersionStatus::kPeCannotOpen);
  EXPECT_EQ(ReadPeVersionBlock("", block), PeVersionStatus::kPeCannotOpen);
  EXPECT_EQ(GetFileVersionInfoSize(kPeDir + "not-pe.txt"), 0u);
  EXPECT_STRNE(DescribePeVersionStatus(PeVersionStatus::kPeNotPe), "");
}

// GetFileVersionInfo copies the block into a buffer at least that large.
TEST(PeVersionRead, CopiesTheBlock) {
  for (const char* bits : qvntest::kPeBits) {
    const std::string strFile = kPeDir + "plain-" + bits + ".exe";
    const DWORD dwSize = GetFileVersionInfoSize(strFile);
    ASSERT_GT(dwSize, 0u);
    std::vector<BYTE> buffer(dwSize + 8, 0xAA);
    EXPECT_TRUE(GetFileVersionInfo(strFile, dwSize + 8, buffer.data()));
    std::vector<BYTE> block;
    ASSERT_EQ(ReadPeVersionBlock(strFile, block), PeVersionStatus::kPeOk);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), buffer.begin()));
    EXPECT_FALSE(GetFileVersionInfo(strFile, dwSize - 1, buffer.data()));
    EXPECT_FALSE(GetFileVersionInfo(strFile, dwSize, nullptr));
    EXPECT_FALSE(GetFileVersionInfo(kPeDir + "no_version-" + bits + ".exe", dwSize, buffer.data()));
  }
}

// Paths lead through the node tree; the root "\" holds the fixed numeric part.
TEST(PeVersionQuery, PathsThroughTheTree) {
  for (const char* bits : qvntest::kPeBits) {
    std::vector<BYTE> block;
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "plain-" + bits + ".exe", block), PeVersionStatus::kPeOk);

    VersionValue value;
    ASSERT_TRUE(VerQueryValue(block.data(), block.size(), "\\", value));
    ASSERT_EQ(value.nBytes, 52u);  // the fixed file information
    EXPECT_FALSE(value.bText);
    const std::vector<BYTE> fixed(value.pData, value.pData + value.nBytes);
    EXPECT_EQ(Dword(fixed, 0), 0xFEEF04BDu);
    EXPECT_EQ(Dword(fixed, 16), 0x00010000u);  // product version 1.0
    EXPECT_EQ(Dword(fixed, 20), 0x00000002u);  //                 .0.2

    ASSERT_TRUE(VerQueryValue(block.data(), block.size(), "\\VarFileInfo\\Translation", value));
    EXPECT_FALSE(value.bText);
    EXPECT_EQ(std::vector<BYTE>(value.pData, value.pData + value.nBytes),
              (std::vector<BYTE>{0x09, 0x04, 0xb0, 0x04}));

    ASSERT_TRUE(VerQueryValue(block.data(), block.size(), kProductVersion, value));
    EXPECT_TRUE(value.bText);
    EXPECT_EQ(value.nBytes, 16u);  // "1.0.0.2" and its NUL in UTF-16

    EXPECT_EQ(Query(block, kProductVersion), "1.0.0.2");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\FileVersion"), "9.9.9.9");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\CompanyName"), "Quorvane Test Fixtures");
    EXPECT_EQ(Query(block, "StringFileInfo\\040904b0\\ProductVersion"), "1.0.0.2");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\ProductVersion\\"), "1.0.0.2");

    // Paths that do not exist.
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\Nothing"), "<missing>");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040704e4\\ProductVersion"), "<missing>");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\ProductVersion\\More"), "<missing>");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b\\ProductVersion"), "<missing>");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\ProductVersionX"), "<missing>");
    EXPECT_EQ(Query(block, "\\VarFileInfo\\Translation\\040904b0"), "<missing>");
  }
}

// Keys match without regard to ASCII case, in the path and in the file.
TEST(PeVersionQuery, KeysIgnoreCase) {
  for (const char* bits : qvntest::kPeBits) {
    std::vector<BYTE> block;
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "upper_key-" + bits + ".exe", block), PeVersionStatus::kPeOk);
    EXPECT_EQ(Query(block, kProductVersion), "1.0.0.3");
    EXPECT_EQ(Query(block, "\\STRINGFILEINFO\\040904B0\\PRODUCTVERSION"), "1.0.0.3");
    EXPECT_EQ(Query(block, "\\stringfileinfo\\040904b0\\productversion"), "1.0.0.3");
  }
}

// Values come back exactly as stored: blanks kept, non-ASCII text as UTF-8,
// whatever the resource's language or name.
TEST(PeVersionQuery, TextAsStored) {
  for (const char* bits : qvntest::kPeBits) {
    const std::string b = bits;
    std::vector<BYTE> block;
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "trailing_blanks-" + b + ".exe", block), PeVersionStatus::kPeOk);
    EXPECT_EQ(Query(block, kProductVersion), "1.0.0.2  ");
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "commas-" + b + ".exe", block), PeVersionStatus::kPeOk);
    EXPECT_EQ(Query(block, kProductVersion), "1,0,0,2");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040904b0\\FileVersion"), "1, 0, 0, 2");
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "german-" + b + ".exe", block), PeVersionStatus::kPeOk);
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040704e4\\ProductVersion"), "3.1.4.1");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\040704e4\\CompanyName"), "M\xC3\xBCller & S\xC3\xB6hne");
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "named_resource-" + b + ".exe", block), PeVersionStatus::kPeOk);
    EXPECT_EQ(Query(block, kProductVersion), "4.0");
  }
}

// Text values stop at their first NUL and are decoded from UTF-16, pairs included.
TEST(PeVersionQuery, TextDecoding) {
  std::vector<BYTE> block;
  ASSERT_EQ(ReadPeVersionBlock(kPeDir + "plain-32.exe", block), PeVersionStatus::kPeOk);
  VersionValue value;
  ASSERT_TRUE(VerQueryValue(block.data(), block.size(), kProductVersion, value));
  const std::size_t at = static_cast<std::size_t>(value.pData - block.data());
  // "1.0.0.2" -> "1", U+20AC, U+1F600 (a surrogate pair), NUL, "0.2"
  PutWord(block, at + 2, 0x20AC);
  PutWord(block, at + 4, 0xD83D);
  PutWord(block, at + 6, 0xDE00);
  PutWord(block, at + 8, 0);
  EXPECT_EQ(Query(block, kProductVersion), "1\xE2\x82\xAC\xF0\x9F\x98\x80");
  // An unpaired surrogate becomes U+FFFD rather than broken UTF-8.
  PutWord(block, at + 6, 0x0041);
  EXPECT_EQ(Query(block, kProductVersion),
            "1\xE2\x82\xAC\xEF\xBF\xBD"
            "A");
}

// A file cut at any length yields either nothing or the whole, true block:
// the block is there exactly when the cut falls after its end.
TEST(PeVersionMalformed, CutAtEveryLength) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  for (const char* bits : qvntest::kPeBits) {
    const std::vector<BYTE> image = ReadImage(kPeDir + "plain-" + bits + ".exe");
    std::vector<BYTE> whole;
    ASSERT_EQ(ReadPeVersionBlock(kPeDir + "plain-" + bits + ".exe", whole), PeVersionStatus::kPeOk);
    const std::size_t nBlockEnd = FindLayout(image).nBlockAt + whole.size();
    const std::string strFile = dir / "cut.exe";
    WriteImage(strFile, image);
    for (std::size_t n = image.size() + 1; n-- > 0;) {
      std::filesystem::resize_file(strFile, n);
      std::vector<BYTE> block;
      const PeVersionStatus status = ReadPeVersionBlock(strFile, block);
      if (n >= nBlockEnd) {
        ASSERT_EQ(status, PeVersionStatus::kPeOk) << bits << "-bit image cut at " << n;
        ASSERT_EQ(block, whole) << bits << "-bit image cut at " << n;
      } else {
        ASSERT_NE(status, PeVersionStatus::kPeOk) << bits << "-bit image cut at " << n;
        ASSERT_TRUE(block.empty());
      }
    }
  }
}

// Whatever a damaged byte does to the headers, the resource directory or the
// block, the reader ends, stays inside the data (the sanitizer build checks
// that), and a block it returns can be queried safely.
#ifndef _WIN32  // damages bytes in place with pwrite; the reader is the same everywhere
TEST(PeVersionMalformed, EveryByteDamaged) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string strFile = dir / "damaged.exe";
  for (const char* bits : qvntest::kPeBits) {
    const std::vector<BYTE> image = ReadImage(kPeDir + "trailing_blanks-" + bits + ".exe");
    const Layout layout = FindLayout(image);
    const std::size_t nEnd = layout.nBlockAt + 0x40;  // through the block's first nodes
    std::size_t nReadable = 0;
    WriteImage(strFile, image);
    const int fd = ::open(strFile.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (std::size_t at = 0; at < nEnd; ++at) {
      const BYTE original = image[at];
      for (const BYTE damaged :
           {BYTE{0x00}, BYTE{0xFF}, BYTE(original ^ 0x01), BYTE(original ^ 0x80), original}) {
        // One byte at a time, in place; the last round puts the original back.
        ASSERT_EQ(::pwrite(fd, &damaged, 1, static_cast<off_t>(at)), 1);
        if (damaged == original) continue;
        std::vector<BYTE> block;
        if (ReadPeVersionBlock(strFile, block) != PeVersionStatus::kPeOk) {
          ASSERT_TRUE(block.empty());
          continue;
        }
        ++nReadable;
        ASSERT_GE(block.size(), 6u);
        ASSERT_LE(block.size(), kMaxVersionBlockSize);
        block.shrink_to_fit();  // so that a read past the end is caught
        std::string strValue;
        VerQueryString(block.data(), block.size(), kProductVersion, strValue);
        VerQueryString(block.data(), block.size(), "\\VarFileInfo\\Translation", strValue);
        VerQueryString(block.data(), block.size(), "\\", strValue);
      }
    }
    ::close(fd);
    // Most bytes of an image (padding, time stamps, unused fields) do not matter.
    EXPECT_GT(nReadable, nEnd);
  }
}
#endif

// Damage placed where it hurts most: loops, huge counts and far offsets.
TEST(PeVersionMalformed, HostileHeadersAndDirectories) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string strFile = dir / "hostile.exe";
  for (const char* bits : qvntest::kPeBits) {
    const std::vector<BYTE> image = ReadImage(kPeDir + "trailing_blanks-" + bits + ".exe");
    const Layout l = FindLayout(image);
    const std::size_t r = l.nRsrcRaw;
    struct Case {
      const char* what;
      std::function<void(std::vector<BYTE>&)> damage;
      PeVersionStatus status;
    };
    const Case cases[] = {
        {"PE header offset past the end", [&](auto& b) { PutDword(b, 0x3c, 0xFFFFFFF0); },
         PeVersionStatus::kPeNotPe},
        {"PE header offset at the DOS header", [&](auto& b) { PutDword(b, 0x3c, 0); },
         PeVersionStatus::kPeNotPe},
        {"unknown optional header", [&](auto& b) { PutWord(b, l.nPeOffset + 24, 0x107); },
         PeVersionStatus::kPeNotPe},
        {"65535 sections", [&](auto& b) { PutWord(b, l.nSectionCountAt, 0xFFFF); },
         PeVersionStatus::kPeMalformed},
        {"no sections", [&](auto& b) { PutWord(b, l.nSectionCountAt, 0); }, PeVersionStatus::kPeMalformed},
        {"optional header size beyond the file", [&](auto& b) { PutWord(b, l.nPeOffset + 20, 0xFFFF); },
         PeVersionStatus::kPeMalformed},
        {"name directory pointing back at the root",
         [&](auto& b) { PutDword(b, l.nTypeEntryAt + 4, 0x80000000); }, PeVersionStatus::kPeMalformed},
        {"language directory pointing at itself",
         [&](auto& b) { PutDword(b, l.nLangDirAt + 16 + 4, 0x80000000 | DWORD(l.nLangDirAt - r)); },
         PeVersionStatus::kPeMalformed},
        {"language entry pointing at the name directory",
         [&](auto& b) { PutDword(b, l.nLangDirAt + 16 + 4, 0x80000000 | DWORD(l.nNameDirAt - r)); },
         PeVersionStatus::kPeMalformed},
        {"type entry with a data entry instead of a directory",
         [&](auto& b) { PutDword(b, l.nTypeEntryAt + 4, DWORD(l.nDataEntryAt - r)); },
         PeVersionStatus::kPeMalformed},
        {"subdirectory offset far away", [&](auto& b) { PutDword(b, l.nTypeEntryAt + 4, 0xFFFFFFFF); },
         PeVersionStatus::kPeMalformed},
        {"65535 type entries", [&](auto& b) { PutWord(b, r + 14, 0xFFFF); }, PeVersionStatus::kPeMalformed},
        {"no type entries", [&](auto& b) { PutWord(b, r + 14, 0); }, PeVersionStatus::kPeNoVersionResource},
        {"type 16 renumbered", [&](auto& b) { PutDword(b, l.nTypeEntryAt, 17); },
         PeVersionStatus::kPeNoVersionResource},
        {"empty name directory", [&](auto& b) { PutWord(b, l.nNameDirAt + 14, 0); },
         PeVersionStatus::kPeNoVersionResource},
        {"data far away", [&](auto& b) { PutDword(b, l.nDataEntryAt, 0xFFFFFF00); },
         PeVersionStatus::kPeMalformed},
        {"data size 0", [&](auto& b) { PutDword(b, l.nDataEntryAt + 4, 0); }, PeVersionStatus::kPeMalformed},
        {"data shorter than the block says",
         [&](auto& b) { PutDword(b, l.nDataEntryAt + 4, Word(b, l.nBlockAt) - 1); },
         PeVersionStatus::kPeMalformed},
        {"block length 0", [&](auto& b) { PutWord(b, l.nBlockAt, 0); }, PeVersionStatus::kPeMalformed},
        {"block key never ends",
         [&](auto& b) {
           const std::size_t n = Word(b, l.nBlockAt);
           for (std::size_t i = 6; i < n; i += 2) PutWord(b, l.nBlockAt + i, 'x');
         },
         PeVersionStatus::kPeMalformed},
        {"data size over 64 KiB (the block's own length decides)",
         [&](auto& b) { PutDword(b, l.nDataEntryAt + 4, 0x7FFFFFFF); }, PeVersionStatus::kPeOk},
    };
    for (const Case& c : cases) {
      std::vector<BYTE> copy = image;
      c.damage(copy);
      WriteImage(strFile, copy);
      std::vector<BYTE> block;
      EXPECT_EQ(ReadPeVersionBlock(strFile, block), c.status) << bits << "-bit image, " << c.what;
      if (c.status == PeVersionStatus::kPeOk) {
        EXPECT_EQ(Query(block, kProductVersion), "1.0.0.2  ") << c.what;
      }
    }
  }
}

// The block's node tree, damaged: queries fail or return clipped values, but
// never read outside the block.
TEST(PeVersionMalformed, HostileBlocks) {
  std::vector<BYTE> good;
  ASSERT_EQ(ReadPeVersionBlock(kPeDir + "plain-64.exe", good), PeVersionStatus::kPeOk);
  VersionValue value;
  ASSERT_TRUE(VerQueryValue(good.data(), good.size(), kProductVersion, value));
  const std::size_t nValueAt = static_cast<std::size_t>(value.pData - good.data());
  const std::size_t nNodeAt = nValueAt - 6 - 2 * sizeof("ProductVersion");  // header, key (no padding)

  EXPECT_FALSE(VerQueryValue(nullptr, 100, "\\", value));
  EXPECT_FALSE(VerQueryValue(good.data(), 5, "\\", value));
  EXPECT_FALSE(VerQueryValue(good.data(), good.size() - 1, "\\", value));  // root longer than the data

  std::vector<BYTE> b = good;
  ASSERT_EQ(Word(b, nNodeAt + 6), 'P');
  PutWord(b, nNodeAt + 2, 0xFFFF);  // value length far beyond the node: clipped to it
  ASSERT_TRUE(VerQueryValue(b.data(), b.size(), kProductVersion, value));
  EXPECT_LE(value.pData + value.nBytes, b.data() + nNodeAt + Word(b, nNodeAt));
  EXPECT_EQ(Query(b, kProductVersion), "1.0.0.2");

  b = good;
  PutWord(b, nNodeAt, 0);  // a zero-length child would stall a naive walk
  EXPECT_EQ(Query(b, kProductVersion), "<missing>");
  ASSERT_TRUE(VerQueryValue(b.data(), b.size(), "\\VarFileInfo\\Translation",
                            value));  // other branches still readable
  EXPECT_EQ(value.nBytes, 4u);

  b = good;
  PutWord(b, nNodeAt, 0xFFF0);  // a child longer than its parent
  EXPECT_EQ(Query(b, kProductVersion), "<missing>");

  // Random damage everywhere in the block, at a fixed seed so failures repeat.
  std::mt19937 rng(20240611);
  for (int round = 0; round < 20000; ++round) {
    std::vector<BYTE> d = good;
    const int nFlips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < nFlips; ++i) d[rng() % d.size()] = static_cast<BYTE>(rng());
    d.resize(rng() % 4 == 0 ? rng() % (d.size() + 1) : d.size());
    d.shrink_to_fit();
    std::string strValue;
    VerQueryString(d.data(), d.size(), kProductVersion, strValue);
    VerQueryString(d.data(), d.size(), "\\VarFileInfo\\Translation", strValue);
  }
}

}  // namespace
