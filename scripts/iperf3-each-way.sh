#!/usr/bin/env bash
# iperf3 TCP each way between two network namespaces: the server in PEER_NS, the client in
# HOST_NS, SECONDS each way. Prints the receiver's rate of each direction in Mbit/s:
#
#   forward RATE    (HOST_NS to PEER_NS)
#   reverse RATE
#
#   scripts/iperf3-each-way.sh HOST_NS PEER_NS PEER_ADDRESS SECONDS
# Exits 1, with the reason on standard error, when iperf3 fails or nothing arrives.
set -uo pipefail

host=${1:?usage: $0 HOST_NS PEER_NS PEER_ADDRESS SECONDS}
peer=${2:?}
address=${3:?}
seconds=${4:?}
work=$(mktemp -d)
server=

cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "iperf3: $*" >&2
  exit 1
}

ip netns exec "$peer" iperf3 -s >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  ip netns exec "$peer" ss -ltn | grep -q ":5201 " && break
  sleep 0.1
done

# The receiver's rate of one iperf3 -J run in Mbit/s.
rate() {
  python3 -c '
import json, sys
run = json.load(open(sys.argv[1]))
if "error" in run: sys.exit("iperf3: " + run["error"])
received = run["end"]["sum_received"]
if received["bytes"] == 0: sys.exit("iperf3: nothing arrived")
print("%.0f" % (received["bits_per_second"] / 1e6))' "$1"
}

for direction in forward reverse; do
  flag=; [ $direction = reverse ] && flag=-R
  timeout $((seconds + 20)) ip netns exec "$host" iperf3 -c "$address" -t "$seconds" $flag -J >"$work/$direction.json" ||
    fail "$direction failed: $(head -c 400 "$work/$direction.json")"
  mbits=$(rate "$work/$direction.json") || fail "$direction gave no result"
  echo "$direction $mbits"
done
