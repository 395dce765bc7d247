// Writes the DHCP server's leases file as the daemon reads it: a plain sequence
// of 660-byte HostInfo records in the machine's byte order, no header. Used by
// the unit tests, the system tests and the benchmark.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arp/arp.h"
#include "main/hostmon.h"

namespace leasestest {

// One lease as the DHCP server writes it.
struct Lease {
  uint32_t ulYiaddr = 0;  // host byte order: 192.168.1.20 is 0xC0A80114
  uint32_t ulLease = 0;   // expiry on the uptime clock
  std::string chAddr;     // the client's MAC text (its real MAC)
  std::string macAddr;    // the MAC text its frames arrived under
  std::string vendorClass;
  std::string hostName;  // bytes as stored: UTF-8 or cp936
  std::string interface;
};

// Copies text into a fixed field, cut to the field less one byte, so that the
// field stays terminated; the test edits the record afterwards to break that.
template <size_t N>
void SetField(char (&field)[N], std::string_view text) {
  memset(field, 0, N);
  memcpy(field, text.data(), text.size() < N ? text.size() : N - 1);
}

inline HostInfo MakeRecord(const Lease &lease) {
  HostInfo rec;
  memset(&rec, 0, sizeof(rec));
  rec.ulYiaddr = lease.ulYiaddr;
  rec.ulLease = lease.ulLease;
  SetField(rec.acChAddr, lease.chAddr);
  SetField(rec.acMacAddr, lease.macAddr);
  SetField(rec.acVendorClass, lease.vendorClass);
  SetField(rec.acHostName, lease.hostName);
  SetField(rec.acInterface, lease.interface);
  return rec;
}

// The records, then ulTailBytes bytes of a further, unfinished record.
inline std::string Serialize(const std::vector<HostInfo> &records, size_t ulTailBytes = 0) {
  std::string bytes;
  bytes.reserve(records.size() * sizeof(HostInfo) + ulTailBytes);
  for (const HostInfo &rec : records) {
    bytes.append(reinterpret_cast<const char *>(&rec), sizeof(rec));
  }
  bytes.append(ulTailBytes, '\x5a');
  return bytes;
}

// Creates every missing folder of path's parent (mode 0755).
inline bool MakeParents(const std::string &path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

inline bool WriteBytes(const std::string &path, std::string_view bytes) {
  if (!MakeParents(path)) return false;
  // A new file rather than a truncated one: ext4 flushes a file rewritten in
  // place when it is closed, which costs milliseconds.
  (void)unlink(path.c_str());
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

inline bool WriteLeases(const std::string &path, const std::vector<HostInfo> &records,
                        size_t ulTailBytes = 0) {
  return WriteBytes(path, Serialize(records, ulTailBytes));
}

inline bool WriteLeases(const std::string &path, const std::vector<Lease> &leases) {
  std::vector<HostInfo> records;
  records.reserve(leases.size());
  for (const Lease &lease : leases) records.push_back(MakeRecord(lease));
  return WriteLeases(path, records);
}

// A temporary folder that stands for "/" for the daemon's fixed paths while it
// lives; removed with everything in it afterwards.
class ScopedFixedRoot {
 public:
  ScopedFixedRoot() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hostmon-root-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) m_root = buf.data();
    HostmonSetPathRootForTest(m_root.c_str());
  }
  ~ScopedFixedRoot() {
    HostmonSetPathRootForTest("");
    if (!m_root.empty()) RemoveTree(m_root);
  }
  ScopedFixedRoot(const ScopedFixedRoot &) = delete;
  ScopedFixedRoot &operator=(const ScopedFixedRoot &) = delete;

  bool Ok() const { return !m_root.empty(); }
  const std::string &Root() const { return m_root; }
  // Where the daemon's leases file lies under this root.
  std::string LeasesPath() const { return m_root + HOSTMON_LEASES_FILE; }

  bool WriteLeases(const std::vector<Lease> &leases) const {
    return leasestest::WriteLeases(LeasesPath(), leases);
  }
  bool WriteLeases(const std::vector<HostInfo> &records, size_t ulTailBytes = 0) const {
    return leasestest::WriteLeases(LeasesPath(), records, ulTailBytes);
  }
  bool WriteRaw(std::string_view bytes) const { return WriteBytes(LeasesPath(), bytes); }
  void RemoveLeases() const { (void)unlink(LeasesPath().c_str()); }

 private:
  static void RemoveTree(const std::string &root) {
    (void)nftw(
        root.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

  std::string m_root;
};

}  // namespace leasestest
