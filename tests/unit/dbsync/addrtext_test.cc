// IPv6 address text: the same as the C library's for every placement of zero
// groups, including the forms that end in dotted IPv4.
#include "dbsync/addrtext.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string LibcText(const uint8_t *pucAddr) {
  char acText[INET6_ADDRSTRLEN] = {};
  EXPECT_NE(inet_ntop(AF_INET6, pucAddr, acText, sizeof(acText)), nullptr);
  return acText;
}

std::string OurText(const uint8_t *pucAddr) {
  char acText[HOSTMON_IPV6_TEXT_LEN];
  const size_t ulLen = HostmonIpv6Text(pucAddr, acText);
  EXPECT_EQ(ulLen, strlen(acText));
  return acText;
}

// Every set of zero groups, the others holding values of one to four digits,
// 0xffff and dotted-quad tails with zero octets.
TEST(Ipv6TextTest, MatchesTheLibraryForEveryRunOfZeroGroups) {
  std::mt19937 rng(7);
  const uint16_t ausValues[] = {0x1, 0xf, 0x10, 0xab, 0x100, 0xfff, 0x1000, 0xffff, 0x0db8};
  for (uint32_t ulMask = 0; ulMask < 256; ++ulMask) {
    for (int iRound = 0; iRound < 40; ++iRound) {
      uint8_t aucAddr[16] = {};
      for (size_t i = 0; i < 8; ++i) {
        if ((ulMask >> i & 1) == 0) continue;
        const uint16_t usWord = ausValues[rng() % std::size(ausValues)];
        aucAddr[2 * i] = static_cast<uint8_t>(usWord >> 8);
        aucAddr[2 * i + 1] = static_cast<uint8_t>(usWord);
      }
      ASSERT_EQ(OurText(aucAddr), LibcText(aucAddr)) << "mask " << ulMask;
    }
  }
}

TEST(Ipv6TextTest, WritesTheKnownForms) {
  const std::pair<const char *, const char *> cases[] = {
      {"::", "::"},
      {"::1", "::1"},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {"::192.0.2.1", "::192.0.2.1"},
      {"::ffff:0:192.0.2.1", "::ffff:0:c000:201"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"1:0:0:2:2:0:0:3", "1::2:2:0:0:3"},
      {"fe80:0:0:0:216:3eff:fe20:0", "fe80::216:3eff:fe20:0"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto &[pcIn, pcOut] : cases) {
    uint8_t aucAddr[16];
    ASSERT_EQ(inet_pton(AF_INET6, pcIn, aucAddr), 1) << pcIn;
    EXPECT_EQ(OurText(aucAddr), pcOut) << pcIn;
    EXPECT_EQ(OurText(aucAddr), LibcText(aucAddr)) << pcIn;
  }
}

}  // namespace
