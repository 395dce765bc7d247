#!/usr/bin/env bash
# An ARP storm against the real daemon in a throwaway LAN of network namespaces.
# Twenty hosts are learnt; then, while they keep talking, host 21 sends ARP
# requests for the gateway as fast as it can from 300 generated MACs (more than
# the table's 254 items; addresses .41-.254, so some MACs share one) for
# SECONDS. Every couple of seconds meanwhile, the debug shell must answer
# "test show" within 5 s, and a DHCP server's "address added" message (0x3012)
# must bring its one ARP request within 5 s; host 22 counts every ARP request
# the gateway sends. Afterwards: the twenty are in both neighbours files and in
# the saved database, the table never held more than 254 items, and the gateway
# sent no ARP request but those the messages asked for (nothing ages within the
# run). Prints the frames the daemon's socket dropped. Run as root after a
# build with the benchmarks (the generator and counter are in bench/):
#   scripts/storm.sh [BUILD_DIR] [SECONDS]     (default build/, 60 s)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build}
seconds=${2:-60}
[ "$(id -u)" -eq 0 ] || { echo "storm: needs root (network namespaces)"; exit 1; }
for exe in hostmon lumbus lumdebug lumdb bench/arpgen bench/probecount; do
  [ -x "$bin/$exe" ] || { echo "storm: $bin/$exe missing: build first"; exit 1; }
done
. "$top/scripts/lan.sh"

hosts=20 gen=21 watch=22
probe_ip=192.168.1.35 probe_mac=02:00:00:00:aa:01  # leased to nobody, answered by nobody
work=$(mktemp -d /tmp/hostmon-storm.XXXXXX)
daemon="" others=""
cleanup() {
  set +e
  for p in $others $daemon; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  lan_destroy
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
  echo "storm: $*" >&2
  exit 1
}
in_host() { ip netns exec "$LAN_TAG-h$1" "${@:2}"; }
mac() { printf 02:00:00:00:00:%02X "$1"; }
talk() {  # host i asks for the gateway over IPv4 and IPv6
  in_host "$1" ip neigh flush all 2>/dev/null || true
  in_host "$1" ping -c 1 -W 1 192.168.1.1 >/dev/null 2>&1 || true
  in_host "$1" ping -6 -c 1 -W 1 2001:db8:1::1 >/dev/null 2>&1 || true
}
all_talk() {
  local i pids=""
  for i in $(seq "$hosts"); do
    talk "$i" &
    pids+=" $!"
  done
  wait $pids
}
# Hosts 1-20 missing from file $1 (by MAC and IPv4 address), or "".
missing_from() {
  local i miss=""
  for i in $(seq "$hosts"); do
    grep -qi "^$(mac "$i") .*192\.168\.1\.$((10 + i))\b" "$1" 2>/dev/null || miss+=" $i"
  done
  echo "$miss"
}
items() { cut -d' ' -f1 "$work/dhcps/neighbors" 2>/dev/null | sort -u | wc -l; }
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
max() { echo $(($1 > $2 ? $1 : $2)); }
probes_for() { grep -cx "${1//./\\.}" "$work/probes" || true; }

lan_create "hmst$$" "$watch"
lan_hosts_up
export LUM_BUS_DIR="$work/bus"
"$top/scripts/hostmon-in-netns.sh" "$LAN_GW" "$work" env -u LUM_TRACE "$bin/hostmon" \
  >"$work/stdout.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do [ -S "$work/bus/debug/hostmon" ] && break; sleep 0.1; done
[ -S "$work/bus/debug/hostmon" ] || fail "hostmon did not start"

miss=" all"
for _ in $(seq 30); do
  all_talk
  sleep 1
  miss=$(missing_from "$work/dhcps/neighbors")
  [ -z "$miss" ] && break
done
[ -z "$miss" ] || fail "hosts$miss were not learnt"
sleep 3  # the probes that learning sends are answered before the count starts

in_host "$watch" "$bin/bench/probecount" eth0 02:00:00:00:ff:00 >"$work/probes" &
others+=" $!"
(while :; do all_talk; sleep 2; done) >/dev/null 2>&1 &
others+=" $!"
read -r _ drops0 < <(lan_skmem "$daemon")
in_host "$gen" "$bin/bench/arpgen" -i eth0 -n 300 -a 41 -r 0 -t "$seconds" >"$work/sent" &
gen_pid=$!

asked=0 show_worst=0 bus_worst=0 peak=0
while kill -0 "$gen_pid" 2>/dev/null; do
  kill -0 "$daemon" 2>/dev/null || fail "hostmon died"
  t0=$(date +%s%N)
  timeout 5 "$bin/lumdebug" hostmon test show >/dev/null || fail "the debug shell did not answer"
  show_worst=$(max "$(ms_since "$t0")" "$show_worst")
  before=$(probes_for "$probe_ip")
  t0=$(date +%s%N)
  "$bin/lumbus" send hostmon 0x3012 --mac "$probe_mac" --ip "$probe_ip" --bridge br0 >/dev/null
  asked=$((asked + 1))
  until [ "$(probes_for "$probe_ip")" -gt "$before" ]; do
    [ "$(ms_since "$t0")" -lt 5000 ] || fail "a bus message was not handled within 5 s"
    sleep 0.01
  done
  bus_worst=$(max "$(ms_since "$t0")" "$bus_worst")
  peak=$(max "$(items)" "$peak")
  sleep 2
done
wait "$gen_pid" || fail "the generator failed"

for _ in $(seq 600); do [ "$(lan_skmem "$daemon" | cut -d' ' -f1)" = 0 ] && break; sleep 0.1; done
read -r queued drops < <(lan_skmem "$daemon")
[ "$queued" = 0 ] || fail "the daemon's socket still holds $queued bytes a minute after the storm"
sleep 1
peak=$(max "$(items)" "$peak")
kill -0 "$daemon" 2>/dev/null || fail "hostmon died"

for f in neighbors neighbors_new; do
  miss=$(missing_from "$work/dhcps/$f")
  [ -z "$miss" ] || fail "hosts$miss are missing from $f"
done
for _ in $(seq 50); do  # the save follows the last change by a second
  "$bin/lumdb" -f "$work/cfg.db" dump >"$work/db" 2>/dev/null || true
  miss=""
  for i in $(seq "$hosts"); do grep -qi "$(mac "$i")" "$work/db" || miss+=" $i"; done
  [ -z "$miss" ] && break
  sleep 0.2
done
[ -z "$miss" ] || fail "hosts$miss are missing from the saved database"

[ "$peak" -le 254 ] || fail "the table held $peak items"
[ "$peak" -eq 254 ] || fail "the storm never filled the table (at most $peak items)"
answered=$(probes_for "$probe_ip")
[ "$answered" -eq "$asked" ] || fail "$asked messages asked for a probe of $probe_ip, $answered sent"
unasked=$(grep -vcx "${probe_ip//./\\.}" "$work/probes" || true)
[ "$unasked" -eq 0 ] || fail "the gateway sent $unasked ARP requests nobody asked for:"$'\n'"$(
  grep -vx "${probe_ip//./\\.}" "$work/probes" | sort | uniq -c | sort -rn | head)"

echo "storm: $(cat "$work/sent") frames in $seconds s from 300 MACs;" \
  "the daemon's socket dropped $((drops - drops0))"
echo "storm: the table peaked at $peak items; all $hosts hosts kept in both files and the database"
echo "storm: worst answer of the debug shell $show_worst ms, of the bus $bus_worst ms;" \
  "$asked probes asked for and sent, none other"
