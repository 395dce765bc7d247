// The two registrations that must run before main: the debug "show" command,
// then the ARP conflict hook. One initialiser for both keeps that order, which
// separate objects in separate files would not.
#include "diag/diag.h"
#include "main/hostmon.h"

HostmonArpConflictHookFn ArpConflictHook = nullptr;

namespace {

// Writable: the platform keeps the table by address.
LUM_DEBUG_CMD g_astDebugCmds[] = {
    {"show", HostmonDebugShow},
};

struct HostmonStaticInit {
  HostmonStaticInit() noexcept {
    (void)LUM_Debug_RegModCmds("test", g_astDebugCmds, 1);
    ArpConflictHook = HostmonCheckGatewayIpConflict;
  }
};
const HostmonStaticInit g_stStaticInit;

}  // namespace
