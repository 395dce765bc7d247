// The ARP receive path from the frame's bytes on: any content, any length up
// to 60 bytes (zero-padded, as the socket leaves its buffer). A 61st byte, when
// present, picks the interface the frame is reported under.
#include <cstdint>
#include <cstring>
#include <iterator>

#include "arp/arp.h"
#include "fuzz/fuzzworld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzworld::World &world = fuzzworld::TheWorld();
  uint8_t aucFrame[HOSTMON_ARP_FRAME_LEN] = {};
  memcpy(aucFrame, data, size < sizeof(aucFrame) ? size : sizeof(aucFrame));
  const char *pcIfName = fuzzworld::kInterfaces[0];
  if (size > sizeof(aucFrame)) {
    pcIfName = fuzzworld::kInterfaces[data[sizeof(aucFrame)] % std::size(fuzzworld::kInterfaces)];
  }
  HostmonArpInput(aucFrame, pcIfName);
  world.Settle();
  return 0;
}
