#include "app/window_support.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStringDecoder>

CDialogUnits::CDialogUnits(const QFont& font) {
  const QFontMetrics fm(font);
  // The average width is measured over the 52 Latin letters and rounded the
  // same way the platform does it.
  const int nWidth =
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_nBaseX = (nWidth / 26 + 1) / 2;
  m_nBaseY = fm.height();
}

int CDialogUnits::MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  long long nNum = static_cast<long long>(a) * b;
  long long nDen = c;
  if (nDen < 0) {
    nNum = -nNum;
    nDen = -nDen;
  }
  const long long nQuot = nNum >= 0 ? (nNum + nDen / 2) / nDen : -((-nNum + nDen / 2) / nDen);
  return static_cast<int>(nQuot);
}

QRect CDialogUnits::ToPixels(const DialogRect& rc) const {
  return QRect(MulDiv(rc.x, m_nBaseX, 4), MulDiv(rc.y, m_nBaseY, 8), MulDiv(rc.cx, m_nBaseX, 4),
               MulDiv(rc.cy, m_nBaseY, 8));
}

QSize CDialogUnits::ToPixels(int cx, int cy) const {
  return QSize(MulDiv(cx, m_nBaseX, 4), MulDiv(cy, m_nBaseY, 8));
}

QFont DialogFont(const DialogTemplate& dlgTemplate) {
  QFont font = QApplication::font();
  font.setPointSize(dlgTemplate.nPointSize);
  return font;
}

namespace {

QWidget* CreateControl(QWidget* pParent, const DialogControl& control) {
  const QString strText = QString::fromUtf8(control.pszText);
  switch (control.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
      auto* pButton = new QPushButton(strText, pParent);
      // Only a default button takes Enter from elsewhere. Left on, "auto
      // default" would make the first button of a layout without a default one
      // the default; the dialogs handle Enter on a focused button themselves.
      pButton->setAutoDefault(control.kind == ControlKind::DefPushButton);
      pButton->setDefault(control.kind == ControlKind::DefPushButton);
      pButton->setFocusPolicy(Qt::StrongFocus);
      return pButton;
    }
    case ControlKind::ProgressBar: {
      auto* pBar = new QProgressBar(pParent);
      pBar->setTextVisible(false);
      pBar->setRange(0, 100);
      pBar->setValue(0);
      pBar->setFocusPolicy(Qt::NoFocus);
      return pBar;
    }
    case ControlKind::Text: {
      // Plain text: file names from a server must never be read as markup.
      auto* pLabel = new QLabel(pParent);
      pLabel->setTextFormat(Qt::PlainText);
      pLabel->setText(strText);
      pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      pLabel->setWordWrap(true);
      pLabel->setFocusPolicy(Qt::NoFocus);
      return pLabel;
    }
    case ControlKind::ListBox: {
      auto* pList = new QListWidget(pParent);
      pList->setSortingEnabled(false);
      pList->setSelectionMode(QAbstractItemView::SingleSelection);
      pList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      pList->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
      pList->setUniformItemSizes(true);
      pList->setFocusPolicy(Qt::StrongFocus);
      return pList;
    }
    case ControlKind::Icon: {
      auto* pLabel = new QLabel(pParent);
      pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      pLabel->setFocusPolicy(Qt::NoFocus);
      return pLabel;
    }
  }
  return nullptr;
}

}  // namespace

void CreateDialogControls(QWidget* pDialog, const DialogTemplate& dlgTemplate) {
  pDialog->setFont(DialogFont(dlgTemplate));
  pDialog->setWindowTitle(QString::fromUtf8(dlgTemplate.pszCaption));
  const CDialogUnits units(pDialog->font());
  pDialog->setFixedSize(units.ToPixels(dlgTemplate.cx, dlgTemplate.cy));
  for (const DialogControl& control : dlgTemplate.controls) {
    QWidget* pControl = CreateControl(pDialog, control);
    pControl->setObjectName(QStringLiteral("control%1").arg(control.nId));
    pControl->setProperty("controlId", control.nId);
    pControl->setGeometry(units.ToPixels(control.rc));
  }
}

// Outside any namespace: the resource initialiser must be reachable from here,
// and a static library's resources are only linked in when something names them.
static void InitAppResources() {
  Q_INIT_RESOURCE(qvnupdate);
}

QIcon AppIcon() {
  static const bool bInitialised = (InitAppResources(), true);
  (void)bInitialised;
  QIcon icon;
  for (int nSize : {48, 32, 16}) {
    icon.addFile(QStringLiteral(":/qvnupdate/icons/qvnupdate-%1.png").arg(nSize), QSize(nSize, nSize));
  }
  return icon;
}

QString FromAnsi(const std::string& strText) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString strDecoded = decoder(QByteArrayView(strText.data(), static_cast<qsizetype>(strText.size())));
  if (decoder.hasError()) return QString::fromLatin1(strText.data(), static_cast<qsizetype>(strText.size()));
  return strDecoded;
}
