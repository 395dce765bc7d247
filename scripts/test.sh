#!/usr/bin/env bash
# Runs every test: unit tests and fuzz corpora, system tests (root: network
# namespaces), then the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the formatting check.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh

echo "== build"
scripts/build.sh build
echo "== unit tests"
ctest --test-dir build -L unit --output-on-failure -j2
if [ "$(id -u)" -eq 0 ]; then
  echo "== system tests"
  ctest --test-dir build -L system --output-on-failure
else
  echo "== system tests skipped: they need root for network namespaces"
fi

echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DHOSTMON_SANITIZE=ON -DHOSTMON_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j2

echo "== formatting"
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run -Werror
echo "all tests passed"
