"""The texts that the program writes: start-up, the removal sequence, files and
folders."""

from __future__ import annotations

from typing import Iterable

from .checks import assert_absent, assert_ends_with, assert_in_order, assert_starts_with
from .constants import (
    COMMON_APPDATA_DIR, PROGRAM_FILES_DIR, SEPARATOR, SHORT_SEPARATOR,
    SUBMISSION_QUESTION_CAPTION)
from .logs import Log
from .wine import RemoverRun


def banner(display: str = "Zentrivo") -> str:
    return f"{display} force remover version 1.2.3.0"


def completed_ok(display: str = "Zentrivo") -> str:
    return f"{display} force remover version 1.2.3.0 completed OK."


def completed_abnormally(display: str = "Zentrivo") -> str:
    return f"{display} force remover version 1.2.3.0 completed abnormally."


def admin_check_lines(display: str = "Zentrivo") -> tuple:
    """IsRunAsAdministrator's lines for an administrator."""
    return (f"**** Check if {display} force remover runs as Administrator ****", "",
            SEPARATOR, "")


def start_of_log(os_line: str) -> list:
    """The banner, the OS line and the administrator check of a run that
    passes both gates."""
    return ["", banner(), "", os_line, "", *admin_check_lines()]


END_OF_LOG = [completed_ok(), "", "", ""]


def step_headers(bits: int = 64, folder: str = "Vexars", display: str = "Zentrivo",
                 skip_tray: bool = False) -> list:
    """(header, closing line) of the steps that write both, in order. The
    Installer-database and SharedDlls steps have none of the driver's own."""
    steps = [
        ("**** Close running application ****", SEPARATOR),
        ("**** Removing Scheduled Task  ****", SHORT_SEPARATOR),
        ("**** Deal with Toolkit 3.1.x ****", SEPARATOR),
        (f"**** Remove {folder}Tray ****", SEPARATOR),
        (f"**** Removing {display} Specific AppData folders ****", SHORT_SEPARATOR),
        ("**** Cleaning SOFTWARE registry ****", SEPARATOR),
        (f"**** Removing {display} shortcuts ****", SEPARATOR),
        ("**** Cleaning Win8 Shortcuts ****", SEPARATOR),
        ("**** Cleaning Program Files folder ****", SEPARATOR),
        ("**** Removing files from Virtual Store ****", SEPARATOR),
    ]
    if skip_tray:
        steps = [s for s in steps if "Tray ****" not in s[0]]
    return steps


def step_sequence(bits: int = 64, **kwargs) -> list:
    """Expected items for assert_in_order: each header with its empty line,
    then later its closing line with its empty line."""
    items = []
    for header, closing in step_headers(bits, **kwargs):
        items += [(header, ""), (closing, "")]
    return items


OLD_WINDOWS_TEXT = "This program can be launched on Windows 2000 or higher. Exiting ..."
OLD_WINDOWS_CAPTION = " force remover version 1.2.3.0"
LOG_FILE_FAILURE_TEXT = ("Unable to create log file. If you need log file make sure that you have "
                         "permission to write to directory where remove.exe is located")
LOG_FILE_FAILURE_CAPTION = "ZENQORemover.exe"


# -- the installed product: its keys, programs and the lines about them -------

UNINSTALL_PATH = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
APP_PATHS_PATH = r"Software\Microsoft\Windows\CurrentVersion\App Paths"
SHARED_DLLS_PATH = r"SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDlls"
DEFAULT_INSTALL_DIR = PROGRAM_FILES_DIR + "\\Vexars\\Zentrivo\\"
# The programs that the close step ends by name, in its order.
CLOSED_PROGRAMS = ("Zentrivo.exe", "Zentrivo64.exe", "MsgSys.exe", "UpDates.exe",
                   "VexarLauncher.exe")
ROOT_NAMES = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}


def removed_regkey(root: str, parent: str, name: str) -> str:
    return f"  Removed regkey '{ROOT_NAMES.get(root, root)}\\{parent}\\{name}'"


def failed_regkey(root: str, parent: str, name: str) -> str:
    return f"!  Failed to remove regkey '{ROOT_NAMES.get(root, root)}\\{parent}\\{name}' !"


def parent_not_found(root: str, parent: str, name: str) -> str:
    return f"!  Subkey {name} NOT removed as {ROOT_NAMES.get(root, root)}\\{parent} not FOUND !"


def removed_32bit_folder_key(folder: str = "Vexars") -> str:
    return f"  Removed regkey 'HKLM\\SOFTWARE\\Wow6432Node\\{folder}'"


def removed_32bit_shared_dll(install_dir: str, file_name: str) -> str:
    return ("  Removed regvalue 'HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion"
            f"\\SharedDlls\\{install_dir}{file_name}'")


def found_uninstall_entry(name: str) -> str:
    return f". Product information is found in the key HKLM\\{UNINSTALL_PATH}\\{name}"


def close_step_lines(install_dir: str, running: Iterable[str] = ()) -> tuple:
    """The close step from its header to its separator, given the programs
    of CLOSED_PROGRAMS that run."""
    running = {name.lower() for name in running}
    lines = ["**** Close running application ****", "", install_dir + "UI.exe"]
    for name in CLOSED_PROGRAMS:
        lines.append(f"Dealing with '{name}' process ....")
        lines.append(f"Process with name '{name}' is running, let us close it"
                     if name.lower() in running else
                     f"Process with name '{name}' is NOT running ...")
    return tuple(lines + [SEPARATOR, ""])


# -- files, folders and shortcuts: the lines about them ----------------------

INSTALLER_FOLDERS_PATH = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\Folders"
INSTALLSHIELD_DIR = PROGRAM_FILES_DIR + r"\InstallShield Installation Information"
# Below each profile: the VirtualStore copy of the maker's ProgramData folder.
VIRTUAL_STORE_COPY = r"AppData\Local\VirtualStore\ProgramData\Vexars"


def folder_removed(path: str) -> str:
    return f". Folder '{path}' was removed"


def folder_missing(path: str) -> str:
    return f"Folder to remove '{path}' does NOT EXIST !"


def folder_not_removed(path: str) -> str:
    return f"! Failed to remove folder '{path}' !"


def empty_folder_removed(path: str) -> str:
    return f"Removed empty folder '{path}' !"


def folder_not_empty(path: str) -> str:
    return f"Do NOT removing folder '{path}', as it is not empty !"


def file_removed(path: str) -> str:
    return f"   {path} removed"


def file_not_removed(path: str, error: int) -> str:
    return f"FAILED TO remove '{path}'; error {error} !"


def install_folder_removed(path: str) -> str:
    return f"Install Folder '{path}' was removed also."


def install_folder_kept(path: str) -> str:
    return f"Can't remove Install Folder '{path}' (not found, nonempty, or locked)."


def name_passed_over(name: str) -> str:
    return f"Passing over '{name}': its name cannot be converted exactly or is not a single name"


def would_not_dare(path: str) -> str:
    return f"Would not dare to remove '{path}' !"


def cache_folder_ignored(name: str, common_appdata: str = COMMON_APPDATA_DIR + "\\") -> str:
    """The line for a GUID-named ProgramData folder without the product's
    files: the folder ends with a backslash and the format adds one more."""
    return f"{common_appdata}\\{name} - ignore folder"


def virtual_store_count(n: int) -> str:
    return f"Number of removed files: {n}"


def link_left_in_place(link: str) -> str:
    """The error line of a tree removal that met a link it may not follow
    and could not remove alone (a link's removal under Wine always reaches
    its target, so the link stays)."""
    message = f'remove_all: a link is not followed and stays: "{link}"'
    return f"{message} exception: filesystem[{message}]"


def step_lines(log: Log, header: str) -> list:
    """The texts of one step: from its header to its closing separator, both
    included (the first separator after the header)."""
    __tracebackhide__ = True
    texts = log.texts
    if header not in texts:
        raise AssertionError(f"{log.name}: no step {header!r}\nentries:\n{log.excerpt()}")
    start = texts.index(header)
    for end in range(start + 1, len(texts)):
        if texts[end] in (SEPARATOR, SHORT_SEPARATOR):
            return texts[start:end + 1]
    raise AssertionError(f"{log.name}: step {header!r} is not closed\n"
                         + log.excerpt(around=start))


def assert_completed(run: RemoverRun) -> None:
    """The run went through every step and ended normally, with no box but
    the log submission question."""
    __tracebackhide__ = True
    assert run.exit_code == 0, run.describe()
    assert [b for b in run.boxes if b.caption != SUBMISSION_QUESTION_CAPTION] == [], run.describe()
    assert_in_order(run.cwd_log, step_sequence(run.bits))
    assert_ends_with(run.cwd_log, END_OF_LOG)


def assert_complete_run(run: RemoverRun, log: Log, os_line: str) -> None:
    """One output of a run (a log file or the console) that went through
    every step from the start."""
    __tracebackhide__ = True
    assert_starts_with(log, start_of_log(os_line))
    assert_in_order(log, step_sequence(run.bits), start=len(start_of_log(os_line)))
    assert_ends_with(log, END_OF_LOG)
    assert_absent(log, [completed_abnormally(), OLD_WINDOWS_TEXT])
