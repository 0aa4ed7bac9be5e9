#!/bb/busybox sh
# The guest's first process: the host's /usr and this tree come over 9p, then the case the
# kernel command line names (ecm.case=FILE, a script under the tree) runs, and the guest
# powers off whatever it did.
/bb/busybox mount -t proc proc /proc
/bb/busybox mount -t sysfs sys /sys
/bb/busybox mount -t devtmpfs dev /dev
/bb/busybox mount -t tmpfs tmp /tmp
/bb/busybox mount -t tmpfs run /run
for ko in /modules/*.ko; do /bb/busybox insmod "$ko"; done
/bb/busybox mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 usr /usr
/bb/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 work /work
export PATH=/usr/sbin:/usr/bin
case_script=$(/bb/busybox sed -n 's/.*ecm\.case=\([^ ]*\).*/\1/p' /proc/cmdline)
# The host's bash: busybox's shell would run its own cut-down applets (ip, ping) instead.
/usr/bin/bash "/work/$case_script"
echo "guest: case finished with status $?"
echo o > /proc/sysrq-trigger
sleep 10
