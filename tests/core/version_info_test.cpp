// CFileVersionInfo on real images made by windres and ld (tests/data/pe).
#include "core/version_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/pe_fixtures.h"
#include "support/temp_dir.h"

namespace {

using qvntest::kPeDir;
using qvntest::ReadImage;
using qvntest::WriteImage;

// The offset of the Translation node's wValueLength in an image.
std::size_t TranslationValueLengthAt(const std::vector<BYTE>& image) {
  static const char key[] = "T\0r\0a\0n\0s\0l\0a\0t\0i\0o\0n\0\0";
  const auto it = std::search(image.begin(), image.end(), key, key + sizeof key - 1);
  EXPECT_NE(it, image.end());
  return static_cast<std::size_t>(it - image.begin()) - 4;
}

// Load, the first translation and ProductVersion, fixture by fixture.
TEST(FileVersionInfo, Fixtures) {
  struct Case {
    const char* name;
    BOOL loaded;
    DWORD translation;
    const char* productVersion;
  };
  const Case cases[] = {
      {"plain", TRUE, 0x040904b0, "1.0.0.2"},
      {"commas", TRUE, 0x040904b0, "1,0,0,2"},
      {"two_translations", TRUE, 0x040704e4, "2.0.0.0"},  // the first translation wins
      {"german", TRUE, 0x040704e4, "3.1.4.1"},
      {"upper_key", TRUE, 0x040904b0, "1.0.0.3"},  // 040904B0 in the file
      {"trailing_blanks", TRUE, 0x040904b0, "1.0.0.2  "},
      {"named_resource", TRUE, 0x040904b0, "4.0"},
      {"no_product_version", TRUE, 0x040904b0, ""},
      {"no_translation", FALSE, 0, ""},
      {"no_version", FALSE, 0, ""},
      {"truncated", FALSE, 0, ""},
  };
  for (const char* bits : qvntest::kPeBits) {
    for (const Case& c : cases) {
      const std::string strFile = kPeDir + c.name + "-" + bits + ".exe";
      CFileVersionInfo info;
      EXPECT_EQ(info.Load(strFile), c.loaded) << strFile;
      EXPECT_EQ(info.m_dwTranslation, c.translation) << strFile;
      EXPECT_EQ(info.m_pData != nullptr, c.loaded == TRUE) << strFile;
      EXPECT_EQ(info.GetProductVersion(), c.productVersion) << strFile;
    }
  }
}

// Files that cannot be loaded leave nothing loaded.
TEST(FileVersionInfo, NotLoadable) {
  for (const std::string& strFile : {kPeDir + "not-pe.txt", kPeDir + "missing.exe", kPeDir, std::string()}) {
    CFileVersionInfo info;
    EXPECT_FALSE(info.Load(strFile)) << strFile;
    EXPECT_EQ(info.m_pData, nullptr);
    EXPECT_EQ(info.m_dwTranslation, 0u);
    EXPECT_EQ(info.GetProductVersion(), "");
    EXPECT_EQ(info.GetValue("ProductVersion", 0x040904b0), "");
  }
}

// Other values and other translations can be asked for by name.
TEST(FileVersionInfo, GetValueByNameAndTranslation) {
  for (const char* bits : qvntest::kPeBits) {
    const std::string b = bits;
    CFileVersionInfo two;
    ASSERT_TRUE(two.Load(kPeDir + "two_translations-" + b + ".exe"));
    EXPECT_EQ(two.GetValue("ProductVersion"), "2.0.0.0");
    EXPECT_EQ(two.GetValue("ProductVersion", 0x040904b0), "1.0.0.2");
    EXPECT_EQ(two.GetValue("ProductVersion", 0x040904e4), "");

    CFileVersionInfo plain;
    ASSERT_TRUE(plain.Load(kPeDir + "plain-" + b + ".exe"));
    EXPECT_EQ(plain.GetValue("FileVersion"), "9.9.9.9");
    EXPECT_EQ(plain.GetValue("productversion"), "1.0.0.2");
    EXPECT_EQ(plain.GetValue("Comments"), "");

    CFileVersionInfo german;
    ASSERT_TRUE(german.Load(kPeDir + "german-" + b + ".exe"));
    EXPECT_EQ(german.GetValue("CompanyName"), "M\xC3\xBCller & S\xC3\xB6hne");

    CFileVersionInfo missing;
    ASSERT_TRUE(missing.Load(kPeDir + "no_product_version-" + b + ".exe"));
    EXPECT_EQ(missing.GetValue("FileVersion"), "1.0.0.2");
    EXPECT_EQ(missing.GetValue("ProductName"), "Quorvane");
  }
}

// Release frees the block and clears both fields.
TEST(FileVersionInfo, Release) {
  CFileVersionInfo info;
  ASSERT_TRUE(info.Load(kPeDir + "plain-32.exe"));
  info.Release();
  EXPECT_EQ(info.m_pData, nullptr);
  EXPECT_EQ(info.m_dwTranslation, 0u);
  EXPECT_EQ(info.GetProductVersion(), "");
  info.Release();  // twice is harmless
  EXPECT_TRUE(info.Load(kPeDir + "plain-64.exe"));
  EXPECT_EQ(info.GetProductVersion(), "1.0.0.2");
}

// The path names the translation as eight lower-case hexadecimal digits,
// language first, then code page.
TEST(FileVersionInfo, ValuePathFormat) {
  struct Case {
    WORD language;
    WORD codePage;
    const char* path;
  };
  const Case cases[] = {
      {0x0409, 1200, "\\StringFileInfo\\040904b0\\ProductVersion"},
      {0x0407, 1252, "\\StringFileInfo\\040704e4\\ProductVersion"},
      {0x0000, 0x0001, "\\StringFileInfo\\00000001\\ProductVersion"},
      {0xFFFF, 0xFFFF, "\\StringFileInfo\\ffffffff\\ProductVersion"},
  };
  for (const Case& c : cases) {
    const DWORD dw = (DWORD{c.language} << 16) | c.codePage;
    EXPECT_EQ(CFileVersionInfo::FormatValuePath(dw, "ProductVersion"), c.path);
  }
}

// The translation table must hold at least one whole language/code-page
// pair; a shorter one is a failed Load, and a longer one gives its first pair.
TEST(FileVersionInfo, TranslationTableLength) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  for (const char* bits : qvntest::kPeBits) {
    const std::vector<BYTE> image = ReadImage(kPeDir + "plain-" + std::string(bits) + ".exe");
    const std::size_t at = TranslationValueLengthAt(image);
    ASSERT_EQ(image[at], 4);
    for (const BYTE length : {0, 1, 2, 3}) {
      std::vector<BYTE> copy = image;
      copy[at] = length;
      WriteImage(dir / "short.exe", copy);
      CFileVersionInfo info;
      EXPECT_FALSE(info.Load(dir / "short.exe")) << "translation value of " << int{length} << " bytes";
      EXPECT_EQ(info.m_pData, nullptr);
      EXPECT_EQ(info.m_dwTranslation, 0u);
    }
  }
}

// A bare name is looked for beside the running program first, then in the
// current directory; anything else comes back as it is.
TEST(LocateProductExe, OwnDirectoryThenCurrentDirectory) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
#ifdef _WIN32
  // Where the test programs are built, with its drive: the test moves to another.
  const std::string strOwnDir = std::filesystem::absolute(QVN_BUILD_DIR "/tests").string();
#else
  const std::string strOwnDir = std::filesystem::canonical("/proc/self/exe").parent_path().string();
#endif
  const std::string strName = "qvn-locate-" + std::to_string(::getpid()) + ".exe";
  qvntest::ScopedCurrentDir cwd(dir.Path());

  // In neither place: the name as given, so that Load fails on it.
  EXPECT_EQ(LocateProductExe(strName), strName);

  // Only in the current directory.
  WriteImage(dir / strName, {'M', 'Z'});
  EXPECT_EQ(LocateProductExe(strName), strName);

  // Beside the program too: that one wins.
  const std::string strBeside = strOwnDir + "/" + strName;
  WriteImage(strBeside, {'M', 'Z'});
#ifdef _WIN32  // the program's own folder comes back in the system's spelling (Z:\...)
  EXPECT_TRUE(std::filesystem::equivalent(LocateProductExe(strName), strBeside));
#else
  EXPECT_EQ(LocateProductExe(strName), strBeside);
#endif
  std::filesystem::remove(strBeside);

  // A directory of that name beside the program is not the executable.
  std::filesystem::create_directory(strBeside);
  EXPECT_EQ(LocateProductExe(strName), strName);
  std::filesystem::remove(strBeside);

  // Names with a directory part are not searched for.
  EXPECT_EQ(LocateProductExe("./" + strName), "./" + strName);
  EXPECT_EQ(LocateProductExe("/nonexistent/" + strName), "/nonexistent/" + strName);
  EXPECT_EQ(LocateProductExe(""), "");
}

// What the updater does with the name it is given: the product in the current
// directory is found and read.
TEST(LocateProductExe, LoadsFromCurrentDirectory) {
  qvntest::TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string strName = "qvn-product-" + std::to_string(::getpid()) + ".exe";
  WriteImage(dir / strName, ReadImage(kPeDir + "plain-32.exe"));
  qvntest::ScopedCurrentDir cwd(dir.Path());
  CFileVersionInfo info;
  ASSERT_TRUE(info.Load(LocateProductExe(strName)));
  EXPECT_EQ(info.GetProductVersion(), "1.0.0.2");
}

}  // namespace
