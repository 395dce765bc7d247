// IPv6 detection: the Neighbor Discovery listeners and the probe sender.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

// Listeners, one per bridge.
uint32_t HostmonIcmp6ListenAll();
int HostmonCreateIcmp6ListenSocket(const char *pcName);
void HostmonIcmp6SocketProc(LUM_SOCK_REG *pstReg);
// The receive path after recvfrom: the ICMPv6 message (no IPv6 header), its
// length and the 16-byte IPv6 source address.
void HostmonIcmp6Input(Bridge *pstBridge, const uint8_t *pucMsg, uint32_t ulLen,
                       const uint8_t *pucSource);
// The options of a solicitation or advertisement: 24 bytes into the message.
void HostmonProcessNdPacket(Bridge *pstBridge, const uint8_t *pucOpts, uint32_t ulLen,
                            const uint8_t *pucSource);

// Binds a raw ICMPv6 socket to the bridge of that name (a 32-byte name buffer,
// the name cut at 15 characters); false for an empty name or a refused bind.
bool HostmonBindIcmp6Socket(int iFd, const char *pcName);

// Probes.
int HostmonCreateIcmp6SendSocket(const char *pcName);
int HostmonSendNeighborSolicit(Bridge *pstBridge, const uint8_t *pucAddr);
