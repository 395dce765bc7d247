#include "platform/dbschema.h"

namespace lum::db {

namespace {

constexpr ParaDef kParas[] = {
    {LUM_DB_PARA_HOST_IPV4_ACTIVE, kHost, 14},
    {LUM_DB_PARA_HOST_IPV6_ACTIVE, kHost, 15},
    {LUM_DB_PARA_HOST_LAST_CHANGE, kHost, 4},
};

constexpr bool ParasAreNumbers() {
  for (const ParaDef &para : kParas) {
    if (para.slot >= kKinds[para.kind].slots.size()) return false;
    if (!kKinds[para.kind].slots[para.slot].bNumber) return false;
  }
  return true;
}
static_assert(ParasAreNumbers());

}  // namespace

std::optional<ParaDef> FindPara(uint32_t ulParaId) {
  for (const ParaDef &para : kParas) {
    if (para.ulId == ulParaId) return para;
  }
  return std::nullopt;
}

}  // namespace lum::db
