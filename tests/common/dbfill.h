// Fills the in-memory database for tests, fuzz targets and benchmarks: one
// object with its kind's defaults and the given texts and numbers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/lumdb.h"

namespace dbfill {

using Texts = std::vector<std::pair<uint32_t, std::string>>;
using Nums = std::vector<std::pair<uint32_t, uint32_t>>;

// 0, or the status code of the step that failed; the new instance in *pulInst.
inline uint32_t AddObject(const uint32_t *pulParent, uint32_t ulKind, const Texts &texts,
                          const Nums &numbers, uint32_t *pulInst) {
  *pulInst = 0;
  LUM_DB_SLOT *pstValue = nullptr;
  uint32_t ulRet = LUM_DBGetDftObject(ulKind, &pstValue, 0);
  if (ulRet != 0) return ulRet;
  for (const auto &[slot, text] : texts) {
    if (ulRet == 0) ulRet = LUM_KEM_SetObjStrValue(slot, pstValue, text.c_str());
  }
  for (const auto &[slot, number] : numbers) pstValue[slot].ulNum = number;
  if (ulRet == 0) ulRet = LUM_DBAddObj(pulParent, ulKind, pstValue, pulInst);
  LUM_KEM_FreeObj(ulKind, pstValue);
  return ulRet;
}

}  // namespace dbfill
