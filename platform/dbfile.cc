// The database's text file: one parameter a line, PATH.NAME=VALUE.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/dbstore.h"
#include "platform/fsutil.h"

namespace lum::db {

namespace {

// Far beyond any real database (64 hosts make about 100 KiB), small enough
// that a runaway file cannot exhaust a gateway's memory.
constexpr size_t kMaxFile = 16 * 1024 * 1024;

const char kHeader[] =
    "# Configuration database: one parameter a line, PATH.NAME=VALUE.\n"
    "# Edit with lumdb while no daemon holds it.\n";

// Length of the well-formed UTF-8 sequence at p (2 to 4 bytes), 0 if none.
size_t Utf8SeqLen(const unsigned char *p, size_t n) {
  auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < n && p[i] >= lo && p[i] <= hi;
  };
  unsigned char c = p[0];
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;  // no surrogates
  if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string LineError(size_t ulLine, const char *pcWhat) {
  return "line " + std::to_string(ulLine) + ": " + pcWhat;
}

struct Pending {
  std::vector<Slot> slots;
  std::vector<bool> seen;
};

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x80) {
      size_t len = Utf8SeqLen(p + i, n - i);
      if (len != 0) {
        out.append(text.substr(i, len));
        i += len;
        continue;
      }
      // Not UTF-8: kept byte for byte, so that the file stays valid UTF-8.
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else if (IsControl(c)) {
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

bool UnescapeText(std::string_view escaped, std::string *pOut, std::string *pWhy) {
  std::string out;
  const auto *p = reinterpret_cast<const unsigned char *>(escaped.data());
  size_t n = escaped.size();
  for (size_t i = 0; i < n;) {
    if (out.size() > kMaxText) break;
    unsigned char c = p[i];
    if (c == '\\') {
      if (i + 1 >= n) return *pWhy = "backslash at the end of the value", false;
      char kind = escaped[i + 1];
      if (kind == '\\') {
        out += '\\';
        i += 2;
      } else if (kind == 'n') {
        out += '\n';
        i += 2;
      } else if (kind == 'x') {
        int hi = i + 2 < n ? HexDigit(escaped[i + 2]) : -1;
        int lo = i + 3 < n ? HexDigit(escaped[i + 3]) : -1;
        if (hi < 0 || lo < 0) return *pWhy = "bad \\x escape", false;
        if (hi == 0 && lo == 0) return *pWhy = "\\x00 in a text", false;
        out += static_cast<char>(hi * 16 + lo);
        i += 4;
      } else {
        return *pWhy = "unknown escape", false;
      }
    } else if (c >= 0x80) {
      size_t len = Utf8SeqLen(p + i, n - i);
      if (len == 0) return *pWhy = "not UTF-8", false;
      out.append(escaped.substr(i, len));
      i += len;
    } else if (IsControl(c)) {
      return *pWhy = "control byte in a text", false;
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
  if (out.size() > kMaxText) return *pWhy = "text too long", false;
  *pOut = std::move(out);
  return true;
}

bool ParseNumber(std::string_view text, uint32_t *pulNum) {
  bool bNegative = !text.empty() && text[0] == '-';
  if (bNegative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (bNegative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  *pulNum = static_cast<uint32_t>(static_cast<int32_t>(value));
  return true;
}

bool ParseFile(std::string_view text, Store *pStore, std::string *pWhy) {
  std::string why;
  if (pWhy == nullptr) pWhy = &why;
  if (text.size() > kMaxFile) return *pWhy = "file too large", false;
  std::map<std::pair<size_t, Keys>, Pending> objects;
  size_t ulLine = 0;
  for (size_t pos = 0; pos < text.size();) {
    ++ulLine;
    size_t end = text.find('\n', pos);
    // The writer ends every line: a missing newline means a cut file.
    if (end == std::string_view::npos) return *pWhy = LineError(ulLine, "not terminated"), false;
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    PathRef ref;
    if (!ParsePath(line.substr(0, eq), &ref)) {
      return *pWhy = LineError(ulLine, "unknown path or parameter"), false;
    }
    Pending &obj = objects[{ref.kind, ref.keys}];
    if (obj.slots.empty()) {
      obj.slots = DefaultSlots(ref.kind);
      obj.seen.assign(obj.slots.size(), false);
    }
    if (ref.bObject) {
      if (eq != std::string_view::npos)
        return *pWhy = LineError(ulLine, "object with a value"), false;
      continue;
    }
    if (eq == std::string_view::npos) return *pWhy = LineError(ulLine, "no value"), false;
    if (obj.seen[ref.slot]) return *pWhy = LineError(ulLine, "parameter given twice"), false;
    obj.seen[ref.slot] = true;
    std::string_view value = line.substr(eq + 1);
    Slot &slot = obj.slots[ref.slot];
    if (kKinds[ref.kind].slots[ref.slot].bNumber) {
      if (!ParseNumber(value, &slot.ulNum)) return *pWhy = LineError(ulLine, "bad number"), false;
    } else {
      std::string reason;
      if (!UnescapeText(value, &slot.text, &reason)) {
        return *pWhy = LineError(ulLine, reason.c_str()), false;
      }
    }
  }
  // Kinds come parents first, so each object finds its parent in place.
  Store fresh;
  for (auto &[where, obj] : objects) {
    uint32_t ulRet = fresh.Insert(where.first, where.second, obj.slots);
    if (ulRet != 0) {
      *pWhy = PathOf(where.first, where.second) +
              (ulRet == LUM_DB_ERR_NO_PARENT ? " has no parent" : " cannot be added");
      return false;
    }
  }
  *pStore = std::move(fresh);
  return true;
}

std::string FormatFile(const Store &store) {
  std::string out = kHeader;
  for (size_t kind = 0; kind < kKindCount; ++kind) {
    const std::span<const SlotDef> defs = kKinds[kind].slots;
    for (const Object &obj : store.Objects(kind)) {
      std::string path = PathOf(kind, obj.keys);
      if (defs.empty()) {
        out += path;
        out += '\n';
        continue;
      }
      for (size_t i = 0; i < defs.size(); ++i) {
        out += path;
        out += defs[i].name;
        out += '=';
        if (defs[i].bNumber) {
          out += std::to_string(static_cast<int32_t>(obj.Num(i)));
        } else {
          out += EscapeText(obj.Text(i));
        }
        out += '\n';
      }
    }
  }
  return out;
}

LoadResult LoadFile(const std::string &path, Store *pStore, std::string *pWhy) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return LoadResult::kMissing;
    *pWhy = strerror(errno);
    return LoadResult::kIoError;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *pWhy = "not a regular file";
    close(fd);
    return LoadResult::kIoError;
  }
  std::string text;
  text.resize(std::min<size_t>(static_cast<size_t>(st.st_size), kMaxFile) + 1);
  size_t got = 0;
  while (true) {
    if (got == text.size()) {
      if (text.size() > kMaxFile) break;
      text.resize(std::min(text.size() * 2, kMaxFile + 1));
    }
    ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *pWhy = strerror(errno);
      close(fd);
      return LoadResult::kIoError;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(got);
  return ParseFile(text, pStore, pWhy) ? LoadResult::kLoaded : LoadResult::kCorrupt;
}

bool WriteFileAtomic(const std::string &path, std::string_view text, std::string *pWhy) {
  if (!MakeDirs(path, 0750, true)) return *pWhy = "cannot create the folder", false;
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return *pWhy = std::string("open: ") + strerror(errno), false;
  auto fail = [&](const char *pcStep) {
    *pWhy = std::string(pcStep) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    return false;
  };
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("write");
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return fail("fsync");
  int closing = fd;
  fd = -1;
  if (close(closing) != 0) return fail("close");
  if (rename(tmp.c_str(), path.c_str()) != 0) return fail("rename");
  // The rename itself must reach the disk before the save counts as done.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

}  // namespace lum::db
