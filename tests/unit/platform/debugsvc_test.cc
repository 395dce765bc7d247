// The debug shell: the output cap, and the answers on the real socket served
// by the real loop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/businternal.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

using namespace std::string_literals;

uint32_t EchoCmd(uintptr_t ulArg1, uintptr_t ulArg2) {
  LUM_Debug_Print("echo %lu %lu\nno newline", static_cast<unsigned long>(ulArg1),
                  static_cast<unsigned long>(ulArg2));
  return 23;
}

uint32_t BigCmd(uintptr_t, uintptr_t) {
  for (int i = 0; i < 2048; ++i) LUM_Debug_Print("%s\n", std::string(1023, 'x').c_str());
  return 0;
}

LUM_DEBUG_CMD g_astCmds[] = {{"echo", EchoCmd}, {"big", BigCmd}};
// Registered before main, as the daemon's diagnostics module does.
const bool g_bRegistered = LUM_Debug_RegModCmds("dbgtest", g_astCmds, 2) == 0;

TEST(DebugShell, ARunawayOutputIsCutAtOneMebibyte) {
  ASSERT_TRUE(g_bRegistered);
  ASSERT_EQ(lum::testing::RunDebugCommand("dbgtest", "big"), 0);
  const std::string &out = lum::testing::DebugOutput();
  EXPECT_EQ(std::to_string(out.size() / 1024) + out.substr(out.size() - 25),
            "1024x\n\n[output cut at 1 MiB]\n");
}

// A client connected and its request sent, as the loop will find them.
int Ask(const std::string &path, const std::string &request) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  socklen_t len = 0;
  lum::bus::MakeUnixAddr(path, &addr, &len);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

TEST(DebugShell, AnswersAreTheOutputAndAResultTrailerOrAnErrorAndNoClientHoldsTheLoop) {
  std::string dir = (std::filesystem::temp_directory_path() / "lumdebug-test.XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  setenv("LUM_BUS_DIR", dir.c_str(), 1);
  lum::testing::UseRealClock();
  ASSERT_EQ(LUM_MSG_Init("dbgapp"), 0u);
  ASSERT_EQ(LUM_UTIL_SockBaseRegEvtProc(), 0u);
  const std::string path = dir + "/debug/dbgapp";
  // A silent client does not hold the loop, nor does one that leaves without
  // reading its answer; past 8 connections at once, a client is turned away.
  std::vector<int> clients = {Ask(path, "")};
  close(Ask(path, "dbgtest echo\n"));
  for (const char *request : {"dbgtest echo 7 0x10\n", "  dbgtest\techo 1 \r\n", "dbgtest nope\n",
                              "dbgtest echo 12z\n", "", "", "dbgtest echo\n"}) {
    clients.push_back(Ask(path, request));
  }
  std::vector<std::string> answers(clients.size());
  // Runs the loop for ulMs, then takes what each client was sent.
  auto run = [&](uint32_t ulMs) {
    LUM_UTIL_TimerAdd(
        ulMs, 1, [](void *) { LUM_UTIL_SockBaseStop(); }, nullptr);
    LUM_UTIL_SockBaseStart(0);
    char buf[256];
    for (size_t i = 0; i < clients.size(); ++i) {
      for (ssize_t n; (n = recv(clients[i], buf, sizeof(buf), MSG_DONTWAIT)) > 0;) {
        answers[i].append(buf, n);
      }
    }
  };
  run(300);  // the answers are out well before the silent clients' second
  EXPECT_EQ(answers[0] + answers[5] + answers[6], "");
  for (size_t i : {1, 2, 3, 4, 7}) EXPECT_TRUE(answers[i].ends_with('\n')) << i;
  run(1200);
  for (int fd : clients) close(fd);
  lum::bus::Shutdown();
  unsetenv("LUM_BUS_DIR");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(
      answers,
      (std::vector<std::string>{
          "\0error no request in time\n"s, "echo 7 16\nno newline\0result 23\n"s,
          "echo 1 0\nno newline\0result 23\n"s,
          "\0error unknown command 'nope' in module 'dbgtest' (commands: echo big)\n"s,
          "\0error bad argument '12z': a number, decimal or 0x hex\n"s,
          "\0error no request in time\n"s, "\0error no request in time\n"s, "\0error busy\n"s}));
}

}  // namespace
