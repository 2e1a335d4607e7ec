// The resources compiled into qvnupdate.exe (res/qvnupdate.rc) against the
// layouts and strings the code knows (res/resource.cpp), so the two cannot
// drift: each dialog template is read back from the built program and walked
// control by control.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
// The reader below is the program's own, not <winver.h>'s functions.
#undef VerQueryValue
#undef GetFileVersionInfo
#undef GetFileVersionInfoSize

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/pe_version.h"
#include "platform/wide_win32.h"
#include "res/resource.h"
#include "res/version.h"

namespace {

// Reads a DLGTEMPLATEEX: fixed fields, then strings or ordinals, each control
// on a 4-byte boundary.
class CTemplateReader {
 public:
  CTemplateReader(const BYTE* pData, DWORD cbData) : m_pData(pData), m_cbData(cbData) {}

  template <typename T>
  T Read() {
    T value{};
    if (m_nAt + sizeof(T) > m_cbData) throw std::runtime_error("template ends early");
    std::memcpy(&value, m_pData + m_nAt, sizeof(T));
    m_nAt += sizeof(T);
    return value;
  }
  // A string, or an ordinal as "#<number>".
  std::string ReadSzOrOrd() {
    const WORD wFirst = Read<WORD>();
    if (wFirst == 0xFFFF) return "#" + std::to_string(Read<WORD>());
    std::wstring strText;
    for (WORD w = wFirst; w != 0; w = Read<WORD>()) strText += static_cast<wchar_t>(w);
    return WideToUtf8(strText);
  }
  void AlignDword() { m_nAt = (m_nAt + 3) & ~static_cast<size_t>(3); }

 private:
  const BYTE* m_pData;
  DWORD m_cbData;
  size_t m_nAt = 0;
};

struct CompiledControl {
  DWORD dwStyle;
  int nId;
  std::string strClass;
  std::string strText;
  DialogRect rc;
};

struct CompiledDialog {
  DWORD dwStyle;
  DWORD dwExStyle;
  int cx, cy;
  std::string strCaption;
  int nPointSize;
  std::string strFont;
  std::vector<CompiledControl> controls;
};

CompiledDialog ReadDialog(HMODULE hModule, int nId) {
  const HRSRC hRes = ::FindResourceW(hModule, MAKEINTRESOURCEW(nId), MAKEINTRESOURCEW(5));  // RT_DIALOG
  if (hRes == nullptr) throw std::runtime_error("no dialog " + std::to_string(nId));
  const auto* pData = static_cast<const BYTE*>(::LockResource(::LoadResource(hModule, hRes)));
  CTemplateReader in(pData, ::SizeofResource(hModule, hRes));
  CompiledDialog dlg;
  if (in.Read<WORD>() != 1 || in.Read<WORD>() != 0xFFFF) throw std::runtime_error("not a DLGTEMPLATEEX");
  in.Read<DWORD>();  // help id
  dlg.dwExStyle = in.Read<DWORD>();
  dlg.dwStyle = in.Read<DWORD>();
  const WORD nItems = in.Read<WORD>();
  in.Read<short>();
  in.Read<short>();
  dlg.cx = in.Read<short>();
  dlg.cy = in.Read<short>();
  in.ReadSzOrOrd();  // menu
  in.ReadSzOrOrd();  // window class
  dlg.strCaption = in.ReadSzOrOrd();
  dlg.nPointSize = in.Read<WORD>();
  in.Read<WORD>();  // weight
  in.Read<WORD>();  // italic, character set
  dlg.strFont = in.ReadSzOrOrd();
  for (WORD i = 0; i < nItems; ++i) {
    in.AlignDword();
    CompiledControl control;
    in.Read<DWORD>();  // help id
    in.Read<DWORD>();  // extended style
    control.dwStyle = in.Read<DWORD>();
    control.rc.x = in.Read<short>();
    control.rc.y = in.Read<short>();
    control.rc.cx = in.Read<short>();
    control.rc.cy = in.Read<short>();
    control.nId = static_cast<int>(in.Read<DWORD>());
    control.strClass = in.ReadSzOrOrd();
    control.strText = in.ReadSzOrOrd();
    for (WORD nExtra = in.Read<WORD>(); nExtra > 0; --nExtra) in.Read<BYTE>();
    dlg.controls.push_back(control);
  }
  return dlg;
}

// What the compiled control is, in the code's terms. A class is an ordinal
// of the system's own or a name.
ControlKind KindOf(const CompiledControl& control) {
  auto is = [&](const char* pszOrdinal, const char* pszName) {
    return control.strClass == pszOrdinal || _stricmp(control.strClass.c_str(), pszName) == 0;
  };
  if (is("#128", "Button")) {
    return (control.dwStyle & 0x0F) == BS_DEFPUSHBUTTON ? ControlKind::DefPushButton
                                                        : ControlKind::PushButton;
  }
  if (is("#130", "Static")) {
    return (control.dwStyle & SS_TYPEMASK) == SS_ICON ? ControlKind::Icon : ControlKind::Text;
  }
  if (is("#131", "ListBox")) return ControlKind::ListBox;
  if (is("", PROGRESS_CLASSA)) return ControlKind::ProgressBar;
  throw std::runtime_error("unexpected control class " + control.strClass);
}

class CompiledResources : public ::testing::Test {
 protected:
  void SetUp() override {
    m_hModule = ::LoadLibraryExW(L"" QVN_BIN_DIR "/qvnupdate.exe", nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(m_hModule, nullptr) << "cannot load " QVN_BIN_DIR "/qvnupdate.exe";
  }
  void TearDown() override {
    if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
  }
  HMODULE m_hModule = nullptr;
};

TEST_F(CompiledResources, DialogsMatchTheTemplatesTheCodeKnows) {
  for (const DialogTemplate* pTemplate : {&MainDialogTemplate(), &AboutDialogTemplate()}) {
    SCOPED_TRACE(pTemplate->nId);
    const CompiledDialog dlg = ReadDialog(m_hModule, pTemplate->nId);
    EXPECT_EQ(dlg.strCaption, pTemplate->pszCaption);
    EXPECT_EQ(dlg.cx, pTemplate->cx);
    EXPECT_EQ(dlg.cy, pTemplate->cy);
    EXPECT_EQ(dlg.strFont, pTemplate->pszFont);
    EXPECT_EQ(dlg.nPointSize, pTemplate->nPointSize);
    EXPECT_EQ(dlg.dwStyle & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
    // In template order, which is the tab order.
    ASSERT_EQ(dlg.controls.size(), pTemplate->controls.size());
    for (size_t i = 0; i < dlg.controls.size(); ++i) {
      const CompiledControl& compiled = dlg.controls[i];
      const DialogControl& known = pTemplate->controls[i];
      SCOPED_TRACE(known.nId);
      EXPECT_EQ(compiled.nId, known.nId);
      EXPECT_EQ(KindOf(compiled), known.kind);
      EXPECT_EQ(compiled.strText, known.kind == ControlKind::Icon ? "#" + std::to_string(IDR_MAINFRAME)
                                                                  : std::string(known.pszText));
      EXPECT_EQ(compiled.rc.x, known.rc.x);
      EXPECT_EQ(compiled.rc.y, known.rc.y);
      EXPECT_EQ(compiled.rc.cx, known.rc.cx);
      EXPECT_EQ(compiled.rc.cy, known.rc.cy);
      // Buttons and the list are tab stops; nothing else takes the focus.
      const bool bTabStop = known.kind == ControlKind::PushButton ||
                            known.kind == ControlKind::DefPushButton || known.kind == ControlKind::ListBox;
      EXPECT_EQ((compiled.dwStyle & WS_TABSTOP) != 0, bTabStop);
      if (known.kind == ControlKind::ListBox) {
        EXPECT_EQ(compiled.dwStyle & LBS_SORT, 0u) << "lines must stay in arrival order";
      }
    }
  }
  // A taskbar button for the main window.
  EXPECT_NE(ReadDialog(m_hModule, IDD_QVNUPDATE_DIALOG).dwExStyle & WS_EX_APPWINDOW, 0u);
}

TEST_F(CompiledResources, StringsIconAndVersion) {
  for (int nId : {IDS_ABOUTBOX, IDP_SOCKETS_INIT_FAILED}) {
    wchar_t szText[256] = {};
    ASSERT_GT(::LoadStringW(m_hModule, static_cast<UINT>(nId), szText, 256), 0) << nId;
    EXPECT_EQ(WideToUtf8(szText), LoadResString(nId));
  }
  // The icon in its three drawn sizes, 16 colours each.
  const HRSRC hIcon = ::FindResourceW(m_hModule, MAKEINTRESOURCEW(IDR_MAINFRAME), MAKEINTRESOURCEW(14));
  ASSERT_NE(hIcon, nullptr);  // RT_GROUP_ICON
  CTemplateReader icons(static_cast<const BYTE*>(::LockResource(::LoadResource(m_hModule, hIcon))),
                        ::SizeofResource(m_hModule, hIcon));
  icons.Read<WORD>();
  icons.Read<WORD>();
  std::vector<int> sizes;
  for (WORD n = icons.Read<WORD>(); n > 0; --n) {
    sizes.push_back(icons.Read<BYTE>());
    icons.Read<BYTE>();  // height
    EXPECT_EQ(icons.Read<BYTE>(), 16);
    icons.Read<BYTE>();
    icons.Read<WORD>();
    icons.Read<WORD>();
    icons.Read<DWORD>();
    icons.Read<WORD>();
  }
  EXPECT_EQ(sizes, (std::vector<int>{48, 32, 16}));

  // The version block holds res/version.h's values, read as the updater reads
  // a product's.
  std::vector<BYTE> block;
  ASSERT_EQ(ReadPeVersionBlock(QVN_BIN_DIR "/qvnupdate.exe", block), PeVersionStatus::kPeOk);
  VersionValue fixed;
  ASSERT_TRUE(VerQueryValue(block.data(), block.size(), "\\", fixed));
  ASSERT_GE(fixed.nBytes, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO info{};
  std::memcpy(&info, fixed.pData, sizeof(info));
  EXPECT_EQ(info.dwFileVersionMS, static_cast<DWORD>(kVersionFixed[0] << 16 | kVersionFixed[1]));
  EXPECT_EQ(info.dwProductVersionLS, static_cast<DWORD>(kVersionFixed[2] << 16 | kVersionFixed[3]));
  const std::pair<const char*, const char*> kStrings[] = {
      {"FileDescription", kVersionFileDescription}, {"FileVersion", kVersionFileVersion},
      {"ProductVersion", kVersionProductVersion},   {"InternalName", kVersionInternalName},
      {"ProductName", kVersionProductName},         {"OriginalFilename", kVersionOriginalFilename}};
  for (const auto& [pszKey, pszValue] : kStrings) {
    std::string strValue;
    EXPECT_TRUE(VerQueryString(block.data(), block.size(),
                               std::string("\\StringFileInfo\\040904b0\\") + pszKey, strValue));
    EXPECT_EQ(strValue, pszValue) << pszKey;
  }
}

}  // namespace
