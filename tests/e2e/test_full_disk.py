"""A full disk where the run writes: the current folder's log is cut short
(said once in the temporary folder's log and on the console, and the whole
log is the one mailed), and a registry backup that could not be written
whole is deleted rather than left under a good backup's name. The small
disk of the log is a tmpfs mount inside the prefix's drive (which needs
root); the backup's is a limit on the size of the files the program writes."""

from __future__ import annotations

import contextlib
import email
import email.policy
import os
import re
import subprocess

import pytest

import harness as h
import simulated_machine as sm

ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small tmpfs needs root")

FULL_DIR = "C:\\fullrun"
PRODUCT_KEY = "HKLM\\Software\\Vexars\\ZENQO"
LOG_CUT = re.compile(r"The log file '(.+)' could not be written completely: .+")
BACKUP_CUT = re.compile(r'The registry backup could not be written: "(.+\.reg)": .+; the incomplete file was deleted')


@contextlib.contextmanager
def small_disk(path, size: str):
    """A tmpfs of `size` mounted at the (existing) Linux folder `path`."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(path)], check=True)
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", str(path)], check=False)


@ROOT_ONLY
@pytest.mark.xdist_group("smtp-port-25")
def test_log_cut_short_is_said_and_the_whole_log_is_mailed(prefix):
    prefix.plant_registry(sm.product_keys("HKLM"))
    with small_disk(prefix.plant_folder(FULL_DIR), "4k"), h.smtp_server() as mailbox:
        run = prefix.run_remover(cwd=FULL_DIR, answers={h.SUBMISSION_QUESTION_CAPTION: "IDYES"},
                                 prompts=("ok:admin@corp.example",))
        cut = prefix.read_bytes(FULL_DIR + "\\" + h.LOG_NAME)
    assert run.exit_code == 0, run.describe()
    assert not prefix.key_exists(PRODUCT_KEY)
    assert cut is not None and len(cut) <= 4096
    for log in (run.temp_log, run.console):
        said = [t for t in log.texts if LOG_CUT.fullmatch(t)]
        assert len(said) == 1, log
        assert LOG_CUT.fullmatch(said[0]).group(1) == FULL_DIR + "\\" + h.LOG_NAME
        h.assert_ends_with(log, [h.completed_ok(), "", "", ""])
    whole = prefix.read_bytes(h.TEMP_DIR + "\\" + h.LOG_NAME)
    assert len(mailbox.envelopes) == 1, run.describe()
    mail = email.message_from_bytes(mailbox.envelopes[0].original_content, policy=email.policy.compat32)
    assert mail.get_payload(decode=True) == whole


# The program's files may grow to 64 KiB: a larger write fails as on a full
# disk (the shell ignores SIGXFSZ, so the write returns an error instead).
SIZE_LIMITED_WINE = """#!/bin/sh
trap '' XFSZ
ulimit -f 64
exec {wine} "$@"
"""


def test_backup_that_could_not_be_written_whole_is_deleted(prefix, tmp_path, monkeypatch):
    # A mount point shows as a link to Windows programs under Wine, which the
    # backup folder must not lie behind: a limit on the size of the files the
    # program writes stands in for the full disk here.
    wrapper = tmp_path / "wine64-limited"
    wrapper.write_text(SIZE_LIMITED_WINE.format(wine=h.WINE64))
    wrapper.chmod(0o755)
    prefix.plant_registry({PRODUCT_KEY: {"Blob": bytes(range(256)) * 160}, PRODUCT_KEY + "\\Misc": {"Count": 3}})
    with monkeypatch.context() as patch:
        patch.setattr(prefix, "_loader", lambda bits: str(wrapper))
        run = prefix.run_remover()
    h.assert_completed(run)
    assert not prefix.key_exists(PRODUCT_KEY)
    said = [t for t in run.cwd_log.texts if t.startswith("The registry backup could not be written")]
    assert len(said) == 1 and BACKUP_CUT.fullmatch(said[0]), said
    left = prefix.listdir(h.BACKUP_DIR)
    assert [n for n in left if ".reg" in n] == [], left
    assert not any(t.startswith("The registry backup is ") for t in run.cwd_log.texts)
    result = prefix.read_bytes(h.BACKUP_DIR + "\\" + h.RESULT_NAME)
    assert result is not None and b'"backup": null' in result
