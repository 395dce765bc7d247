// What the DHCP servers and the wireless side announce. Until these handlers are
// built the dispatcher's trace is all a message leaves behind.
#include "msgproc/msgproc.h"

void HostmonProcDhcpsAddIpMac(const MessageHeader *) {}
void HostmonProcDhcpsDelIpMac(const MessageHeader *) {}
void HostmonProcDhcpsDelSingleIpMac(const MessageHeader *) {}
void HostmonProcDhcp6sClientRelease(const MessageHeader *) {}
void HostmonProcWlanDelLease(const MessageHeader *) {}
void HostmonProcDadAddIpv6Item(const MessageHeader *) {}
