"""The product on the machine: how the remover finds it and its folder, what
it asks the product's own programs to do, which running programs it ends
(and which it leaves alone), and which registry keys it removes and which
it leaves to others; in the 64-bit program and, once, in the 32-bit one."""

from __future__ import annotations

import re
from types import SimpleNamespace

import pytest

import harness as h
from harness import SEPARATOR, SHORT_SEPARATOR, Re
from simulated_machine import (ENTRY, INSTALL_DIR, INSTALL_DIR_X86, MAKER_DIR, MAKER_DIR_X86,
                               SHARED_DLLS, UNINSTALL, uninstall_entry)
from simulated_machine import installed_product_keys as product_keys

APP_PATH_KEY = h.APP_PATHS_PATH + "\\Zentrivo.exe"
SEARCH_HEADER = ("**** Search Zentrivo info ****", "")
NOT_FOUND = ("ATTENTION: could not find keys about 'Zentrivo' in "
             "'HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall' !")
UNDETECTED = ("Unable to detect the version of Zentrivo, probably nothing to clean ...",
              "Making preventive cleaning in assumption that the product was installed before.")
NEWER_THAN_TESTED = ("This version of ZENQORemover was tested on Zentrivo versions up to 2.1.5. "
                     "For later versions it may not work correctly")
REGISTRY_HEADER = ("**** Cleaning SOFTWARE registry ****", "")


def product_key_removals(root: str) -> list:
    """clean_software_registry's lines for one hive that holds every key of
    product_keys and nothing else below Software\\Vexars and Software\\Corvantis."""
    return [h.removed_regkey(root, "Software\\Vexars", "ZENQO"),
            h.removed_regkey(root, "Software", "Vexars"),
            h.removed_regkey(root, "Software\\Corvantis\\ZENQO", "5"),
            h.removed_regkey(root, "Software\\Corvantis", "ZENQO"),
            h.removed_regkey(root, "Software", "Corvantis")]


def shared_dlls_values(install_dir: str) -> dict:
    """The counters of the product's two shared files, as its installer left
    them, plus one of another file in the same folder that is not the
    remover's to touch."""
    return {install_dir + "MsgSys.exe": 1, install_dir + "bvhtml.dll": 2,
            install_dir + "Scanner.dll": 1}


def value_names(prefix: h.Prefix, path: str, view: int) -> set:
    values = prefix.read_key(path, view)
    return set() if values is None else {name.lower() for name in values}


def plant_recorders(prefix: h.Prefix, install_dir: str) -> None:
    """record_call.exe as the product's interface and both of its executables."""
    for name in ("UI.exe", "Zentrivo64.exe", "Zentrivo.exe"):
        prefix.plant_helper("record_call.exe", install_dir + name)


def same_folder(a: str, b: str) -> bool:
    return a.rstrip("\\").lower() == b.rstrip("\\").lower()


# -- installed product, 64-bit program -------------------------------------------

@pytest.fixture(scope="module")
def installed(template, e2e_config):
    """Version 2.1.5 installed in C:\\Program Files\\Vexars\\Zentrivo\\ with
    its keys in both hives, the copies that the 64-bit program removes from
    the 32-bit view, and argument recorders as its programs. One run."""
    with h.scenario_prefix(template, e2e_config, "test_installed_product-x64") as prefix:
        prefix.plant_registry({**uninstall_entry(), **product_keys("HKCU"), **product_keys("HKLM"),
                               SHARED_DLLS: {INSTALL_DIR + "MsgSys.exe": 1}})
        prefix.plant_registry({"HKLM\\Software\\Vexars": {"Installed": 1},
                               SHARED_DLLS: shared_dlls_values(INSTALL_DIR)}, view=32)
        plant_recorders(prefix, INSTALL_DIR)
        run = prefix.run_remover()
        yield SimpleNamespace(prefix=prefix, run=run, calls=prefix.wait_for_calls(3))


def test_installed_run_completes(installed):
    h.assert_completed(installed.run)


def test_installed_product_is_found(installed):
    h.assert_in_order(installed.run.cwd_log, [(
        *SEARCH_HEADER,
        h.found_uninstall_entry(ENTRY),
        ". Product version: '2.1.5'",
        ". Installation directory: 'C:\\Program Files\\Vexars\\'",
        "Product Version (int): 21005",
        "Zentrivo directory: C:\\Program Files\\Vexars\\Zentrivo\\",
        "",
        "**** Close running application ****",
    )])
    h.assert_absent(installed.run.cwd_log, [NEWER_THAN_TESTED, *UNDETECTED, NOT_FOUND])


def test_installed_close_step_asks_the_interface_to_close(installed):
    h.assert_in_order(installed.run.cwd_log, [h.close_step_lines(INSTALL_DIR)])
    close = [c for c in installed.calls if c.name == "UI.exe"]
    assert [c.args for c in close] == [("-close",)], installed.calls
    assert close[0].exe.lower() == (INSTALL_DIR + "UI.exe").lower()
    assert same_folder(close[0].cwd, INSTALL_DIR), close[0]


def test_installed_scheduled_task_step_starts_the_64bit_executable(installed):
    h.assert_in_order(installed.run.cwd_log, [
        ("**** Removing Scheduled Task  ****", "", SHORT_SEPARATOR, "")])
    task = [c for c in installed.calls if c.name != "UI.exe"]
    assert [(c.name, c.args) for c in task] == [("Zentrivo64.exe", ("-syncremove",)),
                                                ("Zentrivo64.exe", ("-uninstall",))], installed.calls
    assert all(c.exe.lower() == (INSTALL_DIR + "Zentrivo64.exe").lower() for c in task), task
    # Started in their own folder, not in the remover's current one.
    assert all(same_folder(c.cwd, INSTALL_DIR) for c in task), task


def test_installed_programs_are_started_in_step_order(installed):
    assert [(c.name, c.args) for c in installed.calls] == [
        ("UI.exe", ("-close",)), ("Zentrivo64.exe", ("-syncremove",)),
        ("Zentrivo64.exe", ("-uninstall",))], installed.calls


def test_installed_32bit_shared_dlls_values_are_removed(installed):
    h.assert_in_order(installed.run.cwd_log, [(
        SHORT_SEPARATOR, "",
        h.removed_32bit_shared_dll(INSTALL_DIR, "MsgSys.exe"),
        h.removed_32bit_shared_dll(INSTALL_DIR, "bvhtml.dll"),
        "",
        "**** Deal with Toolkit 3.1.x ****",
    )])
    assert value_names(installed.prefix, SHARED_DLLS, 32) == {(INSTALL_DIR + "Scanner.dll").lower()}
    # The 64-bit view's counters are not the remover's to touch.
    assert value_names(installed.prefix, SHARED_DLLS, 64) >= {(INSTALL_DIR + "MsgSys.exe").lower()}


def test_installed_registry_step_lines(installed):
    h.assert_in_order(installed.run.cwd_log, [(
        *REGISTRY_HEADER,
        *product_key_removals("HKCU"),
        *product_key_removals("HKLM"),
        h.removed_regkey("HKLM", h.APP_PATHS_PATH, "Zentrivo.exe"),
        h.removed_32bit_folder_key(),
        h.removed_regkey("HKLM", h.UNINSTALL_PATH, ENTRY),
        SEPARATOR, "",
    )])


@pytest.mark.parametrize("path, view", [
    ("HKCU\\Software\\Vexars", 64),
    ("HKCU\\Software\\Corvantis", 64),
    ("HKLM\\Software\\Vexars", 64),
    ("HKLM\\Software\\Corvantis", 64),
    ("HKLM\\" + APP_PATH_KEY, 64),
    ("HKLM\\Software\\Vexars", 32),
    (f"{UNINSTALL}\\{ENTRY}", 64),
])
def test_installed_product_key_is_gone(installed, path, view):
    h.assert_key_absent(installed.prefix, path, view)


def test_installed_user_app_path_stays(installed):
    """Only the machine's App Paths entry is the remover's."""
    h.assert_value(installed.prefix, "HKCU\\" + APP_PATH_KEY, "Path", INSTALL_DIR)


# -- what the remover makes of what it finds --------------------------------------

# (what is planted in the 64-bit view, in the 32-bit view; the search's lines
#  after its header; the folder it settles on)
DISCOVERY_CASES = [
    pytest.param(
        uninstall_entry(version="2.1.6"), {},
        [h.found_uninstall_entry(ENTRY), ". Product version: '2.1.6'",
         ". Installation directory: 'C:\\Program Files\\Vexars\\'",
         "Product Version (int): 21006", NEWER_THAN_TESTED, ""],
        INSTALL_DIR, id="2.1.6-newer-than-tested"),
    pytest.param(
        uninstall_entry(version="2.2"), {},
        [h.found_uninstall_entry(ENTRY), ". Product version: '2.2'",
         "The version '2.2' has strange format, expected 9.9.99 or 9.9.9",
         ". Installation directory: 'C:\\Program Files\\Vexars\\'", *UNDETECTED],
        INSTALL_DIR, id="2.2-strange-format"),
    pytest.param(
        uninstall_entry(version="2.0.9"), {},
        [h.found_uninstall_entry(ENTRY), ". Product version: '2.0.9'",
         ". Installation directory: 'C:\\Program Files\\Vexars\\'", "Product Version (int): 20009"],
        MAKER_DIR, id="2.0.9-folder-as-registered"),
    pytest.param(
        uninstall_entry(location=MAKER_DIR + "Zentrivo"), {},
        [h.found_uninstall_entry(ENTRY), ". Product version: '2.1.5'",
         ". Installation directory: 'C:\\Program Files\\Vexars\\Zentrivo'",
         "Product Version (int): 21005"],
        MAKER_DIR + "ZentrivoZentrivo\\", id="folder-without-final-backslash"),
    pytest.param(
        {"HKLM\\Software\\Vexars\\ZENQO\\Misc": {"AppPath": "C:\\Tools\\ZQ\\"}}, {},
        [NOT_FOUND, *UNDETECTED],
        "C:\\Tools\\ZQ\\", id="no-entry-stored-app-path"),
    pytest.param(
        {}, {},
        [NOT_FOUND, *UNDETECTED],
        h.DEFAULT_INSTALL_DIR, id="nothing-default-folder"),
    pytest.param(
        {}, uninstall_entry(),
        [NOT_FOUND, *UNDETECTED],
        h.DEFAULT_INSTALL_DIR, id="entry-only-in-32bit-view"),
]


@pytest.mark.parametrize("planted, planted_32, search_lines, install_dir", DISCOVERY_CASES)
def test_discovery(prefix, planted, planted_32, search_lines, install_dir):
    """The search's lines, and the folder it settles on is the one that the
    close step and the SharedDlls clean-up use."""
    if planted:
        prefix.plant_registry(planted)
    if planted_32:
        prefix.plant_registry(planted_32, view=32)
    prefix.plant_registry({SHARED_DLLS: shared_dlls_values(install_dir)}, view=32)
    run = prefix.run_remover()
    h.assert_completed(run)
    log = run.cwd_log
    h.assert_in_order(log, [(*SEARCH_HEADER, *search_lines, f"Zentrivo directory: {install_dir}", "",
                             "**** Close running application ****", "", install_dir + "UI.exe")])
    h.assert_in_order(log, [(h.removed_32bit_shared_dll(install_dir, "MsgSys.exe"),
                             h.removed_32bit_shared_dll(install_dir, "bvhtml.dll"), "")])
    entry_found = f"{UNINSTALL}\\{ENTRY}" in planted
    removal = h.removed_regkey("HKLM", h.UNINSTALL_PATH, ENTRY)
    if entry_found:
        h.assert_in_order(log, [*REGISTRY_HEADER, (removal, SEPARATOR)])
        h.assert_key_absent(prefix, f"{UNINSTALL}\\{ENTRY}")
    else:
        h.assert_absent(log, [Re(r".*regkey.*\\Uninstall\\.*")])
    if planted_32:
        h.assert_key_exists(prefix, f"{UNINSTALL}\\{ENTRY}", view=32)


def missing_key_lines(root: str) -> list:
    """clean_software_registry's lines for a hive without any of the keys."""
    return [h.parent_not_found(root, "Software\\Vexars", "ZENQO"),
            h.failed_regkey(root, "Software", "Vexars"),
            h.parent_not_found(root, "Software\\Corvantis\\ZENQO", "5"),
            h.parent_not_found(root, "Software\\Corvantis", "ZENQO"),
            h.failed_regkey(root, "Software", "Corvantis")]


def test_registry_step_without_the_product(prefix):
    """Nothing to remove: each key reports its own outcome (parent missing,
    or subkey missing under an existing parent), and there is no line for
    the 32-bit view's key or an Uninstall entry."""
    run = prefix.run_remover()
    h.assert_completed(run)
    h.assert_in_order(run.cwd_log, [(
        *REGISTRY_HEADER,
        *missing_key_lines("HKCU"),
        *missing_key_lines("HKLM"),
        h.failed_regkey("HKLM", h.APP_PATHS_PATH, "Zentrivo.exe"),
        SEPARATOR, "",
    )])


def test_two_matching_entries_are_both_removed(prefix):
    """ZENTRIVO and Zentrivo both name the product, Zentrivo 2 does not. The
    version and folder come from the first entry, in name order, that has
    both; the search goes on past an entry without InstallLocation."""
    first, second, other = ("{1B6E0D42-7C3A-4F19-8D25-6A0E9F3C7B14}",
                            "{5D8C2A17-3E94-4B60-A1F7-2C5B8E0D9A63}",
                            "{9E4F7B20-1A6D-4C83-B5E2-8D7A3F1C0E96}")
    prefix.plant_registry({
        **uninstall_entry(first, display="ZENTRIVO", version="2.1.3", location=None),
        **uninstall_entry(second, display="Zentrivo", version="2.1.5"),
        **uninstall_entry(other, display="Zentrivo 2", version="3.0.1",
                          location=MAKER_DIR + "Zentrivo 2\\"),
    })
    run = prefix.run_remover()
    h.assert_completed(run)
    log = run.cwd_log
    h.assert_in_order(log, [(
        *SEARCH_HEADER,
        h.found_uninstall_entry(first),
        h.found_uninstall_entry(second),
        ". Product version: '2.1.3'",
        f"ATTENTION: could not find InstallLocation in '{first}' !",
        ". Product version: '2.1.5'",
        ". Installation directory: 'C:\\Program Files\\Vexars\\'",
        "Product Version (int): 21005",
        "Zentrivo directory: C:\\Program Files\\Vexars\\Zentrivo\\",
        "",
    )])
    h.assert_in_order(log, [*REGISTRY_HEADER, (
        h.removed_regkey("HKLM", h.UNINSTALL_PATH, first),
        h.removed_regkey("HKLM", h.UNINSTALL_PATH, second),
        SEPARATOR)])
    h.assert_absent(log, [Re(".*" + re.escape(other) + ".*")])
    h.assert_key_absent(prefix, f"{UNINSTALL}\\{first}")
    h.assert_key_absent(prefix, f"{UNINSTALL}\\{second}")
    h.assert_value(prefix, f"{UNINSTALL}\\{other}", "DisplayName", "Zentrivo 2")


# -- a busy machine: the product runs, another product of the maker is installed ---

SLEEPERS = "C:\\e2e\\running\\"
# Programs that the close step ends: each of its names, a second copy of
# MsgSys.exe and the same name in other letter case.
ENDED = [SLEEPERS + "Zentrivo.exe", SLEEPERS + "Zentrivo64.exe", SLEEPERS + "MsgSys.exe",
         SLEEPERS + "MsgSys.exe", SLEEPERS + "lower\\msgsys.EXE",
         SLEEPERS + "UpDates.exe", SLEEPERS + "VexarLauncher.exe"]
# Programs that are not the product's, some with names close to one or
# merely ending with one.
UNRELATED = [SLEEPERS + "MsgSysHelper.exe", SLEEPERS + "Updater.exe", "C:\\procs\\OldMsgSys.exe",
             "C:\\Other\\SoftwareUpDates.exe"]
# The product's executable starts the remover and waits for it.
STARTER = "C:\\e2e\\product\\Zentrivo.exe"
TERMINATED_EXIT_CODE = 255

OTHER_PRODUCT_KEYS = {
    "HKCU\\Software\\Vexars\\OtherProduct": {"Language": "de"},
    "HKLM\\Software\\Vexars\\OtherProduct": {"Version": "4.2.0"},
    "HKLM\\Software\\Vexars\\OtherProduct\\Misc": {"AppPath": MAKER_DIR + "OtherProduct\\"},
    "HKCU\\Software\\Corvantis\\OtherProduct\\1": {"Licence": "full"},
    "HKLM\\Software\\Corvantis\\OtherProduct\\1": {"Licence": "full"},
}
OTHER_PRODUCT_KEYS_32 = {
    "HKLM\\Software\\Vexars\\OtherProduct": {"Version": "4.2.0"},
}


@pytest.fixture(scope="module")
def busy(template, e2e_config):
    """The product installed and running (every program that the close step
    names, plus near misses and an unrelated program), another product of the
    maker installed beside it, and the remover started by a program named
    Zentrivo.exe that waits for it. One run."""
    with h.scenario_prefix(template, e2e_config, "test_installed_product-busy") as prefix:
        prefix.plant_registry({**uninstall_entry(), **product_keys("HKCU"), **product_keys("HKLM"),
                               **OTHER_PRODUCT_KEYS})
        prefix.plant_registry(OTHER_PRODUCT_KEYS_32, view=32)
        sleepers = prefix.start_sleepers(ENDED + UNRELATED)
        watcher = prefix.watch_processes(p.pid for p in sleepers)
        run = prefix.run_remover(started_by=STARTER)
        ended_pids = [p.pid for p in sleepers if p.image in ENDED]
        exit_codes = watcher.wait(ended_pids)
        after = prefix.processes()
        watcher.stop()
        yield SimpleNamespace(prefix=prefix, run=run, sleepers=sleepers, exit_codes=exit_codes,
                              after=after)


def test_busy_run_completes_under_its_starter(busy):
    h.assert_completed(busy.run)
    # The starter saw the remover end: the close step left it alone.
    assert busy.run.starter_report is not None
    assert Re(r"started \d+\nexit 0\n").matches(busy.run.starter_report), busy.run.describe()


def test_busy_close_step_finds_every_program_running(busy):
    h.assert_in_order(busy.run.cwd_log, [h.close_step_lines(INSTALL_DIR, running=h.CLOSED_PROGRAMS)])


@pytest.mark.parametrize("index", range(len(ENDED)), ids=[
    f"{n}-{path.rsplit(chr(92), 1)[1]}" for n, path in enumerate(ENDED)])
def test_busy_program_is_terminated(busy, index):
    image = ENDED[index]
    # The n-th process of this image (MsgSys.exe runs twice).
    nth = ENDED[:index].count(image)
    process = [p for p in busy.sleepers if p.image == image][nth]
    assert busy.exit_codes.get(process.pid) == TERMINATED_EXIT_CODE, (process, busy.exit_codes)
    assert (process.pid, process.image) not in {(p.pid, p.image) for p in busy.after}, busy.after


@pytest.mark.parametrize("image", UNRELATED, ids=lambda p: p.rsplit("\\", 1)[1])
def test_busy_unrelated_program_survives(busy, image):
    process = next(p for p in busy.sleepers if p.image == image)
    assert process.pid not in busy.exit_codes, busy.exit_codes
    assert process in busy.after, busy.after


def test_busy_registry_step_keeps_the_other_product(busy):
    """Software\\Vexars and Software\\Corvantis still hold the other product's
    keys: their non-recursive removal fails, in both hives, and the 32-bit
    view's Software\\Vexars (also not empty) goes without a line."""
    h.assert_in_order(busy.run.cwd_log, [(
        *REGISTRY_HEADER,
        h.removed_regkey("HKCU", "Software\\Vexars", "ZENQO"),
        h.failed_regkey("HKCU", "Software", "Vexars"),
        h.removed_regkey("HKCU", "Software\\Corvantis\\ZENQO", "5"),
        h.removed_regkey("HKCU", "Software\\Corvantis", "ZENQO"),
        h.failed_regkey("HKCU", "Software", "Corvantis"),
        h.removed_regkey("HKLM", "Software\\Vexars", "ZENQO"),
        h.failed_regkey("HKLM", "Software", "Vexars"),
        h.removed_regkey("HKLM", "Software\\Corvantis\\ZENQO", "5"),
        h.removed_regkey("HKLM", "Software\\Corvantis", "ZENQO"),
        h.failed_regkey("HKLM", "Software", "Corvantis"),
        h.removed_regkey("HKLM", h.APP_PATHS_PATH, "Zentrivo.exe"),
        h.removed_regkey("HKLM", h.UNINSTALL_PATH, ENTRY),
        SEPARATOR, "",
    )])


OTHER_PRODUCT_CASES = [*((path, 64, values) for path, values in OTHER_PRODUCT_KEYS.items()),
                       *((path, 32, values) for path, values in OTHER_PRODUCT_KEYS_32.items())]


@pytest.mark.parametrize("path, view, values", OTHER_PRODUCT_CASES,
                         ids=[f"{path}-view{view}" for path, view, _ in OTHER_PRODUCT_CASES])
def test_busy_other_product_keys_stay(busy, path, view, values):
    assert busy.prefix.read_key(path, view) == values


@pytest.mark.parametrize("path", ["HKCU\\Software\\Vexars\\ZENQO", "HKLM\\Software\\Vexars\\ZENQO",
                                  "HKCU\\Software\\Corvantis\\ZENQO",
                                  "HKLM\\Software\\Corvantis\\ZENQO"])
def test_busy_product_keys_are_gone(busy, path):
    h.assert_key_absent(busy.prefix, path)


# -- installed product, 32-bit program (one run) ----------------------------------

@pytest.fixture(scope="module")
def installed_x86(template, e2e_config, wow64):
    """Version 2.1.5 installed for the 32-bit program: its Uninstall entry and
    keys in the 32-bit view (HKLM\\Software\\Wow6432Node, which is that
    program's HKLM\\Software), copies of its keys in the 64-bit view, the
    32-bit view's SharedDlls counters of its files, argument recorders as its
    programs and MsgSys.exe running. One run."""
    with h.scenario_prefix(template, e2e_config, "test_installed_product-x86") as prefix:
        prefix.plant_registry({**uninstall_entry(location=MAKER_DIR_X86),
                               **product_keys("HKLM", INSTALL_DIR_X86),
                               SHARED_DLLS: shared_dlls_values(INSTALL_DIR_X86)}, view=32)
        prefix.plant_registry({**product_keys("HKCU", INSTALL_DIR_X86),
                               **product_keys("HKLM", INSTALL_DIR_X86, app_path=False)})
        plant_recorders(prefix, INSTALL_DIR_X86)
        sleepers = prefix.start_sleepers([SLEEPERS + "MsgSys.exe"])
        watcher = prefix.watch_processes(p.pid for p in sleepers)
        run = prefix.run_remover(bits=32)
        exit_codes = watcher.wait(p.pid for p in sleepers)
        watcher.stop()
        yield SimpleNamespace(prefix=prefix, run=run, calls=prefix.wait_for_calls(3),
                              sleepers=sleepers, exit_codes=exit_codes)


@pytest.mark.wow64
def test_x86_installed_run_writes_every_step_to_each_output(installed_x86):
    run = installed_x86.run
    h.assert_completed(run)
    for log in (run.cwd_log, run.temp_log, run.console):
        h.assert_complete_run(run, log, "Windows 7 Service Pack 1")
    h.assert_log_file_format(run.cwd_log)
    h.assert_log_file_format(run.temp_log)


@pytest.mark.wow64
def test_x86_installed_product_is_found_and_its_programs_closed(installed_x86):
    h.assert_in_order(installed_x86.run.cwd_log, [(
        *SEARCH_HEADER,
        h.found_uninstall_entry(ENTRY),
        ". Product version: '2.1.5'",
        ". Installation directory: 'C:\\Program Files (x86)\\Vexars\\'",
        "Product Version (int): 21005",
        "Zentrivo directory: C:\\Program Files (x86)\\Vexars\\Zentrivo\\",
        "",
        *h.close_step_lines(INSTALL_DIR_X86, running=["MsgSys.exe"]),
    )])
    process = installed_x86.sleepers[0]
    assert installed_x86.exit_codes.get(process.pid) == TERMINATED_EXIT_CODE, installed_x86.exit_codes


@pytest.mark.wow64
def test_x86_installed_starts_the_32bit_executable(installed_x86):
    calls = installed_x86.calls
    assert [(c.name, c.args) for c in calls] == [
        ("UI.exe", ("-close",)), ("Zentrivo.exe", ("-syncremove",)),
        ("Zentrivo.exe", ("-uninstall",))], calls
    assert same_folder(calls[0].cwd, INSTALL_DIR_X86), calls[0]
    assert all(c.exe.lower().startswith(INSTALL_DIR_X86.lower()) for c in calls), calls


@pytest.mark.wow64
def test_x86_installed_has_no_32bit_view_clean_up_of_its_own(installed_x86):
    """No SharedDlls step and no Wow6432Node key deletion: the Windows
    Installer step, which follows the scheduled-task step, is followed
    directly by the suite step, no line names Wow6432Node, and the counters
    stay."""
    log = installed_x86.run.cwd_log
    h.assert_in_order(log, [("**** Removing Scheduled Task  ****", "", SHORT_SEPARATOR, "",
                             "**** Cleaning Installation Database (32) ****")])
    h.assert_in_order(log, [("Key Files Removed", "=" * 49, "", "**** Deal with Toolkit 3.1.x ****")])
    h.assert_absent(log, [Re("(?i).*Wow6432Node.*"), Re(".*regvalue.*")])
    assert value_names(installed_x86.prefix, SHARED_DLLS, 32) == {
        name.lower() for name in shared_dlls_values(INSTALL_DIR_X86)}


@pytest.mark.wow64
def test_x86_installed_registry_step_works_in_its_own_view(installed_x86):
    """The same lines as the 64-bit program's, without the Wow6432Node one;
    they remove the 32-bit view's keys (HKLM\\Software\\Vexars there is
    Wow6432Node\\Vexars) and leave the 64-bit view's copies alone."""
    prefix = installed_x86.prefix
    h.assert_in_order(installed_x86.run.cwd_log, [(
        *REGISTRY_HEADER,
        *product_key_removals("HKCU"),
        *product_key_removals("HKLM"),
        h.removed_regkey("HKLM", h.APP_PATHS_PATH, "Zentrivo.exe"),
        h.removed_regkey("HKLM", h.UNINSTALL_PATH, ENTRY),
        SEPARATOR, "",
    )])
    for path in ("HKLM\\Software\\Vexars", "HKLM\\Software\\Corvantis", f"{UNINSTALL}\\{ENTRY}",
                 "HKLM\\" + APP_PATH_KEY):
        h.assert_key_absent(prefix, path, view=32)
    for path in ("HKCU\\Software\\Vexars", "HKCU\\Software\\Corvantis"):
        h.assert_key_absent(prefix, path)
    h.assert_value(prefix, "HKLM\\Software\\Vexars\\ZENQO\\Misc", "AppPath", INSTALL_DIR_X86)
    h.assert_value(prefix, "HKLM\\Software\\Corvantis\\ZENQO\\5", "Licence", "trial")


# -- the demonstration machine (tools/demo.sh) ---------------------------------------

def test_simulated_machine_is_cleaned_as_the_demo_says(prefix):
    """What tests/e2e/simulated_machine.py plants for the demonstration: a
    run removes the product's traces that its report lists as removed, keeps
    those it lists as kept and everything that is not the product's, and
    ends the product's programs."""
    import simulated_machine

    simulated_machine.plant(prefix)
    run = prefix.run_remover()
    h.assert_completed(run)
    assert simulated_machine.survey(prefix).problems() == [], run.describe()


# -- a registry link in the product's key ---------------------------------------

VICTIM_VENDOR = {
    "HKLM\\Software\\VictimVendor": {"Licence": "paid", "Seats": 25},
    "HKLM\\Software\\VictimVendor\\Settings": {"Mode": "strict"},
    "HKLM\\Software\\VictimVendor\\Settings\\Deep": {"Level": 3},
}


# Another vendor's key without subkeys, which a deletion of an empty key
# would take if it followed a link to it.
VICTIM_LEAF = {"HKLM\\Software\\VictimLeaf": {"Licence": "kept"}}


@pytest.fixture(scope="module")
def registry_link(template, e2e_config):
    """The product's key HKLM\\Software\\Vexars\\ZENQO holds, beside its own
    subkeys, a registry link to another vendor's key, and the maker's key of
    the 32-bit view is itself a link to a third vendor's key. One run."""
    with h.scenario_prefix(template, e2e_config, "test_installed_product-registry-link") as prefix:
        prefix.plant_registry({**uninstall_entry(), **product_keys("HKLM"), **VICTIM_VENDOR, **VICTIM_LEAF})
        prefix.plant_registry_link("Software\\Vexars\\ZENQO\\Shared", "\\Registry\\Machine\\Software\\VictimVendor")
        prefix.plant_registry_link("Software\\Wow6432Node\\Vexars", "\\Registry\\Machine\\Software\\VictimLeaf")
        yield SimpleNamespace(prefix=prefix, run=prefix.run_remover())


def test_registry_link_is_removed_and_its_target_kept(registry_link):
    h.assert_completed(registry_link.run)
    assert h.removed_regkey("HKLM", "Software\\Vexars", "ZENQO") in registry_link.run.cwd_log.texts
    h.assert_key_absent(registry_link.prefix, "HKLM\\Software\\Vexars\\ZENQO", 64)
    for path, values in {**VICTIM_VENDOR, **VICTIM_LEAF}.items():
        assert registry_link.prefix.read_key(path, 64) == values, path
    # The 32-bit view's maker key was the link itself: it went alone.
    assert h.removed_32bit_folder_key() in registry_link.run.cwd_log.texts
    h.assert_key_absent(registry_link.prefix, "HKLM\\Software\\Vexars", 32)
