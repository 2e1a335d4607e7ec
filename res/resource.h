#pragma once
// The updater's own resources: identifiers, the string table and the layouts of
// its two dialogs. Positions are in dialog units, the font-relative unit the
// layouts were drawn in; the window turns them into pixels with its own font.
#include <span>

// Dialogs, icon and the About command.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_QVNUPDATE_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDM_ABOUTBOX = 0x0010;

// Controls.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_PROGRESS_CURRENT = 1002;
inline constexpr int IDC_STATIC_CURRENT = 1003;
inline constexpr int IDC_STATIC_OVERALL = 1004;
inline constexpr int IDC_PROGRESS_OVERALL = 1005;
inline constexpr int IDC_LIST_STATUS = 1006;
inline constexpr int IDC_START = 1007;
inline constexpr int IDC_STATIC = -1;      // a text nobody addresses
inline constexpr int IDC_ABOUT_ICON = -2;  // the picture in the About box
inline constexpr int IDC_ABOUT_LINE2 = -3;

// String table.
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDP_SOCKETS_INIT_FAILED = 103;

// The text of string `nId`, or "" when the table has no such string.
const char* LoadResString(int nId);

enum class ControlKind { PushButton, DefPushButton, ProgressBar, Text, ListBox, Icon };

struct DialogRect {
  int x, y, cx, cy;
};

struct DialogControl {
  int nId;
  ControlKind kind;
  const char* pszText;
  DialogRect rc;
};

struct DialogTemplate {
  int nId;
  const char* pszCaption;
  int cx, cy;  // client area
  const char* pszFont;
  int nPointSize;
  // In template order, which is also the tab order.
  std::span<const DialogControl> controls;

  // The control with this identifier; nullptr when the template has none.
  const DialogControl* Find(int nControlId) const;
};

// Templates 102 (the main window) and 100 (the About box).
const DialogTemplate& MainDialogTemplate();
const DialogTemplate& AboutDialogTemplate();
