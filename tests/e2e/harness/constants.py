"""Names and places that the whole harness shares: the program's fixed names,
the folders as Wine shows them, the helper programs, the log's prefix."""

from __future__ import annotations

import re
from pathlib import Path


REPO_ROOT = Path(__file__).resolve().parents[3]
PREFIX_SCRIPT = REPO_ROOT / "tests" / "wine" / "prefix.sh"

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
WINESERVER = "/usr/lib/wine/wineserver"
# What regedit /e prints (and exits 0) for a key that does not exist.
MISSING_KEY_MESSAGE = b"Unable to open the registry key"
# What Wine prints (exit code 1) when it could not start the program at all:
# nothing of the program ran, so starting it again is safe.
NOT_STARTED_MESSAGE = b"ShellExecuteEx failed"
# The environment variable through which a booted template is handed over.
TEMPLATE_VARIABLE = "ZENQO_E2E_TEMPLATE"

# The program's fixed names.
LOG_NAME = "ZENQORemover.log.txt"
PROGRAM_X64 = "ZENQORemover_x64.exe"
PROGRAM_X86 = "ZENQORemover.exe"

# Folders as Wine shows them to the programs (the 32-bit program sees
# "C:\Program Files (x86)" as its CSIDL_PROGRAM_FILES).
TEMP_DIR = r"C:\users\root\Temp"
PROFILE_DIR = r"C:\users\root"
APPDATA_DIR = r"C:\users\root\AppData\Roaming"
COMMON_APPDATA_DIR = r"C:\ProgramData"
PROGRAM_FILES_DIR = r"C:\Program Files"
PROGRAM_FILES_X86_DIR = r"C:\Program Files (x86)"
DESKTOP_DIR = r"C:\users\root\Desktop"
COMMON_DESKTOP_DIR = r"C:\users\Public\Desktop"
PROGRAMS_DIR = APPDATA_DIR + r"\Microsoft\Windows\Start Menu\Programs"
COMMON_PROGRAMS_DIR = COMMON_APPDATA_DIR + r"\Microsoft\Windows\Start Menu\Programs"
QUICK_LAUNCH_DIR = APPDATA_DIR + r"\Microsoft\Internet Explorer\Quick Launch"
# The folder that holds every user profile (the parent of PROFILE_DIR).
PROFILES_DIR = r"C:\users"
# The account Wine runs every program as; it also shows it as the owner of
# every file of its Unix user (and S-1-5-7, ANONYMOUS LOGON, for other Unix
# users' files), whatever a program sets.
USER_SID = "S-1-5-21-0-0-0-1000"
ANONYMOUS_SID = "S-1-5-7"

# Where the harness keeps its own files inside a prefix.
HARNESS_DIR = r"C:\e2e"
BIN_DIR = HARNESS_DIR + r"\bin"
SCRATCH_DIR = HARNESS_DIR + r"\tmp"
DEFAULT_RUN_DIR = r"C:\run"
# The helper programs (tests/e2e/helpers/), built into the helper folder.
HELPERS = ("box_answerer.exe", "show_box.exe", "sleeper.exe", "record_call.exe",
           "start_and_wait.exe", "process_list.exe", "reg_link.exe", "tray.exe", "set_string.exe",
           "msi_query.exe", "send_mail.exe", "file_security.exe", "Sulcora64.dll", "key_security.exe")
# record_call.exe appends here how it was started (the same path is built
# into the helper); outside every folder that the remover deletes.
CALLS_FILE = HARNESS_DIR + r"\calls.jsonl"

# The end-of-run question of the log submission. Every run
# answers it "No" unless the scenario says otherwise, so that no test ever
# tries to send mail.
SUBMISSION_QUESTION_CAPTION = "Brivona support"

# Values of HKCU\Software\Wine\AppDefaults\<exe>\Version that Wine 8 knows.
WINDOWS_VERSIONS = ("win31", "win95", "win98", "winme", "nt351", "nt40", "win2k", "winxp",
                    "winxp64", "win2003", "vista", "win2008", "win7", "win2008r2", "win8",
                    "win81", "win10")

ANSWERS = ("IDOK", "IDCANCEL", "IDABORT", "IDRETRY", "IDIGNORE", "IDYES", "IDNO",
           "IDTRYAGAIN", "IDCONTINUE", "NONE")

LOG_PREFIX_LENGTH = 23
LOG_PREFIX_RE = re.compile(r"\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} [# +!>@]  ")
SEPARATOR = "=" * 50
SHORT_SEPARATOR = "=" * 49
UTF8_BOM = b"\xef\xbb\xbf"


class HarnessError(Exception):
    """The harness itself could not do what a test asked (not a test failure)."""

# Where the run keeps its registry backup and result file: a folder that
# only Administrators and SYSTEM may change, created with this descriptor.
BACKUP_DIR = COMMON_APPDATA_DIR + r"\ZENQORemover\Backups"
# A registry backup's name in that folder.
BACKUP_NAME = re.compile(r"ZENQORemover\.backup-\d{8}-\d{6}\.reg")
RESULT_NAME = "ZENQORemover.result.json"
ADMINISTRATORS_ONLY_SDDL = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
