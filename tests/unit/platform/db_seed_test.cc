// A database seeded from the kernel's bridges when there is no file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dbstore.h"
#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

using lum::db::Keys;

class DbSeedTest : public ::testing::Test {
 protected:
  void SetUp() override { lum::testing::UseFakeNet(&m_net); }
  void TearDown() override { lum::testing::UseRealNet(); }

  // One object's slots as text: numbers in decimal.
  static std::vector<std::string> Slots(const lum::db::Store &store, size_t kind, Keys keys) {
    std::vector<std::string> out;
    const lum::db::Object *obj = store.Find(kind, keys);
    if (obj == nullptr) return {"(none)"};
    for (size_t i = 0; i < obj->SlotCount(); ++i) {
      out.push_back(lum::db::kKinds[kind].slots[i].bNumber ? std::to_string(obj->Num(i))
                                                           : std::string(obj->Text(i)));
    }
    return out;
  }

  lum::testing::FakeNet m_net;
};

TEST_F(DbSeedTest, OneBridgeGivesLanDeviceBridgeNumberAndAnInterfacePerPort) {
  m_net.bridges = {"br0"};
  m_net.bridgeKeys = {{"eth1", 0}, {"wl0", 0}, {"eth9", 5}};
  lum::db::Store store = lum::db::SeedFromKernel();
  EXPECT_EQ(store.Size(), 1u + 1 + 2 + 1 + 1);
  EXPECT_NE(store.Find(lum::db::kLanDevice, Keys{1}), nullptr);
  EXPECT_EQ(Slots(store, lum::db::kBridgeNum, Keys{1}), std::vector<std::string>{"0"});
  EXPECT_EQ(Slots(store, lum::db::kAvailIf, Keys{1}),
            (std::vector<std::string>{
                "1", "LANInterface",
                "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.1", "eth1"}));
  EXPECT_EQ(
      Slots(store, lum::db::kAvailIf, Keys{2}),
      (std::vector<std::string>{"2", "LANInterface",
                                "InternetGatewayDevice.LANDevice.1.WLANConfiguration.1", "wl0"}));
  EXPECT_EQ(Slots(store, lum::db::kLanEthIf, Keys{1, 1}),
            (std::vector<std::string>{"1", "Up", "eth1"}));
  EXPECT_EQ(Slots(store, lum::db::kWlanCfg, Keys{1, 1}),
            (std::vector<std::string>{"1", "Up", "wl0"}));
}

TEST_F(DbSeedTest, BridgeNGivesLanDeviceNPlusOneAndAthIsWireless) {
  m_net.bridges = {"br0", "br3"};
  m_net.bridgeKeys = {{"ath1", 3}, {"eth0", 3}, {"lan1", 0}, {"wlan0", 3}};
  lum::db::Store store = lum::db::SeedFromKernel();
  EXPECT_EQ(store.Objects(lum::db::kLanDevice).size(), 2u);
  EXPECT_EQ(Slots(store, lum::db::kBridgeNum, Keys{4}), std::vector<std::string>{"3"});
  EXPECT_EQ(Slots(store, lum::db::kLanEthIf, Keys{1, 1}),
            (std::vector<std::string>{"1", "Up", "lan1"}));
  EXPECT_EQ(Slots(store, lum::db::kLanEthIf, Keys{4, 1}),
            (std::vector<std::string>{"1", "Up", "eth0"}));
  EXPECT_EQ(Slots(store, lum::db::kWlanCfg, Keys{4, 1}),
            (std::vector<std::string>{"1", "Up", "ath1"}));
  EXPECT_EQ(Slots(store, lum::db::kWlanCfg, Keys{4, 2}),
            (std::vector<std::string>{"1", "Up", "wlan0"}));
  // Available interfaces number across bridges, in bridge then port order.
  std::vector<std::string> names;
  for (const lum::db::Object &obj : store.Objects(lum::db::kAvailIf)) {
    names.push_back(std::to_string(obj.keys[0]) + ":" + obj.Text(3));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"1:lan1", "2:ath1", "3:eth0", "4:wlan0"}));
}

TEST_F(DbSeedTest, NoBridgesGiveAnEmptyDatabase) {
  EXPECT_EQ(lum::db::SeedFromKernel().Size(), 0u);
}

TEST_F(DbSeedTest, InitWithoutFileSeedsAndWritesNothingUntilASave) {
  std::string tmpl = ::testing::TempDir() + "lumdb-seed.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  std::string file = tmpl + "/cfg.db";
  m_net.bridges = {"br0"};
  m_net.bridgeKeys = {{"eth1", 0}, {"wl0", 0}};
  lum::testing::ResetDb();
  lum::testing::SetDbFile(file);
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  struct stat st {};
  EXPECT_NE(stat(file.c_str(), &st), 0);

  // What the daemon reads: LAN device 1 has bridge number 0, two LAN ports.
  LUM_DB_SLOT *value = nullptr;
  uint32_t keys[LUM_DB_KEYS] = {};
  ASSERT_EQ(LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_BRIDGE_NUM, 0, &value, 0, 0, keys), 0u);
  EXPECT_EQ(keys[0], 1u);
  EXPECT_EQ(value[0].ulNum, 0u);
  LUM_KEM_FreeObj(LUM_DB_KIND_BRIDGE_NUM, value);
  uint32_t ulCount = 0;
  ASSERT_EQ(LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_AVAIL_IF, &ulCount, nullptr), 0u);
  EXPECT_EQ(ulCount, 2u);

  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  lum::db::Store loaded;
  std::string why;
  ASSERT_EQ(lum::db::LoadFile(file, &loaded, &why), lum::db::LoadResult::kLoaded) << why;
  EXPECT_TRUE(loaded.SameContent(lum::db::SeedFromKernel()));
  lum::testing::ResetDb();
  std::string cmd = "rm -rf '" + tmpl + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
