#!/usr/bin/env bash
# Runs a command (normally hostmon) inside network namespace NS with the daemon's
# fixed paths (/var/dhcp/dhcps/, /online/) bound to folders of WORKDIR in a
# private mount namespace, and the platform's files placed in WORKDIR:
#   hostmon-in-netns.sh NS WORKDIR COMMAND [ARGS...]
# WORKDIR gets dhcps/, online/, bus/, cfg.db, trace.log, mlog.log, event.log.
set -euo pipefail
ns=$1 work=$2
shift 2
mkdir -p "$work/dhcps" "$work/online" "$work/bus"
# /online is a mount point at the root; it is created empty when missing and
# left for the caller to remove (see lan.sh).
[ -d /online ] || mkdir /online
export LUM_BUS_DIR="$work/bus" LUM_DB_FILE="$work/cfg.db"
export LUM_MLOG_FILE="$work/mlog.log" LUM_EVENT_LOG="$work/event.log"
export LUM_TRACE="${LUM_TRACE:-$work/trace.log}"
exec ip netns exec "$ns" unshare --mount --propagation private -- sh -c '
  work=$1; shift
  # A tmpfs over /var holds the DHCP folder without touching the real /var.
  mount -t tmpfs -o mode=0755 hostmon-var /var
  mkdir -p /var/dhcp/dhcps /var/run /var/lib /var/log
  mount --bind "$work/dhcps" /var/dhcp/dhcps
  mount --bind "$work/online" /online
  exec "$@"' hostmon-in-netns "$work" "$@"
