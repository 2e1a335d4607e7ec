#pragma once
// Helpers for the window's tests: waiting for a modal window that the code
// under test opens (and blocks in), looking at it, and closing it.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace qvntest {

// Watches for the next modal window other than `pBehind` (the window that is
// modal already, if any). When it opens, runs fnOnOpen on it; if the window is
// still open afterwards, closes it. Gives up after nTimeoutMs, so that a
// window that never comes cannot hang a test.
class ModalWatcher {
 public:
  explicit ModalWatcher(std::function<void(QWidget*)> fnOnOpen, QWidget* pBehind = nullptr,
                        int nTimeoutMs = 20000)
      : m_fnOnOpen(std::move(fnOnOpen)), m_pBehind(pBehind), m_nTimeoutMs(nTimeoutMs) {
    m_clock.start();
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start();
  }

  bool Seen() const { return m_nSeen > 0; }
  int Count() const { return m_nSeen; }
  // Keep watching for further windows after the first.
  void SetRepeat(bool bRepeat) { m_bRepeat = bRepeat; }

 private:
  void Poll() {
    if (m_clock.elapsed() > m_nTimeoutMs) {
      m_timer.stop();
      return;
    }
    QWidget* pModal = QApplication::activeModalWidget();
    if (pModal == nullptr || pModal == m_pBehind || !pModal->isVisible()) return;
    ++m_nSeen;
    if (!m_bRepeat) m_timer.stop();
    m_fnOnOpen(pModal);
    if (pModal->isVisible()) {
      if (auto* pDialog = qobject_cast<QDialog*>(pModal)) {
        pDialog->reject();
      } else {
        pModal->close();
      }
    }
  }

  std::function<void(QWidget*)> m_fnOnOpen;
  QWidget* m_pBehind;
  int m_nTimeoutMs;
  int m_nSeen = 0;
  bool m_bRepeat = false;
  QTimer m_timer;
  QElapsedTimer m_clock;
};

// A control of one of the updater's dialogs, by its identifier.
template <typename T>
T* Control(QWidget* pDialog, int nId) {
  return pDialog->findChild<T*>(QStringLiteral("control%1").arg(nId));
}

// Presses a message box's OK button, as the user would.
inline void PressOk(QWidget* pBox) {
  if (auto* pMessage = qobject_cast<QMessageBox*>(pBox)) {
    if (QAbstractButton* pOk = pMessage->button(QMessageBox::Ok)) pOk->click();
  }
}

}  // namespace qvntest

// The tests of updates against a local server; in window_update_test.cpp.
int RunWindowUpdateTests(int argc, char** argv);
