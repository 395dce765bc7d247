// Network utilities over the fake kernel: MAC masking texts, bridge names cut
// at the buffer, bridge keys, the 43-byte forwarding-table record, station
// association; and the privilege calls, recorded in fake mode and real on
// files of a temporary folder.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/lum.h"
#include "platform/netquery.h"
#include "platform/testing.h"

namespace {

// --- MAC masking ------------------------------------------------------------

const uint8_t kMac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

std::string Disguise(const uint8_t *pucMac, const char *pcMac, uint32_t ulSize = 18,
                     uint32_t *pulRc = nullptr) {
  char out[32];
  memset(out, 'Z', sizeof(out));
  uint32_t rc = LUM_UTIL_Disguise_MacAddress(pucMac, pcMac, out, ulSize);
  if (pulRc != nullptr) *pulRc = rc;
  for (size_t i = ulSize; i < sizeof(out); ++i) EXPECT_EQ(out[i], 'Z') << "byte " << i;
  return std::string(out, strnlen(out, ulSize));
}

TEST(DisguiseMac, KeepsFirstTwoAndLastByte) {
  EXPECT_EQ(Disguise(kMac, nullptr), "00:1A:**:**:**:5E");
  EXPECT_EQ(Disguise(nullptr, "00:1a:2b:3c:4d:5e"), "00:1A:**:**:**:5E");
  EXPECT_EQ(Disguise(nullptr, "00-1A-2B-3C-4D-5E"), "00:1A:**:**:**:5E");
  EXPECT_EQ(Disguise(nullptr, "fF:eE:dd:cc:bb:0a"), "FF:EE:**:**:**:0A");
  // The bytes win over the text.
  EXPECT_EQ(Disguise(kMac, "ff:ff:ff:ff:ff:ff"), "00:1A:**:**:**:5E");
}

TEST(DisguiseMac, UnparsableTextFullyMasked) {
  for (const char *text : {"00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:", "00:1a-2b:3c:4d:5e",
                           "00:1a:2b:3c:4d:5g", "001a2b3c4d5e", "", " 0:1a:2b:3c:4d:5e"}) {
    uint32_t rc = 1;
    EXPECT_EQ(Disguise(nullptr, text, 18, &rc), "**:**:**:**:**:**") << text;
    EXPECT_EQ(rc, 0u);
  }
  EXPECT_EQ(Disguise(nullptr, nullptr), "**:**:**:**:**:**");
}

TEST(DisguiseMac, OutputCutToItsSize) {
  uint32_t rc = 1;
  EXPECT_EQ(Disguise(kMac, nullptr, 6, &rc), "00:1A");
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(Disguise(kMac, nullptr, 17), "00:1A:**:**:**:5");
  EXPECT_EQ(Disguise(kMac, nullptr, 1), "");
  char out[4] = "abc";
  EXPECT_NE(LUM_UTIL_Disguise_MacAddress(kMac, nullptr, out, 0), 0u);
  EXPECT_STREQ(out, "abc");
  EXPECT_NE(LUM_UTIL_Disguise_MacAddress(kMac, nullptr, nullptr, 18), 0u);
}

TEST(SecureMac, KeepsVendorAndLastByte) {
  char out[18];
  EXPECT_EQ(LUM_UTIL_GetSecureMacAddress("00:1a:2b:3c:4d:5e", out, sizeof(out)), 0u);
  EXPECT_STREQ(out, "00:1A:2B:**:**:5E");
  EXPECT_EQ(LUM_UTIL_GetSecureMacAddress("AA-BB-CC-DD-EE-FF", out, sizeof(out)), 0u);
  EXPECT_STREQ(out, "AA:BB:CC:**:**:FF");
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress("not a mac", out, sizeof(out)), 0u);
  EXPECT_STREQ(out, "**:**:**:**:**:**");
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress(nullptr, out, sizeof(out)), 0u);
  // Cut: the text stays terminated, but the call reports it.
  char small[17];
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress("00:1a:2b:3c:4d:5e", small, sizeof(small)), 0u);
  EXPECT_STREQ(small, "00:1A:2B:**:**:5");
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress("00:1a:2b:3c:4d:5e", nullptr, 18), 0u);
}

// --- The fake kernel --------------------------------------------------------

class FakeNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    net_.bridges = {"br0", "br1", "br2"};
    net_.bridgeKeys = {{"eth1", 0}, {"eth2", 0}, {"wl0", 1}, {"nas0", LUM_BRIDGE_KEY_NONE}};
    net_.fdb = {{"br0/00:1a:2b:3c:4d:5e", "eth2"},
                {"br1/00:1a:2b:3c:4d:5f", "wl0"},
                {"br1/00:1a:2b:3c:4d:60", "averyveryverylongportname"}};
    net_.associated = {"00:1a:2b:3c:4d:5f"};
    lum::testing::UseFakeNet(&net_);
  }
  void TearDown() override { lum::testing::UseRealNet(); }

  lum::testing::FakeNet net_;
};

struct NamesCase {
  uint32_t ulSize;
  int32_t lWant;
  const char *pcText;
};

class BridgeNamesCut : public FakeNetTest, public ::testing::WithParamInterface<NamesCase> {};

TEST_P(BridgeNamesCut, CountsOnlyWholeNames) {
  const NamesCase &c = GetParam();
  char buf[32];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(buf, c.ulSize), c.lWant);
  EXPECT_STREQ(buf, c.pcText);
  for (size_t i = c.ulSize; i < sizeof(buf); ++i) ASSERT_EQ(buf[i], 'Z') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, BridgeNamesCut,
                         ::testing::Values(NamesCase{32, 3, "br0,br1,br2"},
                                           NamesCase{12, 3, "br0,br1,br2"},  // exact fit
                                           NamesCase{11, 2, "br0,br1,br"},
                                           NamesCase{8, 2, "br0,br1"}, NamesCase{7, 1, "br0,br"},
                                           NamesCase{5, 1, "br0,"}, NamesCase{4, 1, "br0"},
                                           NamesCase{3, 0, "br"}, NamesCase{1, 0, ""}));

TEST_F(FakeNetTest, BridgeNamesInTheGivenOrder) {
  net_.bridges = {"br2", "br0"};
  char buf[256];
  EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(buf, sizeof(buf)), 2);
  EXPECT_STREQ(buf, "br2,br0");
  net_.bridges.clear();
  EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(nullptr, 256), 0);
  char untouched[2] = "x";
  EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(untouched, 0), 0);
  EXPECT_STREQ(untouched, "x");
}

TEST_F(FakeNetTest, BridgeKeys) {
  uint32_t key = 77;
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("eth1", &key), 0u);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("wl0", &key), 0u);
  EXPECT_EQ(key, 1u);
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("nas0", &key), 0u);
  EXPECT_EQ(key, LUM_BRIDGE_KEY_NONE);
  key = 77;
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("eth9", &key), 1u);
  EXPECT_EQ(key, 77u);
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName(nullptr, &key), 1u);
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("eth1", nullptr), 1u);
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("a-name-of-16chrs", &key), 1u);
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("", &key), 1u);

  EXPECT_EQ(lum::net::BridgePorts("br0"), (std::vector<std::string>{"eth1", "eth2"}));
  EXPECT_EQ(lum::net::BridgePorts("br1"), (std::vector<std::string>{"wl0"}));
  EXPECT_TRUE(lum::net::BridgePorts("brx").empty());
}

TEST_F(FakeNetTest, FdbRecordLayout) {
  LUM_BR_FDB_INFO info;
  memset(&info, 0, sizeof(info));
  ASSERT_EQ(LUM_UTIL_GetBrFdbInfoByMac("00:1A:2B:3C:4D:5E", &info), 0u);
  const auto *raw = reinterpret_cast<const uint8_t *>(&info);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(raw), 18),
            std::string("00:1a:2b:3c:4d:5e\0", 18));
  EXPECT_EQ(raw[18], 0);  // not local
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(raw + 19), 5), std::string("eth2\0", 5));
  for (size_t i = 24; i < sizeof(info); ++i) EXPECT_EQ(raw[i], 0) << "byte " << i;

  memset(&info, 0, sizeof(info));
  ASSERT_EQ(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00-1a-2b-3c-4d-5e", &info, "br0"), 0u);
  EXPECT_STREQ(info.acPortName, "eth2");

  // A long port name is cut to the field and terminated.
  ASSERT_EQ(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d:60", &info), 0u);
  EXPECT_STREQ(info.acPortName, "averyveryverylo");
  EXPECT_EQ(raw[34], 0);
}

TEST_F(FakeNetTest, FdbMissesLeaveTheRecordAlone) {
  LUM_BR_FDB_INFO info;
  memset(&info, 0xAB, sizeof(info));
  const LUM_BR_FDB_INFO before = info;
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, "br1"), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, "br"), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, ""), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, nullptr), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d:99", &info), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d", &info), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMac(nullptr, &info), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d:5e", nullptr), 0u);
  EXPECT_EQ(memcmp(&info, &before, sizeof(info)), 0);
}

TEST_F(FakeNetTest, FdbQueriesCounted) {
  LUM_BR_FDB_INFO info{};
  EXPECT_EQ(net_.ulFdbQueries, 0u);
  LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, "br1");  // miss: counted
  LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d:5e", &info);
  EXPECT_EQ(lum::net::FdbPortOf("00:1a:2b:3c:4d:5f", ""), "wl0");
  EXPECT_EQ(lum::net::FdbPortOf("00:1a:2b:3c:4d:5f", "br0"), std::nullopt);
  EXPECT_EQ(net_.ulFdbQueries, 4u);
  // Refused before reaching the table: not a query.
  LUM_UTIL_GetBrFdbInfoByMac("garbage", &info);
  EXPECT_EQ(net_.ulFdbQueries, 4u);
}

TEST_F(FakeNetTest, StationAssociation) {
  EXPECT_NE(LUM_UTIL_IsStaAssociated("00:1a:2b:3c:4d:5f"), 0u);
  EXPECT_NE(LUM_UTIL_IsStaAssociated("00-1A-2B-3C-4D-5F"), 0u);
  EXPECT_EQ(LUM_UTIL_IsStaAssociated("00:1a:2b:3c:4d:5e"), 0u);
  EXPECT_EQ(LUM_UTIL_IsStaAssociated("junk"), 0u);
  EXPECT_EQ(LUM_UTIL_IsStaAssociated(nullptr), 0u);
}

TEST_F(FakeNetTest, RealKernelBackAfterUseRealNet) {
  EXPECT_EQ(lum::net::BridgeKeyOf("eth1"), 0u);
  lum::testing::UseRealNet();
  EXPECT_EQ(lum::net::BridgeKeyOf("nosuchif9"), std::nullopt);
  EXPECT_EQ(lum::net::BridgeKeyOf("../../x"), std::nullopt);
}

// --- Privileges -------------------------------------------------------------

TEST(FakePrivileges, CallsRecordedNotPerformed) {
  lum::testing::FakePrivileges(true);
  const std::string dir = "/nonexistent-hostmon-test/dhcps/";
  EXPECT_EQ(LUM_UTIL_ChangeFileGrp("ntwklan", dir.c_str()), 0u);
  EXPECT_EQ(LUM_UTIL_ForceSetPrivileges("hostmon"), 0u);
  EXPECT_EQ(LUM_UTIL_DropRootPrivileges("hostmon"), 0u);
  EXPECT_EQ(LUM_UTIL_UpRootPrivileges(), 0u);
  EXPECT_EQ(LUM_UTIL_RemoveAndroidWPerm("/path", "660"), 0u);
  EXPECT_EQ(lum::testing::PrivilegeCalls(),
            (std::vector<std::string>{"ChangeFileGrp ntwklan " + dir, "ForceSet hostmon",
                                      "Drop hostmon", "Up", "RemoveWPerm /path 660"}));
  struct stat st {};
  EXPECT_NE(stat(dir.c_str(), &st), 0);
  lum::testing::FakePrivileges(false);
  EXPECT_TRUE(lum::testing::PrivilegeCalls().empty());
}

class FilePermissions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "hostmon-priv-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + root_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  static mode_t ModeOf(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
  std::string root_;
};

TEST_F(FilePermissions, ChangeFileGrpCreatesAndOpensToTheGroup) {
  struct group *gr = getgrgid(getgid());
  ASSERT_NE(gr, nullptr);
  const std::string dir = root_ + "/var/dhcps/";
  ASSERT_EQ(LUM_UTIL_ChangeFileGrp(gr->gr_name, dir.c_str()), 0u);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_gid, getgid());
  EXPECT_EQ(st.st_mode & (S_IRWXG | S_ISGID), static_cast<mode_t>(S_IRWXG | S_ISGID));
  EXPECT_EQ(st.st_mode & S_IRWXO, 0u);
  // Again: nothing to create, same answer.
  EXPECT_EQ(LUM_UTIL_ChangeFileGrp(gr->gr_name, dir.c_str()), 0u);
}

TEST_F(FilePermissions, ChangeFileGrpRefusals) {
  const std::string dir = root_ + "/nogroup";
  const mode_t old = umask(022);
  EXPECT_NE(LUM_UTIL_ChangeFileGrp("no-such-group-x", dir.c_str()), 0u);
  umask(old);
  // The folder is there, but not opened to any group.
  EXPECT_EQ(ModeOf(dir) & S_IWGRP, 0u);
  std::ofstream(root_ + "/file") << "x";
  EXPECT_NE(LUM_UTIL_ChangeFileGrp("root", (root_ + "/file").c_str()), 0u);
  EXPECT_NE(LUM_UTIL_ChangeFileGrp(nullptr, dir.c_str()), 0u);
  EXPECT_NE(LUM_UTIL_ChangeFileGrp("root", nullptr), 0u);
}

TEST_F(FilePermissions, RemoveWPermSetsTheOctalMode) {
  const std::string file = root_ + "/neighbors";
  std::ofstream(file) << "x";
  ASSERT_EQ(chmod(file.c_str(), 0666), 0);
  EXPECT_EQ(LUM_UTIL_RemoveAndroidWPerm(file.c_str(), "660"), 0u);
  EXPECT_EQ(ModeOf(file), 0660u);
  EXPECT_EQ(LUM_UTIL_RemoveAndroidWPerm(file.c_str(), "0644"), 0u);
  EXPECT_EQ(ModeOf(file), 0644u);
  for (const char *bad : {"", "abc", "968", "12345", "-1", "66 "}) {
    EXPECT_NE(LUM_UTIL_RemoveAndroidWPerm(file.c_str(), bad), 0u) << bad;
  }
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_NE(LUM_UTIL_RemoveAndroidWPerm((root_ + "/missing").c_str(), "660"), 0u);
  EXPECT_NE(LUM_UTIL_RemoveAndroidWPerm(nullptr, "660"), 0u);
  EXPECT_NE(LUM_UTIL_RemoveAndroidWPerm(file.c_str(), nullptr), 0u);
}

// Without the user the identity stays, and Up and Drop change nothing.
TEST(RealPrivileges, NoSuchUserKeepsIdentity) {
  auto capEff = [] {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("CapEff:", 0) == 0) return line;
    }
    return std::string();
  };
  const uid_t uid = getuid();
  const std::string before = capEff();
  lum::testing::CaptureLogs();
  EXPECT_NE(LUM_UTIL_ForceSetPrivileges("no-such-user-hostmon-x"), 0u);
  EXPECT_NE(LUM_UTIL_ForceSetPrivileges("no-such-user-hostmon-x"), 0u);
  size_t traced = 0;
  for (const std::string &line : lum::testing::TraceLines()) {
    if (line.find("no user") != std::string::npos) ++traced;
  }
  EXPECT_LE(traced, 1u);  // once per process
  lum::testing::ReleaseLogs();
  EXPECT_EQ(LUM_UTIL_DropRootPrivileges("no-such-user-hostmon-x"), 0u);
  EXPECT_EQ(LUM_UTIL_UpRootPrivileges(), 0u);
  EXPECT_EQ(getuid(), uid);
  EXPECT_EQ(capEff(), before);
}

}  // namespace
