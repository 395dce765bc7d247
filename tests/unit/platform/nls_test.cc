// Character sets: the strict UTF-8 test at every boundary of the encoding, and
// the double-byte to UTF-8 conversion the leases file needs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/lum.h"

namespace {

TEST(IsStringUtf8, StrictAtEveryBoundary) {
  for (const char *valid : {"", "host-1", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF",
                            "\xEE\x80\x80", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_EQ(LUM_NLS_IsStringUtf8(valid), 1u) << testing::PrintToString(valid);
  }
  const char *invalid[] = {"\xC0\xAF",
                           "\xC1\xBF",
                           "\xE0\x80\xAF",  // overlong
                           "\xF0\x80\x80\xAF",
                           "\xED\xA0\x80",
                           "\xED\xBF\xBF",  // surrogates
                           "\xF4\x90\x80\x80",
                           "\xF5\x80\x80\x80",
                           "a\xFF",  // past U+10FFFF, bad leads
                           "a\x80z",
                           "ab\xE4\xB8",
                           "\xE4\xB8"
                           "A",  // stray or cut continuations
                           "\xD6\xD0\xCE\xC4",
                           nullptr};  // double-byte text, no text
  for (const char *text : invalid) {
    EXPECT_EQ(LUM_NLS_IsStringUtf8(text), 0u) << testing::PrintToString(text);
  }
}

using Owned = std::unique_ptr<char, decltype(&free)>;
Owned Convert(const char *pcText, const char *pcTo, const char *pcFrom) {
  return Owned(LUM_NLS_IconvConvert(pcText, pcTo, pcFrom), &free);
}

TEST(IconvConvert, DoubleByteToUtf8UnderEveryName) {
  // "中文" in the double-byte encoding and in UTF-8.
  const char *dbcs = "\xD6\xD0\xCE\xC4";
  const char *utf8 = "\xE4\xB8\xAD\xE6\x96\x87";
  for (auto [to, from] : {std::pair{"utf8", "cp936"}, {"UTF-8", "CP936"}, {"utf8", "gbk"}}) {
    Owned out = Convert(dbcs, to, from);
    ASSERT_NE(out, nullptr) << to << " " << from;
    EXPECT_STREQ(out.get(), utf8);
  }
  Owned mixed = Convert("pc-\xD6\xD0", "utf8", "cp936");
  ASSERT_NE(mixed, nullptr);
  EXPECT_STREQ(mixed.get(), "pc-\xE4\xB8\xAD");
}

TEST(IconvConvert, RefusesWhatIsNotTextAndBoundsTheInput) {
  EXPECT_EQ(Convert("ab\xD6", "utf8", "cp936"), nullptr);      // lead byte cut off
  EXPECT_EQ(Convert("\xFF\xFF", "utf8", "cp936"), nullptr);    // no such character
  EXPECT_EQ(Convert("abc", "utf8", "no-such-code"), nullptr);  // unknown encoding
  EXPECT_EQ(Convert(nullptr, "utf8", "cp936"), nullptr);
  std::string limit(65536, 'a');
  Owned out = Convert(limit.c_str(), "utf8", "cp936");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(strlen(out.get()), limit.size());
  limit += 'a';
  EXPECT_EQ(Convert(limit.c_str(), "utf8", "cp936"), nullptr);
}

}  // namespace
