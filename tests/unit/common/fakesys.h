// A kernel stand-in for the daemon's own socket calls (platform/sys.h):
// interface queries answered from a table, frames and packets sent recorded,
// frames to receive queued. Installed for the life of the object.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace faketest {

struct FakeInterface {
  uint8_t aucMac[6];
  uint32_t ulIpAddr;  // network byte order; 0: SIOCGIFADDR fails
};

struct SentPacket {
  int iFd;
  std::string ifname;  // bound with SO_BINDTODEVICE, or the sockaddr's name
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> dest;  // the destination socket address as passed
};

struct SocketInfo {
  int iDomain, iType, iProtocol;
  std::string boundTo;                       // SO_BINDTODEVICE
  std::vector<std::pair<int, int>> options;  // (level, name) in the order set
  bool bClosed = false;
};

struct QueuedFrame {
  std::vector<uint8_t> bytes;
  std::string ifname;  // reported in the source address after the family
};

class FakeSys {
 public:
  FakeSys();
  ~FakeSys();
  FakeSys(const FakeSys &) = delete;
  FakeSys &operator=(const FakeSys &) = delete;

  std::map<std::string, FakeInterface> interfaces;
  std::vector<SentPacket> sent;                   // sendto and sendmsg, in order
  std::map<int, SocketInfo> sockets;              // every socket opened
  std::deque<QueuedFrame> toReceive;              // answered by recvfrom in order
  int iFailSocket = 0;                            // the next N socket() calls fail
  std::map<std::pair<int, int>, int> failOption;  // (level, name) -> errno to fail with
  int iFailSend = 0;                              // errno for every send, 0 for success

  int OpenCount() const;  // sockets not closed
  static FakeSys *Current();
};

}  // namespace faketest
