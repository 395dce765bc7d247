// The database client as the daemon calls it (platform/lumdb.h), and its test
// hooks. Every read is answered from memory; only init and save touch a file.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/dbstore.h"
#include "platform/fsutil.h"
#include "platform/lumdb.h"
#include "platform/testing.h"

namespace {

using lum::db::Keys;
using lum::db::kKinds;
using lum::db::Object;
using lum::db::Slot;
using lum::db::Store;

constexpr char kDefaultFile[] = "/var/lib/lum/cfg.db";

enum class FileMode {
  kEnv,    // $LUM_DB_FILE, read at LUM_DBInit
  kNone,   // tests: memory only
  kFixed,  // tests: SetDbFile
};

struct DbState {
  Store store;
  FileMode mode = FileMode::kEnv;
  std::string fixedPath;
  std::string envPath;  // as read by the last LUM_DBInit
  uint32_t ulSaves = 0;
  // The file existed but could not be read: saving would replace what it
  // holds with a database seeded from the kernel, so no save until a restart
  // reads it.
  bool bUnreadable = false;
  // The lock on FILE.lock that makes this process the file's only writer;
  // without it (another daemon holds it) nothing is saved.
  int iLockFd = -1;
  bool bHeldElsewhere = false;
  uint32_t ulFailSetObj = 0;  // tests: code the next object writes return
  uint32_t ulFailSetObjCount = 0;
};

DbState &State() {
  static DbState state;
  return state;
}

std::string FilePath() {
  DbState &st = State();
  switch (st.mode) {
    case FileMode::kEnv:
      return st.envPath.empty() ? lum::DbFilePath() : st.envPath;
    case FileMode::kNone:
      return {};
    case FileMode::kFixed:
      return st.fixedPath;
  }
  return {};
}

// A value is one block: this header, the slots, then the texts. Texts that
// LUM_KEM_SetObjStrValue put in later have blocks of their own, marked here.
struct ValueHeader {
  uint32_t ulMagic;
  uint32_t ulKind;
  uint32_t ulSlots;
  uint32_t ulOwned;  // bit i: slot i's text is a separate allocation
  size_t ulBytes;    // the block's size, header included
};
static_assert(sizeof(ValueHeader) % alignof(LUM_DB_SLOT) == 0);
constexpr uint32_t kMagic = 0x4C554D56;

ValueHeader *HeaderOf(LUM_DB_SLOT *pstValue) {
  return reinterpret_cast<ValueHeader *>(pstValue) - 1;
}

// The last value freed, kept for the next read: the daemon's walks read and
// free one object after the other, so most reads need no allocation. Not
// under AddressSanitizer, which must see every use after a free.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepSpare = false;
#else
constexpr bool kKeepSpare = true;
#endif
ValueHeader *g_pSpare = nullptr;

void *Allocate(size_t ulBytes, size_t *pulGot) {
  if (g_pSpare != nullptr && g_pSpare->ulBytes >= ulBytes) {
    *pulGot = g_pSpare->ulBytes;
    return std::exchange(g_pSpare, nullptr);
  }
  *pulGot = ulBytes;
  return malloc(ulBytes);
}

void Release(ValueHeader *header) {
  header->ulMagic = 0;
  if (kKeepSpare && (g_pSpare == nullptr || g_pSpare->ulBytes < header->ulBytes)) {
    std::swap(header, g_pSpare);
  }
  free(header);
}

LUM_DB_SLOT *MakeValue(size_t kind, const Object &obj) {
  const std::vector<uint32_t> &words = obj.Words();
  const std::string &texts = obj.Texts();
  size_t ulSlots = words.size();
  size_t ulBytes = 0;
  void *block =
      Allocate(sizeof(ValueHeader) + ulSlots * sizeof(LUM_DB_SLOT) + texts.size(), &ulBytes);
  if (block == nullptr) return nullptr;
  auto *header = new (block)
      ValueHeader{kMagic, kKinds[kind].ulKind, static_cast<uint32_t>(ulSlots), 0, ulBytes};
  auto *value = reinterpret_cast<LUM_DB_SLOT *>(header + 1);
  char *text = reinterpret_cast<char *>(value + ulSlots);
  if (!texts.empty()) memcpy(text, texts.data(), texts.size());
  const lum::db::SlotLists &lists = lum::db::kSlotLists[kind];
  for (size_t t = 0; t < lists.ucTexts; ++t) {
    size_t i = lists.texts[t];
    value[i].pcStr = text + words[i];
  }
  for (size_t n = 0; n < lists.ucNumbers; ++n) {
    size_t i = lists.numbers[n];
    value[i].pcStr = nullptr;  // the whole slot defined, whatever its width
    value[i].ulNum = words[i];
  }
  return value;
}

// Every text empty and every number 0; built once, copied into each value.
const Object &DefaultObject(size_t kind) {
  static const std::vector<Object> defaults = [] {
    std::vector<Object> objs;
    for (size_t k = 0; k < lum::db::kKindCount; ++k) {
      objs.emplace_back(k, Keys{}, std::span<const lum::db::SlotView>());
    }
    return objs;
  }();
  return defaults[kind];
}

// Views of a caller's value; false on an over-long text.
using SlotViews = std::array<lum::db::SlotView, lum::db::kMaxSlots>;
bool ReadValue(size_t kind, const LUM_DB_SLOT *pstValue, SlotViews *pViews,
               std::span<const lum::db::SlotView> *pSlots) {
  const std::span<const lum::db::SlotDef> defs = kKinds[kind].slots;
  for (size_t i = 0; i < defs.size(); ++i) {
    (*pViews)[i] = {};
    if (defs[i].bNumber) {
      (*pViews)[i].ulNum = pstValue[i].ulNum;
      continue;
    }
    const char *text = pstValue[i].pcStr;
    if (text == nullptr) continue;
    size_t len = strnlen(text, lum::db::kMaxText + 1);
    if (len > lum::db::kMaxText) {
      LUM_DB_TRACE("%s.%s: text longer than %zu bytes refused\n", kKinds[kind].name.data(),
                   defs[i].name.data(), lum::db::kMaxText);
      return false;
    }
    (*pViews)[i].text = std::string_view(text, len);
  }
  *pSlots = std::span<const lum::db::SlotView>(pViews->data(), defs.size());
  return true;
}

Keys ReadKeys(const uint32_t *pulKeys, size_t n) {
  Keys keys{};
  for (size_t i = 0; pulKeys != nullptr && i < n; ++i) keys[i] = pulKeys[i];
  return keys;
}

// The objects of a kind below a parent key list whose zero entries match any.
class Selection {
 public:
  Selection(const Store &store, size_t kind, const uint32_t *pulParent) {
    size_t pk = lum::db::ParentKeyCount(kind);
    m_filter = ReadKeys(pulParent, pk);
    m_ulFilterLen = pk;
    size_t lead = 0;
    while (lead < pk && m_filter[lead] != 0) ++lead;
    m_range = store.Under(kind, m_filter, lead);
    m_bWholeRange = true;
    for (size_t i = lead; i < pk; ++i) m_bWholeRange = m_bWholeRange && m_filter[i] == 0;
  }

  const Object *At(size_t ulSeq) const {
    if (m_bWholeRange) return ulSeq < m_range.size() ? &m_range[ulSeq] : nullptr;
    for (const Object &obj : m_range) {
      if (Matches(obj) && ulSeq-- == 0) return &obj;
    }
    return nullptr;
  }

  template <typename F>
  void ForEach(F &&f) const {
    for (const Object &obj : m_range) {
      if (m_bWholeRange || Matches(obj)) f(obj);
    }
  }

 private:
  bool Matches(const Object &obj) const {
    for (size_t i = 0; i < m_ulFilterLen; ++i) {
      if (m_filter[i] != 0 && obj.keys[i] != m_filter[i]) return false;
    }
    return true;
  }
  Keys m_filter{};
  size_t m_ulFilterLen = 0;
  std::span<const Object> m_range;
  bool m_bWholeRange = true;
};

// No exception may leave a LUM_ function.
template <typename F>
uint32_t Guard(F &&f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc &) {
    LUM_DB_TRACE("out of memory\n");
    return LUM_DB_ERR_NO_MEM;
  } catch (...) {
    LUM_DB_TRACE("unexpected failure\n");
    return LUM_DB_ERR_PARAM;
  }
}

// One writer per database file: a second daemon started by mistake loads the
// file but never saves over the first one's changes.
void TakeLock(const std::string &path) {
  DbState &st = State();
  if (st.iLockFd >= 0) close(st.iLockFd);
  (void)lum::MakeDirs(path, 0750, true);
  st.iLockFd = open((path + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0640);
  st.bHeldElsewhere = false;
  if (st.iLockFd < 0) {
    LUM_DB_TRACE("cannot open %s.lock: %s; saving without it\n", path.c_str(), strerror(errno));
    return;
  }
  if (flock(st.iLockFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    st.bHeldElsewhere = true;
    LUM_DB_TRACE("%s is held by another process: this one will not save it\n", path.c_str());
  }
}

uint32_t InitFromFile() {
  DbState &st = State();
  std::string path;
  if (st.mode == FileMode::kEnv) {
    st.envPath = lum::DbFilePath();
    path = st.envPath;
  } else {
    path = FilePath();
  }
  if (path.empty()) {
    // Tests without a file: what they put in stays; nothing at all is what a
    // gateway without a file has, so it is seeded the same way.
    if (st.store.Size() == 0) st.store = lum::db::SeedFromKernel();
    LUM_DB_TRACE("no database file: %zu objects in memory\n", st.store.Size());
    return 0;
  }
  TakeLock(path);
  Store loaded;
  std::string why;
  st.bUnreadable = false;
  switch (lum::db::LoadFile(path, &loaded, &why)) {
    case lum::db::LoadResult::kLoaded:
      st.store = std::move(loaded);
      LUM_DB_TRACE("loaded %zu objects from %s\n", st.store.Size(), path.c_str());
      return 0;
    case lum::db::LoadResult::kMissing:
      st.store = lum::db::SeedFromKernel();
      LUM_DB_TRACE("no %s: seeded %zu objects from the kernel\n", path.c_str(), st.store.Size());
      return 0;
    case lum::db::LoadResult::kCorrupt: {
      std::string bad = path + ".bad";
      if (rename(path.c_str(), bad.c_str()) != 0) {
        LUM_DB_TRACE("cannot keep %s aside as %s: %s\n", path.c_str(), bad.c_str(),
                     strerror(errno));
      }
      st.store = lum::db::SeedFromKernel();
      LUM_DB_TRACE("%s is corrupt (%s): kept as %s, seeded %zu objects from the kernel\n",
                   path.c_str(), why.c_str(), bad.c_str(), st.store.Size());
      return 0;
    }
    case lum::db::LoadResult::kIoError:
      st.store = lum::db::SeedFromKernel();
      st.bUnreadable = true;
      LUM_DB_TRACE(
          "cannot read %s (%s): seeded %zu objects from the kernel; no save will "
          "replace the file\n",
          path.c_str(), why.c_str(), st.store.Size());
      return LUM_DB_ERR_IO;
  }
  return LUM_DB_ERR_IO;
}

}  // namespace

std::string lum::DbFilePath() { return lum::EnvOr("LUM_DB_FILE", kDefaultFile); }

uint32_t LUM_DBInit(uint32_t, uint32_t) {
  return Guard([] { return InitFromFile(); });
}

uint32_t LUM_DBGetNumOfObjs(const uint32_t *pulParentKeys, uint32_t ulKind, uint32_t *pulCount,
                            uint32_t **ppulInstances) {
  return Guard([&]() -> uint32_t {
    if (pulCount == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    Selection sel(State().store, *kind, pulParentKeys);
    size_t count = 0;
    sel.ForEach([&](const Object &) { ++count; });
    if (ppulInstances != nullptr) {
      // Never nullptr on success, even for none: callers free() it unconditionally.
      auto *array = static_cast<uint32_t *>(malloc((count + 1) * sizeof(uint32_t)));
      if (array == nullptr) return LUM_DB_ERR_NO_MEM;
      size_t last = lum::db::KeyCount(*kind) - 1;
      size_t i = 0;
      sel.ForEach([&](const Object &obj) { array[i++] = obj.keys[last]; });
      *ppulInstances = array;
    }
    *pulCount = static_cast<uint32_t>(count);
    return 0;
  });
}

uint32_t LUM_DBGetObjectBySeqNum(const uint32_t *pulParentKeys, uint32_t ulKind, uint32_t ulSeq,
                                 LUM_DB_SLOT **ppstValue, uint32_t, uint32_t,
                                 uint32_t *pulKeysOut) {
  return Guard([&]() -> uint32_t {
    if (ppstValue == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    const Object *obj = Selection(State().store, *kind, pulParentKeys).At(ulSeq);
    if (obj == nullptr) return LUM_DB_ERR_NOT_FOUND;
    LUM_DB_SLOT *value = MakeValue(*kind, *obj);
    if (value == nullptr) return LUM_DB_ERR_NO_MEM;
    *ppstValue = value;
    if (pulKeysOut != nullptr) memcpy(pulKeysOut, obj->keys.data(), sizeof(uint32_t) * LUM_DB_KEYS);
    return 0;
  });
}

uint32_t LUM_DBGetObj(const uint32_t *pulKeys, uint32_t ulKind, LUM_DB_SLOT **ppstValue, uint32_t) {
  return Guard([&]() -> uint32_t {
    if (pulKeys == nullptr || ppstValue == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    const Object *obj = State().store.Find(*kind, ReadKeys(pulKeys, lum::db::KeyCount(*kind)));
    if (obj == nullptr) return LUM_DB_ERR_NOT_FOUND;
    LUM_DB_SLOT *value = MakeValue(*kind, *obj);
    if (value == nullptr) return LUM_DB_ERR_NO_MEM;
    *ppstValue = value;
    return 0;
  });
}

uint32_t LUM_DBGetDftObject(uint32_t ulKind, LUM_DB_SLOT **ppstValue, uint32_t) {
  return Guard([&]() -> uint32_t {
    if (ppstValue == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    LUM_DB_SLOT *value = MakeValue(*kind, DefaultObject(*kind));
    if (value == nullptr) return LUM_DB_ERR_NO_MEM;
    *ppstValue = value;
    return 0;
  });
}

uint32_t LUM_DBAddObj(const uint32_t *pulParentKeys, uint32_t ulKind, const LUM_DB_SLOT *pstValue,
                      uint32_t *pulNewInstance) {
  return Guard([&]() -> uint32_t {
    if (pstValue == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    SlotViews views;
    std::span<const lum::db::SlotView> slots;
    if (!ReadValue(*kind, pstValue, &views, &slots)) return LUM_DB_ERR_PARAM;
    Keys parent = ReadKeys(pulParentKeys, lum::db::ParentKeyCount(*kind));
    Keys keys{};
    uint32_t ulRet = State().store.Add(*kind, parent, slots, &keys);
    if (ulRet != 0) return ulRet;
    if (pulNewInstance != nullptr) *pulNewInstance = keys[lum::db::KeyCount(*kind) - 1];
    return 0;
  });
}

uint32_t LUM_DBSetObj(const uint32_t *pulKeys, uint32_t ulKind, const LUM_DB_SLOT *pstValue) {
  return Guard([&]() -> uint32_t {
    if (pulKeys == nullptr || pstValue == nullptr) return LUM_DB_ERR_PARAM;
    DbState &st = State();
    if (st.ulFailSetObjCount > 0) {
      --st.ulFailSetObjCount;
      return st.ulFailSetObj;
    }
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    Object *obj = st.store.Find(*kind, ReadKeys(pulKeys, lum::db::KeyCount(*kind)));
    if (obj == nullptr) return LUM_DB_ERR_NOT_FOUND;
    SlotViews views;
    std::span<const lum::db::SlotView> slots;
    if (!ReadValue(*kind, pstValue, &views, &slots)) return LUM_DB_ERR_PARAM;
    obj->Assign(slots);
    return 0;
  });
}

uint32_t LUM_DBSetPara(const uint32_t *pulKeys, uint32_t ulParaId, uint32_t ulNumber) {
  return Guard([&]() -> uint32_t {
    if (pulKeys == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<lum::db::ParaDef> para = lum::db::FindPara(ulParaId);
    if (!para) return LUM_DB_ERR_KIND;
    Object *obj = State().store.Find(para->kind, ReadKeys(pulKeys, lum::db::KeyCount(para->kind)));
    if (obj == nullptr) return LUM_DB_ERR_NOT_FOUND;
    obj->SetNum(para->slot, ulNumber);
    return 0;
  });
}

uint32_t LUM_DBDelObj(const uint32_t *pulKeys, uint32_t ulKind) {
  return Guard([&]() -> uint32_t {
    if (pulKeys == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    return State().store.Delete(*kind, ReadKeys(pulKeys, lum::db::KeyCount(*kind)));
  });
}

uint32_t LUM_DBObjMove(const uint32_t *pulKeys, uint32_t ulKind, const uint32_t *pulNewParentKeys,
                       uint32_t *pulNewInstance) {
  return Guard([&]() -> uint32_t {
    if (pulKeys == nullptr || pulNewParentKeys == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    Keys keys{};
    uint32_t ulRet =
        State().store.Move(*kind, ReadKeys(pulKeys, lum::db::KeyCount(*kind)),
                           ReadKeys(pulNewParentKeys, lum::db::ParentKeyCount(*kind)), &keys);
    if (ulRet != 0) return ulRet;
    if (pulNewInstance != nullptr) *pulNewInstance = keys[lum::db::KeyCount(*kind) - 1];
    return 0;
  });
}

uint32_t LUM_DBKeyListToDomain(const uint32_t *pulKeys, uint32_t ulKind, char *pcBuf,
                               uint32_t ulLen) {
  return Guard([&]() -> uint32_t {
    if (pcBuf == nullptr || ulLen == 0) return LUM_DB_ERR_PARAM;
    pcBuf[0] = '\0';
    if (pulKeys == nullptr) return LUM_DB_ERR_PARAM;
    std::optional<size_t> kind = lum::db::KindIndex(ulKind);
    if (!kind) return LUM_DB_ERR_KIND;
    size_t n = lum::db::KeyCount(*kind);
    Keys keys = ReadKeys(pulKeys, n);
    for (size_t i = 0; i < n; ++i) {
      if (keys[i] == 0) return LUM_DB_ERR_PARAM;
    }
    std::string path = lum::db::PathOf(*kind, keys);
    if (path.size() >= ulLen) return LUM_DB_ERR_NO_ROOM;
    memcpy(pcBuf, path.c_str(), path.size() + 1);
    return 0;
  });
}

uint32_t LUM_DBSaveToAppFunc(const char *pcFile, uint32_t ulLine, const char *pcFunc) {
  return Guard([&]() -> uint32_t {
    DbState &st = State();
    ++st.ulSaves;
    std::string path = FilePath();
    if (path.empty()) return 0;
    if (st.bUnreadable || st.bHeldElsewhere) {
      LUM_DB_TRACE("save asked by %s:%u refused: %s %s\n", pcFile != nullptr ? pcFile : "?", ulLine,
                   path.c_str(),
                   st.bUnreadable ? "could not be read at start" : "is held by another process");
      return LUM_DB_ERR_IO;
    }
    std::string why;
    if (!lum::db::WriteFileAtomic(path, lum::db::FormatFile(st.store), &why)) {
      LUM_DB_TRACE("save of %s asked by %s:%u %s failed: %s\n", path.c_str(),
                   pcFile != nullptr ? pcFile : "?", ulLine, pcFunc != nullptr ? pcFunc : "?",
                   why.c_str());
      return LUM_DB_ERR_IO;
    }
    LUM_DB_TRACE("saved %zu objects to %s\n", st.store.Size(), path.c_str());
    return 0;
  });
}

void LUM_KEM_FreeObj(uint32_t ulKind, LUM_DB_SLOT *pstValue) {
  if (pstValue == nullptr) return;
  ValueHeader *header = HeaderOf(pstValue);
  if (header->ulMagic != kMagic) {
    LUM_DB_TRACE("free of something that is no database value (kind %#x): kept\n", ulKind);
    return;
  }
  if (header->ulKind != ulKind) {
    LUM_DB_TRACE("value of kind %#x freed as kind %#x\n", header->ulKind, ulKind);
  }
  for (uint32_t i = 0; header->ulOwned != 0 && i < header->ulSlots; ++i) {
    if ((header->ulOwned >> i) & 1U) free(pstValue[i].pcStr);
  }
  Release(header);
}

uint32_t LUM_KEM_SetObjStrValue(uint32_t ulSlot, LUM_DB_SLOT *pstValue, const char *pcText) {
  if (pstValue == nullptr || pcText == nullptr) return LUM_DB_ERR_PARAM;
  ValueHeader *header = HeaderOf(pstValue);
  if (header->ulMagic != kMagic || ulSlot >= header->ulSlots) return LUM_DB_ERR_PARAM;
  std::optional<size_t> kind = lum::db::KindIndex(header->ulKind);
  if (!kind || kKinds[*kind].slots[ulSlot].bNumber) return LUM_DB_ERR_PARAM;
  size_t len = strnlen(pcText, lum::db::kMaxText + 1);
  if (len > lum::db::kMaxText) return LUM_DB_ERR_PARAM;
  auto *copy = static_cast<char *>(malloc(len + 1));
  if (copy == nullptr) return LUM_DB_ERR_NO_MEM;
  memcpy(copy, pcText, len);
  copy[len] = '\0';
  if ((header->ulOwned >> ulSlot) & 1U) free(pstValue[ulSlot].pcStr);
  header->ulOwned |= 1U << ulSlot;
  pstValue[ulSlot].pcStr = copy;
  return 0;
}

namespace lum::testing {

void ResetDb() {
  DbState &st = State();
  st.store = Store{};
  st.mode = FileMode::kNone;
  st.fixedPath.clear();
  st.envPath.clear();
  st.ulSaves = 0;
  st.bUnreadable = false;
  st.bHeldElsewhere = false;
  if (st.iLockFd >= 0) close(st.iLockFd);
  st.iLockFd = -1;
  st.ulFailSetObjCount = 0;
}

void SetDbFile(const std::string &path) {
  DbState &st = State();
  st.mode = path.empty() ? FileMode::kEnv : FileMode::kFixed;
  st.fixedPath = path;
  st.envPath.clear();
}

uint32_t DbSaveCount() { return State().ulSaves; }

void FailDbSetObj(uint32_t ulCode, uint32_t ulCount) {
  State().ulFailSetObj = ulCode;
  State().ulFailSetObjCount = ulCount;
}

}  // namespace lum::testing
