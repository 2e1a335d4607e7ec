// qvnupdate --console: one update in the current directory, as one press of
// Start would run it. stdout carries the status lines and nothing else;
// stderr carries messages and errors and, on a terminal, the captions and
// bars, redrawn in place a few times a second at most.
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <new>
#include <string>

#include "app/cli.h"
#include "platform/http_client.h"

namespace {

// Control bytes would break the one-line-per-status contract or steer the
// terminal; they are shown as "?".
std::string OneLine(const std::string& str) {
  std::string strOut = str;
  for (char& c : strOut) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return strOut;
}

class CConsoleReporter : public CUpdateReporter {
 public:
  CConsoleReporter() : m_bTerminal(isatty(STDERR_FILENO) == 1) {
    if (!m_bTerminal) return;
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 40) m_nColumns = size.ws_col;
    for (CStatic* p : {&m_staticCurrent, &m_staticOverall}) p->m_onChange = [this] { Redraw(false); };
    for (CProgressCtrl* p : {&m_progressCurrent, &m_progressOverall})
      p->m_onChange = [this] { Redraw(false); };
  }
  ~CConsoleReporter() override { Erase(); }

  void AddStatus(std::string strLine) override {
    Erase();
    std::fputs(OneLine(strLine).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    Redraw(true);
  }
  void ResetStatus() override {}
  void MessageBox(const std::string& strText, Icon) override { Error(strText); }
  void AddDetail(const std::string& strText) override { Error("qvnupdate: " + OneLine(strText)); }

  // A text on stderr, clear of the progress display.
  void Error(const std::string& strText) {
    Erase();
    std::fprintf(stderr, "%s\n", strText.c_str());
    std::fflush(stderr);
  }

 private:
  static constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
  static constexpr int kBarWidth = 30;

  std::string Line(const CStatic& caption, const CProgressCtrl& bar) const {
    const long long nSpan = static_cast<long long>(bar.GetUpper()) - bar.GetLower();
    const long long nDone = static_cast<long long>(bar.GetPos()) - bar.GetLower();
    const int nFilled = nSpan > 0 ? static_cast<int>(nDone * kBarWidth / nSpan) : 0;
    const int nPercent = nSpan > 0 ? static_cast<int>(nDone * 100 / nSpan) : 0;
    std::string strText = "[" + std::string(static_cast<size_t>(nFilled), '#') +
                          std::string(static_cast<size_t>(kBarWidth - nFilled), '.') + "] ";
    strText += std::to_string(nPercent) + "% " + OneLine(caption.GetWindowText());
    // One screen line each, or the redraw would no longer land in place.
    if (strText.size() >= m_nColumns) strText.resize(m_nColumns - 1);
    return strText;
  }

  // The time, as cheaply as the system tells it: the coarse clock moves in
  // steps of a few milliseconds, plenty for kRedrawInterval, and costs a
  // fraction of the exact one, which a change per block would feel.
  static std::chrono::nanoseconds CoarseNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }

  void Redraw(bool bForce) {
    if (!m_bTerminal) return;
    const auto now = CoarseNow();
    if (!bForce && m_bDrawn && now - m_lastDraw < kRedrawInterval) return;
    if (m_staticCurrent.GetWindowText().empty() && m_staticOverall.GetWindowText().empty()) return;
    m_lastDraw = now;
    std::string strOut = m_bDrawn ? "\x1b[2A" : "";
    strOut += "\r\x1b[K" + Line(m_staticCurrent, m_progressCurrent) + "\n";
    strOut += "\r\x1b[K" + Line(m_staticOverall, m_progressOverall) + "\n";
    std::fputs(strOut.c_str(), stderr);
    std::fflush(stderr);
    m_bDrawn = true;
  }

  void Erase() {
    if (!m_bDrawn) return;
    std::fputs("\x1b[2A\r\x1b[J", stderr);
    std::fflush(stderr);
    m_bDrawn = false;
  }

  bool m_bTerminal;
  size_t m_nColumns = 80;
  bool m_bDrawn = false;
  std::chrono::nanoseconds m_lastDraw{0};
};

}  // namespace

int RunConsole(const UpdateSettings& settings) {
  // A reader of stdout that goes away must not end an update half-way.
  std::signal(SIGPIPE, SIG_IGN);

  if (!InitNetwork()) {
    std::fprintf(stderr, "Windows sockets initialization failed.\n");
    return 2;
  }

  CConsoleReporter view;
  try {
    return RunUpdate(view, settings) ? 0 : 1;
  } catch (const CException& e) {
    const std::string strText = e.GetErrorMessage();
    view.Error(strText.empty() ? "Internal application error." : strText);
  } catch (const std::bad_alloc&) {
    view.Error("Out of memory.");
  } catch (const std::exception& e) {
    view.Error(*e.what() != '\0' ? e.what() : "Internal application error.");
  } catch (...) {
    view.Error("Internal application error.");
  }
  return 2;
}
