// lumdebug: runs one debug command in a running application and prints its
// output. Usage: kHelp below and lumdebug(1).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/businternal.h"
#include "tools/toolcli.h"

namespace {

constexpr int kExitFail = 1;
constexpr int kExitUsage = lumtools::kExitUsage;
// The daemon answers between two callbacks of its loop; some of those pause.
constexpr int kAnswerTimeoutMs = 30000;

constexpr const char *kHelp =
    "usage: lumdebug APP MODULE COMMAND [ARG1 [ARG2]]\n"
    "       lumdebug --help | --version\n"
    "Runs COMMAND of MODULE in the running application APP and prints its output;\n"
    "the exit status is the command's result (255 for a result of 255 or more).\n"
    "ARG: decimal or 0x hex. The socket is $LUM_BUS_DIR/debug/APP\n"
    "(default /var/run/lumbus/debug/APP). E.g. lumdebug hostmon test show.\n"
    "See lumdebug(1).\n";

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool SendAll(int iFd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(iFd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The exit status for a command's result: 0, 1..254 as such, larger ones 255.
int ExitFor(unsigned long ulResult) { return ulResult < 255 ? static_cast<int>(ulResult) : 255; }

}  // namespace

int main(int argc, char **argv) {
  if (int rc = lumtools::HelpOrVersion(argc, argv, "lumdebug", kHelp); rc >= 0) return rc;
  if (argc < 4) {
    fprintf(stderr, "lumdebug: needs APP, MODULE and COMMAND (lumdebug --help)\n");
    return kExitUsage;
  }
  if (argc > 6) {
    fprintf(stderr, "lumdebug: too many arguments: a command takes at most two (ARG1 ARG2)\n");
    return kExitUsage;
  }
  std::string app = argv[1];
  std::string request;
  for (int i = 2; i < argc; ++i) {
    if (*argv[i] == '\0' || strpbrk(argv[i], " \t\r\n") != nullptr) {
      fprintf(stderr, "lumdebug: words may not be empty or hold blanks: \"%s\"\n", argv[i]);
      return kExitUsage;
    }
    if (i > 2) request += ' ';
    request += argv[i];
  }
  request += '\n';
  if (request.size() > lum::bus::kDebugMaxRequest) {
    fprintf(stderr, "lumdebug: request longer than %zu bytes\n", lum::bus::kDebugMaxRequest);
    return kExitUsage;
  }
  if (!lum::bus::ValidAppName(app)) {
    fprintf(stderr, "lumdebug: bad application name \"%s\"\n", app.c_str());
    return kExitUsage;
  }

  std::string path = lum::bus::DirFromEnv() + "/debug/" + app;
  sockaddr_un addr{};
  socklen_t addrLen = 0;
  if (!lum::bus::MakeUnixAddr(path, &addr, &addrLen)) {
    fprintf(stderr, "lumdebug: socket path too long: %s\n", path.c_str());
    return kExitFail;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&addr), addrLen) != 0) {
    fprintf(stderr, "lumdebug: cannot reach %s: %s\n", path.c_str(), strerror(errno));
    return kExitFail;
  }
  if (!SendAll(fd, request)) {
    fprintf(stderr, "lumdebug: request not sent: %s\n", strerror(errno));
    close(fd);
    return kExitFail;
  }

  std::string answer;
  int64_t deadline = NowMs() + kAnswerTimeoutMs;
  char buf[4096];
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) {
      fprintf(stderr, "lumdebug: no complete answer within %d s\n", kAnswerTimeoutMs / 1000);
      close(fd);
      return kExitFail;
    }
    pollfd pfd{fd, POLLIN, 0};
    int rc = poll(&pfd, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fprintf(stderr, "lumdebug: reading the answer: %s\n", strerror(errno));
      close(fd);
      return kExitFail;
    }
    if (n == 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);

  // The output, then the mark and one trailer line; the output may hold marks too.
  size_t mark = answer.rfind(lum::bus::kDebugTrailerMark);
  if (mark == std::string::npos || answer.empty() || answer.back() != '\n') {
    fwrite(answer.data(), 1, answer.size(), stdout);
    fprintf(stderr, "lumdebug: the answer ended early\n");
    return kExitFail;
  }
  fwrite(answer.data(), 1, mark, stdout);
  fflush(stdout);
  std::string trailer = answer.substr(mark + 1, answer.size() - mark - 2);
  std::string resultWord = std::string(lum::bus::kDebugResultWord) + " ";
  std::string errorWord = std::string(lum::bus::kDebugErrorWord) + " ";
  if (trailer.compare(0, resultWord.size(), resultWord) == 0) {
    const char *digits = trailer.c_str() + resultWord.size();
    char *end = nullptr;
    errno = 0;
    unsigned long result = strtoul(digits, &end, 10);
    if (end != digits && *end == '\0' && errno == 0) {
      if (result != 0) fprintf(stderr, "lumdebug: result %lu (0x%lx)\n", result, result);
      return ExitFor(result);
    }
  } else if (trailer.compare(0, errorWord.size(), errorWord) == 0) {
    fprintf(stderr, "lumdebug: %s\n", trailer.c_str() + errorWord.size());
    return kExitFail;
  }
  fprintf(stderr, "lumdebug: unreadable answer trailer\n");
  return kExitFail;
}
