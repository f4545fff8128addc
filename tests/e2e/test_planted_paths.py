"""What an ordinary user can plant where the elevated run writes and starts
programs: a link or a hard link at the log file's name, a file with the
registry backup's name in the current folder (the backup goes elsewhere), a link in the folder that the registry names as the
product's. The run writes and starts nothing through them, and goes on."""

from __future__ import annotations

import os
import re
import time

import pytest

import harness as h

VICTIM = "C:\\Victim9\\startup.cmd"
VICTIM_TEXT = b"@echo off\r\nrem the user's own script\r\n"
CWD_LOG = h.DEFAULT_RUN_DIR + "\\" + h.LOG_NAME
OS_LINE = "Windows 7 Service Pack 1"

PLANTED_KEY = "HKCU\\Software\\ZqPlanted"
PLANTED_BACKUP = ("\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_CURRENT_USER\\Software\\ZqPlanted]\r\n\"Planted\"=dword:00000001\r\n\r\n"
                  ).encode("utf-16-le")
PRODUCT_KEY = "HKCU\\Software\\Vexars\\ZENQO"
# Seconds ahead for which a backup name is planted: the run names its backup
# after the second it starts in.
PLANTED_SECONDS = 300

MISC = "HKLM\\Software\\Vexars\\ZENQO\\Misc"
LINKED_DIR = "C:\\Linked"
REAL_DIR = "C:\\RealProduct"


# -- the log file's name --------------------------------------------------------

def plant_hard_link(prefix: h.Prefix, win_path: str, target_win_path: str) -> None:
    link = prefix.unix_path(win_path)
    link.parent.mkdir(parents=True, exist_ok=True)
    os.link(prefix.unix_path(target_win_path), link)


@pytest.mark.parametrize("kind", ["symbolic", "hard"])
def test_link_at_the_log_name_is_not_written(prefix, kind):
    prefix.plant_file(VICTIM, VICTIM_TEXT)
    if kind == "symbolic":
        prefix.plant_link(CWD_LOG, VICTIM)
    else:
        plant_hard_link(prefix, CWD_LOG, VICTIM)
    run = prefix.run_remover()
    assert prefix.read_bytes(VICTIM) == VICTIM_TEXT, run.describe()
    # As with a folder where the log cannot be created: the box, the rest of
    # the run, no submission.
    assert run.exit_code == 0, run.describe()
    h.assert_boxes(run, [{"caption": h.LOG_FILE_FAILURE_CAPTION, "text": h.LOG_FILE_FAILURE_TEXT,
                          "buttons": [h.IDOK], "icon": False, "answer": "IDOK"}])
    for log in (run.temp_log, run.console):
        h.assert_in_order(log, h.step_sequence(run.bits))
        h.assert_ends_with(log, [h.completed_ok(), "", "", ""])
    assert run.duration >= 2.5, run.describe()


# -- the registry backup's name -------------------------------------------------

def backup_names(start: float, seconds: int) -> list:
    return [time.strftime("ZENQORemover.backup-%Y%m%d-%H%M%S.reg", time.localtime(start + s))
            for s in range(seconds)]


def test_planted_backup_file_is_left_and_the_backup_goes_to_the_administrators_folder(prefix):
    prefix.plant_registry({PRODUCT_KEY: {"Probe": 1}})
    planted = backup_names(time.time(), PLANTED_SECONDS)
    for name in planted:
        prefix.plant_file(f"{h.DEFAULT_RUN_DIR}\\{name}", PLANTED_BACKUP)
    run = prefix.run_remover()
    h.assert_completed(run)
    assert not prefix.key_exists(PRODUCT_KEY), run.describe()
    for name in planted:
        assert prefix.read_bytes(f"{h.DEFAULT_RUN_DIR}\\{name}") == PLANTED_BACKUP, name
    assert sorted(n for n in prefix.listdir(h.DEFAULT_RUN_DIR) if n.startswith("ZENQORemover.backup-")) == \
        sorted(planted)
    written = [n for n in prefix.listdir(h.BACKUP_DIR) if re.fullmatch(r"ZENQORemover\.backup-\d{8}-\d{6}\.reg", n)]
    assert len(written) == 1, prefix.listdir(h.BACKUP_DIR)
    backup = prefix.read_bytes(f"{h.BACKUP_DIR}\\{written[0]}")
    assert backup.startswith(b"\xff\xfe" + "Windows Registry Editor Version 5.00\r\n".encode("utf-16-le"))
    prefix.import_reg(backup[2:].decode("utf-16-le"))
    assert prefix.key_exists(PRODUCT_KEY)
    assert not prefix.key_exists(PLANTED_KEY)
    h.assert_absent(run.cwd_log, [h.Re(r"The registry backup could not be written.*")])


# -- programs started from the product's folder ---------------------------------

def test_interface_reached_through_a_folder_link_is_not_started(prefix):
    prefix.plant_registry({MISC: {"AppPath": LINKED_DIR + "\\"}})
    for name in ("UI.exe", "Zentrivo64.exe"):
        prefix.plant_helper("record_call.exe", f"{REAL_DIR}\\{name}")
    prefix.plant_link(LINKED_DIR, REAL_DIR)
    run = prefix.run_remover()
    calls = prefix.wait_for_calls(1, timeout=3)
    h.assert_completed(run)
    assert calls == [], calls
    refused = f'"{LINKED_DIR}" is a link'
    h.assert_in_order(run.cwd_log, [(
        "**** Close running application ****", "",
        f'Program not started: "{LINKED_DIR}\\UI.exe": {refused}',
        f"{LINKED_DIR}\\UI.exe")])
    h.assert_in_order(run.cwd_log, [(
        "**** Removing Scheduled Task  ****", "",
        f'Program not started: "{LINKED_DIR}\\Zentrivo64.exe": {refused}',
        f'Program not started: "{LINKED_DIR}\\Zentrivo64.exe": {refused}')])


def test_interface_that_is_a_link_to_a_file_is_not_started(prefix):
    # Under Wine a link to a file looks like a plain file: only where the
    # system resolves it tells it apart.
    folder = "C:\\Products\\Zentrivo"
    prefix.plant_registry({MISC: {"AppPath": folder + "\\"}})
    prefix.plant_helper("record_call.exe", f"{REAL_DIR}\\UI.exe")
    prefix.plant_folder(folder)
    prefix.plant_link(f"{folder}\\UI.exe", f"{REAL_DIR}\\UI.exe")
    run = prefix.run_remover()
    calls = prefix.wait_for_calls(1, timeout=3)
    h.assert_completed(run)
    assert [c for c in calls if c.name.lower() == "ui.exe"] == [], calls
    h.assert_in_order(run.cwd_log, [(
        "**** Close running application ****", "",
        f'Program not started: "{folder}\\UI.exe": "{folder}\\UI.exe" is a link',
        f"{folder}\\UI.exe")])


@pytest.mark.parametrize("planted", ["file", "folder"])
def test_program_of_another_account_is_not_started(prefix, planted):
    """Wine shows every file of its own Unix user as the running account's
    and another Unix user's as ANONYMOUS LOGON's, with full access: a program
    (or its whole folder) that another account made is not started."""
    folder = "C:\\Products\\Zentrivo"
    prefix.plant_registry({MISC: {"AppPath": folder + "\\"}})
    for name in ("UI.exe", "Zentrivo64.exe"):
        prefix.plant_helper("record_call.exe", f"{folder}\\{name}")
    prefix.give_to_another_account(folder + "\\UI.exe" if planted == "file" else folder)
    shown = prefix.owner_and_access(folder + "\\UI.exe" if planted == "file" else folder)
    assert shown.startswith("O:AN"), shown
    run = prefix.run_remover()
    calls = prefix.wait_for_calls(2 if planted == "file" else 1, timeout=5)
    h.assert_completed(run)
    ui_refusal = (f"the file: {h.ANONYMOUS_SID} may write to the file" if planted == "file"
                  else f"the folder: {h.ANONYMOUS_SID} may write to the folder")
    h.assert_in_order(run.cwd_log, [(
        "**** Close running application ****", "",
        f'Program not started: "{folder}\\UI.exe": {ui_refusal}',
        f"{folder}\\UI.exe")])
    started = sorted((c.name.lower(), c.args) for c in calls)
    if planted == "file":
        # The product's own program beside it is still started.
        assert started == [("zentrivo64.exe", ("-syncremove",)), ("zentrivo64.exe", ("-uninstall",))], calls
    else:
        assert started == [], calls
