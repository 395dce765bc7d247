// The message bus over real Unix sockets in a temporary bus folder: the wire
// header, subscriptions and broadcasts, the delivery checks, the zero-filled
// buffer, and the delivery double.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/businternal.h"
#include "platform/eventloop.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using lum::bus::RecvResult;
constexpr size_t kMax = LUM_MSG_MAX_SIZE;
constexpr size_t kMargin = lum::bus::kZeroMargin;

// What the registered procedure saw: header, payload and the zero margin (or
// more, when a test asks for it).
std::vector<Bytes> g_delivered;
size_t g_extraCopy = 0;

void RecordProc(void *pvMsg) {
  const auto *msg = static_cast<const uint8_t *>(pvMsg);
  LUM_MSG_HEADER hdr;
  memcpy(&hdr, msg, sizeof(hdr));
  g_delivered.emplace_back(msg,
                           msg + std::max(sizeof(hdr) + hdr.ulPayloadLen + kMargin, g_extraCopy));
}

// A raw datagram; the length field need not agree with the payload.
Bytes Datagram(uint32_t ulType, const Bytes &payload, uint32_t ulData = 0,
               const std::string &sender = "peer", int64_t lLenField = -1) {
  Bytes out(40 + payload.size(), 0);
  auto ulLen = static_cast<uint32_t>(lLenField < 0 ? payload.size() : lLenField);
  memcpy(out.data(), &ulType, 4);
  memcpy(out.data() + 4, &ulLen, 4);
  memcpy(out.data() + 8, sender.data(), std::min<size_t>(sender.size(), 24));
  memcpy(out.data() + 32, &ulData, 4);
  std::copy(payload.begin(), payload.end(), out.begin() + 40);
  return out;
}
Bytes WithMargin(Bytes bytes) {
  bytes.resize(bytes.size() + kMargin, 0);
  return bytes;
}

// A socket of the test itself, bound in the bus folder like an application.
class Peer {
 public:
  Peer(const std::string &dir, const std::string &name)
      : m_dir(dir), m_path(dir + "/" + name), m_iFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    socklen_t len = 0;
    EXPECT_TRUE(lum::bus::MakeUnixAddr(m_path, &addr, &len));
    EXPECT_EQ(bind(m_iFd, reinterpret_cast<sockaddr *>(&addr), len), 0) << name;
  }
  ~Peer() {
    close(m_iFd);
    unlink(m_path.c_str());
  }
  // The next datagram; empty after the timeout.
  Bytes Recv(int iTimeoutMs = 1000) {
    pollfd pfd{m_iFd, POLLIN, 0};
    if (poll(&pfd, 1, iTimeoutMs) != 1) return {};
    Bytes buf(70000);
    ssize_t n = recv(m_iFd, buf.data(), buf.size(), 0);
    buf.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return buf;
  }
  // Sends to hostmon.
  bool Send(const Bytes &bytes) {
    sockaddr_un addr{};
    socklen_t len = 0;
    return lum::bus::MakeUnixAddr(m_dir + "/hostmon", &addr, &len) &&
           sendto(m_iFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&addr), len) ==
               static_cast<ssize_t>(bytes.size());
  }

 private:
  std::string m_dir, m_path;
  int m_iFd;
};

mode_t ModeOf(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumbus-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_root = tmpl;
    m_dir = m_root + "/run/bus";  // missing parents: Init creates them
    setenv("LUM_BUS_DIR", m_dir.c_str(), 1);
    lum::testing::ReleaseBus();
    lum::testing::CaptureLogs();
    LUM_MSG_RegisterMsgProc(RecordProc);
    g_delivered.clear();
    g_extraCopy = 0;
  }
  void TearDown() override {
    lum::testing::ResetTimers();
    lum::bus::Shutdown();
    LUM_MSG_RegisterMsgProc(nullptr);
    lum::testing::ReleaseBus();
    lum::testing::ReleaseLogs();
    unsetenv("LUM_BUS_DIR");
    fs::remove_all(m_root);
  }

  std::string m_root;
  std::string m_dir;
};

TEST_F(BusTest, InitBindsTheAppSocketReplacingOnlyAStaleOne) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  EXPECT_TRUE(S_ISSOCK(ModeOf(m_dir + "/hostmon")));
  EXPECT_EQ(ModeOf(m_dir) & 0777, 0770u);
  EXPECT_EQ(ModeOf(m_root + "/run") & 0777, 0770u);
  lum::bus::Shutdown();
  // A socket file whose owner died without cleaning up.
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  socklen_t len = 0;
  ASSERT_TRUE(lum::bus::MakeUnixAddr(m_dir + "/hostmon", &addr, &len));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
  close(fd);
  EXPECT_EQ(LUM_MSG_Init("hostmon"), 0u);
  // A live socket is not ours to remove; bad names are refused.
  Peer live(m_dir, "busy");
  EXPECT_NE(LUM_MSG_Init("busy"), 0u);
  const std::string tooLong(120, 'x');  // does not fit a socket address
  for (const char *name : {"", "a/b", ".hidden", "..", tooLong.c_str()}) {
    EXPECT_NE(LUM_MSG_Init(name), 0u) << name;
  }
}

TEST_F(BusTest, HeaderBytesOnTheWireAndTheClientModesEmptySender) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer cms(m_dir, "cms");
  const Bytes payload = {'x', 'y', 'z', 0, 0xFF};
  ASSERT_EQ(LUM_MSG_Send("cms", 0x1122B903, 0xA1B2C3D4, payload.data(), 5), 0u);
  EXPECT_EQ(cms.Recv(), Datagram(0x1122B903, payload, 0xA1B2C3D4, "hostmon"));
  ASSERT_EQ(LUM_MSG_SendSimpleMsg("cms", 0xBB01, 77), 0u);
  EXPECT_EQ(cms.Recv(), Datagram(0xBB01, {}, 77, "hostmon"));
  ASSERT_EQ(LUM_MSG_Init(nullptr), 0u);
  ASSERT_EQ(LUM_MSG_SendMsgData("cms", 0xBB04, payload.data(), 2), 0u);
  EXPECT_EQ(cms.Recv(), Datagram(0xBB04, {'x', 'y'}, 0, ""));
  EXPECT_NE(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x5016), 0u);  // no name to use
}

TEST_F(BusTest, SizeLimitIsTheWholeDatagramAndSendsNeverBlock) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer cms(m_dir, "cms");
  Bytes big(kMax - 39, 0x5A);
  ASSERT_EQ(LUM_MSG_SendMsgData("cms", 0xB903, big.data(), kMax - 40), 0u);
  EXPECT_EQ(cms.Recv().size(), kMax);
  EXPECT_NE(LUM_MSG_SendMsgData("cms", 0xB903, big.data(), kMax - 39), 0u);
  EXPECT_NE(LUM_MSG_SendMsgData("cms", 0xB903, nullptr, 4), 0u);  // a length without bytes
  EXPECT_TRUE(cms.Recv(50).empty());

  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(LUM_MSG_SendSimpleMsg("nobody", 0xBB01, 0), 0u);
  EXPECT_NE(LUM_MSG_SendSimpleMsg("../escape", 0xBB01, 0), 0u);
  bool refused = false;  // cms never reads
  for (int i = 0; i < 100000 && !refused; ++i) {
    refused = LUM_MSG_SendMsgData("cms", 0x1, big.data(), 4000) != 0;
  }
  EXPECT_TRUE(refused);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(BusTest, BroadcastReachesEverySubscriberAndNoOneElse) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  for (uint32_t type : {0x5016u, 0xB90Fu, 0x0015u, 0x5016u}) {  // twice: harmless
    ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, type), 0u);
  }
  for (const char *type : {"5016", "b90f", "0015"}) {
    std::string file = m_dir + "/subscriptions/" + type + "/hostmon";
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(ModeOf(m_dir + "/subscriptions/" + type) & 0777, 0770u);
  }
  // Peers subscribed by hand, one of them not running.
  Peer sub1(m_dir, "sub1"), sub2(m_dir, "sub2"), other(m_dir, "other");
  for (const char *name : {"5016/sub1", "5016/sub2", "5016/gone", "b90f/other"}) {
    std::ofstream(m_dir + "/subscriptions/" + name);
  }
  const Bytes path = {'b', 'r', '0', 0};
  EXPECT_EQ(LUM_MSG_SendMsgData(nullptr, 0x5016, path.data(), 4), 0u);
  EXPECT_EQ(sub1.Recv(), Datagram(0x5016, path, 0, "hostmon"));
  EXPECT_EQ(sub2.Recv(), Datagram(0x5016, path, 0, "hostmon"));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);  // its own subscription
  EXPECT_TRUE(other.Recv(50).empty());
  EXPECT_NE(LUM_MSG_SendSimpleMsg(nullptr, 0x5022, 0), 0u);  // nobody subscribed
}

TEST_F(BusTest, MalformedDatagramsAreDroppedAndTheNextGoodOneDelivered) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer peer(m_dir, "peer");
  Bytes shortOne = Datagram(0x3012, {});
  shortOne.pop_back();  // 39 bytes
  ASSERT_TRUE(peer.Send(shortOne));
  ASSERT_TRUE(peer.Send(Datagram(0x3012, {1, 2, 3, 4}, 0, "peer", 5)));
  ASSERT_TRUE(peer.Send(Datagram(0x3012, {1, 2, 3, 4}, 0, "peer", 3)));
  ASSERT_TRUE(peer.Send(Datagram(0x3012, Bytes(kMax + 1 - 40, 0xEE))));
  // A sender field without a terminator is cut inside its field.
  ASSERT_TRUE(peer.Send(Datagram(0x3013, Bytes(6, 6), 9, std::string(24, 'A'))));
  for (int i = 0; i < 4; ++i) {
    size_t traced = lum::testing::TraceLines().size();
    EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped) << i;
    EXPECT_GT(lum::testing::TraceLines().size(), traced) << i;
  }
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  EXPECT_EQ(g_delivered,
            std::vector<Bytes>{WithMargin(Datagram(0x3013, Bytes(6, 6), 9, std::string(23, 'A')))});
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kNothing);
  // Without a procedure there is no one to deliver to.
  LUM_MSG_RegisterMsgProc(nullptr);
  ASSERT_TRUE(peer.Send(Datagram(0xBB04, {})));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped);
}

TEST_F(BusTest, BufferIsZeroFilledPastEveryMessageUpToTheLimit) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer peer(m_dir, "peer");
  ASSERT_TRUE(peer.Send(Datagram(0xB903, Bytes(kMax - 40, 0x11))));
  ASSERT_TRUE(peer.Send(Datagram(0x5015, {'e', 't', 'h', '1'})));
  // A dropped datagram dirties the buffer too.
  ASSERT_TRUE(peer.Send(Datagram(0xBB07, Bytes(5000, 0xCD), 0, "peer", 9)));
  ASSERT_TRUE(peer.Send(Datagram(0xB90A, {'a', 'b'})));
  for (int i = 0; i < 4; ++i) {
    g_extraCopy = i == 0 ? 0 : 5040 + kMargin;
    lum::bus::ReceiveOne();
  }
  ASSERT_EQ(g_delivered.size(), 3u);
  EXPECT_EQ(g_delivered[0], WithMargin(Datagram(0xB903, Bytes(kMax - 40, 0x11))));
  Bytes eth1 = Datagram(0x5015, {'e', 't', 'h', '1'}), ab = Datagram(0xB90A, {'a', 'b'});
  eth1.resize(5040 + kMargin);
  ab.resize(5040 + kMargin);
  EXPECT_EQ(g_delivered[1], eth1);
  EXPECT_EQ(g_delivered[2], ab);
}

// The loop serves the bus socket once LUM_UTIL_SockBaseRegEvtProc registered it.
TEST_F(BusTest, TheLoopDeliversOnItsThread) {
  lum::testing::UseRealClock();
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  size_t before = lum::loop::RegistrationCount();
  ASSERT_EQ(LUM_UTIL_SockBaseRegEvtProc(), 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), before + 2);  // the bus and the debug listener
  EXPECT_TRUE(S_ISSOCK(ModeOf(m_dir + "/debug/hostmon")));

  LUM_MSG_RegisterMsgProc([](void *pvMsg) {
    RecordProc(pvMsg);
    LUM_UTIL_SockBaseStop();
  });
  LUM_UTIL_TimerAdd(
      5000, 1, [](void *) { LUM_UTIL_SockBaseStop(); }, nullptr);  // a watchdog
  Peer peer(m_dir, "peer");
  ASSERT_TRUE(peer.Send(Datagram(0xBB03, {})));
  LUM_UTIL_SockBaseStart(0);
  EXPECT_EQ(g_delivered, std::vector<Bytes>{WithMargin(Datagram(0xBB03, {}))});
  lum::bus::Shutdown();
  EXPECT_EQ(lum::loop::RegistrationCount(), before);
  EXPECT_FALSE(fs::exists(m_dir + "/hostmon"));
}

TEST_F(BusTest, DeliverMessageBuildsTheHeaderAndAZeroMargin) {
  lum::testing::DeliverMessage(0x3012, 0x0100A8C0, {1, 2, 3, 4, 5, 6, 'b', 'r', '0'},
                               "a_sender_name_longer_than_23_chars");
  EXPECT_EQ(g_delivered,
            std::vector<Bytes>{WithMargin(Datagram(0x3012, {1, 2, 3, 4, 5, 6, 'b', 'r', '0'},
                                                   0x0100A8C0, "a_sender_name_longer_th"))});
}

}  // namespace
