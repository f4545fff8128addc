"""The file-system side of the removal: the product's application data and
GUID-named cache folders, its Start-menu, desktop, Quick Launch and Win8
shortcuts, its installation folder with the registered parents above it and
its InstallShield folders, and its VirtualStore copies in every profile.
Then what must stay: other products' folders and shortcuts, what lies behind
a link, and the system's own folders when the stored installation folder
points at one of them.

Each machine below is planted once and gets one run; the tests of a step
check that step's exact lines and what is left on disk and in the registry.
Machines are prepared one after the other, each when its first test needs it
(the fixture is module-scoped and parametrized, so pytest groups the tests
by machine and ends each machine's prefix before the next one starts)."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Optional

import pytest

import harness as h
from harness import FOLDER, SEPARATOR, SHORT_SEPARATOR, Re

ENTRY = "{3F2A9C71-5D0E-4B8A-9E61-7C4D2B1A0F35}"  # the product's Uninstall entry
SECOND_ENTRY = "{7B1C4E29-0A8D-4F36-B25E-9C3D1F7A6E04}"  # a second one, without a folder
OTHER_ENTRY = "{C84D2E61-3B7A-4F05-9A1E-6D2B8C4F7E13}"  # another product's
UNINSTALL = "HKLM\\" + h.UNINSTALL_PATH
INSTALLER_FOLDERS = "HKLM\\" + h.INSTALLER_FOLDERS_PATH
MISC = "HKLM\\Software\\Vexars\\ZENQO\\Misc"

APPDATA = h.APPDATA_DIR + "\\"
COMMON = h.COMMON_APPDATA_DIR + "\\"
PF = h.PROGRAM_FILES_DIR + "\\"
PF86 = h.PROGRAM_FILES_X86_DIR + "\\"
MAKER_DIR = PF + "Vexars\\"
INSTALL_DIR = MAKER_DIR + "Zentrivo\\"
SUITE_DIR = MAKER_DIR + "Suite\\"  # an installation one level deeper
DEEP_INSTALL_DIR = SUITE_DIR + "Zentrivo\\"
OTHER_PRODUCT_DIR = MAKER_DIR + "Vexars Backup\\"
MAKER_DIR_X86 = PF86 + "Vexars\\"
INSTALL_DIR_X86 = MAKER_DIR_X86 + "Zentrivo\\"
TOOLS_DIR = MAKER_DIR_X86 + "VEXARtools\\"
WIN8_DIR = TOOLS_DIR + "Zentrivo\\"
INSTALLSHIELD = h.INSTALLSHIELD_DIR + "\\"
INSTALLSHIELD_X86 = PF86 + "InstallShield Installation Information\\"

STEP_APPDATA = "**** Removing Zentrivo Specific AppData folders ****"
STEP_SHORTCUTS = "**** Removing Zentrivo shortcuts ****"
STEP_WIN8 = "**** Cleaning Win8 Shortcuts ****"
STEP_PROGRAM_FILES = "**** Cleaning Program Files folder ****"
STEP_VIRTUAL_STORE = "**** Removing files from Virtual Store ****"

SEARCH_HEADER = ("**** Search Zentrivo info ****", "")
NOT_FOUND = ("ATTENTION: could not find keys about 'Zentrivo' in "
             "'HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall' !")
UNDETECTED = ("Unable to detect the version of Zentrivo, probably nothing to clean ...",
              "Making preventive cleaning in assumption that the product was installed before.")

# Windows error codes in the single-file lines.
FILE_NOT_FOUND, PATH_NOT_FOUND = 2, 3


def uninstall_entry(name: str = ENTRY, version: str = "2.1.5", location: Optional[str] = MAKER_DIR,
                    display: str = "Zentrivo") -> dict:
    values = {"DisplayName": display, "Publisher": "Vexars", "DisplayVersion": version,
              "InstallLocation": location}
    return {f"{UNINSTALL}\\{name}": {k: v for k, v in values.items() if v is not None}}


def install_files(folder: str) -> dict:
    """What an installation folder holds; data files only, so that nothing
    of it runs when the remover starts the product's programs from it."""
    return {folder + "Zentrivo.cfg": "[scan]\r\nlevel=2\r\n", folder + "bvhtml.dll": b"MZ",
            folder + "Signatures\\main.db": b"\0" * 64, folder + "Languages\\de.lng": "de",
            folder + "Logs\\": FOLDER}


def step_section(run: h.RemoverRun, header: str) -> list:
    return h.step_lines(run.cwd_log, header)


def assert_step(run: h.RemoverRun, header: str, lines: list, closing: str = SEPARATOR) -> None:
    """The step's lines, exactly and consecutively, from its header to its
    closing separator."""
    __tracebackhide__ = True
    expected = [header, "", *lines, closing]
    actual = step_section(run, header)
    assert actual == expected, (
        f"step {header!r} differs\nexpected:\n" + "\n".join(f"  {t!r}" for t in expected)
        + "\nactual:\n" + "\n".join(f"  {t!r}" for t in actual))


def assert_gone(prefix: h.Prefix, paths) -> None:
    __tracebackhide__ = True
    left = [p for p in paths if prefix.exists(p)]
    assert not left, f"still there: {left}"


def assert_kept(prefix: h.Prefix, paths) -> None:
    __tracebackhide__ = True
    lost = [p for p in paths if not prefix.exists(p)]
    assert not lost, f"removed although not the product's: {lost}"


# ==========================================================================
# What each area plants and expects. A machine (further below) combines one
# case of each area that it covers.


@dataclass(frozen=True)
class Case:
    """One area's share of a machine: what is planted, the step's lines
    (in order; `unordered` lines follow them in any order), what goes and
    what stays."""

    files: dict = field(default_factory=dict)
    lines: tuple = ()
    unordered: tuple = ()
    gone: tuple = ()
    kept: tuple = ()


# -- application data ---------------------------------------------------------

USER_DATA = APPDATA + "Vexars\\Zentrivo"
COMMON_DATA = COMMON + "Vexars\\Zentrivo"
COMMON_DATA_64 = COMMON + "Vexars\\Zentrivo64"
PRODUCT_DATA = {
    USER_DATA + "\\settings.xml": "<settings/>",
    USER_DATA + "\\Logs\\scan.log": "scan finished",
    COMMON_DATA + "\\Zentrivo.db": b"\0" * 32,
    COMMON_DATA + "\\Quarantine\\item1.bin": b"q",
    COMMON_DATA + "\\Updates\\": FOLDER,
    COMMON_DATA_64 + "\\update.dat": b"u",
}
# GUID-named cache folders in ProgramData: the product's hold a Zentrivo.* file.
CACHE = "{0C6B5E1A-2F3D-4A8B-9C7E-1D2F3A4B5C6D}"
CACHE_UPPER = "{1E2D3C4B-5A69-4788-96A5-B4C3D2E1F0A9}"
NOT_CACHE_OTHER = "{2A3B4C5D-6E7F-4081-92A3-B4C5D6E7F809}"
NOT_CACHE_EMPTY = "{3B4C5D6E-7F80-4192-A3B4-C5D6E7F8091A}"
NOT_CACHE_FOLDER = "{4C5D6E7F-8091-42A3-B4C5-D6E7F8091A2B}"
UNBRACED = ("Zentrivo Cache", "Vexars{5D6E7F80-91A2-43B4-C5D6-E7F8091A2B3C}")
CACHE_FOLDERS = {
    COMMON + CACHE + "\\Zentrivo.dat": b"cache",
    COMMON + CACHE + "\\index.txt": "1",
    COMMON + CACHE + "\\Parts\\part1.bin": b"p",
    COMMON + CACHE_UPPER + "\\ZENTRIVO.LOG": "log",
    COMMON + NOT_CACHE_OTHER + "\\other.dat": b"other",
    COMMON + NOT_CACHE_OTHER + "\\Zentrivo2.dat": b"near miss",
    COMMON + NOT_CACHE_EMPTY + "\\": FOLDER,
    COMMON + NOT_CACHE_FOLDER + "\\Zentrivo.tmp\\": FOLDER,  # a folder, not a file
    **{COMMON + name + "\\Zentrivo.dat": b"never looked at" for name in UNBRACED},
}
OTHER_PRODUCT_DATA = COMMON + "Vexars\\Vexars Backup\\backup.cfg"

PRODUCT_DATA_REMOVED = (h.folder_removed(USER_DATA), h.folder_removed(COMMON_DATA),
                        h.folder_removed(COMMON_DATA_64))

APPDATA_CASES = {
    # The product's folders and caches beside other software's caches.
    "installed": Case(
        files={**PRODUCT_DATA, **CACHE_FOLDERS},
        lines=(*PRODUCT_DATA_REMOVED,
               h.empty_folder_removed(COMMON + "Vexars"),
               h.empty_folder_removed(APPDATA + "Vexars")),
        unordered=(h.folder_removed(COMMON + CACHE), h.folder_removed(COMMON + CACHE_UPPER),
                   h.cache_folder_ignored(NOT_CACHE_OTHER), h.cache_folder_ignored(NOT_CACHE_EMPTY),
                   h.cache_folder_ignored(NOT_CACHE_FOLDER)),
        gone=(USER_DATA, COMMON_DATA, COMMON_DATA_64, COMMON + "Vexars", APPDATA + "Vexars",
              COMMON + CACHE, COMMON + CACHE_UPPER),
        kept=(COMMON + NOT_CACHE_OTHER + "\\other.dat", COMMON + NOT_CACHE_OTHER + "\\Zentrivo2.dat",
              COMMON + NOT_CACHE_EMPTY, COMMON + NOT_CACHE_FOLDER + "\\Zentrivo.tmp",
              *(COMMON + name + "\\Zentrivo.dat" for name in UNBRACED),
              COMMON + "Microsoft")),
    # Another product of the maker keeps C:\ProgramData\Vexars; no caches.
    "leftovers": Case(
        files={**PRODUCT_DATA, OTHER_PRODUCT_DATA: "[backup]"},
        lines=(*PRODUCT_DATA_REMOVED,
               h.folder_not_empty(COMMON + "Vexars"),
               h.empty_folder_removed(APPDATA + "Vexars")),
        gone=(USER_DATA, COMMON_DATA, COMMON_DATA_64, APPDATA + "Vexars"),
        kept=(OTHER_PRODUCT_DATA,)),
    "clean": Case(
        lines=(h.folder_missing(USER_DATA), h.folder_missing(COMMON_DATA),
               h.folder_missing(COMMON_DATA_64), h.folder_missing(COMMON + "Vexars"),
               h.folder_missing(APPDATA + "Vexars"))),
}

# -- shortcuts and Win8 tools folder -----------------------------------------

COMMON_GROUP = h.COMMON_PROGRAMS_DIR + "\\Vexars"
USER_GROUP = h.PROGRAMS_DIR + "\\Vexars"
PUBLIC_SHORTCUT = h.COMMON_DESKTOP_DIR + "\\Zentrivo.lnk"
DESKTOP_SHORTCUT = h.DESKTOP_DIR + "\\Zentrivo.lnk"
QUICK_LAUNCH_SHORTCUT = h.QUICK_LAUNCH_DIR + "\\Zentrivo.lnk"
LNK = b"L\0\0\0" + b"\0" * 72  # the first bytes of a shell link


def group(root: str, *names: str) -> dict:
    """Entries of a program group; a name ending with a backslash is a folder."""
    return {f"{root}\\{n}": (FOLDER if n.endswith("\\") else LNK) for n in names}


SHORTCUT_CASES = {
    # Common group: the product's shortcut and folder go, then the tools
    # shortcut, as the last one left, and the group. User group: two
    # shortcuts are left, both stay, and so does the group.
    "installed": Case(
        files={**group(COMMON_GROUP, "Zentrivo.lnk", "VEXARtools.lnk",
                       "Zentrivo\\Uninstall Zentrivo.lnk", "Zentrivo\\Help.url"),
               **group(USER_GROUP, "Zentrivo.lnk", "VEXARtools.lnk", "Vexars Backup.lnk"),
               PUBLIC_SHORTCUT: LNK, DESKTOP_SHORTCUT: LNK,
               h.DESKTOP_DIR + "\\Vexars Backup.lnk": LNK,
               QUICK_LAUNCH_SHORTCUT: LNK, h.QUICK_LAUNCH_DIR + "\\Vexars Backup.lnk": LNK,
               WIN8_DIR + "Zentrivo.lnk": LNK, WIN8_DIR + "Assets\\tile.png": b"PNG"},
        lines=(h.folder_removed(COMMON_GROUP + "\\Zentrivo"),
               h.file_removed(COMMON_GROUP + "\\Zentrivo.lnk"),
               h.file_removed(COMMON_GROUP + "\\VEXARtools.lnk"),
               h.empty_folder_removed(COMMON_GROUP),
               h.folder_missing(USER_GROUP + "\\Zentrivo"),
               h.file_removed(USER_GROUP + "\\Zentrivo.lnk"),
               h.folder_not_empty(USER_GROUP),
               h.file_removed(PUBLIC_SHORTCUT),
               h.file_removed(DESKTOP_SHORTCUT),
               h.file_removed(QUICK_LAUNCH_SHORTCUT)),
        gone=(COMMON_GROUP, USER_GROUP + "\\Zentrivo.lnk", PUBLIC_SHORTCUT, DESKTOP_SHORTCUT,
              QUICK_LAUNCH_SHORTCUT, TOOLS_DIR, MAKER_DIR_X86),
        kept=(USER_GROUP + "\\VEXARtools.lnk", USER_GROUP + "\\Vexars Backup.lnk",
              h.DESKTOP_DIR + "\\Vexars Backup.lnk", h.QUICK_LAUNCH_DIR + "\\Vexars Backup.lnk",
              h.COMMON_PROGRAMS_DIR + "\\StartUp")),
    # The product's shortcuts are gone already. Common group: a folder named
    # like a shortcut does not count as one, so the tools shortcut is the last
    # and goes, but the group keeps that folder. User group: only the tools
    # shortcut. No desktop or Quick Launch shortcut, and another tool in
    # the tools folder.
    "leftovers": Case(
        files={**group(COMMON_GROUP, "VEXARtools.lnk", "Extras.lnk\\"),
               **group(USER_GROUP, "VEXARtools.lnk"),
               WIN8_DIR + "Zentrivo.lnk": LNK, TOOLS_DIR + "Vexars Backup\\Backup.lnk": LNK},
        lines=(h.folder_missing(COMMON_GROUP + "\\Zentrivo"),
               h.file_not_removed(COMMON_GROUP + "\\Zentrivo.lnk", FILE_NOT_FOUND),
               h.file_removed(COMMON_GROUP + "\\VEXARtools.lnk"),
               h.folder_not_empty(COMMON_GROUP),
               h.folder_missing(USER_GROUP + "\\Zentrivo"),
               h.file_not_removed(USER_GROUP + "\\Zentrivo.lnk", FILE_NOT_FOUND),
               h.file_removed(USER_GROUP + "\\VEXARtools.lnk"),
               h.empty_folder_removed(USER_GROUP),
               h.file_not_removed(PUBLIC_SHORTCUT, FILE_NOT_FOUND),
               h.file_not_removed(DESKTOP_SHORTCUT, FILE_NOT_FOUND),
               h.file_not_removed(QUICK_LAUNCH_SHORTCUT, PATH_NOT_FOUND)),
        gone=(COMMON_GROUP + "\\VEXARtools.lnk", USER_GROUP, WIN8_DIR),
        kept=(COMMON_GROUP + "\\Extras.lnk", TOOLS_DIR + "Vexars Backup\\Backup.lnk")),
    "clean": Case(
        lines=(h.folder_missing(COMMON_GROUP + "\\Zentrivo"),
               h.file_not_removed(COMMON_GROUP + "\\Zentrivo.lnk", PATH_NOT_FOUND),
               h.folder_missing(COMMON_GROUP),
               h.folder_missing(USER_GROUP + "\\Zentrivo"),
               h.file_not_removed(USER_GROUP + "\\Zentrivo.lnk", PATH_NOT_FOUND),
               h.folder_missing(USER_GROUP),
               h.file_not_removed(PUBLIC_SHORTCUT, FILE_NOT_FOUND),
               h.file_not_removed(DESKTOP_SHORTCUT, FILE_NOT_FOUND),
               h.file_not_removed(QUICK_LAUNCH_SHORTCUT, PATH_NOT_FOUND))),
}

WIN8_LINES = {
    "installed": (h.folder_removed(WIN8_DIR), h.empty_folder_removed(TOOLS_DIR)),
    "leftovers": (h.folder_removed(WIN8_DIR), h.folder_not_empty(TOOLS_DIR)),
    "clean": (h.folder_missing(WIN8_DIR), h.folder_missing(TOOLS_DIR)),
}

# -- Program Files ----------------------------------------------------------------


@dataclass(frozen=True)
class InstallCase(Case):
    """A Program Files case: the product's registry traces, the folders
    registered under Installer\\Folders (value names) and which of them the
    run must unregister."""

    registry: dict = field(default_factory=dict)
    registered: tuple = ()
    unregistered: tuple = ()
    directory: str = INSTALL_DIR  # the folder that discovery settles on


OTHER_REGISTRATION = PF + "Other Vendor\\"
OTHER_VENDOR_FILE = PF + "Other Vendor\\app.dat"
OTHER_INSTALLSHIELD = INSTALLSHIELD + OTHER_ENTRY + "\\setup.ini"

INSTALL_CASES = {
    # The maker's folder is registered and empty once the installation
    # folder is gone: the walk removes it and stops at Program Files.
    "installed": InstallCase(
        registry=uninstall_entry(),
        registered=(MAKER_DIR, INSTALL_DIR, OTHER_REGISTRATION),
        unregistered=(MAKER_DIR,),
        files={**install_files(INSTALL_DIR), OTHER_VENDOR_FILE: b"x",
               INSTALLSHIELD + ENTRY + "\\setup.ini": "[Startup]", INSTALLSHIELD + ENTRY + "\\0409.ini": "",
               OTHER_INSTALLSHIELD: "[Startup]"},
        lines=(h.folder_removed(INSTALL_DIR),
               h.install_folder_removed(PF + "Vexars"),
               h.would_not_dare(PF),
               h.folder_missing(MAKER_DIR),
               h.empty_folder_removed(MAKER_DIR_X86),
               h.folder_removed(INSTALLSHIELD + ENTRY)),
        gone=(MAKER_DIR, INSTALLSHIELD + ENTRY),
        kept=(OTHER_VENDOR_FILE, OTHER_INSTALLSHIELD)),
    # The maker's folder is registered but holds another product: the walk
    # stops at once, the folder and its registration stay.
    "leftovers": InstallCase(
        registry=uninstall_entry(),
        registered=(MAKER_DIR,),
        files={**install_files(INSTALL_DIR), OTHER_PRODUCT_DIR + "Backup.exe": b"MZ"},
        lines=(h.folder_removed(INSTALL_DIR),
               h.install_folder_kept(PF + "Vexars"),
               h.folder_not_empty(MAKER_DIR),
               h.folder_not_empty(MAKER_DIR_X86),
               h.folder_missing(INSTALLSHIELD + ENTRY)),
        gone=(INSTALL_DIR,),
        kept=(OTHER_PRODUCT_DIR + "Backup.exe",)),
    # Nothing installed: the default folder.
    "clean": InstallCase(
        lines=(h.folder_missing(INSTALL_DIR),
               h.install_folder_kept(PF + "Vexars"),
               h.folder_missing(MAKER_DIR),
               h.folder_missing(MAKER_DIR_X86))),
    # One level deeper, both parents registered: the walk removes both and
    # stops at Program Files. A second Uninstall entry without an
    # InstallShield folder.
    "two-registered-parents": InstallCase(
        registry={**uninstall_entry(location=SUITE_DIR),
                  **uninstall_entry(SECOND_ENTRY, location=None)},
        registered=(SUITE_DIR, MAKER_DIR),
        unregistered=(SUITE_DIR, MAKER_DIR),
        directory=DEEP_INSTALL_DIR,
        files={**install_files(DEEP_INSTALL_DIR), INSTALLSHIELD + ENTRY + "\\setup.ini": ""},
        lines=(h.folder_removed(DEEP_INSTALL_DIR),
               h.install_folder_removed(PF + "Vexars\\Suite"),
               h.install_folder_removed(MAKER_DIR),
               h.would_not_dare(PF),
               h.folder_missing(MAKER_DIR),
               h.folder_missing(MAKER_DIR_X86),
               h.folder_removed(INSTALLSHIELD + ENTRY),
               h.folder_missing(INSTALLSHIELD + SECOND_ENTRY)),
        gone=(MAKER_DIR, INSTALLSHIELD + ENTRY)),
    # The installation folder's parent is empty but not registered: it stays.
    "unregistered-parent": InstallCase(
        registry=uninstall_entry(location=SUITE_DIR),
        registered=(MAKER_DIR,),
        directory=DEEP_INSTALL_DIR,
        files=install_files(DEEP_INSTALL_DIR),
        lines=(h.folder_removed(DEEP_INSTALL_DIR),
               h.install_folder_kept(PF + "Vexars\\Suite"),
               h.folder_not_empty(MAKER_DIR),
               h.folder_missing(MAKER_DIR_X86),
               h.folder_missing(INSTALLSHIELD + ENTRY)),
        gone=(DEEP_INSTALL_DIR,),
        kept=(SUITE_DIR,)),
    # A registered parent that still holds another product's folder ends the
    # walk without a line of its own.
    "parent-holds-other-product": InstallCase(
        registry=uninstall_entry(location=SUITE_DIR),
        registered=(SUITE_DIR, MAKER_DIR),
        unregistered=(SUITE_DIR,),
        directory=DEEP_INSTALL_DIR,
        files={**install_files(DEEP_INSTALL_DIR), OTHER_PRODUCT_DIR + "Backup.exe": b"MZ"},
        lines=(h.folder_removed(DEEP_INSTALL_DIR),
               h.install_folder_removed(PF + "Vexars\\Suite"),
               h.folder_not_empty(MAKER_DIR),
               h.folder_missing(MAKER_DIR_X86),
               h.folder_missing(INSTALLSHIELD + ENTRY)),
        gone=(SUITE_DIR,),
        kept=(OTHER_PRODUCT_DIR + "Backup.exe",)),
}
# The 32-bit program's Program Files folder is C:\Program Files (x86): its
# default installation folder lies there and its walk stops there.
INSTALL_CASE_X86 = InstallCase(
    registry=uninstall_entry(location=None),
    registered=(MAKER_DIR_X86,),
    unregistered=(MAKER_DIR_X86,),
    directory=INSTALL_DIR_X86,
    files={**install_files(INSTALL_DIR_X86), INSTALLSHIELD_X86 + ENTRY + "\\setup.ini": "",
           # The 64-bit program's folders are not the 32-bit program's to touch.
           **install_files(INSTALL_DIR), INSTALLSHIELD + ENTRY + "\\setup.ini": ""},
    lines=(h.folder_removed(INSTALL_DIR_X86),
           h.install_folder_removed(PF86 + "Vexars"),
           h.would_not_dare(PF86),
           h.folder_missing(MAKER_DIR_X86),
           h.folder_missing(MAKER_DIR_X86),
           h.folder_removed(INSTALLSHIELD_X86 + ENTRY)),
    gone=(MAKER_DIR_X86, INSTALLSHIELD_X86 + ENTRY),
    kept=(INSTALL_DIR + "Zentrivo.cfg", INSTALL_DIR + "Signatures\\main.db",
          INSTALLSHIELD + ENTRY + "\\setup.ini"))

# -- VirtualStore ---------------------------------------------------------------


def store(profile: str, *names: str) -> dict:
    """Files (and, ending with a backslash, folders) of a profile's
    VirtualStore copy of the maker's ProgramData folder."""
    base = f"{h.PROFILES_DIR}\\{profile}\\{h.VIRTUAL_STORE_COPY}\\"
    return {base + n: (FOLDER if n.endswith("\\") else b"v") for n in names}


def store_dir(profile: str) -> str:
    return f"{h.PROFILES_DIR}\\{profile}\\{h.VIRTUAL_STORE_COPY}"


VIRTUAL_STORE_CASES = {
    # Three profiles. Each file and folder counts one, the copy's own folder
    # included: root 6 (Vexars, Zentrivo, settings.ini, Cache, a.bin, b.dat),
    # alice 3 (Vexars, Zentrivo64, x.dat), Public 2 (Vexars, p.dat).
    "installed": (11, Case(
        files={**store("root", "Zentrivo\\settings.ini", "Zentrivo\\Cache\\a.bin", "b.dat"),
               **store("alice", "Zentrivo64\\x.dat"),
               **store("Public", "p.dat"),
               h.PROFILES_DIR + "\\root\\AppData\\Local\\VirtualStore\\ProgramData\\Other\\keep.dat": b"k",
               h.PROFILES_DIR + "\\root\\AppData\\Local\\VirtualStore\\Program Files\\Vexars\\keep.dat": b"k",
               h.PROFILES_DIR + "\\notes.txt": "a file among the profiles"},
        gone=(store_dir("root"), store_dir("alice"), store_dir("Public")),
        kept=(h.PROFILES_DIR + "\\root\\AppData\\Local\\VirtualStore\\ProgramData\\Other\\keep.dat",
              h.PROFILES_DIR + "\\root\\AppData\\Local\\VirtualStore\\Program Files\\Vexars\\keep.dat",
              h.PROFILES_DIR + "\\notes.txt", h.PROFILES_DIR + "\\alice\\AppData\\Local\\VirtualStore"))),
    # A folder holding two files counts 3.
    "leftovers": (3, Case(files=store("root", "a.dat", "b.dat"), gone=(store_dir("root"),))),
    "clean": (0, Case()),
}

# ==========================================================================
# Machines: one planting and one run each.


@dataclass(frozen=True)
class Machine:
    areas: tuple  # the areas whose case of the machine's name it plants
    install: InstallCase


MACHINES = {
    "installed": Machine(areas=("appdata", "shortcuts", "virtual_store"), install=INSTALL_CASES["installed"]),
    "leftovers": Machine(areas=("appdata", "shortcuts", "virtual_store"), install=INSTALL_CASES["leftovers"]),
    "clean": Machine(areas=("appdata", "shortcuts", "virtual_store"), install=INSTALL_CASES["clean"]),
    **{name: Machine(areas=(), install=INSTALL_CASES[name])
       for name in ("two-registered-parents", "unregistered-parent", "parent-holds-other-product")},
}
AREA_MACHINES = ("installed", "leftovers", "clean")


def plant_install_case(prefix: h.Prefix, case: InstallCase, view: int = 64) -> None:
    keys = dict(case.registry)
    if case.registered:
        keys[INSTALLER_FOLDERS] = {folder: "" for folder in case.registered}
    if keys:
        prefix.plant_registry(keys, view=view)


def plant_machine(prefix: h.Prefix, name: str) -> None:
    machine = MACHINES[name]
    if "appdata" in machine.areas:
        prefix.plant_paths(APPDATA_CASES[name].files)
    if "shortcuts" in machine.areas:
        prefix.plant_paths(SHORTCUT_CASES[name].files)
    if "virtual_store" in machine.areas:
        prefix.plant_paths(VIRTUAL_STORE_CASES[name][1].files)
    prefix.plant_paths(machine.install.files)
    plant_install_case(prefix, machine.install)


@pytest.fixture(scope="module")
def machine(request, template, e2e_config):
    """The machine named by the test's parameter, planted and run once."""
    name = request.param
    with h.scenario_prefix(template, e2e_config, f"test_files_and_folders-{name}") as prefix:
        desktops = {d: (prefix.is_dir(d), prefix.is_link(d))
                    for d in (h.DESKTOP_DIR, h.COMMON_DESKTOP_DIR)}
        plant_machine(prefix, name)
        run = prefix.run_remover()
        yield SimpleNamespace(name=name, prefix=prefix, run=run, desktops=desktops)


def on(*names: str):
    """Parametrizes a test over machines (the fixture `machine`)."""
    return pytest.mark.parametrize("machine", names, indirect=True)


@on(*MACHINES)
def test_run_completes(machine):
    h.assert_completed(machine.run)


# -- application data ---------------------------------------------------------------

@on(*AREA_MACHINES)
def test_application_data_step_lines(machine):
    """The product's folders, then the maker's folders only when empty, then
    each GUID-named ProgramData folder (in listing order): removed when it
    holds a Zentrivo.* file, otherwise logged with the common application-data
    folder, which already ends with a backslash, and a second backslash.
    Folders whose names do not begin with a brace get no line."""
    case = APPDATA_CASES[machine.name]
    section = step_section(machine.run, STEP_APPDATA)
    fixed = [STEP_APPDATA, "", *case.lines]
    assert section[:len(fixed)] == fixed, section
    assert section[-1] == SHORT_SEPARATOR, section
    assert sorted(section[len(fixed):-1]) == sorted(case.unordered), section
    h.assert_absent(machine.run.cwd_log, [Re(".*" + re.escape(name) + ".*") for name in UNBRACED])


@on(*AREA_MACHINES)
def test_application_data_on_disk(machine):
    case = APPDATA_CASES[machine.name]
    assert_gone(machine.prefix, case.gone)
    assert_kept(machine.prefix, case.kept)


@on("installed")
def test_cache_folders_without_product_files_keep_their_content(machine):
    for name in (NOT_CACHE_OTHER, NOT_CACHE_EMPTY, NOT_CACHE_FOLDER, *UNBRACED):
        planted = {path[len(COMMON + name) + 1:].rstrip("\\"): content
                   for path, content in CACHE_FOLDERS.items() if path.startswith(COMMON + name + "\\")}
        planted = {k: v for k, v in planted.items() if k}
        assert machine.prefix.tree(COMMON + name) == planted, name


# -- shortcuts ------------------------------------------------------------------------

@on(*AREA_MACHINES)
def test_desktops_are_real_folders_of_the_prefix(machine):
    """Both desktops are folders of the prefix, not links to the host's home,
    so deleting a shortcut there cannot touch the machine running the tests."""
    for desktop, (is_dir, is_link) in machine.desktops.items():
        assert is_dir and not is_link, (desktop, is_dir, is_link)


@on(*AREA_MACHINES)
def test_shortcut_step_lines(machine):
    assert_step(machine.run, STEP_SHORTCUTS, list(SHORTCUT_CASES[machine.name].lines))


@on(*AREA_MACHINES)
def test_win8_step_lines(machine):
    assert_step(machine.run, STEP_WIN8, list(WIN8_LINES[machine.name]))


@on(*AREA_MACHINES)
def test_shortcuts_on_disk(machine):
    case = SHORTCUT_CASES[machine.name]
    assert_gone(machine.prefix, case.gone)
    assert_kept(machine.prefix, case.kept)


# -- Program Files ----------------------------------------------------------------------

@on(*MACHINES)
def test_program_files_step_lines(machine):
    case = MACHINES[machine.name].install
    h.assert_in_order(machine.run.cwd_log, [f"Zentrivo directory: {case.directory}"])
    assert_step(machine.run, STEP_PROGRAM_FILES, list(case.lines))


@on(*MACHINES)
def test_program_files_on_disk(machine):
    case = MACHINES[machine.name].install
    assert_gone(machine.prefix, case.gone)
    assert_kept(machine.prefix, case.kept)
    # The folders that hold them stay whatever happens.
    common = [h.PROGRAM_FILES_DIR + "\\Common Files", h.PROGRAM_FILES_X86_DIR + "\\Common Files"]
    if any(path.startswith(INSTALLSHIELD) for path in case.files):
        common.append(h.INSTALLSHIELD_DIR)
    assert_kept(machine.prefix, common)


@on(*MACHINES)
def test_program_files_registrations(machine):
    """The walk unregisters exactly the folders it removed."""
    case = MACHINES[machine.name].install
    values = machine.prefix.read_key(INSTALLER_FOLDERS) or {}
    left = {name.lower() for name in values}
    expected = {f.lower() for f in case.registered if f not in case.unregistered}
    assert left == expected, values


# -- VirtualStore ------------------------------------------------------------------------

@on(*AREA_MACHINES)
def test_virtual_store_step_counts_every_entry(machine):
    count, _ = VIRTUAL_STORE_CASES[machine.name]
    assert_step(machine.run, STEP_VIRTUAL_STORE, [h.virtual_store_count(count), ""])


@on(*AREA_MACHINES)
def test_virtual_store_on_disk(machine):
    _, case = VIRTUAL_STORE_CASES[machine.name]
    assert_gone(machine.prefix, case.gone)
    assert_kept(machine.prefix, case.kept)


# ==========================================================================
# Links: what lies behind them is never the product's.

VICTIM = "C:\\Victim\\"
VICTIM_FILES = {
    VICTIM + "Store\\keep1.dat": b"1", VICTIM + "Store\\Zentrivo\\keep2.dat": b"2",
    VICTIM + "Data\\keep3.dat": b"3", VICTIM + "Data\\Inner\\keep4.dat": b"4",
    VICTIM + "Cache\\Zentrivo.dat": b"5", VICTIM + "Cache\\keep6.dat": b"6",
}
LINKED_STORE = store_dir("alice")
LINK_IN_DATA = COMMON_DATA + "\\link"
LINKED_CACHE = "{6E7F8091-A2B3-44C5-D6E7-F8091A2B3C4D}"


@pytest.fixture(scope="module")
def linked(template, e2e_config):
    """A link at alice's VirtualStore copy, a link inside the product's
    ProgramData folder and a GUID-named ProgramData folder that is a link,
    each aimed at a folder of files that are not the product's; beside them
    the product's own files. One run."""
    with h.scenario_prefix(template, e2e_config, "test_files_and_folders-links") as prefix:
        prefix.plant_paths({**VICTIM_FILES, **PRODUCT_DATA, **store("root", "a.dat", "b.dat")})
        prefix.plant_link(LINKED_STORE, VICTIM + "Store")
        prefix.plant_link(LINK_IN_DATA, VICTIM + "Data")
        prefix.plant_link(COMMON + LINKED_CACHE, VICTIM + "Cache")
        before = prefix.tree(VICTIM)
        run = prefix.run_remover()
        yield SimpleNamespace(prefix=prefix, run=run, victim_before=before)


def test_links_run_completes(linked):
    h.assert_completed(linked.run)


def test_links_every_file_behind_a_link_survives(linked):
    assert linked.prefix.tree(VICTIM) == linked.victim_before
    assert len([v for v in linked.victim_before.values() if isinstance(v, bytes)]) == len(VICTIM_FILES)


def test_links_stay_in_place(linked):
    for link in (LINKED_STORE, LINK_IN_DATA, COMMON + LINKED_CACHE):
        assert linked.prefix.is_link(link), link


def test_links_application_data_step(linked):
    """The product's own files in the folder with the link go; the link
    stays (Wine cannot remove a link without reaching its target), so the
    folder cannot go and says so. The GUID-named link holds a Zentrivo.*
    file, which marks nothing: it lies behind a link, so the folder is
    passed over with a line, and nothing is removed through it."""
    assert_step(linked.run, STEP_APPDATA, [
        h.folder_removed(USER_DATA),
        h.link_left_in_place(LINK_IN_DATA),
        h.folder_not_removed(COMMON_DATA),
        h.folder_removed(COMMON_DATA_64),
        h.folder_not_empty(COMMON + "Vexars"),
        h.empty_folder_removed(APPDATA + "Vexars"),
        f"{COMMON}\\{LINKED_CACHE} - ignore folder: its marker 'Zentrivo.dat' is not the product's: it is a link",
    ], closing=SHORT_SEPARATOR)
    entry = next(e for e in linked.run.cwd_log.entries if e.text == h.link_left_in_place(LINK_IN_DATA))
    assert entry.marker == "!", entry


def test_links_product_files_beside_a_link_go(linked):
    assert linked.prefix.tree(COMMON_DATA) == {"link": ("link", str(linked.prefix.unix_path(VICTIM + "Data")))}
    assert_gone(linked.prefix, [USER_DATA, COMMON_DATA_64])


def test_links_virtual_store_counts_only_real_copies(linked):
    """root's real copy (a folder and two files) counts 3; alice's link adds
    nothing and is not reported."""
    assert_step(linked.run, STEP_VIRTUAL_STORE, [h.virtual_store_count(3), ""])
    assert_gone(linked.prefix, [store_dir("root")])


# ==========================================================================
# A ProgramData folder whose name holds look-alikes of "\\" (FULLWIDTH REVERSE
# SOLIDUS): the code page's best-fit table would turn it into a path to
# another vendor's folder that holds a Zentrivo.* file.

OTHER_VENDOR = COMMON + "OtherVendor\\"
OTHER_VENDOR_FILES = {OTHER_VENDOR + "Zentrivo.x": b"x", OTHER_VENDOR + "settings.ini": b"keep",
                      OTHER_VENDOR + "Inner\\data.bin": b"d"}
LOOK_ALIKE = "{\uff3c..\uff3cOtherVendor"


@pytest.fixture(scope="module")
def look_alike(template, e2e_config):
    with h.scenario_prefix(template, e2e_config, "test_files_and_folders-look-alike") as prefix:
        prefix.plant_paths({**OTHER_VENDOR_FILES, COMMON + LOOK_ALIKE + "\\": FOLDER})
        before = prefix.tree(OTHER_VENDOR)
        run = prefix.run_remover()
        yield SimpleNamespace(prefix=prefix, run=run, before=before)


def test_look_alike_the_other_vendors_folder_keeps_every_file(look_alike):
    h.assert_completed(look_alike.run)
    assert look_alike.prefix.tree(OTHER_VENDOR) == look_alike.before
    assert len([v for v in look_alike.before.values() if isinstance(v, bytes)]) == len(OTHER_VENDOR_FILES)
    assert look_alike.prefix.is_dir(COMMON + LOOK_ALIKE)


def test_look_alike_name_is_passed_over_with_a_line(look_alike):
    section = step_section(look_alike.run, STEP_APPDATA)
    assert h.name_passed_over(LOOK_ALIKE) in section, section
    h.assert_absent(look_alike.run.cwd_log, [Re(".*OtherVendor.*removed.*")])


# ==========================================================================
# Refusals: the stored installation folder names a folder that is not the
# product's. Nothing outside the product goes, and nothing is started from
# the current directory.

RUN_DIR = h.DEFAULT_RUN_DIR + "\\"
SENTINELS = {"C:\\sentinel.txt": "stay", PF + "Other Vendor\\app.dat": b"x",
             "C:\\windows\\Vendor\\tool.ini": "stay"}
# Planted in the run's current directory under the names of the product's
# programs, where a relative folder would find them.
CWD_PROGRAMS = ("UI.exe", "Zentrivo64.exe", "Zentrivo.exe", "Zentrivo\\UI.exe", "Zentrivo\\Zentrivo64.exe")


@dataclass(frozen=True)
class Refusal:
    registry: dict
    discovery: tuple  # the search and resolution lines after the header
    lines: tuple  # the Program Files step
    recorders: tuple = ()  # absolute paths where record_call.exe is planted and expected to run
    traps: tuple = ()  # absolute paths where record_call.exe is planted and must not run


REFUSALS = {
    # Version 2.0.9 takes the folder as stored, without appending the
    # product's name.
    "install-location-program-files": Refusal(
        registry=uninstall_entry(version="2.0.9", location=PF),
        discovery=(h.found_uninstall_entry(ENTRY), ". Product version: '2.0.9'",
                   f". Installation directory: '{PF}'", "Product Version (int): 20009",
                   f"Zentrivo directory: {PF}", ""),
        lines=(h.would_not_dare(PF), h.install_folder_kept("C:"), h.folder_missing(MAKER_DIR),
               h.folder_missing(MAKER_DIR_X86), h.folder_missing(INSTALLSHIELD + ENTRY))),
    "app-path-drive-root": Refusal(
        registry={MISC: {"AppPath": "C:\\"}},
        discovery=(NOT_FOUND, *UNDETECTED, "Zentrivo directory: C:\\", ""),
        lines=(h.would_not_dare("C:\\"), h.install_folder_kept("C:"), h.folder_missing(MAKER_DIR),
               h.folder_missing(MAKER_DIR_X86)),
        # A folder that cannot be the product's starts nothing either.
        traps=("C:\\UI.exe",)),
    # Without an Uninstall entry of the product, AppPath names the folder
    # that another product's Uninstall entry names as its own: it keeps every
    # file, and its programs are not started.
    "app-path-another-product": Refusal(
        registry={MISC: {"AppPath": PF + "Other Vendor\\"},
                  **uninstall_entry(OTHER_ENTRY, location=PF + "Other Vendor\\", display="Other Tool")},
        discovery=(NOT_FOUND, *UNDETECTED, f"Zentrivo directory: {PF}Other Vendor\\", ""),
        lines=(h.would_not_dare(PF + "Other Vendor\\"), h.install_folder_kept(h.PROGRAM_FILES_DIR),
               h.folder_missing(MAKER_DIR), h.folder_missing(MAKER_DIR_X86)),
        traps=(PF + "Other Vendor\\UI.exe", PF + "Other Vendor\\Zentrivo64.exe")),
    "app-path-windows": Refusal(
        registry={MISC: {"AppPath": "C:\\windows\\"}},
        discovery=(NOT_FOUND, *UNDETECTED, "Zentrivo directory: C:\\windows\\", ""),
        lines=(h.would_not_dare("C:\\windows\\"), h.install_folder_kept("C:"),
               h.folder_missing(MAKER_DIR), h.folder_missing(MAKER_DIR_X86))),
    # An empty or relative stored folder counts as none: the default folder.
    "app-path-empty": Refusal(
        registry={MISC: {"AppPath": ""}},
        discovery=(NOT_FOUND, *UNDETECTED, f"Zentrivo directory: {INSTALL_DIR}", ""),
        lines=INSTALL_CASES["clean"].lines),
    "app-path-relative": Refusal(
        registry={MISC: {"AppPath": "Zentrivo\\"}},
        discovery=(NOT_FOUND, *UNDETECTED, f"Zentrivo directory: {INSTALL_DIR}", ""),
        lines=INSTALL_CASES["clean"].lines),
}
# Folders that change in every run, whoever runs: the harness's own, the
# run's current directory and the temporary folder with the logs.
NOT_SURVEYED = (h.HARNESS_DIR, h.DEFAULT_RUN_DIR, h.TEMP_DIR, "C:\\windows\\temp")


@pytest.fixture(scope="module")
def refused(request, template, e2e_config):
    name = request.param
    case = REFUSALS[name]
    with h.scenario_prefix(template, e2e_config, f"test_files_and_folders-refusal-{name}") as prefix:
        prefix.plant_paths(SENTINELS)
        prefix.plant_registry(case.registry)
        for program in CWD_PROGRAMS:
            prefix.plant_helper("record_call.exe", RUN_DIR + program)
        for program in (*case.recorders, *case.traps):
            prefix.plant_helper("record_call.exe", program)
        before = prefix.snapshot(skip=NOT_SURVEYED)
        run = prefix.run_remover()
        calls = prefix.wait_for_calls(max(1, len(case.recorders)), timeout=2)
        yield SimpleNamespace(name=name, case=case, prefix=prefix, run=run, before=before,
                              after=prefix.snapshot(skip=NOT_SURVEYED), calls=calls)


refusal = pytest.mark.parametrize("refused", list(REFUSALS), indirect=True)


@refusal
def test_refusal_run_completes(refused):
    h.assert_completed(refused.run)


@refusal
def test_refusal_discovery_lines(refused):
    h.assert_in_order(refused.run.cwd_log, [(*SEARCH_HEADER, *refused.case.discovery,
                                             "**** Close running application ****")])


@refusal
def test_refusal_program_files_step(refused):
    assert_step(refused.run, STEP_PROGRAM_FILES, list(refused.case.lines))


@refusal
def test_refusal_removes_nothing(refused):
    """Nothing on the drive went, apart from the folders that every run
    changes (the harness's, the current directory, the temporary folders)."""
    assert sorted(refused.before - refused.after) == []
    assert_kept(refused.prefix, [*SENTINELS, "C:\\windows\\win.ini", "C:\\windows\\system32\\kernel32.dll",
                                 h.PROGRAM_FILES_DIR + "\\Common Files"])


@refusal
def test_refusal_starts_nothing_from_the_current_directory(refused):
    assert [(c.exe.lower(), c.args) for c in refused.calls] == [
        (p.lower(), ("-close",)) for p in refused.case.recorders], refused.calls


# ==========================================================================
# The 32-bit program (one run).

@pytest.fixture(scope="module")
def installed_x86(template, e2e_config, wow64):
    """Version 2.1.5 registered for the 32-bit program without a folder, so
    that it takes its default folder; its parent registered in the 32-bit
    view; an InstallShield folder; and the 64-bit program's folders, which
    it must leave alone."""
    case = INSTALL_CASE_X86
    with h.scenario_prefix(template, e2e_config, "test_files_and_folders-x86") as prefix:
        prefix.plant_paths(case.files)
        plant_install_case(prefix, case, view=32)
        prefix.plant_registry({INSTALLER_FOLDERS: {MAKER_DIR: ""}})
        run = prefix.run_remover(bits=32)
        yield SimpleNamespace(prefix=prefix, run=run)


@pytest.mark.wow64
def test_x86_program_files_step(installed_x86):
    run = installed_x86.run
    h.assert_completed(run)
    h.assert_in_order(run.cwd_log, [(
        *SEARCH_HEADER, h.found_uninstall_entry(ENTRY), ". Product version: '2.1.5'",
        f"ATTENTION: could not find InstallLocation in '{ENTRY}' !", "Product Version (int): 21005",
        f"Zentrivo directory: {INSTALL_DIR_X86}", "")])
    assert_step(run, STEP_PROGRAM_FILES, list(INSTALL_CASE_X86.lines))


@pytest.mark.wow64
def test_x86_program_files_on_disk_and_registrations(installed_x86):
    prefix = installed_x86.prefix
    assert_gone(prefix, INSTALL_CASE_X86.gone)
    assert_kept(prefix, INSTALL_CASE_X86.kept)
    assert (prefix.read_key(INSTALLER_FOLDERS, view=32) or {}) == {}
    assert prefix.read_key(INSTALLER_FOLDERS) == {MAKER_DIR: ""}


# ==========================================================================
# Each failure of a tree removal is reported with its own cause, and a
# temporary folder too long for the second log leaves one log, not two
# copies in one file.

LOCKED = COMMON_DATA + "\\locked"
LONG_TEMP = "C:\\" + "\\".join(["t" * 50] * 6)  # about 310 characters
DEEP_CACHE = USER_DATA + "".join(f"\\cache-level-{n:02}-abcdefghij0123456789" for n in range(12))
DEEP_LINK = COMMON_DATA_64 + "".join(f"\\nested-{n:02}-abcdefghij0123456789" for n in range(10)) + "\\link"
BESIDE = APPDATA + "Vexars\\Other product"
MAPPED_TARGET = "C:\\Mapped\\"  # what drive M: shows
MAPPED_INSTALL = "M:\\Vexars\\Zentrivo\\"


@pytest.fixture(scope="module")
def causes(template, e2e_config):
    """The product's ProgramData folder holds a link (which stays under Wine)
    and an empty folder that cannot be removed (another program's current
    directory);
    TEMP and TMP name a folder longer than 260 characters; the user's data
    folder holds a cache nested far beyond 260 characters, and the 64-bit
    data folder a link at such a depth; the product is
    installed on drive M:, a drive letter mapped to a folder of drive C:. One
    run."""
    with h.scenario_prefix(template, e2e_config, "test_files_and_folders-causes") as prefix:
        mapped_files = install_files(MAPPED_TARGET + "Vexars\\Zentrivo\\")
        prefix.plant_paths({**VICTIM_FILES, **PRODUCT_DATA, **mapped_files, BESIDE + "\\keep.txt": "k",
                            DEEP_CACHE + "\\entry.bin": b"e", DEEP_CACHE + "\\more\\": FOLDER})
        os.chmod(prefix.unix_path(DEEP_CACHE + "\\entry.bin"), 0o444)
        prefix.plant_link(DEEP_LINK, VICTIM + "Cache")
        os.symlink("../drive_c/Mapped", prefix.path / "dosdevices" / "m:")
        prefix.plant_registry(uninstall_entry(location="M:\\Vexars\\"))
        prefix.plant_link(LINK_IN_DATA, VICTIM + "Data")
        prefix.plant_folder(LOCKED)
        prefix.plant_folder(LONG_TEMP)
        prefix.plant_registry({r"HKCU\Environment": {"TEMP": LONG_TEMP, "TMP": LONG_TEMP}})
        prefix.start_sleepers([h.HARNESS_DIR + "\\holder.exe"], cwd=LOCKED)
        before = prefix.tree(VICTIM)
        run = prefix.run_remover()
        yield SimpleNamespace(prefix=prefix, run=run, victim_before=before)


def test_causes_a_folder_that_cannot_go_is_not_blamed_on_a_link(causes):
    h.assert_completed(causes.run)
    texts = causes.run.cwd_log.texts
    # Each entry that stayed is said with its own cause: the link, and the
    # folder that cannot go for a cause of its own.
    assert h.link_left_in_place(LINK_IN_DATA) in texts, causes.run.describe()
    assert [t for t in texts if t.startswith("remove_all: ") and f'"{LOCKED}"' in t], causes.run.describe()
    assert h.folder_not_removed(COMMON_DATA) in texts
    assert causes.prefix.tree(VICTIM) == causes.victim_before and causes.prefix.is_link(LINK_IN_DATA)


def test_causes_each_line_is_written_once_without_a_temporary_log(causes):
    texts = causes.run.cwd_log.texts
    assert texts.count(h.completed_ok()) == 1, causes.run.describe()
    assert texts.count(h.folder_removed(USER_DATA)) == 1
    assert not causes.prefix.exists(LONG_TEMP + "\\" + h.LOG_NAME)


def test_causes_a_mapped_drive_holds_no_link(causes):
    """Paths on the mapped drive resolve to drive C: but are the product's
    own: the installation folder goes whole."""
    h.assert_in_order(causes.run.cwd_log, [f"Zentrivo directory: {MAPPED_INSTALL}"])
    assert h.folder_removed(MAPPED_INSTALL) in step_section(causes.run, STEP_PROGRAM_FILES)
    assert not causes.prefix.exists(MAPPED_TARGET + "Vexars\\Zentrivo")


def test_causes_trees_deeper_than_260_characters(causes):
    """The deep cache goes with its folder and the usual line; the link at
    that depth is not followed and is named as what stays."""
    assert len(DEEP_CACHE) > 400
    texts = step_section(causes.run, STEP_APPDATA)
    assert h.folder_removed(USER_DATA) in texts
    assert not causes.prefix.exists(USER_DATA)
    assert causes.prefix.exists(BESIDE + "\\keep.txt")
    assert h.link_left_in_place(DEEP_LINK) in texts
    assert h.folder_not_removed(COMMON_DATA_64) in texts
    assert causes.prefix.tree(VICTIM) == causes.victim_before


# ==========================================================================
# A Zentrivo.* file that another account dropped into a GUID-named folder
# of ProgramData (every user may create files there) is no marker of the
# product's. Under Wine only another Unix user's file shows another owner
# (ANONYMOUS LOGON); every file of Wine's own user shows as the running
# account's, which is all an installer under Wine can give it.

DROPPED = "{6D7E8F90-A1B2-43C4-D5E6-F708192A3B4C}"
DROPPED_FILES = {COMMON + DROPPED + "\\Zentrivo.tmp": b"", COMMON + DROPPED + "\\cache.db": b"their data",
                 COMMON + DROPPED + "\\Parts\\part1.bin": b"p"}
OWN_CACHE_FILES = {COMMON + CACHE + "\\Zentrivo.dat": b"cache", COMMON + CACHE + "\\index.txt": "1"}


@pytest.fixture(scope="module")
def dropped_marker(template, e2e_config):
    with h.scenario_prefix(template, e2e_config, "test_files_and_folders-dropped-marker") as prefix:
        prefix.plant_paths({**DROPPED_FILES, **OWN_CACHE_FILES})
        prefix.give_to_another_account(COMMON + DROPPED + "\\Zentrivo.tmp")
        owners = {path: prefix.owner_and_access(path)[:len("O:") + 2]
                  for path in (COMMON + DROPPED + "\\Zentrivo.tmp", COMMON + CACHE + "\\Zentrivo.dat")}
        run = prefix.run_remover()
        yield SimpleNamespace(prefix=prefix, run=run, owners=owners)


def test_a_marker_another_account_dropped_removes_nothing(dropped_marker):
    s = dropped_marker
    h.assert_completed(s.run)
    assert s.owners == {COMMON + DROPPED + "\\Zentrivo.tmp": "O:AN", COMMON + CACHE + "\\Zentrivo.dat": "O:S-"}
    section = step_section(s.run, STEP_APPDATA)
    assert (f"{COMMON}\\{DROPPED} - ignore folder: its marker 'Zentrivo.tmp' is not the product's: "
            f"its owner {h.ANONYMOUS_SID} is not an administrator") in section, section
    assert h.folder_removed(COMMON + CACHE) in section, section
    for path in DROPPED_FILES:
        assert s.prefix.exists(path), path
    assert not s.prefix.exists(COMMON + CACHE)


# -- application data redirected to a network drive ----------------------------------

NETWORK_APPDATA = "N:\\Roaming"
SHELL_FOLDERS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"


@pytest.fixture(scope="module")
def redirected(template, e2e_config):
    """[APPDATA] redirected, as folder redirection does, to a drive that the
    system reports as a network drive (Wine's drive type "network"); the
    product's folder there and a protected folder of the product's registry
    installation on the same drive."""
    with h.scenario_prefix(template, e2e_config, "test_files_and_folders-redirected") as prefix:
        share = prefix.path / "network_share"
        (share / "Roaming" / "Vexars" / "Zentrivo").mkdir(parents=True)
        (share / "Roaming" / "Vexars" / "Zentrivo" / "settings.dat").write_bytes(b"s")
        os.symlink(share, prefix.path / "dosdevices" / "n:")
        prefix.plant_registry({"HKLM\\Software\\Wine\\Drives": {"n:": "network"}})
        prefix.plant_registry({
            SHELL_FOLDERS + "\\User Shell Folders": {"AppData": h.ExpandSz(NETWORK_APPDATA)},
            SHELL_FOLDERS + "\\Shell Folders": {"AppData": NETWORK_APPDATA}})
        # The drive types are read when the prefix's services start.
        h.kill_server(prefix.path)
        run = prefix.run_remover()
        yield SimpleNamespace(prefix=prefix, run=run, share=share)


def test_the_products_folder_on_a_redirected_appdata_goes(redirected):
    s = redirected
    h.assert_completed(s.run)
    h.assert_in_order(s.run.cwd_log, [STEP_APPDATA, h.folder_removed(NETWORK_APPDATA + "\\Vexars\\Zentrivo")])
    assert not (s.share / "Roaming" / "Vexars" / "Zentrivo").exists()
    # The redirected folder itself stays.
    assert (s.share / "Roaming").is_dir()
