#!/usr/bin/env bash
# Builds both programs (and the tests) into build/x64 and build/x86.
# `--target NAME` first builds only that target of each tree (`demo`: what
# the demonstration runs); further arguments go to CMake's configure step,
# e.g. -DZENQO_MAIL_HOST=...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
target=()
if [ "${1:-}" = --target ]; then
    target=(--target "$2")
    shift 2
fi
for arch in x64:x86_64 x86:i686; do
    dir=build/${arch%%:*}
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-${arch##*:}-w64-mingw32.cmake" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)" "${target[@]}"
done
echo "built: build/x64/ZENQORemover_x64.exe build/x86/ZENQORemover.exe"
