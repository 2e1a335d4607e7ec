#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include "platform/args.h"
#include "platform/wide_win32.h"

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
