// The database client as the daemon calls it: values, walks by sequence
// number, instance numbers, deletes and moves with sub-objects, paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

using Keys = std::vector<uint32_t>;

Keys K(std::initializer_list<uint32_t> entries) {
  Keys keys(entries);
  keys.resize(LUM_DB_KEYS, 0);
  return keys;
}

// A value read from the database, freed on scope exit.
class Value {
 public:
  Value(uint32_t ulKind, LUM_DB_SLOT *pstValue) : m_ulKind(ulKind), m_pstValue(pstValue) {}
  ~Value() { LUM_KEM_FreeObj(m_ulKind, m_pstValue); }
  Value(const Value &) = delete;
  Value &operator=(const Value &) = delete;
  LUM_DB_SLOT &operator[](size_t i) { return m_pstValue[i]; }
  LUM_DB_SLOT *get() { return m_pstValue; }
  std::string Text(size_t i) const { return m_pstValue[i].pcStr; }

 private:
  uint32_t m_ulKind;
  LUM_DB_SLOT *m_pstValue;
};

Value Default(uint32_t ulKind) {
  LUM_DB_SLOT *value = nullptr;
  EXPECT_EQ(LUM_DBGetDftObject(ulKind, &value, 0), 0u);
  return Value(ulKind, value);
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

  uint32_t AddLan() {
    Value value = Default(LUM_DB_KIND_LANDEVICE);
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(nullptr, LUM_DB_KIND_LANDEVICE, value.get(), &ulInst), 0u);
    return ulInst;
  }
  uint32_t AddHost(uint32_t ulLan, const char *pcMac, uint32_t ulActive = 1) {
    Value value = Default(LUM_DB_KIND_HOST);
    EXPECT_EQ(LUM_KEM_SetObjStrValue(5, value.get(), pcMac), 0u);
    value[14].ulNum = ulActive;
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_HOST, value.get(), &ulInst), 0u);
    return ulInst;
  }
  uint32_t AddIpv6(uint32_t ulLan, uint32_t ulHost, const char *pcAddr) {
    Value value = Default(LUM_DB_KIND_HOST_IPV6);
    EXPECT_EQ(LUM_KEM_SetObjStrValue(0, value.get(), pcAddr), 0u);
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(K({ulLan, ulHost}).data(), LUM_DB_KIND_HOST_IPV6, value.get(), &ulInst),
              0u);
    return ulInst;
  }
  // Every object of a kind below a parent, by sequence number: key lists and slot 5 or 0.
  std::vector<std::pair<Keys, std::string>> Walk(uint32_t ulKind, const Keys *pParent,
                                                 size_t ulTextSlot) {
    std::vector<std::pair<Keys, std::string>> seen;
    for (uint32_t seq = 0;; ++seq) {
      LUM_DB_SLOT *raw = nullptr;
      Keys keys(LUM_DB_KEYS, 0xEEEE);
      uint32_t ulRet = LUM_DBGetObjectBySeqNum(pParent ? pParent->data() : nullptr, ulKind, seq,
                                               &raw, 0, 0, keys.data());
      if (ulRet != 0) {
        EXPECT_EQ(ulRet, LUM_DB_ERR_NOT_FOUND);
        break;
      }
      Value value(ulKind, raw);
      seen.emplace_back(keys, value.Text(ulTextSlot));
    }
    return seen;
  }
  uint32_t Count(uint32_t ulKind, const Keys &parent, std::vector<uint32_t> *pInstances = nullptr) {
    uint32_t ulCount = 0xFFFF;
    uint32_t *array = nullptr;
    EXPECT_EQ(LUM_DBGetNumOfObjs(parent.data(), ulKind, &ulCount, &array), 0u);
    EXPECT_NE(array, nullptr);
    if (pInstances != nullptr && array != nullptr) pInstances->assign(array, array + ulCount);
    free(array);
    return ulCount;
  }
};

TEST_F(DbApiTest, DefaultValuesHaveEmptyTextsAndZeroNumbersForEveryKind) {
  struct {
    uint32_t ulKind;
    std::vector<bool> numbers;
  } kinds[] = {
      {LUM_DB_KIND_LANDEVICE, {}},
      {LUM_DB_KIND_HOST, {0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0}},
      {LUM_DB_KIND_HOST_IPV6, {0}},
      {LUM_DB_KIND_AVAIL_IF, {1, 0, 0, 0}},
      {LUM_DB_KIND_LAN_ETH_IF, {1, 0, 0}},
      {LUM_DB_KIND_WLAN_CFG, {1, 0, 0}},
      {LUM_DB_KIND_BRIDGE_NUM, {1}},
  };
  for (const auto &kind : kinds) {
    Value value = Default(kind.ulKind);
    ASSERT_NE(value.get(), nullptr);
    for (size_t i = 0; i < kind.numbers.size(); ++i) {
      if (kind.numbers[i]) {
        EXPECT_EQ(value[i].ulNum, 0u) << std::hex << kind.ulKind << " slot " << i;
      } else {
        ASSERT_NE(value[i].pcStr, nullptr) << std::hex << kind.ulKind << " slot " << i;
        EXPECT_STREQ(value[i].pcStr, "");
      }
    }
  }
}

TEST_F(DbApiTest, BadArgumentsAndUnknownKindsAreRefusedByEveryCall) {
  const uint32_t kBad = 0x12345678;
  LUM_DB_SLOT *value = nullptr;
  uint32_t ulCount = 0;
  Keys keys = K({1, 1});
  char buf[64];
  Value dft = Default(LUM_DB_KIND_HOST);
  EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, kBad, &ulCount, nullptr), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_HOST, nullptr, nullptr), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBGetObjectBySeqNum(nullptr, kBad, 0, &value, 0, 0, nullptr), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, 0, nullptr, 0, 0, nullptr),
            LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBGetObj(keys.data(), kBad, &value, 0), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBGetObj(nullptr, LUM_DB_KIND_HOST, &value, 0), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBGetDftObject(kBad, &value, 0), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_HOST, nullptr, 0), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBAddObj(keys.data(), kBad, dft.get(), nullptr), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBAddObj(keys.data(), LUM_DB_KIND_HOST, nullptr, nullptr), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBSetObj(keys.data(), kBad, dft.get()), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBSetObj(nullptr, LUM_DB_KIND_HOST, dft.get()), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBSetPara(keys.data(), kBad, 1), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBSetPara(nullptr, LUM_DB_PARA_HOST_IPV4_ACTIVE, 1), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBDelObj(keys.data(), kBad), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBDelObj(nullptr, LUM_DB_KIND_HOST), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBObjMove(keys.data(), kBad, keys.data(), nullptr), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBObjMove(keys.data(), LUM_DB_KIND_HOST, nullptr, nullptr), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBKeyListToDomain(keys.data(), kBad, buf, sizeof(buf)), LUM_DB_ERR_KIND);
  EXPECT_EQ(LUM_DBKeyListToDomain(keys.data(), LUM_DB_KIND_HOST, nullptr, 10), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBKeyListToDomain(keys.data(), LUM_DB_KIND_HOST, buf, 0), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(0, nullptr, "x"), LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(0, dft.get(), nullptr), LUM_DB_ERR_PARAM);
  LUM_KEM_FreeObj(LUM_DB_KIND_HOST, nullptr);
}

TEST_F(DbApiTest, MissingObjectsAndParentsAreReported) {
  Value host = Default(LUM_DB_KIND_HOST);
  LUM_DB_SLOT *value = nullptr;
  EXPECT_EQ(LUM_DBAddObj(K({7}).data(), LUM_DB_KIND_HOST, host.get(), nullptr),
            LUM_DB_ERR_NO_PARENT);
  EXPECT_EQ(LUM_DBAddObj(nullptr, LUM_DB_KIND_HOST, host.get(), nullptr), LUM_DB_ERR_NO_PARENT);
  uint32_t ulLan = AddLan();
  EXPECT_EQ(LUM_DBAddObj(K({0}).data(), LUM_DB_KIND_HOST, host.get(), nullptr),
            LUM_DB_ERR_NO_PARENT);
  Value ipv6 = Default(LUM_DB_KIND_HOST_IPV6);
  EXPECT_EQ(LUM_DBAddObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST_IPV6, ipv6.get(), nullptr),
            LUM_DB_ERR_NO_PARENT);
  EXPECT_EQ(LUM_DBGetObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST, &value, 0), LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_DBSetObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST, host.get()), LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_DBSetPara(K({ulLan, 1}).data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 1),
            LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_DBDelObj(K({ulLan, 1}).data(), LUM_DB_KIND_HOST), LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_DBObjMove(K({ulLan, 1}).data(), LUM_DB_KIND_HOST, K({ulLan}).data(), nullptr),
            LUM_DB_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, 0, &value, 0, 0, nullptr),
            LUM_DB_ERR_NOT_FOUND);
  // An empty answer is a success with a freeable array.
  EXPECT_EQ(Count(LUM_DB_KIND_HOST, K({ulLan})), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST, K({99})), 0u);
}

TEST_F(DbApiTest, InstanceNumbersCountPerParentAndAreNeverReused) {
  uint32_t ulLan1 = AddLan();
  uint32_t ulLan2 = AddLan();
  EXPECT_EQ(ulLan1, 1u);
  EXPECT_EQ(ulLan2, 2u);
  EXPECT_EQ(AddHost(ulLan1, "a"), 1u);
  EXPECT_EQ(AddHost(ulLan1, "b"), 2u);
  EXPECT_EQ(AddHost(ulLan1, "c"), 3u);
  EXPECT_EQ(AddHost(ulLan2, "d"), 1u);
  ASSERT_EQ(LUM_DBDelObj(K({ulLan1, 3}).data(), LUM_DB_KIND_HOST), 0u);
  ASSERT_EQ(LUM_DBDelObj(K({ulLan1, 2}).data(), LUM_DB_KIND_HOST), 0u);
  EXPECT_EQ(AddHost(ulLan1, "e"), 4u);
  ASSERT_EQ(LUM_DBDelObj(K({ulLan2}).data(), LUM_DB_KIND_LANDEVICE), 0u);
  EXPECT_EQ(AddLan(), 3u);
  // Sub-objects number per host.
  EXPECT_EQ(AddIpv6(ulLan1, 1, "fe80::1"), 1u);
  EXPECT_EQ(AddIpv6(ulLan1, 1, "fe80::2"), 2u);
  EXPECT_EQ(AddIpv6(ulLan1, 4, "fe80::3"), 1u);
  ASSERT_EQ(LUM_DBDelObj(K({ulLan1, 1, 2}).data(), LUM_DB_KIND_HOST_IPV6), 0u);
  EXPECT_EQ(AddIpv6(ulLan1, 1, "fe80::4"), 3u);
}

TEST_F(DbApiTest, BridgeNumberIsOnePerLanDeviceAddressedByItsLanDevice) {
  uint32_t ulLan = AddLan();
  Value value = Default(LUM_DB_KIND_BRIDGE_NUM);
  value[0].ulNum = 5;
  uint32_t ulInst = 0;
  ASSERT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_BRIDGE_NUM, value.get(), &ulInst), 0u);
  EXPECT_EQ(ulInst, ulLan);
  EXPECT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_BRIDGE_NUM, value.get(), nullptr),
            LUM_DB_ERR_EXISTS);
  LUM_DB_SLOT *raw = nullptr;
  ASSERT_EQ(LUM_DBGetObj(K({ulLan}).data(), LUM_DB_KIND_BRIDGE_NUM, &raw, 0), 0u);
  Value got(LUM_DB_KIND_BRIDGE_NUM, raw);
  EXPECT_EQ(got[0].ulNum, 5u);
  std::vector<uint32_t> instances;
  EXPECT_EQ(Count(LUM_DB_KIND_BRIDGE_NUM, K({})), 1u);
  Count(LUM_DB_KIND_BRIDGE_NUM, K({}), &instances);
  EXPECT_EQ(instances, std::vector<uint32_t>{ulLan});
  // Deleting it leaves the LAN device and its hosts alone.
  AddHost(ulLan, "a");
  ASSERT_EQ(LUM_DBDelObj(K({ulLan}).data(), LUM_DB_KIND_BRIDGE_NUM), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST, K({ulLan})), 1u);
  EXPECT_EQ(Count(LUM_DB_KIND_LANDEVICE, K({})), 1u);
}

TEST_F(DbApiTest, WalksGoInKeyOrderAndHonourTheParentFilter) {
  AddLan();
  AddLan();
  AddHost(2, "2.1");
  AddHost(1, "1.1");
  AddHost(1, "1.2");
  AddHost(2, "2.2");
  using Seen = std::vector<std::pair<Keys, std::string>>;
  Seen all = {{K({1, 1}), "1.1"}, {K({1, 2}), "1.2"}, {K({2, 1}), "2.1"}, {K({2, 2}), "2.2"}};
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST, nullptr, 5), all);
  Keys zeros = K({});
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST, &zeros, 5), all);
  Keys lan2 = K({2});
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST, &lan2, 5), (Seen{{K({2, 1}), "2.1"}, {K({2, 2}), "2.2"}}));
  Keys lan9 = K({9});
  EXPECT_TRUE(Walk(LUM_DB_KIND_HOST, &lan9, 5).empty());

  // A zero entry before a set one: every host 2 of any LAN device.
  AddIpv6(1, 2, "a");
  AddIpv6(2, 1, "b");
  AddIpv6(2, 2, "c");
  AddIpv6(2, 2, "d");
  Keys anyLanHost2 = K({0, 2});
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST_IPV6, &anyLanHost2, 0),
            (Seen{{K({1, 2, 1}), "a"}, {K({2, 2, 1}), "c"}, {K({2, 2, 2}), "d"}}));
  std::vector<uint32_t> instances;
  EXPECT_EQ(Count(LUM_DB_KIND_HOST_IPV6, anyLanHost2, &instances), 3u);
  EXPECT_EQ(instances, (std::vector<uint32_t>{1, 1, 2}));
  EXPECT_EQ(Count(LUM_DB_KIND_HOST_IPV6, K({2, 2}), &instances), 2u);
  EXPECT_EQ(instances, (std::vector<uint32_t>{1, 2}));
  // The count without an array.
  uint32_t ulCount = 0;
  EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_HOST, &ulCount, nullptr), 0u);
  EXPECT_EQ(ulCount, 4u);
}

// The sync pass: each host is rewritten and its IPv6 objects replaced while the
// walk goes on; every host must be met exactly once, in order.
TEST_F(DbApiTest, SeqNumberingHoldsWhileTheWalkWritesAndReplacesSubObjects) {
  AddLan();
  AddLan();
  for (int i = 0; i < 40; ++i) AddHost(1 + i % 2, std::to_string(i).c_str());
  for (uint32_t h = 1; h <= 20; ++h) AddIpv6(1, h, "fe80::1");
  std::vector<Keys> visited;
  for (uint32_t seq = 0;; ++seq) {
    LUM_DB_SLOT *raw = nullptr;
    Keys keys = K({});
    if (LUM_DBGetObjectBySeqNum(keys.data(), LUM_DB_KIND_HOST, seq, &raw, 0, 0, keys.data()) != 0) {
      break;
    }
    Value value(LUM_DB_KIND_HOST, raw);
    visited.push_back(keys);
    ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value.get(), "renamed"), 0u);
    ASSERT_EQ(LUM_DBSetObj(keys.data(), LUM_DB_KIND_HOST, value.get()), 0u);
    ASSERT_EQ(LUM_DBSetPara(keys.data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 0), 0u);
    std::vector<uint32_t> subs;
    Count(LUM_DB_KIND_HOST_IPV6, keys, &subs);
    for (uint32_t sub : subs) {
      keys[2] = sub;
      ASSERT_EQ(LUM_DBDelObj(keys.data(), LUM_DB_KIND_HOST_IPV6), 0u);
    }
    keys[2] = 0;
    AddIpv6(keys[0], keys[1], "fe80::2");
    AddIpv6(keys[0], keys[1], "2001:db8::2");
  }
  ASSERT_EQ(visited.size(), 40u);
  for (size_t i = 0; i < visited.size(); ++i) {
    EXPECT_EQ(visited[i], K({i < 20 ? 1u : 2u, static_cast<uint32_t>(i % 20 + 1)})) << i;
  }
  EXPECT_EQ(Count(LUM_DB_KIND_HOST_IPV6, K({})), 80u);
  LUM_DB_SLOT *raw = nullptr;
  ASSERT_EQ(LUM_DBGetObj(K({2, 20}).data(), LUM_DB_KIND_HOST, &raw, 0), 0u);
  Value last(LUM_DB_KIND_HOST, raw);
  EXPECT_EQ(last.Text(11), "renamed");
  EXPECT_EQ(last[14].ulNum, 0u);
}

TEST_F(DbApiTest, SetParaWritesHostSlots14And15And4Only) {
  uint32_t ulLan = AddLan();
  uint32_t ulHost = AddHost(ulLan, "m", 0);
  Keys keys = K({ulLan, ulHost});
  EXPECT_EQ(LUM_DBSetPara(keys.data(), LUM_DB_PARA_HOST_IPV4_ACTIVE, 1), 0u);
  EXPECT_EQ(LUM_DBSetPara(keys.data(), LUM_DB_PARA_HOST_IPV6_ACTIVE, 1), 0u);
  EXPECT_EQ(LUM_DBSetPara(keys.data(), LUM_DB_PARA_HOST_LAST_CHANGE, 0xFFFFFFF0), 0u);
  EXPECT_EQ(LUM_DBSetPara(keys.data(), 0xA5803C06, 1), LUM_DB_ERR_KIND);
  LUM_DB_SLOT *raw = nullptr;
  ASSERT_EQ(LUM_DBGetObj(keys.data(), LUM_DB_KIND_HOST, &raw, 0), 0u);
  Value value(LUM_DB_KIND_HOST, raw);
  EXPECT_EQ(value[14].ulNum, 1u);
  EXPECT_EQ(value[15].ulNum, 1u);
  EXPECT_EQ(value[4].ulNum, 0xFFFFFFF0u);
  EXPECT_EQ(value[3].ulNum, 0u);
  EXPECT_EQ(value.Text(5), "m");
}

TEST_F(DbApiTest, ValuesOwnTheirTextsAndOutliveTheObject) {
  uint32_t ulLan = AddLan();
  uint32_t ulHost = AddHost(ulLan, "AA:BB:CC:DD:EE:FF");
  Keys keys = K({ulLan, ulHost});
  LUM_DB_SLOT *raw = nullptr;
  ASSERT_EQ(LUM_DBGetObj(keys.data(), LUM_DB_KIND_HOST, &raw, 0), 0u);
  Value value(LUM_DB_KIND_HOST, raw);

  char source[16] = "first";
  ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value.get(), source), 0u);
  strcpy(source, "changed");
  EXPECT_EQ(value.Text(11), "first");
  ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value.get(), "second"), 0u);  // replaces its own copy
  EXPECT_EQ(LUM_KEM_SetObjStrValue(3, value.get(), "x"), LUM_DB_ERR_PARAM);   // a number
  EXPECT_EQ(LUM_KEM_SetObjStrValue(17, value.get(), "x"), LUM_DB_ERR_PARAM);  // past the last
  EXPECT_EQ(LUM_DBSetObj(keys.data(), LUM_DB_KIND_HOST, value.get()), 0u);

  // The stored object changes and goes; the value read before stays as read.
  ASSERT_EQ(LUM_DBDelObj(keys.data(), LUM_DB_KIND_HOST), 0u);
  EXPECT_EQ(value.Text(5), "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(value.Text(11), "second");

  // A caller's own slot array (no header) is accepted; null texts read as empty.
  std::vector<LUM_DB_SLOT> own(17);
  for (auto &slot : own) slot.pcStr = nullptr;
  own[5].pcStr = const_cast<char *>("11:22:33:44:55:66");
  own[3].ulNum = 0xFFFFFFFF;
  uint32_t ulInst = 0;
  ASSERT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_HOST, own.data(), &ulInst), 0u);
  ASSERT_EQ(LUM_DBGetObj(K({ulLan, ulInst}).data(), LUM_DB_KIND_HOST, &raw, 0), 0u);
  Value again(LUM_DB_KIND_HOST, raw);
  EXPECT_EQ(again.Text(5), "11:22:33:44:55:66");
  EXPECT_EQ(again.Text(0), "");
  EXPECT_EQ(again[3].ulNum, 0xFFFFFFFFu);
}

TEST_F(DbApiTest, OverLongTextsAreRefusedSoThatEverySaveLoadsAgain) {
  uint32_t ulLan = AddLan();
  uint32_t ulHost = AddHost(ulLan, "m");
  std::string fits(1024, 'x');
  std::string tooLong(1025, 'x');
  Value value = Default(LUM_DB_KIND_HOST);
  EXPECT_EQ(LUM_KEM_SetObjStrValue(11, value.get(), tooLong.c_str()), LUM_DB_ERR_PARAM);
  ASSERT_EQ(LUM_KEM_SetObjStrValue(11, value.get(), fits.c_str()), 0u);
  EXPECT_EQ(LUM_DBSetObj(K({ulLan, ulHost}).data(), LUM_DB_KIND_HOST, value.get()), 0u);
  std::vector<LUM_DB_SLOT> own(17);
  for (auto &slot : own) slot.pcStr = nullptr;
  own[11].pcStr = tooLong.data();
  EXPECT_EQ(LUM_DBSetObj(K({ulLan, ulHost}).data(), LUM_DB_KIND_HOST, own.data()),
            LUM_DB_ERR_PARAM);
  EXPECT_EQ(LUM_DBAddObj(K({ulLan}).data(), LUM_DB_KIND_HOST, own.data(), nullptr),
            LUM_DB_ERR_PARAM);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST, K({ulLan})), 1u);
}

TEST_F(DbApiTest, DeleteTakesEverySubObjectAndNothingElse) {
  uint32_t ulLan1 = AddLan();
  uint32_t ulLan2 = AddLan();
  uint32_t ulHost = AddHost(ulLan1, "a");
  uint32_t ulOther = AddHost(ulLan1, "b");
  AddIpv6(ulLan1, ulHost, "fe80::1");
  AddIpv6(ulLan1, ulHost, "fe80::2");
  AddIpv6(ulLan1, ulOther, "fe80::3");
  AddHost(ulLan2, "c");
  AddIpv6(ulLan2, 1, "fe80::4");
  Value iface = Default(LUM_DB_KIND_LAN_ETH_IF);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan1}).data(), LUM_DB_KIND_LAN_ETH_IF, iface.get(), nullptr), 0u);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan1}).data(), LUM_DB_KIND_WLAN_CFG, iface.get(), nullptr), 0u);
  Value bridge = Default(LUM_DB_KIND_BRIDGE_NUM);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan1}).data(), LUM_DB_KIND_BRIDGE_NUM, bridge.get(), nullptr), 0u);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan2}).data(), LUM_DB_KIND_BRIDGE_NUM, bridge.get(), nullptr), 0u);
  Value avail = Default(LUM_DB_KIND_AVAIL_IF);
  ASSERT_EQ(LUM_DBAddObj(nullptr, LUM_DB_KIND_AVAIL_IF, avail.get(), nullptr), 0u);

  ASSERT_EQ(LUM_DBDelObj(K({ulLan1, ulHost}).data(), LUM_DB_KIND_HOST), 0u);
  std::vector<uint32_t> left;
  EXPECT_EQ(Count(LUM_DB_KIND_HOST_IPV6, K({}), &left), 2u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST_IPV6, K({ulLan1, ulOther})), 1u);

  ASSERT_EQ(LUM_DBDelObj(K({ulLan1}).data(), LUM_DB_KIND_LANDEVICE), 0u);
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST, nullptr, 5).size(), 1u);
  EXPECT_EQ(Count(LUM_DB_KIND_HOST_IPV6, K({})), 1u);
  EXPECT_EQ(Count(LUM_DB_KIND_LAN_ETH_IF, K({})), 0u);
  EXPECT_EQ(Count(LUM_DB_KIND_WLAN_CFG, K({})), 0u);
  std::vector<uint32_t> bridges;
  Count(LUM_DB_KIND_BRIDGE_NUM, K({}), &bridges);
  EXPECT_EQ(bridges, std::vector<uint32_t>{ulLan2});
  EXPECT_EQ(Count(LUM_DB_KIND_AVAIL_IF, K({})), 1u);
  EXPECT_EQ(LUM_DBDelObj(K({ulLan1}).data(), LUM_DB_KIND_LANDEVICE), LUM_DB_ERR_NOT_FOUND);
}

TEST_F(DbApiTest, MoveKeepsValuesAndSubObjectsUnderANewInstance) {
  uint32_t ulLan1 = AddLan();
  uint32_t ulLan2 = AddLan();
  AddHost(ulLan1, "stays");
  uint32_t ulHost = AddHost(ulLan1, "moves");
  AddHost(ulLan2, "there");
  AddIpv6(ulLan1, ulHost, "fe80::1");
  AddIpv6(ulLan1, ulHost, "fe80::2");
  ASSERT_EQ(LUM_DBDelObj(K({ulLan1, ulHost, 1}).data(), LUM_DB_KIND_HOST_IPV6), 0u);
  ASSERT_EQ(LUM_DBSetPara(K({ulLan1, ulHost}).data(), LUM_DB_PARA_HOST_LAST_CHANGE, 77), 0u);

  uint32_t ulNew = 0;
  ASSERT_EQ(LUM_DBObjMove(K({ulLan1, ulHost}).data(), LUM_DB_KIND_HOST, K({ulLan2}).data(), &ulNew),
            0u);
  EXPECT_EQ(ulNew, 2u);
  LUM_DB_SLOT *raw = nullptr;
  EXPECT_EQ(LUM_DBGetObj(K({ulLan1, ulHost}).data(), LUM_DB_KIND_HOST, &raw, 0),
            LUM_DB_ERR_NOT_FOUND);
  ASSERT_EQ(LUM_DBGetObj(K({ulLan2, ulNew}).data(), LUM_DB_KIND_HOST, &raw, 0), 0u);
  Value moved(LUM_DB_KIND_HOST, raw);
  EXPECT_EQ(moved.Text(5), "moves");
  EXPECT_EQ(moved[4].ulNum, 77u);
  EXPECT_EQ(moved[14].ulNum, 1u);

  using Seen = std::vector<std::pair<Keys, std::string>>;
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST_IPV6, nullptr, 0), (Seen{{K({ulLan2, ulNew, 2}), "fe80::2"}}));
  // The sub-objects keep counting where they were: 1 and 2 were used.
  EXPECT_EQ(AddIpv6(ulLan2, ulNew, "fe80::3"), 3u);
  EXPECT_EQ(AddHost(ulLan1, "new"), 3u);
  EXPECT_EQ(Walk(LUM_DB_KIND_HOST, nullptr, 5), (Seen{{K({ulLan1, 1}), "stays"},
                                                      {K({ulLan1, 3}), "new"},
                                                      {K({ulLan2, 1}), "there"},
                                                      {K({ulLan2, 2}), "moves"}}));

  EXPECT_EQ(LUM_DBObjMove(K({ulLan2, ulNew}).data(), LUM_DB_KIND_HOST, K({9}).data(), nullptr),
            LUM_DB_ERR_NO_PARENT);
  EXPECT_EQ(LUM_DBObjMove(K({ulLan1}).data(), LUM_DB_KIND_LANDEVICE, K({ulLan2}).data(), nullptr),
            LUM_DB_ERR_PARAM);
  Value bridge = Default(LUM_DB_KIND_BRIDGE_NUM);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan1}).data(), LUM_DB_KIND_BRIDGE_NUM, bridge.get(), nullptr), 0u);
  ASSERT_EQ(LUM_DBAddObj(K({ulLan2}).data(), LUM_DB_KIND_BRIDGE_NUM, bridge.get(), nullptr), 0u);
  EXPECT_EQ(LUM_DBObjMove(K({ulLan1}).data(), LUM_DB_KIND_BRIDGE_NUM, K({ulLan2}).data(), nullptr),
            LUM_DB_ERR_EXISTS);
  uint32_t ulLan3 = AddLan();
  EXPECT_EQ(LUM_DBObjMove(K({ulLan1}).data(), LUM_DB_KIND_BRIDGE_NUM, K({ulLan3}).data(), &ulNew),
            0u);
  EXPECT_EQ(ulNew, ulLan3);
}

struct DomainCase {
  uint32_t ulKind;
  Keys keys;
  const char *pcPath;
};

class DbDomainTest : public DbApiTest, public ::testing::WithParamInterface<DomainCase> {};

TEST_P(DbDomainTest, PathHasTheInstanceNumbersAndEndsInADot) {
  const DomainCase &c = GetParam();
  char buf[128];
  memset(buf, 'z', sizeof(buf));
  ASSERT_EQ(LUM_DBKeyListToDomain(c.keys.data(), c.ulKind, buf, sizeof(buf)), 0u);
  EXPECT_STREQ(buf, c.pcPath);
  // Exactly the room it needs, then one byte less: refused, and empty.
  uint32_t ulNeed = static_cast<uint32_t>(strlen(c.pcPath) + 1);
  EXPECT_EQ(LUM_DBKeyListToDomain(c.keys.data(), c.ulKind, buf, ulNeed), 0u);
  EXPECT_STREQ(buf, c.pcPath);
  memset(buf, 'z', sizeof(buf));
  EXPECT_EQ(LUM_DBKeyListToDomain(c.keys.data(), c.ulKind, buf, ulNeed - 1), LUM_DB_ERR_NO_ROOM);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[ulNeed - 1], 'z');
  Keys zeros = K({});
  EXPECT_EQ(LUM_DBKeyListToDomain(zeros.data(), c.ulKind, buf, sizeof(buf)), LUM_DB_ERR_PARAM);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, DbDomainTest,
    ::testing::Values(
        DomainCase{LUM_DB_KIND_LANDEVICE, K({1}), "InternetGatewayDevice.LANDevice.1."},
        DomainCase{LUM_DB_KIND_HOST, K({1, 3}), "InternetGatewayDevice.LANDevice.1.Hosts.Host.3."},
        DomainCase{LUM_DB_KIND_HOST_IPV6, K({2, 13, 4}),
                   "InternetGatewayDevice.LANDevice.2.Hosts.Host.13.X_IPv6Address.4."},
        DomainCase{LUM_DB_KIND_AVAIL_IF, K({12}),
                   "InternetGatewayDevice.Layer2Bridging.AvailableInterface.12."},
        DomainCase{LUM_DB_KIND_LAN_ETH_IF, K({1, 2}),
                   "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.2."},
        DomainCase{LUM_DB_KIND_WLAN_CFG, K({3, 1}),
                   "InternetGatewayDevice.LANDevice.3.WLANConfiguration.1."},
        DomainCase{LUM_DB_KIND_BRIDGE_NUM, K({4294967295u}),
                   "InternetGatewayDevice.LANDevice.4294967295.X_Bridge."}));

}  // namespace
