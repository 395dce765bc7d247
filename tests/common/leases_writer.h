// Writes the DHCP server's leases file as the daemon reads it: a plain sequence
// of 660-byte HostInfo records in the machine's byte order, no header. Used by
// the unit tests, the system tests and the benchmark.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  HostInfo rec{};
  rec.ulYiaddr = lease.ulYiaddr;
  rec.ulLease = lease.ulLease;
  SetField(rec.acChAddr, lease.chAddr);
  SetField(rec.acMacAddr, lease.macAddr);
  SetField(rec.acVendorClass, lease.vendorClass);
  SetField(rec.acHostName, lease.hostName);
  SetField(rec.acInterface, lease.interface);
  return rec;
}

// Creates every missing folder of path's parent (mode 0755).
inline bool MakeParents(const std::string &path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return false;
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

inline bool WriteLeases(const std::string &path, const std::vector<HostInfo> &records) {
  return WriteBytes(path, std::string_view(reinterpret_cast<const char *>(records.data()),
                                           records.size() * sizeof(HostInfo)));
}

inline bool WriteLeases(const std::string &path, const std::vector<Lease> &leases) {
  std::vector<HostInfo> records(leases.size());
  std::transform(leases.begin(), leases.end(), records.begin(), MakeRecord);
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
    if (mkdtemp(pattern.data()) != nullptr) m_root = pattern;
    HostmonSetPathRootForTest(m_root.c_str());
  }
  ~ScopedFixedRoot() {
    HostmonSetPathRootForTest("");
    const auto remove_one = [](const char *path, const struct stat *, int, struct FTW *) {
      return remove(path);
    };
    if (!m_root.empty()) (void)nftw(m_root.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
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
  bool WriteLeases(const std::vector<HostInfo> &records) const {
    return leasestest::WriteLeases(LeasesPath(), records);
  }
  void RemoveLeases() const { (void)unlink(LeasesPath().c_str()); }

 private:
  std::string m_root;
};

}  // namespace leasestest
