// Small utilities of the platform. Lists over records with the next pointer
// first: deletes during a walk, and refusals that would corrupt the list or
// free a record not in it. Bounded formatting: nothing written past the size,
// a refused call leaves the destination as it was. Character sets:
// strict UTF-8, and the double-byte conversion the leases file needs. Network
// utilities: MAC masks cut at the buffer (the kernel queries have system
// tests of their own).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <tuple>

#include "platform/lum.h"
#include "platform/testing.h"

namespace {

using namespace std::string_literals;

struct Item {
  Item *pNext;
  int iValue;
};

std::string g_released;  // values, in release order; '!' when the head was not yet empty
Item *g_head = nullptr;

void Release(void *pvItem) {
  g_released += std::to_string(static_cast<Item *>(pvItem)->iValue) + (g_head ? "!" : "");
}

// A fresh list of the values 1 to iCount.
void Fill(int iCount) {
  LUM_UTIL_ListDeleteAll(&g_head, nullptr);
  g_released.clear();
  for (int i = 1; i <= iCount; ++i) {
    auto *item = static_cast<Item *>(malloc(sizeof(Item)));
    *item = {reinterpret_cast<Item *>(0xdead), i};  // Append must not trust the link
    EXPECT_EQ(LUM_UTIL_ListAppend(&g_head, item), 0u);
  }
}

TEST(Lists, DeletesDuringAWalkKeepTheListWholeAndRefusalsLeaveItAsItWas) {
  Fill(3);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, g_head), 0u);  // either would close a ring
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, g_head->pNext->pNext), 0u);
  Item onStack{nullptr, 99};  // freeing it would crash
  EXPECT_NE(LUM_UTIL_ListDeleteItem(&g_head, &onStack, Release), 0u);
  EXPECT_EQ(LUM_UTIL_ListGetCount(g_head), 3u);
  EXPECT_EQ(g_released, "");
  Fill(8);
  for (Item *item = g_head, *next = nullptr; item != nullptr; item = next) {
    next = item->pNext;  // the successor first
    if (item->iValue % 2 == 0 || item->iValue == 1) {
      ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, item, Release), 0u);
    }
  }
  EXPECT_EQ(g_released, "1!2!4!6!8!");
  // The tail is still a tail: what is appended comes after it. DeleteAll
  // empties the head before it releases anything.
  ASSERT_EQ(LUM_UTIL_ListAppend(&g_head, calloc(1, sizeof(Item))), 0u);
  ASSERT_EQ(LUM_UTIL_ListDeleteAll(&g_head, Release), 0u);
  EXPECT_EQ(g_released, "1!2!4!6!8!3570");
}

TEST(NewSnprintfS, CutsToTheSmallerOfTheMaximumAndTheSizeLessOneAndTerminates) {
  using Case = std::tuple<size_t, size_t, int, std::string>;  // size, maximum, result, buffer
  for (const auto &[ulSize, ulMax, iWant, after] :
       {Case{9, 100, 8, "abcdefgh\0ZZZZZZZ"s}, Case{8, 100, -1, "abcdefg\0ZZZZZZZZ"s},
        Case{9, 8, 8, "abcdefgh\0ZZZZZZZ"s}, Case{9, 3, -1, "abc\0ZZZZZZZZZZZZ"s},
        Case{1, 100, -1, "\0ZZZZZZZZZZZZZZZ"s}, Case{0, 5, -1, "ZZZZZZZZZZZZZZZZ"s},
        Case{static_cast<size_t>(-1), 5, -1, "ZZZZZZZZZZZZZZZZ"s}}) {
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(new_snprintf_s(__FILE__, __LINE__, buf, ulSize, ulMax, "%s", "abcdefgh"), iWant);
    EXPECT_EQ(std::string(buf, sizeof(buf)), after) << ulSize << " " << ulMax;
  }
}

TEST(Nls, Utf8IsStrictAtTheBoundariesOfTheEncoding) {
  for (const char *valid : {"", "host-1", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF",
                            "\xEE\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_EQ(LUM_NLS_IsStringUtf8(valid), 1u) << testing::PrintToString(valid);
  }
  // Overlong forms, surrogates, past U+10FFFF, stray or cut continuations.
  for (const char *invalid : {"\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                              "\xF4\x90\x80\x80", "a\xFF", "a\x80z", "ab\xE4\xB8", "\xE4\xB8q"}) {
    EXPECT_EQ(LUM_NLS_IsStringUtf8(invalid), 0u) << testing::PrintToString(invalid);
  }
}

// A name converted is checked where the leases file is read.
TEST(Nls, DoubleByteConversionRefusesWhatIsNotTextAndPassesUpTo64KiB) {
  auto convert = [](const std::string &text, const char *pcTo, const char *pcFrom) {
    std::unique_ptr<char, decltype(&free)> out(LUM_NLS_IconvConvert(text.c_str(), pcTo, pcFrom),
                                               &free);
    return out != nullptr ? std::string(out.get()) : "(refused)";
  };
  EXPECT_EQ(convert("ab\xD6", "utf8", "cp936"), "(refused)");      // lead byte cut off
  EXPECT_EQ(convert("\xFF\xFF", "utf8", "cp936"), "(refused)");    // no such character
  EXPECT_EQ(convert("abc", "utf8", "no-such-code"), "(refused)");  // unknown encoding
  EXPECT_EQ(convert(std::string(65536, 'a'), "utf8", "cp936"), std::string(65536, 'a'));
  EXPECT_EQ(convert(std::string(65537, 'a'), "utf8", "cp936"), "(refused)");
}

TEST(NetUtil, MacMasksAreCutAtTheSizeAndNeverWritePastIt) {
  const uint8_t kMac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  char out[32];
  for (auto [pucMac, pcMac, ulSize, pcWant] :
       {std::tuple<const uint8_t *, const char *, uint32_t, const char *>{
            kMac, "ff:ff:ff:ff:ff:ff", 18, "00:1A:**:**:**:5E"},  // the bytes win
        {nullptr, "fF-eE-dd-cc-bb-0a", 18, "FF:EE:**:**:**:0A"},
        {nullptr, "00:1a-2b:3c:4d:5e", 18, "**:**:**:**:**:**"},
        {kMac, nullptr, 17, "00:1A:**:**:**:5"},
        {kMac, nullptr, 1, ""}}) {
    memset(out, 'Z', sizeof(out));
    EXPECT_EQ(LUM_UTIL_Disguise_MacAddress(pucMac, pcMac, out, ulSize), 0u);
    EXPECT_EQ(std::string(out, ulSize + 1), std::string(pcWant) + '\0' + 'Z');
  }
  // Cut, the secure form stays terminated but the call reports it.
  EXPECT_NE(LUM_UTIL_GetSecureMacAddress("aa-bb-cc-dd-ee-ff", out, 17), 0u);
  EXPECT_STREQ(out, "AA:BB:CC:**:**:F");
  // A text that is no MAC (a leases record may hold one) is masked whole.
  EXPECT_EQ(LUM_UTIL_GetSecureMacAddress("client-21", out, 18), 0u);
  EXPECT_STREQ(out, "**:**:**:**:**:**");
}

// Other programs split the event log at tabs: the time is a field too.
TEST(EventLog, TimeIdAndEveryTextAreSeparatedByTabs) {
  char acDir[] = "/tmp/hostmon-eventlog-XXXXXX";
  ASSERT_NE(mkdtemp(acDir), nullptr);
  const std::string path = std::string(acDir) + "/event.log";
  setenv("LUM_EVENT_LOG", path.c_str(), 1);
  lum::testing::ReleaseLogs();
  LUM_LOG_API_Record_Log(0x1234, "a b", "c", nullptr);
  unsetenv("LUM_EVENT_LOG");
  std::string line;
  std::getline(std::ifstream(path), line);
  std::filesystem::remove_all(acDir);
  EXPECT_TRUE(std::regex_match(line, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ"
                                                "\t0x00001234\ta b\tc")))
      << line;
}

}  // namespace
