// The command lines of the real executables: the daemon's version and client
// modes, the tools' help, version and usage errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "tests/system/daemon.h"
#include "tests/system/proc.h"

namespace systest {
namespace {

std::string Env(const TempDir &dir) {
  return "LUM_BUS_DIR=" + (dir / "bus") + " LUM_DB_FILE=" + (dir / "cfg.db") +
         " LUM_MLOG_FILE=" + (dir / "mlog.log") + " LUM_EVENT_LOG=" + (dir / "event.log") + " ";
}

// Exit status and standard error, with standard output dropped and no trace
// from the test's own environment in the way.
CmdResult Stderr(const std::string &command) {
  return Shell("unset LUM_TRACE; " + command + " 2>&1 >/dev/null");
}

std::string ProjectVersion() {
  std::smatch m;
  const std::string cmake = ReadFile(Source("CMakeLists.txt"));
  return std::regex_search(cmake, m, std::regex(R"(project\(hostmon VERSION ([0-9.]+))"))
             ? m[1].str()
             : "?";
}

// What `lumbus --version` says after the tool's name.
std::string BuildVersion() {
  std::string out = Shell(Bin("lumbus") + " --version").out;
  if (out.rfind("lumbus ", 0) != 0 || out.back() != '\n') return "?";
  return out.substr(7, out.size() - 8);
}

// A text that a regular expression matches literally.
std::string Literal(const std::string &text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The SYNOPSIS lines of a manual page's source, as they read rendered.
std::vector<std::string> ManSynopsis(const std::string &page) {
  std::istringstream in(ReadFile(Source("docs/man/" + page)));
  std::vector<std::string> lines;
  bool bInSynopsis = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(".SH", 0) == 0) {
      bInSynopsis = line == ".SH SYNOPSIS";
    } else if (bInSynopsis && line != ".nf" && line != ".fi") {
      if (line.rfind(".B ", 0) == 0) line.erase(0, 3);
      line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
      lines.push_back(std::regex_replace(line, std::regex(R"(\\-)"), "-"));
    }
  }
  return lines;
}

TEST(Cli, VersionModeTracesTheBuildVersionAndTouchesNeitherBusNorDatabase) {
  TempDir dir;
  CmdResult r = Shell(Env(dir) + "LUM_TRACE=- " + Bin("hostmon") + " lumv 2>&1");
  EXPECT_EQ(r.iExit, 0);
  // One trace line: uptime, file and line, then "\r\nVERSION.\n".
  EXPECT_NE(r.out.find("\r\n" + BuildVersion() + ".\n"), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir / "bus"));
  EXPECT_FALSE(std::filesystem::exists(dir / "cfg.db"));
  // Tracing off: not a byte.
  r = Shell(Env(dir) + "unset LUM_TRACE; " + Bin("hostmon") + " lumv 2>&1");
  EXPECT_EQ(r.iExit, 0);
  EXPECT_EQ(r.out, "");
}

TEST(Cli, ClientSendsExactlyOneUpdateAndNothingForAnUnknownWord) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  Background listener(Env(dir) + Bin("lumbus") + " listen hostmon --count 2 --timeout 2",
                      dir / "listen.out");
  ASSERT_TRUE(PollUntil(3000, [&] { return std::filesystem::exists(dir / "bus/hostmon"); }));
  const CmdResult unknown = Stderr(Env(dir) + Bin("hostmon") + " test bogus");
  EXPECT_EQ(unknown.iExit, 0);
  EXPECT_EQ(unknown.out,
            "hostmon: test bogus: unknown, nothing sent (known: addport, bridgeip, update)\n");
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

TEST(Cli, ToolsPrintTheirManualSynopsisAndTheBuildVersion) {
  const std::string version = BuildVersion();
  EXPECT_TRUE(
      std::regex_match(version, std::regex(Literal(ProjectVersion()) + R"(( \([^()]+\))?)")))
      << version;
  for (const std::string tool : {"lumbus", "lumdebug", "lumdb"}) {
    const std::vector<std::string> synopsis = ManSynopsis(tool + ".1");
    ASSERT_GE(synopsis.size(), 2u) << tool;
    for (const char *pcOption : {" --help", " -h"}) {
      CmdResult r = Shell(Bin(tool) + pcOption + " 2>/dev/null");
      EXPECT_EQ(r.iExit, 0) << tool << pcOption;
      // "usage: " before the first line, aligned under it the others.
      std::string expected = "usage: ";
      for (const std::string &line : synopsis) {
        expected += (expected.size() > 7 ? "       " : "") + line + "\n";
      }
      EXPECT_EQ(r.out.substr(0, expected.size()), expected) << tool << pcOption;
    }
    CmdResult r = Shell(Bin(tool) + " --version");
    EXPECT_EQ(r.iExit, 0);
    EXPECT_EQ(r.out, tool + " " + version + "\n");
  }
}

TEST(Cli, UsageErrorsNameTheProblemAndExitTwo) {
  TempDir dir;
  const std::string lumbus = Env(dir) + Bin("lumbus");
  const std::string range = " is out of range: at most 4294967295 (0xffffffff)\n";
  for (const auto &[command, message] : std::initializer_list<std::pair<std::string, std::string>>{
           {lumbus + " send hostmon 1 --bogus", "lumbus: unknown option --bogus\n"},
           {lumbus + " send hostmon 1 --data", "lumbus: --data needs a value\n"},
           {lumbus + " send hostmon 0x100000000", "lumbus: TYPE 0x100000000" + range},
           {lumbus + " publish 4294967296", "lumbus: TYPE 4294967296" + range},
           {lumbus + " send hostmon 1 --data 0x1ffffffff", "lumbus: --data 0x1ffffffff" + range},
           {lumbus + " send hostmon 1x",
            "lumbus: TYPE \"1x\" is not a number (decimal or 0x hex)\n"},
           {lumbus + " listen x --bogus 1", "lumbus: unknown option --bogus\n"},
           {Bin("lumdb") + " -f", "lumdb: -f needs a FILE\n"},
           {Bin("lumdb") + " get", "lumdb: get takes PATH\n"},
           {Bin("lumdebug") + " hostmon test",
            "lumdebug: needs APP, MODULE and COMMAND (lumdebug --help)\n"}}) {
    CmdResult r = Stderr(command);
    EXPECT_EQ(r.iExit, 2) << command;
    EXPECT_EQ(r.out, message) << command;
  }
  // The largest type is no usage error: it is sent, and nobody takes it.
  EXPECT_EQ(Stderr(lumbus + " send hostmon 0xffffffff").iExit, 1);
}

TEST(Cli, DumpWithoutAFileSaysItShowsTheSeed) {
  TempDir dir;
  const std::string file = dir / "none.db";
  CmdResult r = Shell(Bin("lumdb") + " -f " + file + " dump 2>" + (dir / "err"));
  EXPECT_EQ(r.iExit, 0);
  EXPECT_EQ(r.out.rfind("# Configuration database", 0), 0u) << r.out;
  EXPECT_EQ(ReadFile(dir / "err"),
            "lumdb: no file " + file + ": this is what the daemon would seed from the kernel\n");
  EXPECT_FALSE(std::filesystem::exists(file));
}

using CliDaemonTest = DaemonLanTest;

TEST_F(CliDaemonTest, FirstTraceLineNamesTheVersion) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  const std::string trace = daemon_->Trace();
  const std::string first = trace.substr(0, trace.find('\n'));
  EXPECT_TRUE(std::regex_match(first, std::regex(R"(\d+ hostmonmain\.cc:\d+ hostmon )" +
                                                 Literal(BuildVersion()) + " starting")))
      << first;
}

}  // namespace
}  // namespace systest
