// One request, alike on every system: sending it through the backend, reading
// its status and streaming its body through the backend's buffer.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "platform/http_backend.h"
#include "platform/http_client.h"
#include "platform/http_lines.h"

std::string RangeHeader(ULONGLONG nFrom) {
  return nFrom > 0 ? "Range: bytes=" + std::to_string(nFrom) + "-" : std::string();
}

bool IsInvalidName(std::string strHost) {
  std::transform(strHost.begin(), strHost.end(), strHost.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (!strHost.empty() && strHost.back() == '.') strHost.pop_back();
  const std::string strSuffix = ".invalid";
  return strHost == "invalid" ||
         (strHost.size() > strSuffix.size() &&
          strHost.compare(strHost.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0);
}

CHttpFile::CHttpFile(const CInternetSession& session, CHttpUrl url, DWORD dwFlags)
    : m_session(session), m_strUrl(url.GetFullText()) {
  m_request.url = std::move(url);
  m_request.dwFlags = dwFlags;
  m_request.strAgent = session.GetAgent();
  m_request.strCaFile = session.GetCaFile();
  m_request.nStallTimeout = session.GetStallTimeout();
  m_request.fnCancelled = session.GetCancelCheck();
}

CHttpFile::~CHttpFile() {
  Close();
}

void CHttpFile::FailTooLong() {
  throw CInternetException(CInternetException::Kind::kTooLong, 0,
                           "The answer is longer than " + std::to_string(m_nMaxBody) + " bytes", m_strUrl);
}

BOOL CHttpFile::SendRequest() {
  Close();
  m_strContentRange.clear();
  m_strLocation.clear();
  m_bLengthGiven = false;
  m_pImpl = NewHttpRequest(m_session, m_request);
  m_pImpl->Send();
  m_strContentRange = m_pImpl->strContentRange;
  m_strLocation = m_pImpl->strLocation;
  m_bLengthGiven = m_pImpl->bLengthGiven;
  return TRUE;
}

bool CHttpFile::Fill() {
  if (!m_pImpl) return false;
  Impl& impl = *m_pImpl;
  while (impl.nHead == impl.nTail) {
    impl.nHead = impl.nTail = 0;
    if (!impl.Receive()) return false;
  }
  return true;
}

UINT CHttpFile::Read(void* pBuffer, UINT nCount) {
  char* pOut = static_cast<char*>(pBuffer);
  UINT nRead = 0;
  while (nRead < nCount && Fill()) {
    Impl& impl = *m_pImpl;
    const size_t n = std::min<size_t>(nCount - nRead, impl.nTail - impl.nHead);
    if (m_nDelivered + n > m_nMaxBody) FailTooLong();
    std::memcpy(pOut + nRead, impl.buffer.data() + impl.nHead, n);
    impl.nHead += n;
    m_nDelivered += n;
    nRead += static_cast<UINT>(n);
  }
  return nRead;
}

BOOL CHttpFile::ReadString(std::string& strLine) {
  strLine.clear();
  while (Fill()) {
    Impl& impl = *m_pImpl;
    bool bComplete = false;
    const size_t n =
        TakeLineBytes(impl.buffer.data() + impl.nHead, impl.nTail - impl.nHead, strLine, bComplete);
    if (m_nDelivered + n > m_nMaxBody) FailTooLong();
    impl.nHead += n;
    m_nDelivered += n;
    if (bComplete) return TRUE;
  }
  // A last line without a line feed still counts, unless only carriage
  // returns were left of it.
  return strLine.empty() ? FALSE : TRUE;
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD& dwStatusCode) const {
  const bool bAnswered = m_pImpl && m_pImpl->bAnswered;
  dwStatusCode = bAnswered ? m_pImpl->dwStatus : 0;
  return bAnswered ? TRUE : FALSE;
}

void CHttpFile::Close() {
  m_pImpl.reset();
}
