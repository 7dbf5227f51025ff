#!/usr/bin/env bash
# --port auto end to end, on the ports present: in a mount namespace of its
# own, /dev is an overlay whose only serial devices are zelmo-sim
# pseudo-terminals named as adapters; the machine's /dev is not touched.
# A board whose application owns the line does not answer; two boards at
# their monitors are refused; one is used. Root only (CI runs as root).
# Usage: port_auto.sh ZELMO_CLI ZELMO_SIM ROM WORK
set -uo pipefail
cli="$1" sim="$2" rom="$3" work="$4"
if [ "${ZELMO_PORT_AUTO_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "port_auto: needs root for a mount namespace of its own; skipping" >&2
    exit 77
  fi
  rm -rf "$work" && mkdir -p "$work/upper" "$work/overlay-work" "$work/dev" || exit 1
  ZELMO_PORT_AUTO_INSIDE=1 unshare --mount "$0" "$@"
  rc=$?
  rm -rf "$work/upper" "$work/overlay-work"
  exit $rc
fi

mount --make-rprivate / &&
  mount --rbind /dev "$work/dev" &&
  mount -t overlay overlay -o "lowerdir=$work/dev,upperdir=$work/upper,workdir=$work/overlay-work" /dev &&
  mount --rbind "$work/dev/pts" /dev/pts ||
  { echo "port_auto: cannot lay an overlay on /dev here; skipping" >&2; exit 77; }
# In the overlay only: the machine's own serial devices disappear.
if [ "$(stat -f -c %T /dev)" != overlayfs ]; then echo "FAIL: /dev is not the overlay"; exit 1; fi
rm -f /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*
cd "$work" || exit 1

pids=()
start() {  # DEVICE [zelmo-sim options]
  local device="$1"
  shift
  "$sim" --link "$device" "$@" >"sim-${device##*/}.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -L "$device" ] && return 0; sleep 0.05; done
  echo "FAIL: zelmo-sim did not start on $device:"; cat "sim-${device##*/}.out"; exit 1
}
trap 'kill -INT "${pids[@]}" 2>/dev/null; wait' EXIT
fail=0
expect() {  # NAME WANTED_EXIT GOT_EXIT OUTPUT_FILE TEXT
  if [ "$3" -ne "$2" ] || ! grep -qF -- "$5" "$4"; then
    echo "FAIL: $1: exit $3 (wanted $2), without \"$5\":"; cat "$4"; fail=1
  fi
}

start /dev/ttyUSB0 --application
"$cli" run 0x400420 --port auto >none.out 2>&1
expect "an application's line" 4 $? none.out "--port auto: no board answered"

start /dev/ttyUSB1
start /dev/ttyACM0
"$cli" run 0x400420 --port auto >several.out 2>&1
expect "two monitors" 2 $? several.out "boards answer on /dev/ttyUSB1 (boot monitor at 9600 baud), /dev/ttyACM0"

kill -INT "${pids[2]}"
wait "${pids[2]}"
"$cli" program "$rom" --port auto --restart --monitor 1 >one.out 2>&1
rc=$?
expect "one monitor" 0 $rc one.out "Board found on /dev/ttyUSB1 (boot monitor at 9600 baud)"
expect "one monitor's greeting" 0 $rc one.out "Hello from Zelmo! The new ROM is running."
exit $fail
