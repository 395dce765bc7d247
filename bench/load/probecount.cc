// Watches one port of the LAN for the ARP requests one MAC sends (the
// gateway's probes) and prints the target address of each on a line of its
// own, as it arrives, until it is killed (each line is flushed at once, so
// nothing waits for an orderly end). A socket filter keeps every
// other frame in the kernel, so a storm on the same LAN cannot crowd the
// probes out of the receive buffer.
//   probecount IF MAC
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t kEtherTypeArp = 0x0806;
constexpr size_t kArpFrameLen = 42;

}  // namespace

int main(int argc, char **argv) {
  unsigned m[6];
  if (argc != 3 ||
      sscanf(argv[2], "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
    fprintf(stderr, "usage: probecount IF MAC\n");
    return 2;
  }
  // Source MAC (bytes 6-11) is MAC, and the ARP operation (bytes 20-21) is 1.
  const uint32_t macHigh = m[0] << 24 | m[1] << 16 | m[2] << 8 | m[3];
  const uint32_t macLow = m[4] << 8 | m[5];
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 6),   BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, macHigh, 0, 5),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 10),  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, macLow, 0, 3),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 20),  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, kArpFrameLen), BPF_STMT(BPF_RET | BPF_K, 0),
  };
  const sock_fprog prog{sizeof(code) / sizeof(code[0]), code};
  // Protocol 0 receives nothing until the bind, by when the filter is on.
  const int fd = socket(AF_PACKET, SOCK_RAW, 0);
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(kEtherTypeArp);
  addr.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
  if (fd < 0 || addr.sll_ifindex == 0 ||
      setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
    fprintf(stderr, "probecount: packet socket on %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  for (;;) {
    uint8_t frame[kArpFrameLen];
    const ssize_t len = recv(fd, frame, sizeof(frame), 0);
    if (len < 0 && errno != EINTR) {
      fprintf(stderr, "probecount: recv: %s\n", strerror(errno));
      return 1;
    }
    if (len < static_cast<ssize_t>(kArpFrameLen)) continue;
    printf("%u.%u.%u.%u\n", frame[38], frame[39], frame[40], frame[41]);
    fflush(stdout);
  }
}
