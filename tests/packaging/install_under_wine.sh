#!/usr/bin/env bash
# Runs the Windows installer in DIR silently under Wine, checks what it put
# where, runs the installed zelmo-cli.exe --version, checks the zip beside
# it, and uninstalls again.
# Usage: install_under_wine.sh WINE_RUN PREFIX DIR WORK
set -uo pipefail
run="$1" prefix="$2" dir="$3" work="$4"
shopt -s nullglob
installers=("$dir"/zelmo-*-setup.exe)
zips=("$dir"/zelmo-*.zip)
if [ ${#installers[@]} -ne 1 ] || [ ${#zips[@]} -ne 1 ]; then
  echo "install_under_wine: not one installer and one zip in $dir (make package builds them); skipping" >&2
  exit 77
fi
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
fail=0

# The zip: a folder with the programs, the README and the licence.
cmake -E tar tf "${zips[0]}" >zip.list || { echo "FAIL: the zip cannot be read"; fail=1; }
for f in zelmo-cli.exe README.md LICENSE.txt real-board.md; do
  grep -q "/$f\$" zip.list || { echo "FAIL: the zip has no $f:"; cat zip.list; fail=1; }
done
window=0
grep -q "/zelmo.exe\$" zip.list && window=1
example=0
grep -q "/examples/hello.s37\$" zip.list && example=1
# A 32-bit installer writes the registry's 32-bit view, a 64-bit one the 64-bit view.
view=/reg:32
case "${installers[0]}" in *-win64-setup.exe) view=/reg:64 ;; esac
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmo'

target='C:\zelmo-install-test'
installed="$prefix/drive_c/zelmo-install-test"
rm -rf "$installed"
# /D= comes last and unquoted, as NSIS wants it.
"$run" "$prefix" "${installers[0]}" /S "/D=$target" >install.out 2>&1
rc=$?
[ $rc -eq 77 ] && exit 77
if [ $rc -ne 0 ]; then echo "FAIL: the installer exited with $rc:"; cat install.out; exit 1; fi
for f in zelmo-cli.exe README.md LICENSE.txt real-board.md uninstall.exe; do
  [ -f "$installed/$f" ] || { echo "FAIL: $f was not installed"; fail=1; }
done
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zelmo"
if [ $example -eq 1 ] && [ ! -f "$installed/examples/hello.s37" ]; then
  echo "FAIL: the example ROM was not installed"; fail=1
fi
if [ $window -eq 1 ]; then
  [ -f "$installed/zelmo.exe" ] || { echo "FAIL: zelmo.exe was not installed"; fail=1; }
  [ -f "$menu/Zelmo.lnk" ] || { echo "FAIL: no Start-menu entry for the window"; fail=1; }
fi
v="$("$run" "$prefix" "$installed/zelmo-cli.exe" --version 2>&1 | tr -d '\r')"
case "$v" in "zelmo-cli "[0-9]*) echo "installed: $v" ;; *) echo "FAIL: zelmo-cli.exe --version printed: $v"; fail=1 ;; esac
"$run" "$prefix" reg query "$key" $view >reg.out 2>&1 ||
  { echo "FAIL: no uninstall entry:"; cat reg.out; fail=1; }

# _? runs the uninstaller in place and waits for it (otherwise it copies
# itself away and returns at once); it cannot delete itself from there.
"$run" "$prefix" "$installed/uninstall.exe" /S "_?=$target" >uninstall.out 2>&1 ||
  { echo "FAIL: the uninstaller failed:"; cat uninstall.out; fail=1; }
for f in zelmo.exe zelmo-cli.exe README.md LICENSE.txt examples; do
  [ ! -e "$installed/$f" ] || { echo "FAIL: $f is still there after the uninstall"; fail=1; }
done
[ ! -e "$menu" ] || { echo "FAIL: the Start-menu folder is still there"; fail=1; }
if "$run" "$prefix" reg query "$key" $view >/dev/null 2>&1; then
  echo "FAIL: the uninstall entry is still there"; fail=1
fi
rm -rf "$installed"
exit $fail
