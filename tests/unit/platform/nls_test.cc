// Character sets: the strict UTF-8 test at every boundary of the encoding, and
// the double-byte to UTF-8 conversion the leases file needs.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/lum.h"

namespace {

struct Utf8Case {
  const char *pcName;
  const char *pcText;
  uint32_t ulValid;
};

class IsStringUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(IsStringUtf8, Strict) {
  EXPECT_EQ(LUM_NLS_IsStringUtf8(GetParam().pcText), GetParam().ulValid) << GetParam().pcName;
}

INSTANTIATE_TEST_SUITE_P(Boundaries, IsStringUtf8,
                         ::testing::Values(Utf8Case{"empty", "", 1}, Utf8Case{"ascii", "host-1", 1},
                                           Utf8Case{"two bytes", "caf\xC3\xA9", 1},
                                           Utf8Case{"smallest two", "\xC2\x80", 1},
                                           Utf8Case{"three bytes", "\xE4\xB8\xAD\xE6\x96\x87", 1},
                                           Utf8Case{"smallest three", "\xE0\xA0\x80", 1},
                                           Utf8Case{"before surrogates", "\xED\x9F\xBF", 1},
                                           Utf8Case{"after surrogates", "\xEE\x80\x80", 1},
                                           Utf8Case{"four bytes", "\xF0\x9F\x98\x80", 1},
                                           Utf8Case{"largest", "\xF4\x8F\xBF\xBF", 1},
                                           Utf8Case{"overlong slash", "\xC0\xAF", 0},
                                           Utf8Case{"overlong C1", "\xC1\xBF", 0},
                                           Utf8Case{"overlong three", "\xE0\x80\xAF", 0},
                                           Utf8Case{"overlong four", "\xF0\x80\x80\xAF", 0},
                                           Utf8Case{"first surrogate", "\xED\xA0\x80", 0},
                                           Utf8Case{"last surrogate", "\xED\xBF\xBF", 0},
                                           Utf8Case{"past U+10FFFF", "\xF4\x90\x80\x80", 0},
                                           Utf8Case{"F5 lead", "\xF5\x80\x80\x80", 0},
                                           Utf8Case{"five-byte lead", "\xF8\x88\x80\x80\x80", 0},
                                           Utf8Case{"FF", "a\xFF", 0},
                                           Utf8Case{"lone continuation", "a\x80z", 0},
                                           Utf8Case{"cut at the end", "ab\xE4\xB8", 0},
                                           Utf8Case{"cut before ascii",
                                                    "\xE4\xB8"
                                                    "A",
                                                    0},
                                           Utf8Case{"double-byte text", "\xD6\xD0\xCE\xC4", 0}),
                         [](const ::testing::TestParamInfo<Utf8Case> &param) {
                           std::string name;
                           for (const char *p = param.param.pcName; *p != '\0'; ++p) {
                             name += (isalnum(static_cast<unsigned char>(*p)) != 0) ? *p : '_';
                           }
                           return name;
                         });

TEST(IsStringUtf8Args, NullIsNotText) { EXPECT_EQ(LUM_NLS_IsStringUtf8(nullptr), 0u); }

using Owned = std::unique_ptr<char, decltype(&free)>;
Owned Convert(const char *pcText, const char *pcTo, const char *pcFrom) {
  return Owned(LUM_NLS_IconvConvert(pcText, pcTo, pcFrom), &free);
}

TEST(IconvConvert, DoubleByteToUtf8UnderEveryName) {
  // "中文" in the double-byte encoding and in UTF-8.
  const char *dbcs = "\xD6\xD0\xCE\xC4";
  const char *utf8 = "\xE4\xB8\xAD\xE6\x96\x87";
  for (auto [to, from] : {std::pair{"utf8", "cp936"}, std::pair{"UTF-8", "CP936"},
                          std::pair{"utf8", "gbk"}, std::pair{"Utf8", "Cp936"}}) {
    Owned out = Convert(dbcs, to, from);
    ASSERT_NE(out, nullptr) << to << " " << from;
    EXPECT_STREQ(out.get(), utf8);
  }
  Owned back = Convert(utf8, "cp936", "utf8");
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back.get(), dbcs);
  Owned mixed = Convert("pc-\xD6\xD0", "utf8", "cp936");
  ASSERT_NE(mixed, nullptr);
  EXPECT_STREQ(mixed.get(), "pc-\xE4\xB8\xAD");
  Owned empty = Convert("", "utf8", "cp936");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty.get(), "");
}

TEST(IconvConvert, RefusesWhatIsNotText) {
  EXPECT_EQ(Convert("ab\xD6", "utf8", "cp936"), nullptr);      // lead byte cut off
  EXPECT_EQ(Convert("\xFF\xFF", "utf8", "cp936"), nullptr);    // no such character
  EXPECT_EQ(Convert("\xC0\xAF", "cp936", "utf8"), nullptr);    // overlong UTF-8
  EXPECT_EQ(Convert("abc", "utf8", "no-such-code"), nullptr);  // unknown encoding
  EXPECT_EQ(Convert(nullptr, "utf8", "cp936"), nullptr);
  EXPECT_EQ(Convert("abc", nullptr, "cp936"), nullptr);
  EXPECT_EQ(Convert("abc", "utf8", nullptr), nullptr);
}

TEST(IconvConvert, InputBounded) {
  std::string limit(65536, 'a');
  Owned out = Convert(limit.c_str(), "utf8", "cp936");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(strlen(out.get()), limit.size());
  std::string over(65537, 'a');
  EXPECT_EQ(Convert(over.c_str(), "utf8", "cp936"), nullptr);
}

}  // namespace
