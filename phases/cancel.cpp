#include "phases/cancel.h"

#include "platform/exception.h"

void ThrowIfCancelled(const CUpdateReporter& view) {
  if (view.IsCancelled()) throw CCancelledException();
}
