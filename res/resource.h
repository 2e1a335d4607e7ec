#pragma once
// The updater's own resources: identifiers, the string table and the layouts of
// its two dialogs. Positions are in dialog units, the font-relative unit the
// layouts were drawn in; the window turns them into pixels with its own font.
//
// The identifiers are macros so that the resource compiler reads them from
// this same file for res/qvnupdate.rc; everything else is for C++ only.

// Dialogs, icon and the About command.
#define IDD_ABOUTBOX 100
#define IDD_QVNUPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDM_ABOUTBOX 0x0010

// Controls. IDOK and IDCANCEL have the platform's own values, so that they
// agree with <windows.h> where both are seen.
#define IDOK 1
#define IDCANCEL 2
#define IDC_PROGRESS_CURRENT 1002
#define IDC_STATIC_CURRENT 1003
#define IDC_STATIC_OVERALL 1004
#define IDC_PROGRESS_OVERALL 1005
#define IDC_LIST_STATUS 1006
#define IDC_START 1007
#define IDC_STATIC (-1)      // a text nobody addresses
#define IDC_ABOUT_ICON (-2)  // the picture in the About box
#define IDC_ABOUT_LINE2 (-3)

// String table.
#define IDS_ABOUTBOX 101
#define IDP_SOCKETS_INIT_FAILED 103

#ifndef RC_INVOKED
#include <span>

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
#endif  // RC_INVOKED
