#!/usr/bin/env bash
# Wine prefixes for the tests, kept away from the host.
#
#   prefix.sh create DIR    boot a new prefix with the null graphics driver
#   prefix.sh clone SRC DST copy a booted prefix (no wineserver may run for SRC)
#   prefix.sh check DIR     fail if DIR can reach the host's files
#   prefix.sh kill DIR      end the prefix's wineserver
#
# A fresh prefix links its user folders to the Unix home and maps Z: to /.
# A test that deletes shortcuts or walks the profiles would then touch the
# real machine, so every such link becomes an empty folder and Z: goes.
set -euo pipefail

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8

sanitize() {
    local dir=$1 link
    while IFS= read -r link; do
        rm -f "$link"
        mkdir -p "$link"
    done < <(find "$dir/drive_c/users" -type l)
    rm -f "$dir/dosdevices/z:"
}

check() {
    local dir=$1
    if [ -e "$dir/dosdevices/z:" ] || [ -L "$dir/dosdevices/z:" ]; then
        echo "prefix $dir still maps Z: to the host" >&2
        return 1
    fi
    local link target
    while IFS= read -r link; do
        target=$(readlink -f "$link")
        case "$target" in
            "$(readlink -f "$dir")"/*) ;;
            *) echo "prefix $dir links $link outside itself ($target)" >&2; return 1 ;;
        esac
    done < <(find "$dir/drive_c/users" -type l)
}

create() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    export WINEPREFIX=$dir WINEARCH=win64
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    # Message boxes need a graphics driver to block as on Windows; the null
    # driver gives them without a display.
    local tries
    for tries in 1 2 3; do
        "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 && break
        sleep 1
    done
    "$WINESERVER" -w
    sanitize "$dir"
    check "$dir"
}

case "${1:-}" in
    create) create "$2" ;;
    clone)
        rm -rf "$3"
        cp -a "$2" "$3"
        check "$3"
        ;;
    check) check "$2" ;;
    kill) WINEPREFIX=$2 "$WINESERVER" -k 2>/dev/null || true ;;
    *) echo "usage: $0 create|clone|check|kill DIR [DST]" >&2; exit 2 ;;
esac
