#!/usr/bin/env bash
# Runs a unit-test program in a Wine prefix of its own, made on first use.
#   run_unit.sh LOADER PREFIX TEST.exe [--with FILE]... [gtest arguments]
# Each FILE given with --with (a helper program the tests start) is copied
# beside the test program. When ZENQO_WINE_TEMPLATE names a booted prefix,
# a missing PREFIX is cloned from it instead of booted.
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
# Wine takes the ANSI code page from the locale: 1252 under C.UTF-8.
locale=${ZENQO_UNIT_LOCALE:-C.UTF-8}
export WINEDEBUG=-all LANG=$locale LC_ALL=$locale
. "$here/emulator_env.sh"

# Where the kernel cannot run 32-bit code, setup.sh hands Wine's 32-bit
# loader to qemu. Threads that contend on a mutex, waits on other 32-bit
# processes and calls to the service control manager crash or hang there (the
# emulator's fault: minimal programs do the same), so the tests that need them
# skip with their reason; the 64-bit program runs them all. Every run gets a
# time limit.
limit=${ZENQO_UNIT_TIME_LIMIT:-1500}
elf_class=$(od -An -tu1 -j4 -N1 "$(readlink -f "$loader")" 2>/dev/null | tr -d ' ')
if [ "$elf_class" = 1 ] &&
   grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    echo "run_unit.sh: the 32-bit loader runs under qemu: tests that need threads, other 32-bit processes or the service control manager skip, each saying why"
    export ZENQO_UNIT_EMULATED=1
    # Without a filter of the caller's, only the suites whose outcome depends
    # on the bitness and that need no files, threads, other processes or
    # services run there: the registry and its views, the Installer
    # database, take-over of keys, trust decisions, text conversions and
    # formats. Under the emulator the others were seen to hang or crash at
    # random (also right after a skipped test); the 64-bit program runs
    # every suite.
    case " $* " in
        *" --gtest_filter="*) ;;
        *) set -- "$@" "--gtest_filter=$(tr -d ' \n' < "$here/emulated_suites.txt")" ;;
    esac
fi

mkdir -p "$(dirname "$prefix")" || exit 1
if ! exec 9>"$prefix.lock" || ! flock 9; then
    echo "run_unit.sh: cannot lock $prefix.lock" >&2
    exit 1
fi
if [ ! -f "$prefix/system.reg" ]; then
    if [ -n "${ZENQO_WINE_TEMPLATE:-}" ]; then
        "$here/prefix.sh" clone "$ZENQO_WINE_TEMPLATE" "$prefix" || exit 1
    else
        "$here/prefix.sh" create "$prefix" || exit 1
    fi
fi
"$here/prefix.sh" check "$prefix" || exit 1

# The program runs from inside the prefix's drive, not from a host path.
run_dir="$prefix/drive_c/unit"
mkdir -p "$run_dir"
cp "$exe" ${helpers[@]+"${helpers[@]}"} "$run_dir/" || exit 1
cd "$run_dir"
# Under the emulator a run that hangs, dies by a signal or ends before its
# last test is the emulator's fault: it is run again, at most twice, each
# time within a shorter limit. A test that fails exits with 1 once every
# test has run, which GoogleTest's report shows: only a finished run writes
# it. (Wine itself ends a crashed program with 1 when its own debugger
# cannot start.)
attempts=1
report=""
if [ "${ZENQO_UNIT_EMULATED:-}" = 1 ]; then
    attempts=3
    limit=${ZENQO_UNIT_EMULATED_LIMIT:-300}
    report=run-report.xml
    set -- "$@" "--gtest_output=xml:$report"
fi
# Under the emulator a hung run waits for the wineserver's reply for good
# and spends no more processor time; the suites that run there never wait
# that long, so a run still for `stall` seconds is stopped at once rather
# than at the end of its limit.
stall=${ZENQO_UNIT_STALL_LIMIT:-45}
watch_stall() {  # $1: the timeout process whose child is the test program
    local child="" last="" still=0 now
    while kill -0 "$1" 2>/dev/null; do
        sleep 5
        [ -n "$child" ] || child=$(pgrep -P "$1" | head -n 1)
        [ -n "$child" ] || continue
        now=$(awk '{print $14 + $15}' "/proc/$child/stat" 2>/dev/null) || return
        if [ "$now" = "$last" ]; then still=$((still + 5)); else still=0 last=$now; fi
        if [ "$still" -ge "$stall" ]; then
            echo "run_unit.sh: $(basename "$exe") spent no processor time for $stall s and was stopped" >&2
            kill -KILL "$child" 2>/dev/null
            return
        fi
    done
}
for attempt in $(seq "$attempts"); do
    [ -z "$report" ] || rm -f "$report"
    WINEPREFIX=$prefix timeout --kill-after=30 "$limit" "$loader" "$(basename "$exe")" "$@" &
    runner=$!
    watcher=""
    if [ "${ZENQO_UNIT_EMULATED:-}" = 1 ]; then
        watch_stall "$runner" &
        watcher=$!
    fi
    wait "$runner"
    rc=$?
    [ -z "$watcher" ] || kill "$watcher" 2>/dev/null
    if [ $rc -eq 124 ]; then
        echo "run_unit.sh: $(basename "$exe") did not end within $limit s and was stopped" >&2
    fi
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null
    if [ $rc -eq 1 ] && [ -n "$report" ] && [ ! -s "$report" ]; then
        echo "run_unit.sh: $(basename "$exe") ended before its last test" >&2
    elif [ $rc -le 1 ]; then
        break
    fi
    [ "$attempt" -lt "$attempts" ] || break
    echo "run_unit.sh: the emulated run ended with $rc; running it again (attempt $((attempt + 1)) of $attempts)" >&2
done
exit $rc
