#!/usr/bin/env bash
# Builds the programs and runs ZENQORemover_x64.exe once in a fresh Wine
# prefix that looks like a machine with the product installed and running
# (tests/e2e/simulated_machine.py plants it), then shows the log it wrote and
# what of the product's traces is gone and what was kept. The run ends by
# mailing its log: the answerer says Yes and types an address, and a local
# SMTP server (tests/e2e/mail_sink.py) shows the mail it received. The
# program is the tests' build, which mails 127.0.0.1 instead of the maker.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"

prefix="$root/build/demo/prefix"
# Ends the prefix's wineserver and with it every program started in it
# (the planted programs, the service and the box answerer included), and
# waits until it has gone.
sink_pid=
end_prefix() {
    "$root/tests/wine/prefix.sh" kill "$prefix"
    WINEPREFIX=$prefix timeout 60 /usr/lib/wine/wineserver -w 2>/dev/null || true
    if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; fi
}
trap end_prefix EXIT
# Wine boots while the programs build: the boot runs mostly in one process
# (its 32-bit half through qemu where the kernel cannot run 32-bit code).
echo "demo: booting a fresh Wine prefix in $prefix, beside the build"
mkdir -p "$root/build/demo"
"$root/tests/wine/prefix.sh" create "$prefix" > "$root/build/demo/boot.log" 2>&1 &
boot=$!
if ! "$root/tools/build.sh" --target demo; then
    wait "$boot" || true
    exit 1
fi
if ! wait "$boot"; then
    cat "$root/build/demo/boot.log" >&2
    exit 1
fi

echo "demo: planting Zentrivo 2.1.5 with its keys, folders, shortcuts and VirtualStore copies,"
echo "      two of its programs running, registered in the maker's shared suite (service running)"
echo "      and common tray (running); beside it what is not the product's: another product of"
echo "      the maker that still uses the suite and the tray, another program's cache folder and"
echo "      shortcut, and a user's files behind a link"
/usr/bin/python3 "$root/tests/e2e/simulated_machine.py" plant "$prefix" --submit-as admin@corp.example

mail="$root/build/demo/mail.txt"
echo "demo: starting a local SMTP server on 127.0.0.1:25 for the log submission"
/usr/bin/python3 "$root/tests/e2e/mail_sink.py" "$mail" > "$mail.state" &
sink_pid=$!
for _ in $(seq 100); do
    grep -qx ready "$mail.state" 2>/dev/null && break
    if ! kill -0 "$sink_pid" 2>/dev/null; then break; fi
    sleep 0.1
done
if ! grep -qx ready "$mail.state" 2>/dev/null; then
    echo "demo: the SMTP server did not start" >&2
    exit 1
fi

run_dir="$prefix/drive_c/demo"
mkdir -p "$run_dir"
cp "$root/build/x64/mailtest/ZENQORemover_x64.exe" "$run_dir/"
echo "demo: running ZENQORemover_x64.exe in C:\\demo"
cd "$run_dir"
set +e
WINEPREFIX=$prefix WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    timeout 300 /usr/lib/wine/wine64 ZENQORemover_x64.exe >/dev/null
rc=$?
set -e
echo "demo: exit code $rc; the log C:\\demo\\ZENQORemover.log.txt follows"
echo
cat "$run_dir/ZENQORemover.log.txt"
echo
echo "demo: what the run removed and what it kept"
/usr/bin/python3 "$root/tests/e2e/simulated_machine.py" report "$prefix"
echo
echo "demo: the mail that the local SMTP server received"
if [ -s "$mail" ]; then cat "$mail"; else echo "(none)"; rc=1; fi
if cmp -s "$mail.body" "$run_dir/ZENQORemover.log.txt"; then
    echo "demo: the mail's body is the log file C:\demo\ZENQORemover.log.txt byte for byte"
else
    echo "demo: the mail's body differs from the log file"; rc=1
fi
echo
backups="$prefix/drive_c/ProgramData/ZENQORemover/Backups"
for backup in "$backups"/ZENQORemover.backup-*.reg; do
    [ -f "$backup" ] || continue
    name="C:\\ProgramData\\ZENQORemover\\Backups\\${backup##*/}"
    echo "demo: registry backup $name, $(stat -c %s "$backup") bytes;"
    echo "      to restore what the run deleted or changed: reg import \"$name\" (or regedit /s)"
done
exit $rc
