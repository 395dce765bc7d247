// The message bus over real Unix sockets in a temporary bus folder: the wire
// header, the size limit, subscriptions, drops, the zero-filled buffer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/businternal.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using R = lum::bus::RecvResult;
constexpr size_t kMax = LUM_MSG_MAX_SIZE, kMargin = lum::bus::kZeroMargin;

std::vector<Bytes> g_delivered;

// A datagram at the wire offsets, zero-padded to ulSize; the length field
// need not agree with the payload.
Bytes Datagram(uint32_t ulType, const Bytes &payload, uint32_t ulData = 0,
               const std::string &sender = "peer", int64_t lLenField = -1, size_t ulSize = 0) {
  Bytes out(std::max(40 + payload.size(), ulSize), 0);
  auto ulLen = static_cast<uint32_t>(lLenField < 0 ? payload.size() : lLenField);
  memcpy(out.data(), &ulType, 4);
  memcpy(out.data() + 4, &ulLen, 4);
  memcpy(out.data() + 8, sender.data(), std::min<size_t>(sender.size(), 24));
  memcpy(out.data() + 32, &ulData, 4);
  std::copy(payload.begin(), payload.end(), out.begin() + 40);
  return out;
}

// A local datagram is queued by the time its send returns: no wait.
Bytes Recv(int iFd) {
  Bytes buf(70000);
  buf.resize(
      static_cast<size_t>(std::max<ssize_t>(recv(iFd, buf.data(), buf.size(), MSG_DONTWAIT), 0)));
  return buf;
}

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumbus-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_root = tmpl;
    m_dir = m_root + "/run/bus";  // missing parents: Init creates them
    setenv("LUM_BUS_DIR", m_dir.c_str(), 1);
    lum::testing::CaptureLogs();
    LUM_MSG_RegisterMsgProc([](void *pvMsg) {  // the whole buffer: zero past the message
      auto *msg = static_cast<const uint8_t *>(pvMsg);
      g_delivered.emplace_back(msg, msg + kMax + kMargin);
    });
  }
  void TearDown() override {
    for (int fd : m_fds) close(fd);
    lum::bus::Shutdown();
    LUM_MSG_RegisterMsgProc(nullptr);
    lum::testing::ReleaseLogs();
    unsetenv("LUM_BUS_DIR");
    fs::remove_all(m_root);
    g_delivered.clear();
  }
  // A socket of the test bound in the bus folder like an application, sending
  // to hostmon's socket when there is one.
  int Peer(const std::string &name) {
    int fd = m_fds.emplace_back(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    socklen_t len = 0;
    lum::bus::MakeUnixAddr(m_dir + "/" + name, &addr, &len);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0) << name;
    lum::bus::MakeUnixAddr(m_dir + "/hostmon", &addr, &len);
    connect(fd, reinterpret_cast<sockaddr *>(&addr), len);
    return fd;
  }
  std::string m_root, m_dir;
  std::vector<int> m_fds;
};

TEST_F(BusTest, InitCreatesSharedFoldersAndReplacesOnlyAStaleSocket) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  EXPECT_EQ(fs::status(m_root + "/run").permissions(), fs::perms(0770));
  lum::bus::Shutdown();
  int stale = Peer("hostmon");  // its owner dies without cleaning up
  close(stale);
  std::erase(m_fds, stale);
  EXPECT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer("busy");
  for (const char *name : {"busy", "a/b", ".."}) EXPECT_NE(LUM_MSG_Init(name), 0u) << name;
}

TEST_F(BusTest, HeaderOnTheWireLimitOfTheWholeDatagramAndNonBlockingSends) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  int cms = Peer("cms");
  const Bytes payload = {'x', 'y', 'z', 0, 0xFF}, big(kMax, 0x5A);
  ASSERT_EQ(LUM_MSG_Send("cms", 0x1122B903, 0xA1B2C3D4, payload.data(), 5), 0u);
  EXPECT_EQ(Recv(cms), Datagram(0x1122B903, payload, 0xA1B2C3D4, "hostmon"));
  ASSERT_EQ(LUM_MSG_SendMsgData("cms", 0xB903, big.data(), kMax - 40), 0u);
  EXPECT_EQ(Recv(cms).size(), kMax);
  EXPECT_NE(LUM_MSG_SendMsgData("cms", 0xB903, big.data(), kMax - 39), 0u);
  bool refused = false;  // cms never reads: a full queue refuses instead of blocking
  for (int i = 0; i < 100000 && !refused; ++i) {
    refused = LUM_MSG_SendMsgData("cms", 0x1, big.data(), 4000) != 0;
  }
  EXPECT_TRUE(refused);
}

TEST_F(BusTest, BroadcastReachesEverySubscriberAndNoOneElse) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  for (uint32_t type : {0x5016u, 0xB90Fu, 0x0015u, 0x5016u}) {  // twice: harmless
    ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, type), 0u);
  }
  EXPECT_TRUE(fs::exists(m_dir + "/subscriptions/0015/hostmon"));  // four hex digits, lower case
  int sub1 = Peer("sub1"), sub2 = Peer("sub2"), other = Peer("other");
  for (const char *name : {"5016/sub1", "5016/sub2", "5016/gone", "b90f/other"}) {
    std::ofstream(m_dir + "/subscriptions/" + name);
  }
  const Bytes path = {'b', 'r', '0', 0};
  EXPECT_EQ(LUM_MSG_SendMsgData(nullptr, 0x5016, path.data(), 4), 0u);
  EXPECT_EQ(Recv(sub1), Datagram(0x5016, path, 0, "hostmon"));
  EXPECT_EQ(Recv(sub2), Datagram(0x5016, path, 0, "hostmon"));
  EXPECT_EQ(lum::bus::ReceiveOne(), R::kDelivered);  // its own subscription
  EXPECT_TRUE(Recv(other).empty());
  EXPECT_NE(LUM_MSG_SendSimpleMsg(nullptr, 0x5022, 0), 0u);  // nobody subscribed
}

TEST_F(BusTest, MalformedDatagramsAreDroppedAndTheBufferIsZeroFilledPastEachMessage) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  int peer = Peer("peer");
  for (const Bytes &dgram :
       {Datagram(0xB903, Bytes(kMax - 40, 0x11)), Bytes(39, 0),
        Datagram(0x3012, {1, 2, 3, 4}, 0, "peer", 5),
        Datagram(0xBB07, Bytes(5000, 0xCD), 0, "peer", 9),  // dirties the buffer too
        Datagram(0x3012, Bytes(kMax + 1 - 40, 0xEE)),
        Datagram(0x3013, {6, 6}, 9, std::string(24, 'A'))}) {  // no terminator to the sender
    ASSERT_EQ(send(peer, dgram.data(), dgram.size(), 0), static_cast<ssize_t>(dgram.size()));
  }
  std::vector<R> results;
  for (int i = 0; i < 7; ++i) results.push_back(lum::bus::ReceiveOne());
  EXPECT_EQ(results, (std::vector<R>{R::kDelivered, R::kDropped, R::kDropped, R::kDropped,
                                     R::kDropped, R::kDelivered, R::kNothing}));
  EXPECT_EQ(
      g_delivered,
      (std::vector<Bytes>{Datagram(0xB903, Bytes(kMax - 40, 0x11), 0, "peer", -1, kMax + kMargin),
                          Datagram(0x3013, {6, 6}, 9, std::string(23, 'A'), -1, kMax + kMargin)}));
  LUM_MSG_RegisterMsgProc(nullptr);  // no one to deliver to
  ASSERT_EQ(send(peer, Bytes(40, 0).data(), 40, 0), 40);
  EXPECT_EQ(lum::bus::ReceiveOne(), R::kDropped);
}

}  // namespace
