// The in-memory store: per kind a vector sorted by key list.
#include "platform/dbstore.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace lum::db {

namespace {

bool KeyLess(const Object &obj, const Keys &keys) { return obj.keys < keys; }

bool AllSet(const Keys &keys, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (keys[i] == 0) return false;
  }
  return true;
}

bool SamePrefix(const Keys &a, const Keys &b, size_t n) {
  return std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin());
}

void InsertSorted(std::vector<Object> &table, Object obj) {
  auto pos = std::lower_bound(table.begin(), table.end(), obj.keys, KeyLess);
  table.insert(pos, std::move(obj));
}

}  // namespace

namespace {

// Views of slots, valid while slots lives.
size_t ViewsOf(const std::vector<Slot> &slots, std::array<SlotView, kMaxSlots> *pViews) {
  const size_t n = std::min(slots.size(), kMaxSlots);
  for (size_t i = 0; i < n; ++i) (*pViews)[i] = {slots[i].ulNum, slots[i].text};
  return n;
}

}  // namespace

Object::Object(size_t kind, const Keys &k, const std::vector<Slot> &slots)
    : keys(k), m_body(std::make_unique<Body>(Body{kind, {}, {}})) {
  Assign(slots);
}

Object::Object(size_t kind, const Keys &k, std::span<const SlotView> slots)
    : keys(k), m_body(std::make_unique<Body>(Body{kind, {}, {}})) {
  Assign(slots);
}

Object::Object(const Object &other)
    : keys(other.keys), m_body(other.m_body ? std::make_unique<Body>(*other.m_body) : nullptr) {}

Object &Object::operator=(const Object &other) {
  if (this != &other) {
    keys = other.keys;
    m_body = other.m_body ? std::make_unique<Body>(*other.m_body) : nullptr;
  }
  return *this;
}

bool Object::operator==(const Object &other) const {
  if (keys != other.keys) return false;
  if (!m_body || !other.m_body) return m_body == other.m_body;
  return *m_body == *other.m_body;
}

void Object::Assign(const std::vector<Slot> &slots) {
  std::array<SlotView, kMaxSlots> views;
  Assign(std::span<const SlotView>(views.data(), ViewsOf(slots, &views)));
}

void Object::Assign(std::span<const SlotView> slots) {
  const std::span<const SlotDef> defs = kKinds[m_body->kind].slots;
  std::vector<uint32_t> &words = m_body->words;
  std::string &texts = m_body->texts;
  words.assign(defs.size(), 0);
  texts.clear();
  for (size_t i = 0; i < defs.size(); ++i) {
    if (defs[i].bNumber) {
      words[i] = i < slots.size() ? slots[i].ulNum : 0;
      continue;
    }
    words[i] = static_cast<uint32_t>(texts.size());
    if (i < slots.size()) {
      const std::string_view text = slots[i].text;
      texts.append(text.substr(0, text.find('\0')));  // up to a NUL, as C reads it
    }
    texts.push_back('\0');
  }
}

std::vector<Slot> Object::Slots() const {
  const std::span<const SlotDef> defs = kKinds[m_body->kind].slots;
  std::vector<Slot> slots(defs.size());
  for (size_t i = 0; i < defs.size(); ++i) {
    if (defs[i].bNumber) {
      slots[i].ulNum = m_body->words[i];
    } else {
      slots[i].text = Text(i);
    }
  }
  return slots;
}

void Object::SetText(size_t slot, std::string_view text) {
  std::vector<Slot> slots = Slots();
  slots[slot].text = text;
  Assign(slots);
}

Keys Prefix(const Keys &keys, size_t n) {
  Keys out{};
  std::copy_n(keys.begin(), std::min(n, keys.size()), out.begin());
  return out;
}

std::vector<Slot> DefaultSlots(size_t kind) { return std::vector<Slot>(kKinds[kind].slots.size()); }

const Object *Store::Find(size_t kind, const Keys &keys) const {
  const std::vector<Object> &table = m_tables[kind];
  // Walks ask for one object after the other: where the last one was, and
  // the one after it, answer most questions without a search.
  size_t &hint = m_findHint[kind];
  for (size_t i : {hint, hint + 1}) {
    if (i < table.size() && table[i].keys == keys) {
      hint = i;
      return &table[i];
    }
  }
  auto pos = std::lower_bound(table.begin(), table.end(), keys, KeyLess);
  if (pos == table.end() || pos->keys != keys) return nullptr;
  hint = static_cast<size_t>(pos - table.begin());
  return &*pos;
}

Object *Store::Find(size_t kind, const Keys &keys) {
  return const_cast<Object *>(std::as_const(*this).Find(kind, keys));
}

bool Store::ParentExists(size_t kind, const Keys &keys) const {
  int parent = kKinds[kind].iParent;
  if (parent < 0) return true;
  size_t pk = KeyCount(static_cast<size_t>(parent));
  return AllSet(keys, pk) && Find(static_cast<size_t>(parent), Prefix(keys, pk)) != nullptr;
}

std::span<const Object> Store::Under(size_t kind, const Keys &prefix, size_t n) const {
  const std::vector<Object> &table = m_tables[kind];
  if (n == 0) return table;
  auto less = [n](const Keys &a, const Keys &b) {
    return std::lexicographical_compare(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n),
                                        b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
  };
  auto lo = std::partition_point(table.begin(), table.end(),
                                 [&](const Object &o) { return less(o.keys, prefix); });
  auto hi =
      std::partition_point(lo, table.end(), [&](const Object &o) { return !less(prefix, o.keys); });
  return {lo, hi};
}

void Store::NoteInstance(size_t kind, const Keys &keys) {
  if (kKinds[kind].bSingleton) return;
  size_t pk = ParentKeyCount(kind);
  uint32_t &highest = m_highest[{kind, Prefix(keys, pk)}];
  highest = std::max(highest, keys[pk]);
}

void Store::DropCounters(size_t kind, const Keys &keys) {
  // Counters are ordered by kind, then key list: those of one kind below the
  // object are one run, starting at its key list's prefix.
  size_t n = KeyCount(kind);
  for (size_t d = 0; d < kKindCount; ++d) {
    if (!IsBelow(d, kind)) continue;
    auto first = m_highest.lower_bound({d, Prefix(keys, n)});
    auto last = first;
    while (last != m_highest.end() && last->first.first == d &&
           SamePrefix(last->first.second, keys, n)) {
      ++last;
    }
    m_highest.erase(first, last);
  }
}

uint32_t Store::Add(size_t kind, const Keys &parent, const std::vector<Slot> &slots,
                    Keys *pNewKeys) {
  std::array<SlotView, kMaxSlots> views;
  return Add(kind, parent, std::span<const SlotView>(views.data(), ViewsOf(slots, &views)),
             pNewKeys);
}

uint32_t Store::Add(size_t kind, const Keys &parent, std::span<const SlotView> slots,
                    Keys *pNewKeys) {
  size_t pk = ParentKeyCount(kind);
  Keys keys = Prefix(parent, pk);
  if (!ParentExists(kind, keys)) return LUM_DB_ERR_NO_PARENT;
  if (kKinds[kind].bSingleton) {
    if (Find(kind, keys) != nullptr) return LUM_DB_ERR_EXISTS;
  } else {
    auto it = m_highest.find({kind, keys});
    uint32_t highest = it == m_highest.end() ? 0 : it->second;
    if (highest == UINT32_MAX) return LUM_DB_ERR_NO_ROOM;
    keys[pk] = highest + 1;
  }
  InsertSorted(m_tables[kind], Object(kind, keys, slots));
  NoteInstance(kind, keys);
  if (pNewKeys != nullptr) *pNewKeys = keys;
  return 0;
}

uint32_t Store::Insert(size_t kind, const Keys &keys, const std::vector<Slot> &slots) {
  size_t n = KeyCount(kind);
  Keys exact = Prefix(keys, n);
  if (!AllSet(exact, n) || slots.size() != kKinds[kind].slots.size()) return LUM_DB_ERR_PARAM;
  if (!ParentExists(kind, exact)) return LUM_DB_ERR_NO_PARENT;
  if (Find(kind, exact) != nullptr) return LUM_DB_ERR_EXISTS;
  InsertSorted(m_tables[kind], Object(kind, exact, slots));
  NoteInstance(kind, exact);
  return 0;
}

uint32_t Store::Delete(size_t kind, const Keys &keys) {
  if (Find(kind, keys) == nullptr) return LUM_DB_ERR_NOT_FOUND;
  size_t n = KeyCount(kind);
  for (size_t d = 0; d < kKindCount; ++d) {
    if (d != kind && !IsBelow(d, kind)) continue;
    std::span<const Object> range = Under(d, keys, n);
    std::vector<Object> &table = m_tables[d];
    auto first = table.begin() + (range.data() - table.data());
    table.erase(first, first + static_cast<std::ptrdiff_t>(range.size()));
  }
  // Instance numbers below a deleted object can never be asked for again.
  DropCounters(kind, keys);
  return 0;
}

uint32_t Store::Move(size_t kind, const Keys &keys, const Keys &newParent, Keys *pNewKeys) {
  if (kKinds[kind].iParent < 0) return LUM_DB_ERR_PARAM;
  if (Find(kind, keys) == nullptr) return LUM_DB_ERR_NOT_FOUND;
  size_t pk = ParentKeyCount(kind);
  Keys target = Prefix(newParent, pk);
  if (!ParentExists(kind, target)) return LUM_DB_ERR_NO_PARENT;
  if (kKinds[kind].bSingleton) {
    if (Find(kind, target) != nullptr) return LUM_DB_ERR_EXISTS;
  } else {
    auto it = m_highest.find({kind, target});
    uint32_t highest = it == m_highest.end() ? 0 : it->second;
    if (highest == UINT32_MAX) return LUM_DB_ERR_NO_ROOM;
    target[pk] = highest + 1;
  }
  size_t n = KeyCount(kind);
  for (size_t d = 0; d < kKindCount; ++d) {
    if (d != kind && !IsBelow(d, kind)) continue;
    std::span<const Object> range = Under(d, keys, n);
    std::vector<Object> &table = m_tables[d];
    auto first = table.begin() + (range.data() - table.data());
    auto last = first + static_cast<std::ptrdiff_t>(range.size());
    std::vector<Object> moving(std::make_move_iterator(first), std::make_move_iterator(last));
    table.erase(first, last);
    for (Object &obj : moving) {
      std::copy_n(target.begin(), n, obj.keys.begin());
      InsertSorted(table, std::move(obj));
    }
  }
  // The sub-objects keep their numbers, and so does their counter.
  std::vector<std::pair<CounterKey, uint32_t>> carried;
  for (const auto &[counter, highest] : m_highest) {
    if (IsBelow(counter.first, kind) && SamePrefix(counter.second, keys, n)) {
      Keys moved = counter.second;
      std::copy_n(target.begin(), n, moved.begin());
      carried.push_back({{counter.first, moved}, highest});
    }
  }
  DropCounters(kind, keys);
  for (const auto &[counter, highest] : carried) {
    uint32_t &slot = m_highest[counter];
    slot = std::max(slot, highest);
  }
  NoteInstance(kind, target);
  if (pNewKeys != nullptr) *pNewKeys = target;
  return 0;
}

size_t Store::Size() const {
  size_t n = 0;
  for (const std::vector<Object> &table : m_tables) n += table.size();
  return n;
}

}  // namespace lum::db
