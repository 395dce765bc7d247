// Load generator: broadcast ARP requests for the gateway (192.168.1.1) from
// simulated hosts, each with a MAC and a sender address of its own, sent in
// sendmmsg batches on a packet socket bound to one interface. Frames go to the
// hosts in turn. Paced runs keep an absolute schedule (TIMER_ABSTIME), so a
// late wake-up is caught up rather than lost; rate 0 sends as fast as it can.
//   arpgen -i IF [-n HOSTS] [-f FIRST] [-a ADDR] [-r RATE] [-t SECONDS] [-c COUNT]
// Stops after SECONDS or COUNT frames, whichever comes first (a paced run
// sends RATE x SECONDS frames). Prints the number of frames sent; frames the
// kernel refused go to standard error.
//
// Host k (FIRST, FIRST + 1, ...) has MAC 02:00:00:01:kk:kk (k in hex, 16
// bits) and an address 192.168.1.x, x counting from ADDR (default 2) up to
// 254 and then from ADDR again: up to 253 hosts have addresses of their own,
// more share them as a storm of spoofers would. The load benchmark's hosts
// (.11-.14) stay silent in IPv4 during a run, so sharing their addresses
// disturbs nothing.
#include <getopt.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kFrameLen = 60;
constexpr unsigned kMaxHosts = 65536;
constexpr unsigned kLastAddr = 254;
constexpr unsigned kMaxBatch = 64;
constexpr uint64_t kNsPerSec = 1000000000ULL;

using Frame = uint8_t[kFrameLen];

void BuildFrame(unsigned k, unsigned firstAddr, Frame &frame) {
  const uint8_t mac[6] = {
      0x02, 0x00, 0x00, 0x01, static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)};
  const uint8_t head[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};  // Ethernet/IPv4, request
  const uint8_t sender[4] = {192, 168, 1,
                             static_cast<uint8_t>(firstAddr + k % (kLastAddr + 1 - firstAddr))};
  const uint8_t target[4] = {192, 168, 1, 1};
  memset(frame, 0, kFrameLen);
  memset(frame, 0xff, 6);
  memcpy(frame + 6, mac, 6);
  frame[12] = 0x08;
  frame[13] = 0x06;
  memcpy(frame + 14, head, sizeof(head));
  memcpy(frame + 22, mac, 6);
  memcpy(frame + 28, sender, 4);
  memcpy(frame + 38, target, 4);
}

uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNsPerSec + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepUntil(uint64_t ns) {
  const timespec ts{static_cast<time_t>(ns / kNsPerSec), static_cast<long>(ns % kNsPerSec)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

int Usage() {
  fprintf(stderr,
          "usage: arpgen -i IF [-n HOSTS] [-f FIRST] [-a ADDR] [-r RATE] [-t SECONDS] "
          "[-c COUNT]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  const char *ifname = nullptr;
  unsigned hosts = 1, first = 0, firstAddr = 2;
  uint64_t rate = 0, count = UINT64_MAX;
  double seconds = 1;
  for (int opt; (opt = getopt(argc, argv, "i:n:f:a:r:t:c:")) != -1;) {
    switch (opt) {
      case 'i':
        ifname = optarg;
        break;
      case 'n':
        hosts = static_cast<unsigned>(strtoul(optarg, nullptr, 10));
        break;
      case 'f':
        first = static_cast<unsigned>(strtoul(optarg, nullptr, 10));
        break;
      case 'a':
        firstAddr = static_cast<unsigned>(strtoul(optarg, nullptr, 10));
        break;
      case 'r':
        rate = strtoull(optarg, nullptr, 10);
        break;
      case 't':
        seconds = strtod(optarg, nullptr);
        break;
      case 'c':
        count = strtoull(optarg, nullptr, 10);
        break;
      default:
        return Usage();
    }
  }
  if (ifname == nullptr || hosts == 0 || !(seconds > 0)) return Usage();
  if (first + hosts > kMaxHosts || firstAddr < 2 || firstAddr > kLastAddr) {
    fprintf(stderr, "arpgen: hosts %u from %u, or address .%u, out of range\n", hosts, first,
            firstAddr);
    return 2;
  }

  const int fd = socket(AF_PACKET, SOCK_RAW, 0);  // protocol 0: send only, receive nothing
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
  if (fd < 0 || addr.sll_ifindex == 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
    fprintf(stderr, "arpgen: packet socket on %s: %s\n", ifname, strerror(errno));
    return 1;
  }

  std::vector<Frame> frames(hosts);
  for (unsigned i = 0; i < hosts; ++i) BuildFrame(first + i, firstAddr, frames[i]);
  // About one batch a millisecond when paced: sleeps far shorter than that
  // cost more than the frames.
  const unsigned batch =
      rate == 0 ? kMaxBatch
                : static_cast<unsigned>(std::clamp<uint64_t>(rate / 1000, 1, kMaxBatch));
  const uint64_t duration = static_cast<uint64_t>(seconds * kNsPerSec);
  if (rate != 0 && rate * duration / kNsPerSec < count) count = rate * duration / kNsPerSec;

  iovec iov[kMaxBatch];
  mmsghdr msgs[kMaxBatch] = {};
  for (unsigned i = 0; i < kMaxBatch; ++i) {
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    iov[i].iov_len = kFrameLen;
  }

  const uint64_t start = NowNs(), end = start + duration;
  uint64_t sent = 0, refused = 0, next = 0;  // next: index of the next frame in the schedule
  while (next < count) {
    if (rate != 0) {
      SleepUntil(start +
                 static_cast<uint64_t>(static_cast<unsigned __int128>(next) * kNsPerSec / rate));
    } else if (NowNs() >= end) {
      break;
    }
    const unsigned n = static_cast<unsigned>(count - next < batch ? count - next : batch);
    for (unsigned i = 0; i < n; ++i) iov[i].iov_base = frames[(next + i) % hosts];
    const int done = sendmmsg(fd, msgs, n, 0);
    if (done > 0) {
      sent += static_cast<unsigned>(done);
      next += static_cast<unsigned>(done);
    } else if (errno == ENOBUFS || errno == EAGAIN) {
      ++refused;  // skipped, not retried: the schedule goes on
      ++next;
    } else if (errno != EINTR) {
      fprintf(stderr, "arpgen: sendmmsg: %s\n", strerror(errno));
      return 1;
    }
  }
  if (refused != 0)
    fprintf(stderr, "arpgen: %llu frames refused\n", static_cast<unsigned long long>(refused));
  printf("%llu\n", static_cast<unsigned long long>(sent));
  return 0;
}
