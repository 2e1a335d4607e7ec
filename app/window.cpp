#include "app/window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "app/about.h"
#include "app/window_support.h"
#include "res/resource.h"

namespace {

template <typename T>
T* Control(QWidget* pDialog, int nId) {
  T* pControl = pDialog->findChild<T*>(QStringLiteral("control%1").arg(nId), Qt::FindDirectChildrenOnly);
  Q_ASSERT(pControl != nullptr);
  return pControl;
}

QMessageBox::Icon ToQtIcon(CUpdateReporter::Icon icon) {
  switch (icon) {
    case CUpdateReporter::Icon::Stop:
      return QMessageBox::Critical;
    case CUpdateReporter::Icon::Exclamation:
      return QMessageBox::Warning;
    case CUpdateReporter::Icon::Information:
      return QMessageBox::Information;
    case CUpdateReporter::Icon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

CUpdateDlg::CUpdateDlg(const UpdateSettings& settings, QWidget* pParent)
    : QDialog(pParent), m_settings(settings), m_hIcon(AppIcon()) {
  // A main window of its own (with a taskbar entry), fixed in size, with a close
  // box but neither minimise nor maximise button, like the layout it follows.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  CreateDialogControls(this, MainDialogTemplate());
  setWindowIcon(m_hIcon);

  m_buttonExit = Control<QPushButton>(this, IDCANCEL);
  m_barCurrent = Control<QProgressBar>(this, IDC_PROGRESS_CURRENT);
  m_labelCurrent = Control<QLabel>(this, IDC_STATIC_CURRENT);
  m_labelOverall = Control<QLabel>(this, IDC_STATIC_OVERALL);
  m_barOverall = Control<QProgressBar>(this, IDC_PROGRESS_OVERALL);
  m_listStatus = Control<QListWidget>(this, IDC_LIST_STATUS);
  m_buttonStart = Control<QPushButton>(this, IDC_START);
  // A long caption is cut at the window's edge rather than wrapped onto a
  // second line that its one-line height could not show.
  m_labelCurrent->setWordWrap(false);
  m_labelOverall->setWordWrap(false);

  connect(m_buttonExit, &QPushButton::clicked, this, &QDialog::reject);
  connect(m_buttonStart, &QPushButton::clicked, this, &CUpdateDlg::OnStart);
  auto* pHelp = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(pHelp, &QShortcut::activated, this, &CUpdateDlg::OnAbout);

  // Exit is the first tab stop and holds the focus when the window opens.
  m_buttonExit->setFocus();
  m_redrawClock.start();

  // The captions start with the layout's texts; from here on the reporter's
  // captions and bars are the truth and the widgets follow them.
  m_staticCurrent.m_onChange = [this] { MirrorControls(); };
  m_staticOverall.m_onChange = [this] { MirrorControls(); };
  m_progressCurrent.m_onChange = [this] { MirrorControls(); };
  m_progressOverall.m_onChange = [this] { MirrorControls(); };
  m_staticCurrent.SetWindowText(MainDialogTemplate().Find(IDC_STATIC_CURRENT)->pszText);
  m_staticOverall.SetWindowText(MainDialogTemplate().Find(IDC_STATIC_OVERALL)->pszText);
}

CUpdateDlg::~CUpdateDlg() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDetached = true;
  }
  m_cvDone.notify_all();
  if (m_pThread != nullptr) {
    m_pThread->wait();
    delete m_pThread;
    m_pThread = nullptr;
  }
  m_staticCurrent.m_onChange = nullptr;
  m_staticOverall.m_onChange = nullptr;
  m_progressCurrent.m_onChange = nullptr;
  m_progressOverall.m_onChange = nullptr;
}

void CUpdateDlg::RunInWindow(const std::function<void()>& fn) {
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  auto pDone = std::make_shared<bool>(false);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bDetached) return;
  }
  QMetaObject::invokeMethod(
      this,
      [this, fn, pDone] {
        fn();
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          *pDone = true;
        }
        m_cvDone.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvDone.wait(lock, [&] { return *pDone || m_bDetached; });
}

void CUpdateDlg::AddStatus(std::string strLine) {
  RunInWindow([this, strLine = std::move(strLine)] {
    m_listStatus->addItem(FromAnsi(strLine));
    const int nRow = m_listStatus->count() - 1;
    m_listStatus->setCurrentRow(nRow);
    m_listStatus->scrollToItem(m_listStatus->item(nRow));
  });
}

void CUpdateDlg::ResetStatus() {
  RunInWindow([this] { m_listStatus->clear(); });
}

void CUpdateDlg::MessageBox(const std::string& strText, CUpdateReporter::Icon icon) {
  m_notes.NoteBox();
  RunInWindow([this, strText, icon] { ShowMessage(strText, icon); });
}

void CUpdateDlg::ShowMessage(const std::string& strText, CUpdateReporter::Icon icon) {
  // The caption is the program's name, as for every message of the program.
  QMessageBox box(ToQtIcon(icon), QCoreApplication::applicationName(), FromAnsi(strText), QMessageBox::Ok,
                  this);
  box.setObjectName(QStringLiteral("updateMessage"));
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void CUpdateDlg::MirrorControls() {
  ControlState state{
      m_staticCurrent.GetWindowText(),
      m_staticOverall.GetWindowText(),
      {m_progressCurrent.GetLower(), m_progressCurrent.GetUpper(), m_progressCurrent.GetPos()},
      {m_progressOverall.GetLower(), m_progressOverall.GetUpper(), m_progressOverall.GetPos()}};
  if (QThread::currentThread() == thread()) {
    ApplyControls(state);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bDetached) return;
    m_pending = std::move(state);
    if (m_bApplyPosted) return;
    m_bApplyPosted = true;
  }
  // A fast download changes the bars thousands of times a second; the window
  // draws them at most kRedrawIntervalMs apart, showing the latest state.
  QMetaObject::invokeMethod(
      this,
      [this] {
        const qint64 nWait = kRedrawIntervalMs - m_redrawClock.elapsed();
        QTimer::singleShot(std::max<qint64>(nWait, 0), this, [this] { ApplyPending(); });
      },
      Qt::QueuedConnection);
}

void CUpdateDlg::ApplyPending() {
  ControlState latest;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bApplyPosted) return;
    latest = m_pending;
    m_bApplyPosted = false;
  }
  ApplyControls(latest);
  m_redrawClock.restart();
}

namespace {

void ShowBar(QProgressBar* pBar, int nLower, int nUpper, int nPos) {
  // An empty range draws an empty bar; the widget would animate a busy
  // indicator instead.
  if (nUpper > nLower) {
    pBar->setRange(nLower, nUpper);
    pBar->setValue(nPos);
  } else {
    pBar->setRange(0, 1);
    pBar->setValue(0);
  }
}

}  // namespace

void CUpdateDlg::ApplyControls(const ControlState& state) {
  m_labelCurrent->setText(FromAnsi(state.strCurrent));
  m_labelOverall->setText(FromAnsi(state.strOverall));
  ShowBar(m_barCurrent, state.current.nLower, state.current.nUpper, state.current.nPos);
  ShowBar(m_barOverall, state.overall.nLower, state.overall.nUpper, state.overall.nPos);
}

void CUpdateDlg::OnStart() {
  if (m_bRunning) return;  // one update at a time
  m_bStopAsked = false;
  SetUpdateRunning(true);
  m_pThread = QThread::create([this] {
    const Outcome outcome = RunSession();
    QMetaObject::invokeMethod(
        this, [this, outcome] { OnUpdateEnded(outcome); }, Qt::QueuedConnection);
  });
  m_pThread->setObjectName(QStringLiteral("update"));
  m_pThread->start();
}

CUpdateDlg::Outcome CUpdateDlg::RunSession() {
  // Whatever ends the update early is shown to the user, never lost.
  return RunUpdateCaught(*this, m_settings, m_notes);
}

void CUpdateDlg::OnUpdateEnded(const Outcome& outcome) {
  if (m_pThread != nullptr) {
    m_pThread->wait();
    delete m_pThread;
    m_pThread = nullptr;
  }
  ApplyPending();  // the last captions and bars, without waiting for the next redraw
  // The window stays, with the outcome in its list, for the user to close.
  if (m_pStopQuestion != nullptr) m_pStopQuestion->reject();
  // The error is shown while the update still counts as running, so that
  // Start works again once the user has read it.
  const EndMessage message = MessageAtEnd(outcome);
  if (!message.strText.empty()) ShowMessage(message.strText, message.icon);
  m_bLastResult = outcome.bError || outcome.bCancelled ? FALSE : outcome.bResult;
  SetUpdateRunning(false);
  emit UpdateEnded(m_bLastResult);
  if (m_bCloseWhenStopped) {
    m_bCloseWhenStopped = false;
    QDialog::done(QDialog::Rejected);
  }
}

void CUpdateDlg::AskToStop() {
  if (m_bStopAsked) return;  // already stopping
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(),
                  QStringLiteral("An update is running. Stop it and close the window?\n\n"
                                 "Files it has already replaced are put back."),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QStringLiteral("confirmStop"));
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  m_pStopQuestion = &box;
  const int nAnswer = box.exec();
  m_pStopQuestion = nullptr;
  if (nAnswer != QMessageBox::Yes) return;
  // The update may have ended while the question was open: only the closing is left.
  if (!m_bRunning) {
    QDialog::done(QDialog::Rejected);
    return;
  }
  m_bCloseWhenStopped = true;
  m_bStopAsked = true;
}

void CUpdateDlg::SetUpdateRunning(bool bRunning) {
  m_bRunning = bRunning ? TRUE : FALSE;
  if (bRunning) {
    m_pFocusBeforeUpdate = focusWidget();
    setCursor(Qt::BusyCursor);
  } else {
    unsetCursor();
  }
  m_buttonStart->setEnabled(!bRunning);
  // Disabling the focused button moved the focus on; give it back.
  if (!bRunning && m_pFocusBeforeUpdate == m_buttonStart) {
    m_pFocusBeforeUpdate->setFocus();
  }
}

void CUpdateDlg::done(int nResult) {
  if (m_bRunning) {  // never leave an update half done: stop it first
    AskToStop();
    return;
  }
  QDialog::done(nResult);
}

void CUpdateDlg::closeEvent(QCloseEvent* pEvent) {
  if (m_bRunning) {
    pEvent->ignore();
    AskToStop();
    return;
  }
  QDialog::closeEvent(pEvent);
}

void CUpdateDlg::keyPressEvent(QKeyEvent* pEvent) {
  const bool bEnter = pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter;
  const auto modifiers = pEvent->modifiers() & ~Qt::KeypadModifier;
  if (bEnter && modifiers == Qt::NoModifier) {
    // No button is the default one: Enter presses the focused push button,
    // and anywhere else it closes the window, as OK would.
    if (auto* pButton = qobject_cast<QPushButton*>(focusWidget())) {
      if (pButton->isEnabled()) pButton->click();
    } else {
      accept();
    }
    return;
  }
  QDialog::keyPressEvent(pEvent);
}

QMenu* CUpdateDlg::CreateContextMenu() {
  auto* pMenu = new QMenu(this);
  const QString strAbout = FromAnsi(LoadResString(IDS_ABOUTBOX));
  if (!strAbout.isEmpty()) {
    QAction* pAbout = pMenu->addAction(strAbout);
    pAbout->setShortcut(QKeySequence(Qt::Key_F1));
    connect(pAbout, &QAction::triggered, this, &CUpdateDlg::OnAbout);
  }
  return pMenu;
}

void CUpdateDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
  QMenu* pMenu = CreateContextMenu();
  if (!pMenu->isEmpty()) pMenu->exec(pEvent->globalPos());
  delete pMenu;
}

void CUpdateDlg::OnAbout() {
  CAboutDlg dlg(this);
  dlg.exec();
}
