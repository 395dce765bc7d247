// The database's file: exact text, round trips, escapes, corrupt files set
// aside, atomic saves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dbstore.h"
#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint32_t> K(std::initializer_list<uint32_t> entries) {
  std::vector<uint32_t> keys(entries);
  keys.resize(LUM_DB_KEYS, 0);
  return keys;
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const std::string &path, const std::string &text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

constexpr char kHost1[] = "InternetGatewayDevice.LANDevice.1.Hosts.Host.1.";
// A small, valid file: a comment, a host before its LAN device, extreme numbers.
const std::string kSmallFile =
    std::string("# comment\n\n") + kHost1 + "MACAddress=AA:BB:CC:DD:EE:FF\n" +
    "InternetGatewayDevice.LANDevice.1.\n" + kHost1 + "LeaseTimeRemaining=-1\n" +
    "InternetGatewayDevice.LANDevice.1.X_Bridge.BridgeNumber=-2147483648\n" +
    "InternetGatewayDevice.Layer2Bridging.AvailableInterface.4294967295.X_InterfaceName=e\n";

class DbFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "lumdb-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
    m_file = m_dir + "/sub/dir/cfg.db";
    lum::testing::ResetDb();
    lum::testing::SetDbFile(m_file);
    lum::testing::CaptureLogs();
    m_net.bridges = {"br0"};
    m_net.bridgeKeys = {{"eth1", 0}, {"wl0", 0}};
    lum::testing::UseFakeNet(&m_net);
  }
  void TearDown() override {
    lum::testing::UseRealNet();
    lum::testing::ReleaseLogs();
    lum::testing::ResetDb();
    fs::remove_all(m_dir);
  }
  uint32_t Add(uint32_t ulKind, const std::vector<uint32_t> &parent,
               const std::vector<std::pair<uint32_t, std::string>> &texts = {},
               uint32_t ulLease = 0) {
    LUM_DB_SLOT *value = nullptr;
    EXPECT_EQ(LUM_DBGetDftObject(ulKind, &value, 0), 0u);
    for (const auto &[slot, text] : texts) {
      EXPECT_EQ(LUM_KEM_SetObjStrValue(slot, value, text.c_str()), 0u);
    }
    if (ulKind == LUM_DB_KIND_HOST) value[3].ulNum = ulLease;
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(parent.data(), ulKind, value, &ulInst), 0u);
    LUM_KEM_FreeObj(ulKind, value);
    return ulInst;
  }
  std::string HostText(uint32_t ulHost, size_t slot, uint32_t *pulLease = nullptr) {
    LUM_DB_SLOT *value = nullptr;
    if (LUM_DBGetObj(K({1, ulHost}).data(), LUM_DB_KIND_HOST, &value, 0) != 0) return "(none)";
    std::string text = value[slot].pcStr;
    if (pulLease != nullptr) *pulLease = value[3].ulNum;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, value);
    return text;
  }
  uint32_t Count(uint32_t ulKind) {
    uint32_t ulCount = 0;
    EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, ulKind, &ulCount, nullptr), 0u);
    return ulCount;
  }

  lum::testing::FakeNet m_net;
  std::string m_dir;
  std::string m_file;
};

TEST_F(DbFileTest, SavedFileListsKindsInOrderWithBareLinesForLanDevices) {
  uint32_t ulLan = Add(LUM_DB_KIND_LANDEVICE, K({}));
  Add(LUM_DB_KIND_BRIDGE_NUM, K({ulLan}));
  Add(LUM_DB_KIND_HOST, K({ulLan}), {{5, "AA:BB:CC:DD:EE:FF"}}, 0xFFFFFFFF);
  Add(LUM_DB_KIND_HOST_IPV6, K({ulLan, 1}), {{0, "fe80::1"}});

  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  std::string text = ReadAll(m_file), got;
  EXPECT_EQ(text.back(), '\n');
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    got += (line.starts_with(kHost1) ? line.substr(strlen(kHost1)) : line) + " ";
  }
  // Every slot of the host, in slot order, the default ones too.
  EXPECT_EQ(got,
            "InternetGatewayDevice.LANDevice.1. IPAddress= X_IPv6LinkLocalAddress= AddressSource= "
            "LeaseTimeRemaining=-1 X_LastChangeTime=0 MACAddress=AA:BB:CC:DD:EE:FF "
            "X_WireMACAddress= Layer2Interface= VendorClassID= ClientID= UserClassID= HostName= "
            "InterfaceType= X_Reserved= Active=0 X_IPv6Active=0 X_DeviceName= "
            "X_IPv6Address.1.Address=fe80::1 "
            "InternetGatewayDevice.LANDevice.1.X_Bridge.BridgeNumber=0 ");
}

TEST_F(DbFileTest, RoundTripKeepsTextsByteForByteAndCountsOnFromTheHighest) {
  const std::string tricky = "back\\slash\nnew line\x01\t\x1f\x7f end";
  const std::string utf8 = "Wohnzimmer-Ger\xc3\xa4t \xe2\x98\x83 \xf0\x9d\x84\x9e";
  const std::string notUtf8 = "\xff\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80 \xe2\x98";
  uint32_t ulLan = Add(LUM_DB_KIND_LANDEVICE, K({}));
  Add(LUM_DB_KIND_HOST, K({ulLan}), {{5, "gone"}});
  Add(LUM_DB_KIND_HOST, K({ulLan}), {{11, tricky}, {16, utf8}, {13, notUtf8}, {0, "a=b=c"}},
      0xFFFFFFFF);
  ASSERT_EQ(LUM_DBDelObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST), 0u);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);

  std::string text = ReadAll(m_file);
  EXPECT_NE(text.find("HostName=back\\\\slash\\nnew line\\x01\\x09\\x1F\\x7F end\n"),
            std::string::npos);
  EXPECT_NE(text.find("X_DeviceName=" + utf8 + "\n"), std::string::npos);
  EXPECT_NE(text.find("X_Reserved=\\xFF\\xC0\\x80\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80 \\xE2\\x98\n"),
            std::string::npos);
  EXPECT_NE(text.find("LeaseTimeRemaining=-1\n"), std::string::npos);

  lum::testing::ResetDb();
  lum::testing::SetDbFile(m_file);
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  uint32_t ulLease = 0;
  EXPECT_EQ(HostText(2, 11, &ulLease), tricky);
  EXPECT_EQ(ulLease, 0xFFFFFFFFu);
  EXPECT_EQ(HostText(2, 16), utf8);
  EXPECT_EQ(HostText(2, 13), notUtf8);
  EXPECT_EQ(HostText(2, 0), "a=b=c");
  // After a load the numbers go on from the highest in the file.
  EXPECT_EQ(Add(LUM_DB_KIND_HOST, K({ulLan})), 3u);
  EXPECT_FALSE(fs::exists(m_file + ".bad"));
}

TEST_F(DbFileTest, FileComesFromTheEnvironmentAtInitTime) {
  std::string envFile = m_dir + "/env/cfg.db";
  WriteAll(envFile, kSmallFile);
  lum::testing::SetDbFile("");
  setenv("LUM_DB_FILE", envFile.c_str(), 1);
  uint32_t ulRet = LUM_DBInit(0x8000, 0);
  unsetenv("LUM_DB_FILE");
  ASSERT_EQ(ulRet, 0u);
  uint32_t ulLease = 0;
  EXPECT_EQ(HostText(1, 5, &ulLease), "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(ulLease, 0xFFFFFFFFu);
  LUM_DB_SLOT *value = nullptr;
  ASSERT_EQ(LUM_DBGetObj(K({1}).data(), LUM_DB_KIND_BRIDGE_NUM, &value, 0), 0u);
  EXPECT_EQ(value[0].ulNum, 0x80000000u);
  LUM_KEM_FreeObj(LUM_DB_KIND_BRIDGE_NUM, value);
  // Instance 0xFFFFFFFF leaves no next number: adding is refused, not wrapped.
  ASSERT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_AVAIL_IF, &value, 0), 0u);
  EXPECT_EQ(LUM_DBAddObj(nullptr, LUM_DB_KIND_AVAIL_IF, value, nullptr), LUM_DB_ERR_NO_ROOM);
  LUM_KEM_FreeObj(LUM_DB_KIND_AVAIL_IF, value);
  // Saved where it was loaded from, though the variable is gone by now.
  ASSERT_EQ(LUM_DBSetPara(K({1, 1}).data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 1), 0u);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_NE(ReadAll(envFile).find("Hosts.Host.1.Active=1\n"), std::string::npos);
  // An empty file is an empty database, not a corrupt one.
  WriteAll(m_file, "");
  lum::testing::ResetDb();
  lum::testing::SetDbFile(m_file);
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE), 0u);
  EXPECT_FALSE(fs::exists(m_file + ".bad"));
}

TEST_F(DbFileTest, SaveIsAtomicCreatesFoldersAndCounts) {
  Add(LUM_DB_KIND_LANDEVICE, K({}));
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_EQ(lum::testing::DbSaveCount(), 1u);
  for (const char *dir : {"/sub", "/sub/dir"}) {
    EXPECT_EQ(fs::status(m_dir + dir).permissions(), static_cast<fs::perms>(0750)) << dir;
  }
  EXPECT_FALSE(fs::exists(m_file + ".tmp"));
  std::string before = ReadAll(m_file);

  // A save that cannot write its temporary file leaves the old file and the memory alone.
  Add(LUM_DB_KIND_LANDEVICE, K({}));
  ASSERT_EQ(mkdir((m_file + ".tmp").c_str(), 0700), 0);
  EXPECT_EQ(LUM_DBSaveToAppFunc("caller.cc", 42, "Caller"), LUM_DB_ERR_IO);
  EXPECT_EQ(lum::testing::DbSaveCount(), 2u);
  EXPECT_EQ(ReadAll(m_file), before);
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE), 2u);
  ASSERT_EQ(rmdir((m_file + ".tmp").c_str()), 0);
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  EXPECT_NE(ReadAll(m_file).find("LANDevice.2."), std::string::npos);
}

struct CorruptCase {
  const char *pcName;
  std::string text;
};

class DbCorruptFileTest : public DbFileTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(DbCorruptFileTest, IsKeptAsBadAndTheDatabaseStartsSeeded) {
  WriteAll(m_file, GetParam().text);
  lum::db::Store store;
  std::string why;
  EXPECT_FALSE(lum::db::ParseFile(GetParam().text, &store, &why));
  EXPECT_EQ(store.Size(), 0u);

  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_FALSE(fs::exists(m_file));  // not written until a save
  EXPECT_EQ(ReadAll(m_file + ".bad"), GetParam().text);
  EXPECT_FALSE(lum::testing::TraceLines().empty());
  // Seeded from the (fake) kernel: br0 with eth1 and wl0, nothing of the file.
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE), 1u);
  EXPECT_EQ(Count(LUM_DB_KIND_AVAIL_IF), 2u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST), 0u);
}

std::string Host(const std::string &rest) { return kSmallFile + kHost1 + rest + "\n"; }

INSTANTIATE_TEST_SUITE_P(
    Kinds, DbCorruptFileTest,
    ::testing::Values(
        CorruptCase{"BadEscape", Host("HostName=a\\tb")},
        CorruptCase{"UnknownParameter", Host("Hostname=a")},
        CorruptCase{"MissingParent",
                    kSmallFile + "InternetGatewayDevice.LANDevice.2.Hosts.Host.1.HostName=a\n"},
        CorruptCase{"UnterminatedLastLine", kSmallFile + kHost1 + "HostName=cut"},
        CorruptCase{"TextOneByteTooLong", Host("HostName=" + std::string(1025, 'h'))},
        CorruptCase{"InvalidUtf8", Host("HostName=\xc3(")},
        CorruptCase{"InstanceZero", kSmallFile + "InternetGatewayDevice.LANDevice.0.\n"}),
    [](const ::testing::TestParamInfo<CorruptCase> &param) { return param.param.pcName; });

TEST(DbNumberTest, SignedThirtyTwoBitDecimalsOnly) {
  uint32_t ulNum = 0;
  for (const char *bad : {"", "-", "+1", "2147483648", "-2147483649", " 1", "0x10", "1.0"}) {
    EXPECT_FALSE(lum::db::ParseNumber(bad, &ulNum)) << bad;
  }
}

}  // namespace
