"""What the run leaves for the administrator and for deployment tools: the
registry backup in a folder that only administrators can change, named in
the log with its SHA-256, and ZENQORemover.result.json beside it, which
validates against docs/result.schema.json and says what the log says."""

from __future__ import annotations

import hashlib
import json
import re

import jsonschema
import pytest

import harness as h
import simulated_machine as sm
from test_registry_backup import plant as plant_installed

SCHEMA = json.loads((h.REPO_ROOT / "docs" / "result.schema.json").read_text(encoding="utf-8"))
RESULT = f"{h.BACKUP_DIR}\\{h.RESULT_NAME}"
BACKUP_LINE = re.compile(r"The registry backup is '(.+)', SHA-256 ([0-9a-f]{64})")
RESULT_LINE = f"The result of the run is in '{RESULT}'"
NO_BACKUP = re.compile(r"The registry backup could not be written: .*")
# An Uninstall entry of the product whose name holds a quote, control
# characters and characters outside the ANSI code page.
ODD_ENTRY = 'Zen"trivo\x01\x1f\tentry \u03a9\u4e2d\U0001F600'
ODD_KEY = h.full_key(f"{sm.UNINSTALL}\\{ODD_ENTRY}")

# The log lines of the operations that record their outcome, and the list of
# the result that each lands in.
LOGGED = [
    (re.compile(r"  Removed regkey '(.+)'"), "removed"),
    (re.compile(r"\. Folder '(.+)' was removed"), "removed"),
    (re.compile(r"   (.+) removed"), "removed"),
    (re.compile(r"Removed empty folder '(.+)' !"), "removed"),
    (re.compile(r"Install Folder '(.+)' was removed also\."), "removed"),
    (re.compile(r"!  Failed to remove regkey '(.+)' !"), "failed"),
    (re.compile(r"! Failed to remove folder '(.+)' !"), "failed"),
    (re.compile(r"FAILED TO remove '(.+)'; error \d+ !"), "failed"),
    (re.compile(r"Would not dare to remove '(.+)' !"), "kept"),
    (re.compile(r"Do NOT removing folder '(.+)', as it is not empty !"), "kept"),
]


def security(prefix: h.Prefix, path: str) -> str:
    helper = prefix.install(prefix.config.helper("file_security.exe"))
    done = prefix.run([helper, "show", path], timeout=60)
    assert done.exit_code == 0, done
    return done.stdout.strip()


def read_result(prefix: h.Prefix) -> dict:
    data = prefix.read_bytes(RESULT)
    assert data is not None, "no result file"
    return json.loads(data.decode("ascii"))


# The 64-bit program only: the files are written by code that both programs
# share, and every 32-bit start is slow where 32-bit code goes through qemu.
@pytest.fixture(scope="module")
def installed(template, e2e_config):
    bits = 64
    with h.scenario_prefix(template, e2e_config, f"test_run_files-{bits}") as prefix:
        plant_installed(prefix, bits)
        prefix.plant_registry_key(f"{sm.UNINSTALL}\\{ODD_ENTRY}", ("DisplayName", "Zentrivo"))
        run = prefix.run_remover(bits=bits)
        yield prefix, run, read_result(prefix)


def test_backup_lies_in_the_administrators_folder_only(installed):
    # Wine keeps no access lists of files (each reads back as the running
    # account's, whatever was set), so the folder's descriptor cannot be
    # shown here; the unit tests check the descriptor the run creates it with.
    prefix, run, _ = installed
    h.assert_completed(run)
    written = [n for n in prefix.listdir(h.BACKUP_DIR) if n.startswith("ZENQORemover.backup-")]
    assert len(written) == 1, prefix.listdir(h.BACKUP_DIR)
    for folder in (h.DEFAULT_RUN_DIR, h.TEMP_DIR):
        assert not any(n.startswith("ZENQORemover.backup-") for n in prefix.listdir(folder)), folder


def test_log_names_the_backup_and_its_hash_after_the_last_registry_change(installed):
    prefix, run, _ = installed
    texts = run.cwd_log.texts
    named = [(i, BACKUP_LINE.fullmatch(t)) for i, t in enumerate(texts) if BACKUP_LINE.fullmatch(t)]
    assert len(named) == 1, texts
    index, match = named[0]
    path, digest = match.groups()
    assert path.lower().startswith(h.BACKUP_DIR.lower() + "\\ZENQORemover.backup-".lower()), path
    data = prefix.read_bytes(path)
    assert data and data.startswith(b"\xff\xfe"), path
    assert hashlib.sha256(data).hexdigest() == digest
    changes = [i for i, t in enumerate(texts) if re.match(r"\s*(Removed reg|Cleaning registry|.* is set to \d+$)", t)]
    assert changes and max(changes) < index, texts[index - 5:index + 1]
    assert run.temp_log.texts.count(match.group(0)) == 1


def test_result_validates_against_the_schema_and_is_named_last(installed):
    _, run, result = installed
    jsonschema.validate(result, SCHEMA)
    texts = run.cwd_log.texts
    assert texts[-5:] == [RESULT_LINE, h.completed_ok(), "", "", ""], texts[-8:]
    assert result["bitness"] == run.bits
    assert result["completed"] is True
    assert result["restart_needed"] is False
    assert result["window_station_visible"] is True
    for kind in ("removed", "scheduled", "failed", "kept"):
        assert result["counts"][kind] == len(result[kind])


def test_result_matches_the_log(installed):
    prefix, run, result = installed
    logged = {"removed": [], "failed": [], "kept": []}
    for text in run.cwd_log.texts:
        for pattern, kind in LOGGED:
            match = pattern.fullmatch(text)
            if match:
                logged[kind].append(match.group(1).lower())
                break
    recorded = {kind: sorted(e["name"].lower() for e in result[kind] if "value" not in e
                             and not e.get("reason", "").startswith("its name"))
                for kind in logged}
    for kind in logged:
        assert sorted(logged[kind]) == recorded[kind], kind
    assert logged["removed"], "nothing logged as removed"
    match = BACKUP_LINE.fullmatch(next(t for t in run.cwd_log.texts if BACKUP_LINE.fullmatch(t)))
    assert result["backup"] == {"path": match.group(1), "sha256": match.group(2)}
    assert result["product_left"] is False, result["product_found"]


def test_odd_names_come_back_exactly(installed):
    _, _, result = installed
    assert ODD_KEY in [e["name"] for e in result["removed"]]


# -- a folder at the backup's place that others may change ---------------------

def test_planted_folder_is_not_used(prefix):
    # Made by a user before the run: its owner and access list are the
    # user's (under Wine, the running account's: refused all the same).
    folder = h.COMMON_APPDATA_DIR + "\\ZENQORemover"
    prefix.plant_folder(folder + "\\Backups")
    prefix.plant_registry(sm.product_keys("HKLM"))
    run = prefix.run_remover()
    h.assert_completed(run)
    refusals = [t for t in run.cwd_log.texts if NO_BACKUP.fullmatch(t)]
    assert len(refusals) == 1 and f'"{folder}": ' in refusals[0], refusals
    assert prefix.listdir(folder) == ["Backups"] and prefix.listdir(folder + "\\Backups") == []
    assert not prefix.key_exists("HKLM\\Software\\Vexars\\ZENQO")
    assert not any(BACKUP_LINE.fullmatch(t) for t in run.cwd_log.texts)
    assert any(t.startswith("The result of the run could not be written: ") for t in run.cwd_log.texts)


# -- the product's folder could not be removed -----------------------------------

def test_product_left_when_its_folder_stays(prefix):
    # A link in the installation folder is never followed, and under Wine not
    # removable without its target: the folder stays.
    prefix.plant_registry({f"{sm.UNINSTALL}\\{sm.ENTRY}": {"DisplayName": "Zentrivo", "DisplayVersion": "2.1.5",
                                                           "InstallLocation": sm.MAKER_DIR}})
    prefix.plant_paths({sm.INSTALL_DIR + "Zentrivo.cfg": "[scan]\r\n", "C:\\Elsewhere\\kept.txt": "not the product's"})
    prefix.plant_link(sm.INSTALL_DIR + "Shared", "C:\\Elsewhere")
    run = prefix.run_remover()
    h.assert_completed(run)
    assert prefix.exists(sm.INSTALL_DIR)
    result = read_result(prefix)
    jsonschema.validate(result, SCHEMA)
    assert result["product_left"] is True
    assert any(found.startswith("the installation folder ") for found in result["product_found"]), result
    assert sm.INSTALL_DIR.lower() in [e["name"].lower() for e in result["failed"]], result["failed"]
