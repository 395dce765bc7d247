// The ICMPv6 receive path from the message's bytes on: any type, any length up
// to the listener's 1024 bytes, any options, from one fixed source address.
#include <cstdint>

#include "fuzz/fuzzworld.h"
#include "nd6/nd6.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzworld::World &world = fuzzworld::TheWorld();
  static constexpr uint8_t kSource[16] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
  // The listener's own buffer: what the socket would have left there.
  uint8_t aucMsg[1024];
  const size_t ulLen = size < sizeof(aucMsg) ? size : sizeof(aucMsg);
  memcpy(aucMsg, data, ulLen);
  HostmonIcmp6Input(world.pstBridge, aucMsg, static_cast<uint32_t>(ulLen), kSource);
  world.Settle();
  return 0;
}
