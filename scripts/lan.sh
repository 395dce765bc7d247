# Shell functions for a throwaway LAN of network namespaces, sourced by the demo and the
# test scripts: a gateway namespace with bridge br0 (192.168.1.1/24, 2001:db8:1::1/64)
# and ports eth1..ethN, one host namespace behind each port (its interface eth0, MAC
# 02:00:00:00:00:ii (i in hex), addresses 192.168.1.(10+i)/24 and 2001:db8:1::(10+i)/64,
# and the link-local address of its MAC). The hosts' links stay down until lan_hosts_up,
# so that a daemon started before hears the Router Solicitation each host's kernel sends
# when its link comes up.

lan_create() {  # lan_create TAG NPORTS
  LAN_TAG=$1
  LAN_PORTS=$2
  LAN_GW="$LAN_TAG-gw"
  LAN_MADE_ONLINE=0
  [ -d /online ] || LAN_MADE_ONLINE=1
  ip netns add "$LAN_GW"
  # The gateway routes IPv6, so br0 is in the all-routers group; nobody runs
  # duplicate address detection, which would only delay the addresses.
  ip netns exec "$LAN_GW" sysctl -q -w net.ipv6.conf.all.forwarding=1 \
    net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
  ip -n "$LAN_GW" link set lo up
  ip -n "$LAN_GW" link add br0 address 02:00:00:00:ff:00 type bridge
  ip -n "$LAN_GW" addr add 192.168.1.1/24 dev br0
  ip -n "$LAN_GW" addr add 2001:db8:1::1/64 dev br0 nodad
  ip -n "$LAN_GW" link set br0 up
  local i
  for i in $(seq 1 "$LAN_PORTS"); do
    local host="$LAN_TAG-h$i"
    ip netns add "$host"
    ip -n "$host" link set lo up
    ip -n "$LAN_GW" link add "eth$i" type veth peer name eth0 netns "$host"
    ip -n "$LAN_GW" link set "eth$i" addrgenmode none
    ip -n "$LAN_GW" link set "eth$i" master br0 up
    # force_tllao: the host puts its MAC into every Neighbor Advertisement, as
    # many embedded stacks do; a stock kernel leaves it out of answers to
    # unicast solicitations, and those teach the daemon nothing.
    ip netns exec "$host" sysctl -q -w net.ipv6.conf.all.accept_dad=0 \
      net.ipv6.conf.eth0.accept_dad=0 net.ipv6.conf.eth0.force_tllao=1
    ip -n "$host" link set eth0 address "$(printf 02:00:00:00:00:%02x "$i")"
    ip -n "$host" addr add "192.168.1.$((10 + i))/24" dev eth0
    ip -n "$host" addr add "2001:db8:1::$((10 + i))/64" dev eth0 nodad
  done
}

lan_hosts_up() {
  local i
  for i in $(seq 1 "$LAN_PORTS"); do ip -n "$LAN_TAG-h$i" link set eth0 up; done
}

# "queued dropped": the bytes waiting in, and the frames dropped by, the packet
# socket of process $1 in the gateway namespace (skmem r and d, as ss -0 -m shows them).
lan_skmem() {
  ip netns exec "$LAN_GW" ss -0 -a -m -p 2>/dev/null | grep -A1 "pid=$1," |
    grep -o 'skmem:([^)]*)' | head -1 | sed -E 's/.*\(r([0-9]+),.*,d([0-9]+)\)/\1 \2/'
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
