// Lists over records with the next pointer first: order, deletes at every
// position and during a walk, the release callback, finding.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/lum.h"

namespace {

struct Item {
  Item *pNext;
  int iValue;
  char *pcOwned;  // what the release callback frees
};

std::vector<int> g_released;
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
  g_released.push_back(item->iValue);
  if (g_head != nullptr) g_headWasEmptyOnRelease = false;
  free(item->pcOwned);
  item->pcOwned = nullptr;
}

std::vector<int> Values(const Item *head) {
  std::vector<int> values;
  for (const Item *item = head; item != nullptr; item = item->pNext) values.push_back(item->iValue);
  return values;
}

class ListsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_released.clear();
    g_head = nullptr;
    g_headWasEmptyOnRelease = true;
  }
  void TearDown() override { LUM_UTIL_ListDeleteAll(&g_head, Release); }
  void Fill(int iCount) {
    for (int i = 1; i <= iCount; ++i) ASSERT_EQ(LUM_UTIL_ListAppend(&g_head, NewItem(i)), 0u);
  }
  Item *At(int iIndex) {
    Item *item = g_head;
    while (iIndex-- > 0) item = item->pNext;
    return item;
  }
};

TEST_F(ListsTest, AppendLinksAtTheTailAndCounts) {
  EXPECT_EQ(LUM_UTIL_ListGetCount(g_head), 0u);
  Fill(5);
  EXPECT_EQ(Values(g_head), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(LUM_UTIL_ListGetCount(g_head), 5u);
  EXPECT_EQ(At(4)->pNext, nullptr);
}

TEST_F(ListsTest, AppendRefusesALinkedRecordAndMissingArguments) {
  Fill(3);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, At(0)), 0u);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, At(2)), 0u);
  EXPECT_EQ(Values(g_head), (std::vector<int>{1, 2, 3}));
  EXPECT_NE(LUM_UTIL_ListAppend(nullptr, At(0)), 0u);
  EXPECT_NE(LUM_UTIL_ListAppend(&g_head, nullptr), 0u);
  EXPECT_EQ(LUM_UTIL_ListGetCount(nullptr), 0u);
}

class ListDeletePositionTest : public ListsTest, public ::testing::WithParamInterface<int> {};

TEST_P(ListDeletePositionTest, UnlinksReleasesAndKeepsTheRest) {
  int index = GetParam();
  Fill(5);
  Item *victim = At(index);
  int value = victim->iValue;
  ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, victim, Release), 0u);
  EXPECT_EQ(g_released, (std::vector<int>{value}));
  std::vector<int> expected{1, 2, 3, 4, 5};
  expected.erase(expected.begin() + index);
  EXPECT_EQ(Values(g_head), expected);
  EXPECT_EQ(LUM_UTIL_ListGetCount(g_head), 4u);
  // The tail is still a tail: appending goes after it.
  ASSERT_EQ(LUM_UTIL_ListAppend(&g_head, NewItem(6)), 0u);
  expected.push_back(6);
  EXPECT_EQ(Values(g_head), expected);
}

INSTANTIATE_TEST_SUITE_P(Positions, ListDeletePositionTest, ::testing::Values(0, 2, 4),
                         [](const ::testing::TestParamInfo<int> &stParam) {
                           return stParam.param == 0   ? "Head"
                                  : stParam.param == 4 ? "Tail"
                                                       : "Middle";
                         });

TEST_F(ListsTest, DeleteTheOnlyRecordEmptiesTheHead) {
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
  EXPECT_EQ(Values(g_head), (std::vector<int>{3, 5, 7}));
  EXPECT_EQ(g_released, (std::vector<int>{1, 2, 4, 6, 8}));
}

TEST_F(ListsTest, DeleteWithoutReleaseCallbackFreesTheRecordOnly) {
  Fill(2);
  Item *first = g_head;
  char *owned = first->pcOwned;
  ASSERT_EQ(LUM_UTIL_ListDeleteItem(&g_head, first, nullptr), 0u);
  free(owned);
  EXPECT_EQ(Values(g_head), (std::vector<int>{2}));
  EXPECT_TRUE(g_released.empty());
}

TEST_F(ListsTest, DeleteRefusesARecordNotInTheListWithoutFreeingIt) {
  Fill(2);
  Item onStack{nullptr, 99, nullptr};  // freeing it would crash
  EXPECT_NE(LUM_UTIL_ListDeleteItem(&g_head, &onStack, Release), 0u);
  EXPECT_TRUE(g_released.empty());
  EXPECT_NE(LUM_UTIL_ListDeleteItem(nullptr, g_head, Release), 0u);
  EXPECT_NE(LUM_UTIL_ListDeleteItem(&g_head, nullptr, Release), 0u);
  Item *empty = nullptr;
  EXPECT_NE(LUM_UTIL_ListDeleteItem(&empty, &onStack, Release), 0u);
  EXPECT_EQ(Values(g_head), (std::vector<int>{1, 2}));
}

TEST_F(ListsTest, DeleteAllReleasesInOrderAndEmptiesTheHeadFirst) {
  Fill(4);
  ASSERT_EQ(LUM_UTIL_ListDeleteAll(&g_head, Release), 0u);
  EXPECT_EQ(g_head, nullptr);
  EXPECT_EQ(g_released, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(g_headWasEmptyOnRelease);
  EXPECT_EQ(LUM_UTIL_ListDeleteAll(&g_head, Release), 0u);
  EXPECT_NE(LUM_UTIL_ListDeleteAll(nullptr, Release), 0u);
}

int ValueAbove(void *pvItem, void *pvKey) {
  return static_cast<Item *>(pvItem)->iValue > *static_cast<int *>(pvKey) ? 1 : 0;
}

TEST_F(ListsTest, FindGivesTheFirstRecordTheComparisonAccepts) {
  Fill(5);
  int key = 2;
  EXPECT_EQ(LUM_UTIL_ListFindItem(g_head, &key, ValueAbove), At(2));
  key = 0;
  EXPECT_EQ(LUM_UTIL_ListFindItem(g_head, &key, ValueAbove), g_head);
  key = 5;
  EXPECT_EQ(LUM_UTIL_ListFindItem(g_head, &key, ValueAbove), nullptr);
  EXPECT_EQ(LUM_UTIL_ListFindItem(g_head, &key, nullptr), nullptr);
  EXPECT_EQ(LUM_UTIL_ListFindItem(nullptr, &key, ValueAbove), nullptr);
}

}  // namespace
