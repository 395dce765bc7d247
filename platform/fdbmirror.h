// The forwarding-table mirror: every bridge's forwarding database (MAC to port)
// and every link's index, name and port number, held in memory and kept
// current by rtnetlink notifications. A process that runs the event loop
// answers forwarding-table questions from it without a system call.
//
// Why the answer equals the kernel's: the bridge learns a frame's source (and
// sends its notification) before it passes the frame up to our sockets, and
// the loop serves the mirror's socket first in every round. A frame read in a
// round was queued before the round began, so was the notice of its learning,
// and that notice has been applied. Lost notices (ENOBUFS) and interrupted
// dumps lead to a fresh dump; while the mirror cannot be trusted the queries
// go to the kernel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/netbackend.h"

struct nlmsghdr;

namespace lum::net {

class FdbMirror {
 public:
  // Applies one rtnetlink message (link or bridge neighbour, notice or dump
  // part) seen at ulNowMs; every other message is ignored.
  void Apply(const struct nlmsghdr *nh, uint64_t ulNowMs);
  // Every message of a buffer the socket filled.
  void ApplyAll(const void *pvBuf, size_t ulLen, uint64_t ulNowMs);
  void Clear();

  // What FdbLookup answers: the entry on the named bridge (VLAN 0 first), or
  // on any bridge when bridge is empty.
  std::optional<FdbHit> Lookup(const MacBytes &mac, std::string_view bridge,
                               uint64_t ulNowMs) const;
  // Some bridge holds the MAC behind a wireless port.
  bool StaAssociated(const MacBytes &mac) const;
  size_t EntryCount() const;

 private:
  struct Link {
    std::string name;
    uint16_t usPortNo;
  };
  struct Entry {
    int iBridge;
    int iPort;
    uint16_t usVlan;
    uint32_t ulAgeMs;   // the kernel's age of the entry when last told
    uint64_t ulToldMs;  // when that was
  };

  static uint64_t Key(const MacBytes &mac);
  void ApplyLink(const struct nlmsghdr *nh);
  void ApplyFdb(const struct nlmsghdr *nh, uint64_t ulNowMs);
  void DropLink(int iIndex);

  std::unordered_map<int, Link> m_links;
  std::unordered_map<std::string, int> m_indexByName;
  std::unordered_map<uint64_t, std::vector<Entry>> m_fdb;  // by MAC: an entry per bridge and VLAN
};

// The rtnetlink socket that feeds a mirror: subscribes to link and neighbour
// notices, dumps both tables, then applies whatever the socket holds.
class FdbFeed {
 public:
  FdbFeed() = default;
  ~FdbFeed();
  FdbFeed(const FdbFeed &) = delete;
  FdbFeed &operator=(const FdbFeed &) = delete;

  // Opens the socket and dumps; false (and closed) when either fails.
  bool Start();
  // Applies every message waiting on the socket; dumps afresh after lost
  // notices. False when the socket failed (the feed is then closed).
  bool Serve();
  void Stop() { Close(); }
  int Fd() const { return m_iFd; }
  const FdbMirror &Mirror() const { return m_mirror; }

 private:
  bool Dump();
  bool DumpOne(uint16_t usType, uint8_t ucFamily, bool *pbInterrupted);
  void Close();

  FdbMirror m_mirror;
  int m_iFd = -1;
  uint32_t m_ulSeq = 0;
};

// The mirror of this process's event loop: started on first use on the loop's
// thread and served by the loop; nullptr off that thread, outside a running
// loop, after fork() and while the mirror cannot be trusted (a failed start is
// retried a second later).
const FdbMirror *LoopMirror();

}  // namespace lum::net
