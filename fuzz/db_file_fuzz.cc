// The database file parser: any text is refused or parsed, and what it parses
// writes back to the same text and parses to the same content.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/dbstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  lum::db::Store store;
  std::string why;
  if (!lum::db::ParseFile(text, &store, &why)) return 0;
  std::string written = lum::db::FormatFile(store);
  lum::db::Store again;
  if (!lum::db::ParseFile(written, &again, &why)) abort();
  if (!again.SameContent(store)) abort();
  if (lum::db::FormatFile(again) != written) abort();
  // Moves and deletes on whatever was parsed.
  for (size_t kind = 0; kind < lum::db::kKindCount; ++kind) {
    auto objs = store.Objects(kind);
    if (!objs.empty()) {
      lum::db::Keys moved{};
      store.Move(kind, objs[0].keys, lum::db::Keys{1}, &moved);
      store.Delete(kind, objs.back().keys);
    }
  }
  return 0;
}
