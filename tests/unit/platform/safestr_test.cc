// Bounds-checked memory and text: nothing is ever written past the size, a
// refused call leaves the destination as it was, and the formatter's limit is
// the smaller of the maximum and the size less the terminator.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/lum.h"
#include "platform/testing.h"

namespace {

// A destination of kSize bytes followed by guard bytes that must survive.
struct Guarded {
  static constexpr size_t kSize = 8;
  char buf[kSize + 8];
  Guarded() { memset(buf, 'Z', sizeof(buf)); }
  bool GuardIntact() const {
    for (size_t i = kSize; i < sizeof(buf); ++i) {
      if (buf[i] != 'Z') return false;
    }
    return true;
  }
  bool Untouched() const {
    for (char c : buf) {
      if (c != 'Z') return false;
    }
    return true;
  }
};

TEST(MemsetS, FillsUpToTheSizeAndRefusesMore) {
  Guarded g;
  EXPECT_EQ(memset_s(g.buf, Guarded::kSize, 'a', Guarded::kSize), 0);
  EXPECT_EQ(std::string(g.buf, Guarded::kSize), "aaaaaaaa");
  EXPECT_TRUE(g.GuardIntact());

  Guarded over;
  EXPECT_NE(memset_s(over.buf, Guarded::kSize, 'a', Guarded::kSize + 1), 0);
  EXPECT_TRUE(over.Untouched());
  EXPECT_NE(memset_s(nullptr, 8, 'a', 1), 0);
  // A negative size gone through size_t.
  EXPECT_NE(memset_s(over.buf, static_cast<size_t>(-1), 'a', 4), 0);
  EXPECT_TRUE(over.Untouched());
  EXPECT_EQ(memset_s(over.buf, Guarded::kSize, 'a', 0), 0);
  EXPECT_TRUE(over.Untouched());
}

TEST(MemcpyS, CopiesWithinTheSizeOnly) {
  Guarded g;
  EXPECT_EQ(memcpy_s(g.buf, Guarded::kSize, "12345678", 8), 0);
  EXPECT_EQ(std::string(g.buf, 8), "12345678");
  EXPECT_TRUE(g.GuardIntact());

  Guarded over;
  EXPECT_NE(memcpy_s(over.buf, Guarded::kSize, "123456789", 9), 0);
  EXPECT_NE(memcpy_s(over.buf, Guarded::kSize, nullptr, 1), 0);
  EXPECT_NE(memcpy_s(nullptr, 8, "1", 1), 0);
  EXPECT_NE(memcpy_s(over.buf, static_cast<size_t>(-8), "1", 1), 0);
  EXPECT_TRUE(over.Untouched());
  EXPECT_EQ(memcpy_s(over.buf, Guarded::kSize, nullptr, 0), 0);
}

TEST(MemcpyS, OverlapRefusedButMemmoveHandlesIt) {
  char text[16] = "abcdefgh";
  EXPECT_NE(memcpy_s(text + 2, sizeof(text) - 2, text, 4), 0);
  EXPECT_NE(memcpy_s(text, sizeof(text), text, 4), 0);
  EXPECT_STREQ(text, "abcdefgh");
  // Adjacent is no overlap.
  EXPECT_EQ(memcpy_s(text + 4, sizeof(text) - 4, text, 4), 0);
  EXPECT_STREQ(text, "abcdabcd");

  char fwd[16] = "abcdefgh";
  EXPECT_EQ(memmove_s(fwd + 2, sizeof(fwd) - 2, fwd, 4), 0);
  EXPECT_STREQ(fwd, "ababcdgh");
  char back[16] = "abcdefgh";
  EXPECT_EQ(memmove_s(back, sizeof(back), back + 2, 4), 0);
  EXPECT_STREQ(back, "cdefefgh");

  Guarded over;
  EXPECT_NE(memmove_s(over.buf, Guarded::kSize, "123456789", 9), 0);
  EXPECT_NE(memmove_s(over.buf, Guarded::kSize, nullptr, 2), 0);
  EXPECT_TRUE(over.Untouched());
}

struct FormatCase {
  size_t ulSize;
  size_t ulMax;
  const char *pcArg;
  int iWant;
  const char *pcText;
};

class NewSnprintfS : public ::testing::TestWithParam<FormatCase> {};

TEST_P(NewSnprintfS, CutsToTheSmallerLimitAndTerminates) {
  const FormatCase &c = GetParam();
  char buf[64];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(new_snprintf_s(__FILE__, __LINE__, buf, c.ulSize, c.ulMax, "%s", c.pcArg), c.iWant);
  EXPECT_STREQ(buf, c.pcText);
  for (size_t i = c.ulSize; i < sizeof(buf); ++i) ASSERT_EQ(buf[i], 'Z') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, NewSnprintfS,
    ::testing::Values(FormatCase{8, 100, "abcdefg", 7, "abcdefg"},    // exact fit
                      FormatCase{8, 100, "abcdefgh", -1, "abcdefg"},  // one too many
                      FormatCase{8, 7, "abcdefg", 7, "abcdefg"},      // max equals room
                      FormatCase{8, 3, "abcdefg", -1, "abc"},         // max below room
                      FormatCase{8, 3, "abc", 3, "abc"}, FormatCase{8, 0, "a", -1, ""},  // max 0
                      FormatCase{8, 0, "", 0, ""},
                      FormatCase{1, 100, "a", -1, ""},  // room for the terminator only
                      FormatCase{16, 15, "0123456789abcdefXYZ", -1, "0123456789abcde"}));

TEST(NewSnprintfSArgs, BadArgumentsRefusedAndTraced) {
  lum::testing::CaptureLogs();
  char buf[8];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(new_snprintf_s("dir/caller.cc", 42, buf, 0, 5, "%s", "x"), -1);
  EXPECT_EQ(buf[0], 'Z');  // size 0: not even a terminator
  EXPECT_EQ(new_snprintf_s("caller.cc", 43, nullptr, 8, 5, "%s", "x"), -1);
  EXPECT_EQ(new_snprintf_s("caller.cc", 44, buf, static_cast<size_t>(-1), 5, "%s", "x"), -1);
  EXPECT_EQ(buf[0], 'Z');
  size_t traced = lum::testing::TraceLines().size();
  EXPECT_EQ(traced, 3u);
  // A cut is how fixed fields are filled: reported, not traced.
  EXPECT_EQ(new_snprintf_s("caller.cc", 45, buf, sizeof(buf), 100, "%d-%s", 12345, "xyz"), -1);
  EXPECT_STREQ(buf, "12345-x");
  EXPECT_EQ(lum::testing::TraceLines().size(), traced);
  lum::testing::ReleaseLogs();
}

}  // namespace
