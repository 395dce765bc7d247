// lumbus's message lines: payloads are built byte by byte at the documented
// offsets, so that a wrong offset in the decoder or the record shows. And the
// peers' payloads built from named fields, decoded back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/msgbuild.h"
#include "tools/msgdecode.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Writes text (or a 32-bit number in host order) into the bytes at an offset.
void Put(Bytes *pBytes, size_t ulOffset, const std::string &text) {
  std::copy(text.begin(), text.end(), pBytes->begin() + static_cast<long>(ulOffset));
}
void Put(Bytes *pBytes, size_t ulOffset, uint32_t ulValue) {
  Put(pBytes, ulOffset, std::string(reinterpret_cast<const char *>(&ulValue), 4));
}

std::string Describe(uint32_t ulType, const std::string &sender, uint32_t ulData,
                     const Bytes &payload) {
  Bytes msg(40, 0);
  Put(&msg, 0, ulType);
  Put(&msg, 4, static_cast<uint32_t>(payload.size()));
  Put(&msg, 8, sender);
  Put(&msg, 32, ulData);
  msg.insert(msg.end(), payload.begin(), payload.end());
  return lumtools::DescribeMessage(msg.data(), msg.size());
}

TEST(LumbusDecode, HostInfoFieldsByNameCutAtTheirFieldAndEscaped) {
  Bytes info(660, 0);
  Put(&info, 0, 0xC0A80164);  // 192.168.1.100 as a number
  Put(&info, 4, 0xFFFFFFFF);
  Put(&info, 8, "AA:BB:CC:DD:EE:01Z");  // no NUL: the next field begins at 26
  Put(&info, 26, "AA:BB:CC:DD:EE:02");
  Put(&info, 44, "MSFT 5.0");
  Put(&info, 108, "client-id-not-shown");
  Put(&info, 172, "laptop \"one\"\t\xc3\xa9");
  Put(&info, 240, 1);
  Put(&info, 248, "br0");
  Put(&info, 276, 1);
  Put(&info, 280, 7);
  Put(&info, 380, "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.2");
  Put(&info, 636, std::string("\x0a\0\0\x09", 4));  // ulOldIpAddr in transmission order
  Put(&info, 640, "AA:BB:CC:DD:EE:03");
  EXPECT_EQ(
      Describe(0xB903, "hostmon", 0, info),
      "type=0xb903 name=LUM_MSG_HOSTMON_HOST_ADD from=\"hostmon\" data=0x00000000 len=660 "
      "HostInfo ulYiaddr=0xc0a80164 ulYiaddr.num=192.168.1.100 ulYiaddr.net=100.1.168.192 "
      "ulLease=4294967295 acChAddr=\"AA:BB:CC:DD:EE:01Z\" acMacAddr=\"AA:BB:CC:DD:EE:02\" "
      "acHostName=\"laptop \\\"one\\\"\\x09\\xc3\\xa9\" acVendorClass=\"MSFT 5.0\" ulIpv4Active=1 "
      "ulIpv6Active=0 acInterface=\"br0\" aulKeyList=1,7 "
      "acLayer2If=\"InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.2\" "
      "ulOldIpAddr=10.0.0.9 acConflictMac=\"AA:BB:CC:DD:EE:03\"");
}

TEST(LumbusDecode, PayloadsOfAnotherLengthAreShownAsHexAndUnnamedTypesAsUnknown) {
  EXPECT_EQ(Describe(0xB904, "", 0, {'a', ':', 'b', 0}),
            "type=0xb904 name=LUM_MSG_HOSTMON_HOST_DEL from=\"\" data=0x00000000 len=4 "
            "bad-HostInfo-length payload=613a6200 text=\"a:b\"");
  EXPECT_EQ(Describe(0xB911, "", 0, {}).substr(0, 25), "type=0xb911 name=unknown ");
}

TEST(LumbusFields, PeersPayloadsAreBuiltAtTheirOffsetsAndDecodedBack) {
  lumtools::MsgFields f;
  f.mac = lumtools::ParseMacField("02:00:00:00:00:0a");
  f.ip = std::array<uint8_t, 4>{192, 168, 1, 11};
  f.bridge = "br0";
  Bytes payload;
  std::optional<uint32_t> data;
  ASSERT_EQ(lumtools::BuildPayload(0x3012, f, &payload, &data), "");
  EXPECT_EQ(payload, (Bytes{2, 0, 0, 0, 0, 10, 'b', 'r', '0', 0}));
  EXPECT_EQ(Describe(0x3012, "dhcps", data.value_or(0), payload),
            "type=0x3012 name=LUM_MSG_DHCPS_ADD_IPMAC from=\"dhcps\" data=0x" +
                std::string(data == 0x0B01A8C0 ? "0b01a8c0" : "c0a8010b") +
                " len=10 mac=02:00:00:00:00:0a bridge=\"br0\" ip=192.168.1.11");
  EXPECT_EQ(lumtools::BuildPayload(0x3015, f, &payload, &data),
            "this type takes exactly --mac --ip");
  f.bridge.reset();
  ASSERT_EQ(lumtools::BuildPayload(0x3015, f, &payload, &data), "");
  EXPECT_EQ(payload, (Bytes{2, 0, 0, 0, 0, 10, 0, 0, 192, 168, 1, 11}));
  f.ip.reset();
  ASSERT_EQ(lumtools::BuildPayload(0xBB06, f, &payload, &data), "");
  EXPECT_EQ(std::string(payload.begin(), payload.end()), std::string("02:00:00:00:00:0A\0", 18));

  f.ip6 = std::array<uint8_t, 16>{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  f.bridge = "br1";
  ASSERT_EQ(lumtools::BuildPayload(0xB907, f, &payload, &data), "");
  const std::string dad = Describe(0xB907, "", 0, payload);
  EXPECT_EQ(dad.substr(dad.find("len=")),
            "len=26 ip6=fe80::1 mac=02:00:00:00:00:0a bridge=\"br1\"");
  payload.resize(22);  // cut before the bridge name: shown raw
  EXPECT_NE(Describe(0xB907, "", 0, payload).find("short-payload payload=fe80"), std::string::npos);
  EXPECT_EQ(lumtools::BuildPayload(0xBB02, f, &payload, &data), "this type takes no named fields");
  EXPECT_FALSE(lumtools::ParseMacField("02:00:00:00:00"));
  EXPECT_FALSE(lumtools::ParseMacField("02:00:00:00:00:0a:"));
}

}  // namespace
