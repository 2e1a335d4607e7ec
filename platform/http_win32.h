#pragma once
// The WinINet backend of the HTTP client. Private to platform/.
#include <string>

#include "platform/http_backend.h"
#include "platform/http_flags.h"

struct CInternetSession::Impl {
  HINTERNET hInternet = nullptr;  // InternetOpen's, for the whole session
};

// What a WinINet or Win32 error code means, in the client's words and in the
// system's.
CInternetException::Kind KindOfInternetError(DWORD dwError);
std::string InternetErrorText(DWORD dwError);
