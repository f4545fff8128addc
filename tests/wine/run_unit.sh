#!/usr/bin/env bash
# Runs a unit-test program in a Wine prefix of its own, made on first use.
#   run_unit.sh LOADER PREFIX TEST.exe [--with FILE]... [gtest arguments]
# Each FILE given with --with (a helper program the tests start) is copied
# beside the test program.
set -uo pipefail
loader=$1 prefix=$(realpath -m "$2") exe=$(realpath "$3")
shift 3
helpers=()
while [ "${1:-}" = --with ]; do
    if [ $# -lt 2 ]; then
        echo "run_unit.sh: --with needs a file" >&2
        exit 2
    fi
    helpers+=("$(realpath "$2")") || exit 1
    shift 2
done
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
cp "$exe" ${helpers[@]+"${helpers[@]}"} "$run_dir/" || exit 1
cd "$run_dir"
WINEPREFIX=$prefix "$loader" "$(basename "$exe")" "$@"
rc=$?
WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null
exit $rc
