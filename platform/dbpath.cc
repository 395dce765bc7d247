// Dotted paths of objects and parameters, from the schema's templates.
#include "platform/dbstore.h"

namespace lum::db {

namespace {

void AppendPath(size_t kind, const Keys &keys, std::string &out) {
  const KindDef &def = kKinds[kind];
  if (def.iParent >= 0) AppendPath(static_cast<size_t>(def.iParent), keys, out);
  out += def.segment;
  if (!def.bSingleton) {
    out += std::to_string(keys[KeyCount(kind) - 1]);
    out += '.';
  }
}

// An instance number as the file writes it: 1 to 4294967295, no leading zero.
bool TakeInstance(std::string_view &rest, uint32_t *pulInst) {
  size_t len = 0;
  uint64_t value = 0;
  while (len < rest.size() && rest[len] >= '0' && rest[len] <= '9') {
    value = value * 10 + static_cast<uint64_t>(rest[len] - '0');
    if (value > UINT32_MAX) return false;
    ++len;
  }
  if (len == 0 || rest[0] == '0' || len >= rest.size() || rest[len] != '.') return false;
  *pulInst = static_cast<uint32_t>(value);
  rest.remove_prefix(len + 1);
  return true;
}

bool TakeKind(size_t kind, std::string_view &rest, Keys &keys) {
  const KindDef &def = kKinds[kind];
  if (def.iParent >= 0 && !TakeKind(static_cast<size_t>(def.iParent), rest, keys)) return false;
  if (!rest.starts_with(def.segment)) return false;
  rest.remove_prefix(def.segment.size());
  return def.bSingleton || TakeInstance(rest, &keys[KeyCount(kind) - 1]);
}

}  // namespace

std::string PathOf(size_t kind, const Keys &keys) {
  std::string out;
  out.reserve(96);
  AppendPath(kind, keys, out);
  return out;
}

bool ParsePath(std::string_view path, PathRef *pRef) {
  for (size_t kind = 0; kind < kKindCount; ++kind) {
    std::string_view rest = path;
    Keys keys{};
    if (!TakeKind(kind, rest, keys)) continue;
    if (rest.empty()) {
      *pRef = PathRef{kind, keys, true, 0};
      return true;
    }
    const std::span<const SlotDef> slots = kKinds[kind].slots;
    for (size_t slot = 0; slot < slots.size(); ++slot) {
      if (slots[slot].name == rest) {
        *pRef = PathRef{kind, keys, false, slot};
        return true;
      }
    }
  }
  return false;
}

}  // namespace lum::db
