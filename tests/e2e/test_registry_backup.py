"""The registry backup: on the installed-product machine (its Installer
registration, 32-bit-view leftovers, and a suite and tray that go with the
product), the backup the run leaves in the administrators' folder, imported with
regedit /s, gives back every key and value the run deleted or changed, and
nothing else of the registry differs from the state before the run."""

from __future__ import annotations

import re

import pytest

import harness as h
import simulated_machine as sm

BACKUP_NAME = re.compile(r"ZENQORemover\.backup-\d{8}-\d{6}\.reg")
HIVES = ("HKLM", "HKCU")
# Keys that Wine itself writes while programs run, which no registry call of
# the program touches: its console host's, the first time a program writes
# to a console in the prefix; the display adapters' (below Video), when a
# desktop starts, on a loaded machine after the run; and the service
# manager's count of service starts (ServiceCurrent).
WINE_OWN_KEYS = tuple(f"hkey_local_machine\\system\\{control_set}\\control\\{key}"
                      for control_set in ("currentcontrolset", "controlset001")
                      for key in ("video", "servicecurrent")) + ("hkey_current_user\\console",)


def wine_own(lower: str) -> bool:
    return any(lower == key or lower.startswith(key + "\\") for key in WINE_OWN_KEYS)


def plant(prefix: h.Prefix, bits: int) -> None:
    prefix.plant_registry(sm.KEYS_64)
    prefix.plant_registry(sm.KEYS_32, view=32)
    # The suite and the tray come from their own scenario, used by the product alone.
    prefix.plant_paths({path: data for path, data in sm.FILES.items()
                        if not path.startswith((sm.SUITE_DIR, sm.TRAY_CONFIGS))})
    sm.plant_suite_and_tray(prefix, sm.SuiteMachine(), bits)


def registry(prefix: h.Prefix) -> dict:
    return {hive: prefix.export_registry(hive) for hive in HIVES}


def differences(before: dict, after: dict) -> list:
    found = []
    for hive in HIVES:
        old = {path.lower(): (path, before[hive].values(path)) for path in before[hive].key_paths()}
        new = {path.lower(): (path, after[hive].values(path)) for path in after[hive].key_paths()}
        for lower in sorted(k for k in old.keys() | new.keys() if not wine_own(k)):
            if lower not in new:
                found.append(f"missing key {old[lower][0]}")
            elif lower not in old:
                found.append(f"new key {new[lower][0]}")
            elif old[lower][1] != new[lower][1]:
                found.append(f"{old[lower][0]}: {old[lower][1]!r} -> {new[lower][1]!r}")
    return found


@pytest.fixture(scope="module", params=[64, pytest.param(32, marks=pytest.mark.wow64)], ids=["x64", "x86"])
def restored(request, template, e2e_config):
    bits = request.param
    if bits == 32:
        request.getfixturevalue("wow64")
    with h.scenario_prefix(template, e2e_config, f"test_registry_backup-{bits}") as prefix:
        plant(prefix, bits)
        before = registry(prefix)
        run = prefix.run_remover(bits=bits)
        after_run = registry(prefix)
        names = [n for n in prefix.listdir(h.BACKUP_DIR) if BACKUP_NAME.fullmatch(n)]
        backup = prefix.read_bytes(f"{h.BACKUP_DIR}\\{names[0]}") if len(names) == 1 else b""
        if backup:
            prefix.import_reg(backup[2:].decode("utf-16-le"))
        yield run, names, backup, before, after_run, registry(prefix)


def test_backup_restores_what_the_run_deleted_or_changed(restored):
    run, names, backup, before, after_run, after_import = restored
    h.assert_completed(run)
    assert len(names) == 1, f"backup files in the administrators' folder: {names}"
    assert backup.startswith(b"\xff\xfe" + "Windows Registry Editor Version 5.00\r\n".encode("utf-16-le"))
    text = backup.decode("utf-16-le")
    assert "\n" not in text.replace("\r\n", ""), "a line that does not end with CR LF"
    removed = differences(before, after_run)
    # The run did delete and change: the product's keys, the Installer
    # database, counters in both views, the suite's and tray's keys.
    changes = ["missing key HKEY_CURRENT_USER\\Software\\Vexars\\ZENQO",
               "missing key " + h.full_key(f"{sm.MSI_SYSTEM}\\Products\\{sm.MSI_PRODUCT}"),
               "missing key " + h.view_key(sm.TRAY_KEY, 32),
               "missing key " + h.full_key(f"{sm.COMPONENTS}\\{sm.SUITE_COMPONENT}"),
               h.view_key(sm.RUN_KEY, 32) + ": ", h.view_key(sm.SHARED_DLLS, 32) + ": "]
    if run.bits == 64:
        changes += ["missing key " + h.full_key(f"{sm.UNINSTALL}\\{sm.ENTRY}"), h.full_key(sm.SHARED_DLLS) + ": "]
    for change in changes:
        assert any(line.lower().startswith(change.lower()) for line in removed), (change, removed)
    assert differences(before, after_import) == []


# Nested keys below one that the run deletes, named so that their full names
# hold whole lines of a .reg file: one to delete a machine key, one to write
# a value into it.
VICTIM = "HKLM\\SOFTWARE\\Victim"
PLANTED = ["HKCU\\Software\\Vexars\\ZENQO\\x\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Victim]\r\nz",
           "HKCU\\Software\\Vexars\\ZENQO\\y\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Victim]\r\nz"]
ORDINARY = {"HKCU\\Software\\Vexars\\ZENQO": {"Language": "en"},
            "HKCU\\Software\\Vexars\\ZENQO\\Misc": {"Count": 3}}


@pytest.fixture(scope="module")
def forged_names(template, e2e_config):
    with h.scenario_prefix(template, e2e_config, "test_registry_backup-forged-names") as prefix:
        prefix.plant_registry({VICTIM: {"Keep": "original"}, **ORDINARY})
        for name in PLANTED:
            prefix.plant_registry_key(name, ("Debugger", "C:\\users\\Public\\evil.exe"))
        run = prefix.run_remover()
        names = [n for n in prefix.listdir(h.BACKUP_DIR) if BACKUP_NAME.fullmatch(n)]
        backup = prefix.read_bytes(f"{h.BACKUP_DIR}\\{names[0]}") if len(names) == 1 else b""
        if backup:
            prefix.import_reg(backup[2:].decode("utf-16-le"))
        yield run, backup.decode("utf-16-le"), prefix.read_key(VICTIM, 64), \
            {key: prefix.read_key(key, 64) for key in ORDINARY}


def test_key_names_cannot_make_the_backup_import_other_lines(forged_names):
    run, backup, victim, ordinary = forged_names
    h.assert_completed(run)
    assert backup, "no backup"
    # Every line that holds a planted name is a comment, the name escaped.
    lines = [line for line in backup.split("\r\n") if "Victim" in line]
    assert len(lines) >= 2, backup
    assert all(line.startswith("; ") for line in lines), lines
    assert any("\\r\\n[-HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Victim]\\r\\nz" in line for line in lines), lines
    assert victim == {"Keep": "original"}
    assert ordinary == {key: values for key, values in ORDINARY.items()}
