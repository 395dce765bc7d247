// Test doubles of the platform, swapped in at run time by a test without
// touching daemon code. Production code never includes this header.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace lum::testing {

// --- Clock and timers (platform/clock.cc, platform/timers.cc) ---------------

// Switches to a manual clock whose uptime starts at ulStartUptimeSec. Timers
// then fire only from AdvanceMs, in deadline order (creation order on ties).
void UseManualClock(uint32_t ulStartUptimeSec = 1000);
// Back to the kernel's clocks.
void UseRealClock();
// Moves manual time forward, firing every timer that falls due on the way, each
// at its own instant (a periodic timer may fire several times).
void AdvanceMs(uint64_t ulMs);
// The platform's monotonic milliseconds (manual or real).
uint64_t NowMs();
// Deletes every timer (test isolation).
void ResetTimers();
size_t ActiveTimerCount();
// Milliseconds until a pending timer fires (0 when overdue); false if idle or unknown.
bool TimerDueInMs(uint32_t ulHandle, uint64_t *pulDueInMs);
// Total manual time spent in LUM_UTIL_SleepMs since the last reset.
uint64_t SleptMs();

// --- Message bus (platform/bus.cc) -----------------------------------------

struct SentMsg {
  bool bHasDest;
  std::string dest;
  uint32_t ulType;
  uint32_t ulData;
  std::vector<uint8_t> payload;
};
// Sends are recorded instead of sent; LUM_MSG_Init binds nothing.
void CaptureBus();
void ReleaseBus();
std::vector<SentMsg> &SentMessages();
// Hands a message to the registered procedure as the loop would: header and
// payload in a buffer zero-filled well past the payload.
void DeliverMessage(uint32_t ulType, uint32_t ulData, const std::vector<uint8_t> &payload,
                    const std::string &sender = "test");

// --- Trace and logs (platform/trace.cc, platform/debugsvc.cc) ---------------

// Trace lines, module log lines, event-log records and debug output are kept in
// memory (the text as formatted, without file, line or time) instead of written.
void CaptureLogs();
void ReleaseLogs();
std::vector<std::string> &TraceLines();
std::vector<std::string> &MlogLines();
struct EventRecord {
  uint32_t ulId;
  std::vector<std::string> args;
};
std::vector<EventRecord> &EventRecords();
std::string &DebugOutput();
// Runs a registered debug command as the debug shell would; returns its result,
// or -1 when no such command is registered.
int64_t RunDebugCommand(const std::string &module, const std::string &command);

// --- Kernel queries (platform/netfake.cc) ----------------------------------

struct FakeNet {
  std::vector<std::string> bridges;            // names reported, in this order
  std::map<std::string, uint32_t> bridgeKeys;  // interface -> key
  std::map<std::string, std::string> fdb;      // "bridge/mac" -> port name
  std::set<std::string> associated;            // wireless MAC texts, lower case
  uint32_t ulFdbQueries = 0;                   // count of forwarding-table queries
};
// Answers bridge names, bridge keys, forwarding table and station association
// from the given object (kept by the caller) until UseRealNet.
void UseFakeNet(FakeNet *pstNet);
void UseRealNet();

// --- Privileges and file permissions (platform/privileges.cc) --------------

// Privilege, group and permission operations are recorded instead of performed,
// one text a call: "ForceSet hostmon", "Up", "Drop hostmon",
// "ChangeFileGrp ntwklan /var/dhcp/dhcps/", "RemoveWPerm /path 660".
void FakePrivileges(bool bOn);
std::vector<std::string> &PrivilegeCalls();

// --- Database (platform/db*.cc) --------------------------------------------

// Empties the in-memory database and detaches it from any file: saves then go
// nowhere unless SetDbFile names one.
void ResetDb();
void SetDbFile(const std::string &path);
uint32_t DbSaveCount();
// The next ulCount LUM_DBSetObj calls return ulCode and write nothing (a
// database that refuses a write). ResetDb ends it.
void FailDbSetObj(uint32_t ulCode, uint32_t ulCount = 1);

// --- Everything at once ----------------------------------------------------

// Manual clock, captured bus and logs, recorded privileges, empty database, the
// real socket calls; all undone on destruction, together with every timer and
// the loop's registrations. Under the manual clock LUM_UTIL_SockBaseStart
// returns at once: the test drives time itself.
class Sandbox {
 public:
  explicit Sandbox(uint32_t ulStartUptimeSec = 1000);
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;
};

}  // namespace lum::testing
