#!/usr/bin/env bash
# Installs the three Debian packages in DIR, runs each program's --version,
# programs the example ROM shipped with zelmo-cli into the installed
# zelmo-sim with the installed zelmo-cli, and removes the packages again.
# Needs root (CI is root); a machine where the packages were already
# installed is left alone.
# Usage: install_packages.sh DIR WORK
set -uo pipefail
dir="$1" work="$2"
shopt -s nullglob
debs=("$dir"/zelmo_*.deb "$dir"/zelmo-cli_*.deb "$dir"/zelmo-sim_*.deb)
if [ ${#debs[@]} -ne 3 ]; then
  echo "install_packages: the three packages are not in $dir (make package builds them); skipping" >&2
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install_packages: installing packages needs root; skipping" >&2
  exit 77
fi
for p in zelmo zelmo-cli zelmo-sim; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed; then
    echo "install_packages: $p is installed on this machine already; not touching it (dpkg -r it to run this test); skipping" >&2
    exit 77
  fi
done
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

# Another run of this test on the machine waits for this one.
exec 9>/tmp/zelmo-install-packages.lock
flock 9
remove() { dpkg -r zelmo zelmo-cli zelmo-sim >remove.out 2>&1; }
trap 'kill -INT ${sim_pid:-0} 2>/dev/null; remove' EXIT
fail=0
# apt takes the dependencies from what the machine has, or from Debian.
if ! apt-get install -y -qq -o Dpkg::Lock::Timeout=120 "${debs[@]}" >install.out 2>&1; then
  echo "FAIL: the packages did not install:"; cat install.out; exit 1
fi
for p in zelmo zelmo-cli zelmo-sim; do
  v="$(/usr/bin/$p --version 2>&1)"
  case "$v" in "$p "[0-9]*) echo "$v" ;; *) echo "FAIL: $p --version printed: $v"; fail=1 ;; esac
done
for f in /usr/share/man/man1/zelmo.1.gz /usr/share/man/man1/zelmo-cli.1.gz /usr/share/man/man1/zelmo-sim.1.gz \
         /usr/share/applications/zelmo.desktop /usr/share/bash-completion/completions/zelmo-cli \
         /usr/share/doc/zelmo-cli/README.Debian /usr/share/doc/zelmo-cli/examples/hello.s37; do
  [ -f "$f" ] || { echo "FAIL: $f is not installed"; fail=1; }
done

/usr/bin/zelmo-sim --link "$work/board" >sim.out 2>sim.err &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/board" ] && break; sleep 0.05; done
/usr/bin/zelmo-cli program /usr/share/doc/zelmo-cli/examples/hello.s37 --port "$work/board" --verify \
  --restart --monitor 1 >cli.out 2>&1
cli_rc=$?
kill -INT $sim_pid; wait $sim_pid; sim_pid=
cat cli.out
if [ $cli_rc -ne 0 ]; then echo "FAIL: the installed zelmo-cli exited with $cli_rc"; fail=1; fi
if ! grep -q "Hello from Zelmo! The new ROM is running." cli.out; then
  echo "FAIL: the board's greeting did not arrive"; fail=1
fi

trap - EXIT
if ! remove; then echo "FAIL: the packages did not remove:"; cat remove.out; fail=1; fi
for p in /usr/bin/zelmo /usr/bin/zelmo-cli /usr/bin/zelmo-sim; do
  [ ! -e "$p" ] || { echo "FAIL: $p is still there after removal"; fail=1; }
done
exit $fail
