#pragma once
// What qvnpack serve needs of the system: the folder it serves and the files
// below it, reached without leaving it; its listening socket; and the stop
// requests (Ctrl-C, a polite kill) it waits for.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"

// The absolute name, links resolved, of the folder strDir in strRoot. On
// false, strError says why: the system's reason, or "it is not a folder".
bool ResolveServedFolder(const std::string& strDir, std::string& strRoot, std::string& strError);

// True when the file strName can be opened for reading.
bool IsReadableFile(const std::string& strName);

// True when strHost names an address to listen on (a literal address or a
// name that resolves); false, with the resolver's reason, otherwise.
bool IsBindableAddress(const std::string& strHost, std::string& strError);

// A regular file below the served folder, open for reading.
class CServedFile {
 public:
  // Opens strRel below strRoot (a name from ResolveServedFolder). Links are
  // followed only while they stay inside strRoot; anything but a regular file
  // (a folder, a FIFO, a device) is refused. Null when it cannot be served.
  static std::unique_ptr<CServedFile> Open(const std::string& strRoot, const std::string& strRel);
  ~CServedFile();
  CServedFile(const CServedFile&) = delete;
  CServedFile& operator=(const CServedFile&) = delete;

  // Its size when it was opened.
  ULONGLONG Size() const { return m_nSize; }

  // Reads up to nLength bytes at nOffset into pBuffer: returns how many, 0 at
  // the end of the file, -1 on an error. Safe from several threads at once.
  long long ReadAt(ULONGLONG nOffset, char* pBuffer, std::size_t nLength) const;

  // Closes the file now rather than when the last owner lets go.
  void Close();

 private:
  CServedFile(std::intptr_t nHandle, ULONGLONG nSize) : m_nHandle(nHandle), m_nSize(nSize) {}
  std::intptr_t m_nHandle;
  ULONGLONG m_nSize;
};

// The listening socket's options, before it is bound: its address is
// reusable at once when a server is restarted, but its port is never shared
// with a second server listening on it (each would answer half the requests).
void SetListenSocketOptions(std::intptr_t nSocket);

// After it is bound: room for a crowd of clients that connect at once.
void WidenListenBacklog(std::intptr_t nSocket);

// From now on, Ctrl-C and a polite kill (SIGTERM) are only taken by
// WaitForStopRequest, and a client that goes away mid-answer (SIGPIPE) ends
// nothing. Call before starting threads: they inherit it.
void HoldStopRequests();

// Waits until Ctrl-C, a polite kill or RequestStop asks the server to stop.
void WaitForStopRequest();

// Wakes WaitForStopRequest, from any thread.
void RequestStop();
