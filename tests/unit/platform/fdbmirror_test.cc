// The forwarding-table mirror fed by a fake kernel: dumps answered from a
// table the test edits, notices queued as the kernel would send them.
#include "platform/fdbmirror.h"

#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/common/fakesys.h"

namespace {

using lum::net::MacBytes;
using Bytes = std::vector<uint8_t>;

constexpr int kBr0 = 10, kBr1 = 11, kEth1 = 21, kEth2 = 22, kWl0 = 23;
constexpr MacBytes kMacA = {0x02, 0, 0, 0, 0, 0x0a}, kMacB = {0x02, 0, 0, 0, 0, 0x0b};

// One attribute, padded; another's bytes as its value nest it.
Bytes Attr(uint16_t usType, const void *pvData, size_t ulLen) {
  Bytes out(RTA_SPACE(ulLen));
  auto *rta = reinterpret_cast<struct rtattr *>(out.data());
  rta->rta_type = usType;
  rta->rta_len = static_cast<uint16_t>(RTA_LENGTH(ulLen));
  memcpy(RTA_DATA(rta), pvData, ulLen);
  return out;
}
Bytes Attr(uint16_t usType, const Bytes &value) { return Attr(usType, value.data(), value.size()); }
Bytes Attr(uint16_t usType, uint32_t ulValue) { return Attr(usType, &ulValue, 4); }

template <typename Header>
Bytes Message(uint16_t usType, const Header &header, const std::vector<Bytes> &attrs = {}) {
  Bytes out(NLMSG_LENGTH(sizeof(Header)));
  memcpy(NLMSG_DATA(out.data()), &header, sizeof(header));
  for (const Bytes &attr : attrs) out.insert(out.end(), attr.begin(), attr.end());
  auto *nh = reinterpret_cast<struct nlmsghdr *>(out.data());
  nh->nlmsg_type = usType;
  nh->nlmsg_len = static_cast<uint32_t>(out.size());
  return out;
}

Bytes Link(uint16_t usType, int iIndex, const std::string &name, int iMaster = 0,
           uint16_t usPortNo = 0) {
  struct ifinfomsg ifi {};
  ifi.ifi_index = iIndex;
  std::vector<Bytes> attrs = {Attr(IFLA_IFNAME, name.c_str(), name.size() + 1)};
  if (iMaster != 0) attrs.push_back(Attr(IFLA_MASTER, static_cast<uint32_t>(iMaster)));
  if (usPortNo != 0) {
    attrs.push_back(Attr(IFLA_LINKINFO, Attr(IFLA_INFO_SLAVE_DATA,
                                             Attr(IFLA_BRPORT_NO, &usPortNo, sizeof(usPortNo)))));
  }
  return Message(usType, ifi, attrs);
}

Bytes Neigh(uint16_t usType, int iBridge, int iPort, const MacBytes &mac, uint16_t usVlan = 0,
            uint16_t usState = NUD_REACHABLE) {
  struct ndmsg ndm {};
  ndm.ndm_family = AF_BRIDGE;
  ndm.ndm_ifindex = iPort;
  ndm.ndm_state = usState;
  std::vector<Bytes> attrs = {Attr(NDA_LLADDR, mac.data(), mac.size()),
                              Attr(NDA_MASTER, static_cast<uint32_t>(iBridge))};
  if (usVlan != 0) attrs.push_back(Attr(NDA_VLAN, &usVlan, sizeof(usVlan)));
  return Message(usType, ndm, attrs);
}

// The kernel's side: answers each dump request from its tables.
struct FakeKernel {
  std::vector<Bytes> links, fdb;
  std::vector<uint16_t> requests;  // the types asked, in order
  bool bInterruptNext = false;     // flag the next dump's first part

  void Answer(faketest::FakeSys &sys, const faketest::SentPacket &sent) {
    const auto *req = reinterpret_cast<const struct nlmsghdr *>(sent.bytes.data());
    ASSERT_EQ(req->nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    requests.push_back(req->nlmsg_type);
    std::vector<Bytes> parts = req->nlmsg_type == RTM_GETLINK ? links : fdb;
    parts.push_back(Message(NLMSG_DONE, 0));
    for (Bytes &bytes : parts) {
      auto *nh = reinterpret_cast<struct nlmsghdr *>(bytes.data());
      nh->nlmsg_seq = req->nlmsg_seq;
      if (std::exchange(bInterruptNext, false)) nh->nlmsg_flags |= NLM_F_DUMP_INTR;
      sys.toReceive.push_back({bytes, "", {}});
    }
  }
};

class FdbMirrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel_.links = {Link(RTM_NEWLINK, kBr0, "br0"), Link(RTM_NEWLINK, kBr1, "br1"),
                     Link(RTM_NEWLINK, kEth1, "eth1", kBr0, 1),
                     Link(RTM_NEWLINK, kEth2, "eth2", kBr0, 2),
                     Link(RTM_NEWLINK, kWl0, "wl0", kBr1, 1)};
    kernel_.fdb = {Neigh(RTM_NEWNEIGH, kBr0, kEth1, kMacA),
                   // The port's own address: local, never an answer.
                   Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacB, 0, NUD_PERMANENT)};
    sys_.onSend = [this](const faketest::SentPacket &sent) { kernel_.Answer(sys_, sent); };
  }
  void Notice(const std::vector<Bytes> &notices) {
    for (const Bytes &bytes : notices) sys_.toReceive.push_back({bytes, "", {}});
    ASSERT_TRUE(feed_.Serve());
  }
  // "port/number" or "-" for each (MAC, bridge) asked, space-separated.
  std::string Ports(std::initializer_list<std::pair<MacBytes, const char *>> asks) {
    std::string out;
    for (const auto &[mac, bridge] : asks) {
      std::optional<lum::net::FdbHit> hit = feed_.Mirror().Lookup(mac, bridge, 0);
      out +=
          (out.empty() ? "" : " ") + (hit ? hit->port + "/" + std::to_string(hit->usPortNo) : "-");
    }
    return out;
  }

  faketest::FakeSys sys_;
  FakeKernel kernel_;
  lum::net::FdbFeed feed_;
};

TEST_F(FdbMirrorTest, DumpThenNoticesAnswerAsTheKernelWould) {
  ASSERT_TRUE(feed_.Start());
  EXPECT_EQ(kernel_.requests, (std::vector<uint16_t>{RTM_GETLINK, RTM_GETNEIGH}));
  EXPECT_EQ(Ports({{kMacA, "br0"}, {kMacA, ""}, {kMacA, "br1"}, {kMacA, "br9"}, {kMacB, "br0"}}),
            "eth1/1 eth1/1 - - -");
  // Learnt, and moved: one entry each.
  Notice({Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacB), Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacA)});
  EXPECT_EQ(Ports({{kMacB, "br0"}, {kMacA, "br0"}}), "eth2/2 eth2/2");
  EXPECT_EQ(feed_.Mirror().EntryCount(), 2u);
  // The same MAC in a VLAN and on another bridge: VLAN 0 answers first.
  Notice({Neigh(RTM_NEWNEIGH, kBr0, kEth1, kMacB, 5), Neigh(RTM_NEWNEIGH, kBr1, kWl0, kMacB),
          Neigh(RTM_DELNEIGH, kBr0, kEth2, kMacB)});
  EXPECT_EQ(Ports({{kMacB, "br0"}, {kMacB, "br1"}}), "eth1/1 wl0/1");
  EXPECT_TRUE(feed_.Mirror().StaAssociated(kMacB));
  EXPECT_FALSE(feed_.Mirror().StaAssociated(kMacA));
  // A renamed port answers by its new name; a deleted bridge takes its table.
  Notice({Link(RTM_NEWLINK, kEth2, "lan2", kBr0, 2)});
  EXPECT_EQ(Ports({{kMacA, "br0"}}), "lan2/2");
  Notice({Link(RTM_DELLINK, kBr0, "br0")});
  EXPECT_EQ(Ports({{kMacA, "br0"}, {kMacA, ""}, {kMacB, ""}}), "- - wl0/1");
  EXPECT_EQ(feed_.Mirror().EntryCount(), 1u);
  EXPECT_EQ(sys_.sent.size(), 2u);  // no query per question
}

TEST_F(FdbMirrorTest, LostNoticesAndInterruptedDumpsDumpAgain) {
  kernel_.bInterruptNext = true;
  ASSERT_TRUE(feed_.Start());
  EXPECT_EQ(kernel_.requests.size(), 4u);  // the interrupted pair, then a clean one
  EXPECT_EQ(Ports({{kMacA, "br0"}}), "eth1/1");
  // Changes whose notices the socket lost.
  kernel_.fdb = {Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacA), Neigh(RTM_NEWNEIGH, kBr0, kEth1, kMacB)};
  sys_.toReceive.push_back({{}, "", {}, ENOBUFS});
  ASSERT_TRUE(feed_.Serve());
  EXPECT_EQ(kernel_.requests.size(), 6u);
  EXPECT_EQ(Ports({{kMacA, "br0"}, {kMacB, "br0"}}), "eth2/2 eth1/1");
  // A socket that fails otherwise closes the feed; the loop asks the kernel.
  sys_.toReceive.push_back({{}, "", {}, EBADMSG});
  EXPECT_FALSE(feed_.Serve());
  EXPECT_EQ(sys_.OpenCount(), 0);
}

}  // namespace
