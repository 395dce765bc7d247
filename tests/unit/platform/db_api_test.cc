// The database client as the daemon calls it: values, walks by sequence
// number, instance numbers, deletes and moves with sub-objects, paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

using Keys = std::vector<uint32_t>;
constexpr uint32_t kLan = LUM_DB_KIND_LANDEVICE, kHost = LUM_DB_KIND_HOST,
                   kV6 = LUM_DB_KIND_HOST_IPV6, kBr = LUM_DB_KIND_BRIDGE_NUM;

Keys K(std::initializer_list<uint32_t> entries) {
  Keys keys(entries);
  keys.resize(LUM_DB_KEYS, 0);
  return keys;
}

// A value read from the database, freed on scope exit.
struct Value {
  Value(uint32_t ulKindIn, LUM_DB_SLOT *pIn) : ulKind(ulKindIn), p(pIn) {}
  Value(const Value &) = delete;
  ~Value() { LUM_KEM_FreeObj(ulKind, p); }
  uint32_t ulKind;
  LUM_DB_SLOT *p;
  LUM_DB_SLOT &operator[](size_t i) { return p[i]; }
  std::string Text(size_t i) const { return p[i].pcStr; }
};

Value Default(uint32_t ulKind) {
  LUM_DB_SLOT *value = nullptr;
  EXPECT_EQ(LUM_DBGetDftObject(ulKind, &value, 0), 0u);
  return Value(ulKind, value);
}

Value Get(uint32_t ulKind, const Keys &keys) {
  LUM_DB_SLOT *value = nullptr;
  EXPECT_EQ(LUM_DBGetObj(keys.data(), ulKind, &value, 0), 0u);
  return Value(ulKind, value);
}

uint32_t Del(uint32_t ulKind, const Keys &keys) { return LUM_DBDelObj(keys.data(), ulKind); }

// Adds an object under parent, with text slot iSlot set; its instance number.
uint32_t Add(uint32_t ulKind, const Keys &parent, int iSlot = -1, const char *pcText = "") {
  Value value = Default(ulKind);
  if (iSlot >= 0) {
    EXPECT_EQ(LUM_KEM_SetObjStrValue(static_cast<uint32_t>(iSlot), value.p, pcText), 0u);
  }
  uint32_t ulInst = 0;
  EXPECT_EQ(LUM_DBAddObj(parent.data(), ulKind, value.p, &ulInst), 0u);
  return ulInst;
}
uint32_t AddLan() { return Add(kLan, K({})); }
uint32_t AddHost(uint32_t ulLan, const char *pcMac) { return Add(kHost, K({ulLan}), 5, pcMac); }
uint32_t AddV6(uint32_t ulLan, uint32_t ulHost, const char *pcAddr) {
  return Add(kV6, K({ulLan, ulHost}), 0, pcAddr);
}

// Every object of a kind below a parent, by sequence number: "KEYS=TEXT ..."
// with the key list's non-zero entries joined by dots and one text slot.
std::string Walk(uint32_t ulKind, const Keys &parent, size_t ulTextSlot) {
  std::string seen;
  for (uint32_t seq = 0;; ++seq) {
    LUM_DB_SLOT *raw = nullptr;
    Keys keys(LUM_DB_KEYS, 0);
    uint32_t ulRet = LUM_DBGetObjectBySeqNum(parent.data(), ulKind, seq, &raw, 0, 0, keys.data());
    if (ulRet != 0) {
      EXPECT_EQ(ulRet, LUM_DB_ERR_NOT_FOUND);
      return seen;
    }
    for (size_t i = 0; i < keys.size() && keys[i] != 0; ++i) {
      seen += (i == 0 ? (seen.empty() ? "" : " ") : ".") + std::to_string(keys[i]);
    }
    seen += "=" + Value(ulKind, raw).Text(ulTextSlot);
  }
}

// The instance numbers LUM_DBGetNumOfObjs answers, separated by spaces.
std::string Instances(uint32_t ulKind, const Keys &parent) {
  uint32_t ulCount = 0xFFFF;
  uint32_t *array = nullptr;
  EXPECT_EQ(LUM_DBGetNumOfObjs(parent.data(), ulKind, &ulCount, &array), 0u);
  EXPECT_NE(array, nullptr);  // also for an empty answer: freeable
  std::string out;
  for (uint32_t i = 0; array != nullptr && i < ulCount; ++i) {
    out += (out.empty() ? "" : " ") + std::to_string(array[i]);
  }
  free(array);
  return out;
}

class DbApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lum::testing::ResetDb();
    lum::testing::CaptureLogs();
  }
  void TearDown() override {
    lum::testing::ReleaseLogs();
    lum::testing::ResetDb();
  }
};

TEST_F(DbApiTest, DefaultValueAndRefusalsOfBadKindsArgumentsAndMissingObjects) {
  AddLan();
  Keys host = K({1, 1});
  Value dft = Default(kHost);
  const std::string kSlots = "...##.........##.";  // the default: texts empty, numbers ('#') 0
  for (size_t i = 0; i < kSlots.size(); ++i) {
    EXPECT_TRUE(kSlots[i] == '#' ? dft[i].ulNum == 0 : dft[i].pcStr != nullptr && !*dft[i].pcStr);
  }
  LUM_DB_SLOT *value = nullptr;
  EXPECT_EQ(LUM_DBGetObj(host.data(), 0x12345678, &value, 0), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBSetPara(host.data(), 0xA5803C06, 1), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBGetObj(nullptr, kHost, &value, 0), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(0, dft.p, nullptr), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBAddObj(K({7}).data(), kHost, dft.p, nullptr), LUM_DB_ERR_NO_PARENT);
  EXPECT_EQ(LUM_DBAddObj(host.data(), kV6, dft.p, nullptr), LUM_DB_ERR_NO_PARENT);
  EXPECT_EQ(LUM_DBSetObj(host.data(), kHost, dft.p), LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(Del(kHost, host), LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_DBObjMove(host.data(), kHost, K({1}).data(), nullptr), LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(Instances(kHost, K({99})), "");
}

TEST_F(DbApiTest, InstanceNumbersCountPerParentAndAreNeverReused) {
  EXPECT_EQ(AddLan(), 1u);
  EXPECT_EQ(AddLan(), 2u);
  for (const char *mac : {"a", "b", "c"}) AddHost(1, mac);
  EXPECT_EQ(AddHost(2, "d"), 1u);
  ASSERT_EQ(Del(kHost, K({1, 3})), 0u);
  ASSERT_EQ(Del(kHost, K({1, 2})), 0u);
  EXPECT_EQ(AddHost(1, "e"), 4u);
  ASSERT_EQ(Del(kLan, K({2})), 0u);
  EXPECT_EQ(AddLan(), 3u);
  // Sub-objects number per host.
  EXPECT_EQ(AddV6(1, 1, "fe80::1"), 1u);
  EXPECT_EQ(AddV6(1, 1, "fe80::2"), 2u);
  EXPECT_EQ(AddV6(1, 4, "fe80::3"), 1u);
  ASSERT_EQ(Del(kV6, K({1, 1, 2})), 0u);
  EXPECT_EQ(AddV6(1, 1, "fe80::4"), 3u);
}

TEST_F(DbApiTest, WalksGoInKeyOrderAndHonourTheParentFilter) {
  AddLan();
  AddLan();
  for (auto [lan, mac] : {std::pair{2u, "b1"}, {1u, "a1"}, {1u, "a2"}, {2u, "b2"}}) {
    AddHost(lan, mac);
  }
  EXPECT_EQ(Walk(kHost, K({}), 5), "1.1=a1 1.2=a2 2.1=b1 2.2=b2");
  EXPECT_EQ(Walk(kHost, K({2}), 5), "2.1=b1 2.2=b2");
  EXPECT_EQ(Walk(kHost, K({9}), 5), "");
  // A zero entry before a set one: every host 2 of any LAN device.
  for (auto [lan, host, addr] :
       {std::tuple{1u, 2u, "a"}, {2u, 1u, "b"}, {2u, 2u, "c"}, {2u, 2u, "d"}}) {
    AddV6(lan, host, addr);
  }
  EXPECT_EQ(Walk(kV6, K({0, 2}), 0), "1.2.1=a 2.2.1=c 2.2.2=d");
  EXPECT_EQ(Instances(kV6, K({0, 2})), "1 1 2");
  EXPECT_EQ(Instances(kV6, K({2, 2})), "1 2");
  uint32_t ulCount = 0;  // a null parent is every object; the count needs no array
  EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, kHost, &ulCount, nullptr), 0u);
  EXPECT_EQ(ulCount, 4u);
}

// The sync pass: each host is rewritten and its IPv6 objects replaced while the
// walk goes on; every host must be met exactly once, in order.
TEST_F(DbApiTest, SeqNumberingHoldsWhileTheWalkWritesAndReplacesSubObjects) {
  AddLan();
  AddLan();
  std::string expected;
  for (int i = 0; i < 40; ++i) AddHost(1 + i % 2, std::to_string(i).c_str());
  for (uint32_t h = 1; h <= 20; ++h) AddV6(1, h, "fe80::1");
  for (uint32_t i = 0; i < 40; ++i)
    expected += std::to_string(1 + i / 20) + "." + std::to_string(i % 20 + 1) + " ";
  std::string visited;
  for (uint32_t seq = 0;; ++seq) {
    LUM_DB_SLOT *raw = nullptr;
    Keys keys = K({});
    if (LUM_DBGetObjectBySeqNum(keys.data(), kHost, seq, &raw, 0, 0, keys.data()) != 0) break;
    Value value(kHost, raw);
    visited += std::to_string(keys[0]) + "." + std::to_string(keys[1]) + " ";
    ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value.p, "renamed"), 0u);
    ASSERT_EQ(LUM_DBSetObj(keys.data(), kHost, value.p), 0u);
    ASSERT_EQ(LUM_DBSetPara(keys.data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 7), 0u);
    if (!Instances(kV6, keys).empty()) {
      keys[2] = 1;
      ASSERT_EQ(Del(kV6, keys), 0u);
    }
    AddV6(keys[0], keys[1], "fe80::2");
    AddV6(keys[0], keys[1], "2001:db8::2");
  }
  EXPECT_EQ(visited, expected);
  EXPECT_EQ(Walk(kV6, K({2, 20}), 0), "2.20.1=fe80::2 2.20.2=2001:db8::2");
  EXPECT_EQ(Walk(kV6, K({1, 20}), 0), "1.20.2=fe80::2 1.20.3=2001:db8::2");
  Value last = Get(kHost, K({2, 20}));
  EXPECT_EQ(last.Text(11), "renamed");
  EXPECT_EQ(last[14].ulNum, 7u);  // the parameter is host slot 14
}

TEST_F(DbApiTest, ValuesOwnTheirTextsAndOutliveTheObject) {
  AddLan();
  AddHost(1, "AA:BB:CC:DD:EE:FF");
  Value value = Get(kHost, K({1, 1}));
  char source[16] = "first";
  ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value.p, source), 0u);
  strcpy(source, "changed");
  EXPECT_EQ(LUM_KEM_SetObjStrValue(3, value.p, "x"), LUM_DB_ERR_PARAM);   // a number
  EXPECT_EQ(LUM_KEM_SetObjStrValue(17, value.p, "x"), LUM_DB_ERR_PARAM);  // past the last
  ASSERT_EQ(Del(kHost, K({1, 1})), 0u);
  EXPECT_EQ(value.Text(5) + " " + value.Text(11), "AA:BB:CC:DD:EE:FF first");

  // A caller's own slot array (no header) is accepted; null texts read as empty;
  // texts longer than 1024 bytes are refused so that every save loads again.
  std::vector<LUM_DB_SLOT> own(17);
  for (auto &slot : own) slot.pcStr = nullptr;
  own[3].ulNum = 0xFFFFFFFF;
  std::string fits(1024, 'x'), tooLong(1025, 'x');
  own[11].pcStr = fits.data();
  ASSERT_EQ(LUM_DBAddObj(K({1}).data(), kHost, own.data(), nullptr), 0u);
  Value again = Get(kHost, K({1, 2}));
  EXPECT_EQ(again.Text(0), "");
  EXPECT_EQ(again.Text(11), fits);
  EXPECT_EQ(again[3].ulNum, 0xFFFFFFFFu);
  own[11].pcStr = tooLong.data();
  EXPECT_EQ(LUM_DBSetObj(K({1, 2}).data(), kHost, own.data()), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBAddObj(K({1}).data(), kHost, own.data(), nullptr), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(11, again.p, tooLong.c_str()), LUM_DB_ERR_PARAM);
  EXPECT_EQ(Instances(kHost, K({})), "2");
}

TEST_F(DbApiTest, DeleteTakesEverySubObjectAndNothingElse) {
  AddLan();
  AddLan();
  AddHost(1, "a");
  AddHost(1, "b");
  AddHost(2, "c");
  for (auto [lan, host, addr] :
       {std::tuple{1u, 1u, "x"}, {1u, 1u, "y"}, {1u, 2u, "z"}, {2u, 1u, "w"}}) {
    AddV6(lan, host, addr);
  }
  for (uint32_t kind : {LUM_DB_KIND_LAN_ETH_IF, LUM_DB_KIND_WLAN_CFG, kBr}) Add(kind, K({1}));
  Add(LUM_DB_KIND_AVAIL_IF, K({}));
  // The bridge number is one per LAN device, numbered by it.
  Value bridge = Default(kBr);
  uint32_t ulInst = 0;
  ASSERT_EQ(LUM_DBAddObj(K({2}).data(), kBr, bridge.p, &ulInst), 0u);
  EXPECT_EQ(ulInst, 2u);
  EXPECT_EQ(LUM_DBAddObj(K({2}).data(), kBr, bridge.p, nullptr), LUM_DB_ERR_EXISTS);
  ASSERT_EQ(Del(kHost, K({1, 1})), 0u);
  EXPECT_EQ(Walk(kV6, K({}), 0), "1.2.1=z 2.1.1=w");
  ASSERT_EQ(Del(kLan, K({1})), 0u);
  EXPECT_EQ(Walk(kHost, K({}), 5) + "|" + Walk(kV6, K({}), 0), "2.1=c|2.1.1=w");
  EXPECT_EQ(Instances(LUM_DB_KIND_LAN_ETH_IF, K({})) + Instances(LUM_DB_KIND_WLAN_CFG, K({})), "");
  EXPECT_EQ(Instances(kBr, K({})) + "|" + Instances(LUM_DB_KIND_AVAIL_IF, K({})), "2|1");
  EXPECT_EQ(Del(kLan, K({1})), LUM_DB_ERR_NOT_FOUND);
  ASSERT_EQ(Del(kBr, K({2})), 0u);  // leaves the LAN device and its hosts alone
  EXPECT_EQ(Walk(kHost, K({}), 5) + "|" + Instances(kLan, K({})), "2.1=c|2");
}

TEST_F(DbApiTest, MoveKeepsValuesAndSubObjectsUnderANewInstance) {
  AddLan();
  AddLan();
  AddHost(1, "stays");
  AddHost(1, "moves");
  AddHost(2, "there");
  AddV6(1, 2, "fe80::1");
  AddV6(1, 2, "fe80::2");
  ASSERT_EQ(Del(kV6, K({1, 2, 1})), 0u);
  ASSERT_EQ(LUM_DBSetPara(K({1, 2}).data(), LUM_DB_PARA_HOST_LAST_CHANGE, 77), 0u);
  ASSERT_EQ(LUM_DBSetPara(K({1, 2}).data(), LUM_DB_PARA_HOST_IPV6_ACTIVE, 9), 0u);
  uint32_t ulNew = 0;
  ASSERT_EQ(LUM_DBObjMove(K({1, 2}).data(), kHost, K({2}).data(), &ulNew), 0u);
  EXPECT_EQ(ulNew, 2u);
  Value moved = Get(kHost, K({2, 2}));
  EXPECT_EQ(moved[4].ulNum, 77u);  // the parameters are host slots 4 and 15
  EXPECT_EQ(moved[15].ulNum, 9u);
  EXPECT_EQ(Walk(kV6, K({}), 0), "2.2.2=fe80::2");
  // The sub-objects keep counting where they were: 1 and 2 were used.
  EXPECT_EQ(AddV6(2, 2, "fe80::3"), 3u);
  EXPECT_EQ(AddHost(1, "new"), 3u);
  EXPECT_EQ(Walk(kHost, K({}), 5), "1.1=stays 1.3=new 2.1=there 2.2=moves");
  EXPECT_EQ(LUM_DBObjMove(K({2, 2}).data(), kHost, K({9}).data(), nullptr), LUM_DB_ERR_NO_PARENT);
  EXPECT_EQ(LUM_DBObjMove(K({1}).data(), kLan, K({2}).data(), nullptr), LUM_DB_ERR_PARAM);
  // A singleton moves only to a LAN device without one.
  Add(kBr, K({1}));
  Add(kBr, K({2}));
  EXPECT_EQ(LUM_DBObjMove(K({1}).data(), kBr, K({2}).data(), nullptr), LUM_DB_ERR_EXISTS);
  EXPECT_EQ(AddLan(), 3u);
  EXPECT_EQ(LUM_DBObjMove(K({1}).data(), kBr, K({3}).data(), &ulNew), 0u);
  EXPECT_EQ(ulNew, 3u);
}

TEST(DbDomainTest, PathHasTheInstanceNumbersAndEndsInADot) {
  const std::string kDev = "InternetGatewayDevice.LANDevice.";
  const std::tuple<uint32_t, Keys, std::string> cases[] = {
      {kLan, K({1}), kDev + "1."},
      {kHost, K({1, 3}), kDev + "1.Hosts.Host.3."},
      {kV6, K({2, 13, 4}), kDev + "2.Hosts.Host.13.X_IPv6Address.4."},
      {LUM_DB_KIND_AVAIL_IF, K({12}),
       "InternetGatewayDevice.Layer2Bridging.AvailableInterface.12."},
      {LUM_DB_KIND_LAN_ETH_IF, K({1, 2}), kDev + "1.LANEthernetInterfaceConfig.2."},
      {LUM_DB_KIND_WLAN_CFG, K({3, 1}), kDev + "3.WLANConfiguration.1."},
      {kBr, K({4294967295u}), kDev + "4294967295.X_Bridge."}};
  for (const auto &[ulKind, keys, path] : cases) {
    SCOPED_TRACE(path);
    char buf[128];
    // Exactly the room it needs, then one byte less: refused, empty, nothing past.
    uint32_t ulNeed = static_cast<uint32_t>(path.size() + 1);
    EXPECT_EQ(LUM_DBKeyListToDomain(keys.data(), ulKind, buf, ulNeed), 0u);
    EXPECT_EQ(buf, path);
    memset(buf, 'z', sizeof(buf));
    EXPECT_EQ(LUM_DBKeyListToDomain(keys.data(), ulKind, buf, ulNeed - 1), LUM_DB_ERR_NO_ROOM);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[ulNeed - 1], 'z');
    EXPECT_EQ(LUM_DBKeyListToDomain(K({}).data(), ulKind, buf, sizeof(buf)), LUM_DB_ERR_PARAM);
  }
}

}  // namespace
