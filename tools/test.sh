#!/usr/bin/env bash
# Installs what is missing, builds both programs and runs every test: the
# unit tests of both bitnesses under Wine, then the end-to-end scenarios.
#
# Wine is booted once: every prefix of the run (the unit tests' and each
# scenario's) is a clone of build/wine/base, which shares its system files
# through hard links. At the end the shared files are checked unchanged.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
started=$(date +%s)
tools/setup.sh || exit 1

# Wine boots once, while the programs build: the boot runs mostly in one
# process (its 32-bit half through qemu where the kernel cannot run 32-bit
# code), the build on both cores.
status=0
base=$root/build/wine/base
echo "test: booting Wine once, in $base, beside the build"
mkdir -p build
(
    begun=$(date +%s)
    tests/wine/prefix.sh create "$base" || exit 1
    echo $(($(date +%s) - begun)) > build/boot.seconds
) > build/boot.log 2>&1 &
boot=$!
tools/build.sh || { wait "$boot"; exit 1; }
built=$(date +%s)
if ! wait "$boot"; then cat build/boot.log; exit 1; fi
booted=$(date +%s)
export ZENQO_WINE_TEMPLATE=$base ZENQO_E2E_TEMPLATE=$base

# The unit tests of the two bitnesses side by side, each in a fresh prefix
# of its own, and the scenarios at once beside them. The 64-bit unit tests
# mostly wait (on services, sockets, message boxes) and time some of those
# waits, so the scenarios run at the lowest priority: they take the
# processor the units leave and never delay a unit test's wait. The units'
# output is shown whole, after the scenarios'.
rm -rf build/wine/unit-x86_64 build/wine/unit-i686
for dir in x64 x86; do
    (
        begun=$(date +%s)
        (cd "build/$dir" && ctest --output-on-failure)
        rc=$?
        echo $(($(date +%s) - begun)) > "build/unit-$dir.seconds"
        exit $rc
    ) > "build/unit-$dir.log" 2>&1 &
    eval "unit_$dir=\$!"
done

# The scenarios on both cores; see tests/e2e/conftest.py for the grouping.
nice -n 19 /usr/bin/python3 -m pytest -q -p xdist -n "${ZENQO_E2E_WORKERS:-2}" --dist loadgroup \
    --durations=15 tests/e2e || status=1
scenarios=$(date +%s)
wait "$unit_x64" || status=1
wait "$unit_x86" || status=1
cat build/unit-x64.log build/unit-x86.log
finished=$(date +%s)

tests/wine/prefix.sh verify "$base" || status=1
tests/wine/prefix.sh kill "$base"
echo "test: setup and build $((built - started)) s, Wine's boot $(cat build/boot.seconds) s beside it" \
     "($((booted - built)) s after the build)," \
     "unit tests $(cat build/unit-x64.seconds) s (64-bit) and $(cat build/unit-x86.seconds) s (32-bit)," \
     "scenarios beside them $((scenarios - booted)) s;" \
     "tests in all $((finished - built)) s, everything $((finished - started)) s"
exit $status
