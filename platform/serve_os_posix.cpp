#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/serve_os.h"

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

bool ResolveServedFolder(const std::string& strDir, std::string& strRoot, std::string& strError) {
  char szRoot[PATH_MAX];
  struct stat st;
  if (realpath(strDir.c_str(), szRoot) == nullptr || stat(szRoot, &st) != 0) {
    strError = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    strError = "it is not a folder";
    return false;
  }
  // Else every request would fail, each with a 404 that says nothing of why.
  if (access(szRoot, R_OK | X_OK) != 0) {
    strError = std::string("the folder cannot be read: ") + std::strerror(errno);
    return false;
  }
  strRoot = szRoot;
  return true;
}

bool IsReadableFile(const std::string& strName) {
  return access(strName.c_str(), R_OK) == 0;
}

bool IsBindableAddress(const std::string& strHost, std::string& strError) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // What looks like a literal address is read as one only: "1.2.3.4.5" is
  // no name to ask a name server about.
  const bool bLiteral =
      strHost.find_first_not_of("0123456789.") == std::string::npos || strHost.find(':') != std::string::npos;
  hints.ai_flags = AI_PASSIVE | (bLiteral ? AI_NUMERICHOST : 0);
  addrinfo* pResult = nullptr;
  const int nError = getaddrinfo(strHost.c_str(), nullptr, &hints, &pResult);
  if (nError != 0) {
    strError = gai_strerror(nError);
    return false;
  }
  freeaddrinfo(pResult);
  return true;
}

std::unique_ptr<CServedFile> CServedFile::Open(const std::string& strRoot, const std::string& strRel) {
  const std::string strPath = strRoot + "/" + strRel;
  char szResolved[PATH_MAX];
  if (realpath(strPath.c_str(), szResolved) == nullptr) return nullptr;
  const std::string strResolved = szResolved;
  if (strResolved.compare(0, strRoot.size() + 1, strRoot + "/") != 0) return nullptr;
  // O_NONBLOCK: opening a FIFO must not hang a worker; it is refused below anyway.
  const int fd = open(szResolved, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<CServedFile>(new CServedFile(fd, static_cast<ULONGLONG>(st.st_size)));
}

CServedFile::~CServedFile() {
  Close();
}

long long CServedFile::ReadAt(ULONGLONG nOffset, char* pBuffer, std::size_t nLength) const {
  if (m_nHandle < 0) return -1;
  return pread(static_cast<int>(m_nHandle), pBuffer, nLength, static_cast<off_t>(nOffset));
}

void CServedFile::Close() {
  if (m_nHandle >= 0) close(static_cast<int>(m_nHandle));
  m_nHandle = -1;
}

void SetListenSocketOptions(std::intptr_t nSocket) {
  // SO_REUSEADDR alone, not SO_REUSEPORT.
  const int nYes = 1;
  setsockopt(static_cast<int>(nSocket), SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof nYes);
}

void WidenListenBacklog(std::intptr_t nSocket) {
  // Listening again on a listening socket raises its backlog.
  listen(static_cast<int>(nSocket), SOMAXCONN);
}

void HoldStopRequests() {
  // Both are reset first, because a shell starts background jobs with SIGINT
  // ignored, and an ignored signal never reaches sigwait.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int nSignal = 0;
  sigwait(&signals, &nSignal);
}

void RequestStop() {
  kill(getpid(), SIGTERM);
}
