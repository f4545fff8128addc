"""What a deployment tool's run must clean and report: every profile that
the system lists (also outside the running account's parent folder), each
other user's registry hive, a run that goes on when the temporary folder's
log cannot be opened, and an exit code that tells a run that stopped in the
middle from one that completed."""

from __future__ import annotations

import re
from types import SimpleNamespace

import pytest

import harness as h
from harness import Re
import simulated_machine as sm

PROFILE_LIST = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
# A user whose profile lies outside C:\users (moved, or on another volume)
# and whose hive is loaded (signed in); one whose hive cannot be loaded (no
# NTUSER.DAT); and the local system account, whose profile is no user's.
CAROL = "S-1-5-21-0-0-0-1001"
CAROL_DIR = "C:\\Profiles\\carol"
DAVE = "S-1-5-21-0-0-0-1002"
DAVE_DIR = "C:\\Profiles\\dave"
SYSTEM_DIR = "C:\\windows\\system32\\config\\systemprofile"
CAROL_HIVE = "HKEY_USERS\\" + CAROL

CAROL_GONE = (CAROL_DIR + "\\" + h.VIRTUAL_STORE_COPY, CAROL_DIR + "\\AppData\\Roaming\\Vexars")
CAROL_KEPT = (CAROL_DIR + "\\AppData\\Local\\VirtualStore\\ProgramData\\Other\\keep.dat",
              CAROL_DIR + "\\AppData\\Roaming\\Other\\keep.dat", CAROL_DIR + "\\Documents\\letter.txt")
OTHER_VENDOR = CAROL_HIVE + "\\Software\\OtherVendor"


def profile(folder: str) -> dict:
    return {"ProfileImagePath": h.ExpandSz(folder)}


@pytest.fixture(scope="module")
def other_users(template, e2e_config):
    with h.scenario_prefix(template, e2e_config, "test_deployment-other-users") as prefix:
        prefix.plant_registry({PROFILE_LIST + "\\" + CAROL: profile(CAROL_DIR),
                               PROFILE_LIST + "\\" + DAVE: profile(DAVE_DIR),
                               PROFILE_LIST + "\\S-1-5-18": profile("%systemroot%\\system32\\config\\systemprofile"),
                               **sm.installed_product_keys(CAROL_HIVE, app_path=False),
                               OTHER_VENDOR: {"Keep": 1}})
        prefix.plant_paths({CAROL_DIR + "\\" + h.VIRTUAL_STORE_COPY + "\\Zentrivo\\settings.ini": b"v",
                            CAROL_DIR + "\\AppData\\Roaming\\Vexars\\Suite\\user.dat": b"s",
                            SYSTEM_DIR + "\\" + h.VIRTUAL_STORE_COPY + "\\keep.dat": b"k",
                            DAVE_DIR + "\\Documents\\notes.txt": b"n",
                            **{path: b"k" for path in CAROL_KEPT}})
        run = prefix.run_remover()
        after = {"gone": [p for p in CAROL_GONE if prefix.exists(p)],
                 "kept": [p for p in CAROL_KEPT + (SYSTEM_DIR + "\\" + h.VIRTUAL_STORE_COPY + "\\keep.dat",)
                          if not prefix.exists(p)],
                 "product_key": prefix.key_exists(CAROL_HIVE + "\\Software\\Vexars"),
                 "corvantis_key": prefix.key_exists(CAROL_HIVE + "\\Software\\Corvantis"),
                 "other_vendor": prefix.key_exists(OTHER_VENDOR)}
        backup = prefix.read_backup()
        if backup:
            prefix.import_reg(backup[2:].decode("utf-16-le"))
        restored = prefix.read_key(CAROL_HIVE + "\\Software\\Vexars\\ZENQO\\Settings\\Scan")
        yield SimpleNamespace(run=run, after=after, backup=backup.decode("utf-16-le", errors="replace"),
                              restored=restored)


def test_other_users_run_completes(other_users):
    h.assert_completed(other_users.run)


def test_profiles_listed_outside_the_profiles_folder_are_cleaned(other_users):
    assert other_users.after["gone"] == [], other_users.after
    assert other_users.after["kept"] == [], other_users.after
    h.assert_in_order(other_users.run.cwd_log, [f"removing {CAROL_DIR}\\AppData\\Roaming\\Vexars\\Suite"])


def test_other_users_hive_is_cleaned_and_named(other_users):
    assert not other_users.after["product_key"] and not other_users.after["corvantis_key"], other_users.after
    assert other_users.after["other_vendor"], other_users.after
    root = "HKEY_USERS"
    h.assert_in_order(other_users.run.cwd_log, [(
        f"Registry of user {CAROL}, profile '{CAROL_DIR}':",
        h.removed_regkey(root, f"{CAROL}\\Software\\Vexars", "ZENQO"),
        h.removed_regkey(root, f"{CAROL}\\Software", "Vexars"),
        h.removed_regkey(root, f"{CAROL}\\Software\\Corvantis\\ZENQO", "5"),
        h.removed_regkey(root, f"{CAROL}\\Software\\Corvantis", "ZENQO"),
        h.removed_regkey(root, f"{CAROL}\\Software", "Corvantis"),
        Re(re.escape(f"The registry of user {DAVE} cannot be loaded from '{DAVE_DIR}\\NTUSER.DAT' (error ")
           + r"\d+\): it stays as it is"),
    )])
    h.assert_absent(other_users.run.cwd_log, [Re(".*S-1-5-18.*")])


def test_other_users_keys_are_backed_up_under_their_sid(other_users):
    assert f"[{CAROL_HIVE}\\Software\\Vexars\\ZENQO\\Settings\\Scan]" in other_users.backup
    assert "HKEY_CURRENT_USER\\Software\\Vexars\\ZENQO" not in other_users.backup
    assert other_users.restored == {"Level": 2}


# -- the temporary folder's log and the exit code -----------------------------------


def test_temporary_log_that_cannot_be_opened_costs_only_itself(prefix):
    """A folder that another user made at the temporary folder's log name."""
    prefix.plant_registry({**sm.uninstall_entry(), **sm.installed_product_keys("HKLM")})
    prefix.plant_folder(h.TEMP_DIR + "\\" + h.LOG_NAME)
    run = prefix.run_remover()
    h.assert_completed(run)
    assert run.temp_log is None
    h.assert_starts_with(run.cwd_log, [
        Re(r"The log in the temporary folder cannot be opened \(.+\): the run goes on without it"),
        "", "Zentrivo force remover version 1.2.3.0"])
    h.assert_key_absent(prefix, "HKLM\\Software\\Vexars\\ZENQO", 64)


def test_run_that_stops_in_the_middle_exits_with_2(prefix):
    """The user's desktop folder has no exact form in the ANSI code page: the
    shortcut step cannot name it and the run stops there."""
    prefix.plant_registry({"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders":
                           {"Desktop": h.ExpandSz("C:\\users\\root\\Desk\u0411top")}})
    prefix.plant_folder("C:\\users\\root\\Desk\u0411top")
    run = prefix.run_remover()
    assert [(b.caption, b.text) for b in run.boxes] == [("Error", "Internal error!")], run.describe()
    assert run.exit_code == 2, run.describe()
