// IPv6 address text: the same as the C library's for every placement of zero
// groups, including the forms that end in dotted IPv4.
#include "dbsync/addrtext.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Every set of zero groups, the others holding values of one to four digits
// and 0xffff: every run of zeros, and the forms with dotted-quad tails.
TEST(Ipv6TextTest, MatchesTheLibraryForEveryRunOfZeroGroups) {
  std::mt19937 rng(7);
  const uint16_t ausValues[] = {0x1, 0xf, 0x10, 0xab, 0x100, 0xfff, 0x1000, 0xffff, 0x0db8};
  for (uint32_t ulMask = 0; ulMask < 256; ++ulMask) {
    for (int iRound = 0; iRound < 40; ++iRound) {
      uint8_t aucAddr[16] = {};
      for (size_t i = 0; i < 8; ++i) {
        const uint16_t usWord =
            (ulMask >> i & 1) != 0 ? ausValues[rng() % std::size(ausValues)] : 0;
        aucAddr[2 * i] = static_cast<uint8_t>(usWord >> 8);
        aucAddr[2 * i + 1] = static_cast<uint8_t>(usWord);
      }
      char acOurs[HOSTMON_IPV6_TEXT_LEN], acLibc[INET6_ADDRSTRLEN] = {};
      ASSERT_NE(inet_ntop(AF_INET6, aucAddr, acLibc, sizeof(acLibc)), nullptr);
      ASSERT_EQ(HostmonIpv6Text(aucAddr, acOurs), strlen(acLibc)) << acLibc;
      ASSERT_STREQ(acOurs, acLibc) << "mask " << ulMask;
    }
  }
}

}  // namespace
