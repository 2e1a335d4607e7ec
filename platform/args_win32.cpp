#include "platform/args.h"

// <shellapi.h> needs <windows.h> first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdlib>

#include "platform/wide_win32.h"

namespace {

UINT g_nConsoleCodePage = 0;  // the console's own, put back at exit

void RestoreConsoleCodePage() {
  ::SetConsoleOutputCP(g_nConsoleCodePage);
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int nArgs = 0;
  wchar_t** ppszArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
  if (!ppszArgs)
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
  std::vector<std::string> arrArgs;
  for (int i = 1; i < nArgs; ++i) arrArgs.push_back(WideToUtf8(ppszArgs[i]));
  ::LocalFree(ppszArgs);
  return arrArgs;
}

void UseUtf8Console() {
  // 0 without a console (output to a file or a pipe): nothing to change.
  const UINT nCodePage = ::GetConsoleOutputCP();
  if (nCodePage == 0 || nCodePage == CP_UTF8 || g_nConsoleCodePage != 0) return;
  if (!::SetConsoleOutputCP(CP_UTF8)) return;
  g_nConsoleCodePage = nCodePage;
  std::atexit(RestoreConsoleCodePage);
}
