#pragma once
// The flags a request is opened with (CHttpConnection::OpenRequest) and the
// one a connection is made with (INTERNET_FLAG_SECURE). On Windows they are
// <wininet.h>'s own; elsewhere ours, with the same values. The Linux client
// behaves as they ask whether they are given or not (no cache, no
// redirection); callers pass them to say what they rely on.
#include "platform/types.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wininet.h>
#else
namespace qvn_inet {
inline constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr DWORD INTERNET_FLAG_EXISTING_CONNECT = 0x20000000;
inline constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
inline constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
inline constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;
}  // namespace qvn_inet
using qvn_inet::INTERNET_FLAG_EXISTING_CONNECT;
using qvn_inet::INTERNET_FLAG_NO_AUTO_REDIRECT;
using qvn_inet::INTERNET_FLAG_NO_CACHE_WRITE;
using qvn_inet::INTERNET_FLAG_RELOAD;
using qvn_inet::INTERNET_FLAG_SECURE;
#endif
