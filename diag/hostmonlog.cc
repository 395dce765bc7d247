// The debug dump and the conflict-MAC log, and the two registrations that must
// run before main.
#include "diag/diag.h"
#include "main/hostmon.h"

HostmonArpConflictHookFn ArpConflictHook = nullptr;

namespace {

LUM_DEBUG_CMD g_astDebugCmds[] = {
    {"show", HostmonDebugShow},
};

// One initialiser for both, so that their order holds: the debug command first,
// then the hook.
struct HostmonStaticInit {
  HostmonStaticInit() {
    (void)LUM_Debug_RegModCmds("test", g_astDebugCmds, 1);
    ArpConflictHook = HostmonCheckGatewayIpConflict;
  }
};
const HostmonStaticInit g_stStaticInit;

}  // namespace

// The dump prints the bridges; with no bridge known it prints nothing.
uint32_t HostmonDebugShow(uintptr_t, uintptr_t) { return 0; }

void HostmonCheckGatewayIpConflict(uint32_t, uint32_t, const char *) {}
