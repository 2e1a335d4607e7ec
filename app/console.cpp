// qvnupdate --console: one update in the current directory, as one press of
// Start would run it. stdout carries the status lines and nothing else;
// stderr carries messages, errors, causes and hints and, on a terminal (when
// stdout goes to it or to a file, not into a pipe), the progress (sizes, rate
// and time left while downloading; the captions and bars otherwise), redrawn
// in place a few times a second at most, and a summary of the download at
// the end.
//
// SIGINT and SIGTERM ask the update to stop at the next block; it then
// cleans up, reports "Update cancelled" and exits with 130.
#include "platform/console.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "app/cli.h"
#include "app/console_progress.h"
#include "platform/http_client.h"
#include "session/session_hints.h"

namespace {

// The exit status of a stopped update: the shell's for a command ended by SIGINT.
constexpr int kCancelledExit = 130;

// Set on SIGINT or SIGTERM, read by the update between blocks.
std::atomic<bool> g_bStopAsked{false};

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
  CConsoleReporter() : m_bTerminal(CanDrawProgress()) {
    if (!m_bTerminal) return;
    for (CStatic* p : {&m_staticCurrent, &m_staticOverall}) p->m_onChange = [this] { Redraw(false); };
    for (CProgressCtrl* p : {&m_progressCurrent, &m_progressOverall})
      p->m_onChange = [this] {
        NoteBytes();
        Redraw(false);
      };
  }
  ~CConsoleReporter() override { Erase(); }

  void AddStatus(std::string strLine) override {
    Erase();
    std::fputs(OneLine(strLine).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    m_strLastStatus = std::move(strLine);
    m_bDetailSinceStatus = false;
    Redraw(true);
  }
  void ResetStatus() override {}
  void MessageBox(const std::string& strText, Icon) override { Error(strText); }
  void AddDetail(const std::string& strText) override {
    Error(strText);
    m_bDetailSinceStatus = true;
  }
  bool IsCancelled() const override { return g_bStopAsked.load(std::memory_order_relaxed); }

  // Every failure leaves its cause on stderr: a phase that gave none has
  // said it in its last status line.
  void ExplainFailure() {
    if (!m_bDetailSinceStatus && !m_strLastStatus.empty()) AddDetail(m_strLastStatus);
  }

  // On a terminal, after the update: how much was downloaded, how fast.
  void Summarize() {
    if (!m_bTerminal || !m_bPhaseSeen || m_bytes.nFilesDone == 0) return;
    const double dSeconds = std::chrono::duration<double>(m_lastBytes - m_phaseStart).count();
    Error(TransferSummary(m_bytes.nFilesDone, m_bytes.nPhaseMoved, dSeconds));
  }

  // A text on stderr, clear of the progress display, on one line and named:
  // a log that gathers many programs' output must tell where it came from.
  void Error(const std::string& strText) {
    Erase();
    std::fprintf(stderr, "qvnupdate: %s\n", OneLine(strText).c_str());
    std::fflush(stderr);
  }

 private:
  static constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
  static constexpr int kBarWidth = 30;
  static constexpr auto kRateWindow = std::chrono::seconds(5);

  // The time the byte counts of the download started and last moved.
  void NoteBytes() {
    if (!m_bTerminal || !m_bytes.bActive) return;
    const auto now = CoarseNow();
    if (!m_bPhaseSeen) {
      m_bPhaseSeen = true;
      m_phaseStart = now;
    }
    m_lastBytes = now;
  }

  // Bytes a second over the last few seconds, as curl shows it, so that the
  // rate and the time left follow a server that speeds up or slows down; 0
  // while less than a quarter second has been seen (the rate is noise then).
  double Rate() {
    if (!m_bPhaseSeen) return 0;  // no byte has been counted yet
    if (m_samples.empty()) m_samples.emplace_back(m_phaseStart, 0);
    m_samples.emplace_back(m_lastBytes, m_bytes.nPhaseMoved);
    while (m_samples.size() > 2 && m_samples.back().first - m_samples[1].first >= kRateWindow) {
      m_samples.pop_front();
    }
    const auto [tFirst, nFirst] = m_samples.front();
    const double dSeconds = std::chrono::duration<double>(m_lastBytes - tFirst).count();
    return dSeconds >= 0.25 ? static_cast<double>(m_bytes.nPhaseMoved - nFirst) / dSeconds : 0;
  }

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

  void Redraw(bool bForce) {
    if (!m_bTerminal) return;
    const auto now = CoarseNow();
    if (!bForce && m_bDrawn && now - m_lastDraw < kRedrawInterval) return;
    if (m_staticCurrent.GetWindowText().empty() && m_staticOverall.GetWindowText().empty()) return;
    // Bars that are full belong to a phase that has ended (the replacement
    // sets none of its own): they are not progress to show.
    auto full = [](const CProgressCtrl& bar) {
      return bar.GetUpper() > bar.GetLower() && bar.GetPos() >= bar.GetUpper();
    };
    if (!m_bytes.bActive && full(m_progressCurrent) && full(m_progressOverall)) {
      Erase();
      return;
    }
    m_lastDraw = now;
    // Read each time: a line wider than the terminal would wrap, and the
    // next redraw would land a line short.
    const std::size_t nColumns = StderrColumns();
    m_nColumns = nColumns > 0 ? nColumns : 80;
    std::string strOut = m_bDrawn ? "\x1b[2A" : "";
    if (m_bytes.bActive) {
      const double dRate = Rate();
      strOut +=
          "\r\x1b[K" +
          ProgressLine({OneLine(m_bytes.strFile), m_bytes.nFileDone, m_bytes.nFileTotal, dRate}, m_nColumns) +
          "\n";
      strOut += "\r\x1b[K" +
                ProgressLine({OneLine(m_staticOverall.GetWindowText()), m_bytes.nPhaseDone,
                              m_bytes.nPhaseTotal, dRate},
                             m_nColumns) +
                "\n";
    } else {
      strOut += "\r\x1b[K" + Line(m_staticCurrent, m_progressCurrent) + "\n";
      strOut += "\r\x1b[K" + Line(m_staticOverall, m_progressOverall) + "\n";
    }
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
  bool m_bPhaseSeen = false;
  std::chrono::nanoseconds m_phaseStart{0};
  std::chrono::nanoseconds m_lastBytes{0};
  // (time, bytes of the phase) at recent redraws, at most kRateWindow apart.
  using Sample = std::pair<std::chrono::nanoseconds, ULONGLONG>;
  std::deque<Sample> m_samples;
  std::string m_strLastStatus;
  bool m_bDetailSinceStatus = false;
};

}  // namespace

int RunConsole(const UpdateSettings& settings) {
  // Ctrl-C and a polite kill stop the update cleanly rather than mid-write,
  // and a reader of stdout that goes away must not end it half-way.
  CatchStopSignals(&g_bStopAsked);

  if (!InitNetwork()) {
    std::fprintf(stderr, "qvnupdate: Windows sockets initialization failed.\n");
    return 2;
  }

  CConsoleReporter view;
  try {
    const BOOL bResult = RunUpdate(view, settings);
    view.Summarize();
    if (bResult) return 0;
    view.ExplainFailure();
    return 1;
  } catch (const CCancelledException&) {
    return kCancelledExit;
  } catch (const CException& e) {
    const std::string strText = e.GetErrorMessage();
    view.Error(strText.empty() ? "Internal application error." : strText);
    for (const std::string& strHint : FailureHints(e, settings)) view.AddDetail(strHint);
  } catch (const std::bad_alloc&) {
    view.Error("Out of memory.");
  } catch (const std::exception& e) {
    view.Error(*e.what() != '\0' ? e.what() : "Internal application error.");
  } catch (...) {
    view.Error("Internal application error.");
  }
  return 2;
}
