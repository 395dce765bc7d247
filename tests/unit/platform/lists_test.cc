// Lists over records with the next pointer first: order, deletes at every
// position and during a walk, the release callback, finding.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/lum.h"

namespace {

struct Item {
  Item *pNext;
  int iValue;
  char *pcOwned;  // what the release callback frees
};

std::string g_released;  // values, in release order
Item *g_head = nullptr;
bool g_headWasEmptyOnRelease = true;

Item *NewItem(int iValue) {
  auto *item = static_cast<Item *>(malloc(sizeof(Item)));
  item->pNext = reinterpret_cast<Item *>(0xdead);  // Append must not trust it
  item->iValue = iValue;
  item->pcOwned = strdup("owned");
  return item;
}

void Release(void *pvItem) {
  auto *item = static_cast<Item *>(pvItem);
  g_released += std::to_string(item->iValue);
  if (g_head != nullptr) g_headWasEmptyOnRelease = false;
  free(item->pcOwned);
}

std::string Values() {
  std::string values;
  for (const Item *item = g_head; item != nullptr; item = item->pNext) {
    values += std::to_string(item->iValue);
  }
  return values;
}

class ListsTest : public ::testing::Test {
 protected:
  void SetUp() override { Fill(5); }
  void TearDown() override { LUM_UTIL_ListDeleteAll(&g_head, Release); }
  static void Fill(int iCount) {
    LUM_UTIL_ListDeleteAll(&g_head, Release);
    g_released.clear();
    g_headWasEmptyOnRelease = true;
    for (int i = 1; i <= iCount; ++i) ASSERT_EQ(LUM_UTIL_ListAppend(&g_head, NewItem(i)), 0u);
  }
  static Item *At(int iIndex) {
    Item *item = g_head;
    while (iIndex-- > 0) item = item->pNext;
    return item;
  }
};

TEST_F(ListsTest, AppendLinksAtTheTailAndRefusesALinkedRecord) {
  EXPECT_EQ(Values(), "12345");
  EXPECT_EQ(LUM_UTIL_ListGetCount(g_head), 5u);
  EXPECT_EQ(At(4)->pNext, nullptr);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, At(0)), 0u);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, At(4)), 0u);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, nullptr), 0u);
  EXPECT_EQ(Values(), "12345");
  EXPECT_EQ(LUM_UTIL_ListGetCount(nullptr), 0u);
}

TEST_F(ListsTest, DeleteAtEveryPositionUnlinksReleasesAndKeepsTheTail) {
  for (int index : {0, 2, 4}) {
    SCOPED_TRACE(index);
    Fill(5);
    ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, At(index), Release), 0u);
    EXPECT_EQ(g_released, std::to_string(index + 1));
    EXPECT_EQ(LUM_UTIL_ListGetCount(g_head), 4u);
    // The tail is still a tail: appending goes after it.
    ASSERT_EQ(LUM_UTIL_ListAppend(&g_head, NewItem(6)), 0u);
    EXPECT_EQ(Values(), std::string("12345").erase(static_cast<size_t>(index), 1) + "6");
  }
  Fill(1);
  ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, g_head, Release), 0u);
  EXPECT_EQ(g_head, nullptr);
}

TEST_F(ListsTest, WalkThatDeletesKeepsTheSuccessorFirst) {
  Fill(8);
  for (Item *item = g_head, *next = nullptr; item != nullptr; item = next) {
    next = item->pNext;
    if (item->iValue % 2 == 0 || item->iValue == 1) {
      ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, item, Release), 0u);
    }
  }
  EXPECT_EQ(Values(), "357");
  EXPECT_EQ(g_released, "12468");
}

TEST_F(ListsTest, DeleteWithoutReleaseAndOfAForeignRecord) {
  char *owned = g_head->pcOwned;
  ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, g_head, nullptr), 0u);
  free(owned);
  EXPECT_EQ(g_released, "");
  Item onStack{nullptr, 99, nullptr};  // freeing it would crash
  EXPECT_NE(LUM_UTIL_ListDeleteItem(&g_head, &onStack, Release), 0u);
  Item *empty = nullptr;
  EXPECT_NE(LUM_UTIL_ListDeleteItem(&empty, &onStack, Release), 0u);
  EXPECT_EQ(g_released, "");
  EXPECT_EQ(Values(), "2345");
}

int ValueAbove(void *pvItem, void *pvKey) {
  return static_cast<Item *>(pvItem)->iValue > *static_cast<int *>(pvKey) ? 1 : 0;
}

TEST_F(ListsTest, FindGivesTheFirstAcceptedAndDeleteAllReleasesInOrderHeadEmptiedFirst) {
  for (auto [key, iWant] : {std::pair{2, 3}, {0, 1}, {5, 0}}) {
    Item *found = static_cast<Item *>(LUM_UTIL_ListFindItem(g_head, &key, ValueAbove));
    EXPECT_EQ(found != nullptr ? found->iValue : 0, iWant) << key;
  }
  ASSERT_EQ(LUM_UTIL_ListDeleteAll(&g_head, Release), 0u);
  EXPECT_EQ(g_head, nullptr);
  EXPECT_EQ(g_released, "12345");
  EXPECT_TRUE(g_headWasEmptyOnRelease);
}

}  // namespace
