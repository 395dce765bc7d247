#!/usr/bin/env bash
# A long run of churn against the real daemon in a throwaway LAN of network
# namespaces, sampling what must stay bounded. Run by hand, as root, after a
# build:
#   scripts/soak.sh [BUILD_DIR] [MINUTES] [TIME_SCALE]
# Defaults: build/, 60 minutes, real time. CI runs two minutes at scale 10.
# The churn, every couple of seconds, at random: a host talks (ARP, ping over
# IPv4 and IPv6), a host goes silent (its link down), the roaming host moves to
# the other port, a port's link goes down and up (with the link messages), the
# leases file changes, and every message type the daemon takes arrives from
# the bus. Each minute: the daemon's RSS, descriptors, timers and loop
# registrations (lumdebug hostmon lum stats) go to WORKDIR/samples. At the end
# every silent host must age out and every talking one be listed; after the
# first sample nothing may keep growing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build}
minutes=${2:-60}
scale=${3:-1}
[ "$(id -u)" -eq 0 ] || { echo "soak: needs root (network namespaces)"; exit 1; }
. "$top/scripts/lan.sh"

work=$(mktemp -d /tmp/hostmon-soak.XXXXXX)
daemon=""
cleanup() {
  set +e
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  lan_destroy
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
  echo "soak: $*" >&2
  tail -n 20 "$work/samples" >&2 2>/dev/null || true
  exit 1
}

# Five ports: hosts 1-4 stay on theirs; host 5 roams between eth5 and eth6.
lan_create "hmsk$$" 5
ip -n "$LAN_GW" link add eth6 type veth peer name eth1 netns "$LAN_TAG-h5"
ip -n "$LAN_GW" link set eth6 addrgenmode none
ip -n "$LAN_GW" link set eth6 master br0 up
ip -n "$LAN_TAG-h5" link set eth1 address 02:00:00:00:00:05
lan_hosts_up

export LUM_BUS_DIR="$work/bus"
LUM_TIME_SCALE=$scale "$top/scripts/hostmon-in-netns.sh" "$LAN_GW" "$work" \
  env -u LUM_TRACE "$bin/hostmon" >"$work/stdout.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do [ -S "$work/bus/debug/hostmon" ] && break; sleep 0.1; done
[ -S "$work/bus/debug/hostmon" ] || fail "hostmon did not start"

in_host() { ip netns exec "$LAN_TAG-h$1" "${@:2}"; }
talk() {  # host i asks for the gateway over IPv4 and IPv6
  in_host "$1" ip neigh flush all 2>/dev/null || true
  in_host "$1" ping -c 1 -W 1 192.168.1.1 >/dev/null 2>&1 || true
  in_host "$1" ping -6 -c 1 -W 1 2001:db8:1::1 >/dev/null 2>&1 || true
}
roam() {  # host 5 goes over to its other link
  local up down
  if [ "$(in_host 5 cat /sys/class/net/eth0/operstate)" = up ]; then up=eth1 down=eth0; else up=eth0 down=eth1; fi
  in_host 5 ip link set "$down" down
  in_host 5 ip addr flush dev "$down"
  in_host 5 ip addr add 192.168.1.15/24 dev "$up"
  in_host 5 ip link set "$up" up
  talk 5
}
# One leases record: address, expiry (uptime seconds), MAC text, host name.
le32() {  # little-endian, as the gateway's processors and this machine store it
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
    $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}
text() { printf '%s' "${1:0:$(($2 - 1))}"; head -c $(($2 - ${#1} > 0 ? $2 - ${#1} : 1)) /dev/zero; }
lease() {
  IFS=. read -r a b c d <<<"$1"
  le32 $(((a << 24) | (b << 16) | (c << 8) | d))
  le32 "$2"
  text "$3" 18
  text "$3" 18
  head -c $((64 + 32 + 32)) /dev/zero
  text "$4" 65
  head -c $((660 - 237)) /dev/zero
}
leases() {  # a fresh leases file, replaced in one rename
  local i
  for i in 1 2 3 4; do
    [ $((RANDOM % 2)) = 0 ] && lease "192.168.1.1$i" 2147483647 "02:00:00:00:00:0$i" "host-$i-$RANDOM"
  done >"$work/dhcps/leases.new"
  mv "$work/dhcps/leases.new" "$work/dhcps/leases"
}
link_flap() {  # port ethN down and up, with the link messages a link daemon sends
  local n=$((RANDOM % 4 + 1))
  ip -n "$LAN_GW" link set "eth$n" down
  "$bin/lumbus" send hostmon 0x5015 --payload-text "eth$n" >/dev/null 2>&1 || true
  sleep 0.2
  ip -n "$LAN_GW" link set "eth$n" up
  "$bin/lumbus" send hostmon 0x5016 \
    --payload-text "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.$n" >/dev/null 2>&1 || true
}
peers() {  # every message type the daemon takes, as its peers send them
  local m="02:00:00:00:00:0$((RANDOM % 4 + 1))"
  local lumbus=("$bin/lumbus" send hostmon)
  {
    "${lumbus[@]}" 0x3008
    "${lumbus[@]}" 0x3011
    "${lumbus[@]}" 0x3012 --mac "$m" --ip 192.168.1.77 --bridge br0
    "${lumbus[@]}" 0x3013 --mac 02:00:00:00:aa:01
    "${lumbus[@]}" 0x3015 --mac 02:00:00:00:aa:01 --ip 192.168.1.78
    "${lumbus[@]}" 0x3404 --ip6 2001:db8:1::77
    "${lumbus[@]}" 0x5022 --payload-text wl0
    "${lumbus[@]}" 0xb907 --payload-hex 00
    "${lumbus[@]}" 0xb908 --payload-text "$m"
    "${lumbus[@]}" 0xb909 --payload-text "$m"
    "${lumbus[@]}" 0xb90a --payload-text 02:00:00:00:aa:02
    "${lumbus[@]}" 0xb90b --payload-text 02:00:00:00:aa:02
    "${lumbus[@]}" 0xb90c --payload-text 192.168.9.1
    "${lumbus[@]}" 0xb90d --payload-text 192.168.9.1
    "${lumbus[@]}" 0xb911
    "${lumbus[@]}" 0xb914 --mac 02:00:00:00:aa:03 --ip 192.168.1.79 --bridge br0
    "${lumbus[@]}" 0xbb02
    "${lumbus[@]}" 0xbb03
    "${lumbus[@]}" 0xbb04
  } >/dev/null 2>&1 || true
}
sample() {
  local stats rss fds
  stats=$("$bin/lumdebug" hostmon lum stats 2>/dev/null | tr '\n' ' ') || fail "the debug shell did not answer"
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$daemon/status")
  fds=$(ls "/proc/$daemon/fd" | wc -l)
  echo "$(date +%s) rss_kib $rss fds $fds $stats" >>"$work/samples"
}

end=$(($(date +%s) + minutes * 60))
next_sample=$(date +%s)
for i in 1 2 3 4 5; do talk "$i"; done
while [ "$(date +%s)" -lt "$end" ]; do
  kill -0 "$daemon" 2>/dev/null || fail "hostmon died"
  if [ "$(date +%s)" -ge "$next_sample" ]; then
    sample
    next_sample=$((next_sample + 60))
  fi
  case $((RANDOM % 6)) in
    0) talk $((RANDOM % 4 + 1)) ;;
    1) in_host $((RANDOM % 4 + 1)) ip link set eth0 down ;;
    2) roam ;;
    3) link_flap ;;
    4) leases ;;
    5) peers ;;
  esac
  sleep 1
done
sample

# The final picture: hosts 1-4 up and talking, then time for the silent ones
# to age out (about 5 minutes of daemon time).
for i in 1 2 3 4; do in_host "$i" ip link set eth0 up; done
missing=""
for _ in $(seq 10); do
  sleep 1
  for i in 1 2 3 4 5; do talk "$i"; done
  show=$("$bin/lumdebug" hostmon test show) || fail "the debug shell did not answer"
  missing=""
  for i in 1 2 3 4 5; do grep -q "\[192.168.1.1$i\]" <<<"$show" || missing+=" $i"; done
  [ -z "$missing" ] && break
done
[ -z "$missing" ] || fail "hosts$missing are missing from the picture:"$'\n'"$show"
# Nothing keeps growing: the last sample within a bound of the first.
read -r first_rss first_fds first_timers < <(awk 'NR == 1 { print $3, $5, $7 }' "$work/samples")
read -r last_rss last_fds last_timers < <(awk 'END { print $3, $5, $7 }' "$work/samples")
[ "$last_fds" -le $((first_fds + 2)) ] || fail "descriptors grew: $first_fds -> $last_fds"
[ "$last_timers" -le $((first_timers + 8)) ] || fail "timers grew: $first_timers -> $last_timers"
[ "$last_rss" -le $((first_rss + 1024)) ] || fail "RSS grew by more than 1 MiB: $first_rss -> $last_rss KiB"
cat "$work/samples"
echo "soak: $minutes minutes survived; the picture holds hosts 1-5"
