"""The shared suite and the common tray: the product unregistered through
the stand-in suite library, the e-mail address read, and the suite and tray
removed when nothing else uses them, or kept with their counters repaired.
Also what the steps do when the library is absent or fails, and that a
copy of the library in the current directory or on PATH is never loaded."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

import harness as h
import simulated_machine as sm
from simulated_machine import (
    COMPONENTS, CONFIGS, DOWNLOADS_DIR, LOADS, MACHINE_ID, RELEASES, OTHER_COMPONENT, RUN_KEY, SERVICE_CALLS, SHARED_DLLS,
    SUITE_COMPONENT, SUITE_DATA, SUITE_DIR, TRAY_CALLS, TRAY_COMPONENT, TRAY_COUNTED, TRAY_DIR,
    TRAY_EXE, TRAY_KEY, UNRELATED_COUNTED, library_name)
from simulated_machine import SUITE_COUNTED_FILES as SUITE_COUNTED
from simulated_machine import SuiteMachine as Machine
from simulated_machine import plant_suite_and_tray as plant

def scenario(template, config, name: str, m: Machine, bits: int = 64, also=None):
    with h.scenario_prefix(template, config, f"test_suite_and_tray-{name}") as prefix:
        plant(prefix, m, bits)
        if also:
            also(prefix)
        program = None
        if m.beside_program:
            program = prefix.install(config.program(bits), DOWNLOADS_DIR)
        if m.skip_tray:
            program = prefix.install(config.program(bits), h.HARNESS_DIR + "\\skip_tray")
            prefix.run([prefix.plant_helper("set_string.exe", h.BIN_DIR + "\\set_string.exe"),
                        program, "2004", "1"])
        run = prefix.run_remover(bits=bits, program=program)
        yield SimpleNamespace(prefix=prefix, run=run, bits=bits, m=m,
                              loads=text_lines(prefix, LOADS), releases=text_lines(prefix, RELEASES),
                              tray_calls=text_lines(prefix, TRAY_CALLS),
                              service_calls=text_lines(prefix, SERVICE_CALLS),
                              service=sm.service_state(prefix),
                              tray_running=tray_running(prefix))


def tray_running(prefix: h.Prefix) -> bool:
    return any(p.image.lower() == TRAY_EXE.lower() for p in prefix.processes())


def text_lines(prefix: h.Prefix, win_path: str) -> list:
    data = prefix.read_bytes(win_path)
    return [] if data is None else data.decode("utf-8").splitlines()


@pytest.fixture(scope="module")
def alone(template, e2e_config):
    yield from scenario(template, e2e_config, "alone", Machine())


@pytest.fixture(scope="module")
def shared(template, e2e_config):
    yield from scenario(template, e2e_config, "shared", Machine(
        products=("ZENQO=Zentrivo", "TOOLKIT=Toolkit", "MILVA=Milva", "TORKA=Torka"),
        configs=("tktray.xml", "ZENQO.xml", "milva.xml", "torka.xml")))


@pytest.fixture(scope="module")
def alone_x86(template, e2e_config, wow64):
    yield from scenario(template, e2e_config, "alone-x86", Machine(), bits=32)


# A registry link in the place of a suite component that the run removes,
# pointing at another vendor's key whose first value names a suite file.
LINKED_COMPONENT = f"{COMPONENTS}\\0000000000000000000000000000006A"
LINK_TARGET = "HKLM\\Software\\VictimVendor\\Component"
LINK_TARGET_KEYS = {LINK_TARGET: {"A": SUITE_DIR + "VexarLauncher.exe", "Other": "kept"},
                    LINK_TARGET + "\\Sub": {"Inner": "kept"}}


def plant_component_link(prefix: h.Prefix) -> None:
    prefix.plant_registry(LINK_TARGET_KEYS)
    prefix.plant_registry_link(LINKED_COMPONENT[len("HKLM\\"):],
                               "\\Registry\\Machine\\Software\\VictimVendor\\Component")
    # Read through the link: its target.
    assert prefix.read_key(LINKED_COMPONENT, 64) == LINK_TARGET_KEYS[LINK_TARGET]


@pytest.fixture(scope="module")
def component_link(template, e2e_config):
    yield from scenario(template, e2e_config, "component-link", Machine(), also=plant_component_link)


def suite_lines(bits: int, service_closed: bool) -> list:
    """The suite step of a suite that only the product and TOOLKIT use, its
    service refusing "/stop" and "/uninstall"."""
    exe = SUITE_DIR + "VexarSuiteService.exe"
    lines = [("**** Deal with Toolkit 3.1.x ****", "", "Try to read user e-mail from Toolkit 3.1.x",
              "Email set to alice@example.org from suite config of ToolKit version 3.1.x",
              "Unregister ZENQO from Toolkit 3.1.x", "",
              "Count products registered in Toolkit 3.1.x", "   number of products = 1", "",
              "**** Let's remove Toolkit 3.1.x Code ****",
              f'launch_and_wait_for_exit_code: "{exe}" /stop')]
    if service_closed:
        lines += [("Dealing with 'VexarSuiteService.exe' process ....",
                   "Process with name 'VexarSuiteService.exe' is running, let us close it")]
    lines += [f'launch_and_wait_for_exit_code: "{exe}" /uninstall']
    lines += [h.file_removed(SUITE_DIR + name) for name in ("VexarLauncher.exe",)]
    lines += [h.folder_removed(SUITE_DIR + "Languages"), "Toolkit 3.1.x INSTALLDIR was removed",
              ("", "**** Let's remove Toolkit 3.1.x Data ****"),
              h.folder_removed(SUITE_DATA[0]), h.folder_removed(SUITE_DATA[1]), h.folder_removed(SUITE_DATA[2]),
              ("", "**** Let's remove Toolkit 3.1.x Registry Component ****"),
              # The library went with the suite's folder: no product is left to
              # count, and no count is logged.
              ("", "Removed regkey HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexars\\MachineId", "",
               "", "Fixing Toolkit counters in SharedDLLs",
               "Number of products with Toolkit according to configurations files: 0"),
              (h.SEPARATOR, "")]
    return lines


def tray_lines(quit_sent: bool) -> list:
    lines = [("**** Remove VexarsTray ****", ""), "Number of prosucts = 0"]
    if quit_sent:
        lines += [f"Quiting Tray: {TRAY_EXE}"]
    else:
        lines += [f"Terminate running process: {TRAY_EXE}"]
    lines += [f"Process: {TRAY_EXE} closed successfully", h.folder_removed(TRAY_DIR),
              "Cleaning registry: HKLM\\Software\\Vexars\\Tray",
              "Cleaning registry: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\CorvantisTray",
              ("", "**** Let's remove Common Tray Registry Component ****"),
              ("Fixing Common Tray counters in SharedDLLs",
               "Number of products with Common Tray according to configurations files: 0"),
              (h.SEPARATOR, "")]
    return lines


def assert_suite_and_tray_removed(s) -> None:
    __tracebackhide__ = True
    h.assert_completed(s.run)
    h.assert_in_order(s.run.cwd_log, suite_lines(s.bits, service_closed=True) + tray_lines(quit_sent=True))
    # Only the suite folder's copy of the library was loaded, once, and
    # released before its folder went.
    assert [p.lower() for p in s.loads] == [(SUITE_DIR + library_name(s.bits)).lower()], s.loads
    assert [p.lower() for p in s.releases] == [(SUITE_DIR + library_name(s.bits)).lower()], s.releases
    assert [c.split("|")[0] for c in s.service_calls] == ["/stop", "/uninstall"], s.service_calls
    assert all(c.split("|")[1].rstrip("\\").lower() == SUITE_DIR.rstrip("\\").lower()
               for c in s.service_calls), s.service_calls
    assert s.service == "", "the suite service is still registered"
    assert [c.split("|")[0] for c in s.tray_calls] == ["/quit"] and not s.tray_running
    # Started in its own folder, not in the remover's current one.
    assert all(c.split("|")[1].rstrip("\\").lower() == TRAY_DIR.rstrip("\\").lower()
               for c in s.tray_calls), s.tray_calls
    # The maker's folder in the profile went too, being empty.
    for path in (SUITE_DIR, *SUITE_DATA, h.COMMON_APPDATA_DIR + "\\Vexars\\Tray", h.APPDATA_DIR + "\\Vexars"):
        assert not s.prefix.exists(path), path
    for path, view in ((MACHINE_ID, s.bits), (TRAY_KEY, 32), (f"{COMPONENTS}\\{SUITE_COMPONENT}", 64),
                       (f"{COMPONENTS}\\{TRAY_COMPONENT}", 64)):
        h.assert_key_absent(s.prefix, path, view)
    assert "CorvantisTray" not in s.prefix.read_key(RUN_KEY, 32)
    assert s.prefix.key_exists(f"{COMPONENTS}\\{OTHER_COMPONENT}", 64)
    # Counters of 0 are deleted; another vendor's stays.
    counters = {k.lower(): v for k, v in s.prefix.read_key(SHARED_DLLS, 32).items()}
    assert counters == {UNRELATED_COUNTED.lower(): 3}, counters


def test_suite_and_tray_used_only_by_the_product_are_removed(alone):
    assert_suite_and_tray_removed(alone)


def test_a_link_in_place_of_a_component_goes_and_its_target_stays(component_link):
    s = component_link
    assert_suite_and_tray_removed(s)
    h.assert_key_absent(s.prefix, LINKED_COMPONENT, 64)
    for key, values in LINK_TARGET_KEYS.items():
        assert s.prefix.read_key(key, 64) == values, key


@pytest.mark.wow64
def test_x86_removes_the_suite_and_tray_with_its_own_library(alone_x86):
    assert_suite_and_tray_removed(alone_x86)


def test_suite_and_tray_still_used_are_kept_with_counters_of_one(shared):
    h.assert_completed(shared.run)
    log = shared.run.cwd_log
    h.assert_in_order(log, [
        "Email set to alice@example.org from suite config of ToolKit version 3.1.x",
        ("Count products registered in Toolkit 3.1.x", "   number of products = 3", ""),
        # MILVA and TORKA count as one, TOOLKIT not at all.
        ("Count products registered in Toolkit 3.1.x", "   number of products = 3", "",
         "Check if TOOLKIT is registered in Toolkit 3.1.x", "Check if MILVA is registered in Toolkit 3.1.x",
         "Check if TORKA is registered in Toolkit 3.1.x", "", "Fixing Toolkit counters in SharedDLLs",
         "Number of products with Toolkit according to configurations files: 1"),
        h.file_removed(CONFIGS + "ZENQO.xml"), "Number of prosucts = 1",
        ("Fixing Common Tray counters in SharedDLLs",
         "Number of products with Common Tray according to configurations files: 1")])
    h.assert_absent(log, ["**** Let's remove Toolkit 3.1.x Code ****", Re_quit])
    assert text_lines(shared.prefix, SUITE_DIR + "products.txt") == ["TOOLKIT=Toolkit", "MILVA=Milva",
                                                                      "TORKA=Torka"]
    assert shared.service == "RUNNING" and shared.tray_running and shared.tray_calls == []
    for path in (SUITE_DIR + "VexarLauncher.exe", *SUITE_DATA, CONFIGS + "milva.xml",
                 TRAY_DIR + "HTML\\gfx\\Icon_TKTRAY-UPD-MILVA.png"):
        assert shared.prefix.exists(path), path
    assert not shared.prefix.exists(TRAY_DIR + "HTML\\gfx\\Icon_TKTRAY-UPD-ZENQO.png")
    assert shared.prefix.key_exists(MACHINE_ID, 64) and shared.prefix.key_exists(TRAY_KEY, 32)
    counters = {k.lower(): v for k, v in shared.prefix.read_key(SHARED_DLLS, 32).items()}
    expected = {name.lower(): 1 for name in SUITE_COUNTED + TRAY_COUNTED}
    expected[UNRELATED_COUNTED.lower()] = 3
    assert counters == expected


Re_quit = h.Re("Quiting Tray: .*")

NOT_COUNTED = "The suite stays: the products that use it could not be counted"
# The tray went, but the suite it ships with stays: so does its user data.
SUITE_USER_DATA_STAYS = h.Re(r"Folders 'AppData\\Roaming\\Vexars\\Suite' in the profiles stay: the suite is still installed")

# Each failure of the library, with one way the tray ends or is skipped. The
# suite and its counters stay whenever the products left are not known to be
# none (or the suite's own entry alone).
FAILURES = {
    "absent": (Machine(library=False, elsewhere=True, bvhtml=False, service_answers=""), [
        h.Re(r"exception in read_user_email_from_toolkit_31x\(\), .*Sulcora64\.dll.*"),
        h.Re(r"unregister_product_from_toolkit_31x\(\) Exception: .*Sulcora64\.dll.*"),
        ("Count products registered in Toolkit 3.1.x", "   number of products = 0", "", NOT_COUNTED),
        f"Terminate running process: {TRAY_EXE}", f"Process: {TRAY_EXE} closed successfully",
        SUITE_USER_DATA_STAYS]),
    "open_lib": (Machine(fail="open_lib", tray_ignores_quit=True), [
        h.Re(r"exception in read_user_email_from_toolkit_31x\(\), .*Failed to initialize suite client library.*"),
        h.Re(r"unregister_product_from_toolkit_31x\(\) Exception: .*Failed to initialize suite client library.*"),
        ("Count products registered in Toolkit 3.1.x", "   number of products = 0", "", NOT_COUNTED),
        f"Quiting Tray: {TRAY_EXE}", f"Terminate running process: {TRAY_EXE}",
        f"Process: {TRAY_EXE} closed successfully", SUITE_USER_DATA_STAYS]),
    "count": (Machine(fail="count", products=("ZENQO=Zentrivo",)), [
        "Unregister ZENQO from Toolkit 3.1.x",
        ("Count products registered in Toolkit 3.1.x", "   number of products = 0", "", NOT_COUNTED),
        f"Quiting Tray: {TRAY_EXE}", SUITE_USER_DATA_STAYS]),
    # One product is left and it is not the suite's own entry.
    "other_left": (Machine(products=("ZENQO=Zentrivo", "MILVA=Milva")), [
        ("Count products registered in Toolkit 3.1.x", "   number of products = 1", "",
         "The suite stays: another product still uses it"),
        ("Count products registered in Toolkit 3.1.x", "   number of products = 1", "",
         "Check if TOOLKIT is registered in Toolkit 3.1.x", "Check if MILVA is registered in Toolkit 3.1.x",
         "Check if TORKA is registered in Toolkit 3.1.x", "", "Fixing Toolkit counters in SharedDLLs",
         "Number of products with Toolkit according to configurations files: 1"),
        f"Quiting Tray: {TRAY_EXE}", SUITE_USER_DATA_STAYS]),
    # The library is missing and so is the service's program, but the
    # suite's other files are there: the suite is still installed.
    "absent_service": (Machine(library=False, service=False, bvhtml=False), [
        ("Count products registered in Toolkit 3.1.x", "   number of products = 0", "", NOT_COUNTED),
        f"Terminate running process: {TRAY_EXE}", SUITE_USER_DATA_STAYS]),
    # The tray's file check itself fails: the tray step ends, the run goes on.
    "tray_check": (Machine(bvhtml_loop=True), [
        ("**** Remove VexarsTray ****", ""), "Number of prosucts = 0",
        "Removing the common tray caused problems with the remover...", (h.SEPARATOR, "")]),
    "unregister": (Machine(fail="unregister", skip_tray=True), [
        "Email set to alice@example.org from suite config of ToolKit version 3.1.x",
        h.Re(r"unregister_product_from_toolkit_31x\(\) Exception: .*unregistration of ZENQO refused by the suite.*"),
        ("Count products registered in Toolkit 3.1.x", "   number of products = 2", ""),
        "Number of products with Toolkit according to configurations files: 1"]),
}


@pytest.mark.parametrize("name", FAILURES)
def test_library_failures_are_logged_and_the_run_goes_on(template, e2e_config, name):
    machine, expected = FAILURES[name]
    for s in scenario(template, e2e_config, f"failure-{name}", machine):
        log = s.run.cwd_log
        assert s.run.exit_code == 0, s.run.describe()
        h.assert_in_order(log, expected)
        # The later steps ran (the tray step only where it is not skipped).
        h.assert_in_order(log, h.step_sequence(64, skip_tray=machine.skip_tray))
        h.assert_ends_with(log, [h.completed_ok(), "", "", ""])
        if not machine.library:
            assert s.loads == [], "a copy outside the suite's folder was loaded"
        if name in ("absent", "absent_service", "open_lib", "count", "other_left"):
            h.assert_absent(log, ["**** Let's remove Toolkit 3.1.x Code ****"])
            assert s.service_calls == [] and s.service == ("" if name == "absent_service" else "RUNNING")
            # The suite's files and data stay, its user data in the profile
            # included, and so does the maker's folder that holds it.
            for path in (SUITE_DIR + "VexarLauncher.exe", *SUITE_DATA, h.APPDATA_DIR + "\\Vexars"):
                assert s.prefix.exists(path), path
            counters = {k.lower(): v for k, v in s.prefix.read_key(SHARED_DLLS, 32).items()}
            kept = 1 if name == "other_left" else 3
            assert all(counters.get(n.lower()) == kept for n in SUITE_COUNTED), counters
        if name == "absent":
            h.assert_absent(log, [Re_quit])
        if name == "open_lib":
            assert [c.split("|")[0] for c in s.tray_calls] == ["/quit"] and not s.tray_running
        if name == "unregister":
            assert "ZENQO=Zentrivo" in text_lines(s.prefix, SUITE_DIR + "products.txt")
            h.assert_absent(log, ["**** Remove VexarsTray ****", "**** Let's remove Toolkit 3.1.x Code ****"])
            assert s.tray_running


@pytest.fixture(scope="module")
def downloaded(template, e2e_config):
    yield from scenario(template, e2e_config, "downloaded", Machine(products=("ZENQO=Zentrivo",), beside_program=True))


def test_a_library_beside_the_program_is_never_loaded(downloaded):
    """The program started from a download folder that holds a working copy
    of the library: only the suite's own copy is loaded, once, and released;
    the counters step does not load a library again after the suite went."""
    s = downloaded
    h.assert_completed(s.run)
    suite_copy = (SUITE_DIR + library_name(s.bits)).lower()
    assert [p.lower() for p in s.loads] == [suite_copy], s.loads
    assert [p.lower() for p in s.releases] == [suite_copy], s.releases
    h.assert_in_order(s.run.cwd_log, ["Toolkit 3.1.x INSTALLDIR was removed",
                                      "Number of products with Toolkit according to configurations files: 0"])
    assert not s.prefix.exists(SUITE_DIR + library_name(s.bits))


# The one line that says why no copy of the library was loaded.
Re_not_loaded = h.Re(r"The suite client library .* was not loaded: .*")


def test_an_ordinary_run_logs_no_library_places(downloaded):
    h.assert_absent(downloaded.run.cwd_log, [Re_not_loaded])


def open_suite_folder(prefix: h.Prefix) -> None:
    """Everyone may write to the suite's folder: set with
    SetNamedSecurityInfoW, and read back so (Wine keeps it as the folder's
    mode, and gives back Everyone with the rights to write)."""
    folder = SUITE_DIR.rstrip("\\")
    prefix.set_owner_and_access(folder, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)")
    given_back = prefix.owner_and_access(folder)
    assert any(f"(A;OICI;{mask};;;WD)" in given_back for mask in ("FA", "0x1301ff")), given_back


@pytest.fixture(scope="module")
def suite_folder_open(template, e2e_config):
    yield from scenario(template, e2e_config, "suite-folder-open", Machine(), also=open_suite_folder)


def test_a_copy_in_a_folder_others_may_write_is_not_loaded(suite_folder_open):
    """The suite's own copy lies in a folder that everyone may write to: no
    copy is loaded, one line says where each place was refused, and the
    suite stays as when the library is missing."""
    s = suite_folder_open
    lib = library_name(s.bits)
    assert s.run.exit_code == 0, s.run.describe()
    assert s.loads == [], s.loads
    program_folder = s.run.program.rsplit("\\", 1)[0]
    refusals = (f'The suite client library {lib} was not loaded: "{program_folder}\\{lib}": not found; '
                f'"{SUITE_DIR}{lib}": others may write to the folder; "{TRAY_DIR}{lib}": not found')
    h.assert_in_order(s.run.cwd_log, [
        refusals, h.Re(r"exception in read_user_email_from_toolkit_31x\(\), .*Sulcora64\.dll.*"),
        ("Count products registered in Toolkit 3.1.x", "   number of products = 0", "", NOT_COUNTED)])
    assert len([t for t in s.run.cwd_log.texts if Re_not_loaded.matches(t)]) == 1
    assert s.prefix.exists(SUITE_DIR + "VexarLauncher.exe")


@pytest.fixture(scope="module")
def tray_copy(template, e2e_config):
    yield from scenario(template, e2e_config, "tray-copy", Machine(library=False, tray_library=True))


def test_the_trays_copy_is_loaded_when_the_suite_has_none(tray_copy):
    """The only installed copy is the tray's: it is loaded, the product is
    unregistered through it, and the suite and the tray go."""
    s = tray_copy
    h.assert_completed(s.run)
    tray_copy = (TRAY_DIR + library_name(s.bits)).lower()
    assert [p.lower() for p in s.loads] == [tray_copy], s.loads
    assert [p.lower() for p in s.releases] == [tray_copy], s.releases
    h.assert_in_order(s.run.cwd_log, [
        "Email set to alice@example.org from suite config of ToolKit version 3.1.x",
        ("Count products registered in Toolkit 3.1.x", "   number of products = 1", ""),
        "Toolkit 3.1.x INSTALLDIR was removed", "Number of prosucts = 0", h.folder_removed(TRAY_DIR)])
    h.assert_absent(s.run.cwd_log, [Re_not_loaded])
    assert not s.prefix.exists(SUITE_DIR + "VexarLauncher.exe") and not s.prefix.exists(TRAY_DIR)


@pytest.fixture(scope="module")
def non_ansi(template, e2e_config):
    # The product's name in the suite, and so its configuration's folder, and
    # another product's tray configuration are outside the ANSI code page.
    yield from scenario(template, e2e_config, "non-ansi", Machine(
        products=("ZENQO=\u0417\u0435\u043d", "TOOLKIT=Toolkit", "MILVA=Milva"),
        suite_cfg=h.COMMON_APPDATA_DIR + "\\Vexars\\\u0417\u0435\u043d\\suite.cfg",
        configs=("tktray.xml", "ZENQO.xml", "\u041c\u0438\u043b\u0432\u0430.xml")))


def test_names_outside_the_ansi_code_page_keep_their_own_paths(non_ansi):
    s = non_ansi
    h.assert_completed(s.run)
    h.assert_in_order(s.run.cwd_log, [
        "Email set to alice@example.org from suite config of ToolKit version 3.1.x",
        ("Count products registered in Toolkit 3.1.x", "   number of products = 2", ""),
        "Number of products with Toolkit according to configurations files: 1",
        h.file_removed(CONFIGS + "ZENQO.xml"), "Number of prosucts = 1"])
    assert s.prefix.exists(CONFIGS + "\u041c\u0438\u043b\u0432\u0430.xml")
    assert s.tray_running and s.tray_calls == []


# SharedDLLs names are full paths: a deep installation of the tray's and one
# of another vendor's, both longer than MAX_PATH, beside the counters.
LONG_TRAY_NAME = TRAY_DIR + "\\".join(f"Component Folder {i:02}" for i in range(16)) + "\\deep.dll"
LONG_OTHER_NAME = "C:\\Program Files\\Other\\" + "Deep Folder\\" * 25 + "x.dll"


def plant_long_names(prefix: h.Prefix) -> None:
    assert len(LONG_TRAY_NAME) > 300 and len(LONG_OTHER_NAME) > 300
    prefix.plant_registry({SHARED_DLLS: {LONG_TRAY_NAME: h.Dword(3), LONG_OTHER_NAME: h.Dword(5)}}, view=32)


@pytest.fixture(scope="module")
def long_names(template, e2e_config):
    yield from scenario(template, e2e_config, "long-names", Machine(
        products=("ZENQO=Zentrivo", "TOOLKIT=Toolkit", "MILVA=Milva", "TORKA=Torka"),
        configs=("tktray.xml", "ZENQO.xml", "milva.xml", "torka.xml")), also=plant_long_names)


def test_names_longer_than_max_path_do_not_stop_the_counter_repair(long_names):
    h.assert_completed(long_names.run)
    h.assert_in_order(long_names.run.cwd_log, [
        ("Fixing Common Tray counters in SharedDLLs",
         "Number of products with Common Tray according to configurations files: 1",
         "Counters for Vexars\\Tray pattern in SharedDLLs key:"),
        f"{LONG_TRAY_NAME} is set to 1"])
    counters = {k.lower(): v for k, v in long_names.prefix.read_key(SHARED_DLLS, 32).items()}
    expected = {name.lower(): 1 for name in SUITE_COUNTED + TRAY_COUNTED + (LONG_TRAY_NAME,)}
    expected[UNRELATED_COUNTED.lower()] = 3
    expected[LONG_OTHER_NAME.lower()] = 5
    assert counters == expected
