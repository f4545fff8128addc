"""A machine on which the product was installed and still runs, for the
demonstration run of tools/demo.sh.

  /usr/bin/python3 tests/e2e/simulated_machine.py plant PREFIX
  /usr/bin/python3 tests/e2e/simulated_machine.py report PREFIX

`plant` puts the product's traces into a booted prefix (tests/wine/prefix.sh
create): Zentrivo 2.1.5 with its Uninstall entry and its folder
C:\\Program Files\\Vexars\\Zentrivo\\, its keys in both hives, its App Paths entry,
the copies in the 32-bit registry view that the 64-bit program removes, and
two of its programs running (Zentrivo64.exe and MsgSys.exe). It adds one
thing that is not the product's: another product of the maker, with its key
under Software\\Vexars and its own folder.

The installation folder holds data files only. The remover starts the
product's interface and executable from it without waiting for them; stand-ins
placed there would now and then still be running from the folder when the
remover deletes it, and the demonstration would fail by chance. The tests
check those starts (test_installed_product.py).

`plant` leaves the prefix's wineserver and the started programs running for
the run that follows; whoever called it ends them (prefix.sh kill PREFIX).
It also leaves a box answerer running that says No to the end-of-run
question about sending the log, so that the demonstration never waits for
an answer and never sends mail.

`report` prints, after the run, which of the planted traces are gone and
which are still there, and how the running programs ended.

The helper programs come from the same folder as for the tests
(build/x64/tests/e2e/helpers/, or ZENQO_E2E_HELPER_DIR).
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from pathlib import Path

import harness as h

ENTRY = "{3F2A9C71-5D0E-4B8A-9E61-7C4D2B1A0F35}"
MAKER_DIR = h.PROGRAM_FILES_DIR + "\\Vexars\\"
INSTALL_DIR = MAKER_DIR + "Zentrivo\\"
# The running programs are started from the product's data folder, not from
# its installation folder: the remover starts the installation folder's
# Zentrivo64.exe itself (to remove the scheduled task), and a sleeper there
# would run again.
RUNNING_DIR = h.COMMON_APPDATA_DIR + "\\Vexars\\Zentrivo\\"
RUNNING = ("Zentrivo64.exe", "MsgSys.exe")
OTHER_DIR = MAKER_DIR + "Vexars Backup\\"
UNINSTALL = "HKLM\\" + h.UNINSTALL_PATH
SHARED_DLLS = "HKLM\\" + h.SHARED_DLLS_PATH
APP_PATH_KEY = "HKLM\\" + h.APP_PATHS_PATH + "\\Zentrivo.exe"
# Where plant leaves what report needs (process ids, the watcher's file).
STATE_FILE = h.HARNESS_DIR + "\\simulated_machine.json"


@dataclass(frozen=True)
class Trace:
    """Something planted: a registry key or value, or a folder."""

    kind: str  # "key", "value" or "folder"
    path: str  # key path (HKLM\\Software\\... as the given view shows it) or folder
    view: int = 64
    value: str = None  # the value's name, for kind "value"
    product: bool = True  # False: not the product's; the remover must keep it
    note: str = ""

    def label(self) -> str:
        if self.kind == "key":
            return h.view_key(self.path, self.view).replace("HKEY_LOCAL_MACHINE", "HKLM") \
                .replace("HKEY_CURRENT_USER", "HKCU")
        if self.kind == "value":
            key = h.view_key(self.path, self.view).replace("HKEY_LOCAL_MACHINE", "HKLM")
            return f"{key} : {self.value}"
        return self.path

    def present(self, prefix: h.Prefix) -> bool:
        if self.kind == "key":
            return prefix.key_exists(self.path, self.view)
        if self.kind == "value":
            values = prefix.read_key(self.path, self.view) or {}
            return self.value.lower() in {name.lower() for name in values}
        return prefix.exists(self.path)


def product_keys(root: str) -> dict:
    return {
        f"{root}\\Software\\Vexars\\ZENQO": {"Language": "en"},
        f"{root}\\Software\\Vexars\\ZENQO\\Misc": {"AppPath": INSTALL_DIR},
        f"{root}\\Software\\Corvantis\\ZENQO\\5": {"Licence": "trial"},
    }


KEYS_64 = {
    f"{UNINSTALL}\\{ENTRY}": {"DisplayName": "Zentrivo", "DisplayVersion": "2.1.5",
                              "Publisher": "Vexars", "InstallLocation": MAKER_DIR},
    **product_keys("HKCU"),
    **product_keys("HKLM"),
    APP_PATH_KEY: {"": INSTALL_DIR + "Zentrivo.exe", "Path": INSTALL_DIR},
    "HKLM\\Software\\Vexars\\Vexars Backup": {"Version": "1.4.2", "AppPath": OTHER_DIR},
}
KEYS_32 = {
    "HKLM\\Software\\Vexars": {"Installed": 1},
    SHARED_DLLS: {INSTALL_DIR + "MsgSys.exe": 1, INSTALL_DIR + "bvhtml.dll": 1},
}
FILES = {
    INSTALL_DIR + "Zentrivo.cfg": "[scan]\r\nlevel=2\r\n",
    INSTALL_DIR + "bvhtml.dll": b"MZ",
    INSTALL_DIR + "Signatures\\main.db": b"\0" * 64,
    OTHER_DIR + "Backup.cfg": "[backup]\r\ntarget=D:\\\r\n",
}

TRACES = [
    Trace("key", f"{UNINSTALL}\\{ENTRY}", note="Uninstall entry, Zentrivo 2.1.5"),
    Trace("key", "HKCU\\Software\\Vexars\\ZENQO", note="settings"),
    Trace("key", "HKCU\\Software\\Corvantis", note="licence"),
    Trace("key", "HKLM\\Software\\Vexars\\ZENQO", note="settings"),
    Trace("key", "HKLM\\Software\\Corvantis", note="licence"),
    Trace("key", APP_PATH_KEY, note="App Paths entry"),
    Trace("key", "HKLM\\Software\\Vexars", view=32, note="32-bit view"),
    Trace("value", SHARED_DLLS, view=32, value=INSTALL_DIR + "MsgSys.exe", note="32-bit view"),
    Trace("value", SHARED_DLLS, view=32, value=INSTALL_DIR + "bvhtml.dll", note="32-bit view"),
    Trace("folder", INSTALL_DIR, note="installation folder"),
    Trace("folder", RUNNING_DIR, note="data folder, its running programs' home"),
    Trace("key", "HKLM\\Software\\Vexars\\Vexars Backup", product=False, note="settings"),
    Trace("folder", OTHER_DIR, product=False, note="installation folder"),
]


def open_prefix(path: str) -> h.Prefix:
    prefix = h.Prefix(Path(path).resolve(), h.Config.from_env())
    if not prefix.drive_c.is_dir():
        raise SystemExit(f"{path} is not a booted prefix (tests/wine/prefix.sh create {path})")
    return prefix


def plant(prefix: h.Prefix) -> None:
    """Plants the traces and starts the programs (and the box answerer)."""
    prefix.plant_registry(KEYS_64)
    prefix.plant_registry(KEYS_32, view=32)
    for path, content in FILES.items():
        prefix.plant_file(path, content)
    running = prefix.start_sleepers([RUNNING_DIR + name for name in RUNNING])
    watcher = prefix.watch_processes(p.pid for p in running)
    answerer = h.BoxAnswerer(prefix, {h.SUBMISSION_QUESTION_CAPTION: "IDNO"}, timeout=600)
    prefix.unix_path(STATE_FILE).write_text(json.dumps({
        "running": [p.__dict__ for p in running],
        "watch_file": watcher.out_win,
        "boxes_file": answerer.out_win,
    }, indent=1))


@dataclass
class Survey:
    """The planted machine after a run."""

    traces: list  # (Trace, still present)
    programs: list  # (ProcessInfo, still running, exit code or None)
    boxes: list  # Box

    def problems(self) -> list:
        """What the run should have done and did not."""
        found = [f"{'still there' if present else 'lost'}: {trace.label()}"
                 for trace, present in self.traces if present == trace.product]
        found += [f"not ended with 255: {process.image} (exit code {code})"
                  for process, running, code in self.programs
                  if running or code != TERMINATED_EXIT_CODE]
        return found


TERMINATED_EXIT_CODE = 255


def survey(prefix: h.Prefix) -> Survey:
    state = json.loads(prefix.unix_path(STATE_FILE).read_text())
    watched = (prefix.read_bytes(state["watch_file"]) or b"").decode().split("\n")[1:]
    exit_codes = {int(pid): code for pid, _, code in (line.partition(" ") for line in watched if line)}
    alive = {(p.pid, p.image) for p in prefix.processes()}
    programs = []
    for process in (h.ProcessInfo(**p) for p in state["running"]):
        code = exit_codes.get(process.pid)
        programs.append((process, (process.pid, process.image) in alive,
                         int(code) if code and code != "gone" else None))
    boxes = [h.Box.from_json(line) for line in
             (prefix.read_bytes(state["boxes_file"]) or b"").decode("utf-8").splitlines() if line]
    return Survey([(trace, trace.present(prefix)) for trace in TRACES], programs, boxes)


def report(prefix: h.Prefix) -> None:
    result = survey(prefix)
    print("The product's traces:")
    for trace, present in result.traces:
        if trace.product:
            print(f"  {'STILL THERE' if present else 'removed':11}  {trace.label()}  ({trace.note})")
    print("Not the product's (Vexars Backup, another product of the maker):")
    for trace, present in result.traces:
        if not trace.product:
            print(f"  {'kept' if present else 'LOST':11}  {trace.label()}  ({trace.note})")
    print("The product's running programs:")
    for process, running, code in result.programs:
        status = "STILL RUNS" if running else "ended"
        ending = "" if running else f", exit code {'unknown' if code is None else code}"
        print(f"  {status:11}  {process.image} (pid {process.pid}){ending}")
    for box in result.boxes:
        print(f"Message box {box.caption!r}: {box.text!r}, answered {box.answer}")
    problems = result.problems()
    print("Everything as expected." if not problems else
          "NOT as expected:\n" + "\n".join(f"  {p}" for p in problems))


def main(argv: list) -> int:
    if len(argv) != 3 or argv[1] not in ("plant", "report"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    prefix = open_prefix(argv[2])
    (plant if argv[1] == "plant" else report)(prefix)
    # The caller ends the wineserver and the programs left running.
    prefix.release_server()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
