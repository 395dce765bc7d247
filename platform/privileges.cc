// The service identity and its capabilities, the DHCP server's folder group and
// file modes. The process switches user for good and keeps only what its raw
// sockets and interface queries need; the platform's files are handed to the
// service user while still root, so that no file capability is ever needed.
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/businternal.h"
#include "platform/fsutil.h"
#include "platform/lum.h"
#include "platform/testing.h"

#define PRIV_TRACE(...)                                                                         \
  do {                                                                                          \
    if (g_bLumTraceOn) LUM_TRACE_PrintInfo(__FILE_NAME__, __LINE__, 0, "lum", 16, __VA_ARGS__); \
  } while (0)

namespace {

constexpr uint64_t Bit(int iCap) { return uint64_t{1} << iCap; }

// Raw and packet sockets; interface queries, SO_BINDTODEVICE, forced buffer
// sizes and bridge queries. All the service identity keeps, effective for good:
// "up" and "down" have nothing left to move.
constexpr uint64_t kKeptCaps = Bit(CAP_NET_RAW) | Bit(CAP_NET_ADMIN);

struct PrivState {
  std::mutex mutex;
  bool bFake = false;
  std::vector<std::string> calls;
  bool bServiceIdentity = false;  // switched away from root by ForceSet
  bool bNoUserTraced = false;
  std::optional<gid_t> fileGroup;  // the group given to the last ChangeFileGrp
};

PrivState &State() {
  static PrivState state;
  return state;
}

// True (and the call recorded) while privileges are faked.
bool Recorded(const std::string &text) {
  PrivState &st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  if (!st.bFake) return false;
  st.calls.push_back(text);
  return true;
}

std::string Text(const char *pc) { return pc != nullptr ? pc : "(null)"; }

struct Caps {
  uint64_t ulPermitted = 0;
  uint64_t ulEffective = 0;
  uint64_t ulInheritable = 0;
};

// capget/capset of the calling thread, through the raw system calls.
std::optional<Caps> GetCaps() {
  struct __user_cap_header_struct header {};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  struct __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return std::nullopt;
  Caps caps;
  caps.ulPermitted = data[0].permitted | (uint64_t{data[1].permitted} << 32);
  caps.ulEffective = data[0].effective | (uint64_t{data[1].effective} << 32);
  caps.ulInheritable = data[0].inheritable | (uint64_t{data[1].inheritable} << 32);
  return caps;
}

bool SetCaps(const Caps &caps) {
  struct __user_cap_header_struct header {};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  struct __user_cap_data_struct data[2] = {};
  data[0].permitted = static_cast<uint32_t>(caps.ulPermitted);
  data[1].permitted = static_cast<uint32_t>(caps.ulPermitted >> 32);
  data[0].effective = static_cast<uint32_t>(caps.ulEffective);
  data[1].effective = static_cast<uint32_t>(caps.ulEffective >> 32);
  data[0].inheritable = static_cast<uint32_t>(caps.ulInheritable);
  data[1].inheritable = static_cast<uint32_t>(caps.ulInheritable >> 32);
  return syscall(SYS_capset, &header, data) == 0;
}

// Sets the effective set to want within the permitted set.
uint32_t SetEffective(uint64_t ulWant) {
  std::optional<Caps> caps = GetCaps();
  if (!caps) {
    PRIV_TRACE("capget failed, errno %d\n", errno);
    return 1;
  }
  caps->ulEffective = ulWant & caps->ulPermitted;
  if (!SetCaps(*caps)) {
    PRIV_TRACE("capset failed, errno %d\n", errno);
    return 1;
  }
  return 0;
}

bool IsServiceIdentity() {
  PrivState &st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.bServiceIdentity;
}

std::optional<struct passwd> LookUpUser(const char *pcUser, std::vector<char> &buf) {
  struct passwd pw {};
  struct passwd *result = nullptr;
  buf.resize(16384);
  if (getpwnam_r(pcUser, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  return pw;
}

std::optional<gid_t> LookUpGroup(const char *pcGroup) {
  struct group gr {};
  struct group *result = nullptr;
  std::vector<char> buf(16384);
  if (getgrnam_r(pcGroup, &gr, buf.data(), buf.size(), &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  return gr.gr_gid;
}

// The user's groups, plus the folder group so that the neighbours files stay
// writable through the group once the file capabilities are lowered.
std::vector<gid_t> GroupsOf(const struct passwd &pw) {
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<size_t>(std::max(count, 0)));
  if (groups.empty()) groups.push_back(pw.pw_gid);
  PrivState &st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  if (st.fileGroup && std::find(groups.begin(), groups.end(), *st.fileGroup) == groups.end()) {
    groups.push_back(*st.fileGroup);
  }
  return groups;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// "660", "0644", "2770": one to four octal digits.
std::optional<mode_t> ParseMode(const char *pcMode) {
  std::string_view text(pcMode);
  if (text.empty() || text.size() > 4) return std::nullopt;
  mode_t mode = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + static_cast<mode_t>(c - '0');
  }
  return mode;
}

constexpr gid_t kNoGid = static_cast<gid_t>(-1);

// Folders the platform must never take from their owner, even when a file of
// its own is put straight into one of them.
bool IsSystemFolder(const std::string &dir) {
  static constexpr std::string_view kSystem[] = {"/",        "/etc",     "/home",    "/root",
                                                 "/run",     "/tmp",     "/usr",     "/var",
                                                 "/var/lib", "/var/log", "/var/run", "/var/tmp"};
  return std::find(std::begin(kSystem), std::end(kSystem), dir) != std::end(kSystem);
}

// Gives the folder, made before when it was missing, to the user (and, for
// the bus's folders, to the bus group, set-group-ID so that every socket made
// inside joins it), unless it is shared (sticky or world-writable) or a
// system folder.
void GiveFolder(const std::string &dir, bool bMade, uid_t uid, gid_t busGid = kNoGid) {
  if (!bMade) {
    PRIV_TRACE("hand-over: cannot create %s, errno %d\n", dir.c_str(), errno);
    return;
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if ((st.st_mode & (S_ISVTX | S_IWOTH)) != 0 || IsSystemFolder(dir)) {
    PRIV_TRACE("hand-over: %s stays its owner's (a shared folder)\n", dir.c_str());
    return;
  }
  if (lchown(dir.c_str(), uid, busGid) != 0 ||
      (busGid != kNoGid && chmod(dir.c_str(), (st.st_mode & 07777) | S_ISGID) != 0)) {
    PRIV_TRACE("hand-over: chown %s failed, errno %d\n", dir.c_str(), errno);
  }
}

void GiveFile(const std::string &path, uid_t uid) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid == uid) return;
  if (lchown(path.c_str(), uid, kNoGid) != 0) {
    PRIV_TRACE("hand-over: chown %s failed, errno %d\n", path.c_str(), errno);
  }
}

// The sockets of the bus's peers already there join the bus group: the
// service user reaches them through it (they are 0660).
void GiveSockets(const std::string &dir, gid_t busGid) {
  for (const std::string &name : lum::ListDir(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_gid != busGid) {
      (void)lchown(path.c_str(), static_cast<uid_t>(-1), busGid);
    }
  }
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What the platform writes after the switch, given to the service user while
// still root: the folders of the database and of the logs (their temporary
// and rotated files are made there) with the files already in them, and the
// bus folders (its sockets, the debug shell's, its subscriptions), whose group
// becomes the user's own: the bus group.
void HandOverFiles(const struct passwd &pw) {
  const uid_t uid = pw.pw_uid;
  const std::string db = lum::DbFilePath();
  GiveFolder(FolderOf(db), lum::MakeDirs(FolderOf(db), 0750), uid);
  for (const char *pcSuffix : {"", ".tmp", ".bad", ".lock"}) GiveFile(db + pcSuffix, uid);
  for (const std::string &log : lum::LogPaths()) {
    GiveFolder(FolderOf(log), lum::MakeDirs(FolderOf(log), 0750), uid);
    GiveFile(log, uid);
    GiveFile(log + ".1", uid);
  }
  const std::string bus = lum::bus::DirFromEnv();
  for (const std::string &dir : {bus, bus + "/debug", bus + "/subscriptions"}) {
    GiveFolder(dir, lum::bus::MakeSharedDir(dir), uid, pw.pw_gid);
  }
  GiveSockets(bus, pw.pw_gid);
  for (const std::string &type : lum::ListDir(bus + "/subscriptions")) {
    if (type[0] != '.') GiveFolder(bus + "/subscriptions/" + type, true, uid, pw.pw_gid);
  }
}

}  // namespace

static uint32_t ForceSetPrivilegesImpl(const char *pcUser) {
  if (Recorded("ForceSet " + Text(pcUser))) return 0;
  if (pcUser == nullptr || *pcUser == '\0') {
    PRIV_TRACE("ForceSetPrivileges: no user named\n");
    return 1;
  }
  std::vector<char> buf;
  std::optional<struct passwd> pw = LookUpUser(pcUser, buf);
  if (!pw) {
    PrivState &st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.bNoUserTraced) {
      st.bNoUserTraced = true;
      PRIV_TRACE("no user %s: keeping uid %u\n", pcUser, static_cast<unsigned>(getuid()));
    }
    return 1;
  }
  if (pw->pw_uid == 0) return 0;
  if (getuid() == pw->pw_uid && geteuid() == pw->pw_uid) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().bServiceIdentity = true;
    return 0;
  }
  if (geteuid() != 0) {
    PRIV_TRACE("cannot become %s: not root\n", pcUser);
    return 1;
  }
  HandOverFiles(*pw);
  std::vector<gid_t> groups = GroupsOf(*pw);
  // The daemon never runs a program, so nothing may gain privileges by one: a
  // flaw cannot get back through a set-user-ID program what the switch drops.
  for (int cap = 0; cap < 64 && prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
    if ((kKeptCaps & Bit(cap)) == 0 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
      PRIV_TRACE("cannot drop capability %d from the bounding set, errno %d\n", cap, errno);
      break;
    }
  }
  if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
    PRIV_TRACE("PR_SET_KEEPCAPS failed, errno %d\n", errno);
    return 1;
  }
  if (setgroups(groups.size(), groups.data()) != 0 ||
      setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0 ||
      setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0) {
    PRIV_TRACE("cannot become %s, errno %d\n", pcUser, errno);
    prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    return 1;
  }
  prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().bServiceIdentity = true;
  }
  std::optional<Caps> caps = GetCaps();
  if (!caps) {
    PRIV_TRACE("capget failed, errno %d\n", errno);
    return 1;
  }
  // Only what root held can be kept (a container may hold less).
  Caps kept;
  kept.ulPermitted = caps->ulPermitted & kKeptCaps;
  kept.ulEffective = kept.ulPermitted;
  if (!SetCaps(kept)) {
    PRIV_TRACE("capset failed, errno %d\n", errno);
    return 1;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    PRIV_TRACE("PR_SET_NO_NEW_PRIVS failed, errno %d\n", errno);
  }
  return 0;
}

static uint32_t UpRootPrivilegesImpl() {
  if (Recorded("Up")) return 0;
  if (!IsServiceIdentity()) return 0;
  return SetEffective(kKeptCaps);
}

static uint32_t DropRootPrivilegesImpl(const char *pcUser) {
  if (Recorded("Drop " + Text(pcUser))) return 0;
  if (!IsServiceIdentity()) return 0;
  return SetEffective(kKeptCaps);
}

static uint32_t ChangeFileGrpImpl(const char *pcGroup, const char *pcPath) {
  if (Recorded("ChangeFileGrp " + Text(pcGroup) + " " + Text(pcPath))) return 0;
  if (pcGroup == nullptr || pcPath == nullptr || *pcGroup == '\0' || *pcPath == '\0') {
    PRIV_TRACE("ChangeFileGrp: missing group or folder\n");
    return 1;
  }
  const std::string dir = WithoutTrailingSlashes(pcPath);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    if (!lum::MakeDirs(dir, 0755, true) || (mkdir(dir.c_str(), 0770) != 0 && errno != EEXIST) ||
        stat(dir.c_str(), &st) != 0) {
      PRIV_TRACE("ChangeFileGrp: cannot create %s, errno %d\n", dir.c_str(), errno);
      return 1;
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    PRIV_TRACE("ChangeFileGrp: %s is no folder\n", dir.c_str());
    return 1;
  }
  std::optional<gid_t> gid = LookUpGroup(pcGroup);
  if (!gid) {
    PRIV_TRACE("ChangeFileGrp: no group %s\n", pcGroup);
    return 1;
  }
  // Group-writable, and set-group-ID so that the files made inside belong to
  // the group too (the DHCP server reads them through it). Already so (made by
  // the init system for a daemon started as its own user): nothing to change.
  const mode_t mode = (st.st_mode & 07777) | S_IRWXG | S_ISGID;
  const bool bDone = st.st_gid == *gid && (st.st_mode & 07777) == mode;
  if (!bDone && chown(dir.c_str(), static_cast<uid_t>(-1), *gid) != 0) {
    PRIV_TRACE("ChangeFileGrp: chgrp %s failed, errno %d\n", dir.c_str(), errno);
    return 1;
  }
  if (!bDone && chmod(dir.c_str(), mode) != 0) {
    PRIV_TRACE("ChangeFileGrp: chmod %s failed, errno %d\n", dir.c_str(), errno);
    return 1;
  }
  std::lock_guard<std::mutex> lock(State().mutex);
  State().fileGroup = *gid;
  return 0;
}

static uint32_t RemoveAndroidWPermImpl(const char *pcPath, const char *pcMode) {
  if (Recorded("RemoveWPerm " + Text(pcPath) + " " + Text(pcMode))) return 0;
  if (pcPath == nullptr || pcMode == nullptr || *pcPath == '\0') {
    PRIV_TRACE("RemoveAndroidWPerm: missing path or mode\n");
    return 1;
  }
  std::optional<mode_t> mode = ParseMode(pcMode);
  if (!mode) {
    PRIV_TRACE("RemoveAndroidWPerm: bad mode text\n");
    return 1;
  }
  if (chmod(pcPath, *mode) != 0) {
    PRIV_TRACE("RemoveAndroidWPerm: chmod %s failed, errno %d\n", pcPath, errno);
    return 1;
  }
  return 0;
}

// No exception leaves the platform: an allocation failure is a refusal.
uint32_t LUM_UTIL_ForceSetPrivileges(const char *pcUser) {
  try {
    return ForceSetPrivilegesImpl(pcUser);
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_UpRootPrivileges() {
  try {
    return UpRootPrivilegesImpl();
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_DropRootPrivileges(const char *pcUser) {
  try {
    return DropRootPrivilegesImpl(pcUser);
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_ChangeFileGrp(const char *pcGroup, const char *pcPath) {
  try {
    return ChangeFileGrpImpl(pcGroup, pcPath);
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_RemoveAndroidWPerm(const char *pcPath, const char *pcMode) {
  try {
    return RemoveAndroidWPermImpl(pcPath, pcMode);
  } catch (...) {
    return 1;
  }
}

namespace lum::testing {

void FakePrivileges(bool bOn) {
  PrivState &st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.bFake = bOn;
  st.calls.clear();
}

std::vector<std::string> &PrivilegeCalls() { return State().calls; }

}  // namespace lum::testing
