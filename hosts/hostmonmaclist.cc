// The host table. Built with host learning; until then it stays empty.
#include "hosts/hosts.h"

void LUM_HOSTMON_ProbeAllNodes() {}
void LUM_HOSTMON_SetTimeQuotaList(const char *) {}
