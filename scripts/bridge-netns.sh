#!/usr/bin/env bash
# Puts the cdcecm driver between two network namespaces, so that ping, iperf3 or any other
# program can talk across it:
#
#   NAME-host (NAME-tap, 10.99.0.1) -> NDIS protocol side -> driver -> USB bulk OUT
#     -> ECM device model -> wire (NAME-wire, 10.99.0.2) NAME-peer, and back.
#
#   scripts/bridge-netns.sh up [NAME] [-- ECMEMU-BRIDGE-OPTIONS...]
#   ip netns exec NAME-host ping 10.99.0.2
#   scripts/bridge-netns.sh down [NAME]     # prints ecmemu's report, exits with its status
#
# NAME (default "ecm", at most 10 characters) names the namespaces NAME-host and NAME-peer
# and the TAP interfaces NAME-tap and NAME-wire. ECMEMU names the program (default:
# build/bin/ecmemu of this tree); HOST_ADDRESS and PEER_ADDRESS override the addresses.
# Needs root. ecmemu creates the TAPs, which live as long as it runs; this script moves each
# into its namespace once ecmemu says it is bridging.
set -eEuo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
ECMEMU=${ECMEMU:-$here/build/bin/ecmemu}
HOST_ADDRESS=${HOST_ADDRESS:-10.99.0.1/24}
PEER_ADDRESS=${PEER_ADDRESS:-10.99.0.2/24}
START_TIMEOUT=20  # seconds for ecmemu to bring the adapter up
STOP_TIMEOUT=30   # seconds for it to halt and unload

usage() {
  echo "usage: $0 up [NAME] [-- ecmemu bridge options...] | $0 down [NAME]" >&2
  exit 2
}

[ $# -ge 1 ] || usage
command=$1
shift
name=ecm
if [ $# -ge 1 ] && [ "$1" != "--" ]; then
  name=$1
  shift
fi
[ $# -ge 1 ] && [ "$1" = "--" ] && shift
[[ $name =~ ^[A-Za-z0-9_]{1,10}$ ]] || { echo "$0: NAME must be 1 to 10 letters, digits or _" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: root is needed for network namespaces and TAP interfaces" >&2
  exit 1
fi

host=$name-host
peer=$name-peer
tap=$name-tap
wire=$name-wire
state=/run/ecmemu-bridge/$name

running() { [ -f "$state/pid" ] && kill -0 "$(cat "$state/pid")" 2>/dev/null; }

down() {
  local status=0
  if running; then
    kill -TERM "$(cat "$state/pid")"
    for _ in $(seq $((STOP_TIMEOUT * 10))); do
      [ -f "$state/status" ] && break
      sleep 0.1
    done
    if [ ! -f "$state/status" ]; then
      echo "$0: ecmemu did not stop within ${STOP_TIMEOUT}s; killed" >&2
      kill -KILL "$(cat "$state/pid")" 2>/dev/null || true
      status=1
    fi
  fi
  [ -f "$state/log" ] && cat "$state/log"
  if [ -f "$state/status" ] && [ $status -eq 0 ]; then status=$(cat "$state/status"); fi
  ip netns del "$host" 2>/dev/null || true
  ip netns del "$peer" 2>/dev/null || true
  rm -rf "$state"
  rmdir --ignore-fail-on-non-empty "${state%/*}" 2>/dev/null || true
  return "$status"
}

up() {
  [ -x "$ECMEMU" ] || { echo "$0: $ECMEMU is not built (make build)" >&2; exit 1; }
  if [ -d "$state" ] || ip netns list | grep -qE "^($host|$peer)( |$)"; then
    echo "$0: a bridge named $name is up already ($0 down $name ends it)" >&2
    exit 1
  fi
  mkdir -p "$state"
  ip netns add "$host"
  ip netns add "$peer"
  # A subshell waits for ecmemu so that its exit status is kept for down.
  (
    "$ECMEMU" bridge --tap "$tap" --wire-tap "$wire" "$@" &
    echo $! >"$state/pid"
    set +e
    wait $!
    echo $? >"$state/status.new"
    mv "$state/status.new" "$state/status"
  ) >"$state/log" 2>&1 </dev/null &
  for _ in $(seq $((START_TIMEOUT * 10))); do
    grep -q "^ecmemu: bridging" "$state/log" 2>/dev/null && break
    [ -f "$state/status" ] && break
    sleep 0.1
  done
  if ! grep -q "^ecmemu: bridging" "$state/log" 2>/dev/null; then
    echo "$0: ecmemu did not start bridging" >&2
    down || true
    exit 1
  fi
  ip link set "$tap" netns "$host"
  ip link set "$wire" netns "$peer"
  ip -n "$host" link set lo up
  ip -n "$peer" link set lo up
  ip -n "$host" addr add "$HOST_ADDRESS" dev "$tap"
  ip -n "$peer" addr add "$PEER_ADDRESS" dev "$wire"
  ip -n "$host" link set "$tap" up
  ip -n "$peer" link set "$wire" up
  echo "bridge $name is up: namespace $host ($tap, ${HOST_ADDRESS%/*}) reaches" \
    "namespace $peer ($wire, ${PEER_ADDRESS%/*}) through the driver"
  echo "  try: ip netns exec $host ping ${PEER_ADDRESS%/*}"
  echo "  end: $0 down $name"
}

case $command in
  up)
    trap 'echo "$0: setting up failed; tearing down" >&2; down >/dev/null || true' ERR
    up "$@"
    ;;
  down) down ;;
  *) usage ;;
esac
