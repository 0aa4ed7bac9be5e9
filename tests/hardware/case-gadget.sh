# The Linux ECM gadget on the dummy host controller: the device's profile, two sessions
# (OneByteTermination 0 and 1) against ecmemu reflect on the gadget's usb0, the bridge with
# ping and iperf3, and a session the gadget is unbound in the middle of; first of all the
# backend's own tests, which need usb0 where they can reach it.
. /work/tests/hardware/guest-common.sh
. /work/tests/hardware/guest-gadget.sh
gadget_up && wait_usb_device 1d6b:0104 20 || { echo "guest: the gadget did not enumerate"; exit 1; }
device=1d6b:0104
"$ecmemu" profile --usb-device $device --output "$out/gadget.profile"

echo "guest: backend tests"
export ECM_GADGET=$gadget ECM_GADGET_DEVICE=$device ECM_GADGET_UDC=$(cat "$gadget/UDC")
"$(dirname "$ecmemu")/test_realusb_gadget" --gtest_output=json:"$out/gadget-backend.json" \
  > "$out/gadget-backend.txt" 2>&1
echo "guest: backend tests exited with $?"
wait_usb_device $device 20

# The far end lives in a namespace of its own, so that traffic between it and the bridge's
# TAP crosses the device instead of the guest's loopback.
ip netns add far
ip link set usb0 netns far
ip netns exec far ip link set lo up
ip netns exec far ip addr add 10.99.7.2/24 dev usb0
ip netns exec far ip link set usb0 up
ip netns exec far "$ecmemu" reflect --interface usb0 > "$out/gadget-reflect.txt" 2>&1 &
reflector=$!

run_session gadget-obt0 --usb-device $device --frames 300 --param OneByteTermination=0
run_session gadget-obt1 --usb-device $device --frames 300 --param OneByteTermination=1

echo "guest: bridge"
modprobe tun
"$ecmemu" bridge --tap ecmb0 --usb-device $device > "$out/gadget-bridge.txt" 2> "$out/gadget-bridge.err" &
bridge=$!
n=0
while ! grep -q "bridging" "$out/gadget-bridge.err" && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
ip addr add 10.99.7.1/24 dev ecmb0
ip netns exec far iperf3 -s -D -1 > /dev/null
ping -c 20 -i 0.2 -W 5 10.99.7.2 > "$out/gadget-ping.txt" 2>&1
iperf3 -c 10.99.7.2 -t 3 --json > "$out/gadget-iperf3.json" 2>&1
ip netns exec far iperf3 -s -D -1 > /dev/null
iperf3 -c 10.99.7.2 -t 3 -R --json > "$out/gadget-iperf3-reverse.json" 2>&1
kill -TERM $bridge
wait $bridge
echo "guest: bridge exited with $?"

run_removal gadget-removal gadget_unplug --usb-device $device --frames 300
kill -TERM $reflector
wait $reflector
