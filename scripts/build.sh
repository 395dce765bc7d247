#!/usr/bin/env bash
# Builds one configuration: build.sh DIR [cmake options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir" ${NINJA_FLAGS:-}
