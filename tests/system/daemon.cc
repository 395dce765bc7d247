#include "tests/system/daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace systest {

namespace {

std::string Tail(const std::string &text, size_t ulMax) {
  return text.size() <= ulMax ? text : "..." + text.substr(text.size() - ulMax);
}

}  // namespace

std::unique_ptr<DaemonRunner> DaemonRunner::Start(const NetnsLan &lan, const Options &options,
                                                  std::string *pWhy) {
  std::unique_ptr<DaemonRunner> r(new DaemonRunner());
  // The start script creates /online as a mount point when it is missing; it
  // is ours to remove then.
  r->m_bMadeOnline = !std::filesystem::is_directory("/online");
  // The database has a folder of its own, which can be made read-only while
  // the work folder keeps the logs.
  const std::string dbDir = r->Path("db");
  r->m_dbFile = dbDir + "/cfg.db";
  std::filesystem::create_directory(dbDir);
  if (!options.dbExtraLines.empty()) {
    // lumdb seeds from the kernel of the namespace it runs in while there is no file.
    CmdResult seed =
        ShellIn(lan.GatewayNs(), Quote(Bin("lumdb")) + " -f " + Quote(r->m_dbFile) + " dump");
    std::ofstream file(r->m_dbFile);
    if (seed.iExit != 0 || !(file << seed.out << options.dbExtraLines << std::flush)) {
      *pWhy = "cannot write the database file";
      return nullptr;
    }
  }
  r->m_gatewayNs = lan.GatewayNs();
  for (const std::string &app : options.listenAs) {
    *pWhy = r->Listen(app);
    if (!pWhy->empty()) return nullptr;
  }

  // Set-up inside the daemon's mount namespace, after the start script's own,
  // which also points LUM_DB_FILE at the work folder.
  std::string inner;
  if (options.bReadOnly) {
    inner = "mount --bind " + Quote(dbDir) + " " + Quote(dbDir) + " && mount -o remount,bind,ro " +
            Quote(dbDir) + " && mount -o remount,bind,ro /var/dhcp/dhcps && ";
  }
  inner += "LUM_DB_FILE=" + Quote(r->m_dbFile) + " exec " + Quote(Bin("hostmon"));
  const std::string scale =
      options.ulTimeScale == 0 ? "" : "LUM_TIME_SCALE=" + std::to_string(options.ulTimeScale) + " ";
  const std::string where = Quote(lan.GatewayNs()) + " " + Quote(r->m_dir.Path()) + " ";
  // LUM_TRACE set here, so that one of the test's own environment cannot win.
  std::string command = "LUM_TRACE=" + Quote(r->Path("trace.log")) + " " + scale + "exec " +
                        Quote(Source("scripts/hostmon-in-netns.sh")) + " " + where + "sh -c " +
                        Quote(inner);
  if (!options.unitPrefix.empty()) {
    // The unit's environment file names the platform's files; the trace is a
    // drop-in's addition, in the folder the logs go to (the work folder).
    command = "exec " + Quote(Source("scripts/service/run-unit.sh")) + " " + where +
              Quote(options.unitPrefix) + " LUM_TRACE=/var/log/lum/trace.log " + scale;
  }
  r->m_proc = std::make_unique<Background>(command, r->Path("hostmon.out"));
  // The debug shell is served by the event loop: an answer means start-up is over.
  const bool bAnswered = PollUntil(10000, [&] {
    return !r->Running() ||
           (std::filesystem::exists(r->Path("bus/debug/hostmon")) && !r->Show().empty());
  });
  if (!bAnswered || !r->Running()) {
    *pWhy = "hostmon did not answer the debug shell\n" + r->Diagnostics();
    return nullptr;
  }
  return r;
}

DaemonRunner::~DaemonRunner() {
  m_proc.reset();
  std::error_code ec;
  if (m_bMadeOnline) std::filesystem::remove("/online", ec);
}

std::string DaemonRunner::Tool(const std::string &name) const {
  return "LUM_BUS_DIR=" + Quote(Path("bus")) + " " + Quote(Bin(name));
}

std::string DaemonRunner::Show() const {
  CmdResult result = Shell(Tool("lumdebug") + " hostmon test show", 5);
  return result.iExit == 0 ? result.out : std::string();
}

bool DaemonRunner::Send(const std::string &args) const {
  return Shell(Tool("lumbus") + " send hostmon " + args).iExit == 0;
}

std::string DaemonRunner::Trace() const {
  return ReadFile(Path("trace.log.1")) + ReadFile(Path("trace.log"));
}

std::string DaemonRunner::Listen(const std::string &app) {
  const std::string log = Path("bus-" + app + ".log");
  // In the gateway namespace, so that a crashed run's clean-up reaches it too.
  m_listeners.push_back(std::make_unique<Background>(
      "LUM_BUS_DIR=" + Quote(Path("bus")) + " exec ip netns exec " + Quote(m_gatewayNs) + " " +
          Quote(Bin("lumbus")) + " listen " + Quote(app),
      log));
  // Bound once it says so; the daemon's next message must find it.
  return PollUntil(10000,
                   [&] { return ReadFile(log).find("lumbus: listening as") != std::string::npos; })
             ? ""
             : "no listener for " + app + ": " + ReadFile(log);
}

bool DaemonRunner::WriteLeases(std::string_view bytes) const {
  const std::string path = Path("dhcps/leases");
  return leasestest::WriteBytes(path + ".new", bytes) &&
         rename((path + ".new").c_str(), path.c_str()) == 0;
}

std::string DaemonRunner::DbDump() const {
  if (!std::filesystem::exists(m_dbFile)) return "";
  CmdResult result = Shell(Quote(Bin("lumdb")) + " -f " + Quote(m_dbFile) + " dump");
  return result.iExit == 0 ? result.out : std::string();
}

std::string DaemonRunner::Diagnostics() const {
  return "--- trace (tail) ---\n" + Tail(Trace(), 6000) + "\n--- hostmon output ---\n" +
         Tail(ReadFile(Path("hostmon.out")), 2000);
}

std::optional<HostObject> FindHost(const std::string &dump, const std::string &mac) {
  std::smatch m;
  if (!std::regex_search(dump, m,
                         std::regex("(InternetGatewayDevice\\.LANDevice\\.\\d+\\.Hosts\\.Host\\.("
                                    "\\d+)\\.)MACAddress=" +
                                    mac + "\n"))) {
    return std::nullopt;
  }
  HostObject host{m[1], m[2], {}, {}};
  const std::regex sub("X_IPv6Address\\.\\d+\\.Address");
  std::istringstream in(dump);
  for (std::string line; std::getline(in, line);) {
    const size_t ulEq = line.find('=');
    if (line.rfind(host.path, 0) != 0 || ulEq == std::string::npos) continue;
    const std::string name = line.substr(host.path.size(), ulEq - host.path.size());
    if (name.find('.') == std::string::npos) {
      host.params[name] = line.substr(ulEq + 1);
    } else if (std::regex_match(name, sub)) {
      host.ipv6.push_back(line.substr(ulEq + 1));
    }
  }
  return host;
}

std::string PortPath(const std::string &dump, const std::string &port) {
  std::smatch m;
  std::regex_search(
      dump, m, std::regex("([^\n]*\\.LANEthernetInterfaceConfig\\.\\d+)\\.X_Name=" + port + "\n"));
  return m.empty() ? "" : m.str(1);
}

void PutMac(Bytes *pOut, const std::string &mac) {
  unsigned int b[6] = {};
  sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
  pOut->insert(pOut->end(), b, b + 6);
}

void PutIp(Bytes *pOut, int iFamily, const std::string &ip) {
  uint8_t auc[16] = {};
  inet_pton(iFamily, ip.c_str(), auc);
  pOut->insert(pOut->end(), auc, auc + (iFamily == AF_INET ? 4 : 16));
}

Bytes Frame(const std::string &dst, const std::string &src, uint16_t usType, const Bytes &body) {
  Bytes frame;
  PutMac(&frame, dst);
  PutMac(&frame, src);
  frame.insert(frame.end(), {static_cast<uint8_t>(usType >> 8), static_cast<uint8_t>(usType)});
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

Bytes Icmp6Frame(int iHost, const std::string &dstMac, const std::string &src,
                 const std::string &dst, Bytes msg) {
  const uint8_t ucLenHi = static_cast<uint8_t>(msg.size() >> 8);
  Bytes ip6 = {0x60, 0, 0, 0, ucLenHi, static_cast<uint8_t>(msg.size()), IPPROTO_ICMPV6, 255};
  PutIp(&ip6, AF_INET6, src);
  PutIp(&ip6, AF_INET6, dst);
  // Over the pseudo-header (the addresses, the length, the next header) and
  // the message; the kernel drops a message whose sum is wrong.
  Bytes sum(ip6.begin() + 8, ip6.end());
  sum.insert(sum.end(), {0, 0, ip6[4], ip6[5], 0, 0, 0, IPPROTO_ICMPV6});
  sum.insert(sum.end(), msg.begin(), msg.end());
  uint32_t ulSum = 0;
  for (size_t i = 0; i < sum.size(); i += 2) {
    ulSum += sum[i] << 8 | (i + 1 < sum.size() ? sum[i + 1] : 0);
  }
  while (ulSum >> 16) ulSum = (ulSum & 0xFFFF) + (ulSum >> 16);
  msg[2] = static_cast<uint8_t>(~ulSum >> 8);
  msg[3] = static_cast<uint8_t>(~ulSum);
  ip6.insert(ip6.end(), msg.begin(), msg.end());
  return Frame(dstMac, NetnsLan::HostMac(iHost), 0x86DD, ip6);
}

Bytes NeighborAdvert(int iHost, const std::string &ip, const Bytes &options, uint8_t ucCode,
                     size_t ulLen) {
  Bytes msg = {136, ucCode, 0, 0, 0x20, 0, 0, 0};
  PutIp(&msg, AF_INET6, ip);
  msg.insert(msg.end(), options.begin(), options.end());
  msg.resize(std::min(msg.size(), ulLen));
  return Icmp6Frame(iHost, "33:33:00:00:00:01", ip, "ff02::1", msg);
}

Bytes MacOption(uint8_t ucType, const std::string &mac) {
  Bytes option = {ucType, 1};
  PutMac(&option, mac);
  return option;
}

std::string MacText(const uint8_t *pucMac) {
  char ac[18];
  snprintf(ac, sizeof(ac), "%02x:%02x:%02x:%02x:%02x:%02x", pucMac[0], pucMac[1], pucMac[2],
           pucMac[3], pucMac[4], pucMac[5]);
  return ac;
}

std::string IpText(int iFamily, const uint8_t *pucAddr) {
  char ac[INET6_ADDRSTRLEN];
  return inet_ntop(iFamily, pucAddr, ac, sizeof(ac)) != nullptr ? ac : "?";
}

std::string RawHex(const std::string &ip) {
  char ac[16];
  snprintf(ac, sizeof(ac), "%x", inet_addr(ip.c_str()));
  return ac;
}

std::string HostLine(const std::string &port, const std::string &mac, const std::string &ip) {
  const std::string masked = mac.substr(0, 6) + "**:**:**:" + mac.substr(15);
  return "\t[" + port + "] virtualmac[" + masked + "]  realmac[" + masked + "] [" + ip + "]\n";
}

std::string ServiceIdentityProblems(pid_t pid, const std::vector<std::string> &extraLines) {
  const struct passwd *pw = getpwnam("hostmon");
  if (pw == nullptr) return "no user hostmon (the set-up adds it)";
  const std::string uid = std::to_string(pw->pw_uid);
  std::vector<std::string> lines = {"Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid,
                                    "CapPrm:\t0000000000003000", "CapEff:\t0000000000003000"};
  lines.insert(lines.end(), extraLines.begin(), extraLines.end());
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  std::string problems;
  for (const std::string &line : lines) {
    if (status.find("\n" + line + "\n") == std::string::npos) problems += "missing: " + line + "\n";
  }
  return problems.empty() ? problems : problems + status;
}

}  // namespace systest
