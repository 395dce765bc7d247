// Linked into the executables only, so that a rebuild after a commit or an
// edit recompiles this file alone; the core library keeps an empty default.
#include "main/version.h"

#include "hostmon_version_text.h"  // generated at every build by main/version.cmake

const char *HostmonGetVersion() { return HOSTMON_VERSION_TEXT; }
