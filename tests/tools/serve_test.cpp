// qvnpack serve as a process: what it answers, to the project's own HTTP
// client and to raw requests that no polite client would send.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_client.h"
#include "support/programs.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qvntest::TempDir;
using qvntest::WriteFile;

const std::string kQvnpack = QVN_BIN_DIR "/qvnpack";

// qvnpack serve running in the background for one test. The first line it
// prints gives the port; the rest is its request log.
class ServeProcess {
 public:
  explicit ServeProcess(std::vector<std::string> arrArgs) {
    arrArgs.insert(arrArgs.begin(), {kQvnpack, "serve"});
    std::vector<char*> argv;
    for (auto& s : arrArgs) argv.push_back(s.data());
    argv.push_back(nullptr);
    int fdOut[2];
    if (pipe2(fdOut, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid == 0) {
      dup2(fdOut[1], 1);
      const int fdNull = open("/dev/null", O_WRONLY);
      if (fdNull >= 0) dup2(fdNull, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fdOut[1]);
    m_fdOut = fdOut[0];
  }
  ~ServeProcess() {
    if (m_pid > 0) Stop(SIGKILL);
    if (m_fdOut >= 0) close(m_fdOut);
  }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  // The first line of output, waiting at most 10 seconds for it.
  std::string FirstLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_strOut.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (!ReadSome(100)) break;
    }
    return m_strOut.substr(0, m_strOut.find('\n'));
  }
  int Port() {
    const std::string strLine = FirstLine();
    const size_t nColon = strLine.rfind(':');
    return nColon == std::string::npos ? 0 : std::atoi(strLine.c_str() + nColon + 1);
  }

  // Sends nSignal and waits at most 10 seconds for the exit; returns the exit
  // status, or -1 when it had to be killed.
  int Stop(int nSignal = SIGTERM) {
    kill(m_pid, nSignal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int nStatus = 0;
    while (waitpid(m_pid, &nStatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &nStatus, 0);
        m_pid = -1;
        return -1;
      }
      ReadSome(20);
    }
    m_pid = -1;
    while (ReadSome(0)) {
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
  }
  const std::string& Output() const { return m_strOut; }

 private:
  bool ReadSome(int nMillis) {
    pollfd p{m_fdOut, POLLIN, 0};
    if (poll(&p, 1, nMillis) <= 0) return nMillis > 0;
    char buf[4096];
    const ssize_t n = read(m_fdOut, buf, sizeof buf);
    if (n <= 0) return false;
    m_strOut.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t m_pid = -1;
  int m_fdOut = -1;
  std::string m_strOut;
};

struct RawAnswer {
  int nStatus = 0;
  std::string strHeaders;  // the status line and header lines, CRLF kept
  std::string strBody;
};

// A loopback connection to nPort, or -1.
int ConnectTo(int nPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the request line exactly as given, so that nothing normalises "..",
// with strHeaders (each ending in CRLF) added.
RawAnswer RawGet(int nPort, const std::string& strTarget, const std::string& strHeaders = "") {
  RawAnswer answer;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return answer;
  }
  const std::string strRequest =
      "GET " + strTarget + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + strHeaders + "\r\n";
  send(fd, strRequest.data(), strRequest.size(), MSG_NOSIGNAL);
  std::string strAll;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) strAll.append(buf, static_cast<size_t>(n));
  close(fd);
  if (strAll.rfind("HTTP/1.", 0) == 0 && strAll.size() > 12) answer.nStatus = std::atoi(strAll.c_str() + 9);
  const size_t nEnd = strAll.find("\r\n\r\n");
  if (nEnd != std::string::npos) {
    answer.strHeaders = strAll.substr(0, nEnd + 2);
    answer.strBody = strAll.substr(nEnd + 4);
  }
  return answer;
}

// GET through the updater's own client: status and body.
RawAnswer ClientGet(int nPort, const std::string& strObject) {
  CInternetSession session;
  session.SetStallTimeout(10);
  auto pConnection = session.GetHttpConnection("127.0.0.1", 0, static_cast<INTERNET_PORT>(nPort));
  auto pFile = pConnection->OpenRequest("GET", strObject);
  pFile->SendRequest();
  RawAnswer answer;
  DWORD dwStatus = 0;
  pFile->QueryInfoStatusCode(dwStatus);
  answer.nStatus = static_cast<int>(dwStatus);
  char buf[4096];
  while (const UINT n = pFile->Read(buf, sizeof buf)) answer.strBody.append(buf, n);
  pFile->Close();
  return answer;
}

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = m_temp.Path() / "updates";
    WriteFile(m_dir / "UpdateInfo.txt", "[GENERAL]\nVERSION: 1.2.0.5\n");
    WriteFile(m_dir / "sub" / "Engine.dll.crz", qvntest::PatternData(300000, 1));
    WriteFile(m_dir / "Read Me#1.txt", "spaces and a hash\n");
    WriteFile(m_dir / "empty.dat", "");
    WriteFile(m_dir / "back\\slash.txt", "not for the web\n");
    WriteFile(m_dir / "line\nfeed.txt", "not for the web\n");
    WriteFile(m_temp.Path() / "secret.txt", "not for the web\n");
    fs::create_symlink("../secret.txt", m_dir / "link-out");
    fs::create_symlink("sub/Engine.dll.crz", m_dir / "link-in");
    mkfifo((m_dir / "fifo").c_str(), 0600);
  }

  TempDir m_temp;
  fs::path m_dir;
};

TEST_F(ServeTest, PrintsWhereItServesAndAnswersTheUpdatersClient) {
  ServeProcess serve({m_dir.string(), "--port", "0"});
  const int nPort = serve.Port();
  ASSERT_GT(nPort, 0) << serve.Output();
  EXPECT_EQ(serve.FirstLine(),
            "Serving " + m_dir.string() + " at http://127.0.0.1:" + std::to_string(nPort) + "/Updates/");

  // Byte for byte, subfolders and escaped names included.
  RawAnswer answer = ClientGet(nPort, "/Updates/UpdateInfo.txt");
  EXPECT_EQ(answer.nStatus, 200);
  EXPECT_EQ(answer.strBody, "[GENERAL]\nVERSION: 1.2.0.5\n");
  answer = ClientGet(nPort, "/Updates/sub/Engine.dll.crz");
  EXPECT_EQ(answer.nStatus, 200);
  EXPECT_TRUE(answer.strBody == qvntest::PatternData(300000, 1)) << answer.strBody.size() << " bytes";
  answer = ClientGet(nPort, "/Updates/Read%20Me%231.txt");
  EXPECT_EQ(answer.nStatus, 200);
  EXPECT_EQ(answer.strBody, "spaces and a hash\n");
  answer = ClientGet(nPort, "/Updates/empty.dat");
  EXPECT_EQ(answer.nStatus, 200);
  EXPECT_EQ(answer.strBody, "");
  answer = ClientGet(nPort, "/Updates/missing.dll");
  EXPECT_EQ(answer.nStatus, 404);

  EXPECT_EQ(serve.Stop(SIGTERM), 0);
  // One line per request: method, path, status, bytes.
  const std::string& strLog = serve.Output();
  EXPECT_NE(strLog.find("\nGET /Updates/UpdateInfo.txt 200 27\n"), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("\nGET /Updates/sub/Engine.dll.crz 200 300000\n"), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("\nGET /Updates/Read%20Me%231.txt 200 18\n"), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("\nGET /Updates/empty.dat 200 0\n"), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("\nGET /Updates/missing.dll 404 10\n"), std::string::npos) << strLog;
}

TEST_F(ServeTest, AnswersNothingOutsideTheUpdatesFolderOrOutsideDir) {
  ServeProcess serve({m_dir.string(), "--port=0"});
  const int nPort = serve.Port();
  ASSERT_GT(nPort, 0) << serve.Output();

  struct Case {
    const char* target;
    int nStatus;
  };
  const Case cases[] = {
      // Only below /Updates/.
      {"/UpdateInfo.txt", 404},
      {"/updates/UpdateInfo.txt", 404},
      {"/Updates", 404},
      // Folders are not listed.
      {"/Updates/", 404},
      {"/Updates/sub", 404},
      {"/Updates/sub/", 404},
      // ".." never leaves DIR, however it is spelled.
      {"/Updates/../secret.txt", 404},
      {"/Updates/sub/../../secret.txt", 404},
      {"/Updates/%2e%2e/secret.txt", 404},
      {"/Updates/%2E%2E%2Fsecret.txt", 404},
      {"/Updates/sub/..%2f..%2fsecret.txt", 404},
      {"/Updates/sub/../Read%20Me%231.txt", 404},
      {"/%55pdates/..%2fsecret.txt", 404},
      // Second spellings of a name are refused, not resolved.
      {"/Updates/./UpdateInfo.txt", 404},
      {"/Updates//UpdateInfo.txt", 404},
      {"/Updates/UpdateInfo.txt%00.dll", 404},
      // Names that no update item has are not served, though the files exist.
      {"/Updates/back%5Cslash.txt", 404},
      {"/Updates/line%0Afeed.txt", 404},
      // Symbolic links are followed only inside DIR; only regular files are sent.
      {"/Updates/link-out", 404},
      {"/Updates/link-in", 200},
      {"/Updates/fifo", 404},
      // Escapes are decoded once; a query string is not part of the name.
      {"/Updates/Read%20Me%231.txt", 200},
      {"/Updates/sub%2FEngine.dll.crz", 200},
      {"/Updates/UpdateInfo.txt?v=2", 200},
      {"/Updates/UpdateInfo%252etxt", 404},
  };
  for (const Case& c : cases) {
    const RawAnswer answer = RawGet(nPort, c.target);
    EXPECT_EQ(answer.nStatus, c.nStatus) << c.target;
    EXPECT_EQ(answer.strBody.find("not for the web"), std::string::npos) << c.target;
  }
  EXPECT_EQ(serve.Stop(SIGINT), 0);
}

// Bad arguments and an unusable folder are usage errors (2); a port that
// cannot be had is a failure (1). Each says why.
TEST_F(ServeTest, RefusesBadArgumentsWithAReason) {
  struct Case {
    std::vector<std::string> args;
    int nExit;
    const char* reason;
  };
  const std::string strFile = (m_dir / "empty.dat").string();
  const Case cases[] = {
      {{}, 2, "no directory given"},
      {{(m_temp.Path() / "nowhere").string()}, 2, "No such file or directory"},
      {{strFile}, 2, "it is not a folder"},
      {{m_dir.string(), "--port", "65536"}, 2, "the port must be a number from 0 to 65535"},
      {{m_dir.string(), "--port", "80x"}, 2, "the port must be a number from 0 to 65535"},
      {{m_dir.string(), "--port"}, 2, "option '--port' needs a value"},
      {{m_dir.string(), "--color"}, 2, "unknown option '--color'"},
      {{m_dir.string(), m_dir.string()}, 2, "only one directory can be served"},
      {{m_dir.string(), "--bind", "1.2.3.4.5"}, 2, "--bind: '1.2.3.4.5' is no address"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"serve"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const qvntest::ProcessResult result = qvntest::RunQvnpack(args);
    EXPECT_EQ(result.nExit, c.nExit) << result.strErr;
    EXPECT_NE(result.strErr.find(c.reason), std::string::npos) << result.strErr;
  }
}

TEST_F(ServeTest, APortInUseIsAFailureThatSaysSo) {
  int nPort = 0;
  const int fd = qvntest::ListenOnLoopback(nPort);
  ASSERT_GE(fd, 0);
  const std::string strPort = std::to_string(nPort);

  const qvntest::ProcessResult result = qvntest::RunQvnpack({"serve", m_dir.string(), "--port", strPort});
  close(fd);
  EXPECT_EQ(result.nExit, 1);
  EXPECT_NE(result.strErr.find("cannot listen on 127.0.0.1 port " + strPort), std::string::npos)
      << result.strErr;
  EXPECT_EQ(result.strOut, "");

  // Nor does a second server share the port of a first.
  ServeProcess first({m_dir.string(), "--port", "0"});
  const std::string strFirst = std::to_string(first.Port());
  const qvntest::ProcessResult second = qvntest::RunQvnpack({"serve", m_dir.string(), "--port", strFirst});
  EXPECT_EQ(second.nExit, 1);
  EXPECT_NE(second.strErr.find("cannot listen on 127.0.0.1 port " + strFirst), std::string::npos)
      << second.strErr;
  EXPECT_EQ(first.Stop(), 0);
}

// What a web server must not do: serve hidden files the manifest does not
// list, send a range with the wrong status or headers, let idle clients keep
// everyone else waiting.
TEST_F(ServeTest, HiddenNamesRangesAndIdleClients) {
  WriteFile(m_dir / "UpdateInfo.txt",
            "[GENERAL]\nVERSION: 2\n[FILES]\nNUMBERITEMS: 1\nITEM: 1\nNAME: .listed\n");
  WriteFile(m_dir / ".listed", "listed\n");
  WriteFile(m_dir / ".htpasswd", "not for the web\n");
  WriteFile(m_dir / "sub" / ".hidden", "not for the web\n");
  WriteFile(m_dir / "ten.txt", "0123456789");
  ServeProcess serve({m_dir.string(), "--port", "0"});
  const int nPort = serve.Port();
  ASSERT_GT(nPort, 0) << serve.Output();

  // Idle clients, which every worker used to wait for in turn.
  std::vector<int> arrIdle;
  for (int i = 0; i < 200; ++i) arrIdle.push_back(ConnectTo(nPort));

  struct Case {
    const char* target;
    const char* range;  // the Range header's value, or null
    int nStatus;
    const char* contentRange;  // null when there must be none
    const char* body;
  };
  const Case cases[] = {
      {"/Updates/.htpasswd", nullptr, 404, nullptr, "Not Found\n"},
      {"/Updates/sub/.hidden", nullptr, 404, nullptr, "Not Found\n"},
      {"/Updates/.listed", nullptr, 200, nullptr, "listed\n"},
      {"/Updates/ten.txt", nullptr, 200, nullptr, "0123456789"},
      {"/Updates/ten.txt", "bytes=2-4", 206, "bytes 2-4/10", "234"},
      {"/Updates/ten.txt", "bytes=7-", 206, "bytes 7-9/10", "789"},
      {"/Updates/ten.txt", "bytes=-3", 206, "bytes 7-9/10", "789"},
      {"/Updates/ten.txt", "bytes=8-100", 206, "bytes 8-9/10", "89"},
      {"/Updates/ten.txt", "bytes=10-", 200, nullptr, "0123456789"},
      {"/Updates/ten.txt", "bytes=0-1,4-5", 200, nullptr, "0123456789"},
      // A Range that cannot be read is ignored.
      {"/Updates/ten.txt", "bytes=5-3", 200, nullptr, "0123456789"},
      {"/Updates/ten.txt", "items=0-1", 200, nullptr, "0123456789"},
      {"/Updates/.htpasswd", "bytes=abc", 404, nullptr, "Not Found\n"},
      {"/Updates/empty.dat", "bytes=0-", 200, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + (c.range ? c.range : ""));
    const RawAnswer answer =
        RawGet(nPort, c.target, c.range ? std::string("Range: ") + c.range + "\r\n" : "");
    EXPECT_EQ(answer.nStatus, c.nStatus);
    EXPECT_EQ(answer.strBody, c.body);
    const size_t nRange = answer.strHeaders.find("\r\nContent-Range: ");
    if (c.contentRange) {
      EXPECT_NE(answer.strHeaders.find("\r\nContent-Range: " + std::string(c.contentRange) + "\r\n"),
                std::string::npos)
          << answer.strHeaders;
    } else {
      EXPECT_EQ(nRange, std::string::npos) << answer.strHeaders;
    }
  }
  for (const int fd : arrIdle) {
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
  }
  EXPECT_EQ(serve.Stop(), 0);
}

}  // namespace
