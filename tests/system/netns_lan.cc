#include "tests/system/netns_lan.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

namespace systest {

namespace {

constexpr const char kNetnsDir[] = "/run/netns/";

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int StatusToExit(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits for a child until the deadline, then kills its group and reaps it.
int WaitOrKill(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    if (MsLeft(deadline) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool NetnsExists(const std::string &ns) {
  struct stat st {};
  return stat((kNetnsDir + ns).c_str(), &st) == 0;
}

// Every process whose network namespace is one of these (by nsfs inode),
// this process left out: the scan `ip netns pids` makes, for all at once.
std::vector<pid_t> PidsIn(const std::vector<std::string> &namespaces) {
  std::set<std::pair<dev_t, ino_t>> ids;
  for (const std::string &ns : namespaces) {
    struct stat st {};
    if (stat((kNetnsDir + ns).c_str(), &st) == 0) ids.emplace(st.st_dev, st.st_ino);
  }
  std::vector<pid_t> pids;
  if (ids.empty()) return pids;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (struct dirent *entry = readdir(proc)) {
    char *end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == getpid()) continue;
    struct stat st {};
    std::string path = std::string("/proc/") + entry->d_name + "/ns/net";
    if (stat(path.c_str(), &st) == 0 && ids.count({st.st_dev, st.st_ino}) != 0) {
      pids.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return pids;
}

void KillAllIn(const std::vector<std::string> &namespaces) {
  for (int round = 0; round < 50; ++round) {
    std::vector<pid_t> pids = PidsIn(namespaces);
    if (pids.empty()) return;
    for (pid_t pid : pids) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void DeleteNamespaces(const std::vector<std::string> &namespaces) {
  std::vector<std::string> existing;
  for (const std::string &ns : namespaces) {
    if (NetnsExists(ns)) existing.push_back(ns);
  }
  if (existing.empty()) return;
  KillAllIn(existing);
  std::string batch;
  for (const std::string &ns : existing) batch += "netns del " + ns + "\n";
  RunArgv({"ip", "-force", "-batch", "-"}, batch);
}

std::atomic<int> g_iInstance{0};

bool ValidName(const std::string &name) {
  return !name.empty() && name.size() <= 15 && name.find_first_of("/ \t\n") == std::string::npos;
}

}  // namespace

CmdResult RunArgv(const std::vector<std::string> &argv, const std::string &stdinText,
                  int iTimeoutMs) {
  // A child that exits before reading its input must not kill the test.
  static const bool bIgnored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)bIgnored;
  CmdResult result;
  if (argv.empty()) return result;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    close(inPipe[0]), close(inPipe[1]);
    return result;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(inPipe[0]), close(inPipe[1]), close(outPipe[0]), close(outPipe[1]);
    return result;
  }
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(inPipe[0], STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(inPipe[1]), close(outPipe[0]), close(errPipe[0]);
    return result;
  }
  setpgid(pid, pid);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  int inFd = inPipe[1];
  size_t written = 0;
  if (stdinText.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    SetNonBlocking(inFd);
  }
  int outFds[2] = {outPipe[0], errPipe[0]};
  std::string *sinks[2] = {&result.out, &result.err};
  while ((outFds[0] >= 0 || outFds[1] >= 0) && MsLeft(deadline) > 0) {
    struct pollfd fds[3] = {{outFds[0], POLLIN, 0}, {outFds[1], POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (poll(fds, 3, MsLeft(deadline)) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (outFds[i] < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(outFds[i], buf, sizeof(buf));
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(outFds[i]);
        outFds[i] = -1;
      }
    }
    if (inFd >= 0 && fds[2].revents != 0) {
      ssize_t n = write(inFd, stdinText.data() + written, stdinText.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = stdinText.size();
      if (written == stdinText.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  for (int fd : {outFds[0], outFds[1], inFd}) {
    if (fd >= 0) close(fd);
  }
  result.iExit = StatusToExit(WaitOrKill(pid, deadline));
  return result;
}

std::unique_ptr<NetnsLan> NetnsLan::Create(const Options &options, std::string *pWhy,
                                           bool *pbSkip) {
  std::string why;
  bool skip = false;
  std::unique_ptr<NetnsLan> lan(new NetnsLan());
  if (!lan->Build(options, &why, &skip)) lan.reset();
  if (pWhy != nullptr) *pWhy = why;
  if (pbSkip != nullptr) *pbSkip = skip;
  return lan;
}

bool NetnsLan::Build(const Options &options, std::string *pWhy, bool *pbSkip) {
  if (geteuid() != 0) {
    *pbSkip = true;
    *pWhy = "network namespaces need root";
    return false;
  }
  if (options.iHosts < 1 || options.iHosts > 200) {
    *pWhy = "between 1 and 200 hosts";
    return false;
  }
  unsigned a, b, c, d, len;
  char tail;
  if (sscanf(options.bridgeCidr.c_str(), "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &len, &tail) != 5 ||
      a > 255 || b > 255 || c > 255 || d > 255 || len > 32) {
    *pWhy = "bridge address is not a.b.c.d/len: " + options.bridgeCidr;
    return false;
  }
  RemoveStale();
  m_bridgeIp = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
               std::to_string(d);
  m_subnet = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + ".";
  m_iPrefixLen = static_cast<int>(len);
  m_bIpv6LinkLocal = options.bIpv6LinkLocal;
  m_prefix = std::string(kTag) + "-" + std::to_string(getpid()) + "-" +
             std::to_string(g_iInstance.fetch_add(1)) + "-";
  m_gatewayNs = m_prefix + "gw";
  m_namespaces.push_back(m_gatewayNs);
  for (int i = 1; i <= options.iHosts; ++i) {
    Host host;
    host.ns = m_prefix + "h" + std::to_string(i);
    host.port = "eth" + std::to_string(i);
    host.bridge = "br0";
    char mac[32];
    snprintf(mac, sizeof(mac), "02:00:00:00:00:%02x", static_cast<unsigned>(i));
    host.mac = mac;
    host.ip = m_subnet + std::to_string(10 + i);
    m_namespaces.push_back(host.ns);
    m_hosts.push_back(std::move(host));
  }

  std::string batch;
  for (const std::string &ns : m_namespaces) batch += "netns add " + ns + "\n";
  CmdResult added = RunArgv({"ip", "-batch", "-"}, batch);
  if (added.iExit != 0) {
    *pbSkip = true;
    *pWhy = "ip netns add failed: " + added.err;
    return false;
  }

  const std::string noLinkLocal = m_bIpv6LinkLocal ? "" : " addrgenmode none";
  std::string gw = "link set lo up\n";
  gw += std::string("link add br0 address ") + kBridgeMac + " type bridge\n";
  if (!m_bIpv6LinkLocal) gw += "link set br0 addrgenmode none\n";
  for (int i = 1; i <= options.iHosts; ++i) {
    const Host &host = m_hosts[static_cast<size_t>(i - 1)];
    char portMac[32];
    snprintf(portMac, sizeof(portMac), "02:00:00:00:01:%02x", static_cast<unsigned>(i));
    gw += "link add " + host.port + " address " + portMac + " type veth peer name eth0 address " +
          host.mac + " netns " + host.ns + "\n";
    if (!m_bIpv6LinkLocal) gw += "link set " + host.port + noLinkLocal + "\n";
    gw += "link set " + host.port + " master br0\n";
    gw += "link set " + host.port + " up\n";
  }
  gw += "addr add " + options.bridgeCidr + " dev br0\n";
  gw += "link set br0 up\n";
  for (const std::string &name : options.extraBridges) {
    if (!ValidName(name)) {
      *pWhy = "bad bridge name " + name;
      return false;
    }
    gw += BridgeLines(name, "");
  }
  if (!Ip(m_gatewayNs, gw)) {
    *pWhy = "gateway set-up failed";
    return false;
  }
  for (const Host &host : m_hosts) {
    std::string hb = "link set lo up\n";
    if (!m_bIpv6LinkLocal) hb += "link set eth0" + noLinkLocal + "\n";
    hb += "addr add " + host.ip + "/" + std::to_string(m_iPrefixLen) + " dev eth0\n";
    hb += "link set eth0 up\n";
    hb += "route add default via " + m_bridgeIp + "\n";
    if (!Ip(host.ns, hb)) {
      *pWhy = "host set-up failed in " + host.ns;
      return false;
    }
  }
  return true;
}

NetnsLan::~NetnsLan() {
  for (pid_t pid : m_spawned) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  DeleteNamespaces(m_namespaces);
}

void NetnsLan::RemoveStale() {
  std::vector<std::string> stale;
  DIR *dir = opendir(kNetnsDir);
  if (dir == nullptr) return;
  const std::string tag = std::string(kTag) + "-";
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, tag.size(), tag) != 0) continue;
    char *end = nullptr;
    long pid = strtol(name.c_str() + tag.size(), &end, 10);
    if (end == name.c_str() + tag.size() || *end != '-' || pid <= 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  closedir(dir);
  DeleteNamespaces(stale);
}

const NetnsLan::Host &NetnsLan::HostAt(int iHost) const {
  if (iHost < 1 || iHost > HostCount()) {
    ADD_FAILURE() << "netns_lan: no host " << iHost;
    static const Host kNone;
    return kNone;
  }
  return m_hosts[static_cast<size_t>(iHost - 1)];
}

std::string NetnsLan::HostNs(int iHost) const { return HostAt(iHost).ns; }
std::string NetnsLan::PortOf(int iHost) const { return HostAt(iHost).port; }
std::string NetnsLan::HostMac(int iHost) const { return HostAt(iHost).mac; }
std::string NetnsLan::HostIp(int iHost) const { return HostAt(iHost).ip; }

CmdResult NetnsLan::Run(const std::string &ns, const std::string &command, int iTimeoutMs) const {
  return RunArgv({"ip", "netns", "exec", ns, "sh", "-c", command}, "", iTimeoutMs);
}

bool NetnsLan::Ip(const std::string &ns, const std::string &batch) const {
  CmdResult result = RunArgv({"ip", "-n", ns, "-batch", "-"}, batch);
  if (result.iExit != 0) {
    fprintf(stderr, "netns_lan: ip -n %s failed: %s", ns.c_str(), result.err.c_str());
  }
  return result.iExit == 0;
}

pid_t NetnsLan::Spawn(const std::string &ns, const std::string &command,
                      const std::string &logPath) {
  const std::string shell = "exec " + command;
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int out = logPath.empty() ? open("/dev/null", O_WRONLY)
                              : open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    execlp("ip", "ip", "netns", "exec", ns.c_str(), "sh", "-c", shell.c_str(),
           static_cast<char *>(nullptr));
    _exit(127);
  }
  if (pid > 0) {
    setpgid(pid, pid);
    m_spawned.push_back(pid);
  }
  return pid;
}

int NetnsLan::Stop(pid_t pid, int iGraceMs) {
  auto it = std::find(m_spawned.begin(), m_spawned.end(), pid);
  if (it == m_spawned.end()) return -1;
  m_spawned.erase(it);
  kill(-pid, SIGTERM);
  return WaitOrKill(pid, Clock::now() + std::chrono::milliseconds(iGraceMs));
}

bool NetnsLan::SetLinkUp(int iHost, bool bUp) const {
  return Ip(m_gatewayNs, "link set " + HostAt(iHost).port + (bUp ? " up\n" : " down\n"));
}

bool NetnsLan::SetHostLinkUp(int iHost, bool bUp) const {
  return Ip(HostAt(iHost).ns, std::string("link set eth0") + (bUp ? " up\n" : " down\n"));
}

std::string NetnsLan::NextPortMac() {
  char mac[32];
  snprintf(mac, sizeof(mac), "02:00:00:00:01:%02x", static_cast<unsigned>(m_iNextPortMac & 0xFF));
  ++m_iNextPortMac;
  return mac;
}

bool NetnsLan::MoveHost(int iHost, const std::string &port, const std::string &bridge) {
  if (!ValidName(port) || !ValidName(bridge)) return false;
  if (HostAt(iHost).ns.empty()) return false;
  Host &host = m_hosts[static_cast<size_t>(iHost - 1)];
  // The new pair joins the bridge before the old one goes, so a taken port
  // name or a missing bridge leaves the host where it was.
  const std::string temp = "hmlmove" + std::to_string(iHost);
  std::string gw = "link add " + port + " address " + NextPortMac() + " type veth peer name " +
                   temp + " address " + host.mac + "\n";
  gw += "link set " + port + " master " + bridge + "\n";
  if (!Ip(m_gatewayNs, gw)) {
    RunArgv({"ip", "-n", m_gatewayNs, "link", "del", temp});
    return false;
  }
  gw = "link del " + host.port + "\n";
  gw += "link set " + temp + " netns " + host.ns + " name eth0\n";
  if (!m_bIpv6LinkLocal) gw += "link set " + port + " addrgenmode none\n";
  gw += "link set " + port + " up\n";
  if (!Ip(m_gatewayNs, gw)) return false;
  host.port = port;
  host.bridge = bridge;
  std::string hb;
  if (!m_bIpv6LinkLocal) hb += "link set eth0 addrgenmode none\n";
  hb += "addr add " + host.ip + "/" + std::to_string(m_iPrefixLen) + " dev eth0\n";
  hb += "link set eth0 up\n";
  hb += "route add default via " + m_bridgeIp + "\n";
  return Ip(host.ns, hb);
}

std::string NetnsLan::BridgeLines(const std::string &name, const std::string &cidr) {
  std::string lines = "link add " + name + " address " + NextPortMac() + " type bridge\n";
  if (!m_bIpv6LinkLocal) lines += "link set " + name + " addrgenmode none\n";
  if (!cidr.empty()) lines += "addr add " + cidr + " dev " + name + "\n";
  lines += "link set " + name + " up\n";
  return lines;
}

bool NetnsLan::AddBridge(const std::string &name, const std::string &cidr) {
  return ValidName(name) && Ip(m_gatewayNs, BridgeLines(name, cidr));
}

std::optional<std::string> NetnsLan::CallIn(const std::string &ns,
                                            const std::function<std::string()> &fn,
                                            int iTimeoutMs) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int nsFd = open((kNetnsDir + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) _exit(3);
    // sysfs shows the namespace of whoever mounts it: mount a fresh one in a
    // private mount namespace, as `ip netns exec` does.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0) {
      _exit(4);
    }
    umount2("/sys", MNT_DETACH);
    if (mount(ns.c_str(), "/sys", "sysfs", 0, nullptr) != 0) _exit(5);
    std::string out;
    try {
      out = fn();
    } catch (...) {
      _exit(6);
    }
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) _exit(7);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return std::nullopt;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  std::string out;
  for (;;) {
    struct pollfd pfd = {fds[0], POLLIN, 0};
    int ready = poll(&pfd, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buf[4096];
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = WaitOrKill(pid, deadline);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "netns_lan: child in %s ended with status %d\n", ns.c_str(), status);
    return std::nullopt;
  }
  return out;
}

bool NetnsLan::SendUdp(const std::string &ns, const std::string &ip, uint16_t usPort,
                       const std::string &payload) {
  std::optional<std::string> sent = CallIn(ns, [&]() -> std::string {
    struct sockaddr_in v4 {};
    struct sockaddr_in6 v6 {};
    int fd = -1;
    ssize_t n = -1;
    if (inet_pton(AF_INET, ip.c_str(), &v4.sin_addr) == 1) {
      v4.sin_family = AF_INET;
      v4.sin_port = htons(usPort);
      fd = socket(AF_INET, SOCK_DGRAM, 0);
      n = sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<struct sockaddr *>(&v4),
                 sizeof(v4));
    } else if (inet_pton(AF_INET6, ip.c_str(), &v6.sin6_addr) == 1) {
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(usPort);
      fd = socket(AF_INET6, SOCK_DGRAM, 0);
      n = sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<struct sockaddr *>(&v6),
                 sizeof(v6));
    }
    if (fd >= 0) close(fd);
    return n == static_cast<ssize_t>(payload.size()) ? "sent" : "failed";
  });
  return sent.value_or("") == "sent";
}

void NetnsLanTest::SetUp() {
  std::string why;
  bool skip = false;
  lan_ = NetnsLan::Create(LanOptions(), &why, &skip);
  if (!lan_) {
    if (skip) GTEST_SKIP() << why;
    FAIL() << why;
  }
}

}  // namespace systest
