# QEMU's USB network device (its ECM function in configuration index 1, full speed): two
# sessions (OneByteTermination 0 and 1) against ecmemu reflect on the host's TAP behind it,
# and a session the device is deleted in the middle of, through QEMU's monitor.
. /work/tests/hardware/guest-common.sh
modprobe xhci_pci
device=0525:a4a2
wait_usb_device $device 30 || { echo "guest: QEMU's USB network device did not enumerate"; exit 1; }
"$ecmemu" profile --usb-device $device --output "$out/usbnet.profile"
run_session usbnet-obt0 --usb-device $device --frames 200 --param ConfigurationIndex=1 --param OneByteTermination=0
run_session usbnet-obt1 --usb-device $device --frames 200 --param ConfigurationIndex=1 --param OneByteTermination=1
run_removal usbnet-removal "" --usb-device $device --frames 200 --param ConfigurationIndex=1
