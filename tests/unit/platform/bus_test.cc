// The message bus over real Unix sockets in a temporary bus folder: the wire
// header, subscriptions and broadcasts, the delivery checks, the zero-filled
// buffer, and the capture double.
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
#include <optional>
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

// What the registered procedure saw: the header, the payload and the
// guaranteed zero margin (or more, when a test asks for it).
std::vector<Bytes> g_delivered;
size_t g_extraCopy = 0;

void RecordProc(void *pvMsg) {
  const auto *msg = static_cast<const uint8_t *>(pvMsg);
  LUM_MSG_HEADER hdr;
  memcpy(&hdr, msg, sizeof(hdr));
  size_t len = sizeof(hdr) + hdr.ulPayloadLen + lum::bus::kZeroMargin;
  len = std::max(len, g_extraCopy);
  g_delivered.emplace_back(msg, msg + len);
}

uint32_t ReadU32(const Bytes &bytes, size_t ulOffset) {
  uint32_t value;
  memcpy(&value, bytes.data() + ulOffset, sizeof(value));
  return value;
}

// A raw datagram: header fields as given (the length field need not agree).
Bytes Datagram(uint32_t ulType, uint32_t ulLenField, const std::string &sender, uint32_t ulData,
               const Bytes &payload) {
  Bytes out(40 + payload.size(), 0);
  memcpy(out.data(), &ulType, 4);
  memcpy(out.data() + 4, &ulLenField, 4);
  memcpy(out.data() + 8, sender.data(), std::min<size_t>(sender.size(), 24));
  memcpy(out.data() + 32, &ulData, 4);
  std::copy(payload.begin(), payload.end(), out.begin() + 40);
  return out;
}

bool AddrFor(const std::string &path, sockaddr_un *pstAddr, socklen_t *pulLen) {
  return lum::bus::MakeUnixAddr(path, pstAddr, pulLen);
}

// A socket of the test itself, bound in the bus folder like an application.
class Peer {
 public:
  Peer(const std::string &dir, const std::string &name) : m_path(dir + "/" + name) {
    m_iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    socklen_t len = 0;
    EXPECT_TRUE(AddrFor(m_path, &addr, &len));
    EXPECT_EQ(bind(m_iFd, reinterpret_cast<sockaddr *>(&addr), len), 0) << m_path;
  }
  ~Peer() {
    close(m_iFd);
    unlink(m_path.c_str());
  }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  std::optional<Bytes> Recv(int iTimeoutMs = 1000) {
    pollfd pfd{m_iFd, POLLIN, 0};
    if (poll(&pfd, 1, iTimeoutMs) != 1) return std::nullopt;
    Bytes buf(70000);
    ssize_t n = recv(m_iFd, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }
  bool SendTo(const std::string &path, const Bytes &bytes) {
    sockaddr_un addr{};
    socklen_t len = 0;
    if (!AddrFor(path, &addr, &len)) return false;
    return sendto(m_iFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&addr), len) ==
           static_cast<ssize_t>(bytes.size());
  }

 private:
  std::string m_path;
  int m_iFd = -1;
};

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
    lum::bus::Shutdown();
    LUM_MSG_RegisterMsgProc(nullptr);
    lum::testing::ReleaseBus();
    lum::testing::ReleaseLogs();
    unsetenv("LUM_BUS_DIR");
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }

  bool Traced(const std::string &text) {
    for (const std::string &line : lum::testing::TraceLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::string BusPath(const std::string &app) { return m_dir + "/" + app; }

  std::string m_root;
  std::string m_dir;
};

mode_t ModeOf(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

// --- Joining the bus --------------------------------------------------------

TEST_F(BusTest, InitBindsTheAppSocketAndCreatesGroupFolders) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  EXPECT_TRUE(S_ISSOCK(ModeOf(BusPath("hostmon"))));
  EXPECT_EQ(ModeOf(m_dir) & 0777, 0770u);
  EXPECT_EQ(ModeOf(m_root + "/run") & 0777, 0770u);
  EXPECT_GE(lum::bus::Fd(), 0);
}

TEST_F(BusTest, EnvironmentIsReadAtEachInit) {
  ASSERT_EQ(LUM_MSG_Init("first"), 0u);
  std::string other = m_root + "/other";
  setenv("LUM_BUS_DIR", other.c_str(), 1);
  ASSERT_EQ(LUM_MSG_Init("second"), 0u);
  EXPECT_TRUE(S_ISSOCK(ModeOf(other + "/second")));
  EXPECT_EQ(lum::bus::Dir(), other);
}

TEST_F(BusTest, StaleSocketIsReplacedButALiveOneIsNot) {
  ASSERT_TRUE(lum::bus::MakeSharedDir(m_dir));
  {
    Peer gone(m_dir, "hostmon");  // leaves no file: unlinks on destruction
  }
  // A socket file whose owner died without cleaning up.
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  socklen_t len = 0;
  ASSERT_TRUE(AddrFor(BusPath("hostmon"), &addr, &len));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
  close(fd);
  EXPECT_EQ(LUM_MSG_Init("hostmon"), 0u);

  Peer live(m_dir, "busy");
  EXPECT_NE(LUM_MSG_Init("busy"), 0u);
  EXPECT_TRUE(Traced("in use"));
  // A regular file is not ours to remove.
  std::ofstream(BusPath("plain")) << "x";
  EXPECT_NE(LUM_MSG_Init("plain"), 0u);
  EXPECT_TRUE(fs::is_regular_file(BusPath("plain")));
}

TEST_F(BusTest, BadAppNamesAreRefused) {
  for (const char *name : {"", "a/b", ".hidden", ".."}) {
    EXPECT_NE(LUM_MSG_Init(name), 0u) << name;
  }
  std::string tooLong(120, 'x');  // does not fit a socket address
  EXPECT_NE(LUM_MSG_Init(tooLong.c_str()), 0u);
}

TEST_F(BusTest, SecondInitClosesThePreviousSocket) {
  ASSERT_TRUE(lum::bus::MakeSharedDir(m_dir));
  Peer peer(m_dir, "peer");
  ASSERT_EQ(LUM_MSG_Init("one"), 0u);
  ASSERT_EQ(LUM_MSG_Init("two"), 0u);
  EXPECT_FALSE(fs::exists(BusPath("one")));
  EXPECT_NE(LUM_MSG_SendSimpleMsg("one", 0x1234, 0), 0u);
  ASSERT_TRUE(peer.SendTo(BusPath("two"), Datagram(0x1234, 0, "peer", 7, {})));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(ReadU32(g_delivered[0], 32), 7u);
}

// --- The wire ---------------------------------------------------------------

TEST_F(BusTest, HeaderBytesOnTheWire) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer cms(m_dir, "cms");
  const Bytes payload = {'x', 'y', 'z', 0, 0xFF};
  ASSERT_EQ(LUM_MSG_Send("cms", 0x1122B903, 0xA1B2C3D4, payload.data(), 5), 0u);
  std::optional<Bytes> got = cms.Recv();
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 45u);
  EXPECT_EQ(ReadU32(*got, 0), 0x1122B903u);
  EXPECT_EQ(ReadU32(*got, 4), 5u);
  std::string sender(reinterpret_cast<const char *>(got->data() + 8), 24);
  EXPECT_EQ(sender, std::string("hostmon") + std::string(17, '\0'));
  EXPECT_EQ(ReadU32(*got, 32), 0xA1B2C3D4u);
  EXPECT_EQ(ReadU32(*got, 36), 0u);
  EXPECT_EQ(Bytes(got->begin() + 40, got->end()), payload);

  // The simple forms: no payload, and SendMsgData's data word 0.
  ASSERT_EQ(LUM_MSG_SendSimpleMsg("cms", 0xBB01, 77), 0u);
  got = cms.Recv();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 40u);
  EXPECT_EQ(ReadU32(*got, 4), 0u);
  EXPECT_EQ(ReadU32(*got, 32), 77u);
  ASSERT_EQ(LUM_MSG_SendMsgData("cms", 0xB90F, payload.data(), 3), 0u);
  got = cms.Recv();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 43u);
  EXPECT_EQ(ReadU32(*got, 32), 0u);
}

TEST_F(BusTest, ClientModeSendsAnEmptySenderAndLongNamesAreCut) {
  ASSERT_EQ(LUM_MSG_Init(nullptr), 0u);
  ASSERT_TRUE(lum::bus::MakeSharedDir(m_dir));
  Peer hostmon(m_dir, "hostmon");
  ASSERT_EQ(LUM_MSG_SendSimpleMsg("hostmon", 0xBB04, 0), 0u);
  std::optional<Bytes> got = hostmon.Recv();
  ASSERT_TRUE(got);
  EXPECT_EQ(Bytes(got->begin() + 8, got->begin() + 32), Bytes(24, 0));
  // Client mode has no name to subscribe under.
  EXPECT_NE(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x5016), 0u);

  const std::string longName = "an_application_name_of_30_chars";
  ASSERT_EQ(LUM_MSG_Init(longName.c_str()), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg("hostmon", 0xBB04, 0), 0u);
  got = hostmon.Recv();
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(got->data() + 8), 23),
            longName.substr(0, 23));
  EXPECT_EQ((*got)[31], 0);
}

TEST_F(BusTest, MessageSizeLimitIsTheWholeDatagram) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer cms(m_dir, "cms");
  Bytes big(LUM_MSG_MAX_SIZE - 40, 0x5A);
  ASSERT_EQ(LUM_MSG_SendMsgData("cms", 0xB903, big.data(), static_cast<uint32_t>(big.size())), 0u);
  std::optional<Bytes> got = cms.Recv();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), LUM_MSG_MAX_SIZE);

  big.push_back(0x5A);
  EXPECT_NE(LUM_MSG_SendMsgData("cms", 0xB903, big.data(), static_cast<uint32_t>(big.size())), 0u);
  EXPECT_TRUE(Traced("exceed"));
  EXPECT_FALSE(cms.Recv(50));
  // A length without its bytes.
  EXPECT_NE(LUM_MSG_SendMsgData("cms", 0xB903, nullptr, 4), 0u);
}

TEST_F(BusTest, SendToAMissingOrFullReceiverFailsWithoutBlocking) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(LUM_MSG_SendSimpleMsg("nobody", 0xBB01, 0), 0u);
  EXPECT_NE(LUM_MSG_SendSimpleMsg("../escape", 0xBB01, 0), 0u);

  Peer sleeper(m_dir, "sleeper");  // never reads
  Bytes payload(4000, 1);
  bool refused = false;
  for (int i = 0; i < 100000 && !refused; ++i) {
    refused = LUM_MSG_SendMsgData("sleeper", 0x1, payload.data(), 4000) != 0;
  }
  EXPECT_TRUE(refused);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// --- Subscriptions and broadcasts -------------------------------------------

TEST_F(BusTest, SubscriptionCreatesAnEmptyFileNamedByLowerCaseHexType) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x5016), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0xB90F), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x0015), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x5016), 0u);  // again: harmless
  for (const char *type : {"5016", "b90f", "0015"}) {
    std::string file = m_dir + "/subscriptions/" + type + "/hostmon";
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(ModeOf(m_dir + "/subscriptions/" + type) & 0777, 0770u);
  }
  EXPECT_FALSE(fs::exists(m_dir + "/subscriptions/B90F"));
}

TEST_F(BusTest, BroadcastReachesEverySubscriberAndNoOneElse) {
  ASSERT_TRUE(lum::bus::MakeSharedDir(m_dir + "/subscriptions/5016"));
  Peer sub1(m_dir, "sub1");
  Peer sub2(m_dir, "sub2");
  Peer other(m_dir, "other");
  for (const char *name : {"sub1", "sub2", "gone"}) {
    std::ofstream(m_dir + "/subscriptions/5016/" + name);
  }
  std::ofstream(m_dir + "/subscriptions/5015/other");
  ASSERT_EQ(LUM_MSG_Init("lan"), 0u);
  const Bytes path = {'b', 'r', '0', 0};
  EXPECT_EQ(LUM_MSG_SendMsgData(nullptr, 0x5016, path.data(), 4), 0u);
  std::optional<Bytes> got1 = sub1.Recv();
  std::optional<Bytes> got2 = sub2.Recv();
  ASSERT_TRUE(got1);
  ASSERT_TRUE(got2);
  EXPECT_EQ(*got1, *got2);
  EXPECT_EQ(ReadU32(*got1, 0), 0x5016u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(got1->data() + 8)), "lan");
  EXPECT_EQ(Bytes(got1->begin() + 40, got1->end()), path);
  EXPECT_FALSE(other.Recv(50));
  EXPECT_TRUE(Traced("gone"));  // the subscriber that is not running

  // Nobody subscribed: the broadcast reached no one.
  EXPECT_NE(LUM_MSG_SendSimpleMsg(nullptr, 0x5022, 0), 0u);
}

TEST_F(BusTest, OwnSubscriptionReceivesBroadcasts) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x5015), 0u);
  ASSERT_EQ(LUM_MSG_SendSimpleMsg(nullptr, 0x5015, 3), 0u);
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(ReadU32(g_delivered[0], 0), 0x5015u);
  EXPECT_EQ(ReadU32(g_delivered[0], 32), 3u);
}

// --- Delivery ---------------------------------------------------------------

TEST_F(BusTest, MalformedDatagramsAreDroppedAndTheNextGoodOneDelivered) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer peer(m_dir, "peer");
  const std::string me = BusPath("hostmon");

  Bytes shortOne = Datagram(0x3012, 0, "peer", 0, {});
  shortOne.pop_back();  // 39 bytes
  ASSERT_TRUE(peer.SendTo(me, shortOne));
  ASSERT_TRUE(peer.SendTo(me, Datagram(0x3012, 5, "peer", 0, {1, 2, 3, 4})));
  ASSERT_TRUE(peer.SendTo(me, Datagram(0x3012, 3, "peer", 0, {1, 2, 3, 4})));
  Bytes huge(LUM_MSG_MAX_SIZE + 1 - 40, 0xEE);
  ASSERT_TRUE(
      peer.SendTo(me, Datagram(0x3012, static_cast<uint32_t>(huge.size()), "peer", 0, huge)));
  ASSERT_TRUE(peer.SendTo(me, Datagram(0x3013, 6, "peer", 9, {1, 2, 3, 4, 5, 6})));

  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped);
  EXPECT_TRUE(Traced("39-byte datagram, shorter than the header"));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped);
  EXPECT_TRUE(Traced("payload length 5 but 4 bytes"));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped);
  EXPECT_TRUE(Traced("payload length 3 but 4 bytes"));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped);
  EXPECT_TRUE(Traced("16385-byte datagram, larger than 16384"));
  EXPECT_TRUE(g_delivered.empty());

  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(ReadU32(g_delivered[0], 0), 0x3013u);
  EXPECT_EQ(ReadU32(g_delivered[0], 32), 9u);
  EXPECT_EQ(g_delivered[0][45], 6);
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kNothing);
}

TEST_F(BusTest, LimitSizedDatagramsAreDelivered) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer peer(m_dir, "peer");
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"), Datagram(0xBB04, 0, "", 0, {})));
  Bytes full(LUM_MSG_MAX_SIZE - 40, 0x11);
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"),
                          Datagram(0xB903, static_cast<uint32_t>(full.size()), "p", 0, full)));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  ASSERT_EQ(g_delivered.size(), 2u);
  // The margin past a full-sized message is still zero.
  const Bytes &last = g_delivered[1];
  ASSERT_EQ(last.size(), LUM_MSG_MAX_SIZE + lum::bus::kZeroMargin);
  EXPECT_EQ(last[LUM_MSG_MAX_SIZE - 1], 0x11);
  EXPECT_EQ(Bytes(last.begin() + LUM_MSG_MAX_SIZE, last.end()), Bytes(lum::bus::kZeroMargin, 0));
}

TEST_F(BusTest, ShortMessageAfterALongOneSeesZerosPastItsEnd) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer peer(m_dir, "peer");
  Bytes longPayload(3000, 0xAB);
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"), Datagram(0xBB07, 3000, "peer", 0, longPayload)));
  ASSERT_TRUE(
      peer.SendTo(BusPath("hostmon"), Datagram(0x5015, 4, "peer", 0, {'e', 't', 'h', '1'})));
  // A dropped datagram dirties the buffer too.
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"), Datagram(0xBB07, 9, "peer", 0, Bytes(5000, 0xCD))));
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"), Datagram(0xB90A, 2, "peer", 0, {'a', 'b'})));
  g_extraCopy = 3040 + lum::bus::kZeroMargin;
  for (int i = 0; i < 4; ++i) lum::bus::ReceiveOne();
  ASSERT_EQ(g_delivered.size(), 3u);
  const Bytes &second = g_delivered[1];
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(second.data() + 40)), "eth1");
  EXPECT_EQ(Bytes(second.begin() + 44, second.end()), Bytes(second.size() - 44, 0));
  const Bytes &third = g_delivered[2];
  EXPECT_EQ(Bytes(third.begin() + 42, third.end()), Bytes(third.size() - 42, 0));
}

TEST_F(BusTest, SenderTextIsTerminatedInsideItsField) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  Peer peer(m_dir, "peer");
  ASSERT_TRUE(
      peer.SendTo(BusPath("hostmon"), Datagram(0xBB04, 0, std::string(24, 'A'), 0x41414141, {})));
  ASSERT_EQ(lum::bus::ReceiveOne(), RecvResult::kDelivered);
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(g_delivered[0].data() + 8)),
            std::string(23, 'A'));
}

TEST_F(BusTest, WithoutAProcedureMessagesAreDroppedWithATrace) {
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  LUM_MSG_RegisterMsgProc(nullptr);
  Peer peer(m_dir, "peer");
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"), Datagram(0xBB04, 0, "peer", 0, {})));
  EXPECT_EQ(lum::bus::ReceiveOne(), RecvResult::kDropped);
  EXPECT_TRUE(Traced("no message procedure"));
}

// The loop serves the bus socket once LUM_UTIL_SockBaseRegEvtProc registered it.
TEST_F(BusTest, TheLoopDeliversOnItsThread) {
  lum::testing::UseRealClock();
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  size_t before = lum::loop::RegistrationCount();
  ASSERT_EQ(LUM_UTIL_SockBaseRegEvtProc(), 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), before + 2);  // the bus and the debug listener
  EXPECT_TRUE(S_ISSOCK(ModeOf(m_dir + "/debug/hostmon")));
  EXPECT_EQ(ModeOf(m_dir + "/debug") & 0777, 0770u);
  ASSERT_EQ(LUM_UTIL_SockBaseRegEvtProc(), 0u);  // a second call adds nothing
  EXPECT_EQ(lum::loop::RegistrationCount(), before + 2);

  LUM_MSG_RegisterMsgProc([](void *pvMsg) {
    RecordProc(pvMsg);
    LUM_UTIL_SockBaseStop();
  });
  static bool s_bWatchdog = false;
  s_bWatchdog = false;
  uint32_t watchdog = LUM_UTIL_TimerAdd(
      5000, 1,
      [](void *) {
        s_bWatchdog = true;
        LUM_UTIL_SockBaseStop();
      },
      nullptr);
  Peer peer(m_dir, "peer");
  ASSERT_TRUE(peer.SendTo(BusPath("hostmon"), Datagram(0xBB03, 0, "peer", 0, {})));
  LUM_UTIL_SockBaseStart(0);
  LUM_UTIL_TimerDelete(watchdog);
  EXPECT_FALSE(s_bWatchdog);
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(ReadU32(g_delivered[0], 0), 0xBB03u);

  lum::bus::Shutdown();
  EXPECT_EQ(lum::loop::RegistrationCount(), before);
  EXPECT_FALSE(fs::exists(BusPath("hostmon")));
}

// --- Capture mode -----------------------------------------------------------

TEST_F(BusTest, CaptureRecordsSendsAndBindsNothing) {
  lum::testing::CaptureBus();
  ASSERT_EQ(LUM_MSG_Init("hostmon"), 0u);
  EXPECT_FALSE(fs::exists(m_dir));
  size_t before = lum::loop::RegistrationCount();
  EXPECT_EQ(LUM_UTIL_SockBaseRegEvtProc(), 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), before);

  const Bytes info(660, 0x42);
  EXPECT_EQ(LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE, 0x5016), 0u);
  EXPECT_EQ(LUM_MSG_SendSimpleMsg("dhcps", 0xBB01, 0), 0u);
  EXPECT_EQ(LUM_MSG_SendMsgData("cms", 0xB903, info.data(), 660), 0u);
  EXPECT_EQ(LUM_MSG_Send("nobody", 0x1, 5, info.data(), 2), 0u);
  Bytes tooBig(LUM_MSG_MAX_SIZE, 0);
  EXPECT_NE(LUM_MSG_SendMsgData("cms", 0xB903, tooBig.data(), LUM_MSG_MAX_SIZE), 0u);

  const auto &sent = lum::testing::SentMessages();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_FALSE(sent[0].bHasDest);
  EXPECT_EQ(sent[0].ulType, 0x702u);
  EXPECT_EQ(sent[0].ulData, 0x5016u);
  EXPECT_TRUE(sent[0].payload.empty());
  EXPECT_TRUE(sent[1].bHasDest);
  EXPECT_EQ(sent[1].dest, "dhcps");
  EXPECT_EQ(sent[1].ulType, 0xBB01u);
  EXPECT_EQ(sent[2].dest, "cms");
  EXPECT_EQ(sent[2].ulData, 0u);
  EXPECT_EQ(sent[2].payload, info);
  EXPECT_EQ(sent[3].ulData, 5u);
  EXPECT_EQ(sent[3].payload, Bytes(2, 0x42));
  EXPECT_FALSE(fs::exists(m_dir + "/subscriptions"));

  lum::testing::ReleaseBus();
  EXPECT_TRUE(lum::testing::SentMessages().empty());
}

TEST_F(BusTest, DeliverMessageBuildsTheHeaderAndAZeroMargin) {
  lum::testing::DeliverMessage(0x3012, 0x0100A8C0, {1, 2, 3, 4, 5, 6, 'b', 'r', '0'},
                               "a_sender_name_longer_than_23_chars");
  ASSERT_EQ(g_delivered.size(), 1u);
  const Bytes &msg = g_delivered[0];
  EXPECT_EQ(ReadU32(msg, 0), 0x3012u);
  EXPECT_EQ(ReadU32(msg, 4), 9u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(msg.data() + 8)),
            std::string("a_sender_name_longer_than_23_chars").substr(0, 23));
  EXPECT_EQ(ReadU32(msg, 32), 0x0100A8C0u);
  EXPECT_EQ(ReadU32(msg, 36), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(msg.data() + 46)), "br0");
  EXPECT_EQ(Bytes(msg.begin() + 49, msg.end()), Bytes(lum::bus::kZeroMargin, 0));
}

}  // namespace
