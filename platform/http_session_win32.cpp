// The WinINet side of the session: Windows Sockets' start-up, the Internet
// handle every request of the session opens its connection on, and what
// WinINet's error codes mean.
#include <winsock2.h>

#include "platform/http_flags.h"
#include "platform/http_win32.h"
#include "platform/wide_win32.h"

std::string InternetErrorText(DWORD dwError) {
  if (dwError < INTERNET_ERROR_BASE || dwError > INTERNET_ERROR_LAST) return SystemErrorText(dwError);
  // WinINet's own codes are described by wininet.dll, not by the system.
  wchar_t* pszText = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
      ::GetModuleHandleW(L"wininet.dll"), dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&pszText), 0, nullptr);
  std::wstring strText = n ? std::wstring(pszText, n) : std::wstring();
  if (pszText) ::LocalFree(pszText);
  while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r' || strText.back() == L' ' ||
                              strText.back() == L'.'))
    strText.pop_back();
  if (strText.empty()) return "WinINet error " + std::to_string(dwError);
  return WideToUtf8(strText);
}

CInternetException::Kind KindOfInternetError(DWORD dwError) {
  using Kind = CInternetException::Kind;
  switch (dwError) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return Kind::kResolve;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return Kind::kConnect;
    case ERROR_INTERNET_TIMEOUT:
      return Kind::kTimeout;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return Kind::kTls;
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return Kind::kCertificate;
    default:
      return Kind::kOther;
  }
}

bool CanTrustCaFile() {
  return false;
}

BOOL InitNetwork() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(1, 1), &data) == 0 ? TRUE : FALSE;
}

CInternetSession::CInternetSession(const std::string& strAgent) : m_strAgent(strAgent) {
  std::wstring strWide;
  Utf8ToWide(strAgent, strWide);
  // The system's proxy settings, as every other program of the user's.
  HINTERNET hInternet = ::InternetOpenW(strWide.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (hInternet == nullptr) {
    const DWORD dwError = ::GetLastError();
    throw CInternetException(KindOfInternetError(dwError), dwError, InternetErrorText(dwError), "");
  }
  m_pImpl = std::make_unique<Impl>();
  m_pImpl->hInternet = hInternet;
}

CInternetSession::~CInternetSession() {
  if (m_pImpl) ::InternetCloseHandle(m_pImpl->hInternet);
}
