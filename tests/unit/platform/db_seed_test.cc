// A database seeded from the kernel's bridges when there is no file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/dbstore.h"
#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

using lum::db::Keys;
using Texts = std::vector<std::string>;

class DbSeedTest : public ::testing::Test {
 protected:
  void SetUp() override { lum::testing::UseFakeNet(&m_net); }
  void TearDown() override { lum::testing::UseRealNet(); }

  // One object's slots as text: numbers in decimal.
  static Texts Slots(const lum::db::Store &store, size_t kind, Keys keys) {
    const lum::db::Object *obj = store.Find(kind, keys);
    if (obj == nullptr) return {"(none)"};
    Texts out;
    for (size_t i = 0; i < obj->SlotCount(); ++i) {
      out.push_back(lum::db::kKinds[kind].slots[i].bNumber ? std::to_string(obj->Num(i))
                                                           : std::string(obj->Text(i)));
    }
    return out;
  }

  lum::testing::FakeNet m_net;
};

TEST_F(DbSeedTest, BridgeNGivesLanDeviceNPlusOneWithAnInterfacePerPort) {
  EXPECT_EQ(lum::db::SeedFromKernel().Size(), 0u);
  m_net.bridges = {"br0", "br3"};
  m_net.bridgeKeys = {{"ath1", 3}, {"eth0", 3}, {"lan1", 0}, {"wlan0", 3}, {"eth9", 5}};
  lum::db::Store store = lum::db::SeedFromKernel();
  EXPECT_EQ(store.Size(), 2u + 2 + 4 + 4);
  EXPECT_NE(store.Find(lum::db::kLanDevice, Keys{1}), nullptr);
  EXPECT_EQ(Slots(store, lum::db::kBridgeNum, Keys{1}), Texts{"0"});
  EXPECT_EQ(Slots(store, lum::db::kBridgeNum, Keys{4}), Texts{"3"});
  EXPECT_EQ(Slots(store, lum::db::kLanEthIf, Keys{1, 1}), (Texts{"1", "Up", "lan1"}));
  EXPECT_EQ(Slots(store, lum::db::kLanEthIf, Keys{4, 1}), (Texts{"1", "Up", "eth0"}));
  EXPECT_EQ(Slots(store, lum::db::kWlanCfg, Keys{4, 1}), (Texts{"1", "Up", "ath1"}));
  EXPECT_EQ(Slots(store, lum::db::kWlanCfg, Keys{4, 2}), (Texts{"1", "Up", "wlan0"}));
  // Available interfaces number across bridges, in bridge then port order.
  EXPECT_EQ(Slots(store, lum::db::kAvailIf, Keys{1}),
            (Texts{"1", "LANInterface",
                   "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.1", "lan1"}));
  EXPECT_EQ(Slots(store, lum::db::kAvailIf, Keys{4}),
            (Texts{"4", "LANInterface", "InternetGatewayDevice.LANDevice.4.WLANConfiguration.2",
                   "wlan0"}));
  Texts names;
  for (const lum::db::Object &obj : store.Objects(lum::db::kAvailIf)) {
    names.push_back(std::to_string(obj.keys[0]) + ":" + obj.Text(3));
  }
  EXPECT_EQ(names, (Texts{"1:lan1", "2:ath1", "3:eth0", "4:wlan0"}));
}

TEST_F(DbSeedTest, InitWithoutFileSeedsAndWritesNothingUntilASave) {
  std::string dir = ::testing::TempDir() + "lumdb-seed.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  m_net.bridges = {"br0"};
  m_net.bridgeKeys = {{"eth1", 0}, {"wl0", 0}};
  lum::testing::ResetDb();
  lum::testing::SetDbFile(dir + "/cfg.db");
  ASSERT_EQ(LUM_DBInit(0x8000, 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir + "/cfg.db"));
  ASSERT_EQ(LUM_DBSaveToAppFunc("t", 1, "f"), 0u);
  lum::db::Store loaded;
  std::string why;
  ASSERT_EQ(lum::db::LoadFile(dir + "/cfg.db", &loaded, &why), lum::db::LoadResult::kLoaded) << why;
  EXPECT_TRUE(loaded.SameContent(lum::db::SeedFromKernel()));
  EXPECT_EQ(loaded.Size(), 6u);
  lum::testing::ResetDb();
  std::filesystem::remove_all(dir);
}

}  // namespace
