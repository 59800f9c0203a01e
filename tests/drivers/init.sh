#!/bin/busybox sh
# The test machine's init. Mounts the kernel's file systems, loads the USB
# serial modules in the order vm.py worked out, then either leaves a shell on
# the console (kv.mode=shell) or announces itself with "@@ready", runs the
# command line the host answers with, reports "@@exit CODE", hands back the
# coverage data written under /gcov (if any) and powers off.
/bin/busybox --install -s /bin
export PATH=/bin HOME=/root LD_LIBRARY_PATH=/lib/x86_64-linux-gnu:/usr/lib/x86_64-linux-gnu
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
dmesg -n 1
# Fewer interrupts per byte received on the UART: TCG makes each one dear.
echo 14 >/sys/class/tty/ttyS1/rx_trig_bytes || echo "init: rx_trig_bytes failed"
while read -r module; do
    insmod "/modules/$module" || echo "init: insmod $module failed"
done </modules/order

case " $(cat /proc/cmdline) " in
*" kv.mode=shell "*)
    echo "Test machine: ttyS1 is the 16550A, ttyUSB0 the FTDI adapter (it appears once"
    echo "something is connected to its socket on the host); programs in /bin."
    setsid cttyhack sh -l
    poweroff -f
    ;;
esac

# The adapter is attached when the host connects to its socket and then
# enumerated in the background; wait for it (bounded).
i=0
while [ ! -e /dev/ttyUSB0 ] && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
done
[ -e /dev/ttyUSB0 ] || echo "init: no ttyUSB0"
stty -echo
echo "@@ready"
read -r command
sh -c "$command"
echo "@@exit $?"
if [ -d /gcov ]; then
    echo "@@gcov-begin"
    tar -c -C /gcov . | base64
    echo "@@gcov-end"
fi
poweroff -f
