"""A file of the product that another program holds open: the tree removal
goes on past it, and where only administrators can change its folders it is
queued for deletion at the next restart, its folders after it. One held
open in a folder others may write is never queued.

Under Wine every file and folder is reported as owned by the running
account, whatever is set, and its access list is built from the Unix mode;
there the running account passes the owner check (the rule for other owners
is a unit test). The product's folders get the mode that Wine reports as
writable by SYSTEM only."""

from __future__ import annotations

import os
import time

import pytest

import harness as h

PF = h.PROGRAM_FILES_DIR + "\\"
MAKER_DIR = PF + "Vexars\\"
INSTALL_DIR = MAKER_DIR + "Zentrivo\\"
SHELL_DLL = INSTALL_DIR + "bin\\ZentrivoShell.dll"
CONFIG = INSTALL_DIR + "Zentrivo.cfg"
COMMON_DATA = h.COMMON_APPDATA_DIR + "\\Vexars\\Zentrivo"
OTHER_VENDOR = COMMON_DATA + "\\Scanner\\hook.dat"  # another vendor's, in a folder users may write
ENTRY = "{3F2A9C71-5D0E-4B8A-9E61-7C4D2B1A0F35}"
UNINSTALL = "HKLM\\" + h.UNINSTALL_PATH
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"
PENDING = "PendingFileRenameOperations"
HOLDER = "C:\\e2e\\holder\\sleeper.exe"
STOP = "C:\\e2e\\holder\\stop"


def scheduled(path: str) -> str:
    return f"Scheduled for removal at the next restart: '{path}'"


def pending(prefix: h.Prefix) -> list:
    """The queued operations: pairs of a source and a target, "" to delete."""
    values = prefix.read_key(SESSION_MANAGER) or {}
    return list(values.get(PENDING) or [])


def hold(prefix: h.Prefix, path: str, n: int):
    ready = f"C:\\e2e\\holder\\ready{n}"
    prefix.start_program([HOLDER, "--hold-file", path, ready, STOP])
    prefix.wait_for_file(ready)


def end_holders(prefix: h.Prefix) -> None:
    prefix.plant_file(STOP, "stop")
    deadline = time.monotonic() + 60
    while any(p.image.lower() == HOLDER.lower() for p in prefix.processes()):
        assert time.monotonic() < deadline, "the holders did not end"
        time.sleep(0.2)


@pytest.fixture(scope="module")
def in_use(template, e2e_config):
    """The product installed with bin\\ZentrivoShell.dll held open, and a
    scanner's file held open in the product's ProgramData folder. One run,
    then the holders end and the prefix restarts."""
    with h.scenario_prefix(template, e2e_config, "test_files_in_use") as prefix:
        prefix.plant_registry({f"{UNINSTALL}\\{ENTRY}": {"DisplayName": "Zentrivo", "Publisher": "Vexars",
                                                          "DisplayVersion": "2.1.5", "InstallLocation": MAKER_DIR}})
        prefix.plant_paths({SHELL_DLL: b"MZ", CONFIG: "[scan]\r\n", INSTALL_DIR + "Signatures\\main.db": b"\0" * 8,
                            OTHER_VENDOR: b"hook", COMMON_DATA + "\\Zentrivo.db": b"\0" * 8})
        # Mode 075: Wine reports SYSTEM as the only writer (any owner bit
        # gives the owner WRITE_DAC there; no group or other write bit would
        # make the folder read-only, which the deletion clears). The
        # running account (root) still deletes what it may.
        for folder in (MAKER_DIR, INSTALL_DIR, INSTALL_DIR + "bin"):
            os.chmod(prefix.unix_path(folder), 0o075)
        prefix.plant_helper("sleeper.exe", HOLDER)
        hold(prefix, SHELL_DLL, 1)
        hold(prefix, OTHER_VENDOR, 2)
        run = prefix.run_remover()
        queued = pending(prefix)
        left_after_run = {p: prefix.exists(p) for p in (SHELL_DLL, CONFIG, OTHER_VENDOR)}
        end_holders(prefix)
        restart = prefix.run(["wineboot", "-r"], timeout=120)
        yield dict(prefix=prefix, run=run, queued=queued, left=left_after_run, restart=restart)


def test_in_use_the_removal_goes_past_the_held_file(in_use):
    run = in_use["run"]
    h.assert_completed(run)
    assert in_use["left"] == {SHELL_DLL: True, CONFIG: False, OTHER_VENDOR: True}, run.describe()


def test_in_use_the_held_product_file_and_its_folders_are_queued_and_said(in_use):
    run = in_use["run"]
    root = INSTALL_DIR.rstrip("\\")
    h.assert_in_order(run.cwd_log, [scheduled(SHELL_DLL), scheduled(root + "\\bin"), scheduled(root)])
    texts = run.cwd_log.texts
    assert h.folder_not_removed(INSTALL_DIR) not in texts
    assert ("3 file(s) and folder(s) are scheduled for removal at the next restart: "
            "restart Windows to complete the removal.") in texts
    # Said once, after the last step, before the closing line.
    assert texts.index("3 file(s) and folder(s) are scheduled for removal at the next restart: "
                       "restart Windows to complete the removal.") < texts.index(h.completed_ok())
    queued = in_use["queued"]
    # Each a deletion, the file before its folder, the folder before its parent.
    # (the registry export gives the last, empty, target no item of its own).
    assert queued[0::2] == ["\\??\\" + SHELL_DLL, "\\??\\" + root + "\\bin", "\\??\\" + root], queued
    assert not [target for target in queued[1::2] if target], queued


def test_in_use_another_vendors_file_where_users_write_is_never_queued(in_use):
    run = in_use["run"]
    texts = run.cwd_log.texts
    assert [t for t in texts if t.startswith(f"Not scheduled for removal at the next restart: '{OTHER_VENDOR}': ")
            and "may write to the folder" in t], run.describe()
    assert [t for t in texts if t.startswith("remove_all: ") and f'"{OTHER_VENDOR}"' in t], run.describe()
    assert h.folder_not_removed(COMMON_DATA) in texts
    assert not [q for q in in_use["queued"] if "Scanner" in q or "ProgramData" in q], in_use["queued"]


def test_in_use_the_restart_completes_the_removal(in_use):
    prefix = in_use["prefix"]
    assert in_use["restart"].exit_code == 0
    assert not prefix.exists(SHELL_DLL)
    assert not prefix.exists(INSTALL_DIR)
    assert prefix.exists(OTHER_VENDOR)
    assert PENDING not in (prefix.read_key(SESSION_MANAGER) or {})
