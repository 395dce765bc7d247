// The database as the daemon uses it: walks by sequence number, instance
// numbers, deletes and moves with sub-objects; its file: exact text, round
// trips, escapes, corrupt files set aside, atomic saves, and the seeding from
// the kernel without a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

namespace fs = std::filesystem;
using Keys = std::array<uint32_t, LUM_DB_KEYS>;
constexpr uint32_t kLan = LUM_DB_KIND_LANDEVICE, kHost = LUM_DB_KIND_HOST,
                   kV6 = LUM_DB_KIND_HOST_IPV6, kBr = LUM_DB_KIND_BRIDGE_NUM;
const std::string kIgd = "InternetGatewayDevice.", kLan1 = kIgd + "LANDevice.1.",
                  kHost1 = kLan1 + "Hosts.Host.1.";

// The slot holding the text a test gives hosts and addresses; -1 for other kinds.
int TextSlot(uint32_t ulKind) { return ulKind == kHost ? 5 : ulKind == kV6 ? 0 : -1; }

// Adds an object under parent with its text slot set; its instance number.
uint32_t Add(uint32_t ulKind, const Keys &parent, const char *pcText = "") {
  LUM_DB_SLOT value[17] = {};  // a caller's own array: null texts are empty
  if (TextSlot(ulKind) >= 0) value[TextSlot(ulKind)].pcStr = const_cast<char *>(pcText);
  uint32_t ulInst = 0;
  EXPECT_EQ(LUM_DBAddObj(parent.data(), ulKind, value, &ulInst), 0u);
  return ulInst;
}

uint32_t Del(uint32_t ulKind, const Keys &keys) { return LUM_DBDelObj(keys.data(), ulKind); }

// Every object of a kind below a parent by sequence number, "1.2=TEXT ..."
// (the text of hosts and addresses only), with fn called on each before the
// next is asked for: it may write to the database.
template <typename F = void (*)(Keys &, LUM_DB_SLOT *)>
std::string Walk(
    uint32_t ulKind, const Keys &parent, F fn = [](Keys &, LUM_DB_SLOT *) {}) {
  std::string seen;
  LUM_DB_SLOT *value = nullptr;
  Keys keys{};
  for (uint32_t seq = 0;
       LUM_DBGetObjectBySeqNum(parent.data(), ulKind, seq, &value, 0, 0, keys.data()) == 0; ++seq) {
    for (size_t i = 0; i < keys.size() && keys[i] != 0; ++i) {
      seen += (i == 0 ? (seen.empty() ? "" : " ") : ".") + std::to_string(keys[i]);
    }
    if (TextSlot(ulKind) >= 0) seen += "=" + std::string(value[TextSlot(ulKind)].pcStr);
    fn(keys, value);
    LUM_KEM_FreeObj(ulKind, value);
  }
  return seen;
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The lines that contain part, each with strip cut off its start, comments left out.
std::string Lines(const std::string &text, const std::string &strip, const std::string &part = "") {
  std::string out;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = text.substr(at, end - at);
    if (line.starts_with("#") || line.find(part) == std::string::npos) continue;
    out += (line.starts_with(strip) ? line.substr(strip.size()) : line) + " ";
  }
  return out;
}

// Two LAN devices in memory, a file in a folder still to be made, and br0 with
// eth1 and wl0 in the kernel.
class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "lumdb-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
    m_file = m_dir + "/sub/dir/cfg.db";
    lum::testing::CaptureLogs();
    m_net.bridges = {"br0"};
    m_net.bridgeKeys = {{"eth1", 0}, {"wl0", 0}};
    lum::testing::UseFakeNet(&m_net);
    lum::testing::ResetDb();
    Add(kLan, {});
    Add(kLan, {});
  }
  void TearDown() override {
    if (!m_mount.empty()) umount2(m_mount.c_str(), MNT_DETACH);
    lum::testing::UseRealNet();
    lum::testing::ReleaseLogs();
    lum::testing::ResetDb();
    fs::remove_all(m_dir);
  }
  // Starts the database from a file with this text (none when nullptr).
  void Load(const char *pcText, uint32_t ulWant = 0) {
    lum::testing::ResetDb();
    lum::testing::SetDbFile(m_file);
    if (pcText != nullptr) {
      fs::create_directories(m_dir + "/sub/dir");
      std::ofstream(m_file, std::ios::binary) << pcText;
    }
    ASSERT_EQ(LUM_DBInit(0x8000, 0), ulWant);
  }
  void Load(const std::string &text) { Load(text.c_str()); }
  std::string Save() {
    EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
    return ReadAll(m_file);
  }
  lum::testing::FakeNet m_net;
  std::string m_dir, m_file, m_mount;
};

// Addresses below hosts: counted per host in the walk test, never reused in
// the sequence-number test.
TEST_F(DbTest, InstanceNumbersCountPerParentAndAreNeverReused) {
  for (uint32_t lan : {1, 1, 1}) Add(kHost, {lan});
  EXPECT_EQ(Add(kHost, {2}), 1u);
  ASSERT_EQ(Del(kHost, {1, 3}) + Del(kHost, {1, 2}), 0u);
  EXPECT_EQ(Add(kHost, {1}), 4u);
  ASSERT_EQ(Del(kLan, {2}), 0u);
  EXPECT_EQ(Add(kLan, {}), 3u);
  LUM_DB_SLOT value[17] = {};
  EXPECT_EQ(LUM_DBAddObj(Keys{7}.data(), kHost, value, nullptr), LUM_DB_ERR_NO_PARENT);
}

TEST_F(DbTest, WalksGoInKeyOrderAndHonourTheParentFilter) {
  for (auto [lan, mac] : {std::pair{2u, "c"}, {1u, "a"}, {1u, "b"}, {2u, "d"}})
    Add(kHost, {lan}, mac);
  EXPECT_EQ(Walk(kHost, {}), "1.1=a 1.2=b 2.1=c 2.2=d");
  EXPECT_EQ(Walk(kHost, {2}), "2.1=c 2.2=d");
  // A zero entry before a set one: every host 2 of any LAN device.
  for (auto [lan, host, addr] : {std::tuple{1u, 2u, "a"}, {2u, 1u, "b"}, {2u, 2u, "c"}}) {
    Add(kV6, {lan, host}, addr);
  }
  EXPECT_EQ(Walk(kV6, {0, 2}), "1.2.1=a 2.2.1=c");
  uint32_t ulCount = 0, *array = nullptr;  // the objects' own instance numbers
  ASSERT_EQ(LUM_DBGetNumOfObjs(Keys{0, 2}.data(), kV6, &ulCount, &array), 0u);
  EXPECT_EQ(std::vector<uint32_t>(array, array + ulCount), (std::vector<uint32_t>{1, 1}));
  free(array);
}

// The sync pass: each host is rewritten and its IPv6 object replaced while the
// walk goes on; every host must be met exactly once, in order.
TEST_F(DbTest, SeqNumberingHoldsWhileTheWalkWritesAndReplacesSubObjects) {
  for (uint32_t i = 0; i < 40; ++i) Add(kHost, {1 + i % 2}, "m");
  for (uint32_t h = 1; h <= 20; ++h) Add(kV6, {1, h}, "old");
  const std::string before = Walk(kHost, {});
  EXPECT_EQ(Walk(kHost, {},
                 [](Keys &keys, LUM_DB_SLOT *value) {
                   ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value, "renamed"), 0u);
                   ASSERT_EQ(LUM_DBSetObj(keys.data(), kHost, value), 0u);
                   ASSERT_EQ(LUM_DBSetPara(keys.data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 7), 0u);
                   Del(kV6, {keys[0], keys[1], 1});
                   Add(kV6, {keys[0], keys[1]}, "new");
                 }),
            before);
  EXPECT_EQ(Walk(kV6, {0, 20}), "1.20.2=new 2.20.1=new");
  Walk(kHost, {}, [](Keys &, LUM_DB_SLOT *value) {
    EXPECT_STREQ(value[11].pcStr, "renamed");
    EXPECT_EQ(value[14].ulNum, 7u);  // the parameter is host slot 14
  });
}

TEST_F(DbTest, ValuesOutliveTheirObjectAndTextsStopAt1024BytesSoEverySaveLoadsAgain) {
  LUM_DB_SLOT *value = nullptr, own[17] = {};
  std::string text(1025, 'x');
  own[11].pcStr = text.data();
  EXPECT_EQ(LUM_DBAddObj(Keys{1}.data(), kHost, own, nullptr), LUM_DB_ERR_PARAM);
  text.pop_back();
  ASSERT_EQ(LUM_DBAddObj(Keys{1}.data(), kHost, own, nullptr), 0u);
  ASSERT_EQ(LUM_DBGetObj(Keys{1, 1}.data(), kHost, &value, 0), 0u);
  ASSERT_EQ(Del(kHost, {1, 1}), 0u);
  EXPECT_EQ(value[11].pcStr, text);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(11, value, (text + "x").c_str()), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(17, value, "x"), LUM_DB_ERR_PARAM);  // past the last
  LUM_KEM_FreeObj(kHost, value);
}

TEST_F(DbTest, DeleteTakesEverySubObjectAndNothingElse) {
  for (uint32_t lan : {1, 1, 2}) Add(kHost, {lan}, "h");
  for (auto [lan, host] : {std::pair{1u, 1u}, {1u, 2u}, {2u, 1u}}) Add(kV6, {lan, host}, "a");
  for (uint32_t kind : {LUM_DB_KIND_LAN_ETH_IF, LUM_DB_KIND_WLAN_CFG, kBr}) Add(kind, {1});
  EXPECT_EQ(Add(kBr, {2}), 2u);  // one per LAN device, numbered by it
  LUM_DB_SLOT bridge[1] = {};
  EXPECT_EQ(LUM_DBAddObj(Keys{2}.data(), kBr, bridge, nullptr), LUM_DB_ERR_EXISTS);
  ASSERT_EQ(Del(kHost, {1, 1}), 0u);
  EXPECT_EQ(Walk(kV6, {}), "1.2.1=a 2.1.1=a");
  ASSERT_EQ(Del(kLan, {1}), 0u);
  EXPECT_EQ(Walk(kHost, {}) + "|" + Walk(kV6, {}), "2.1=h|2.1.1=a");
  EXPECT_EQ(Walk(LUM_DB_KIND_LAN_ETH_IF, {}) + Walk(LUM_DB_KIND_WLAN_CFG, {}), "");
  ASSERT_EQ(Del(kBr, {2}), 0u);  // leaves the LAN device and its hosts
  EXPECT_EQ(Walk(kHost, {}) + "|" + Walk(kLan, {}) + Walk(kBr, {}), "2.1=h|2");
}

TEST_F(DbTest, MoveKeepsValuesAndSubObjectsUnderANewInstance) {
  for (uint32_t lan : {1, 1, 2}) Add(kHost, {lan}, lan == 2 ? "t" : "m");
  Add(kV6, {1, 2}, "kept");
  ASSERT_EQ(LUM_DBSetPara(Keys{1, 2}.data(), LUM_DB_PARA_HOST_LAST_CHANGE, 77), 0u);
  ASSERT_EQ(LUM_DBObjMove(Keys{1, 2}.data(), kHost, Keys{2}.data(), nullptr), 0u);
  EXPECT_EQ(Walk(kHost, {}) + "|" + Walk(kV6, {}), "1.1=m 2.1=t 2.2=m|2.2.1=kept");
  Walk(kHost, {2}, [](Keys &keys, LUM_DB_SLOT *value) {
    EXPECT_EQ(value[4].ulNum, keys[1] == 2 ? 77u : 0u);  // the parameter is host slot 4
  });
  EXPECT_EQ(Add(kV6, {2, 2}), 2u);  // sub-objects count on where they were
  EXPECT_EQ(Add(kHost, {1}), 3u);
  EXPECT_EQ(LUM_DBObjMove(Keys{2, 2}.data(), kHost, Keys{9}.data(), nullptr), LUM_DB_ERR_NO_PARENT);
}

TEST_F(DbTest, SavedFileHasEverySlotInOrderAndBareLinesForLanDevices) {
  // A comment, an empty line, a host before its LAN device: all accepted.
  Load("# comment\n\n" + kHost1 + "X_IPv6Address.1.Address=fe80::1\n" + kHost1 +
       "MACAddress=AA:BB:CC:DD:EE:FF\n" + kLan1 + "\n" + kHost1 + "LeaseTimeRemaining=-1\n" +
       kLan1 + "X_Bridge.BridgeNumber=0\n");
  EXPECT_EQ(Lines(Save(), kHost1),
            kLan1 + " IPAddress= X_IPv6LinkLocalAddress= AddressSource= LeaseTimeRemaining=-1 " +
                "X_LastChangeTime=0 MACAddress=AA:BB:CC:DD:EE:FF X_WireMACAddress= " +
                "Layer2Interface= VendorClassID= ClientID= UserClassID= HostName= " +
                "InterfaceType= X_Reserved= Active=0 X_IPv6Active=0 X_DeviceName= " +
                "X_IPv6Address.1.Address=fe80::1 " + kLan1 + "X_Bridge.BridgeNumber=0 ");
}

TEST_F(DbTest, RoundTripKeepsTextsByteForByteAndCountsOnFromTheHighest) {
  const std::string lines[] = {
      "2.HostName=back\\\\slash\\nnew line\\x01\\x09\\x1F\\x7F end",
      "2.X_Reserved=\\xFF\\xC0\\x80\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80 \\xE2\\x98",
      "2.X_DeviceName=Ger\xc3\xa4t \xe2\x98\x83 \xf0\x9d\x84\x9e", "2.IPAddress=a=b=c",
      "2.Active=-2147483648"};
  std::string text = kLan1 + "\n" + kIgd + "Layer2Bridging.AvailableInterface.4294967295.\n";
  for (const std::string &line : lines) text += kLan1 + "Hosts.Host." + line + "\n";
  Load(text);
  EXPECT_EQ(Walk(kHost, {1},
                 [](Keys &, LUM_DB_SLOT *value) {
                   EXPECT_STREQ(value[11].pcStr, "back\\slash\nnew line\x01\t\x1f\x7f end");
                   EXPECT_STREQ(value[13].pcStr,
                                "\xff\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80 \xe2\x98");
                 }),
            "1.2=");
  std::string saved = Lines(Save(), kLan1 + "Hosts.Host.", "2.");
  for (const std::string &line : lines) EXPECT_NE(saved.find(line + " "), std::string::npos);
  EXPECT_EQ(Add(kHost, {1}), 3u);  // numbers go on from the highest in the file
  // After instance 4294967295 there is no next number: refused, not wrapped.
  LUM_DB_SLOT avail[4] = {};
  EXPECT_EQ(LUM_DBAddObj(nullptr, LUM_DB_KIND_AVAIL_IF, avail, nullptr), LUM_DB_ERR_NO_ROOM);
}

TEST_F(DbTest, SaveIsAtomicCreatesPrivateFoldersAndAFailureKeepsTheOldFile) {
  Load(nullptr);  // seeded: LAN device 1 for br0
  std::string before = Save();
  EXPECT_EQ(fs::status(m_dir + "/sub").permissions(), fs::perms(0750));
  EXPECT_FALSE(fs::exists(m_file + ".tmp"));
  ASSERT_EQ(Del(kLan, {1}), 0u);
  ASSERT_EQ(mkdir((m_file + ".tmp").c_str(), 0700), 0);  // the temporary file cannot be written
  EXPECT_EQ(LUM_DBSaveToAppFunc("caller.cc", 42, "Caller"), LUM_DB_ERR_IO);
  EXPECT_EQ(ReadAll(m_file), before);
  ASSERT_EQ(rmdir((m_file + ".tmp").c_str()), 0);
  EXPECT_EQ(Lines(Save(), "", "BridgeNumber"), "");
}

// A file held by a second daemon started by mistake, or one that exists but
// cannot be read (a folder in its place), is never saved over; the daemon goes
// on with what it loaded or seeded, and a later start that gets the file saves.
TEST_F(DbTest, FileLockedByAnotherProcessOrUnreadableIsNeverSavedOver) {
  Load(kLan1 + "\n");
  lum::testing::ResetDb();  // lets go of the lock; "the other daemon" takes it
  const int iOther = open((m_file + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(iOther, LOCK_EX | LOCK_NB), 0);
  Load(kLan1 + "\n");
  EXPECT_EQ(Walk(kLan, {}), "1");
  EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), LUM_DB_ERR_IO);
  close(iOther);
  ASSERT_TRUE(fs::remove(m_file) && fs::create_directories(m_file + "/kept"));
  Load(nullptr, LUM_DB_ERR_IO);
  EXPECT_EQ(Walk(kLan, {}), "1");  // seeded
  EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), LUM_DB_ERR_IO);
  EXPECT_TRUE(fs::is_directory(m_file + "/kept"));
  ASSERT_TRUE(fs::remove_all(m_file));
  Load(kLan1 + "\n");
  EXPECT_NE(Save(), "");
}

// The old file stays whole until the new one is complete.
TEST_F(DbTest, SaveOnAFullFileSystemKeepsTheOldFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const std::string dir = m_dir + "/sub/dir";
  fs::create_directories(dir);
  ASSERT_EQ(mount("hostmon-test", dir.c_str(), "tmpfs", 0, "size=64k"), 0);
  m_mount = dir;
  Load(nullptr);
  const std::string before = Save();
  std::ofstream(dir + "/filler", std::ios::binary) << std::string(64 << 10, 'x');  // fills it
  ASSERT_EQ(Add(kHost, {1}), 1u);
  EXPECT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), LUM_DB_ERR_IO);
  EXPECT_EQ(ReadAll(m_file), before);
  EXPECT_FALSE(fs::exists(m_file + ".tmp"));
  fs::remove(dir + "/filler");
  EXPECT_NE(Save(), before);
}

TEST_F(DbTest, CorruptFileIsKeptAsBadAndNothingOfItIsLoaded) {
  // After a valid start: a bad escape, an unknown parameter, a missing parent,
  // an unterminated last line, invalid UTF-8, instance 0, 1025 bytes, numbers
  // out of range or not decimal.
  const std::string good = kLan1 + "\n" + kHost1 + "MACAddress=m\n";
  std::vector<std::string> cases = {good + kHost1 + "HostName=" + std::string(1025, 'h') + "\n"};
  for (const char *bad : {"1.HostName=a\\tb\n", "1.Hostname=a\n", "2.X_IPv6Address.1.Address=a\n",
                          "1.HostName=cut", "1.HostName=\xc3(\n", "0.HostName=a\n",
                          "1.Active=2147483648\n", "1.Active=0x10\n", "1.Active=+1\n"}) {
    cases.push_back(good + kLan1 + "Hosts.Host." + bad);
  }
  Load(good);
  EXPECT_EQ(Walk(kHost, {}), "1.1=m");
  Load("");  // an empty file is an empty database, not a corrupt one
  EXPECT_FALSE(fs::exists(m_file + ".bad"));
  for (const std::string &text : cases) {
    SCOPED_TRACE(text);
    Load(text);
    EXPECT_FALSE(fs::exists(m_file));  // not written until a save
    EXPECT_EQ(ReadAll(m_file + ".bad"), text);
    EXPECT_EQ(Walk(kHost, {}), "");  // seeded from the kernel instead
  }
}

TEST_F(DbTest, WithoutAFileBridgeNGivesLanDeviceNPlusOneWithAnInterfacePerPort) {
  m_net.bridges = {"br0", "br3", "eth0"};
  m_net.bridgeKeys = {{"ath1", 3}, {"eth0", 3}, {"lan1", 0}, {"wlan0", 3}, {"eth9", 5}};
  Load(nullptr);
  std::string text = Save();
  EXPECT_EQ(Lines(text, kIgd + "LANDevice.", "X_Name="),
            "1.LANEthernetInterfaceConfig.1.X_Name=lan1 4.LANEthernetInterfaceConfig.1.X_Name=eth0 "
            "4.WLANConfiguration.1.X_Name=ath1 4.WLANConfiguration.2.X_Name=wlan0 ");
  // Available interfaces are numbered across bridges, in bridge then port order.
  EXPECT_EQ(
      Lines(text, kIgd, "4.InterfaceRef") + Lines(text, kIgd + "LANDevice.", "Bridge"),
      "Layer2Bridging.AvailableInterface.4.InterfaceReference=" + kIgd +
          "LANDevice.4.WLANConfiguration.2 1.X_Bridge.BridgeNumber=0 4.X_Bridge.BridgeNumber=3 ");
}

}  // namespace
