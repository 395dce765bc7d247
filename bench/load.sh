#!/usr/bin/env bash
# hostmon under ARP load on a real kernel: a throwaway LAN of network namespaces
# (bridge br0, four ports), the daemon in the gateway namespace with tracing
# off, and next to it the floor (bench/load/floor.cc: the daemon's listening
# socket and nothing else). Host 1 runs the generator (bench/load/arpgen.cc).
# For 60 and 253 simulated hosts (all the bridge's /24 holds besides the
# gateway, see docs/benchmarks.md):
#   - a burst: each new host sends one frame; the time until the IPv4
#     neighbours file lists them all, and the frames dropped meanwhile;
#   - 1,000, 5,000, 10,000 and 50,000 frames/s and unpaced, 10 s each: the CPU time
#     per frame of hostmon and of the floor on the same traffic, their ratio,
#     and each socket's drops (sock_diag, as ss -0 -m shows them);
#   - hostmon's peak RSS.
# On a noisy machine compare the ratios within one run, never absolute times
# across runs. Run by hand, as root, after a build:
#   bench/load.sh [--short] [BUILD_DIR] [OUT.json]
# --short (CI): 60 hosts, 1,000/s for 2 s, the daemon's clock 10 times faster
# so that the burst's pauses fit; fails only when something did not run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
short=0
if [ "${1:-}" = --short ]; then
  short=1
  shift
fi
bin=${1:-$top/build}
out=${2:-load.json}
[ "$(id -u)" -eq 0 ] || { echo "load: needs root (network namespaces)"; exit 1; }
for exe in hostmon bench/arpgen bench/floor; do
  [ -x "$bin/$exe" ] || { echo "load: $bin/$exe missing: build first"; exit 1; }
done
. "$top/scripts/lan.sh"

if [ "$short" = 1 ]; then
  mode=short sizes=(60) rates=(1000) seconds=2 scale=10 settle=0.5
else
  # settle: the burst's save (1 s) and DHCP server notice (3 s) fall before the rates.
  mode=full sizes=(60 253) rates=(1000 5000 10000 50000 0) seconds=10 scale=1 settle=4
fi

work=$(mktemp -d -t hostmon-load.XXXXXX)
daemon="" floor=""
cleanup() {
  set +e
  for p in $floor $daemon; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  lan_destroy
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "load: $*" >&2
  exit 1
}
# Sets cpu (on-CPU ns) and dropped (its socket's drops) for process $1.
probe() {
  local s
  s=$(lan_skmem "$1")
  [ -n "$s" ] || fail "$2 has ended"
  cpu=$(cut -d' ' -f1 "/proc/$1/schedstat")
  dropped=${s#* }
}
wait_socket() {
  for _ in $(seq 100); do [ -n "$(lan_skmem "$1")" ] && return 0; sleep 0.05; done
  return 1
}
# Until every given process has read all its socket holds.
wait_drained() {
  local pid busy
  for _ in $(seq 600); do
    busy=0
    for pid in "$@"; do [ "$(lan_skmem "$pid" | cut -d' ' -f1)" = 0 ] || busy=1; done
    [ "$busy" = 1 ] || return 0
    sleep 0.1
  done
  fail "a socket was not drained in 60 s"
}
# $1 / $2 / $3 with two decimals (0 for a zero divisor).
quotient() { awk -v a="$1" -v b="$2" -v c="$3" 'BEGIN { printf "%.2f", (b > 0 ? a / b / c : 0) }'; }
listed() { grep -ci '^02:00:00:01:' "$1/dhcps/neighbors" 2>/dev/null || true; }
gen() { ip netns exec "$LAN_TAG-h1" "$bin/bench/arpgen" -i eth0 "$@"; }

lan_create "hmld$$" 4
lan_hosts_up
printf 'hostmon under ARP load (%s, %s CPUs, kernel %s)\n' "$mode" "$(nproc)" "$(uname -r)"
blocks=""
for n in "${sizes[@]}"; do
  dir="$work/n$n"
  mkdir -p "$dir"
  # Tracing off: the start script's default trace file is dropped.
  LUM_TIME_SCALE=$scale "$top/scripts/hostmon-in-netns.sh" "$LAN_GW" "$dir" \
    env -u LUM_TRACE "$bin/hostmon" >"$dir/stdout.log" 2>&1 &
  daemon=$!
  wait_socket "$daemon" || fail "hostmon did not open its listening socket"
  sleep 0.5

  probe "$daemon" hostmon
  c0=$cpu d0=$dropped t0=$(date +%s%N)
  [ "$(gen -n "$n" -c "$n" -r 0)" = "$n" ] || fail "the burst was not sent"
  deadline=$((t0 / 1000000000 + 40 + n / 2))
  until [ "$(listed "$dir")" -ge "$n" ]; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "$(listed "$dir") of $n hosts listed"
    sleep 0.02
  done
  burst_ms=$((($(date +%s%N) - t0) / 1000000))
  probe "$daemon" hostmon
  burst_cpu_ms=$(((cpu - c0) / 1000000)) burst_drops=$((dropped - d0))
  echo "$n hosts: the burst listed after $burst_ms ms (hostmon on CPU $burst_cpu_ms ms)," \
    "$burst_drops frames dropped"
  printf '  %-8s %8s %7s %8s %8s %8s %6s %8s %7s %7s\n' rate/s sent refused "floor rx" \
    "hm us/fr" "fl us/fr" ratio "hm drop" "fl drop" "hm us/rd"
  sleep "$settle"

  runs=""
  for rate in "${rates[@]}"; do
    ip netns exec "$LAN_GW" "$bin/bench/floor" br0 >"$dir/floor.out" 2>"$dir/floor.err" &
    floor=$!
    wait_socket "$floor" || fail "the floor did not open its socket: $(cat "$dir/floor.err")"
    probe "$daemon" hostmon
    hc0=$cpu hd0=$dropped
    probe "$floor" "the floor"
    fc0=$cpu
    sent=$(gen -n "$n" -r "$rate" -t "$seconds" 2>"$dir/gen.err") ||
      fail "generator: $(cat "$dir/gen.err")"
    refused=$(sed -n 's/^arpgen: \([0-9]*\) frames refused$/\1/p' "$dir/gen.err")
    refused=${refused:-0}
    wait_drained "$daemon" "$floor"
    probe "$daemon" hostmon
    hcpu=$((cpu - hc0)) hdrop=$((dropped - hd0))
    probe "$floor" "the floor"
    fcpu=$((cpu - fc0)) fdrop=$dropped
    kill -TERM "$floor"
    wait "$floor" || fail "floor: $(cat "$dir/floor.err")"
    floor=""
    rx=$(cat "$dir/floor.out")
    [ "$sent" -gt 0 ] && [ "$rx" -gt 0 ] || fail "no traffic at rate $rate"
    hus=$(quotient "$hcpu" "$sent" 1000) fus=$(quotient "$fcpu" "$sent" 1000)
    hread=$(quotient "$hcpu" $((sent - hdrop)) 1000) ratio=$(quotient "$hcpu" "$fcpu" 1)
    label=$([ "$rate" = 0 ] && echo unpaced || echo "$rate")
    printf '  %-8s %8s %7s %8s %8s %8s %6s %8s %7s %7s\n' "$label" "$sent" "$refused" "$rx" \
      "$hus" "$fus" "$ratio" "$hdrop" "$fdrop" "$hread"
    runs+="${runs:+,}
      {\"rate\": $rate, \"seconds\": $seconds, \"sent\": $sent, \"refused\": $refused,"
    runs+=" \"floor_received\": $rx, \"hostmon_cpu_ns\": $hcpu, \"floor_cpu_ns\": $fcpu,"
    runs+=" \"hostmon_us_per_frame\": $hus, \"floor_us_per_frame\": $fus, \"ratio\": $ratio,"
    runs+=" \"hostmon_drops\": $hdrop, \"floor_drops\": $fdrop,"
    runs+=" \"hostmon_us_per_frame_read\": $hread}"
  done

  rss=$(awk '/^VmHWM/ { print $2 }' "/proc/$daemon/status")
  [ ! -e "$dir/trace.log" ] || fail "hostmon traced to a file"
  kill "$daemon"
  wait "$daemon" 2>/dev/null || true
  daemon=""
  echo "  hostmon peak RSS: $rss KiB"
  blocks+="${blocks:+,}
  {\"hosts\": $n, \"burst_ms\": $burst_ms,"
  blocks+=" \"burst_hostmon_cpu_ms\": $burst_cpu_ms, \"burst_drops\": $burst_drops,"
  blocks+=" \"hostmon_peak_rss_kib\": $rss, \"runs\": [$runs]}"
done

cat >"$out" <<EOF
{"mode": "$mode", "time_scale": $scale,
 "cpus": $(nproc), "kernel": "$(uname -r)",
 "blocks": [$blocks]}
EOF
echo "figures written to $out"
