#include "tests/system/daemon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace systest {

namespace {

constexpr int kPollMs = 50;
constexpr int kShowTimeoutMs = 5000;
constexpr size_t kDiagnosticsTail = 6000;

bool IsDir(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string Quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Tail(const std::string &text, size_t ulMax) {
  return text.size() <= ulMax ? text : "..." + text.substr(text.size() - ulMax);
}

template <typename Pred>
bool PollUntil(int iTimeoutMs, Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

}  // namespace

std::unique_ptr<DaemonRunner> DaemonRunner::Start(const NetnsLan &lan, const Options &options,
                                                  std::string *pWhy) {
  std::unique_ptr<DaemonRunner> runner(new DaemonRunner());
  if (runner->m_dir.Path().empty()) {
    *pWhy = "no temporary folder";
    return nullptr;
  }
  // The start script creates /online as a mount point when it is missing; it
  // is ours to remove then.
  runner->m_bMadeOnline = !IsDir("/online");
  // A read-only folder needs a folder of its own: the work folder keeps the logs.
  const std::string dbDir = options.bReadOnlyDb ? runner->Path("db") : runner->WorkDir();
  runner->m_dbFile = dbDir + "/cfg.db";
  if (options.bReadOnlyDb && mkdir(dbDir.c_str(), 0750) != 0) {
    *pWhy = "cannot create " + dbDir;
    return nullptr;
  }
  if (!options.dbExtraLines.empty()) {
    // lumdb seeds from the kernel of the namespace it runs in while there is no file.
    CmdResult seed = RunArgv({"ip", "netns", "exec", lan.GatewayNs(), systest::Bin("lumdb"), "-f",
                              runner->m_dbFile, "dump"});
    FILE *file = fopen(runner->m_dbFile.c_str(), "w");
    bool bWritten = file != nullptr && seed.iExit == 0;
    if (file != nullptr) {
      const std::string text = seed.out + options.dbExtraLines;
      bWritten = bWritten && fwrite(text.data(), 1, text.size(), file) == text.size();
      bWritten = fclose(file) == 0 && bWritten;
    }
    if (!bWritten) {
      *pWhy = "cannot write the database file: " + seed.err;
      return nullptr;
    }
  }
  for (const std::string &app : options.listenAs) {
    runner->m_listeners.push_back(std::make_unique<systest::Background>(
        "LUM_BUS_DIR=" + Quote(runner->Path("bus")) + " exec " + Quote(systest::Bin("lumbus")) +
            " listen " + Quote(app),
        runner->Path("bus-" + app + ".log")));
    // Bound once it says so; the daemon's first message must find it.
    if (!systest::WaitForText(runner->Path("bus-" + app + ".log"), "lumbus: listening as",
                              options.iStartTimeoutMs)) {
      *pWhy =
          "no listener for " + app + ": " + systest::ReadFile(runner->Path("bus-" + app + ".log"));
      return nullptr;
    }
  }

  // Set-up inside the daemon's mount namespace, after the start script's own.
  std::string inner;
  if (options.bReadOnlyDb) {
    inner += "mount --bind " + Quote(dbDir) + " " + Quote(dbDir) + " && mount -o remount,bind,ro " +
             Quote(dbDir) + " && ";
  }
  if (options.bReadOnlyDhcps) inner += "mount -o remount,bind,ro /var/dhcp/dhcps && ";
  std::string daemon = Quote(systest::Bin("hostmon"));
  if (!inner.empty()) {
    daemon = "sh -c " + Quote(inner + "LUM_DB_FILE=" + Quote(runner->m_dbFile) + " exec " + daemon);
  }

  std::string command = runner->Env();
  if (options.ulTimeScale != 0) {
    command += "LUM_TIME_SCALE=" + std::to_string(options.ulTimeScale) + " ";
  }
  command += "exec " + Quote(systest::Source("scripts/hostmon-in-netns.sh")) + " " +
             Quote(lan.GatewayNs()) + " " + Quote(runner->WorkDir()) + " " + daemon;
  runner->m_proc = std::make_unique<systest::Background>(command, runner->Path("hostmon.out"));

  const bool bBus = PollUntil(options.iStartTimeoutMs, [&] {
    return !runner->m_proc->Running() || Exists(runner->Path("bus/hostmon"));
  });
  if (!bBus || !runner->m_proc->Running()) {
    *pWhy = "hostmon did not join the bus\n" + runner->Diagnostics();
    return nullptr;
  }
  // The debug shell is served by the event loop: an answer means start-up is over.
  const bool bLoop = PollUntil(options.iStartTimeoutMs, [&] {
    return !runner->m_proc->Running() || runner->ShowResult().iExit == 0;
  });
  if (!bLoop || !runner->m_proc->Running()) {
    *pWhy = "hostmon did not answer the debug shell\n" + runner->Diagnostics();
    return nullptr;
  }
  return runner;
}

DaemonRunner::~DaemonRunner() {
  Stop();
  if (m_bMadeOnline) (void)rmdir("/online");
}

std::string DaemonRunner::Env() const {
  // The start script sets the same; set here too so that lumdebug and a
  // stray LUM_TRACE of the test's own environment agree with the daemon.
  return "LUM_BUS_DIR=" + Quote(Path("bus")) + " LUM_DB_FILE=" + Quote(Path("cfg.db")) +
         " LUM_TRACE=" + Quote(Path("trace.log")) + " LUM_MLOG_FILE=" + Quote(Path("mlog.log")) +
         " LUM_EVENT_LOG=" + Quote(Path("event.log")) + " ";
}

CmdResult DaemonRunner::ShowResult() const {
  return RunArgv(
      {"env", "LUM_BUS_DIR=" + Path("bus"), systest::Bin("lumdebug"), "hostmon", "test", "show"},
      "", kShowTimeoutMs);
}

std::string DaemonRunner::Show() const {
  CmdResult result = ShowResult();
  return result.iExit == 0 ? result.out : std::string();
}

bool DaemonRunner::WaitForShow(const std::string &text, int iTimeoutMs) const {
  return PollUntil(iTimeoutMs, [&] { return Show().find(text) != std::string::npos; });
}

bool DaemonRunner::WaitForShowWithout(const std::string &text, int iTimeoutMs) const {
  return PollUntil(iTimeoutMs, [&] {
    CmdResult result = ShowResult();
    return result.iExit == 0 && result.out.find(text) == std::string::npos;
  });
}

std::string DaemonRunner::Trace() const {
  return systest::ReadFile(Path("trace.log.1")) + systest::ReadFile(Path("trace.log"));
}

bool DaemonRunner::WaitForTrace(const std::string &text, int iTimeoutMs) const {
  return PollUntil(iTimeoutMs, [&] { return Trace().find(text) != std::string::npos; });
}

std::string DaemonRunner::EventLog() const { return systest::ReadFile(Path("event.log")); }

std::string DaemonRunner::ModuleLog() const { return systest::ReadFile(Path("mlog.log")); }

bool DaemonRunner::WriteLeases(const std::vector<HostInfo> &records) const {
  const std::string path = Path("dhcps/leases");
  const std::string temp = path + ".new";
  if (!leasestest::WriteLeases(temp, records)) {
    (void)unlink(temp.c_str());
    return false;
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}

bool DaemonRunner::WriteLeases(const std::vector<leasestest::Lease> &leases) const {
  std::vector<HostInfo> records;
  for (const leasestest::Lease &lease : leases) records.push_back(leasestest::MakeRecord(lease));
  return WriteLeases(records);
}

std::string DaemonRunner::DbDump() const {
  if (!Exists(m_dbFile)) return "";
  CmdResult result = RunArgv({systest::Bin("lumdb"), "-f", m_dbFile, "dump"});
  return result.iExit == 0 ? result.out : std::string();
}

bool DaemonRunner::WaitForDb(const std::string &text, int iTimeoutMs) const {
  return PollUntil(iTimeoutMs, [&] { return DbDump().find(text) != std::string::npos; });
}

std::vector<std::string> DaemonRunner::Received(const std::string &app) const {
  // The listener's own remarks go to the same file; they start "lumbus:".
  std::vector<std::string> lines;
  const std::string text = systest::ReadFile(Path("bus-" + app + ".log"));
  for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
    if (text.compare(pos, 5, "type=") == 0) lines.push_back(text.substr(pos, end - pos));
  }
  return lines;
}

int DaemonRunner::Stop() { return m_proc ? m_proc->Stop() : -1; }

bool DaemonRunner::Running() { return m_proc && m_proc->Running(); }

std::string DaemonRunner::Diagnostics() const {
  return "--- trace (tail) ---\n" + Tail(Trace(), kDiagnosticsTail) + "\n--- hostmon output ---\n" +
         Tail(systest::ReadFile(Path("hostmon.out")), 2000);
}

}  // namespace systest
