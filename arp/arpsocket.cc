// The ARP listening socket, the receive path that turns a frame into a
// sighting, the ARP request sender and the forwarding-table port lookup.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "arp/arp.h"
#include "arp/arptext.h"
#include "diag/diag.h"
#include "hosts/hosts.h"
#include "platform/sys.h"
#include "topology/topology.h"

namespace {

constexpr uint16_t kEtherTypeArp = 0x0806;
constexpr uint16_t kProtoIpv4 = 0x0800;
// The legacy packet socket: address family 2, type 10.
constexpr int kSockPacket = 10;
// SO_BINDTODEVICE takes a 32-byte interface request record here, as on the
// gateway's 32-bit system; only its 16-byte name field matters to the kernel.
constexpr size_t kIfReqLen = 32;
constexpr size_t kIfNameField = 16;
// A packet socket's address: 2-byte family, then the interface name.
constexpr size_t kPktAddrLen = 16;
constexpr size_t kPktAddrName = 14;
constexpr size_t kFdbInfoLen = sizeof(LUM_BR_FDB_INFO);
constexpr const char *kListenIf = "br0";
constexpr const char *kUser = "hostmon";

// Offsets of the ARP frame.
constexpr size_t kOffDstMac = 0;
constexpr size_t kOffSrcMac = 6;
constexpr size_t kOffEtherType = 12;
constexpr size_t kOffHwType = 14;
constexpr size_t kOffProtoType = 16;
constexpr size_t kOffHwLen = 18;
constexpr size_t kOffProtoLen = 19;
constexpr size_t kOffOp = 20;
constexpr size_t kOffSenderMac = 22;
constexpr size_t kOffSenderIp = 28;
constexpr size_t kOffTargetMac = 32;
constexpr size_t kOffTargetIp = 38;

uint32_t g_ulArpListenHandle = 0;

uint32_t ReadU32(const uint8_t *pucAt) {
  uint32_t ulValue;
  memcpy(&ulValue, pucAt, sizeof(ulValue));
  return ulValue;
}

void WriteU16Be(uint8_t *pucAt, uint16_t usValue) {
  pucAt[0] = static_cast<uint8_t>(usValue >> 8);
  pucAt[1] = static_cast<uint8_t>(usValue);
}

}  // namespace

int HostmonOpenArpSocket(const char *pcIfName) {
  int iFd = lum::sys::Socket(AF_INET, kSockPacket, htons(kEtherTypeArp));
  if (iFd < 0) {
    HOSTMON_TRACE("Can't open raw socket");
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return -1;
  }
  int iOn = 1;
  if (lum::sys::SetSockOpt(iFd, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn)) == -1) {
    HOSTMON_TRACE("Can't setsocket");
    (void)lum::sys::Close(iFd);
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return -1;
  }
  char acIfReq[kIfReqLen] = {};
  (void)new_snprintf_s(__FILE__, __LINE__, acIfReq, kIfNameField, kIfNameField - 1, "%s",
                       pcIfName != nullptr ? pcIfName : "");
  if (lum::sys::SetSockOpt(iFd, SOL_SOCKET, SO_BINDTODEVICE, acIfReq, sizeof(acIfReq)) < 0) {
    HOSTMON_TRACE("Can't setsocket");
    (void)lum::sys::Close(iFd);
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return -1;
  }
  (void)LUM_UTIL_DropRootPrivileges(kUser);
  return iFd;
}

void HostmonSizeListenBuffer(int iFd) {
  const int iSize = HOSTMON_LISTEN_RCVBUF;
  // The forced size passes the system's cap (CAP_NET_ADMIN); the plain one is
  // held to it.
  if (lum::sys::SetSockOpt(iFd, SOL_SOCKET, SO_RCVBUFFORCE, &iSize, sizeof(iSize)) == 0) return;
  const int iErr = errno;
  if (lum::sys::SetSockOpt(iFd, SOL_SOCKET, SO_RCVBUF, &iSize, sizeof(iSize)) != 0) {
    HOSTMON_TRACE("receive buffer of %d bytes refused: %s\n", iSize, strerror(errno));
  } else {
    HOSTMON_TRACE("receive buffer held to the system's cap: %s\n", strerror(iErr));
  }
}

uint32_t HostmonArpListen() {
  if (g_ulArpListenHandle == 0) {
    // The socket hears every bridge; the name only satisfies the bind.
    int iFd = HostmonOpenArpSocket(kListenIf);
    if (iFd < 0) {
      HOSTMON_TRACE("hostmon Creat Socket Fail\n");
      return HOSTMON_ERR_SOCKET;
    }
    HostmonSizeListenBuffer(iFd);
    if (LUM_UTIL_SockBaseReg(iFd, LUM_SOCK_KIND_ARP, HostmonArpSocketProc, 1, nullptr,
                             &g_ulArpListenHandle) != 0) {
      (void)lum::sys::Close(iFd);
    }
  }
  for (Bridge *pstBridge = LUM_HOSTMON_GetBridgeList(); pstBridge != nullptr;
       pstBridge = pstBridge->pstNext) {
    pstBridge->ulArpSockHandle = g_ulArpListenHandle;
  }
  return HOSTMON_OK;
}

uint32_t HostmonArpListenHandle() { return g_ulArpListenHandle; }

void HostmonArpResetForTest() { g_ulArpListenHandle = 0; }

void HostmonArpSocketProc(LUM_SOCK_REG *pstReg) {
  HOSTMON_TRACE("\n\n\n===============================================\n");
  HOSTMON_TRACE(" IPv4 ARP packet recvd ...\n");
  if (pstReg == nullptr) return;
  uint8_t aucFrame[HOSTMON_ARP_FRAME_LEN] = {};
  uint8_t aucFrom[kPktAddrLen] = {};
  unsigned int ulFromLen = sizeof(aucFrom);
  ssize_t lLen = lum::sys::RecvFrom(static_cast<int>(pstReg->lFd), aucFrame, sizeof(aucFrame), 0,
                                    reinterpret_cast<struct sockaddr *>(aucFrom), &ulFromLen);
  if (lLen < 0) {
    HOSTMON_TRACE("hostmon recv is fail with errno %d\n", errno);
    return;
  }
  // The name field is not terminated when the name fills it.
  char acIfName[kPktAddrName + 1] = {};
  memcpy(acIfName, aucFrom + 2, kPktAddrName);
  HostmonArpInput(aucFrame, acIfName);
}

void HostmonArpInput(const uint8_t *pucFrame, const char *pcIfName) {
  if (pucFrame == nullptr || pcIfName == nullptr) return;
  Port *pstPort = LUM_HOSTMON_PortFind(pcIfName);
  if (pstPort == nullptr) {
    // The kernel names the bridge, not the port, for frames its ports
    // received: the forwarding table knows the port of the Ethernet source.
    Bridge *pstNamed = LUM_HOSTMON_BridgeFind(pcIfName);
    if (pstNamed != nullptr) {
      pstPort = HostmonGetRegisteredPortByFdb(pstNamed, pucFrame + kOffSrcMac);
    }
  }
  if (pstPort == nullptr) {
    HOSTMON_TRACE("can not get port info for %s\n", pcIfName);
    return;
  }
  // A port always has its bridge; without one the bridge look-up below fails.
  // The name is cut at 15 characters.
  char acBrName[16] = {};
  if (pstPort->pstBridge != nullptr && pstPort->pstBridge->pcName != nullptr) {
    const char *pcName = pstPort->pstBridge->pcName;
    memcpy(acBrName, pcName, strnlen(pcName, sizeof(acBrName) - 1));
  }

  const uint8_t *pucSenderMac = pucFrame + kOffSenderMac;
  const uint8_t *pucTargetMac = pucFrame + kOffTargetMac;
  const uint32_t ulSenderIp = ReadU32(pucFrame + kOffSenderIp);
  const uint32_t ulTargetIp = ReadU32(pucFrame + kOffTargetIp);
  if (g_bLumTraceOn) {
    char acSender[HOSTMON_IPV4_TEXT_LEN];
    char acTarget[HOSTMON_IPV4_TEXT_LEN];
    HostmonIpv4Text(ulSenderIp, acSender);
    HostmonIpv4Text(ulTargetIp, acTarget);
    HOSTMON_TRACE(" Got ARP packet, source IP  [%s]", acSender);
    HOSTMON_TRACE(" -> target IP  [%s]\n", acTarget);
    HOSTMON_TRACE("     ARP packet, source MAC [%02x-%02x-**-**-**-%02x]", pucSenderMac[0],
                  pucSenderMac[1], pucSenderMac[5]);
    HOSTMON_TRACE(" -> target MAC [%02x-%02x-**-**-**-%02x]\n", pucTargetMac[0], pucTargetMac[1],
                  pucTargetMac[5]);
    HOSTMON_TRACE("This ARP comes from dev:[%s] bridge [%s].\n", pcIfName, acBrName);
  }

  Bridge *pstBridge = LUM_HOSTMON_BridgeFind(acBrName);
  if (pstBridge == nullptr) {
    HOSTMON_TRACE("ARP packet from unknown interface [%s], just ignore\n", pcIfName);
    return;
  }

  if (ArpConflictHook != nullptr) {
    char acSenderMac[HOSTMON_MAC_TEXT_LEN];
    HostmonMacText(pucSenderMac, acSenderMac, false);
    ArpConflictHook(ulSenderIp, ulTargetIp, acSenderMac);
  }

  HOSTMON_TRACE(
      "Arp pkt[%s][%s]SIP[%x]DIP[%x]SMac[%02x:**:**:%02x:**:%02x] DMac[%02x:**:**:%02x:**:%02x]\n",
      acBrName, pcIfName, ulSenderIp, ulTargetIp, pucSenderMac[0], pucSenderMac[3], pucSenderMac[5],
      pucTargetMac[0], pucTargetMac[3], pucTargetMac[5]);

  if (ulSenderIp == ulTargetIp) {
    HOSTMON_TRACE("Recvd gratuitous ARP packet, send ARP request to ask for the response.\n");
    if (ulSenderIp == pstBridge->ulIpAddr) {
      HOSTMON_TRACE("Gratuitous ARP packet come from same IP gateway, ignore...\n");
      return;
    }
    // The host is learnt from its answer.
    HostmonSendArpRequest(pstBridge, ulSenderIp);
    return;
  }

  uint8_t aucAddr[16] = {};
  if (memcmp(pucTargetMac, pstBridge->aucMac, sizeof(pstBridge->aucMac)) == 0 ||
      ulTargetIp == pstBridge->ulIpAddr) {
    memcpy(aucAddr, &ulSenderIp, sizeof(ulSenderIp));
  } else if (ulSenderIp == 0) {
    // An address probe: the address the host is about to take.
    memcpy(aucAddr, &ulTargetIp, sizeof(ulTargetIp));
  } else {
    return;
  }

  const uint32_t ulCandidate = ReadU32(aucAddr);
  if (HostmonIsSameSubnet(pstBridge->ulIpAddr, ulCandidate) == 0) {
    char acCandidate[HOSTMON_IPV4_TEXT_LEN];
    HostmonIpv4Text(ulCandidate, acCandidate);
    HOSTMON_TRACE("Src IP [%s] not match with bridge [%s]\n", acCandidate, acBrName);
    return;
  }
  HostmonHostSeen(pstBridge, pstPort, pucSenderMac, HOSTMON_AF_INET, aucAddr);
}

void HostmonBuildArpRequest(uint32_t ulTarget, uint32_t ulSender, const uint8_t *pucMac,
                            uint8_t *pucFrame) {
  if (pucFrame == nullptr) return;
  memset(pucFrame, 0, HOSTMON_ARP_FRAME_LEN);
  if (pucMac == nullptr) return;
  memset(pucFrame + kOffDstMac, 0xFF, 6);
  memcpy(pucFrame + kOffSrcMac, pucMac, 6);
  WriteU16Be(pucFrame + kOffEtherType, kEtherTypeArp);
  WriteU16Be(pucFrame + kOffHwType, 1);
  WriteU16Be(pucFrame + kOffProtoType, kProtoIpv4);
  pucFrame[kOffHwLen] = 6;
  pucFrame[kOffProtoLen] = 4;
  WriteU16Be(pucFrame + kOffOp, 1);
  memcpy(pucFrame + kOffSenderMac, pucMac, 6);
  memcpy(pucFrame + kOffSenderIp, &ulSender, sizeof(ulSender));
  memcpy(pucFrame + kOffTargetIp, &ulTarget, sizeof(ulTarget));
}

void HostmonSendArp(Bridge *pstBridge, uint32_t ulTarget, uint32_t ulSelector) {
  if (pstBridge == nullptr) return;
  if (pstBridge->ulIpAddr == 0) {
    HOSTMON_TRACE("hostmon send from a bridge WAN! \n");
    return;
  }
  HOSTMON_TRACE("begin to send ARP to ulYiaddr %x\n", ulTarget);
  const uint32_t ulOvanetWanIp = HostmonGetOvanetWanIp();
  // A request from the companion WAN address needs that WAN up; asking from
  // the bridge's address instead would answer another question.
  if (ulSelector != 0 && ulOvanetWanIp == 0) {
    HOSTMON_TRACE("no companion WAN address, ARP to %x not sent\n", ulTarget);
    return;
  }
  int iFd = HostmonOpenArpSocket(pstBridge->pcName);
  if (iFd < 0) {
    HOSTMON_TRACE("hostmon Creat Socket Fail\n");
    return;
  }
  uint8_t aucFrame[HOSTMON_ARP_FRAME_LEN] = {};
  if (ulOvanetWanIp != 0)
    HostmonBuildArpRequest(ulTarget, ulOvanetWanIp, pstBridge->aucMac, aucFrame);
  if (ulSelector == 0) {
    HostmonBuildArpRequest(ulTarget, pstBridge->ulIpAddr, pstBridge->aucMac, aucFrame);
  }
  HOSTMON_TRACE("Arp send IP [%x]\n", ulTarget);
  memset(aucFrame + kOffTargetMac, 0, 6);
  memcpy(aucFrame + kOffTargetIp, &ulTarget, sizeof(ulTarget));

  uint8_t aucTo[kPktAddrLen] = {};
  (void)new_snprintf_s(__FILE__, __LINE__, reinterpret_cast<char *>(aucTo + 2), kPktAddrName,
                       kPktAddrName - 1, "%s",
                       pstBridge->pcName != nullptr ? pstBridge->pcName : "");
  if (lum::sys::SendTo(iFd, aucFrame, sizeof(aucFrame), 0,
                       reinterpret_cast<const struct sockaddr *>(aucTo), sizeof(aucTo)) < 0) {
    HOSTMON_TRACE("hostmon sendto fail\n");
  }
  (void)lum::sys::Close(iFd);
  HOSTMON_TRACE("send out ARP to ulYiaddr %x\n", ulTarget);
}

void HostmonSendArpRequest(Bridge *pstBridge, uint32_t ulTarget) {
  HostmonSendArp(pstBridge, ulTarget, 0);
}

namespace {

// The interface the forwarding table puts the MAC behind: this bridge's table,
// then (bAnyBridge) any bridge's. False for none, and for the WAN side.
bool FdbPortName(Bridge *pstBridge, const uint8_t *pucMac, bool bAnyBridge,
                 char (&acPortName)[sizeof(LUM_BR_FDB_INFO::acPortName) + 1]) {
  char acMac[HOSTMON_MAC_TEXT_LEN];
  HostmonMacText(pucMac, acMac, false);
  LUM_BR_FDB_INFO stInfo;
  memset(&stInfo, 0, kFdbInfoLen);
  if (LUM_UTIL_GetBrFdbInfoByMacSpecBr(acMac, &stInfo, pstBridge->pcName) != 0) {
    HOSTMON_TRACE("Get interface via MAC addr failed\n");
    memset(&stInfo, 0, kFdbInfoLen);
    if (!bAnyBridge || LUM_UTIL_GetBrFdbInfoByMac(acMac, &stInfo) != 0) {
      if (bAnyBridge) HOSTMON_TRACE("Get interface via MAC addr failed\n");
      return false;
    }
  }
  memset(acPortName, 0, sizeof(acPortName));
  memcpy(acPortName, stInfo.acPortName, sizeof(stInfo.acPortName));
  if (strstr(acPortName, "nas") != nullptr) {
    HOSTMON_TRACE("Got ARP from wan side [%s], omit it.\n", acPortName);
    return false;
  }
  return true;
}

}  // namespace

Port *HostmonGetPortByFdb(Bridge *pstBridge, const uint8_t *pucMac) {
  if (pstBridge == nullptr || pucMac == nullptr) return nullptr;
  char acPortName[sizeof(LUM_BR_FDB_INFO::acPortName) + 1];
  if (!FdbPortName(pstBridge, pucMac, true, acPortName)) return nullptr;
  return LUM_HOSTMON_PortGetOrAdd(pstBridge, acPortName);
}

Port *HostmonGetRegisteredPortByFdb(Bridge *pstBridge, const uint8_t *pucMac) {
  if (pstBridge == nullptr || pucMac == nullptr) return nullptr;
  char acPortName[sizeof(LUM_BR_FDB_INFO::acPortName) + 1];
  if (!FdbPortName(pstBridge, pucMac, false, acPortName)) return nullptr;
  Port *pstPort = LUM_HOSTMON_PortFind(acPortName);
  // Ports come from the port discovery only: a member the registry does not
  // know (not a LAN port) teaches nothing.
  if (pstPort == nullptr) HOSTMON_TRACE("Port [%s] is not a known port, omit it.\n", acPortName);
  return pstPort;
}
