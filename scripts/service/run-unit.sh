#!/usr/bin/env bash
# Starts the installed hostmon the way its systemd unit would, where no systemd
# runs (tests, a container): in network namespace NS and a private mount
# namespace whose /run/lumbus, /var/lib/lum, /var/log/lum, /var/dhcp/dhcps and
# /online are folders of WORKDIR (bus/, db/, WORKDIR itself, dhcps/, online/);
# the folders made as the tmpfiles snippet says; then the unit's user, groups,
# capabilities, no-new-privileges, umask, environment file and command line,
# through setpriv. NAME=VALUE arguments are added to the environment, as a
# drop-in's Environment= lines would be.
#   run-unit.sh NS WORKDIR PREFIX [NAME=VALUE...]
set -euo pipefail
ns=$1 work=$2 prefix=$3
shift 3
unit=$prefix/lib/systemd/system/hostmon.service
tmpfiles=$prefix/lib/tmpfiles.d/hostmon.conf
[ -r "$unit" ] && [ -r "$tmpfiles" ] || { echo "run-unit: no installed unit under $prefix" >&2; exit 1; }
key() { sed -n "s/^$1=//p" "$unit" | tail -1; }
# "CAP_NET_RAW CAP_NET_ADMIN" -> "-all,+net_raw,+net_admin"
caps() {
  local out=-all c
  for c in $1; do
    c=${c#CAP_}
    out+=",+${c,,}"
  done
  echo "$out"
}
envfile=$(key EnvironmentFile)
envfile=${envfile#-}
mkdir -p "$work/bus" "$work/db" "$work/dhcps" "$work/online"
# /online is a mount point at the root; made when missing, left for the caller.
[ -d /online ] || mkdir /online
exec ip netns exec "$ns" unshare --mount --propagation private -- bash -c '
  set -euo pipefail
  work=$1 tmpfiles=$2 envfile=$3 user=$4 group=$5 groups=$6 caps=$7 bounding=$8 umask=$9
  shift 9
  mount -t tmpfs -o mode=0755 hostmon-var /var
  mount -t tmpfs -o mode=0755 hostmon-run /run
  mkdir -p /run/lumbus /var/lib/lum /var/log/lum /var/dhcp/dhcps
  mount --bind "$work/bus" /run/lumbus
  mount --bind "$work/db" /var/lib/lum
  mount --bind "$work" /var/log/lum
  mount --bind "$work/dhcps" /var/dhcp/dhcps
  mount --bind "$work/online" /online
  while read -r type path mode owner grp _; do
    [ "$type" = d ] || continue
    mkdir -p "$path"
    chown "$owner:$grp" "$path"
    chmod "$mode" "$path"
  done <"$tmpfiles"
  env=(PATH=/usr/sbin:/usr/bin:/sbin:/bin)
  if [ -r "$envfile" ]; then
    while IFS= read -r line; do
      [[ $line =~ ^[A-Z_]+= ]] && env+=("$line")
    done <"$envfile"
  fi
  umask "$umask"
  exec setpriv --reuid="$user" --regid="$group" --groups="$groups" --inh-caps="$caps" \
    --ambient-caps="$caps" --bounding-set="$bounding" --no-new-privs \
    env -i "${env[@]}" "$@"' run-unit "$work" "$tmpfiles" "$envfile" "$(key User)" "$(key Group)" \
  "$(key SupplementaryGroups)" "$(caps "$(key AmbientCapabilities)")" \
  "$(caps "$(key CapabilityBoundingSet)")" "$(key UMask)" "$@" $(key ExecStart)
