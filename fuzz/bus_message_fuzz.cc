// A bus datagram from its first byte: the bus's checks (size, length field,
// sender text), then the dispatcher and every handler's reading of its payload.
// Odd first bytes send the input as it is; even ones wrap it in a well-formed
// header (type and data from the input) so that the handlers are reached: a
// catalogued type most of the time, any type otherwise.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzzworld.h"
#include "main/dispatch.h"
#include "main/msgcatalog.h"
#include "platform/businternal.h"

namespace {

struct Bus {
  int iPeer = -1;
  sockaddr_un stAddr{};
  socklen_t ulAddrLen = 0;

  Bus() {
    fuzzworld::TheWorld();
    lum::testing::ReleaseBus();
    std::string dir = std::string(*fuzzworld::g_pRoot) + "/bus";
    setenv("LUM_BUS_DIR", dir.c_str(), 1);
    if (LUM_MSG_Init("hostmon") != 0) abort();
    (void)LUM_MSG_RegisterMsgProc(HostmonMsgProc);
    iPeer = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (!lum::bus::MakeUnixAddr(dir + "/hostmon", &stAddr, &ulAddrLen) || iPeer < 0) abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Bus *pBus = new Bus();
  std::vector<uint8_t> datagram;
  if (size > 0 && (data[0] & 1) == 0 && size >= 9) {
    LUM_MSG_HEADER stHdr{};
    memcpy(&stHdr.ulData, data + 2, 4);
    stHdr.ulMsgType =
        data[1] < std::size(kMsgCatalogue) ? kMsgCatalogue[data[1]].ulType : stHdr.ulData ^ data[1];
    size_t ulSender = data[6] % sizeof(stHdr.acSendApp);
    memcpy(stHdr.acSendApp, "dhcps-cms-wifi-ovanet-topo", ulSender);
    stHdr.ulPayloadLen = static_cast<uint32_t>(size - 7);
    datagram.assign(reinterpret_cast<const uint8_t *>(&stHdr),
                    reinterpret_cast<const uint8_t *>(&stHdr) + sizeof(stHdr));
    datagram.insert(datagram.end(), data + 7, data + size);
  } else {
    datagram.assign(data, data + size);
  }
  if (sendto(pBus->iPeer, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr *>(&pBus->stAddr), pBus->ulAddrLen) >= 0) {
    (void)lum::bus::ReceiveOne();
  }
  fuzzworld::TheWorld().Settle();
  return 0;
}
