// IPv6 detection: the Neighbor Discovery listeners and the probe sender.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

uint32_t HostmonIcmp6ListenAll();
int HostmonCreateIcmp6SendSocket(const char *pcName);
int HostmonSendNeighborSolicit(Bridge *pstBridge, const uint8_t *pucAddr);
