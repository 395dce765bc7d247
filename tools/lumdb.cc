// lumdb: reads and edits the configuration database's file while no daemon
// holds it. Never renames a corrupt file: that is the daemon's decision.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dbstore.h"
#include "platform/fsutil.h"
#include "tools/toolcli.h"

namespace {

constexpr int kExitUsage = lumtools::kExitUsage;

constexpr const char *kHelp =
    "usage: lumdb [-f FILE] dump\n"
    "       lumdb [-f FILE] get PATH\n"
    "       lumdb [-f FILE] set PATH VALUE\n"
    "       lumdb --help | --version\n"
    "FILE defaults to $LUM_DB_FILE, else /var/lib/lum/cfg.db. Edit it only while no\n"
    "daemon holds it. PATH names a parameter, e.g.\n"
    "InternetGatewayDevice.LANDevice.1.X_Bridge.BridgeNumber. See lumdb(1).\n";

// The database as the daemon would start with it. Without a file that is the
// kernel's seed, which must not pass for the file's contents.
bool Load(const std::string &path, const char *pcNoFile, lum::db::Store *pStore) {
  std::string why;
  switch (lum::db::LoadFile(path, pStore, &why)) {
    case lum::db::LoadResult::kLoaded:
      return true;
    case lum::db::LoadResult::kMissing:
      fprintf(stderr, "lumdb: no file %s: %s what the daemon would seed from the kernel\n",
              path.c_str(), pcNoFile);
      *pStore = lum::db::SeedFromKernel();
      return true;
    case lum::db::LoadResult::kCorrupt:
      fprintf(stderr, "lumdb: %s is corrupt: %s\n", path.c_str(), why.c_str());
      return false;
    case lum::db::LoadResult::kIoError:
      fprintf(stderr, "lumdb: cannot read %s: %s\n", path.c_str(), why.c_str());
      return false;
  }
  return false;
}

// The object and slot a parameter path names, or nullptr with a message.
lum::db::Object *FindParameter(lum::db::Store &store, const char *pcPath, lum::db::PathRef *pRef) {
  if (!lum::db::ParsePath(pcPath, pRef) || pRef->bObject) {
    fprintf(stderr, "lumdb: unknown parameter %s\n", pcPath);
    return nullptr;
  }
  lum::db::Object *obj = store.Find(pRef->kind, pRef->keys);
  if (obj == nullptr) {
    fprintf(stderr, "lumdb: no object %s\n", lum::db::PathOf(pRef->kind, pRef->keys).c_str());
  }
  return obj;
}

int Get(lum::db::Store &store, const char *pcPath) {
  lum::db::PathRef ref;
  lum::db::Object *obj = FindParameter(store, pcPath, &ref);
  if (obj == nullptr) return 1;
  if (lum::db::kKinds[ref.kind].slots[ref.slot].bNumber) {
    printf("%d\n", static_cast<int32_t>(obj->Num(ref.slot)));
  } else {
    printf("%s\n", obj->Text(ref.slot));
  }
  return 0;
}

int Set(lum::db::Store &store, const std::string &file, const char *pcPath, const char *pcValue) {
  lum::db::PathRef ref;
  lum::db::Object *obj = FindParameter(store, pcPath, &ref);
  if (obj == nullptr) return 1;
  if (lum::db::kKinds[ref.kind].slots[ref.slot].bNumber) {
    uint32_t ulNum = 0;
    if (!lum::db::ParseNumber(pcValue, &ulNum)) {
      fprintf(stderr, "lumdb: %s is no signed 32-bit number\n", pcValue);
      return 1;
    }
    obj->SetNum(ref.slot, ulNum);
  } else {
    if (strlen(pcValue) > lum::db::kMaxText) {
      fprintf(stderr, "lumdb: text longer than %zu bytes\n", lum::db::kMaxText);
      return 1;
    }
    obj->SetText(ref.slot, pcValue);
  }
  std::string why;
  if (!lum::db::WriteFileAtomic(file, lum::db::FormatFile(store), &why)) {
    fprintf(stderr, "lumdb: cannot write %s: %s\n", file.c_str(), why.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (int rc = lumtools::HelpOrVersion(argc, argv, "lumdb", kHelp); rc >= 0) return rc;
  int arg = 1;
  std::string file = lum::EnvOr("LUM_DB_FILE", "/var/lib/lum/cfg.db");
  if (arg < argc && strcmp(argv[arg], "-f") == 0) {
    if (arg + 1 >= argc || *argv[arg + 1] == '\0') {
      fprintf(stderr, "lumdb: -f needs a FILE\n");
      return kExitUsage;
    }
    file = argv[arg + 1];
    arg += 2;
  }
  if (arg >= argc) {
    fprintf(stderr, "lumdb: no command given: dump, get or set (lumdb --help)\n");
    return kExitUsage;
  }
  std::string command = argv[arg];
  int rest = argc - arg - 1;
  int wanted = command == "dump" ? 0 : command == "get" ? 1 : command == "set" ? 2 : -1;
  if (wanted < 0) {
    if (command[0] == '-') {
      fprintf(stderr, "lumdb: unknown option %s (lumdb --help)\n", command.c_str());
    } else {
      fprintf(stderr, "lumdb: unknown command \"%s\": dump, get or set\n", command.c_str());
    }
    return kExitUsage;
  }
  if (rest != wanted) {
    static const char *const kArgs[] = {"no arguments", "PATH", "PATH and VALUE"};
    fprintf(stderr, "lumdb: %s takes %s\n", command.c_str(), kArgs[wanted]);
    return kExitUsage;
  }

  lum::db::Store store;
  static const char *const kNoFile[] = {"this is", "read from", "writing it from"};
  if (!Load(file, kNoFile[wanted], &store)) return 1;
  if (command == "dump") {
    std::string text = lum::db::FormatFile(store);
    fwrite(text.data(), 1, text.size(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  if (command == "get") return Get(store, argv[arg + 1]);
  return Set(store, file, argv[arg + 1], argv[arg + 2]);
}
