#pragma once
// The About box: the icon, the updater's version and OK.
#include <QDialog>

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* pParent = nullptr);
};
