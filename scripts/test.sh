#!/usr/bin/env bash
# Runs every test: unit tests and fuzz corpora, system tests (root: network
# namespaces), then the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Release and ARM cross builds (unit tests on
# 32-bit ARM under qemu-user), and the formatting check.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh

# Warnings are errors here; users' and packagers' builds keep them warnings.
werror=-DHOSTMON_WERROR=ON

echo "== build"
# A folder of its own: the demo configures build/ without tests.
scripts/build.sh build-test $werror -DHOSTMON_TESTS=ON -DHOSTMON_BENCH=ON
echo "== unit tests"
ctest --no-tests=error --test-dir build-test -L unit --output-on-failure -j2
if [ "$(id -u)" -eq 0 ]; then
  echo "== system tests"
  ctest --no-tests=error --test-dir build-test -L system --output-on-failure
  echo "== the real-kernel load benchmark, short (keeps it working; no figure is checked)"
  loadout=$(mktemp -d /tmp/hostmon-load.XXXXXX)
  bench/load.sh --short build-test "$loadout/load.json"
  rm -rf "$loadout"
  echo "== two minutes of churn (the soak, its daemon 10 times faster)"
  scripts/soak.sh build-test 2 10
  echo "== a minute of ARP storm from 300 MACs while 20 hosts keep talking"
  scripts/storm.sh build-test 60
else
  echo "== system tests skipped: they need root for network namespaces"
fi

echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan $werror -DHOSTMON_TESTS=ON -DHOSTMON_SANITIZE=ON -DHOSTMON_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --no-tests=error --test-dir build-asan -L unit --output-on-failure -j2

echo "== fuzzing: every parser of outside input, ${FUZZ_SECONDS:-30} s each (clang, ASan+UBSan)"
scripts/build.sh build-fuzz $werror -DCMAKE_CXX_COMPILER=clang++ -DHOSTMON_FUZZ=ON -DHOSTMON_TESTS=OFF \
  -DHOSTMON_BENCH=OFF
scratch=$(mktemp -d /tmp/hostmon-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  mkdir -p "$scratch/$name"
  cp -r "fuzz/corpus/$name/." "$scratch/$name/" 2>/dev/null || true
  (cd "$scratch" && "$OLDPWD/$target" -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=0 \
    "$scratch/$name" >"$scratch/$name.log" 2>&1) || { tail -n 40 "$scratch/$name.log"; exit 1; }
  echo "$name: $(grep -o "Done [0-9]* runs" "$scratch/$name.log")"
done

echo "== Release builds, as a packager makes them (GCC and Clang, warnings allowed)"
for cxx in g++ clang++; do
  scripts/build.sh "build-release-$cxx" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$cxx \
    -DHOSTMON_TESTS=OFF -DHOSTMON_BENCH=OFF
done

echo "== cross builds for the gateway (32- and 64-bit ARM), unit tests on 32-bit ARM under qemu-user"
scripts/cross.sh armhf build-cross-armhf --test
scripts/cross.sh arm64 build-cross-arm64

echo "== formatting"
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run -Werror
echo "all tests passed"
