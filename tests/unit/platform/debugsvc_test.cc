// The debug shell: the registry, the output capture, and the protocol on the
// real socket served by the real loop.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/businternal.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

uint32_t EchoCmd(uintptr_t ulArg1, uintptr_t ulArg2) {
  LUM_Debug_Print("echo %lu %lu\n", static_cast<unsigned long>(ulArg1),
                  static_cast<unsigned long>(ulArg2));
  LUM_Debug_Print("no newline");
  return 23;
}

uint32_t BigCmd(uintptr_t, uintptr_t) {
  std::string line(1023, 'x');
  for (int i = 0; i < 2048; ++i) LUM_Debug_Print("%s\n", line.c_str());
  return 0;
}

uint32_t QuietCmd(uintptr_t, uintptr_t) { return 0xBB0000; }

LUM_DEBUG_CMD g_astCmds[] = {{"echo", EchoCmd}, {"big", BigCmd}, {"quiet", QuietCmd}};

// Registered before main, as the daemon's diagnostics module does.
const bool g_bRegistered = LUM_Debug_RegModCmds("dbgtest", g_astCmds, 3) == 0;

TEST(DebugRegistry, ARunawayOutputIsCutAtOneMebibyte) {
  ASSERT_TRUE(g_bRegistered);
  EXPECT_EQ(lum::testing::RunDebugCommand("dbgtest", "big"), 0);
  const std::string &out = lum::testing::DebugOutput();
  EXPECT_LE(out.size(), 1024u * 1024u + 64u);
  EXPECT_GT(out.size(), 1024u * 1024u - 1024u);
  EXPECT_TRUE(out.ends_with("\n[output cut at 1 MiB]\n"));
}

// --- The socket -------------------------------------------------------------

int Connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!lum::bus::MakeUnixAddr(path, &addr, &len) ||
      connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the request (if any), half-closes when asked, reads to the end.
std::string Exchange(int iFd, const std::string &request, bool bShutWrite = false) {
  send(iFd, request.data(), request.size(), MSG_NOSIGNAL);
  if (bShutWrite) shutdown(iFd, SHUT_WR);
  std::string answer;
  char buf[4096];
  for (;;) {
    pollfd pfd{iFd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1) return answer + "<timeout>";
    ssize_t n = recv(iFd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(iFd);
  return answer;
}

class DebugSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumdebug-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
    setenv("LUM_BUS_DIR", m_dir.c_str(), 1);
    lum::testing::UseRealClock();
    lum::testing::ReleaseBus();
    ASSERT_EQ(LUM_MSG_Init("dbgapp"), 0u);
    ASSERT_EQ(LUM_UTIL_SockBaseRegEvtProc(), 0u);
    m_path = m_dir + "/debug/dbgapp";
  }
  void TearDown() override {
    lum::bus::Shutdown();
    unsetenv("LUM_BUS_DIR");
    fs::remove_all(m_dir);
  }

  std::string Ask(const std::string &request) { return Exchange(Connect(m_path), request); }

  // Runs the loop on this thread while the client runs on another; the loop
  // stops when the client is done, or after a watchdog period.
  void Serve(const std::function<void()> &client) {
    uint32_t watchdog = LUM_UTIL_TimerAdd(
        10000, 1, [](void *) { LUM_UTIL_SockBaseStop(); }, nullptr);
    std::thread thread([&client] {
      client();
      LUM_UTIL_SockBaseStop();
    });
    LUM_UTIL_SockBaseStart(0);
    thread.join();
    EXPECT_EQ(LUM_UTIL_TimerDelete(watchdog), 0u) << "the loop was stopped by the watchdog";
  }

  std::string m_dir;
  std::string m_path;
};

TEST_F(DebugSocketTest, CommandOutputThenTheResultTrailerOrAnError) {
  std::string answer, quiet, unknown, badArg, usage, noNewline;
  Serve([&] {
    answer = Ask("dbgtest echo 7 0x10\n");
    quiet = Ask("  dbgtest\tquiet \r\n");
    unknown = Ask("dbgtest nope\n");
    badArg = Ask("dbgtest echo 12z\n");
    usage = Ask("dbgtest echo 1 2 3\n");
    // End of stream ends the request as a newline would.
    noNewline = Exchange(Connect(m_path), "dbgtest echo 1", true);
  });
  EXPECT_EQ(answer, "echo 7 16\nno newline\0result 23\n"s);
  EXPECT_EQ(quiet, "\0result 12255232\n"s);
  EXPECT_EQ(unknown,
            "\0error unknown command 'nope' in module 'dbgtest' (commands: echo big quiet)\n"s);
  EXPECT_EQ(badArg, "\0error bad argument '12z': a number, decimal or 0x hex\n"s);
  EXPECT_EQ(usage, "\0error usage: MODULE COMMAND [ARG1 [ARG2]]\n"s);
  EXPECT_EQ(noNewline, "echo 1 0\nno newline\0result 23\n"s);
}

TEST_F(DebugSocketTest, SilentOrLongWindedClientsDoNotHoldTheLoop) {
  std::string silentAnswer, longAnswer, goodAnswer;
  std::chrono::steady_clock::duration goodTook{};
  Serve([&] {
    int silent = Connect(m_path);
    int longWinded = Connect(m_path);
    std::string flood(300, 'a');
    send(longWinded, flood.data(), flood.size(), MSG_NOSIGNAL);
    // A client that asks and leaves without reading.
    int rude = Connect(m_path);
    send(rude, "dbgtest big\n", 12, MSG_NOSIGNAL);
    close(rude);
    auto start = std::chrono::steady_clock::now();
    goodAnswer = Ask("dbgtest echo 1 2\n");
    goodTook = std::chrono::steady_clock::now() - start;
    silentAnswer = Exchange(silent, "");
    longAnswer = Exchange(longWinded, "");
  });
  EXPECT_EQ(silentAnswer, "\0error no request in time\n"s);
  EXPECT_EQ(longAnswer, "\0error request too long\n"s);
  EXPECT_EQ(goodAnswer, "echo 1 2\nno newline\0result 23\n"s);
  // One second for the silent client, then the rest at once.
  EXPECT_LT(goodTook, std::chrono::milliseconds(2500));
}

}  // namespace
