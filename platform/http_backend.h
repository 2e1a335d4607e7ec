#pragma once
// What each system's backend (http_*_posix.cpp, http_*_win32.cpp) provides
// to the client's shared code: one request, sent and then drained through a
// buffer. Private to platform/.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/http_client.h"

struct CHttpFile::Impl {
  virtual ~Impl() = default;

  // Sends the request and waits for the final answer's headers; fills
  // dwStatus, bLengthGiven, strContentRange and strLocation. Throws CInternetException, or
  // CCancelledException when the cancel check asks for the stop.
  virtual void Send() = 0;
  // Moves the body on: adds bytes to buffer[nTail...) (the caller has taken
  // every buffered byte and reset nHead and nTail), or lets time pass. FALSE
  // once the body is over; throws as Send does, and when the body breaks off.
  virtual bool Receive() = 0;

  DWORD dwStatus = 0;
  bool bAnswered = false;
  bool bLengthGiven = false;  // the final answer has a Content-Length
  std::string strContentRange;
  std::string strLocation;
  // Body bytes received and not yet read: buffer[nHead, nTail).
  std::vector<char> buffer;
  std::size_t nHead = 0;
  std::size_t nTail = 0;
};

// The system's request for one URL; nothing is sent before Send().
std::unique_ptr<CHttpFile::Impl> NewHttpRequest(const CInternetSession& session,
                                                const CHttpFile::Request& request);

// "Range: bytes=N-" for a request from byte nFrom; empty for 0.
std::string RangeHeader(ULONGLONG nFrom);

// Names under ".invalid" never resolve (RFC 6761); they fail without a
// look-up, so that nothing leaves the machine for them.
bool IsInvalidName(std::string strHost);
