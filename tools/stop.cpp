#include "tools/stop.h"

#include <atomic>

#include "platform/console.h"

namespace {

std::atomic<bool> g_bStop{false};

}  // namespace

void CatchStops() {
  CatchStopSignals(&g_bStop);
}

void StopIfAsked() {
  if (g_bStop.load(std::memory_order_relaxed)) throw CStopped();
}
