"""A full disk where the run writes: the current folder's log is cut short
(said once in the temporary folder's log and on the console, and the whole
log is the one mailed), and a registry backup that could not be written
whole is deleted rather than left under a good backup's name. The small
disks are tmpfs mounts inside the prefix's drive, which needs root."""

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

pytestmark = [pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small tmpfs needs root"),
              pytest.mark.xdist_group("smtp-port-25")]

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
        said = [t for t in log.texts() if LOG_CUT.fullmatch(t)]
        assert len(said) == 1, log
        assert LOG_CUT.fullmatch(said[0]).group(1) == FULL_DIR + "\\" + h.LOG_NAME
        h.assert_ends_with(log, [h.completed_ok(), "", "", ""])
    whole = prefix.read_bytes(h.TEMP_DIR + "\\" + h.LOG_NAME)
    assert len(mailbox.envelopes) == 1, run.describe()
    mail = email.message_from_bytes(mailbox.envelopes[0].original_content, policy=email.policy.compat32)
    assert mail.get_payload(decode=True) == whole


def test_backup_that_could_not_be_written_whole_is_deleted(prefix):
    # ProgramData on a small disk, with its folders but none of its files:
    # the run makes its folder there and its backup fills the disk.
    program_data = prefix.unix_path(h.COMMON_APPDATA_DIR)
    folders = [os.path.relpath(root, program_data) for root, _, _ in os.walk(program_data)]
    prefix.plant_registry({PRODUCT_KEY: {"Blob": bytes(range(256)) * 160}, PRODUCT_KEY + "\\Misc": {"Count": 3}})
    with small_disk(program_data, "16k"):
        for folder in folders:
            (program_data / folder).mkdir(parents=True, exist_ok=True)
        run = prefix.run_remover()
        left = prefix.listdir(h.BACKUP_DIR)
        result = prefix.read_bytes(h.BACKUP_DIR + "\\" + h.RESULT_NAME)
    h.assert_completed(run)
    assert not prefix.key_exists(PRODUCT_KEY)
    said = [t for t in run.cwd_log.texts() if t.startswith("The registry backup could not be written")]
    assert len(said) == 1 and BACKUP_CUT.fullmatch(said[0]), said
    assert [n for n in left if ".reg" in n] == [], left
    assert not any(t.startswith("The registry backup is ") for t in run.cwd_log.texts())
    assert result is not None and b'"backup": null' in result
