"""Started in a window station that nobody sees, as deployment tools start
it: the run ends by itself (a box there would wait forever) with the usual
exit code and complete logs, and nothing is mailed."""

from __future__ import annotations

import pytest

import harness as h
import simulated_machine as sm

# The scenarios that use 127.0.0.1:25 (h.smtp_server) run in one pytest-xdist
# worker rather than wait for each other there.
pytestmark = pytest.mark.xdist_group("smtp-port-25")


@pytest.fixture
def mailbox():
    with h.smtp_server() as box:
        yield box.envelopes


def run_unattended(prefix: h.Prefix) -> h.RemoverRun:
    run = prefix.run_remover(hidden_station=True)
    # The station really is one that nobody sees: its flags lack WSF_VISIBLE.
    assert run.starter_report.splitlines()[0] == "station 0", run.starter_report
    assert run.exit_code is not None, "the run waited: " + run.describe()
    assert run.boxes == [], run.describe()
    return run


def test_installed_product_is_removed_unattended(prefix, mailbox):
    prefix.plant_registry({**sm.uninstall_entry(), **sm.installed_product_keys("HKLM")})
    run = run_unattended(prefix)
    h.assert_completed(run)
    h.assert_key_absent(prefix, "HKLM\\Software\\Vexars\\ZENQO", 64)
    h.assert_key_absent(prefix, "HKLM\\" + h.UNINSTALL_PATH + "\\" + sm.ENTRY, 64)
    assert run.temp_log.texts == run.cwd_log.texts
    assert mailbox == []


def test_log_file_cannot_be_created_unattended(prefix, mailbox):
    prefix.plant_folder(h.DEFAULT_RUN_DIR + "\\" + h.LOG_NAME)
    run = run_unattended(prefix)
    assert run.exit_code == 0 and run.cwd_log is None, run.describe()
    h.assert_ends_with(run.temp_log, [h.completed_ok(), "", "", ""])
    # Without the log file no submission is offered: the program waits 3 s.
    assert run.duration >= 2.5, run.describe()
    assert mailbox == []
