#include "res/resource.h"

#include <array>

#include "res/version.h"

const char* LoadResString(int nId) {
  switch (nId) {
    case IDS_ABOUTBOX:
      return "&About Updater...";
    case IDP_SOCKETS_INIT_FAILED:
      return "Windows sockets initialization failed.";
    default:
      return "";
  }
}

const DialogControl* DialogTemplate::Find(int nControlId) const {
  for (const DialogControl& control : controls) {
    if (control.nId == nControlId) return &control;
  }
  return nullptr;
}

namespace {

constexpr std::array kMainControls{
    DialogControl{IDCANCEL, ControlKind::PushButton, "Exit", {262, 121, 50, 16}},
    DialogControl{IDC_PROGRESS_CURRENT, ControlKind::ProgressBar, "", {7, 41, 305, 14}},
    DialogControl{IDC_STATIC_CURRENT, ControlKind::Text, "Current Progress", {7, 30, 305, 8}},
    DialogControl{IDC_STATIC_OVERALL, ControlKind::Text, "Overall Progress", {7, 61, 305, 8}},
    DialogControl{IDC_PROGRESS_OVERALL, ControlKind::ProgressBar, "", {7, 73, 305, 14}},
    DialogControl{IDC_LIST_STATUS, ControlKind::ListBox, "", {7, 97, 242, 40}},
    DialogControl{IDC_START, ControlKind::PushButton, "Start", {262, 97, 50, 14}},
    DialogControl{IDC_STATIC,
                  ControlKind::Text,
                  "Press Start to check for updates. Requires Internet Connection. "
                  "Make sure Quorvane is not running.",
                  {7, 7, 305, 20}},
};

constexpr std::array kAboutControls{
    DialogControl{IDC_ABOUT_ICON, ControlKind::Icon, "", {11, 17, 20, 20}},
    DialogControl{IDC_STATIC, ControlKind::Text, "Updater Version 1.0", {40, 10, 119, 8}},
    DialogControl{IDC_ABOUT_LINE2, ControlKind::Text, kVersionFileDescription, {40, 25, 119, 8}},
    DialogControl{IDOK, ControlKind::DefPushButton, "OK", {178, 7, 50, 16}},
};

}  // namespace

const DialogTemplate& MainDialogTemplate() {
  static const DialogTemplate kTemplate{
      IDD_QVNUPDATE_DIALOG, "Quorvane Update Provider", 319, 144, "MS Shell Dlg", 8, kMainControls};
  return kTemplate;
}

const DialogTemplate& AboutDialogTemplate() {
  static const DialogTemplate kTemplate{IDD_ABOUTBOX,  "About Updater", 235, 55, "MS Shell Dlg", 8,
                                        kAboutControls};
  return kTemplate;
}
