"""A machine on which the product was installed and still runs, for the
demonstration run of tools/demo.sh.

  /usr/bin/python3 tests/e2e/simulated_machine.py plant PREFIX [--submit-as ADDRESS]
  /usr/bin/python3 tests/e2e/simulated_machine.py report PREFIX

`plant` puts the product's traces into a booted prefix (tests/wine/prefix.sh
create): Zentrivo 2.1.5 with its Uninstall entry and its folder
C:\\Program Files\\Vexars\\Zentrivo\\ (registered under Installer\\Folders
together with the maker's folder), its keys in both hives, its App Paths
entry, the copies in the 32-bit registry view that the 64-bit program
removes, its application data under AppData and ProgramData, a GUID-named
cache folder holding a Zentrivo.* file, its Start-menu group, desktop, Quick
Launch and Win8 shortcuts, its InstallShield folder, VirtualStore copies in
two profiles, and two of its programs running (Zentrivo64.exe and
MsgSys.exe). The maker's shared suite is installed in
C:\\Program Files (x86)\\Vexars\\ with its service ("Suite Service",
VexarSuiteService.exe) running and the stand-in suite client library, which
has the product, the suite itself (TOOLKIT) and Vexars Backup registered; the
product's suite configuration holds the user's e-mail address. The common
tray runs from its folder below the suite's, with the configuration files of
the product and of Vexars Backup. The remover unregisters the product and
reads the address; the suite and the tray stay, since Vexars Backup still
uses them, and their SharedDLLs counters are set to 1.

It adds what is not the product's and must stay: another product of the
maker (Vexars Backup) with its key under Software\\Vexars and its folder in
C:\\Program Files\\Vexars\\ (which therefore stays, registered), another
program's shortcut in the product's Start-menu group of the user, a
GUID-named ProgramData folder without the product's files, and a folder of
a user's own files behind a link that sits where the product's VirtualStore
copy would be in a third profile. The link itself stays too: the remover
never follows a link, and under Wine a link cannot be removed without
reaching its target.

The installation folder holds data files only. The remover starts the
product's interface and executable from it without waiting for them;
stand-ins placed there would now and then still be running from the folder
when the remover deletes it, and the demonstration would fail by chance.
The tests check those starts (test_installed_product.py).

`plant` leaves the prefix's wineserver and the started programs running for
the run that follows; whoever called it ends them (prefix.sh kill PREFIX).
It also leaves a box answerer running that says No to the end-of-run
question about sending the log, so that the run never waits for an answer
and never sends mail. With --submit-as the suite's configuration holds no
user address, and the answerer says Yes and types ADDRESS into the prompt
for one: the demonstration then mails the log to a local SMTP server
(tests/e2e/mail_sink.py), which the tests' build of the program reaches.

`report` prints, after the run, which of the planted traces are gone and
which are still there, and how the running programs ended.

The helper programs come from the same folder as for the tests
(build/x64/tests/e2e/helpers/, or ZENQO_E2E_HELPER_DIR); the service is
the unit tests' test service (build/x64/tests/test_service_x86_64.exe, or
ZENQO_E2E_TEST_SERVICE).
"""

from __future__ import annotations

import json
import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path

import harness as h

ENTRY = "{3F2A9C71-5D0E-4B8A-9E61-7C4D2B1A0F35}"
MAKER_DIR = h.PROGRAM_FILES_DIR + "\\Vexars\\"
INSTALL_DIR = MAKER_DIR + "Zentrivo\\"
# The running programs are started from the product's data folder, not from
# its installation folder: the remover starts the installation folder's
# Zentrivo64.exe itself (to remove the scheduled task), and a sleeper there
# would run again.
RUNNING_DIR = h.COMMON_APPDATA_DIR + "\\Vexars\\Zentrivo\\"
RUNNING = ("Zentrivo64.exe", "MsgSys.exe")
OTHER_DIR = MAKER_DIR + "Vexars Backup\\"
UNINSTALL = "HKLM\\" + h.UNINSTALL_PATH
SHARED_DLLS = "HKLM\\" + h.SHARED_DLLS_PATH
APP_PATH_KEY = "HKLM\\" + h.APP_PATHS_PATH + "\\Zentrivo.exe"
INSTALLER_FOLDERS = "HKLM\\" + h.INSTALLER_FOLDERS_PATH
# Where plant leaves what report needs (process ids, the watcher's file).
STATE_FILE = h.HARNESS_DIR + "\\simulated_machine.json"

USER_DATA = h.APPDATA_DIR + "\\Vexars\\Zentrivo\\"
COMMON_DATA_64 = h.COMMON_APPDATA_DIR + "\\Vexars\\Zentrivo64\\"
CACHE = h.COMMON_APPDATA_DIR + "\\{8E1F0A3C-6D2B-4C97-B1E5-0F4A7D3C92B6}\\"
OTHER_CACHE = h.COMMON_APPDATA_DIR + "\\{2D7C9B41-E05A-4F83-A6D2-19B8E4C07F5A}\\"
COMMON_GROUP = h.COMMON_PROGRAMS_DIR + "\\Vexars\\"
USER_GROUP = h.PROGRAMS_DIR + "\\Vexars\\"
QUICK_LAUNCH = h.QUICK_LAUNCH_DIR + "\\"
TOOLS_DIR = h.PROGRAM_FILES_X86_DIR + "\\Vexars\\VEXARtools\\"
WIN8_DIR = TOOLS_DIR + "Zentrivo\\"
INSTALLSHIELD = h.INSTALLSHIELD_DIR + "\\" + ENTRY + "\\"
STORES = {user: f"{h.PROFILES_DIR}\\{user}\\{h.VIRTUAL_STORE_COPY}\\" for user in ("root", "alice", "bob")}
# A user's own files, reached through a link where bob's copy would be.
VICTIM_DIR = "C:\\Backup\\Vexars export\\"
# The maker's suite and its service, which the suite step handles.
SUITE_DIR = h.PROGRAM_FILES_X86_DIR + "\\Vexars\\"
SERVICE_NAME = "Suite Service"
SERVICE_EXE = SUITE_DIR + "VexarSuiteService.exe"
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE_NAME
SUITE_PRODUCTS = SUITE_DIR + "products.txt"  # the stand-in library's product list
SUITE_CONFIG = RUNNING_DIR + "suite.cfg"
TRAY_DIR = SUITE_DIR + "Tray\\"
TRAY_EXE = TRAY_DIR + "VexarsTray.exe"
TRAY_CONFIGS = h.COMMON_APPDATA_DIR + "\\Vexars\\Tray\\Configurations\\"
TRAY_ICON = TRAY_DIR + "HTML\\gfx\\Icon_TKTRAY-UPD-ZENQO.png"
SUITE_COUNTED = (SUITE_DIR + "VexarLauncher.exe", SUITE_DIR + "bvhtml.dll", TRAY_DIR + "bvhtml.dll")
LNK = b"L\0\0\0" + b"\0" * 72  # the first bytes of a shell link
# Windows Installer's registration, with packed codes: the product (upgrade
# code {6A1F3C2E-9B4D-4E07-A5C8-3D2E71F0B94A}) and Vexars Backup, which shares
# the maker's common component with it.
MSI_CLASSES = "HKLM\\Software\\Classes\\Installer"
MSI_SYSTEM = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18"
MSI_UPGRADE, MSI_PRODUCT = "E2C3F1A6D4B970E45A8CD3E2170F9BA4", "5C1B2E3D4F5A69788796A5B4C3D2E1F0"
OTHER_UPGRADE, OTHER_PRODUCT = "0F1E2D3C4B5A69788796A5B4C3D2E1F0", "9A8B7C6D5E4F30211203F4E5D6C7B8A9"
MSI_OWN_COMPONENT, MSI_SHARED_COMPONENT = "3C4D5E6F7A8B9C0D1E2F3A4B5C6D7E8F", "7E6D5C4B3A2F1E0D9C8B7A6F5E4D3C2B"
COMMON_FILE = h.PROGRAM_FILES_DIR + "\\Vexars\\Common\\vxcommon.dll"


@dataclass(frozen=True)
class Trace:
    """Something planted: a registry key or value, a file or folder, or a
    service."""

    kind: str  # "key", "value", "path", "service" or "line" (a line of a text file)
    path: str  # key path (HKLM\\Software\\... as the given view shows it), file, folder, service name
    view: int = 64
    value: str = None  # the value's name, for kind "value"
    product: bool = True  # False: not the product's; the remover must keep it
    note: str = ""
    stays: str = ""  # for a product's trace that this run keeps: why

    @property
    def expected(self) -> bool:
        """Whether it should still be there after the run."""
        return not self.product or bool(self.stays)

    def label(self) -> str:
        if self.kind == "key":
            return h.view_key(self.path, self.view).replace("HKEY_LOCAL_MACHINE", "HKLM") \
                .replace("HKEY_CURRENT_USER", "HKCU")
        if self.kind == "value":
            key = h.view_key(self.path, self.view).replace("HKEY_LOCAL_MACHINE", "HKLM")
            return f"{key} : {self.value}"
        if self.kind == "service":
            return f"service '{self.path}'"
        if self.kind == "line":
            return f"{self.path} : {self.value}"
        return self.path

    def present(self, prefix: h.Prefix) -> bool:
        if self.kind == "key":
            return prefix.key_exists(self.path, self.view)
        if self.kind == "value":
            values = prefix.read_key(self.path, self.view) or {}
            return self.value.lower() in {name.lower() for name in values}
        if self.kind == "service":
            return prefix.key_exists(SERVICE_KEY)
        if self.kind == "line":
            return self.value in (prefix.read_bytes(self.path) or b"").decode("utf-8").splitlines()
        return prefix.exists(self.path)


def product_keys(root: str) -> dict:
    return {
        f"{root}\\Software\\Vexars\\ZENQO": {"Language": "en"},
        f"{root}\\Software\\Vexars\\ZENQO\\Misc": {"AppPath": INSTALL_DIR},
        f"{root}\\Software\\Corvantis\\ZENQO\\5": {"Licence": "trial"},
    }


KEYS_64 = {
    f"{UNINSTALL}\\{ENTRY}": {"DisplayName": "Zentrivo", "DisplayVersion": "2.1.5",
                              "Publisher": "Vexars", "InstallLocation": MAKER_DIR},
    **product_keys("HKCU"),
    **product_keys("HKLM"),
    APP_PATH_KEY: {"": INSTALL_DIR + "Zentrivo.exe", "Path": INSTALL_DIR},
    "HKLM\\Software\\Vexars\\Vexars Backup": {"Version": "1.4.2", "AppPath": OTHER_DIR},
    # What Windows Installer registered: the installation folder and the
    # maker's folder above it.
    INSTALLER_FOLDERS: {INSTALL_DIR: "", MAKER_DIR: ""},
    f"{MSI_CLASSES}\\UpgradeCodes\\{MSI_UPGRADE}": {MSI_PRODUCT: ""},
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\" + MSI_UPGRADE: {MSI_PRODUCT: ""},
    f"{MSI_CLASSES}\\Products\\{MSI_PRODUCT}\\SourceList": {"PackageName": "Zentrivo.msi"},
    f"{MSI_SYSTEM}\\Products\\{MSI_PRODUCT}\\InstallProperties": {"DisplayName": "Zentrivo"},
    f"{MSI_SYSTEM}\\Components\\{MSI_OWN_COMPONENT}": {MSI_PRODUCT: INSTALL_DIR + "Zentrivo.cfg"},
    f"{MSI_SYSTEM}\\Components\\{MSI_SHARED_COMPONENT}": {MSI_PRODUCT: COMMON_FILE, OTHER_PRODUCT: COMMON_FILE},
    f"{MSI_CLASSES}\\UpgradeCodes\\{OTHER_UPGRADE}": {OTHER_PRODUCT: ""},
    f"{MSI_CLASSES}\\Products\\{OTHER_PRODUCT}": {"ProductName": "Vexars Backup"},
    f"{MSI_SYSTEM}\\Products\\{OTHER_PRODUCT}\\InstallProperties": {"DisplayName": "Vexars Backup"},
    SHARED_DLLS: {INSTALL_DIR + "Zentrivo.cfg": 1, COMMON_FILE: 2},
}
KEYS_32 = {
    "HKLM\\Software\\Vexars": {"Installed": 1},
    SHARED_DLLS: {INSTALL_DIR + "MsgSys.exe": 1, INSTALL_DIR + "bvhtml.dll": 1,
                  **{name: h.Dword(3) for name in SUITE_COUNTED}},
}
FILES = {
    INSTALL_DIR + "Zentrivo.cfg": "[scan]\r\nlevel=2\r\n",
    INSTALL_DIR + "bvhtml.dll": b"MZ",
    INSTALL_DIR + "Signatures\\main.db": b"\0" * 64,
    OTHER_DIR + "Backup.cfg": "[backup]\r\ntarget=D:\\\r\n",
    USER_DATA + "settings.xml": "<settings/>",
    RUNNING_DIR + "Zentrivo.db": b"\0" * 32,
    COMMON_DATA_64 + "update.dat": b"u",
    CACHE + "Zentrivo.cache": b"cache",
    OTHER_CACHE + "other.dat": b"not the product's",
    COMMON_GROUP + "Zentrivo.lnk": LNK,
    COMMON_GROUP + "VEXARtools.lnk": LNK,
    USER_GROUP + "Zentrivo.lnk": LNK,
    USER_GROUP + "Vexars Backup.lnk": LNK,
    h.COMMON_DESKTOP_DIR + "\\Zentrivo.lnk": LNK,
    h.DESKTOP_DIR + "\\Zentrivo.lnk": LNK,
    QUICK_LAUNCH + "Zentrivo.lnk": LNK,
    WIN8_DIR + "Zentrivo.lnk": LNK,
    INSTALLSHIELD + "setup.ini": "[Startup]\r\n",
    STORES["root"] + "Zentrivo\\settings.ini": "[ui]\r\n",
    STORES["alice"] + "Zentrivo\\cache.dat": b"c",
    VICTIM_DIR + "accounts.xlsx": b"PK",
    VICTIM_DIR + "Letters\\2024.docx": b"PK",
    SUITE_DIR + "VexarLauncher.exe": b"MZ",
    SUITE_DIR + "bvhtml.dll": b"MZ",
    SUITE_PRODUCTS: "ZENQO=Zentrivo\nTOOLKIT=Toolkit\nBACKUP=Vexars Backup\n",
    SUITE_CONFIG: "name=alice\nsite=example.org\n",
    TRAY_DIR + "bvhtml.dll": b"MZ",
    TRAY_ICON: b"png",
    TRAY_CONFIGS + "tktray.xml": "<tray/>",
    TRAY_CONFIGS + "ZENQO.xml": "<tray/>",
    TRAY_CONFIGS + "BACKUP.xml": "<tray/>",
}
KEPT_LINK = "a link: never followed, and under Wine not removable without its target"

TRACES = [
    Trace("key", f"{UNINSTALL}\\{ENTRY}", note="Uninstall entry, Zentrivo 2.1.5"),
    Trace("key", "HKCU\\Software\\Vexars\\ZENQO", note="settings"),
    Trace("key", "HKCU\\Software\\Corvantis", note="licence"),
    Trace("key", "HKLM\\Software\\Vexars\\ZENQO", note="settings"),
    Trace("key", "HKLM\\Software\\Corvantis", note="licence"),
    Trace("key", APP_PATH_KEY, note="App Paths entry"),
    Trace("key", "HKLM\\Software\\Vexars", view=32, note="32-bit view"),
    Trace("value", SHARED_DLLS, view=32, value=INSTALL_DIR + "MsgSys.exe", note="32-bit view"),
    Trace("value", SHARED_DLLS, view=32, value=INSTALL_DIR + "bvhtml.dll", note="32-bit view"),
    Trace("path", INSTALL_DIR, note="installation folder"),
    Trace("path", INSTALLSHIELD, note="InstallShield folder"),
    Trace("path", USER_DATA, note="user's application data"),
    Trace("path", h.APPDATA_DIR + "\\Vexars\\", note="maker's folder, empty once the product's is gone"),
    Trace("path", RUNNING_DIR, note="common application data, its running programs' home"),
    Trace("path", COMMON_DATA_64, note="common application data"),
    Trace("path", CACHE, note="cache folder with a Zentrivo.* file"),
    Trace("path", COMMON_GROUP, note="Start-menu group, the tools shortcut last in it"),
    Trace("path", USER_GROUP + "Zentrivo.lnk", note="Start-menu shortcut of the user"),
    Trace("path", h.COMMON_DESKTOP_DIR + "\\Zentrivo.lnk", note="desktop shortcut, all users"),
    Trace("path", h.DESKTOP_DIR + "\\Zentrivo.lnk", note="desktop shortcut, the user"),
    Trace("path", QUICK_LAUNCH + "Zentrivo.lnk", note="Quick Launch shortcut"),
    Trace("path", TOOLS_DIR, note="Win8 tools folder with the product's shortcuts"),
    Trace("path", STORES["root"], note="VirtualStore copy, profile root"),
    Trace("path", STORES["alice"], note="VirtualStore copy, profile alice"),
    Trace("value", INSTALLER_FOLDERS, value=INSTALL_DIR, note="registration of the installation folder",
          stays="the Program Files step removes this folder as a tree and unregisters only the "
                "parents it walks up through"),
    Trace("path", STORES["bob"].rstrip("\\"), note=f"profile bob, a link to {VICTIM_DIR}", stays=KEPT_LINK),
    Trace("line", SUITE_PRODUCTS, value="ZENQO=Zentrivo", note="the product's registration in the suite"),
    Trace("path", TRAY_CONFIGS + "ZENQO.xml", note="the product's tray configuration"),
    Trace("path", TRAY_ICON, note="the product's tray icon"),
    Trace("key", f"{MSI_CLASSES}\\UpgradeCodes\\{MSI_UPGRADE}", note="Windows Installer: upgrade code"),
    Trace("key", f"{MSI_CLASSES}\\Products\\{MSI_PRODUCT}", note="Windows Installer: product"),
    Trace("key", f"{MSI_SYSTEM}\\Products\\{MSI_PRODUCT}", note="Windows Installer: product of the machine"),
    Trace("key", f"{MSI_SYSTEM}\\Components\\{MSI_OWN_COMPONENT}", note="Windows Installer: its own component"),
    Trace("value", f"{MSI_SYSTEM}\\Components\\{MSI_SHARED_COMPONENT}", value=MSI_PRODUCT,
          note="Windows Installer: its share of the maker's common component"),
    Trace("value", SHARED_DLLS, value=INSTALL_DIR + "Zentrivo.cfg", note="SharedDlls counter, 1: the last user"),
    Trace("key", "HKLM\\Software\\Vexars\\Vexars Backup", product=False, note="Vexars Backup's settings"),
    Trace("key", f"{MSI_CLASSES}\\Products\\{OTHER_PRODUCT}", product=False,
          note="Windows Installer: Vexars Backup"),
    Trace("value", f"{MSI_SYSTEM}\\Components\\{MSI_SHARED_COMPONENT}", value=OTHER_PRODUCT, product=False,
          note="Windows Installer: Vexars Backup's share of the common component"),
    Trace("value", SHARED_DLLS, value=COMMON_FILE, product=False,
          note="SharedDlls counter of the common file, 2 before the run, 1 after"),
    Trace("path", OTHER_DIR, product=False, note="Vexars Backup's installation folder"),
    Trace("path", MAKER_DIR, product=False, note="the maker's folder, holds Vexars Backup"),
    Trace("value", INSTALLER_FOLDERS, value=MAKER_DIR, product=False,
          note="registration of the maker's folder, which is not empty"),
    Trace("path", USER_GROUP + "Vexars Backup.lnk", product=False,
          note="Vexars Backup's shortcut in the group"),
    Trace("path", OTHER_CACHE + "other.dat", product=False, note="cache folder without Zentrivo.* files"),
    Trace("service", SERVICE_NAME, product=False, note="the maker's suite service, " + SERVICE_EXE),
    Trace("line", SUITE_PRODUCTS, value="BACKUP=Vexars Backup", product=False,
          note="Vexars Backup's registration in the suite"),
    Trace("path", SUITE_DIR + "VexarLauncher.exe", product=False, note="the suite, still used by Vexars Backup"),
    Trace("path", TRAY_EXE, product=False, note="the common tray, still used by Vexars Backup"),
    Trace("path", TRAY_CONFIGS + "BACKUP.xml", product=False, note="Vexars Backup's tray configuration"),
    Trace("path", h.COMMON_APPDATA_DIR + "\\Vexars\\", product=False,
          note="maker's folder, holds the tray's configuration for Vexars Backup"),
    *[Trace("value", SHARED_DLLS, view=32, value=name, product=False,
            note="SharedDlls counter of a suite file, 3 before the run, 1 after") for name in SUITE_COUNTED],
    Trace("path", VICTIM_DIR + "accounts.xlsx", product=False, note="a user's file behind bob's link"),
    Trace("path", VICTIM_DIR + "Letters\\2024.docx", product=False, note="a user's file behind bob's link"),
]


def open_prefix(path: str) -> h.Prefix:
    prefix = h.Prefix(Path(path).resolve(), h.Config.from_env())
    if not prefix.drive_c.is_dir():
        raise SystemExit(f"{path} is not a booted prefix (tests/wine/prefix.sh create {path})")
    return prefix


def sc(prefix: h.Prefix, *args: str) -> h.Completed:
    result = prefix.run(["sc", *args], timeout=120)
    if result.exit_code != 0:
        raise h.HarnessError(f"sc {' '.join(args)} failed ({result.exit_code}): "
                             + result.stdout.decode(errors="replace"))
    return result


def service_state(prefix: h.Prefix) -> str:
    """The suite service's state as sc reports it (RUNNING, STOPPED...), or ""."""
    result = prefix.run(["sc", "query", SERVICE_NAME], timeout=120)
    found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", result.stdout.decode(errors="replace"))
    return found.group(1) if found else ""


def install_service(prefix: h.Prefix) -> None:
    source = prefix.config.test_service
    if not source.is_file():
        raise h.HarnessError(f"{source} does not exist; build the x64 tree (tools/build.sh)")
    prefix.plant_file(SERVICE_EXE, source.read_bytes())
    sc(prefix, "create", SERVICE_NAME, "binPath=", f'"{SERVICE_EXE}"',
       "DisplayName=", "Vexars Suite Service", "start=", "demand")
    sc(prefix, "start", SERVICE_NAME)


def plant(prefix: h.Prefix, submit_as: str = None) -> None:
    """Plants the traces and starts the programs, the service and the box
    answerer. The answerer declines to send the log, unless `submit_as` is
    given: then the suite holds no user address, and the answerer agrees and
    types that address into the prompt."""
    prefix.plant_registry(KEYS_64)
    prefix.plant_registry(KEYS_32, view=32)
    prefix.plant_paths(FILES if not submit_as else {**FILES, SUITE_CONFIG: "# no user registered\n"})
    prefix.plant_link(STORES["bob"].rstrip("\\"), VICTIM_DIR.rstrip("\\"))
    prefix.plant_file(SUITE_DIR + "Sulcora64.dll", prefix.config.helper("Sulcora64.dll").read_bytes())
    prefix.plant_helper("tray.exe", TRAY_EXE)
    install_service(prefix)
    prefix.start_sleepers([TRAY_EXE], cwd="C:\\")
    running = prefix.start_sleepers([RUNNING_DIR + name for name in RUNNING])
    watcher = prefix.watch_processes(p.pid for p in running)
    answerer = h.BoxAnswerer(prefix, {h.SUBMISSION_QUESTION_CAPTION: "IDYES" if submit_as else "IDNO"},
                             timeout=600, prompts=[f"ok:{submit_as}"] if submit_as else [])
    prefix.unix_path(STATE_FILE).write_text(json.dumps({
        "running": [p.__dict__ for p in running],
        "watch_file": watcher.out_win,
        "boxes_file": answerer.out_win,
    }, indent=1))


@dataclass
class Survey:
    """The planted machine after a run."""

    traces: list  # (Trace, still present)
    programs: list  # (ProcessInfo, still running, exit code or None)
    boxes: list  # Box
    service: str  # the suite service's state

    def problems(self) -> list:
        """What the run should have done and did not."""
        found = []
        for trace, present in self.traces:
            if present and not trace.expected:
                found.append(f"still there: {trace.label()}")
            elif not present and trace.expected:
                found.append(f"lost: {trace.label()}")
        found += [f"not ended with 255: {process.image} (exit code {code})"
                  for process, running, code in self.programs
                  if running or code != TERMINATED_EXIT_CODE]
        return found


TERMINATED_EXIT_CODE = 255


def survey(prefix: h.Prefix) -> Survey:
    state = json.loads(prefix.unix_path(STATE_FILE).read_text())
    watched = (prefix.read_bytes(state["watch_file"]) or b"").decode().split("\n")[1:]
    exit_codes = {int(pid): code for pid, _, code in (line.partition(" ") for line in watched if line)}
    alive = {(p.pid, p.image) for p in prefix.processes()}
    programs = []
    for process in (h.ProcessInfo(**p) for p in state["running"]):
        code = exit_codes.get(process.pid)
        programs.append((process, (process.pid, process.image) in alive,
                         int(code) if code and code != "gone" else None))
    boxes = [h._box_or_prompt(line) for line in
             (prefix.read_bytes(state["boxes_file"]) or b"").decode("utf-8").splitlines() if line]
    return Survey([(trace, trace.present(prefix)) for trace in TRACES], programs, boxes,
                  service_state(prefix))


def print_result_summary(prefix: h.Prefix) -> None:
    """The run's result file, as a deployment tool reads it."""
    data = prefix.read_bytes(f"{h.BACKUP_DIR}\\{h.RESULT_NAME}")
    if data is None:
        print("No result file.")
        return
    result = json.loads(data)
    counts = ", ".join(f"{n} {kind}" for kind, n in result["counts"].items())
    print(f"The result file {h.BACKUP_DIR}\\{h.RESULT_NAME}: completed {result['completed']}, {counts}, "
          f"restart needed {result['restart_needed']}, product left {result['product_left']}")
    for entry in result["kept"]:
        print(f"  kept    {entry['name']}  ({entry['reason']})")
    for entry in result["failed"]:
        print(f"  failed  {entry['name']}  (error {entry['error']})")


def report(prefix: h.Prefix) -> None:
    result = survey(prefix)

    def status(trace: Trace, present: bool) -> str:
        if trace.expected:
            return "kept" if present else "LOST"
        return "STILL THERE" if present else "removed"

    print("The product's traces:")
    for trace, present in result.traces:
        if trace.product and not trace.stays:
            print(f"  {status(trace, present):11}  {trace.label()}  ({trace.note})")
    print("The product's traces that this run keeps:")
    for trace, present in result.traces:
        if trace.product and trace.stays:
            note = trace.note + (f", {result.service.lower()}" if trace.kind == "service"
                                 and result.service else "")
            print(f"  {status(trace, present):11}  {trace.label()}  ({note}; {trace.stays})")
    print("Not the product's:")
    for trace, present in result.traces:
        if not trace.product:
            print(f"  {status(trace, present):11}  {trace.label()}  ({trace.note})")
    print("The product's running programs:")
    for process, running, code in result.programs:
        state = "STILL RUNS" if running else "ended"
        ending = "" if running else f", exit code {'unknown' if code is None else code}"
        print(f"  {state:11}  {process.image} (pid {process.pid}){ending}")
    for box in result.boxes:
        if isinstance(box, h.Prompt):
            print(f"Window {box.caption!r} ({box.window_class}), answered {box.answer}")
        else:
            print(f"Message box {box.caption!r}: {box.text!r}, answered {box.answer}")
    print_result_summary(prefix)
    problems = result.problems()
    print("Everything as expected." if not problems else
          "NOT as expected:\n" + "\n".join(f"  {p}" for p in problems))


# --------------------------------------------------------------------------
# Builders that the scenario modules share

MAKER_DIR_X86 = h.PROGRAM_FILES_X86_DIR + "\\Vexars\\"
INSTALL_DIR_X86 = MAKER_DIR_X86 + "Zentrivo\\"


def uninstall_entry(name: str = ENTRY, display: str = "Zentrivo", version: str = "2.1.5",
                    location: str = MAKER_DIR) -> dict:
    """An Uninstall entry; a value given as None is left out."""
    values = {"DisplayName": display, "Publisher": "Vexars", "DisplayVersion": version,
              "InstallLocation": location}
    return {f"{UNINSTALL}\\{name}": {k: v for k, v in values.items() if v is not None}}


def installed_product_keys(root: str, install_dir: str = INSTALL_DIR,
                           app_path: bool = True) -> dict:
    """The product's own keys under one hive, each with something in it."""
    keys = {
        f"{root}\\Software\\Vexars\\ZENQO": {"Language": "en"},
        f"{root}\\Software\\Vexars\\ZENQO\\Misc": {"AppPath": install_dir},
        f"{root}\\Software\\Vexars\\ZENQO\\Settings\\Scan": {"Level": 2},
        f"{root}\\Software\\Corvantis\\ZENQO\\5": {"Licence": "trial"},
        f"{root}\\Software\\Corvantis\\ZENQO\\5\\State": {"Runs": 7},
    }
    if app_path:
        keys[f"{root}\\{h.APP_PATHS_PATH}\\Zentrivo.exe"] = {"": install_dir + "Zentrivo.exe", "Path": install_dir}
    return keys


# The shared suite and the common tray of a scenario: the stand-in library
# with its product list, the tray, the suite service and their counters.
CONFIGS = h.COMMON_APPDATA_DIR + "\\Vexars\\Tray\\Configurations\\"
SUITE_CFG = h.COMMON_APPDATA_DIR + "\\Vexars\\Zentrivo\\suite.cfg"
SUITE_DATA = (h.COMMON_APPDATA_DIR + "\\Vexars\\Suite", h.COMMON_APPDATA_DIR + "\\Vexars\\Programs Bar",
              h.APPDATA_DIR + "\\Vexars\\Suite")
COMPONENTS = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components"
MACHINE_ID = "HKLM\\SOFTWARE\\Vexars\\MachineId"
TRAY_KEY = "HKLM\\Software\\Vexars\\Tray"
RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
PATH_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
PLANTED_ON_PATH = "C:\\planted"
LOADS = h.HARNESS_DIR + "\\sulcora_loads.txt"
RELEASES = h.HARNESS_DIR + "\\sulcora_releases.txt"
# A download folder, where the program is often started from.
DOWNLOADS_DIR = "C:\\Downloads"
TRAY_CALLS = h.HARNESS_DIR + "\\tray_calls.txt"
SERVICE_CALLS = h.HARNESS_DIR + "\\suite_service_calls.txt"
SUITE_OTHER_PRODUCT = "AAAAAAAABBBBCCCCDDDDEEEEEEEEEEEE"

# Counters of the suite's and the tray's files, and one of another vendor.
SUITE_COUNTED_FILES = (SUITE_DIR + "VexarLauncher.exe", SUITE_DIR + "bvhtml.dll", SUITE_DIR + "MachineId.exe")
TRAY_COUNTED = (TRAY_DIR + "bvhtml.dll", TRAY_DIR + "MsgSys.exe")
UNRELATED_COUNTED = "C:\\Program Files\\Other\\shared.dll"
# Installer components by key path: the suite's, the tray's, another's.
SUITE_COMPONENT = "0000000000000000000000000000005A"
TRAY_COMPONENT = "0000000000000000000000000000007A"
OTHER_COMPONENT = "0000000000000000000000000000009A"


@dataclass
class SuiteMachine:
    """What a scenario plants."""

    products: tuple = ("ZENQO=Zentrivo", "TOOLKIT=Toolkit")
    library: bool = True
    fail: str = ""
    service_answers: str = "/stop 1\n/uninstall 1\n"
    configs: tuple = ("tktray.xml", "ZENQO.xml")
    bvhtml: bool = True
    tray_ignores_quit: bool = False
    elsewhere: bool = False  # library copies in the current directory and on PATH
    skip_tray: bool = False
    beside_program: bool = False  # the program in DOWNLOADS_DIR with a library copy beside it
    bvhtml_loop: bool = False  # the tray's bvhtml.dll a link to itself: its check fails
    suite_cfg: str = SUITE_CFG  # where the product's suite configuration is
    tray_library: bool = False  # a copy of the library, with its product list, in the tray's folder
    service: bool = True  # the suite service and its program


def library_source(config: h.Config, bits: int) -> Path:
    if bits == 64:
        return config.helper("Sulcora64.dll")
    return config.helper_dir_x86 / "Sulcora.dll"


def library_name(bits: int) -> str:
    return "Sulcora64.dll" if bits == 64 else "Sulcora.dll"


def plant_suite_and_tray(prefix: h.Prefix, m: SuiteMachine, bits: int) -> None:
    library = library_source(prefix.config, bits).read_bytes()
    files = {
        SUITE_DIR + "VexarLauncher.exe": b"launcher",
        SUITE_DIR + "bvhtml.dll": b"html",
        SUITE_DIR + "Languages\\en.lng": b"english",
        SUITE_DIR + "products.txt": "".join(p + "\n" for p in m.products),
        m.suite_cfg: "name=alice\nsite=example.org\n",
        TRAY_DIR + "HTML\\gfx\\Icon_TKTRAY-UPD-ZENQO.png": b"png",
        TRAY_DIR + "HTML\\gfx\\Icon_TKTRAY-UPD-MILVA.png": b"png",
    }
    files.update({folder + "\\state.dat": b"data" for folder in SUITE_DATA})
    files.update({CONFIGS + name: "<tray/>" for name in m.configs})
    if m.library:
        files[SUITE_DIR + library_name(bits)] = library
    if m.fail:
        files[SUITE_DIR + "fail.txt"] = m.fail
    if m.bvhtml and not m.bvhtml_loop:
        files[TRAY_DIR + "bvhtml.dll"] = b"html"
    if m.beside_program:
        files[DOWNLOADS_DIR + "\\" + library_name(bits)] = library
    if m.tray_library:
        files[TRAY_DIR + library_name(bits)] = library
        files[TRAY_DIR + "products.txt"] = files[SUITE_DIR + "products.txt"]
    if m.elsewhere:
        files[h.DEFAULT_RUN_DIR + "\\" + library_name(bits)] = library
        files[PLANTED_ON_PATH + "\\" + library_name(bits)] = library
        path = prefix.read_key(PATH_KEY).get("PATH") or prefix.read_key(PATH_KEY).get("Path")
        prefix.plant_registry({PATH_KEY: {"PATH": h.ExpandSz(f"{PLANTED_ON_PATH};{path}")}})
    files[h.HARNESS_DIR + "\\suite_service_answers.txt"] = m.service_answers
    if m.tray_ignores_quit:
        files[h.HARNESS_DIR + "\\tray_ignores_quit"] = b""
    prefix.plant_paths(files)
    if m.bvhtml_loop:
        os.symlink("bvhtml.dll", prefix.unix_path(TRAY_DIR + "bvhtml.dll"))
    prefix.plant_registry({MACHINE_ID: {"Id": "42"}}, view=bits)
    prefix.plant_registry({TRAY_KEY: {"Version": "3.1"}, RUN_KEY: {"CorvantisTray": TRAY_EXE}}, view=32)
    prefix.plant_registry({
        f"{COMPONENTS}\\{SUITE_COMPONENT}\\{SUITE_OTHER_PRODUCT}": {},
        f"{COMPONENTS}\\{SUITE_COMPONENT}": {SUITE_OTHER_PRODUCT: SUITE_DIR + "VexarLauncher.exe"},
        f"{COMPONENTS}\\{TRAY_COMPONENT}": {SUITE_OTHER_PRODUCT: TRAY_DIR + "MsgSys.exe"},
        f"{COMPONENTS}\\{OTHER_COMPONENT}": {SUITE_OTHER_PRODUCT: UNRELATED_COUNTED},
    })
    counters = {name: h.Dword(3) for name in SUITE_COUNTED_FILES + TRAY_COUNTED + (UNRELATED_COUNTED,)}
    prefix.plant_registry({SHARED_DLLS: counters}, view=32)
    if m.service:
        install_service(prefix)
    prefix.plant_helper("tray.exe", TRAY_EXE)
    prefix.start_sleepers([TRAY_EXE], cwd="C:\\")


def main(argv: list) -> int:
    submit = len(argv) == 5 and argv[1] == "plant" and argv[3] == "--submit-as"
    if not (len(argv) == 3 and argv[1] in ("plant", "report")) and not submit:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    prefix = open_prefix(argv[2])
    if argv[1] == "plant":
        plant(prefix, argv[4] if submit else None)
    else:
        report(prefix)
    # The caller ends the wineserver and the programs left running.
    prefix.release_server()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
