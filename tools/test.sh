#!/usr/bin/env bash
# Installs what is missing, builds both programs and runs every test: the
# unit tests of both bitnesses under Wine, then the end-to-end scenarios.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh" || exit 1
"$root/tools/build.sh" || exit 1

status=0
# A fresh prefix for the unit tests of every run.
rm -rf "$root/build/wine/unit"
for dir in build/x64 build/x86; do
    (cd "$root/$dir" && ctest --output-on-failure) || status=1
done
/usr/bin/python3 -m pytest -q "$root/tests/e2e" || status=1
exit $status
