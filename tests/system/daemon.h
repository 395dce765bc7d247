// The real hostmon for system tests: started in a LAN's gateway namespace with
// its fixed paths and the platform's files in a temporary work folder, asked
// through the debug shell, read through its trace, and stopped (SIGTERM, then
// SIGKILL) when the runner goes, also when the test fails.
//
//   auto lan = ...;  // tests/system/netns_lan.h
//   std::string why;
//   auto daemon = DaemonRunner::Start(*lan, {.ulTimeScale = 100}, &why);
//   ASSERT_TRUE(daemon) << why;
//   EXPECT_TRUE(daemon->WaitForShow("[192.168.1.11]", 5000)) << daemon->Diagnostics();
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/hostmon.h"
#include "tests/common/leases_writer.h"
#include "tests/system/netns_lan.h"
#include "tests/system/proc.h"

namespace systest {

class DaemonRunner {
 public:
  struct Options {
    uint32_t ulTimeScale = 0;  // LUM_TIME_SCALE; 0 leaves it unset (real time)
    int iStartTimeoutMs = 10000;
    // Bus applications listened as (lumbus listen) from before the daemon
    // starts, so that nothing it sends them is missed; see Received().
    std::vector<std::string> listenAs;
    // Lines added to the database the gateway's kernel seeds, written as the
    // database file before the start; empty: no file, the daemon seeds itself.
    std::string dbExtraLines;
    // Read-only for the daemon (bind mounts in its own mount namespace): the
    // folder of its database file, and /var/dhcp/dhcps.
    bool bReadOnlyDb = false;
    bool bReadOnlyDhcps = false;
  };

  // Starts hostmon in the gateway namespace and waits until its event loop
  // answers the debug shell; nullptr with the reason otherwise.
  static std::unique_ptr<DaemonRunner> Start(const NetnsLan &lan, const Options &options,
                                             std::string *pWhy);
  ~DaemonRunner();
  DaemonRunner(const DaemonRunner &) = delete;
  DaemonRunner &operator=(const DaemonRunner &) = delete;

  // `lumdebug hostmon test show` against this daemon; the exit status and output.
  CmdResult ShowResult() const;
  // Its standard output, or the empty text when the command failed.
  std::string Show() const;
  // Polls the dump until it contains (or no longer contains) the text.
  bool WaitForShow(const std::string &text, int iTimeoutMs) const;
  bool WaitForShowWithout(const std::string &text, int iTimeoutMs) const;

  // The whole trace so far (the rotated generation first).
  std::string Trace() const;
  bool WaitForTrace(const std::string &text, int iTimeoutMs) const;
  // The event log (LUM_LOG_API_Record_Log) and module log so far.
  std::string EventLog() const;
  std::string ModuleLog() const;

  // Replaces the DHCP server's leases file the daemon reads (/var/dhcp/dhcps/leases
  // in its mount namespace) in one rename, so it never reads half a file.
  bool WriteLeases(const std::vector<leasestest::Lease> &leases) const;
  bool WriteLeases(const std::vector<HostInfo> &records) const;

  // The neighbours files it wrote (/var/dhcp/dhcps/neighbors, neighbors_new).
  std::string Neighbors() const { return systest::ReadFile(Path("dhcps/neighbors")); }
  std::string NeighborsNew() const { return systest::ReadFile(Path("dhcps/neighbors_new")); }

  // Its database file, and `lumdb dump` of it (empty while there is no file).
  const std::string &DbFile() const { return m_dbFile; }
  std::string DbDump() const;
  bool WaitForDb(const std::string &text, int iTimeoutMs) const;

  // The lines the listener of app printed so far, one per message received.
  std::vector<std::string> Received(const std::string &app) const;

  // SIGTERM, then SIGKILL; the exit status. Safe to call twice.
  int Stop();
  bool Running();

  const std::string &WorkDir() const { return m_dir.Path(); }
  std::string Path(const std::string &name) const { return m_dir / name; }
  // The tail of the trace and the daemon's own output, for failure messages.
  std::string Diagnostics() const;

 private:
  DaemonRunner() = default;
  std::string Env() const;

  systest::TempDir m_dir;
  std::string m_dbFile;
  std::vector<std::unique_ptr<systest::Background>> m_listeners;  // go before the folder
  std::unique_ptr<systest::Background> m_proc;
  bool m_bMadeOnline = false;
};

}  // namespace systest
