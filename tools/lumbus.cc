// lumbus: sends, broadcasts and watches messages on the bus.
// Usage: kHelp below and lumbus(1).
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/businternal.h"
#include "platform/lum.h"
#include "tools/msgbuild.h"
#include "tools/msgdecode.h"
#include "tools/toolcli.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = lumtools::kExitUsage;

volatile sig_atomic_t g_stop = 0;

constexpr const char *kHelp =
    "usage: lumbus send APP TYPE [--data N] [--payload-hex HEX | --payload-text TEXT | FIELDS]\n"
    "       lumbus publish TYPE [--data N] [--payload-hex HEX | --payload-text TEXT | FIELDS]\n"
    "       lumbus listen APP [--count N] [--timeout S]\n"
    "       lumbus --help | --version\n"
    "FIELDS build the payload of the peers' messages: --mac MAC, --ip IPV4 (a lease's\n"
    "address goes into the data word), --ip6 IPV6, --bridge NAME; e.g.\n"
    "  lumbus send hostmon 0x3012 --mac 02:00:00:00:00:01 --ip 192.168.1.11 --bridge br0\n"
    "TYPE and N: decimal or 0x hex, 32 bits. The bus folder is $LUM_BUS_DIR\n"
    "(default /var/run/lumbus). See lumbus(1).\n";

// An option's value, or nullptr after saying why: an unknown option is named
// as such, not as one that lacks its value.
const char *OptionValue(int argc, char **argv, int *pi, const char *const *known) {
  const char *opt = argv[*pi];
  bool bKnown = false;
  for (const char *const *k = known; *k != nullptr; ++k) bKnown = bKnown || strcmp(opt, *k) == 0;
  if (!bKnown) {
    if (opt[0] == '-') {
      fprintf(stderr, "lumbus: unknown option %s\n", opt);
    } else {
      fprintf(stderr, "lumbus: unexpected argument \"%s\"\n", opt);
    }
    return nullptr;
  }
  if (*pi + 1 >= argc) {
    fprintf(stderr, "lumbus: %s needs a value\n", opt);
    return nullptr;
  }
  return argv[++*pi];
}

bool CheckAppName(const char *pcApp) {
  if (lum::bus::ValidAppName(pcApp)) return true;
  fprintf(stderr,
          "lumbus: bad application name \"%s\" (1 to 255 characters, no '/', not starting "
          "with '.')\n",
          pcApp);
  return false;
}

bool ParseHex(const char *pcText, std::vector<uint8_t> *pBytes) {
  std::string digits;
  for (const char *p = pcText; *p != '\0'; ++p) {
    if (*p == ':' || *p == ' ' || *p == '-') continue;  // separators allowed between bytes
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
    digits += *p;
  }
  if (digits.size() % 2 != 0) return false;
  pBytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    pBytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

int Send(const char *pcDest, int argc, char **argv, int iFirst) {
  uint32_t type = 0;
  if (!lumtools::ParseU32OrSay("lumbus", "TYPE", argv[iFirst], &type)) return kExitUsage;
  uint32_t data = 0;
  bool bHaveData = false;
  std::vector<uint8_t> payload;
  bool bHavePayload = false;
  lumtools::MsgFields fields;
  bool bHaveFields = false;
  static const char *const kOptions[] = {"--data", "--payload-hex", "--payload-text", "--mac",
                                         "--ip",   "--ip6",         "--bridge",       nullptr};
  for (int i = iFirst + 1; i < argc; ++i) {
    std::string opt = argv[i];
    const char *value = OptionValue(argc, argv, &i, kOptions);
    if (value == nullptr) return kExitUsage;
    if (opt == "--data") {
      if (!lumtools::ParseU32OrSay("lumbus", "--data", value, &data)) return kExitUsage;
      bHaveData = true;
    } else if (opt == "--mac" || opt == "--ip" || opt == "--ip6" || opt == "--bridge") {
      bHaveFields = true;
      bool bOk = true;
      if (opt == "--mac") {
        fields.mac = lumtools::ParseMacField(value);
        bOk = fields.mac.has_value();
      } else if (opt == "--ip") {
        fields.ip.emplace();
        bOk = inet_pton(AF_INET, value, fields.ip->data()) == 1;
      } else if (opt == "--ip6") {
        fields.ip6.emplace();
        bOk = inet_pton(AF_INET6, value, fields.ip6->data()) == 1;
      } else {
        fields.bridge = value;
      }
      if (!bOk) {
        fprintf(stderr, "lumbus: %s %s is not an address\n", opt.c_str(), value);
        return kExitUsage;
      }
    } else if (opt == "--payload-hex" || opt == "--payload-text") {
      if (bHavePayload) {
        fprintf(stderr, "lumbus: give one payload only\n");
        return kExitUsage;
      }
      bHavePayload = true;
      if (opt == "--payload-hex") {
        if (!ParseHex(value, &payload)) {
          fprintf(stderr, "lumbus: --payload-hex needs pairs of hex digits\n");
          return kExitUsage;
        }
      } else {
        payload.assign(value, value + strlen(value) + 1);  // with its NUL
      }
    }
  }
  if (bHaveFields) {
    std::optional<uint32_t> fieldData;
    const std::string why = lumtools::BuildPayload(type, fields, &payload, &fieldData);
    if (bHavePayload || !why.empty() || (fieldData && bHaveData)) {
      fprintf(stderr, "lumbus: type 0x%04x: %s\n", type,
              !why.empty() ? why.c_str() : "the fields are the payload (and the data word)");
      return kExitUsage;
    }
    if (fieldData) data = *fieldData;
  }
  if (payload.size() > LUM_MSG_MAX_SIZE - sizeof(LUM_MSG_HEADER)) {
    fprintf(stderr, "lumbus: payload of %zu bytes exceeds the %zu-byte limit\n", payload.size(),
            LUM_MSG_MAX_SIZE - sizeof(LUM_MSG_HEADER));
    return kExitUsage;
  }
  if (pcDest == nullptr && type == LUM_MSG_SUBSCRIBE) {
    fprintf(stderr, "lumbus: type 0x702 is the subscription request, not a broadcast\n");
    return kExitUsage;
  }
  if (LUM_MSG_Init(nullptr) != 0) {
    fprintf(stderr, "lumbus: cannot open a bus socket\n");
    return kExitFail;
  }
  uint32_t rc = LUM_MSG_Send(pcDest, type, data, payload.empty() ? nullptr : payload.data(),
                             static_cast<uint32_t>(payload.size()));
  if (rc != 0) {
    if (pcDest != nullptr) {
      fprintf(stderr,
              "lumbus: %s/%s did not take the message (not running, or its queue is full)\n",
              lum::bus::Dir().c_str(), pcDest);
    } else {
      fprintf(stderr, "lumbus: no subscriber of type 0x%04x took the message\n", type);
    }
    return kExitFail;
  }
  return kExitOk;
}

void PrintMessage(void *pvMsg) {
  const auto *msg = static_cast<const uint8_t *>(pvMsg);
  LUM_MSG_HEADER hdr;
  memcpy(&hdr, msg, sizeof(hdr));
  std::string line = lumtools::DescribeMessage(msg, sizeof(hdr) + hdr.ulPayloadLen);
  line += '\n';
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

void OnSignal(int) { g_stop = 1; }

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Listen(const char *pcApp, int argc, char **argv, int iFirst) {
  uint32_t count = 0;  // 0: no limit
  double timeoutSec = 0;
  static const char *const kOptions[] = {"--count", "--timeout", nullptr};
  for (int i = iFirst; i < argc; ++i) {
    std::string opt = argv[i];
    const char *value = OptionValue(argc, argv, &i, kOptions);
    if (value == nullptr) return kExitUsage;
    if (opt == "--count") {
      if (!lumtools::ParseU32OrSay("lumbus", "--count", value, &count)) return kExitUsage;
      if (count == 0) {
        fprintf(stderr, "lumbus: --count needs a positive number\n");
        return kExitUsage;
      }
    } else if (opt == "--timeout") {
      char *end = nullptr;
      timeoutSec = strtod(value, &end);
      if (end == value || *end != '\0' || !std::isfinite(timeoutSec) || timeoutSec <= 0 ||
          timeoutSec > 1e6) {
        fprintf(stderr, "lumbus: --timeout needs a positive number of seconds\n");
        return kExitUsage;
      }
    }
  }
  if (LUM_MSG_Init(pcApp) != 0) {
    fprintf(stderr, "lumbus: cannot listen as %s in %s (bad name, or in use)\n", pcApp,
            lum::bus::Dir().c_str());
    return kExitFail;
  }
  LUM_MSG_RegisterMsgProc(PrintMessage);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: poll returns and we clean up
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  fprintf(stderr, "lumbus: listening as %s\n", pcApp);

  int64_t deadline = timeoutSec > 0 ? NowMs() + static_cast<int64_t>(timeoutSec * 1000) : -1;
  uint32_t received = 0;
  bool bTimedOut = false;
  while (!g_stop && (count == 0 || received < count)) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0) {
        bTimedOut = true;
        break;
      }
      wait = static_cast<int>(left);
    }
    pollfd pfd{lum::bus::Fd(), POLLIN, 0};
    int rc = poll(&pfd, 1, wait);
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;
    switch (lum::bus::ReceiveOne()) {
      case lum::bus::RecvResult::kDelivered:
        ++received;
        break;
      case lum::bus::RecvResult::kDropped:
        fprintf(stderr, "lumbus: dropped a malformed datagram (LUM_TRACE=- says why)\n");
        break;
      case lum::bus::RecvResult::kNothing:
        break;
    }
  }
  lum::bus::Shutdown();
  if (count != 0 && received < count) {
    if (bTimedOut) {
      fprintf(stderr, "lumbus: timed out after %u of %u messages\n", received, count);
    }
    return kExitFail;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (int rc = lumtools::HelpOrVersion(argc, argv, "lumbus", kHelp); rc >= 0) return rc;
  if (argc < 2) {
    fprintf(stderr, "lumbus: no command given: send, publish or listen (lumbus --help)\n");
    return kExitUsage;
  }
  std::string cmd = argv[1];
  if (cmd == "send") {
    if (argc < 4) {
      fprintf(stderr, "lumbus: send needs APP and TYPE\n");
      return kExitUsage;
    }
    return CheckAppName(argv[2]) ? Send(argv[2], argc, argv, 3) : kExitUsage;
  }
  if (cmd == "publish") {
    if (argc < 3) {
      fprintf(stderr, "lumbus: publish needs TYPE\n");
      return kExitUsage;
    }
    return Send(nullptr, argc, argv, 2);
  }
  if (cmd == "listen") {
    if (argc < 3) {
      fprintf(stderr, "lumbus: listen needs APP\n");
      return kExitUsage;
    }
    return CheckAppName(argv[2]) ? Listen(argv[2], argc, argv, 3) : kExitUsage;
  }
  fprintf(stderr, "lumbus: unknown command \"%s\": send, publish or listen (lumbus --help)\n",
          cmd.c_str());
  return kExitUsage;
}
