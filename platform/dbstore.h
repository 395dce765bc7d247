// The configuration database inside the platform: the in-memory store, its
// text file and its seeding from the kernel. The daemon reaches it only
// through platform/lumdb.h; the lumdb tool and the fuzz target use this.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dbschema.h"
#include "platform/lum.h"

namespace lum::db {

constexpr const char *BaseName(const char *pcPath) {
  const char *base = pcPath;
  for (const char *p = pcPath; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

}  // namespace lum::db

#define LUM_DB_TRACE(...)                                                                        \
  do {                                                                                           \
    if (g_bLumTraceOn) {                                                                         \
      LUM_TRACE_PrintInfo(::lum::db::BaseName(__FILE__), __LINE__, 0, "lumdb", 16, __VA_ARGS__); \
    }                                                                                            \
  } while (0)

namespace lum::db {

// Instance numbers, outermost first; entries past the kind's KeyCount are 0.
using Keys = std::array<uint32_t, LUM_DB_KEYS>;

struct Slot {
  uint32_t ulNum = 0;
  std::string text;
  bool operator==(const Slot &) const = default;
};

// A slot as a caller's value holds it: the number, or a view of the text.
// Writes go through views so that rewriting an object of the same shape
// reuses its storage instead of allocating.
struct SlotView {
  uint32_t ulNum = 0;
  std::string_view text;
};
inline constexpr size_t kMaxSlots = 32;  // the value header's bit mask

// One object, packed the way a value is handed out, so that a read is one
// allocation and two copies: per slot a word (the number, or the offset of
// the text), and the texts one after the other, each NUL-terminated. The
// packed value sits behind a pointer, so that the sorted tables shift an
// object by copying its keys and one pointer.
class Object {
 public:
  Object(size_t kind, const Keys &keys, const std::vector<Slot> &slots);
  Object(size_t kind, const Keys &keys, std::span<const SlotView> slots);
  Object(const Object &other);
  Object &operator=(const Object &other);
  Object(Object &&) noexcept = default;
  Object &operator=(Object &&) noexcept = default;
  ~Object() = default;
  Keys keys{};

  size_t SlotCount() const { return m_body->words.size(); }
  uint32_t Num(size_t slot) const { return m_body->words[slot]; }
  const char *Text(size_t slot) const { return m_body->texts.data() + m_body->words[slot]; }
  void SetNum(size_t slot, uint32_t ulNum) { m_body->words[slot] = ulNum; }
  void SetText(size_t slot, std::string_view text);
  std::vector<Slot> Slots() const;
  void Assign(const std::vector<Slot> &slots);
  void Assign(std::span<const SlotView> slots);

  const std::vector<uint32_t> &Words() const { return m_body->words; }
  const std::string &Texts() const { return m_body->texts; }
  bool operator==(const Object &other) const;

 private:
  struct Body {
    size_t kind;
    std::vector<uint32_t> words;
    std::string texts;
    bool operator==(const Body &) const = default;
  };
  std::unique_ptr<Body> m_body;
};

// Key list of the first n entries of keys, the rest zero.
Keys Prefix(const Keys &keys, size_t n);

// Objects per kind, each kind's in ascending key-list order, so that the
// daemon's walks by sequence number are an index (or a binary search).
class Store {
 public:
  const std::vector<Object> &Objects(size_t kind) const { return m_tables[kind]; }
  const Object *Find(size_t kind, const Keys &keys) const;
  Object *Find(size_t kind, const Keys &keys);
  bool ParentExists(size_t kind, const Keys &keys) const;

  // The objects of the kind whose first n key entries equal those of prefix.
  std::span<const Object> Under(size_t kind, const Keys &prefix, size_t n) const;

  // Adds below the parent with the next unused instance number; writes the
  // new object's key list. Status code of lumdb.h.
  uint32_t Add(size_t kind, const Keys &parent, const std::vector<Slot> &slots, Keys *pNewKeys);
  uint32_t Add(size_t kind, const Keys &parent, std::span<const SlotView> slots, Keys *pNewKeys);
  // Adds with the given key list (loading, seeding); the parent must exist.
  uint32_t Insert(size_t kind, const Keys &keys, const std::vector<Slot> &slots);
  // Removes the object and everything below it.
  uint32_t Delete(size_t kind, const Keys &keys);
  // Moves the object, with everything below it, under another parent.
  uint32_t Move(size_t kind, const Keys &keys, const Keys &newParent, Keys *pNewKeys);

  size_t Size() const;
  // Same objects with the same values (the instance counters aside).
  bool SameContent(const Store &other) const { return m_tables == other.m_tables; }

 private:
  using CounterKey = std::pair<size_t, Keys>;  // kind, parent's key list
  void NoteInstance(size_t kind, const Keys &keys);
  void DropCounters(size_t kind, const Keys &keys);
  std::array<std::vector<Object>, kKindCount> m_tables;
  mutable std::array<size_t, kKindCount> m_findHint{};  // where Find last found each kind
  std::map<CounterKey, uint32_t> m_highest;             // highest instance ever used
};

// Default value of a kind: every text empty, every number 0.
std::vector<Slot> DefaultSlots(size_t kind);

// The object's dotted path with its instance numbers, ending in ".".
std::string PathOf(size_t kind, const Keys &keys);

// A parsed path: an object's (ending in ".") or a parameter's.
struct PathRef {
  size_t kind = 0;
  Keys keys{};
  bool bObject = false;  // PATH. rather than PATH.NAME
  size_t slot = 0;       // when a parameter
};
bool ParsePath(std::string_view path, PathRef *pRef);

// Values in the file's notation.
std::string EscapeText(std::string_view text);
bool UnescapeText(std::string_view escaped, std::string *pOut, std::string *pWhy);
bool ParseNumber(std::string_view text, uint32_t *pulNum);

// The whole file. ParseFile fills the store only when the entire text is
// valid; otherwise it leaves it untouched and says why (with a line number).
bool ParseFile(std::string_view text, Store *pStore, std::string *pWhy);
std::string FormatFile(const Store &store);

enum class LoadResult { kLoaded, kMissing, kCorrupt, kIoError };
// Reads and parses path; never renames anything.
LoadResult LoadFile(const std::string &path, Store *pStore, std::string *pWhy);
// Atomic replacement: path.tmp, fsync, rename, fsync of the folder; missing
// folders are created 0750. False with the reason on failure, the old file
// left as it was.
bool WriteFileAtomic(const std::string &path, std::string_view text, std::string *pWhy);

// What the kernel's bridges give: LAN devices, bridge numbers, available
// interfaces and interface objects (platform/netquery.h).
Store SeedFromKernel();

}  // namespace lum::db
