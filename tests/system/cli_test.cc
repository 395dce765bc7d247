// The command line of the real executable: version mode and the client mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/system/proc.h"

namespace systest {
namespace {

std::string Env(const TempDir &dir) {
  return "LUM_BUS_DIR=" + (dir / "bus") + " LUM_DB_FILE=" + (dir / "cfg.db") +
         " LUM_MLOG_FILE=" + (dir / "mlog.log") + " LUM_EVENT_LOG=" + (dir / "event.log") + " ";
}

TEST(CommandLine, VersionModeTracesAndTouchesNeitherBusNorDatabase) {
  TempDir dir;
  CmdResult r = Shell(Env(dir) + "LUM_TRACE=- " + Bin("hostmon") + " lumv 2>&1");
  EXPECT_EQ(r.iExit, 0);
  // One trace line: uptime, file and line, then "\r\n.\n".
  EXPECT_NE(r.out.find("\r\n.\n"), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir / "bus"));
  EXPECT_FALSE(std::filesystem::exists(dir / "cfg.db"));
}

TEST(CommandLine, ClientSendsExactlyOneUpdateAndNothingForAnUnknownWord) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  Background listener(Env(dir) + Bin("lumbus") + " listen hostmon --count 2 --timeout 2",
                      dir / "listen.out");
  ASSERT_TRUE(PollUntil(3000, [&] { return std::filesystem::exists(dir / "bus/hostmon"); }));
  EXPECT_EQ(Shell(Env(dir) + Bin("hostmon") + " test nothing").iExit, 0);
  EXPECT_EQ(Shell(Env(dir) + Bin("hostmon") + " test update").iExit, 0);
  // A daemon that is not there is no error for the client either.
  EXPECT_EQ(Shell("LUM_BUS_DIR=" + (dir / "nobody") + " " + Bin("hostmon") + " test update").iExit,
            0);
  // Two were asked for, one came: the listener times out.
  PollUntil(5000, [&] { return !listener.Running(); });
  EXPECT_NE(listener.Stop(), 0);
  EXPECT_EQ(MessageLines(dir / "listen.out"),
            std::vector<std::string>{"type=0xbb04 name=LUM_MSG_HOSTMON_UPDATA_ALL_NODES from=\"\" "
                                     "data=0x00000000 len=0 payload="});
}

}  // namespace
}  // namespace systest
