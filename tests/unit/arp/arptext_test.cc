// The receive path's own address formatters against the C library's.
#include "arp/arptext.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

TEST(ArpTextTest, Ipv4TextIsInetNtops) {
  for (const char *pcAddr :
       {"0.0.0.0", "255.255.255.255", "10.0.0.5", "192.168.1.100", "1.20.100.9", "99.100.9.10"}) {
    uint32_t ulAddr = 0;
    ASSERT_EQ(inet_pton(AF_INET, pcAddr, &ulAddr), 1);
    char acText[HOSTMON_IPV4_TEXT_LEN];
    memset(acText, 'x', sizeof(acText));
    HostmonIpv4Text(ulAddr, acText);
    EXPECT_STREQ(acText, pcAddr);
  }
}

TEST(ArpTextTest, MacTextInBothCases) {
  const uint8_t aucMac[6] = {0x00, 0x0A, 0xBC, 0xDE, 0xF0, 0xFF};
  char acText[HOSTMON_MAC_TEXT_LEN];
  memset(acText, 'x', sizeof(acText));
  HostmonMacText(aucMac, acText, true);
  EXPECT_STREQ(acText, "00:0A:BC:DE:F0:FF");
  HostmonMacText(aucMac, acText, false);
  EXPECT_STREQ(acText, "00:0a:bc:de:f0:ff");
}

}  // namespace
