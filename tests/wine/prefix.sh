#!/usr/bin/env bash
# Wine prefixes for the tests, kept away from the host.
#
#   prefix.sh create DIR    boot a new prefix with the null graphics driver
#   prefix.sh clone SRC DST copy a booted prefix (no wineserver may run for SRC)
#   prefix.sh verify DIR    fail if a file that clones share with DIR changed
#   prefix.sh check DIR     fail if DIR can reach the host's files
#   prefix.sh kill DIR      end the prefix's wineserver
#
# A fresh prefix links its user folders to the Unix home and maps Z: to /.
# A test that deletes shortcuts or walks the profiles would then touch the
# real machine, so every such link becomes an empty folder and Z: goes.
#
# A clone shares the files of the system folders (about 1.2 GB that no test
# writes) with its source through hard links and copies everything else. A
# program that wrote into one of those files in place would change the
# source and every other clone, so `create` records each shared file's size
# and modification time and `verify` compares them.
set -euo pipefail

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
. "$(dirname "$0")/emulator_env.sh"

# Below drive_c/windows: the folders whose files clones share.
SHARED=(system32 syswow64 winsxs)
MANIFEST=.shared-files

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

# Size, modification time and path of every shared file, sorted.
shared_files() {
    local dir=$1 folder
    for folder in "${SHARED[@]}"; do
        [ -d "$dir/drive_c/windows/$folder" ] || continue
        (cd "$dir" && find "drive_c/windows/$folder" -type f -printf '%s %T@ %p\n')
    done | LC_ALL=C sort -k3
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
    shared_files "$dir" > "$dir/$MANIFEST"
}

clone() {
    local src=$1 dst=$2 folder
    [ -f "$src/system.reg" ] || { echo "prefix.sh: $src is no booted prefix" >&2; return 1; }
    rm -rf "$dst"
    mkdir -p "$dst"
    local excludes=()
    for folder in "${SHARED[@]}"; do
        excludes+=(--exclude="./drive_c/windows/$folder")
    done
    # Everything but the shared folders is copied, links and times kept.
    tar -C "$src" "${excludes[@]}" -cf - . | tar -C "$dst" -xpf -
    for folder in "${SHARED[@]}"; do
        if [ -d "$src/drive_c/windows/$folder" ]; then
            cp -al "$src/drive_c/windows/$folder" "$dst/drive_c/windows/"
        fi
    done
    rm -f "$dst/$MANIFEST"
    check "$dst"
}

verify() {
    local dir=$1 changed
    if [ ! -f "$dir/$MANIFEST" ]; then
        echo "prefix.sh: $dir has no record of its shared files" >&2
        return 1
    fi
    changed=$(diff <(shared_files "$dir") "$dir/$MANIFEST" | grep '^[<>]' || true)
    if [ -n "$changed" ]; then
        {
            echo "prefix.sh: FILES THAT THE CLONES SHARE WITH $dir HAVE CHANGED."
            echo "A test wrote into a shared system file in place; every clone made"
            echo "since then ran on a changed Windows. Changes (< now, > at boot):"
            echo "$changed" | head -40
        } >&2
        return 1
    fi
}

case "${1:-}" in
    create) create "$2" ;;
    clone) clone "$2" "$3" ;;
    verify) verify "$2" ;;
    check) check "$2" ;;
    kill) WINEPREFIX=$2 "$WINESERVER" -k 2>/dev/null || true ;;
    *) echo "usage: $0 create|clone|verify|check|kill DIR [DST]" >&2; exit 2 ;;
esac
