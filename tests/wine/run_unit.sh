#!/usr/bin/env bash
# Runs a unit-test program in a Wine prefix of its own, made on first use.
#   run_unit.sh LOADER PREFIX TEST.exe [gtest arguments]
set -uo pipefail
loader=$1 prefix=$(realpath -m "$2") exe=$(realpath "$3")
shift 3
here=$(cd "$(dirname "$0")" && pwd)
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8

exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/system.reg" ]; then
    "$here/prefix.sh" create "$prefix" || exit 1
fi
"$here/prefix.sh" check "$prefix" || exit 1

# The program runs from inside the prefix's drive, not from a host path.
run_dir="$prefix/drive_c/unit"
mkdir -p "$run_dir"
cp "$exe" "$run_dir/"
cd "$run_dir"
WINEPREFIX=$prefix "$loader" "$(basename "$exe")" "$@"
rc=$?
WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null
exit $rc
