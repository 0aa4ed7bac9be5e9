#!/usr/bin/env bash
# The bridge's baseline: iperf3 TCP each way between two network namespaces joined by a plain
# veth pair, as scripts/iperf3-each-way.sh prints it. Needs root.
#
#   bench/veth-iperf3.sh SECONDS
set -uo pipefail

seconds=${1:?usage: $0 SECONDS}
here=$(cd "$(dirname "$0")/.." && pwd)
# Unique per run, so that it collides with nothing else on the machine.
name=ev$$
host=$name-host
peer=$name-peer

cleanup() {
  ip netns del "$host" 2>/dev/null
  ip netns del "$peer" 2>/dev/null
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || { echo "$0: root is needed for network namespaces" >&2; exit 1; }
ip netns add "$host" && ip netns add "$peer" &&
  ip link add "$name-a" netns "$host" type veth peer name "$name-b" netns "$peer" &&
  ip -n "$host" addr add 10.98.0.1/24 dev "$name-a" &&
  ip -n "$peer" addr add 10.98.0.2/24 dev "$name-b" &&
  for ns in "$host" "$peer"; do ip -n "$ns" link set lo up || exit 1; done &&
  ip -n "$host" link set "$name-a" up &&
  ip -n "$peer" link set "$name-b" up || { echo "$0: the veth pair did not come up" >&2; exit 1; }
"$here/scripts/iperf3-each-way.sh" "$host" "$peer" 10.98.0.2 "$seconds"
