#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/terminal.h"

BOOL ReadSecretFromTerminal(const std::string& strPrompt, std::string& strSecret) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FALSE;
  termios saved{};
  const bool bTerminal = ::tcgetattr(fd, &saved) == 0;
  if (bTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSANOW, &quiet);
  }
  (void)!::write(fd, strPrompt.data(), strPrompt.size());
  strSecret.clear();
  BOOL bRead = FALSE;
  for (char c;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') {
      bRead = TRUE;
      break;
    }
    if (c != '\r') strSecret += c;
  }
  if (bTerminal) ::tcsetattr(fd, TCSANOW, &saved);
  ::close(fd);
  return bRead;
}
