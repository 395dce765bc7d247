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

using lum::net::FdbHit;
using lum::net::MacBytes;

constexpr int kBr0 = 10, kBr1 = 11, kEth1 = 21, kEth2 = 22, kWl0 = 23;
constexpr MacBytes kMacA = {0x02, 0, 0, 0, 0, 0x0a};
constexpr MacBytes kMacB = {0x02, 0, 0, 0, 0, 0x0b};

class Msg {
 public:
  template <typename Header>
  Msg(uint16_t usType, const Header &header, uint32_t ulSeq = 0)
      : m_bytes(NLMSG_LENGTH(sizeof(Header))) {
    auto *nh = reinterpret_cast<struct nlmsghdr *>(m_bytes.data());
    nh->nlmsg_type = usType;
    nh->nlmsg_seq = ulSeq;
    memcpy(NLMSG_DATA(nh), &header, sizeof(header));
  }
  Msg &Attr(uint16_t usType, const void *pvData, size_t ulLen) {
    const size_t at = NLMSG_ALIGN(m_bytes.size());
    m_bytes.resize(at + RTA_SPACE(ulLen));
    auto *rta = reinterpret_cast<struct rtattr *>(m_bytes.data() + at);
    rta->rta_type = usType;
    rta->rta_len = static_cast<uint16_t>(RTA_LENGTH(ulLen));
    memcpy(RTA_DATA(rta), pvData, ulLen);
    return *this;
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> bytes = m_bytes;
    reinterpret_cast<struct nlmsghdr *>(bytes.data())->nlmsg_len =
        static_cast<uint32_t>(bytes.size());
    return bytes;
  }

 private:
  std::vector<uint8_t> m_bytes;
};

std::vector<uint8_t> Link(uint16_t usType, int iIndex, const std::string &name, int iMaster = 0,
                          uint16_t usPortNo = 0, uint32_t ulSeq = 0) {
  struct ifinfomsg ifi {};
  ifi.ifi_index = iIndex;
  Msg msg(usType, ifi, ulSeq);
  msg.Attr(IFLA_IFNAME, name.c_str(), name.size() + 1);
  if (iMaster != 0) {
    const uint32_t master = static_cast<uint32_t>(iMaster);
    msg.Attr(IFLA_MASTER, &master, sizeof(master));
  }
  if (usPortNo != 0) {  // IFLA_LINKINFO { IFLA_INFO_SLAVE_DATA { IFLA_BRPORT_NO } }
    Msg port(0, ifi);
    port.Attr(IFLA_BRPORT_NO, &usPortNo, sizeof(usPortNo));
    const std::vector<uint8_t> brport = port.Bytes();
    const size_t head = NLMSG_LENGTH(sizeof(ifi));
    Msg slave(0, ifi);
    slave.Attr(IFLA_INFO_SLAVE_DATA, brport.data() + head, brport.size() - head);
    const std::vector<uint8_t> info = slave.Bytes();
    msg.Attr(IFLA_LINKINFO, info.data() + head, info.size() - head);
  }
  return msg.Bytes();
}

std::vector<uint8_t> Neigh(uint16_t usType, int iBridge, int iPort, const MacBytes &mac,
                           uint16_t usVlan = 0, uint16_t usState = NUD_REACHABLE,
                           uint32_t ulSeq = 0) {
  struct ndmsg ndm {};
  ndm.ndm_family = AF_BRIDGE;
  ndm.ndm_ifindex = iPort;
  ndm.ndm_state = usState;
  const uint32_t master = static_cast<uint32_t>(iBridge);
  Msg msg(usType, ndm, ulSeq);
  msg.Attr(NDA_LLADDR, mac.data(), mac.size()).Attr(NDA_MASTER, &master, sizeof(master));
  if (usVlan != 0) msg.Attr(NDA_VLAN, &usVlan, sizeof(usVlan));
  return msg.Bytes();
}

// The kernel's side: answers each dump request from its tables.
struct FakeKernel {
  std::vector<std::vector<uint8_t>> links, fdb;
  std::vector<uint16_t> requests;  // the types asked, in order
  bool bInterruptNext = false;     // flag the next dump's first part

  void Answer(faketest::FakeSys &sys, const faketest::SentPacket &sent) {
    const auto *req = reinterpret_cast<const struct nlmsghdr *>(sent.bytes.data());
    ASSERT_EQ(req->nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    requests.push_back(req->nlmsg_type);
    for (auto bytes : req->nlmsg_type == RTM_GETLINK ? links : fdb) {
      auto *nh = reinterpret_cast<struct nlmsghdr *>(bytes.data());
      nh->nlmsg_seq = req->nlmsg_seq;
      if (bInterruptNext) nh->nlmsg_flags |= NLM_F_DUMP_INTR;
      bInterruptNext = false;
      sys.toReceive.push_back({bytes, "", {}});
    }
    struct nlmsghdr done {};
    done.nlmsg_len = NLMSG_LENGTH(sizeof(int));
    done.nlmsg_type = NLMSG_DONE;
    done.nlmsg_seq = req->nlmsg_seq;
    std::vector<uint8_t> bytes(done.nlmsg_len);
    memcpy(bytes.data(), &done, sizeof(done));
    sys.toReceive.push_back({bytes, "", {}});
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
  void Notice(const std::vector<uint8_t> &bytes) { sys_.toReceive.push_back({bytes, "", {}}); }
  std::string PortOf(const MacBytes &mac, const std::string &bridge) {
    std::optional<FdbHit> hit = feed_.Mirror().Lookup(mac, bridge, 0);
    return hit ? hit->port + "/" + std::to_string(hit->usPortNo) : "-";
  }

  faketest::FakeSys sys_;
  FakeKernel kernel_;
  lum::net::FdbFeed feed_;
};

TEST_F(FdbMirrorTest, DumpThenNoticesAnswerAsTheKernelWould) {
  ASSERT_TRUE(feed_.Start());
  EXPECT_EQ(kernel_.requests, (std::vector<uint16_t>{RTM_GETLINK, RTM_GETNEIGH}));
  EXPECT_EQ(PortOf(kMacA, "br0"), "eth1/1");
  EXPECT_EQ(PortOf(kMacA, ""), "eth1/1");
  EXPECT_EQ(PortOf(kMacA, "br1"), "-");
  EXPECT_EQ(PortOf(kMacA, "br9"), "-");
  EXPECT_EQ(PortOf(kMacB, "br0"), "-");

  Notice(Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacB));  // learnt
  Notice(Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacA));  // moved
  ASSERT_TRUE(feed_.Serve());
  EXPECT_EQ(PortOf(kMacB, "br0"), "eth2/2");
  EXPECT_EQ(PortOf(kMacA, "br0"), "eth2/2");
  EXPECT_EQ(feed_.Mirror().EntryCount(), 2u);

  // The same MAC in a VLAN and on another bridge: VLAN 0 answers first.
  Notice(Neigh(RTM_NEWNEIGH, kBr0, kEth1, kMacB, 5));
  Notice(Neigh(RTM_NEWNEIGH, kBr1, kWl0, kMacB));
  Notice(Neigh(RTM_DELNEIGH, kBr0, kEth2, kMacB));
  ASSERT_TRUE(feed_.Serve());
  EXPECT_EQ(PortOf(kMacB, "br0"), "eth1/1");
  EXPECT_EQ(PortOf(kMacB, "br1"), "wl0/1");
  EXPECT_TRUE(feed_.Mirror().StaAssociated(kMacB));
  EXPECT_FALSE(feed_.Mirror().StaAssociated(kMacA));

  // A renamed port answers by its new name; a deleted bridge takes its table.
  Notice(Link(RTM_NEWLINK, kEth2, "lan2", kBr0, 2));
  ASSERT_TRUE(feed_.Serve());
  EXPECT_EQ(PortOf(kMacA, "br0"), "lan2/2");
  Notice(Link(RTM_DELLINK, kBr0, "br0"));
  ASSERT_TRUE(feed_.Serve());
  EXPECT_EQ(PortOf(kMacA, "br0"), "-");
  EXPECT_EQ(PortOf(kMacA, ""), "-");
  EXPECT_EQ(PortOf(kMacB, ""), "wl0/1");
  EXPECT_EQ(feed_.Mirror().EntryCount(), 1u);
  EXPECT_EQ(sys_.sent.size(), 2u);  // no query per question
}

TEST_F(FdbMirrorTest, LostNoticesAndInterruptedDumpsDumpAgain) {
  kernel_.bInterruptNext = true;
  ASSERT_TRUE(feed_.Start());
  EXPECT_EQ(kernel_.requests.size(), 4u);  // the interrupted pair, then a clean one
  EXPECT_EQ(PortOf(kMacA, "br0"), "eth1/1");

  // Changes whose notices the socket lost.
  kernel_.fdb = {Neigh(RTM_NEWNEIGH, kBr0, kEth2, kMacA), Neigh(RTM_NEWNEIGH, kBr0, kEth1, kMacB)};
  sys_.toReceive.push_back({{}, "", {}, ENOBUFS});
  ASSERT_TRUE(feed_.Serve());
  EXPECT_EQ(kernel_.requests.size(), 6u);
  EXPECT_EQ(PortOf(kMacA, "br0"), "eth2/2");
  EXPECT_EQ(PortOf(kMacB, "br0"), "eth1/1");

  // A socket that fails otherwise closes the feed; the loop asks the kernel.
  sys_.toReceive.push_back({{}, "", {}, EBADMSG});
  EXPECT_FALSE(feed_.Serve());
  EXPECT_EQ(sys_.OpenCount(), 0);
}

}  // namespace
