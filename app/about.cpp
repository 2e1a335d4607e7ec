#include "app/about.h"

#include <QLabel>
#include <QPushButton>

#include "app/window_support.h"
#include "res/resource.h"

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  CreateDialogControls(this, AboutDialogTemplate());
  const QIcon icon = AppIcon();
  setWindowIcon(icon);

  // The icon is drawn at its own 32 pixels, as an icon picture sizes itself.
  auto* pPicture = findChild<QLabel*>(QStringLiteral("control%1").arg(IDC_ABOUT_ICON));
  pPicture->setPixmap(icon.pixmap(QSize(32, 32)));
  pPicture->resize(32, 32);

  auto* pOk = findChild<QPushButton*>(QStringLiteral("control%1").arg(IDOK));
  connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
  pOk->setFocus();
}
