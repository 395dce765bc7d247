// The floor of the load benchmark: the least a receiver of the daemon's kind
// can spend on a frame. The same listening socket as the daemon's (the legacy
// packet socket for ARP, bound to br0, the same forced receive buffer), one
// blocking recvfrom per frame, nothing else. Counts ARP frames until SIGINT or
// SIGTERM and prints the count.
//   floor [IF]   (default br0)
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "arp/arp.h"

namespace {

constexpr int kSockPacket = 10;
constexpr uint16_t kEtherTypeArp = 0x0806;

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char **argv) {
  const char *ifname = argc > 1 ? argv[1] : "br0";
  // No SA_RESTART: the signal must end the blocking recvfrom.
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const int fd = socket(AF_INET, kSockPacket, htons(kEtherTypeArp));
  char ifreq[32] = {};
  strncpy(ifreq, ifname, 15);
  const int size = HOSTMON_LISTEN_RCVBUF;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifreq, sizeof(ifreq)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
    fprintf(stderr, "floor: listening socket on %s: %s\n", ifname, strerror(errno));
    return 1;
  }
  uint64_t count = 0;
  while (!g_stop) {
    uint8_t frame[HOSTMON_ARP_FRAME_LEN];
    uint8_t from[16];
    socklen_t fromLen = sizeof(from);
    const ssize_t len =
        recvfrom(fd, frame, sizeof(frame), 0, reinterpret_cast<sockaddr *>(from), &fromLen);
    if (len < 0 && errno != EINTR) {
      fprintf(stderr, "floor: recvfrom: %s\n", strerror(errno));
      return 1;
    }
    if (len >= 14 && frame[12] == 0x08 && frame[13] == 0x06) ++count;
  }
  printf("%llu\n", static_cast<unsigned long long>(count));
  return 0;
}
