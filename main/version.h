// The build's version text: the project's version, then the commit it was built
// from when the source was a git work tree, e.g. "0.1 (72b1f8f-dirty)".
#pragma once

const char *HostmonGetVersion();
