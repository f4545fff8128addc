"""Start-up and removal sequence of the program on a clean machine, the
Windows-version gate and descriptions, and a current directory where the
log file cannot be created."""

from __future__ import annotations

import pytest

import harness as h
from harness import SEPARATOR, SHORT_SEPARATOR


def other_boxes(run: h.RemoverRun) -> list:
    """The boxes of a run apart from the log submission question,
    which a run with a writable current directory may ask at its end."""
    return [b for b in run.boxes if b.caption != h.SUBMISSION_QUESTION_CAPTION]


# -- clean machine, 64-bit ------------------------------------------------------

@pytest.fixture(scope="module")
def clean(template, e2e_config):
    """One run on the clean template, shared by the checks below; the prefix
    stays for the second run."""
    with h.scenario_prefix(template, e2e_config, "test_startup-clean") as prefix:
        yield prefix, prefix.run_remover()


def test_clean_run_exits_0_without_a_box(clean):
    _, run = clean
    assert run.exit_code == 0, run.describe()
    assert other_boxes(run) == [], run.describe()


@pytest.mark.parametrize("output", ["cwd_log", "temp_log", "console"])
def test_clean_run_writes_every_step(clean, output):
    _, run = clean
    h.assert_complete_run(run, getattr(run, output), "Windows 7 Service Pack 1")


def test_clean_run_steps_are_closed_by_their_separators(clean):
    """The first separator line after each header, before the next header,
    is the step's own: 49 equals signs for the scheduled-task and
    application-data steps, 50 for the others,
    then an empty line."""
    _, run = clean
    log = run.cwd_log
    steps = h.step_headers(run.bits)
    positions = h.assert_in_order(log, [header for header, _ in steps])
    bounds = positions[1:] + [log.texts.index(h.completed_ok())]
    for (header, closing), start, end in zip(steps, positions, bounds):
        section = log.texts[start:end]
        separators = [i for i, t in enumerate(section) if t in (SEPARATOR, SHORT_SEPARATOR)]
        assert separators, f"step {header!r} has no separator\n" + log.excerpt(around=start)
        first = separators[0]
        assert section[first:first + 2] == [closing, ""], (
            f"step {header!r} is closed by {section[first:first + 2]!r}, expected "
            f"{[closing, '']!r}\n" + log.excerpt(around=start))


def test_clean_run_log_files_have_one_bom_and_prefixed_lines(clean):
    _, run = clean
    for log in (run.cwd_log, run.temp_log):
        h.assert_log_file_format(log)
        # The driver's own lines are messages (level 1, a blank marker).
        own = log.entries[:len(h.start_of_log(""))] + log.entries[-len(h.END_OF_LOG):]
        assert {e.marker for e in own} == {" "}, log.excerpt()
    assert not run.console.bad_lines, run.console.bad_lines
    assert not run.console.has_bom


def test_clean_run_outputs_agree(clean):
    """The console and both log files receive every message."""
    _, run = clean
    assert run.cwd_log.texts == run.temp_log.texts
    assert run.console.texts == run.cwd_log.texts


def test_second_run_appends_to_both_log_files(clean):
    prefix, first = clean
    second = prefix.run_remover()
    assert second.exit_code == 0, second.describe()
    for before, after in ((first.cwd_log, second.cwd_log), (first.temp_log, second.temp_log)):
        assert after.raw.startswith(before.raw), f"{after.name}: the first run's lines changed"
        h.assert_log_file_format(after)  # exactly one byte order mark
        added = h.Log.from_file_bytes(after.name + " (second run)", after.raw[len(before.raw):])
        assert not added.has_bom
        h.assert_complete_run(second, added, "Windows 7 Service Pack 1")
        assert after.texts.count(h.banner()) == 2


# -- Windows versions -----------------------------------------------------------

def test_windows_version_nt40_is_refused(prefix):
    prefix.set_windows_version(h.PROGRAM_X64, "nt40")
    run = prefix.run_remover()
    assert run.exit_code == 1, run.describe()
    h.assert_boxes(run, [{"caption": h.OLD_WINDOWS_CAPTION, "text": h.OLD_WINDOWS_TEXT,
                          "buttons": [h.IDOK], "icon": False}])
    expected = ["", h.banner(), "", "OS: majorv=4 minorv=0", "",
                h.OLD_WINDOWS_TEXT, "", h.completed_abnormally(), ""]
    for log in (run.cwd_log, run.temp_log, run.console):
        assert log.texts == expected, log.excerpt()
        h.assert_absent(log, [header for header, _ in h.step_headers(64)]
                        + list(h.admin_check_lines()[:1]) + [h.completed_ok()])
    h.assert_log_file_format(run.cwd_log)
    h.assert_log_file_format(run.temp_log)


# (Wine's version name, or None for the prefix's default; the OS line)
VERSION_CASES = [
    pytest.param(None, "Windows 7 Service Pack 1", id="default"),
    pytest.param("win2k", "Windows 2000 Service Pack 4", id="win2k"),
    pytest.param("winxp", "Windows XP Service Pack 3", id="winxp"),
    # 5.2 workstation (XP Professional x64) reads as Windows XP.
    pytest.param("winxp64", "Windows XP Service Pack 2", id="winxp64"),
    pytest.param("win2003", "Windows Server 2003 Service Pack 2", id="win2003"),
    pytest.param("vista", "Windows Vista Service Pack 2", id="vista"),
    pytest.param("win2008", "Windows Server 2008 Service Pack 2", id="win2008"),
    # Wine's explicit win7 reports a server product type.
    pytest.param("win7", "Windows Server 2008 R2 Service Pack 1", id="win7-server"),
    # 6.2 has no name in the table: the raw-version line.
    pytest.param("win8", "OS: majorv=6 minorv=2", id="win8"),
]


@pytest.mark.parametrize("version, os_line", VERSION_CASES)
def test_windows_version_description(prefix, version, os_line):
    prefix.set_windows_version(h.PROGRAM_X64, version)
    run = prefix.run_remover()
    assert run.exit_code == 0, run.describe()
    assert other_boxes(run) == [], run.describe()
    h.assert_complete_run(run, run.cwd_log, os_line)


# -- log file that cannot be created ---------------------------------------------

def test_log_file_cannot_be_created(prefix):
    # A folder with the log file's name: CreateFileA fails even for root.
    blocker = h.DEFAULT_RUN_DIR + "\\" + h.LOG_NAME
    prefix.plant_folder(blocker)
    run = prefix.run_remover()
    assert run.exit_code == 0, run.describe()
    h.assert_boxes(run, [{"caption": h.LOG_FILE_FAILURE_CAPTION, "text": h.LOG_FILE_FAILURE_TEXT,
                          "buttons": [h.IDOK], "icon": False, "answer": "IDOK"}])
    assert prefix.is_dir(blocker) and prefix.listdir(blocker) == []
    assert run.cwd_log is None
    for log in (run.temp_log, run.console):
        h.assert_complete_run(run, log, "Windows 7 Service Pack 1")
    h.assert_log_file_format(run.temp_log)
    # Without the log file no submission is offered: the program waits 3 s.
    assert run.duration >= 2.5, run.describe()


@pytest.mark.parametrize("mutex", [
    "Global\\log-ZENQORemover",
    "Global\\log-" + h.TEMP_DIR.replace("\\", "_") + "_ZENQORemover",
], ids=["current-directory-log", "temporary-log"])
def test_log_mutex_held_by_another_program_does_not_stop_the_run(prefix, mutex):
    # Any account may create and hold a global name: the run waits a few
    # seconds once, then writes without the lock.
    holder = prefix.install(prefix.config.helper("sleeper.exe"))
    ready = h.SCRATCH_DIR + "\\mutex_held"
    prefix.scratch("mutex_held")
    prefix.start_program([holder, "--hold-mutex", mutex, ready])
    prefix.wait_for_file(ready)
    run = prefix.run_remover()
    assert run.exit_code == 0, run.describe()
    for log in (run.cwd_log, run.temp_log, run.console):
        h.assert_complete_run(run, log, "Windows 7 Service Pack 1")
    h.assert_log_file_format(run.cwd_log)
    h.assert_log_file_format(run.temp_log)
