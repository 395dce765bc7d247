// Bounds-checked memory and text: nothing is ever written past the size, a
// refused call leaves the destination as it was, and the formatter's limit is
// the smaller of the maximum and the size less the terminator.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/lum.h"

namespace {

TEST(SafeMemory, WritesUpToTheSizeAndRefusesMoreLeavingTheDestination) {
  char buf[16];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(memset_s(buf, 8, 'a', 8), 0);
  EXPECT_EQ(memcpy_s(buf + 4, 4, "1234", 4), 0);
  EXPECT_EQ(std::string(buf, 16), "aaaa1234ZZZZZZZZ");
  const size_t kHuge = static_cast<size_t>(-1);  // a negative size gone through size_t
  EXPECT_NE(memset_s(buf, 8, 'b', 9), 0);
  EXPECT_NE(memset_s(buf, kHuge, 'b', 4), 0);
  EXPECT_NE(memset_s(nullptr, 8, 'b', 1), 0);
  EXPECT_NE(memcpy_s(buf, 8, "123456789", 9), 0);
  EXPECT_NE(memcpy_s(buf, kHuge, "1", 1), 0);
  EXPECT_NE(memcpy_s(buf, 8, nullptr, 1), 0);
  EXPECT_NE(memmove_s(buf, 8, "123456789", 9), 0);
  EXPECT_EQ(memcpy_s(buf, 8, nullptr, 0), 0);
  EXPECT_EQ(std::string(buf, 16), "aaaa1234ZZZZZZZZ");
}

TEST(SafeMemory, MemcpyRefusesOverlapAndMemmoveHandlesIt) {
  char text[16] = "abcdefgh";
  EXPECT_NE(memcpy_s(text + 2, sizeof(text) - 2, text, 4), 0);
  EXPECT_NE(memcpy_s(text, sizeof(text), text, 4), 0);
  EXPECT_STREQ(text, "abcdefgh");
  EXPECT_EQ(memcpy_s(text + 4, sizeof(text) - 4, text, 4), 0);  // adjacent is no overlap
  EXPECT_STREQ(text, "abcdabcd");
  char fwd[16] = "abcdefgh";
  EXPECT_EQ(memmove_s(fwd + 2, sizeof(fwd) - 2, fwd, 4), 0);
  EXPECT_STREQ(fwd, "ababcdgh");
  char back[16] = "abcdefgh";
  EXPECT_EQ(memmove_s(back, sizeof(back), back + 2, 4), 0);
  EXPECT_STREQ(back, "cdefefgh");
}

TEST(NewSnprintfS, CutsToTheSmallerLimitAndTerminates) {
  const struct {
    size_t ulSize, ulMax;
    const char *pcArg;
    int iWant;
    const char *pcText;
  } cases[] = {
      {8, 100, "abcdefg", 7, "abcdefg"},    // exact fit
      {8, 100, "abcdefgh", -1, "abcdefg"},  // one too many
      {8, 7, "abcdefg", 7, "abcdefg"},      // max equals room
      {8, 3, "abcdefg", -1, "abc"},         // max below room
      {8, 0, "a", -1, ""},
      {1, 100, "a", -1, ""},  // room for the terminator only
  };
  for (const auto &c : cases) {
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(new_snprintf_s(__FILE__, __LINE__, buf, c.ulSize, c.ulMax, "%s", c.pcArg), c.iWant);
    EXPECT_STREQ(buf, c.pcText);
    EXPECT_EQ(buf[c.ulSize], 'Z') << c.ulSize << " " << c.ulMax << " " << c.pcArg;
  }
}

TEST(NewSnprintfS, BadArgumentsRefusedAndFormatsCut) {
  char buf[8];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(new_snprintf_s("caller.cc", 42, buf, 0, 5, "%s", "x"), -1);
  EXPECT_EQ(new_snprintf_s("caller.cc", 43, nullptr, 8, 5, "%s", "x"), -1);
  EXPECT_EQ(new_snprintf_s("caller.cc", 44, buf, static_cast<size_t>(-1), 5, "%s", "x"), -1);
  EXPECT_EQ(buf[0], 'Z');  // size 0: not even a terminator
  EXPECT_EQ(new_snprintf_s("caller.cc", 45, buf, sizeof(buf), 100, "%d-%s", 12345, "xyz"), -1);
  EXPECT_STREQ(buf, "12345-x");
}

}  // namespace
