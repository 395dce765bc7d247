// The debug shell: modules register tables of commands; the daemon serves them
// on a Unix stream socket, one command per connection, on its event loop.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/businternal.h"
#include "platform/eventloop.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

// A command's output is kept whole until it ends; this bounds a runaway one.
constexpr size_t kMaxOutput = 1024 * 1024;
// A client that is slow to ask or to read is dropped after this long; it
// never holds the loop.
constexpr int kRequestTimeoutMs = 1000;
constexpr int kAnswerTimeoutMs = 2000;
// Connections served at once: more are refused, so that a crowd of clients
// cannot take the daemon's descriptors.
constexpr size_t kMaxClients = 8;
constexpr uint32_t kSweepMs = 20;

struct Module {
  const LUM_DEBUG_CMD *pstTable;
  uint32_t ulRows;
};

// Built on first use: modules register from static initialisers.
std::map<std::string, Module> &Registry() {
  static std::map<std::string, Module> registry;
  return registry;
}

struct DebugState {
  int iListenFd = -1;
  std::string path;
  ino_t ulIno = 0;
  uint32_t ulHandle = 0;
  bool bRegistered = false;
  uint32_t ulSweepTimer = 0;
  std::string *pOut = nullptr;  // output of the running command
  bool bCut = false;
  std::string captured;  // lum::testing::DebugOutput()
};

DebugState &State() {
  static DebugState state;
  return state;
}

class UniqueFd {
 public:
  explicit UniqueFd(int iFd) : m_iFd(iFd) {}
  ~UniqueFd() {
    if (m_iFd >= 0) close(m_iFd);
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  int Get() const { return m_iFd; }
  int Release() {
    int fd = m_iFd;
    m_iFd = -1;
    return fd;
  }

 private:
  int m_iFd;
};

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Finds a command; on failure says why in *pError.
LUM_DEBUG_PROC FindCommand(const std::string &module, const std::string &command,
                           std::string *pError) {
  const auto &registry = Registry();
  auto it = registry.find(module);
  if (it == registry.end()) {
    *pError = "unknown module '" + module + "' (modules:";
    for (const auto &[name, mod] : registry) *pError += " " + name;
    *pError += ")";
    return nullptr;
  }
  const Module &mod = it->second;
  std::string names;
  for (uint32_t i = 0; i < mod.ulRows; ++i) {
    const LUM_DEBUG_CMD &row = mod.pstTable[i];
    if (row.pcName == nullptr || row.pfnProc == nullptr) continue;
    if (command == row.pcName) return row.pfnProc;
    names += " ";
    names += row.pcName;
  }
  *pError = "unknown command '" + command + "' in module '" + module + "' (commands:" + names + ")";
  return nullptr;
}

uint32_t RunCommand(LUM_DEBUG_PROC pfnProc, uintptr_t ulArg1, uintptr_t ulArg2, std::string *pOut) {
  DebugState &st = State();
  std::string *prevOut = st.pOut;
  bool prevCut = st.bCut;
  st.pOut = pOut;
  st.bCut = false;
  uint32_t result = pfnProc(ulArg1, ulArg2);
  st.pOut = prevOut;
  st.bCut = prevCut;
  return result;
}

// "0x" hex or decimal, the whole word.
bool ParseArg(const std::string &word, uintptr_t *pulValue) {
  std::string_view text = word;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uintptr_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    if (value > (UINTPTR_MAX - static_cast<uintptr_t>(digit)) / static_cast<uintptr_t>(base)) {
      return false;
    }
    value = value * static_cast<uintptr_t>(base) + static_cast<uintptr_t>(digit);
  }
  *pulValue = value;
  return true;
}

std::string ErrorAnswer(const std::string &text) {
  std::string answer(1, lum::bus::kDebugTrailerMark);
  answer += lum::bus::kDebugErrorWord;
  answer += " " + text + "\n";
  return answer;
}

// The whole answer to one request line: output, then the trailer.
std::string Answer(const std::string &request) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < request.size()) {
    size_t start = request.find_first_not_of(" \t\r", pos);
    if (start == std::string::npos) break;
    size_t end = request.find_first_of(" \t\r", start);
    if (end == std::string::npos) end = request.size();
    words.push_back(request.substr(start, end - start));
    pos = end;
  }
  if (words.size() < 2 || words.size() > 4) {
    return ErrorAnswer("usage: MODULE COMMAND [ARG1 [ARG2]]");
  }
  uintptr_t args[2] = {0, 0};
  for (size_t i = 2; i < words.size(); ++i) {
    if (!ParseArg(words[i], &args[i - 2])) {
      return ErrorAnswer("bad argument '" + words[i] + "': a number, decimal or 0x hex");
    }
  }
  std::string error;
  LUM_DEBUG_PROC proc = FindCommand(words[0], words[1], &error);
  if (proc == nullptr) return ErrorAnswer(error);
  std::string answer;
  uint32_t result = RunCommand(proc, args[0], args[1], &answer);
  answer += lum::bus::kDebugTrailerMark;
  answer += lum::bus::kDebugResultWord;
  char acResult[16];
  snprintf(acResult, sizeof(acResult), " %u\n", result);
  answer += acResult;
  return answer;
}

// One connection: its request read and its answer written as the socket
// allows, from the loop's callbacks and a sweep timer, never waiting.
struct Client {
  int iFd = -1;
  uint32_t ulHandle = 0;  // the read watch; 0 once dropped
  int64_t llDeadline = 0;
  std::string in;
  std::string out;
  size_t ulSent = 0;
  bool bAnswering = false;
};

std::vector<std::unique_ptr<Client>> &Clients() {
  static std::vector<std::unique_ptr<Client>> clients;
  return clients;
}

void Unwatch(Client &client) {
  if (client.ulHandle != 0) (void)LUM_UTIL_SockBaseDelete(client.ulHandle);
  client.ulHandle = 0;
}

void Drop(Client *pClient) {
  Unwatch(*pClient);
  close(pClient->iFd);
  auto &clients = Clients();
  std::erase_if(clients, [&](const std::unique_ptr<Client> &c) { return c.get() == pClient; });
}

// Sends what the socket takes; drops the client when all is sent or the
// socket failed.
void Flush(Client *pClient) {
  while (pClient->ulSent < pClient->out.size()) {
    ssize_t n = send(pClient->iFd, pClient->out.data() + pClient->ulSent,
                     pClient->out.size() - pClient->ulSent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0) {
      LUM_BUS_TRACE("debug: answer not sent: %s\n", strerror(errno));
      break;
    }
    pClient->ulSent += static_cast<size_t>(n);
  }
  Drop(pClient);
}

void StartAnswer(Client *pClient, std::string answer) {
  pClient->out = std::move(answer);
  pClient->bAnswering = true;
  pClient->llDeadline = NowMs() + kAnswerTimeoutMs;
  Flush(pClient);
}

void ClientProc(LUM_SOCK_REG *pstReg) noexcept {
  auto *pClient = static_cast<Client *>(pstReg->pvContext);
  try {
    char buf[lum::bus::kDebugMaxRequest];
    const size_t room = pClient->bAnswering ? sizeof(buf) : sizeof(buf) - pClient->in.size();
    ssize_t n = recv(pClient->iFd, buf, room, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (pClient->bAnswering) {
      // Whatever follows the request is ignored; at its end, only writing is left.
      if (n <= 0) Unwatch(*pClient);
      return;
    }
    if (n < 0 || (n == 0 && pClient->in.empty())) {
      LUM_BUS_TRACE("debug: request not read\n");
      Drop(pClient);
      return;
    }
    const size_t old = pClient->in.size();
    pClient->in.append(buf, static_cast<size_t>(n));
    const size_t nl = pClient->in.find('\n', old);
    if (nl == std::string::npos && n > 0) {
      if (pClient->in.size() < lum::bus::kDebugMaxRequest) return;
      LUM_BUS_TRACE("debug: request longer than %zu bytes\n", lum::bus::kDebugMaxRequest);
      StartAnswer(pClient, ErrorAnswer("request too long"));
      return;
    }
    // A line, or the end of the stream, which ends the line too.
    if (nl != std::string::npos) pClient->in.resize(nl);
    LUM_BUS_TRACE("debug: request \"%.*s\"\n", static_cast<int>(pClient->in.size()),
                  pClient->in.c_str());
    StartAnswer(pClient, Answer(pClient->in));
  } catch (...) {
    LUM_BUS_TRACE("debug: request abandoned: out of memory\n");
    Drop(pClient);
  }
}

// Every few ms while there are clients: answers go on, late clients go.
void SweepProc(void *) noexcept {
  DebugState &st = State();
  const int64_t now = NowMs();
  std::vector<Client *> due;
  for (const auto &client : Clients()) due.push_back(client.get());
  for (Client *pClient : due) {
    if (pClient->bAnswering && now < pClient->llDeadline) {
      Flush(pClient);
    } else if (!pClient->bAnswering && now >= pClient->llDeadline) {
      LUM_BUS_TRACE("debug: no request within %d ms\n", kRequestTimeoutMs);
      StartAnswer(pClient, ErrorAnswer("no request in time"));
    } else if (pClient->bAnswering) {
      LUM_BUS_TRACE("debug: client did not read its answer in time, %zu of %zu bytes sent\n",
                    pClient->ulSent, pClient->out.size());
      Drop(pClient);
    }
  }
  if (Clients().empty() && st.ulSweepTimer != 0) {
    (void)LUM_UTIL_TimerDelete(st.ulSweepTimer);
    st.ulSweepTimer = 0;
  }
}

void Accept() {
  DebugState &st = State();
  for (;;) {
    const int iFd = accept4(st.iListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (iFd < 0) return;
    if (Clients().size() >= kMaxClients) {
      LUM_BUS_TRACE("debug: %zu clients already, connection refused\n", kMaxClients);
      const std::string busy = ErrorAnswer("busy");
      (void)send(iFd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      close(iFd);
      continue;
    }
    auto client = std::make_unique<Client>();
    client->iFd = iFd;
    client->llDeadline = NowMs() + kRequestTimeoutMs;
    if (LUM_UTIL_SockBaseReg(iFd, lum::bus::kSockKindDebug, ClientProc, 0, client.get(),
                             &client->ulHandle) != 0) {
      close(iFd);
      continue;
    }
    Clients().push_back(std::move(client));
    if (st.ulSweepTimer == 0) st.ulSweepTimer = LUM_UTIL_TimerAdd(kSweepMs, 0, SweepProc, nullptr);
  }
}

void DebugAcceptProc(LUM_SOCK_REG *) noexcept {
  try {
    Accept();
  } catch (...) {
    LUM_BUS_TRACE("debug: connection abandoned: out of memory\n");
  }
}

}  // namespace

namespace lum::bus {

void DebugServiceClose() {
  DebugState &st = State();
  while (!Clients().empty()) Drop(Clients().back().get());
  if (st.ulSweepTimer != 0) (void)LUM_UTIL_TimerDelete(st.ulSweepTimer);
  st.ulSweepTimer = 0;
  if (st.bRegistered) {
    LUM_UTIL_SockBaseDelete(st.ulHandle);
    st.bRegistered = false;
    st.ulHandle = 0;
  }
  if (st.iListenFd >= 0) {
    close(st.iListenFd);
    st.iListenFd = -1;
  }
  if (!st.path.empty()) {
    UnlinkIfSame(st.path, st.ulIno);
    st.path.clear();
  }
}

namespace {

// The platform's own command, `lumdebug APP lum stats`: what a long run must
// keep bounded (a soak samples it).
uint32_t StatsProc(uintptr_t, uintptr_t) {
  LUM_Debug_Print("timers %zu\nregistrations %zu\nclients %zu\n", lum::testing::ActiveTimerCount(),
                  lum::loop::RegistrationCount(), Clients().size());
  return 0;
}
LUM_DEBUG_CMD g_astPlatformCmds[] = {{"stats", StatsProc}};

}  // namespace

uint32_t DebugServiceOpen(const std::string &dir, const std::string &app) {
  DebugServiceClose();
  (void)LUM_Debug_RegModCmds("lum", g_astPlatformCmds, 1);
  DebugState &st = State();
  std::string folder = dir + "/debug";
  std::string path = folder + "/" + app;
  sockaddr_un addr{};
  socklen_t addrLen = 0;
  if (!ValidAppName(app) || !MakeUnixAddr(path, &addr, &addrLen)) {
    LUM_BUS_TRACE("debug: unusable socket path %s\n", path.c_str());
    return 1;
  }
  if (!MakeSharedDir(folder)) {
    LUM_BUS_TRACE("debug: cannot create %s: %s\n", folder.c_str(), strerror(errno));
    return 1;
  }
  if (!ClaimSocketPath(path, SOCK_STREAM)) {
    LUM_BUS_TRACE("debug: %s is in use or not a socket\n", path.c_str());
    return 1;
  }
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0 || bind(fd.Get(), reinterpret_cast<const sockaddr *>(&addr), addrLen) != 0 ||
      listen(fd.Get(), 16) != 0) {
    LUM_BUS_TRACE("debug: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  chmod(path.c_str(), 0660);
  struct stat sockStat {};
  ino_t ino = lstat(path.c_str(), &sockStat) == 0 ? sockStat.st_ino : 0;
  uint32_t handle = 0;
  if (LUM_UTIL_SockBaseReg(fd.Get(), kSockKindDebug, DebugAcceptProc, 0, nullptr, &handle) != 0) {
    LUM_BUS_TRACE("debug: cannot register %s with the loop\n", path.c_str());
    UnlinkIfSame(path, ino);
    return 1;
  }
  st.iListenFd = fd.Release();
  st.path = path;
  st.ulIno = ino;
  st.ulHandle = handle;
  st.bRegistered = true;
  return 0;
}

}  // namespace lum::bus

uint32_t LUM_Debug_RegModCmds(const char *pcModule, LUM_DEBUG_CMD *pstTable, uint32_t ulRows) {
  if (pcModule == nullptr || *pcModule == '\0' || pstTable == nullptr || ulRows == 0) {
    LUM_BUS_TRACE("debug: registration refused: missing module or commands\n");
    return 1;
  }
  try {
    Registry()[pcModule] = Module{pstTable, ulRows};
  } catch (...) {
    return 1;
  }
  return 0;
}

void LUM_Debug_Print(const char *pcFmt, ...) {
  if (pcFmt == nullptr) return;
  DebugState &st = State();
  va_list args;
  va_start(args, pcFmt);
  if (st.pOut == nullptr) {
    vfprintf(stdout, pcFmt, args);
    va_end(args);
    fflush(stdout);
    return;
  }
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small), pcFmt, copy);
  va_end(copy);
  if (n < 0 || st.bCut) {
    va_end(args);
    return;
  }
  std::string text;
  try {
    if (static_cast<size_t>(n) < sizeof(small)) {
      text.assign(small, static_cast<size_t>(n));
    } else {
      text.resize(static_cast<size_t>(n) + 1);
      vsnprintf(text.data(), text.size(), pcFmt, args);
      text.resize(static_cast<size_t>(n));
    }
    if (st.pOut->size() + text.size() > kMaxOutput) {
      st.pOut->append("\n[output cut at 1 MiB]\n");
      st.bCut = true;
    } else {
      st.pOut->append(text);
    }
  } catch (...) {
    st.bCut = true;
  }
  va_end(args);
}

namespace lum::testing {

std::string &DebugOutput() { return State().captured; }

int64_t RunDebugCommand(const std::string &module, const std::string &command) {
  std::string error;
  LUM_DEBUG_PROC proc = FindCommand(module, command, &error);
  if (proc == nullptr) return -1;
  DebugState &st = State();
  st.captured.clear();
  return RunCommand(proc, 0, 0, &st.captured);
}

}  // namespace lum::testing
