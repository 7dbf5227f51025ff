#!/usr/bin/env bash
# Programs the example ROM into zelmo-sim with zelmo-cli.exe under Wine on
# COM5, then checks the greeting and that the saved flash holds the ROM.
# Usage: program_under_wine.sh WINE_RUN PREFIX ZELMO_CLI_EXE NATIVE_BUILD WORK SREC_CMP
# Exits 77 (skipped) when Wine cannot start or the native build is missing.
set -uo pipefail
run="$1" prefix="$2" cli="$3" native="$4" work="$5" srec_cmp="$6"
sim="$native/sim/zelmo-sim"
rom="$native/examples/hello.s37"
if [ ! -x "$sim" ] || [ ! -f "$rom" ]; then
  echo "program_under_wine: needs zelmo-sim and hello.s37 of the native build in $native (make build); skipping" >&2
  exit 77
fi
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$rom" hello.s37

# Starts Wine once, so that the prefix and its dosdevices folder exist.
"$run" "$prefix" cmd /c exit
rc=$?
[ $rc -eq 0 ] || exit $rc

com="$prefix/dosdevices/com5"
"$sim" --link "$com" --dump "$work/flash.s37" >sim.out 2>sim.err &
sim_pid=$!
trap 'kill -INT $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null' EXIT
for _ in $(seq 100); do [ -L "$com" ] && break; sleep 0.05; done
if [ ! -L "$com" ]; then
  echo "program_under_wine: zelmo-sim did not start:" >&2
  cat sim.err >&2
  exit 1
fi

# Wine announces only the ports it maps itself, when its session starts; the
# value a driver writes for COM5 stands in for that (volatile, as on Windows).
cli_win="Z:${cli//\//\\}"
"$run" "$prefix" cmd /c "reg add HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM /v \\Device\\Serial4 /d COM5 /f >nul && $cli_win ports" \
  >ports.out 2>&1
ports_rc=$?
# A row number reaches the port of its name: row 20 is \\.\COM20, absent here.
"$run" "$prefix" "$cli" run 0x400420 --port 20 >row.out 2>&1
row_rc=$?
"$run" "$prefix" "$cli" program hello.s37 --port COM5 --restart --monitor 1 >cli.out 2>&1
cli_rc=$?

# Ctrl-C (Wine turns SIGINT into the console's Ctrl-C event) during the
# bring-up with a second board on COM6 ends the command with 130.
com6="$prefix/dosdevices/com6"
"$sim" --link "$com6" >sim6.out 2>&1 &
sim6_pid=$!
for _ in $(seq 100); do [ -L "$com6" ] && break; sleep 0.05; done
"$run" "$prefix" "$cli" program hello.s37 --port COM6 >int.out 2>&1 &
int_pid=$!
for _ in $(seq 300); do grep -q "Connecting to target" int.out && break; sleep 0.05; done
kill -INT $int_pid
wait $int_pid
int_rc=$?
kill -INT $sim6_pid
wait $sim6_pid
kill -INT $sim_pid
wait $sim_pid
sim_rc=$?
trap - EXIT
cat cli.out

fail=0
if [ $ports_rc -ne 0 ] || ! grep -Eq '^5 +COM5 +COM5' ports.out; then
  echo "FAIL: ports (exit $ports_rc) did not list COM5 as row 5:"; cat ports.out; fail=1
fi
if [ $row_rc -ne 3 ] || ! grep -qF 'cannot open \\.\COM20' row.out; then
  echo "FAIL: --port 20 (exit $row_rc) did not try \\.\COM20:"; cat row.out; fail=1
fi
if [ $int_rc -ne 130 ] || ! grep -q "interrupted: " int.out; then
  # The rest would be the Wine server's object dump, when it wrote there.
  echo "FAIL: Ctrl-C (exit $int_rc) did not end the command as interrupted:"; head -n 8 int.out; fail=1
fi
if [ $cli_rc -ne 0 ]; then echo "FAIL: zelmo-cli.exe exited with $cli_rc"; fail=1; fi
if ! grep -q "Hello from Zelmo! The new ROM is running." cli.out; then
  echo "FAIL: the board's greeting did not arrive"; fail=1
fi
if [ $sim_rc -ne 0 ] || [ ! -f flash.s37 ]; then
  echo "FAIL: zelmo-sim ended with $sim_rc and no saved flash:"; cat sim.err; fail=1
elif ! "$srec_cmp" hello.s37 flash.s37 -crop -within hello.s37; then
  echo "FAIL: the saved flash differs from hello.s37 where the ROM has data"; fail=1
fi
exit $fail
