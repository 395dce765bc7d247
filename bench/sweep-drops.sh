#!/usr/bin/env bash
# ARP frames the daemon's listening socket drops while a companion-subnet sweep
# holds its event loop (253 requests, 12 ms apart, about 3 s), on a real kernel:
# a throwaway LAN of network namespaces, a host sending ARP requests at RATE
# frames a second for the whole run, and the socket's drop counter from
# sock_diag (ss -0 -m). Run by hand, as root, after a build:
#   bench/sweep-drops.sh [BUILD_DIR] [RATE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build}
rate=${2:-1000}
[ "$(id -u)" -eq 0 ] || { echo "sweep-drops: needs root"; exit 1; }
command -v python3 >/dev/null || { echo "sweep-drops: needs python3 (the frame generator)"; exit 1; }
. "$top/scripts/lan.sh"

work=$(mktemp -d /tmp/hostmon-sweep.XXXXXX)
daemon="" gen="" sniff=""
cleanup() {
  set +e
  for p in $gen $sniff $daemon; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  lan_destroy
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lan_create "hmsw$$" 2
lan_hosts_up
"$top/scripts/hostmon-in-netns.sh" "$LAN_GW" "$work" "$bin/hostmon" >"$work/stdout.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do [ -S "$work/bus/hostmon" ] && break; sleep 0.1; done
export LUM_BUS_DIR="$work/bus"

# The hostmon packet socket's drop counter (skmem d) and receive buffer (rb).
skmem() {
  ip netns exec "$LAN_GW" ss -0 -a -m -p 2>/dev/null | grep -A1 '"hostmon"' |
    grep -o 'skmem:([^)]*)' | head -1
}

# Host 2 asks for the gateway's address RATE times a second (absolute pacing).
ip netns exec "$LAN_TAG-h2" python3 - "$rate" 16 <<'EOF' &
import socket, struct, sys, time
rate, seconds = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind(("eth0", 0))
mac = bytes.fromhex("020000000002")
frame = (b"\xff" * 6 + mac + b"\x08\x06" + struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) +
         mac + socket.inet_aton("192.168.1.12") + b"\x00" * 6 + socket.inet_aton("192.168.1.1"))
frame += b"\x00" * (60 - len(frame))
start, n = time.monotonic(), 0
while n < rate * seconds:
    due = start + n / rate
    now = time.monotonic()
    if due > now:
        time.sleep(due - now)
    s.send(frame)
    n += 1
print(n)
EOF
gen=$!
# Host 1 counts the sweep's requests: ARP from the companion address.
ip netns exec "$LAN_TAG-h1" python3 - 17 >"$work/sweep.count" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0806))
s.bind(("eth0", 0))
s.settimeout(0.2)
end, n = time.monotonic() + float(sys.argv[1]), 0
while time.monotonic() < end:
    try:
        f = s.recv(100)
    except socket.timeout:
        continue
    if f[28:32] == socket.inet_aton("192.168.1.100"):
        n += 1
print(n)
EOF
sniff=$!
sleep 1
before=$(skmem)
"$bin/lumbus" send hostmon 0xb90c --payload-text 192.168.1.100
"$bin/lumbus" send hostmon 0xb908 --mac 02:00:00:00:00:77
wait "$gen"
gen=""
after=$(skmem)
wait "$sniff"
sniff=""
echo "rate ${rate}/s for 16 s; sweep requests seen by host 1: $(cat "$work/sweep.count")"
echo "before: $before"
echo "after:  $after"
