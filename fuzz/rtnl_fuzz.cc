// The forwarding-table mirror from a socket buffer on: any bytes as rtnetlink
// messages, then the questions the daemon asks.
#include <cstdint>

#include "platform/fdbmirror.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static lum::net::FdbMirror mirror;
  mirror.ApplyAll(data, size, 0);
  const lum::net::MacBytes mac = {0x02, 0, 0, 0, 0, 0x01};
  (void)mirror.Lookup(mac, "br0", 1000);
  (void)mirror.Lookup(mac, "", 1000);
  (void)mirror.StaAssociated(mac);
  if (mirror.EntryCount() > 4096) mirror.Clear();
  return 0;
}
