// The hosts table sync pass. Built with the publishing of the picture.
#include "dbsync/dbsync.h"

uint32_t HostmonSyncWithDb(uint32_t) { return HOSTMON_OK; }
