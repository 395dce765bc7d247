// The command line of the real executable: version mode and the client mode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/system/proc.h"

namespace {

std::string Env(const systest::TempDir &dir) {
  return "LUM_BUS_DIR=" + (dir / "bus") + " LUM_DB_FILE=" + (dir / "cfg.db") +
         " LUM_MLOG_FILE=" + (dir / "mlog.log") + " LUM_EVENT_LOG=" + (dir / "event.log") + " ";
}

bool Exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

TEST(CommandLine, VersionModeTracesAndTouchesNeitherBusNorDatabase) {
  systest::TempDir dir;
  systest::CommandResult r =
      systest::Run(Env(dir) + "LUM_TRACE=- " + systest::Bin("hostmon") + " lumv");
  EXPECT_EQ(r.iStatus, 0);
  // One trace line: uptime, file and line, then "\r\n.\n".
  EXPECT_NE(r.output.find("\r\n.\n"), std::string::npos) << r.output;
  EXPECT_FALSE(Exists(dir / "bus"));
  EXPECT_FALSE(Exists(dir / "cfg.db"));
}

TEST(CommandLine, ClientSendsExactlyOneUpdateAndNothingForAnUnknownWord) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  systest::TempDir dir;
  std::string listen = Env(dir) + systest::Bin("lumbus") + " listen hostmon --count 2 --timeout 3";
  systest::Background listener(listen, dir / "listen.out");
  ASSERT_TRUE(systest::WaitFor(dir / "bus/hostmon", 3000));

  EXPECT_EQ(systest::Run(Env(dir) + systest::Bin("hostmon") + " test nothing").iStatus, 0);
  EXPECT_EQ(systest::Run(Env(dir) + systest::Bin("hostmon") + " test update").iStatus, 0);
  // A daemon that is not there is no error for the client either.
  EXPECT_EQ(systest::Run("LUM_BUS_DIR=" + (dir / "nobody") + " " + systest::Bin("hostmon") +
                         " test update")
                .iStatus,
            0);

  // Two were asked for, one came: the listener times out with exactly one line.
  int status = -1;
  for (int i = 0; i < 100 && listener.Running(); ++i) usleep(50000);
  status = listener.Stop();
  std::string out = systest::ReadFile(dir / "listen.out");
  EXPECT_NE(status, 0);
  size_t messages = 0;
  for (size_t at = out.find("type="); at != std::string::npos; at = out.find("type=", at + 1)) {
    ++messages;
  }
  EXPECT_EQ(messages, 1u) << out;
  EXPECT_NE(out.find("type=0xbb04"), std::string::npos) << out;
  EXPECT_NE(out.find("name=LUM_MSG_HOSTMON_UPDATA_ALL_NODES"), std::string::npos) << out;
  EXPECT_NE(out.find("data=0x00000000 len=0"), std::string::npos) << out;
}

}  // namespace
