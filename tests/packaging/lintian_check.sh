#!/usr/bin/env bash
# lintian on the Debian packages in DIR: no errors allowed; warnings shown.
# Usage: lintian_check.sh DIR
set -uo pipefail
dir="$1"
shopt -s nullglob
debs=("$dir"/zelmo_*.deb "$dir"/zelmo-cli_*.deb "$dir"/zelmo-sim_*.deb)
if [ ${#debs[@]} -ne 3 ]; then
  echo "lintian_check: the three packages are not in $dir (make package builds them); skipping" >&2
  exit 77
fi
if ! command -v lintian >/dev/null; then
  echo "lintian_check: lintian is missing (scripts/setup installs it); skipping" >&2
  exit 77
fi
out="$(lintian --fail-on error --display-level '>=warning' "${debs[@]}" 2>&1)"
rc=$?
echo "$out"
if [ $rc -ne 0 ]; then echo "FAIL: lintian found errors (exit $rc)"; exit 1; fi
echo "lintian: no errors in ${debs[*]##*/}"
