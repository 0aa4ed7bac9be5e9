# Sourced by the guest's cases: where things are, and the run that answers the removal cue.
# The kernel command line names the results folder (ecm.out) and ecmemu (ecm.ecmemu), both
# relative to the tree shared as /work.
out=/work/$(sed -n 's/.*ecm\.out=\([^ ]*\).*/\1/p' /proc/cmdline)
ecmemu=/work/$(sed -n 's/.*ecm\.ecmemu=\([^ ]*\).*/\1/p' /proc/cmdline)
mkdir -p "$out"

# Waits until a USB device VID:PID is enumerated (by sysfs), at most $2 seconds.
wait_usb_device() {
  local vid=${1%:*} pid=${1#*:} n=0
  while [ $n -lt $(($2 * 10)) ]; do
    for d in /sys/bus/usb/devices/*; do
      [ "$(cat "$d/idVendor" 2>/dev/null)" = "$vid" ] && [ "$(cat "$d/idProduct" 2>/dev/null)" = "$pid" ] && return 0
    done
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

# run_session NAME ARGS...: one ecmemu run, its JSON report and captures kept under NAME.
run_session() {
  local name=$1
  shift
  echo "guest: run $name"
  "$ecmemu" run --json --usb-pcap "$out/$name.usb.pcap" --eth-pcap "$out/$name.eth.pcap" "$@" \
    > "$out/$name.json" 2> "$out/$name.err"
  echo "guest: run $name exited with $?"
}

# run_removal NAME UNPLUG ARGS...: a run with --surprise-removal; UNPLUG (a command) runs at
# the session's cue, or nothing does when the removal comes from outside the guest.
run_removal() {
  local name=$1 unplug=$2 n=0
  shift 2
  echo "guest: run $name"
  "$ecmemu" run --json --surprise-removal --usb-pcap "$out/$name.usb.pcap" "$@" \
    > "$out/$name.json" 2> "$out/$name.err" &
  local pid=$!
  while ! grep -q "remove the device now" "$out/$name.err" 2>/dev/null; do
    kill -0 $pid 2>/dev/null || break
    [ $n -lt 1200 ] || break
    sleep 0.1
    n=$((n + 1))
  done
  echo "guest: removal cue"
  [ -n "$unplug" ] && $unplug
  wait $pid
  echo "guest: run $name exited with $?"
}
