#!/bin/bash
# systemd_guest_test.sh KERNEL MODULES ROOT.tar GUEST_REPORT BUILD: the example
# units as a user installs them, under a real systemd. A Debian guest boots
# with systemd as PID 1 and udev; BUILD is installed in it (cmake --install,
# prefix /usr, as the package lays it out) and the units are copied and
# enabled as the README says. Boot 1, a PC with a 16550 as ttyS0: the boot unit's frame and
# the timer's (every 10 s through a drop-in), each run ending with status 0.
# Boot 2, the same PC with an FTDI adapter: the USB boot unit's frame reaches
# the adapter. As an ordinary user it runs as root of a user namespace, made
# from its subordinate ids; without them it skips (status 77), saying why.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  if ! unshare --map-auto --map-root-user true 2>/dev/null; then
    printf '%s: Skipped\n%s\n' "$0" "no root of a user namespace: needs subordinate ids (uidmap, /etc/subuid)"
    exit 77
  fi
  exec unshare --map-auto --map-root-user "$0" "$@"
fi
kernel=$1 modules=$2 rootfs=$3 guest_report=$4 build=$5
export PATH="$PATH:/usr/sbin:/sbin"  # chroot and depmod, also for an ordinary user
work=$(mktemp -d /tmp/dualrow-systemd.XXXXXX)
[ -n "${DUALROW_UART_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(strings "$modules/usbcore.ko" | sed -n 's/^vermagic=\([^ ]*\).*/\1/p')

# One guest root per boot: the tool installed, the units enabled.
make_root() {
  local name=$1 root=$work/root-$1
  shift
  mkdir -p "$root"
  tar -xf "$rootfs" -C "$root" --exclude='./dev/*'
  mkdir -p "$root/lib/modules/$version/kernel"
  cp "$modules"/*.ko "$root/lib/modules/$version/kernel/"
  touch "$root/lib/modules/$version/"modules.{order,builtin,builtin.modinfo}
  chroot "$root" depmod "$version"
  DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null
  for unit in "$@"; do
    cp "$root/usr/share/doc/dualrow/examples/$unit" "$root/etc/systemd/system/"
  done
  # The host's report, once the units have run.
  cp "$guest_report" "$root/usr/local/bin/guest_report"
  cat >"$root/usr/local/bin/report" <<'EOF'
#!/bin/sh
units=$(cd /etc/systemd/system && ls dualrow-*.service)
[ ! -e /etc/systemd/system/dualrow-status.timer ] || for _ in $(seq 600); do
  [ "$(journalctl -b -o cat -u dualrow-status.service | grep -c 'Deactivated successfully')" -ge 2 ] &&
    break
  sleep 0.1
done
{
  for unit in $units; do
    echo "unit $unit $(systemctl show -P Result "$unit")"
    # A oneshot's run that ended with status 0 says so; any other says how.
    journalctl -b -o cat -u "$unit" |
      sed -n "s/.*\(Deactivated successfully\|Main process exited.*\|Failed with.*\)/exit $unit \1/p"
  done
  echo "uptime $(cut -d' ' -f1 /proc/uptime)"
  echo end
} | guest_report
guest_report exit 0
EOF
  chmod 755 "$root/usr/local/bin/report"
  cat >"$root/etc/systemd/system/report.service" <<EOF
[Unit]
After=$(cd "$root/etc/systemd/system" && echo dualrow-*.service)
[Service]
Type=oneshot
ExecStart=/usr/local/bin/report
[Install]
WantedBy=multi-user.target
EOF
  mkdir -p "$root/etc/systemd/system/dualrow-status.timer.d"
  printf '[Timer]\nOnCalendar=\nOnCalendar=*:*:0/10\n' \
    >"$root/etc/systemd/system/dualrow-status.timer.d/often.conf"
  # shellcheck disable=SC2046 # unit names without blanks
  (cd "$root/etc/systemd/system" && chroot "$root" systemctl enable -q report.service \
    $(ls dualrow-boot*.service dualrow-status.timer 2>/dev/null))
  (cd "$root" && find . | cpio -o -H newc --quiet >"$work/initrd-$name")
}

# Boots one root until its report ends it; the display's line is `wire`.
boot() {
  local name=$1 machine=$2 started=$SECONDS status=0
  # shellcheck disable=SC2086 # the machine's words
  timeout 300 qemu-system-x86_64 -m 1536 -nodefaults -display none -no-reboot \
    -device isa-debug-exit,iobase=0xf4,iosize=4 \
    -chardev file,id=report,path="$work/$name.report" -device isa-debugcon,iobase=0xe9,chardev=report \
    -chardev file,id=wire,path="$work/$name.wire" $machine -serial file:"$work/$name.console" \
    -trace serial_update_parameters -trace usb_serial_set_data -D "$work/$name.trace" \
    -kernel "$kernel" -initrd "$work/initrd-$name" \
    -append "console=ttyS1 panic=-1 rdinit=/sbin/init" ||
    status=$?
  # The report's debug exit: QEMU's status 1.
  [ "$status" -eq 1 ] ||
    { tail -n 30 "$work/$name.console" >&2; fail "$name: the guest ended with $status"; }
  grep -q '^end' "$work/$name.report" || { tail -n 30 "$work/$name.console" >&2; fail "$name: no report"; }
  echo "$name: booted and checked in $((SECONDS - started)) s, the guest's uptime" \
    "$(sed -n 's/^uptime //p' "$work/$name.report") s"
  cat "$work/$name.report"
}

# The frames on the line: each a whole frame of `kinds` (boot, status), in
# any order; `counts` how many of each at least.
check_frames() {
  python3 - "$1" "$2" <<'EOF'
import re, sys
wire = open(sys.argv[1], 'rb').read()
want = dict(kind.split('=') for kind in sys.argv[2].split(','))
lead_in = b'\x1bX\x00\x00'
def centred(text):
    return b' ' * max(0, 8 - len(text) // 2) + text
patterns = {
    'boot': re.escape(lead_in + centred(b'dualrow-guest') + b'\n' + centred(b'')),
    'status': re.escape(lead_in) + rb' {6}\d\d:\d\d\n {4}load \d\.\d\d',
}
frames = [lead_in + f for f in wire[wire.find(lead_in):].split(lead_in)[1:]]
seen = {kind: 0 for kind in patterns}
for frame in frames:
    kind = next((k for k, p in patterns.items() if re.fullmatch(p, frame)), None)
    if kind is None:
        sys.exit(f'FAIL: not a whole frame: {frame!r}')
    seen[kind] += 1
print(f'{sys.argv[1]}: {len(frames)} frames {seen}')
for kind, least in want.items():
    if seen[kind] < int(least):
        sys.exit(f'FAIL: {seen[kind]} {kind} frames, not {least}')
EOF
}

# Each unit succeeded, each of its runs exited with 0 (systemd says a oneshot
# "Deactivated successfully" only then), and the line ran at 9600 8E2.
check_report() {
  local name=$1
  shift
  for unit in "$@"; do
    grep -qx "unit $unit success" "$work/$name.report" || fail "$name: $unit did not succeed"
    grep -qx "exit $unit Deactivated successfully\." "$work/$name.report" ||
      fail "$name: no status 0 of $unit in the journal"
  done
  if grep '^exit ' "$work/$name.report" | grep -v 'Deactivated successfully\.$'; then
    fail "$name: a run did not exit with 0"
  fi
  grep -Eq "baudrate=9600 parity='E' data=8 stop=2|parity E, data bits 8, stop bits 2" \
    "$work/$name.trace" || fail "$name: the line never ran at 9600 8E2"
}

make_root uart dualrow-boot.service dualrow-status.service dualrow-status.timer
make_root usb dualrow-boot-usb.service
boot uart "-serial chardev:wire"
check_frames "$work/uart.wire" boot=1,status=2
check_report uart dualrow-boot.service dualrow-status.service
boot usb "-serial null -device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=wire"
check_frames "$work/usb.wire" boot=1,status=0
check_report usb dualrow-boot-usb.service
echo "1 passed, 0 failed"
