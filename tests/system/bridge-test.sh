#!/usr/bin/env bash
# Real traffic through the driver: two network namespaces around ecmemu's TAP bridge, 20 pings
# without loss, iperf3 TCP each way, then ecmemu must stop cleanly with the verifier silent
# and nothing leaked. Prints the throughput it measured.
#
#   tests/system/bridge-test.sh ECMEMU [ECMEMU-BRIDGE-OPTIONS...]   (--profile FILE, --param N=V)
set -uo pipefail

ecmemu=${1:?usage: $0 path/to/ecmemu [ecmemu bridge options...]}
shift
here=$(cd "$(dirname "$0")/../.." && pwd)
script=$here/scripts/bridge-netns.sh
seconds=${IPERF_SECONDS:-3}  # of iperf3 each way

fail() {
  echo "FAIL: $*"
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "this test needs root (network namespaces, TAP interfaces); run make test as root"
for tool in ip ss ping iperf3 python3; do
  command -v $tool >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

# Unique per run, so that it collides with nothing else on the machine.
name=eb$$
host=$name-host
peer=$name-peer
work=$(mktemp -d)
torn_down=

cleanup() {
  [ -z "$torn_down" ] && ECMEMU=$ecmemu timeout 60 "$script" down "$name" >"$work/report.aborted" 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

ECMEMU=$ecmemu timeout 60 "$script" up "$name" -- "$@" || fail "the bridge did not come up"

echo "== ping"
timeout 30 ip netns exec "$host" ping -c 20 -i 0.1 -W 2 10.99.0.2 | tee "$work/ping" | tail -3
grep -q "20 packets transmitted, 20 received, 0% packet loss" "$work/ping" || fail "pings were lost"

rates=$("$here/scripts/iperf3-each-way.sh" "$host" "$peer" 10.99.0.2 $seconds) || fail "iperf3 through the bridge failed"
declare -A mbits
while read -r direction rate; do mbits[$direction]=$rate; done <<<"$rates"

ECMEMU=$ecmemu timeout 60 "$script" down "$name" >"$work/report" 2>&1
status=$?
torn_down=1
cat "$work/report"
echo "== throughput (iperf3 TCP, ${seconds}s each way): $host -> $peer ${mbits[forward]} Mbit/s," \
  "$peer -> $host ${mbits[reverse]} Mbit/s"
[ $status -eq 0 ] || fail "ecmemu bridge exited with status $status"
grep -qx "Verifier: no violation" "$work/report" || fail "the verifier reported violations"
grep -qx "Leaks: none" "$work/report" || fail "ecmemu reported leaks"
grep -qx "Result: OK" "$work/report" || fail "ecmemu's result is not OK"
echo "PASS"
