#!/usr/bin/env bash
# Boots a small Linux guest under QEMU and runs static test programs in it, so that the serial
# layer meets the kernel's real 8250 UART driver. The guest's console is its ttyS0 on our
# standard output; its ttyS1 is a second emulated 16550A wired to nothing, which a case puts in
# the chip's internal loopback mode.
#
#   run-guest.sh [--add FILE]... [--env NAME=VALUE]... [--case NAME=COMMAND]...
#                [--timeout SECONDS] [--trace FILE] [--log FILE] [--cache DIR] [--work DIR]
#                [--usb-serial] [--pci-serial-4x]
#
#   --add FILE        copy FILE (a static program) into the guest's /bin
#   --env NAME=VALUE  exported to every case
#   --case NAME=CMD   a shell command run in the guest, in the order given; it passes when it
#                     exits with status 0
#   --timeout S       the whole guest, boot included (default 600)
#   --trace FILE      QEMU's serial_update_parameters trace (the UART's real rate and frame)
#   --log FILE        the guest's console (default: <work>/console.log)
#   --usb-serial      an FTDI FT232BM on an xHCI controller (/dev/ttyUSB0 in the guest, its
#                     drivers loaded before the first case); its far end is a socat on this side
#                     that echoes every byte, so it is a loopback without modem lines (QEMU
#                     reports CTS, DSR and DCD always on)
#   --pci-serial-4x   a four-port 16550 card: /dev/ttyS4..ttyS7 in the guest
#
# A case can ask this side to pull the adapter out or put it back: a console line
# "@@host unplug" or "@@host plug" makes the runner tell QEMU's monitor at once. The guest cannot
# see when that is done; it waits for /dev/ttyUSB0 to go or come.
#
# Exit status: 0 every case passed; 1 a case failed, the guest stopped early or timed out;
# 2 bad usage or the guest could not be prepared.
#
# The kernel (Debian 12's linux-image-6.1 for amd64) and busybox-static are fetched with
# apt-get download once and kept in the cache folder. QEMU can be replaced for tests of this
# script: SERIVANE_GUEST_QEMU names the program, SERIVANE_GUEST_KERNEL and
# SERIVANE_GUEST_BUSYBOX name the files to use instead of fetching.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
adds=() envs=() case_names=() case_cmds=()
timeout=600 trace="" log="" cache="" work="" usb_serial=0 pci_serial=0

usage() {
  echo "run-guest.sh: $1" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --usb-serial) usb_serial=1 && shift && continue ;;
    --pci-serial-4x) pci_serial=1 && shift && continue ;;
  esac
  [ $# -ge 2 ] || usage "$1 needs a value"
  case $1 in
    --add) adds+=("$2") ;;
    --env) envs+=("$2") ;;
    --case)
      [[ $2 == ?*=?* ]] || usage "--case wants NAME=COMMAND, not '$2'"
      case_names+=("${2%%=*}")
      case_cmds+=("${2#*=}")
      ;;
    --timeout) timeout=$2 ;;
    --trace) trace=$2 ;;
    --log) log=$2 ;;
    --cache) cache=$2 ;;
    --work) work=$2 ;;
    *) usage "unknown option $1" ;;
  esac
  shift 2
done
[ ${#case_names[@]} -gt 0 ] || usage "no --case given"
for name in "${case_names[@]}"; do
  [[ $name =~ ^[A-Za-z0-9_.-]+$ ]] || usage "case name '$name' must be letters, digits, . _ -"
done

if [ -z "$cache" ]; then
  cache=/var/cache/serivane-guest
  mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$here/../../build/guest-cache
fi
mkdir -p "$cache"
work=${work:-$(mktemp -d)}
mkdir -p "$work"
log=${log:-$work/console.log}

# The kernel's vmlinuz is a small decompressor with the kernel as an xz stream inside. QEMU
# boots the uncompressed ELF directly through its PVH entry, which saves the seconds the
# decompressor takes under emulation. The stream is found by its magic bytes; the first match
# that unpacks to an ELF file is the kernel.
extract_vmlinux() {
  local image=$1 out=$2 offset
  for offset in $(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$image" | cut -d: -f1); do
    # xz stops reading at the end of the stream; a pipe from tail would then die of SIGPIPE.
    if xz -dc --single-stream <(tail -c +$((offset + 1)) "$image") >"$out.part" 2>/dev/null &&
      [ "$(head -c 4 "$out.part" | od -An -c | tr -d ' ')" = '177ELF' ]; then
      mv "$out.part" "$out"
      return 0
    fi
  done
  rm -f "$out.part"
  echo "run-guest.sh: no xz-compressed ELF kernel found in $image" >&2
  return 1
}

# Fetches one package's .deb into the cache (unless there) and prints its path.
fetch_deb() {
  local package=$1 version deb
  version=$(apt-cache policy "$package" | awk '/Candidate:/ {print $2}')
  [ -n "$version" ] && [ "$version" != "(none)" ] ||
    { echo "run-guest.sh: apt knows no package $package (apt-get update?)" >&2; return 1; }
  deb=$(ls "$cache"/debs/"${package}"_*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$deb" ] || [ "$(dpkg-deb -f "$deb" Version)" != "$version" ]; then
    mkdir -p "$cache/debs"
    rm -f "$cache"/debs/"${package}"_*.deb
    (cd "$cache/debs" && apt-get download -q "$package=$version" >&2)
    deb=$(ls "$cache"/debs/"${package}"_*.deb | head -n 1)
  fi
  echo "$deb"
}

# The USB adapter's drivers, in the order they must be loaded (each needs the ones before it).
usb_modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

prepare_kernel() {
  if [ -n "${SERIVANE_GUEST_KERNEL:-}" ]; then
    kernel=$SERIVANE_GUEST_KERNEL
    modules=${SERIVANE_GUEST_MODULES:-}
    return
  fi
  local package deb unpacked module file
  package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-6\.1/ {print $2; exit}')
  [ -n "$package" ] || { echo "run-guest.sh: no linux-image-6.1 package known" >&2; return 1; }
  kernel=$cache/$package.vmlinux
  modules=$cache/$package.modules
  [ -s "$kernel" ] && [ -s "$modules/ftdi_sio.ko" ] && return
  deb=$(fetch_deb "$package")
  unpacked=$(mktemp -d)
  dpkg-deb -x "$deb" "$unpacked"
  extract_vmlinux "$(ls "$unpacked"/boot/vmlinuz-* | head -n 1)" "$kernel" || return 1
  # The 8250 drivers are built in; the USB ones are modules, kept beside the kernel.
  rm -rf "$modules" && mkdir -p "$modules"
  for module in "${usb_modules[@]}"; do
    file=$(find "$unpacked"/lib/modules/*/kernel/drivers/usb -name "$module.ko" | head -n 1)
    [ -n "$file" ] || { echo "run-guest.sh: $package has no $module.ko" >&2; return 1; }
    cp "$file" "$modules/"
  done
  rm -rf "$unpacked" "$deb"
}

prepare_busybox() {
  if [ -n "${SERIVANE_GUEST_BUSYBOX:-}" ]; then
    busybox=$SERIVANE_GUEST_BUSYBOX
    return
  fi
  busybox=$cache/busybox
  [ -s "$busybox" ] && return
  local deb unpacked
  deb=$(fetch_deb busybox-static)
  unpacked=$(mktemp -d)
  dpkg-deb -x "$deb" "$unpacked"
  cp "$unpacked/bin/busybox" "$busybox"
  rm -rf "$unpacked"
}

# The guest's whole file system: busybox, the programs and an init script that runs each case
# between two marker lines and powers the guest off. The markers carry the guest's uptime.
build_initrd() {
  local root=$work/root i
  rm -rf "$root"
  mkdir -p "$root"/{bin,dev,etc,proc,sys,run/lock,tmp}
  cp "$busybox" "$root/bin/busybox"
  # Users and groups as on a Debian system, so that messages name groups as they would there.
  printf '%s\n' 'root:x:0:0:root:/tmp:/bin/sh' 'nobody:x:65534:65534:nobody:/nonexistent:/bin/false' \
    >"$root/etc/passwd"
  printf '%s\n' 'root:x:0:' 'tty:x:5:' 'dialout:x:20:' 'nogroup:x:65534:' >"$root/etc/group"
  for i in "${adds[@]}"; do
    cp "$i" "$root/bin/"
    strip "$root/bin/$(basename "$i")" 2>/dev/null || true
  done
  if [ "$usb_serial" = 1 ]; then
    mkdir -p "$root/lib/modules"
    for i in "${usb_modules[@]}"; do cp "$modules/$i.ko" "$root/lib/modules/"; done
  fi
  {
    echo '#!/bin/busybox sh'
    echo '/bin/busybox --install -s /bin'
    echo 'export PATH=/bin HOME=/tmp TMPDIR=/tmp'
    echo 'mount -t proc proc /proc; mount -t sysfs sysfs /sys; mount -t devtmpfs dev /dev'
    echo 'mkdir -p /dev/pts; mount -t devpts devpts /dev/pts'
    for i in "${envs[@]}"; do printf 'export %q\n' "$i"; done
    if [ "$usb_serial" = 1 ]; then
      for i in "${usb_modules[@]}"; do echo "insmod /lib/modules/$i.ko"; done
      # The adapter enumerates after the drivers are in; the cases want it there.
      echo 'n=0; while [ ! -e /dev/ttyUSB0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done'
    fi
    echo 'up() { cut -d" " -f1 /proc/uptime; }'
    # The firmware's last line has no line end.
    echo 'printf "\n@@guest up %s\n" "$(up)"'
    for i in "${!case_names[@]}"; do
      echo "echo \"@@guest start ${case_names[$i]}\""
      echo "( ${case_cmds[$i]} ) </dev/null"
      echo "printf '\\n@@guest end %s %s %s\\n' ${case_names[$i]} \$? \$(up)"
    done
    echo 'printf "\n@@guest done %s\n" "$(up)"'
    echo 'poweroff -f'
  } >"$root/init"
  chmod +x "$root/init"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initrd.cpio"
}

# Functions called in a condition run without errexit, so each step says whether it worked.
prepare_kernel && [ -s "$kernel" ] || exit 2
prepare_busybox && [ -s "$busybox" ] || exit 2
build_initrd && [ -s "$work/initrd.cpio" ] || exit 2

qemu=${SERIVANE_GUEST_QEMU:-qemu-system-x86_64}
append="console=ttyS0 panic=-1 quiet loglevel=1"
if [ "$pci_serial" = 1 ]; then append+=" 8250.nr_uarts=8"; fi
qemu_args=(-accel tcg -m 256M -nodefaults -nographic -no-reboot
  -serial stdio -serial null
  -kernel "$kernel" -initrd "$work/initrd.cpio"
  -append "$append")
[ -n "$trace" ] && qemu_args+=(-trace serial_update_parameters -D "$trace")
[ "$pci_serial" = 1 ] && qemu_args+=(-device pci-serial-4x)
# QEMU serves the adapter's far end and its monitor on sockets in the work folder (a short
# path: socket names are limited to about 100 bytes).
sockets=""
if [ "$usb_serial" = 1 ]; then
  sockets=$(mktemp -d /tmp/serivane-guest.XXXXXX)
  qemu_args+=(-chardev "socket,id=C,path=$sockets/usb,server=on,wait=off"
    -monitor "unix:$sockets/monitor,server=on,wait=off"
    -device qemu-xhci,id=xhci -device usb-serial,id=usb0,bus=xhci.0,port=1,chardev=C)
fi
echo_pid=""
cleanup() {
  if [ -n "$echo_pid" ]; then kill "$echo_pid" 2>/dev/null || true; fi
  if [ -n "$sockets" ]; then rm -rf "$sockets"; fi
}
trap cleanup EXIT

# The adapter's far end: every byte that reaches it goes back. It connects once QEMU listens.
start_echo() {
  (
    n=0
    while [ ! -S "$sockets/usb" ] && [ $n -lt 200 ]; do sleep 0.05; n=$((n + 1)); done
    exec socat "UNIX-CONNECT:$sockets/usb" EXEC:cat
  ) &
  echo_pid=$!
}

# A line to QEMU's monitor; its answer goes to the console log, marked.
monitor() {
  printf '%s\n' "$1" | socat -t 2 - "UNIX-CONNECT:$sockets/monitor" 2>&1 |
    tr -d '\r' | grep -av '^QEMU .* monitor\|^(qemu)' | sed 's/^/@@monitor: /' || true
  echo "@@monitor: sent $1"
}

# Puts the adapter back. QEMU finishes removing the old one only once the guest has let it go,
# and until then refuses the new one for its far end ("Device 'C' is in use"): ask again.
plug() {
  local tries=0 answer
  while :; do
    answer=$(monitor "device_add usb-serial,id=usb0,bus=xhci.0,port=1,chardev=C")
    tries=$((tries + 1))
    if [[ $answer != *"is in use"* ]] || [ $tries -ge 20 ]; then
      printf '%s\n' "$answer"
      return 0
    fi
    sleep 0.25
  done
}

# Copies the console to our standard output without its CRs, acting at once on the lines that
# ask this side for something (so no buffering program may stand between QEMU and this).
console() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line//$'\r'/}
    printf '%s\n' "$line"
    case $line in
      "@@host unplug") [ -n "$sockets" ] && monitor "device_del usb0" ;;
      "@@host plug") [ -n "$sockets" ] && plug ;;
    esac
  done
}

# Reads the console log: each case passes only with its own end marker and status 0; a case
# that started and never ended was running when the guest hung (timeout) or died.
verdict() {
  local qemu_status=$1 wall_ms=$2 failed=0 i name end code at
  for i in "${!case_names[@]}"; do
    name=${case_names[$i]}
    end=$(grep -m 1 "^@@guest end $name " "$log" || true)
    if [ -n "$end" ]; then
      read -r _ _ _ code at <<<"$end"
      if [ "$code" = 0 ]; then
        echo "guest: passed $name (at ${at}s)"
      else
        echo "guest: FAILED $name (exit status $code)"
        failed=1
      fi
    elif grep -q "^@@guest start $name\$" "$log"; then
      if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
        echo "guest: FAILED $name: timed out (the whole guest may take ${timeout}s)"
      else
        echo "guest: FAILED $name: the guest stopped while it ran (QEMU status $qemu_status)"
      fi
      failed=1
    else
      echo "guest: FAILED $name: never started"
      failed=1
    fi
  done
  local up done_at
  up=$(awk '/^@@guest up / {print $3; exit}' "$log")
  done_at=$(awk '/^@@guest done / {print $3; exit}' "$log")
  if [ -z "$done_at" ]; then
    [ "$failed" = 1 ] || echo "guest: FAILED: the guest did not finish its cases"
    failed=1
  fi
  echo "guest: boot to first case ${up:-?}s, boot to result ${done_at:-?}s (guest clock);" \
    "QEMU ran $((wall_ms / 1000)).$(printf %03d $((wall_ms % 1000)))s"
  return $failed
}

echo "== guest: $(basename "$kernel" .vmlinux), ${#case_names[@]} case(s), timeout ${timeout}s"
start_ns=$(date +%s%N)
set +e +o pipefail
[ "$usb_serial" = 1 ] && start_echo
timeout --kill-after=5 "$timeout" "$qemu" "${qemu_args[@]}" </dev/null 2>&1 |
  console | tee "$log"
qemu_status=${PIPESTATUS[0]}
set -e -o pipefail
verdict "$qemu_status" $((($(date +%s%N) - start_ns) / 1000000)) || exit 1
