# Shell functions for a throwaway LAN of network namespaces (sourced by demo.sh):
# a gateway namespace with bridge br0 and ports eth1..ethN, one host namespace
# behind each port (its interface eth0, address 192.168.1.(10+i), MAC 02:00:00:00:00:0i).

lan_create() {  # lan_create TAG NPORTS
  LAN_TAG=$1
  LAN_PORTS=$2
  LAN_GW="$LAN_TAG-gw"
  LAN_MADE_ONLINE=0
  [ -d /online ] || LAN_MADE_ONLINE=1
  ip netns add "$LAN_GW"
  ip -n "$LAN_GW" link set lo up
  ip -n "$LAN_GW" link add br0 type bridge
  ip -n "$LAN_GW" addr add 192.168.1.1/24 dev br0
  ip -n "$LAN_GW" link set br0 up
  local i
  for i in $(seq 1 "$LAN_PORTS"); do
    local host="$LAN_TAG-h$i"
    ip netns add "$host"
    ip -n "$host" link set lo up
    ip -n "$LAN_GW" link add "eth$i" type veth peer name eth0 netns "$host"
    ip -n "$LAN_GW" link set "eth$i" master br0 up
    ip -n "$host" link set eth0 address "02:00:00:00:00:0$i"
    ip -n "$host" addr add "192.168.1.$((10 + i))/24" dev eth0
    ip -n "$host" link set eth0 up
  done
}

lan_destroy() {
  [ -n "${LAN_TAG:-}" ] || return 0
  local ns
  for ns in $(ip netns list | awk '{print $1}' | grep "^$LAN_TAG-" || true); do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  if [ "${LAN_MADE_ONLINE:-0}" = 1 ]; then rmdir /online 2>/dev/null || true; fi
  LAN_TAG=""
}
