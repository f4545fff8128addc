#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root) and makes
# 32-bit Windows programs runnable under Wine on kernels without 32-bit support.
set -euo pipefail

packages=(wine wine64 wine32:i386 g++-mingw-w64-x86-64 g++-mingw-w64-i686
          cmake make googletest python3 python3-pytest qemu-user-static binfmt-support
          wixl msitools python3-aiosmtpd python3-pytest-xdist
          nlohmann-json3-dev python3-jsonschema)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine's 32-bit loader needs the kernel's 32-bit emulation; where that is
# disabled, hand 32-bit ELF files to qemu instead.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
        echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
            > /proc/sys/fs/binfmt_misc/register
    fi
fi
