// lumbus's message lines: payloads are built byte by byte at the documented
// offsets, so that a wrong offset in the decoder or the record shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/msgdecode.h"
#include "tools/msgnames.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Message(uint32_t ulType, const std::string &sender, uint32_t ulData, const Bytes &payload) {
  Bytes out(40 + payload.size(), 0);
  uint32_t len = static_cast<uint32_t>(payload.size());
  memcpy(out.data(), &ulType, 4);
  memcpy(out.data() + 4, &len, 4);
  memcpy(out.data() + 8, sender.data(), sender.size());
  memcpy(out.data() + 32, &ulData, 4);
  std::copy(payload.begin(), payload.end(), out.begin() + 40);
  return out;
}

void Put(Bytes *pBytes, size_t ulOffset, const std::string &text) {
  memcpy(pBytes->data() + ulOffset, text.data(), text.size());
}

void PutU32(Bytes *pBytes, size_t ulOffset, uint32_t ulValue) {
  memcpy(pBytes->data() + ulOffset, &ulValue, 4);
}

std::string Describe(const Bytes &msg) { return lumtools::DescribeMessage(msg.data(), msg.size()); }

TEST(LumbusDecode, HostInfoFieldsByNameCutAtTheirFieldAndEscaped) {
  Bytes info(660, 0);
  PutU32(&info, 0, 0xC0A80164);  // 192.168.1.100 as a number
  PutU32(&info, 4, 0xFFFFFFFF);
  Put(&info, 8, "AA:BB:CC:DD:EE:01Z");  // no NUL: the next field begins at 26
  Put(&info, 26, "AA:BB:CC:DD:EE:02");
  Put(&info, 44, "MSFT 5.0");
  Put(&info, 108, "client-id-not-shown");
  Put(&info, 172, "laptop \"one\"\t\xc3\xa9");
  PutU32(&info, 240, 1);
  PutU32(&info, 244, 0);
  Put(&info, 248, "br0");
  PutU32(&info, 276, 1);
  PutU32(&info, 280, 7);
  Put(&info, 380, "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.2");
  info[636] = 10;  // ulOldIpAddr in transmission order: 10.0.0.9
  info[639] = 9;
  Put(&info, 640, "AA:BB:CC:DD:EE:03");
  EXPECT_EQ(
      Describe(Message(0xB903, "hostmon", 0, info)),
      "type=0xb903 name=LUM_MSG_HOSTMON_HOST_ADD from=\"hostmon\" data=0x00000000 len=660 "
      "HostInfo ulYiaddr=0xc0a80164 ulYiaddr.num=192.168.1.100 ulYiaddr.net=100.1.168.192 "
      "ulLease=4294967295 acChAddr=\"AA:BB:CC:DD:EE:01Z\" acMacAddr=\"AA:BB:CC:DD:EE:02\" "
      "acHostName=\"laptop \\\"one\\\"\\x09\\xc3\\xa9\" acVendorClass=\"MSFT 5.0\" ulIpv4Active=1 "
      "ulIpv6Active=0 acInterface=\"br0\" aulKeyList=1,7 "
      "acLayer2If=\"InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.2\" "
      "ulOldIpAddr=10.0.0.9 acConflictMac=\"AA:BB:CC:DD:EE:03\"");
}

TEST(LumbusDecode, DeviceNameUpdateAtItsOffsets) {
  Bytes update(99, 0);
  Put(&update, 0, "AA:BB:CC:DD:EE:01");
  Put(&update, 18, "192.168.1.100");
  Put(&update, 34, std::string(65, 'n'));  // fills the field: cut at its end
  EXPECT_EQ(Describe(Message(0xB90F, "hostmon", 0, update)),
            "type=0xb90f name=LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE from=\"hostmon\" data=0x00000000 "
            "len=99 DeviceNameUpdate mac=\"AA:BB:CC:DD:EE:01\" ip=\"192.168.1.100\" name=\"" +
                std::string(65, 'n') + "\"");
}

TEST(LumbusDecode, OtherPayloadsAsHexAndTextAndWrongLengthsUndecoded) {
  EXPECT_EQ(Describe(Message(0xB908, "devmon", 0, {'a', ':', 'b', 0})),
            "type=0xb908 name=LUM_MSG_HOSTMON_DEVICE_ON_LINE from=\"devmon\" data=0x00000000 "
            "len=4 payload=613a6200 text=\"a:b\"");
  // A MAC address then a text: binary first, so no text.
  EXPECT_EQ(Describe(Message(0x3012, "dhcps", 1, {0, 0x11, 'b', 'r', '0', 0})),
            "type=0x3012 name=LUM_MSG_DHCPS_ADD_IPMAC from=\"dhcps\" data=0x00000001 len=6 "
            "payload=001162723000");
  // At most 64 bytes shown.
  std::string hex;
  for (int i = 0; i < 64; ++i) hex += "ab";
  EXPECT_EQ(Describe(Message(0xB914, "", 0xC0A80101, Bytes(65, 0xAB))),
            "type=0xb914 name=unknown from=\"\" data=0xc0a80101 len=65 payload=" + hex + "...");
  EXPECT_NE(Describe(Message(0xB904, "hostmon", 0, Bytes(659, 0)))
                .find("len=659 bad-HostInfo-length payload=0000"),
            std::string::npos);
  EXPECT_NE(
      Describe(Message(0xB90F, "hostmon", 0, Bytes(100, 0))).find("bad-DeviceNameUpdate-length"),
      std::string::npos);
}

TEST(LumbusDecode, CatalogueTypesAreUniqueAndNamed) {
  std::set<uint32_t> types;
  for (const lumtools::MsgName &entry : lumtools::kMsgNames) {
    EXPECT_TRUE(types.insert(entry.ulType).second) << std::hex << entry.ulType;
    EXPECT_FALSE(entry.name.empty());
  }
  EXPECT_EQ(lumtools::FindMsgName(0xBB05)->name, "LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP");
  for (uint32_t type : {0xB903u, 0xB904u, 0xB905u, 0xB912u, 0xB913u}) {
    EXPECT_EQ(lumtools::FindMsgName(type)->kind, lumtools::PayloadKind::kHostInfo);
  }
}

}  // namespace
