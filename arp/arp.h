// IPv4 detection: the ARP sockets, learning and the DHCP leases file.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

inline constexpr size_t HOSTMON_ARP_FRAME_LEN = 60;
inline constexpr const char *HOSTMON_LEASES_FILE = "/var/dhcp/dhcps/leases";

// Sockets.
// What a listening socket may hold while the loop is held: the longest stalls
// (a subnet sweep, about 3 s, and the 400 ms pauses) at an ordinary LAN's rate.
inline constexpr int HOSTMON_LISTEN_RCVBUF = 4 * 1024 * 1024;
// Sizes a listening socket's receive buffer beyond the system's default cap
// when the process may; traced and survived when it may not.
void HostmonSizeListenBuffer(int iFd);
int HostmonOpenArpSocket(const char *pcIfName);
uint32_t HostmonArpListen();
void HostmonArpSocketProc(LUM_SOCK_REG *pstReg);
// The receive path after recvfrom: the frame (60 bytes, zero-padded) and the
// receiving interface's name as the socket reported it.
void HostmonArpInput(const uint8_t *pucFrame, const char *pcIfName);
void HostmonBuildArpRequest(uint32_t ulTarget, uint32_t ulSender, const uint8_t *pucMac,
                            uint8_t *pucFrame);
void HostmonSendArp(Bridge *pstBridge, uint32_t ulTarget, uint32_t ulSelector);
void HostmonSendArpRequest(Bridge *pstBridge, uint32_t ulTarget);
// The port behind which the forwarding table puts the MAC. Neighbor Discovery:
// this bridge's table, then any bridge's; an unknown interface becomes a port
// of this bridge. ARP: this bridge's table, and only a port already known.
Port *HostmonGetPortByFdb(Bridge *pstBridge, const uint8_t *pucMac);
Port *HostmonGetRegisteredPortByFdb(Bridge *pstBridge, const uint8_t *pucMac);
uint32_t HostmonArpListenHandle();
// Forgets the listening socket's handle, so that the next HostmonArpListen
// opens one again (tests: their sandbox drops every registration).
void HostmonArpResetForTest();

// Learning.
void HostmonHostSeen(Bridge *pstBridge, Port *pstPort, const uint8_t *pucMac, uint32_t ulFamily,
                     const uint8_t *pucAddr);
uint32_t HostmonLearnHost(Bridge *pstBridge, Port *pstPort, const uint8_t *pucMac,
                          uint32_t ulFamily, const uint8_t *pucAddr);
void LUM_HOSTMON_DeleteSameIpInfo(const char *pcPortName, uint32_t ulFamily,
                                  const uint8_t *pucAddr);
uint32_t HostmonIsHostInDb(const char *pcAddr, const uint8_t *pucMac);

// Host information and the leases file.
uint32_t HostmonGetInterfaceType(const char *pcPortName, char *pcOut, uint32_t ulSize);
void HostmonReadLease(MacAddressItem *pstItem, uint32_t *pbNeedSync);
uint32_t HostmonGetHostInfo(const MacAddressItem *pstItem, HostInfo *pstInfo);
// How many times the leases file was opened (tests: a sighting of an
// unchanged file opens nothing).
uint32_t HostmonLeasesOpensForTest();

// The leases file's watch (inotify on its folder, served by the loop under
// this kind). The reader keeps the file's records in memory while it holds.
inline constexpr uint32_t HOSTMON_SOCK_KIND_LEASES = 6;
enum class LeasesCopyState {
  kCurrent,    // watched, no event for the file since the last kReadNow
  kReadNow,    // watched: read the file now and keep it
  kUnwatched,  // no watch: read the file for this look-up only
};
// Sets up the watch when there is none (at most once per uptime second ulNow).
LeasesCopyState HostmonLeasesWatchCheck(const char *pcPath, uint32_t ulNow);
// Takes every queued event; the loop's callback calls it, tests call it to
// deliver the events of their writes.
void HostmonLeasesWatchDrain();
void HostmonLeasesWatchProc(LUM_SOCK_REG *pstReg) noexcept;
// Drops the watch and its descriptor (tests: their sandbox drops every
// registration); the next check sets it up again.
void HostmonLeasesWatchReset();
