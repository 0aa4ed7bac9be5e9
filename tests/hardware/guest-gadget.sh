# Sourced by the guest's cases: the Linux ECM gadget function on the dummy host controller,
# high speed, with the MAC addresses the bench checks. Its network interface (usb0) is the far
# end of the device's wire.
gadget=/sys/kernel/config/usb_gadget/ecmbench
gadget_vid=0x1d6b
gadget_pid=0x0104
gadget_host_mac=02:ec:00:00:00:01   # reported to the host in iMACAddress
gadget_dev_mac=02:ec:00:00:00:02    # usb0's own

gadget_up() {
  modprobe dummy_hcd && modprobe libcomposite && modprobe usb_f_ecm || return 1
  mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config
  mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1/strings/0x409" "$gadget/functions/ecm.usb0"
  echo $gadget_vid > "$gadget/idVendor"
  echo $gadget_pid > "$gadget/idProduct"
  echo "ecm bench" > "$gadget/strings/0x409/manufacturer"
  echo "ECM gadget" > "$gadget/strings/0x409/product"
  echo "0001" > "$gadget/strings/0x409/serialnumber"
  echo "ECM" > "$gadget/configs/c.1/strings/0x409/configuration"
  echo $gadget_host_mac > "$gadget/functions/ecm.usb0/host_addr"
  echo $gadget_dev_mac > "$gadget/functions/ecm.usb0/dev_addr"
  ln -s "$gadget/functions/ecm.usb0" "$gadget/configs/c.1/"
  ls /sys/class/udc | head -1 > "$gadget/UDC"
}

# The gadget unbound from its controller: to the host, the device is unplugged.
gadget_unplug() { echo "" > "$gadget/UDC"; }
