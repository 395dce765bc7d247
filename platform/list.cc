// Lists over plain records whose first field is the next pointer.
#include <cstdlib>

#include "platform/clock.h"
#include "platform/lum.h"

namespace {

struct Node {
  Node *pNext;
};

Node **HeadOf(void *ppvHead) { return static_cast<Node **>(ppvHead); }

}  // namespace

uint32_t LUM_UTIL_ListAppend(void *ppvHead, void *pvItem) {
  if (ppvHead == nullptr || pvItem == nullptr) {
    LUM_CORE_TRACE("list: append refused: %s missing", ppvHead == nullptr ? "head" : "item");
    return 1;
  }
  Node *item = static_cast<Node *>(pvItem);
  Node **link = HeadOf(ppvHead);
  for (; *link != nullptr; link = &(*link)->pNext) {
    // Linking a record twice would close the list into a ring.
    if (*link == item) {
      LUM_CORE_TRACE("list: append refused: the record is already linked");
      return 1;
    }
  }
  item->pNext = nullptr;
  *link = item;
  return 0;
}

uint32_t LUM_UTIL_ListDeleteItem(void *ppvHead, void *pvItem, LUM_LIST_FREE_CB pfnFree) {
  if (ppvHead == nullptr || pvItem == nullptr) {
    LUM_CORE_TRACE("list: delete refused: %s missing", ppvHead == nullptr ? "head" : "item");
    return 1;
  }
  Node *item = static_cast<Node *>(pvItem);
  for (Node **link = HeadOf(ppvHead); *link != nullptr; link = &(*link)->pNext) {
    if (*link != item) continue;
    *link = item->pNext;
    item->pNext = nullptr;
    if (pfnFree != nullptr) pfnFree(item);
    free(item);
    return 0;
  }
  // Not ours to free: it may live in another list, or on the stack.
  LUM_CORE_TRACE("list: delete refused: the record is not in the list");
  return 1;
}

uint32_t LUM_UTIL_ListDeleteAll(void *ppvHead, LUM_LIST_FREE_CB pfnFree) {
  if (ppvHead == nullptr) {
    LUM_CORE_TRACE("list: delete-all refused: head missing");
    return 1;
  }
  // Detached first: a release callback that looks at the list finds it empty.
  Node *item = *HeadOf(ppvHead);
  *HeadOf(ppvHead) = nullptr;
  while (item != nullptr) {
    Node *next = item->pNext;
    if (pfnFree != nullptr) pfnFree(item);
    free(item);
    item = next;
  }
  return 0;
}

uint32_t LUM_UTIL_ListGetCount(const void *pvHead) {
  uint32_t count = 0;
  for (const Node *item = static_cast<const Node *>(pvHead); item != nullptr; item = item->pNext) {
    ++count;
  }
  return count;
}

void *LUM_UTIL_ListFindItem(void *pvHead, void *pvKey, LUM_LIST_CMP_CB pfnCmp) {
  if (pfnCmp == nullptr) {
    LUM_CORE_TRACE("list: find refused: comparison missing");
    return nullptr;
  }
  for (Node *item = static_cast<Node *>(pvHead); item != nullptr; item = item->pNext) {
    if (pfnCmp(item, pvKey) != 0) return item;
  }
  return nullptr;
}
