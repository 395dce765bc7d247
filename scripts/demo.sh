#!/usr/bin/env bash
# hostmon's main job, on a throwaway LAN of network namespaces: builds, creates the
# LAN (bridge br0 with two ports and a host behind each, IPv4 and IPv6), starts the
# daemon in it, shows what it does, and removes everything again, also when
# interrupted. HOSTMON_BUILD_DIR picks another build folder than build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "demo: needs root (network namespaces)"; exit 1; }

"$top/scripts/setup.sh"
echo "== building"
bin="${HOSTMON_BUILD_DIR:-$top/build}"
"$top/scripts/build.sh" "$bin" -DHOSTMON_TESTS=OFF -DHOSTMON_BENCH=OFF
. "$top/scripts/lan.sh"

work=$(mktemp -d /tmp/hostmon-demo.XXXXXX)
daemon="" cms="" dhcps=""
cleanup() {
  trap - EXIT INT TERM
  set +e
  for p in ${cms:-} ${dhcps:-}; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  if [ -n "$daemon" ]; then
    kill "$daemon" 2>/dev/null
    wait "$daemon" 2>/dev/null
  fi
  lan_destroy
  rm -rf "$work"
  echo "== cleaned up"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export LUM_BUS_DIR="$work/bus" LUM_DB_FILE="$work/cfg.db" LUM_TRACE="$work/trace.log"
export LUM_MLOG_FILE="$work/mlog.log" LUM_EVENT_LOG="$work/event.log"
lan_create "hmdemo$$" 2
echo "== LAN: namespace $LAN_GW with br0 192.168.1.1/24 and 2001:db8:1::1/64, ports eth1 eth2;"
echo "   hosts 192.168.1.11 and 2001:db8:1::11, 192.168.1.12 and 2001:db8:1::12 (links still down)"

echo "== hostmon lumv (version mode: one trace line, no bus, no database)"
LUM_TRACE=- "$bin/hostmon" lumv

echo "== the database the daemon will seed from the gateway's kernel (lumdb dump)"
ip netns exec "$LAN_GW" "$bin/lumdb" dump

echo "== listening as \"cms\" and \"dhcps\", the daemon's two peers (lumbus listen)"
mkdir -p "$work/bus"
"$bin/lumbus" listen cms --timeout 30 >"$work/cms.log" 2>&1 &
cms=$!
"$bin/lumbus" listen dhcps --timeout 30 >"$work/dhcps.log" 2>&1 &
dhcps=$!
for _ in $(seq 50); do [ -S "$work/bus/cms" ] && [ -S "$work/bus/dhcps" ] && break; sleep 0.1; done

echo "== starting the daemon in $LAN_GW"
"$top/scripts/hostmon-in-netns.sh" "$LAN_GW" "$work" "$bin/hostmon" >"$work/stdout.log" 2>&1 &
daemon=$!
for _ in $(seq 50); do [ -S "$work/bus/hostmon" ] && break; sleep 0.1; done
[ -S "$work/bus/hostmon" ] || { echo "demo: the daemon did not join the bus"; cat "$work/stdout.log"; exit 1; }
echo "joined the bus as: $(ls "$work/bus" | grep -v -e subscriptions -e debug -e cms -e dhcps)"
echo "subscriptions:"
(cd "$work/bus/subscriptions" && ls -1 */ | paste -sd' ')

echo "== the hosts' links come up; each host's kernel solicits routers, the daemon asks it"
echo "   for its address with a Neighbor Solicitation and learns it from the advertisement"
lan_hosts_up
for _ in $(seq 50); do [ "$(grep -c 'ND packet, MAC address' "$work/trace.log")" -ge 2 ] && break; sleep 0.1; done
grep -E "Recvd ROUTER_SOLICIT|ND packet, MAC address" "$work/trace.log" | head -4 || true

echo "== host 1 pings the gateway's global IPv6 address; the gateway's kernel confirms"
echo "   its neighbour about 5 s later, and that answer teaches the daemon the address"
ip netns exec "$LAN_TAG-h1" ping -6 -c 1 -W 2 2001:db8:1::1 >/dev/null && echo "host 1 reached 2001:db8:1::1"

echo "== the hosts talk to the gateway over IPv4; the daemon learns them from their ARP"
for i in 1 2; do ip netns exec "$LAN_TAG-h$i" ping -c 1 -W 1 192.168.1.1 >/dev/null && echo "host $i reached the gateway"; done

echo "== lumbus send hostmon 0xbb05 (named but not handled: two traces)"
"$bin/lumbus" send hostmon 0xbb05
# The daemon may still be in the pauses before its notices to cms.
for _ in $(seq 50); do grep -q unexpected "$work/trace.log" && break; sleep 0.1; done
grep -E 'msg_type|unexpected' "$work/trace.log" | tail -2 || true

for _ in $(seq 100); do grep -q " 2001:db8:1::11$" "$work/dhcps/neighbors" && break; sleep 0.1; done
echo "== lumdebug hostmon test show"
"$bin/lumdebug" hostmon test show && echo "(show returned 0)"

echo "== how the hosts were learnt (trace)"
grep -m 6 -E "Add a new MAC|rcv new device|Tell dhcps" "$work/trace.log" || true

echo "== what was published (the DHCP server's notice comes 3 s after the last rewrite)"
for _ in $(seq 60); do grep -q 0xbb01 "$work/dhcps.log" && [ -s "$work/cfg.db" ] && break; sleep 0.1; done
echo "-- /var/dhcp/dhcps/neighbors"
cat "$work/dhcps/neighbors"
echo "-- /var/dhcp/dhcps/neighbors_new"
cat "$work/dhcps/neighbors_new"
echo "-- notices to cms"
cat "$work/cms.log"
echo "-- notice to dhcps"
cat "$work/dhcps.log"
echo "-- host objects in the saved database (lumdb dump)"
"$bin/lumdb" dump | grep -E 'Hosts\.Host\.[0-9]+\.(IPAddress|X_IPv6LinkLocalAddress|MACAddress|HostName|AddressSource|Layer2Interface|Active|X_IPv6Active|X_IPv6Address\.[0-9]+\.Address)=' || echo "(none saved yet)"

echo "== trace of the start-up"
head -n 20 "$work/trace.log"
