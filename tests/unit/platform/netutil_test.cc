// Network utilities over the fake kernel: MAC masking texts, bridge names cut
// at the buffer, bridge keys, the 43-byte forwarding-table record, station
// association; and the group and permission calls on files of a temporary
// folder.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/lum.h"
#include "platform/netquery.h"
#include "platform/testing.h"

namespace {

const uint8_t kMac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

TEST(MacMasks, DisguiseKeepsFirstTwoAndLastByteCutToTheSize) {
  const struct {
    const uint8_t *pucMac;
    const char *pcMac;
    uint32_t ulSize;
    const char *pcWant;
  } cases[] = {
      {kMac, nullptr, 18, "00:1A:**:**:**:5E"},
      {nullptr, "00-1A-2B-3C-4D-5E", 18, "00:1A:**:**:**:5E"},
      {nullptr, "fF:eE:dd:cc:bb:0a", 18, "FF:EE:**:**:**:0A"},
      {kMac, "ff:ff:ff:ff:ff:ff", 18, "00:1A:**:**:**:5E"},  // the bytes win
      {nullptr, "00:1a:2b:3c:4d:5e:", 18, "**:**:**:**:**:**"},
      {nullptr, "00:1a-2b:3c:4d:5e", 18, "**:**:**:**:**:**"},
      {nullptr, nullptr, 18, "**:**:**:**:**:**"},
      {kMac, nullptr, 17, "00:1A:**:**:**:5"},
      {kMac, nullptr, 1, ""},
  };
  for (const auto &c : cases) {
    char out[32];
    memset(out, 'Z', sizeof(out));
    EXPECT_EQ(LUM_UTIL_Disguise_MacAddress(c.pucMac, c.pcMac, out, c.ulSize), 0u);
    EXPECT_EQ(std::string(out, strnlen(out, c.ulSize)), c.pcWant);
    EXPECT_EQ(out[c.ulSize], 'Z');
  }
  EXPECT_NE(LUM_UTIL_Disguise_MacAddress(kMac, nullptr, nullptr, 18), 0u);
}

TEST(MacMasks, SecureKeepsVendorAndLastByte) {
  char out[18];
  EXPECT_EQ(LUM_UTIL_GetSecureMacAddress("AA-BB-CC-DD-EE-FF", out, sizeof(out)), 0u);
  EXPECT_STREQ(out, "AA:BB:CC:**:**:FF");
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress("not a mac", out, sizeof(out)), 0u);
  EXPECT_STREQ(out, "**:**:**:**:**:**");
  // Cut: the text stays terminated, but the call reports it.
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress("00:1a:2b:3c:4d:5e", out, 17), 0u);
  EXPECT_STREQ(out, "00:1A:2B:**:**:5");
}

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

TEST_F(FakeNetTest, BridgeNamesCountOnlyWholeNamesCutAtTheBuffer) {
  const std::tuple<uint32_t, int32_t, const char *> cases[] = {
      {12, 3, "br0,br1,br2"}, {11, 2, "br0,br1,br"}, {8, 2, "br0,br1"}, {7, 1, "br0,br"},
      {4, 1, "br0"},          {3, 0, "br"},          {1, 0, ""}};
  for (const auto &[ulSize, lWant, pcText] : cases) {
    char buf[32];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(buf, ulSize), lWant) << ulSize;
    EXPECT_STREQ(buf, pcText);
    EXPECT_EQ(buf[ulSize], 'Z') << ulSize;
  }
  char untouched[2] = "x";
  EXPECT_EQ(LUM_UTIL_GetBridgeAllNames(untouched, 0), 0);
  EXPECT_STREQ(untouched, "x");
}

TEST_F(FakeNetTest, BridgeKeysRefuseNamesNoInterfaceCanHave) {
  uint32_t key = 77;
  EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName("nas0", &key), 0u);
  EXPECT_EQ(key, LUM_BRIDGE_KEY_NONE);
  for (const char *bad : {"eth9", "a-name-of-16chrs", "", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(LUM_BRIDGE_GetBridgeKeyByInterfaceName(bad, &key), 1u);
  }
  EXPECT_EQ(key, LUM_BRIDGE_KEY_NONE);
}

TEST_F(FakeNetTest, FdbRecordLayoutAndMissesLeaveItAlone) {
  LUM_BR_FDB_INFO info;
  memset(&info, 0, sizeof(info));
  ASSERT_EQ(LUM_UTIL_GetBrFdbInfoByMac("00:1A:2B:3C:4D:5E", &info), 0u);
  ASSERT_EQ(sizeof(info), 43u);
  const auto *raw = reinterpret_cast<const char *>(&info);
  std::string want(43, '\0');  // MAC text, not local, then the port at 19
  want.replace(0, 17, "00:1a:2b:3c:4d:5e").replace(19, 4, "eth2");
  EXPECT_EQ(std::string(raw, 43), want);
  memset(&info, 0, sizeof(info));
  ASSERT_EQ(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00-1a-2b-3c-4d-5e", &info, "br0"), 0u);
  EXPECT_STREQ(info.acPortName, "eth2");
  // A long port name is cut to the field and terminated.
  ASSERT_EQ(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d:60", &info), 0u);
  EXPECT_STREQ(info.acPortName, "averyveryverylo");
  EXPECT_EQ(raw[34], 0);

  memset(&info, 0xAB, sizeof(info));
  const LUM_BR_FDB_INFO before = info;
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, "br1"), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMacSpecBr("00:1a:2b:3c:4d:5e", &info, "br"), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d:99", &info), 0u);
  EXPECT_NE(LUM_UTIL_GetBrFdbInfoByMac("00:1a:2b:3c:4d", &info), 0u);
  EXPECT_EQ(memcmp(&info, &before, sizeof(info)), 0);
  EXPECT_EQ(net_.ulFdbQueries, 6u);  // the unparsable MAC never reached the table
}

TEST_F(FakeNetTest, StationAssociation) {
  EXPECT_NE(LUM_UTIL_IsStaAssociated("00-1A-2B-3C-4D-5F"), 0u);
  EXPECT_EQ(LUM_UTIL_IsStaAssociated("00:1a:2b:3c:4d:5e"), 0u);
  EXPECT_EQ(LUM_UTIL_IsStaAssociated("junk"), 0u);
}

TEST(Privileges, ChangeFileGrpAndRemoveWPermOnRealFiles) {
  std::string root = ::testing::TempDir() + "hostmon-priv-XXXXXX";
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  struct group *gr = getgrgid(getgid());
  ASSERT_NE(gr, nullptr);
  const std::string dir = root + "/var/dhcps/";
  ASSERT_EQ(LUM_UTIL_ChangeFileGrp(gr->gr_name, dir.c_str()), 0u);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, getgid());
  EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(S_IRWXU | S_IRWXG | S_ISGID));
  EXPECT_NE(LUM_UTIL_ChangeFileGrp("no-such-group-x", (root + "/nogroup").c_str()), 0u);

  const std::string file = root + "/neighbors";
  std::ofstream(file) << "x";
  ASSERT_EQ(chmod(file.c_str(), 0666), 0);
  EXPECT_NE(LUM_UTIL_ChangeFileGrp(gr->gr_name, file.c_str()), 0u);  // not a folder
  EXPECT_EQ(LUM_UTIL_RemoveAndroidWPerm(file.c_str(), "660"), 0u);
  EXPECT_EQ(std::filesystem::status(file).permissions(), static_cast<std::filesystem::perms>(0660));
  for (const char *bad : {"", "abc", "968", "12345", "66 "}) {
    EXPECT_NE(LUM_UTIL_RemoveAndroidWPerm(file.c_str(), bad), 0u) << bad;
  }
  EXPECT_NE(LUM_UTIL_RemoveAndroidWPerm((root + "/missing").c_str(), "660"), 0u);
  std::filesystem::remove_all(root);
}

}  // namespace
