"""End-to-end harness: runs the remover under Wine in throw-away prefixes.

One booted template prefix per session is cloned for every scenario
(tests/wine/prefix.sh does both and keeps the prefixes away from the host).
A scenario plants what it needs (registry keys and values in either view,
files and folders, a Windows version for one program), runs the 64-bit or
32-bit program with a box answerer beside it, and asserts on the console
output, both log files, the message boxes, the exit code and the state left
in the prefix.

Environment variables (paths relative to the repository root):
  ZENQO_E2E_PROGRAM_X64   64-bit program   (build/x64/mailtest/ZENQORemover_x64.exe)
  ZENQO_E2E_PROGRAM_X86   32-bit program   (build/x86/mailtest/ZENQORemover.exe)
                          (the tests' builds, which mail 127.0.0.1)
  ZENQO_E2E_HELPER_DIR    helper programs  (build/x64/tests/e2e/helpers)
  ZENQO_E2E_HELPER_DIR_X86 32-bit helpers  (build/x86/tests/e2e/helpers)
  ZENQO_E2E_TEST_SERVICE  a small Windows service, for the demonstration machine
                          (build/x64/tests/test_service_x86_64.exe)
  ZENQO_E2E_WORK_DIR      prefixes and artifacts (build/e2e)
  ZENQO_E2E_TIMEOUT       time limit of one 64-bit run, seconds (120)
  ZENQO_E2E_TIMEOUT_X86   time limit of one 32-bit run, seconds (600)
  ZENQO_E2E_KEEP          1: keep every scenario prefix after its test
  ZENQO_E2E_REUSE_TEMPLATE 1: reuse a template prefix left by an earlier session
"""

from __future__ import annotations

import atexit
import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath
from typing import Iterable, Mapping, Sequence, Union

REPO_ROOT = Path(__file__).resolve().parents[2]
PREFIX_SCRIPT = REPO_ROOT / "tests" / "wine" / "prefix.sh"

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
WINESERVER = "/usr/lib/wine/wineserver"
# What regedit /e prints (and exits 0) for a key that does not exist.
MISSING_KEY_MESSAGE = b"Unable to open the registry key"

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

# Where the harness keeps its own files inside a prefix.
HARNESS_DIR = r"C:\e2e"
BIN_DIR = HARNESS_DIR + r"\bin"
SCRATCH_DIR = HARNESS_DIR + r"\tmp"
DEFAULT_RUN_DIR = r"C:\run"
# The helper programs (tests/e2e/helpers/), built into the helper folder.
HELPERS = ("box_answerer.exe", "show_box.exe", "sleeper.exe", "record_call.exe",
           "start_and_wait.exe", "process_list.exe", "reg_link.exe", "tray.exe", "set_string.exe",
           "msi_query.exe", "send_mail.exe", "Sulcora64.dll")
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


# --------------------------------------------------------------------------
# Configuration


def _env_path(name: str, default: str) -> Path:
    value = os.environ.get(name)
    path = Path(value) if value else Path(default)
    return path if path.is_absolute() else REPO_ROOT / path


def _env_float(name: str, default: float) -> float:
    value = os.environ.get(name)
    return float(value) if value else default


def _env_flag(name: str) -> bool:
    return os.environ.get(name, "") not in ("", "0", "no", "false")


@dataclass(frozen=True)
class Config:
    program_x64: Path
    program_x86: Path
    helper_dir: Path
    helper_dir_x86: Path
    test_service: Path
    work_dir: Path
    timeout_x64: float
    timeout_x86: float
    keep_prefixes: bool
    reuse_template: bool

    @classmethod
    def from_env(cls) -> "Config":
        return cls(
            program_x64=_env_path("ZENQO_E2E_PROGRAM_X64", "build/x64/mailtest/ZENQORemover_x64.exe"),
            program_x86=_env_path("ZENQO_E2E_PROGRAM_X86", "build/x86/mailtest/ZENQORemover.exe"),
            helper_dir=_env_path("ZENQO_E2E_HELPER_DIR", "build/x64/tests/e2e/helpers"),
            helper_dir_x86=_env_path("ZENQO_E2E_HELPER_DIR_X86", "build/x86/tests/e2e/helpers"),
            test_service=_env_path("ZENQO_E2E_TEST_SERVICE", "build/x64/tests/test_service_x86_64.exe"),
            work_dir=_env_path("ZENQO_E2E_WORK_DIR", "build/e2e"),
            timeout_x64=_env_float("ZENQO_E2E_TIMEOUT", 120.0),
            timeout_x86=_env_float("ZENQO_E2E_TIMEOUT_X86", 600.0),
            keep_prefixes=_env_flag("ZENQO_E2E_KEEP"),
            reuse_template=_env_flag("ZENQO_E2E_REUSE_TEMPLATE"),
        )

    def program(self, bits: int) -> Path:
        return self.program_x64 if bits == 64 else self.program_x86

    def timeout(self, bits: int) -> float:
        return self.timeout_x64 if bits == 64 else self.timeout_x86

    def helper(self, name: str) -> Path:
        return self.helper_dir / name


def wine_env(prefix_dir: Path) -> dict:
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER", "WINEDLLOVERRIDES"):
        env.pop(name, None)
    env.update(WINEPREFIX=str(prefix_dir), WINEARCH="win64", WINEDEBUG="-all",
               LANG="C.UTF-8", LC_ALL="C.UTF-8")
    return env


def wine32_works() -> bool:
    """Whether Wine's 32-bit loader starts here (natively or through qemu)."""
    try:
        return subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=120).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


# --------------------------------------------------------------------------
# Wineservers: every one the harness starts is ended, even on failure.

_live_servers: set = set()


def kill_server(prefix_dir: Path) -> None:
    env = wine_env(prefix_dir)
    subprocess.run(["bash", str(PREFIX_SCRIPT), "kill", str(prefix_dir)], env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    try:
        # -w returns when the server has gone (at once when none runs).
        subprocess.run([WINESERVER, "-w"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except subprocess.TimeoutExpired:
        subprocess.run([WINESERVER, "-k9"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    _live_servers.discard(str(prefix_dir))


@atexit.register
def _kill_all_servers() -> None:
    for prefix_dir in list(_live_servers):
        try:
            kill_server(Path(prefix_dir))
        except Exception:  # noqa: BLE001 - best effort at interpreter exit
            pass


# --------------------------------------------------------------------------
# Registry values and .reg files


class ExpandSz(str):
    """A REG_EXPAND_SZ value."""


class MultiSz(list):
    """A REG_MULTI_SZ value: a list of strings."""


class Qword(int):
    """A REG_QWORD value."""


class Dword(int):
    """A REG_DWORD value (a plain int is one too)."""


@dataclass(frozen=True)
class RawValue:
    """A value of any other type, given as its type number and bytes."""

    type: int
    data: bytes


DELETE = None  # as a value: delete that value


class _Folder:
    def __repr__(self) -> str:
        return "FOLDER"


FOLDER = _Folder()  # in Prefix.plant_paths and Prefix.tree: a folder

RegValue = Union[str, int, bytes, list, RawValue, None]

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11

_ROOTS = {
    "HKLM": "HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE": "HKEY_LOCAL_MACHINE",
    "HKCU": "HKEY_CURRENT_USER", "HKEY_CURRENT_USER": "HKEY_CURRENT_USER",
    "HKCR": "HKEY_CLASSES_ROOT", "HKEY_CLASSES_ROOT": "HKEY_CLASSES_ROOT",
    "HKU": "HKEY_USERS", "HKEY_USERS": "HKEY_USERS",
}


def full_key(path: str) -> str:
    """The key path with its root spelled out (HKLM\\x -> HKEY_LOCAL_MACHINE\\x)."""
    root, _, rest = path.strip("\\").partition("\\")
    try:
        root = _ROOTS[root.upper()]
    except KeyError:
        raise HarnessError(f"unknown registry root in {path!r}") from None
    return f"{root}\\{rest}" if rest else root


def view_key(path: str, view: int) -> str:
    """The key that a program of the given bitness reaches as `path` under
    HKLM\\Software: the 32-bit view lives below Software\\Wow6432Node."""
    path = full_key(path)
    if view == 64:
        return path
    if view != 32:
        raise HarnessError(f"registry view must be 32 or 64, not {view}")
    parts = path.split("\\")
    if len(parts) < 2 or parts[0] != "HKEY_LOCAL_MACHINE" or parts[1].lower() != "software":
        raise HarnessError(f"only HKLM\\Software has a 32-bit view, not {path!r}")
    if len(parts) > 2 and parts[2].lower() == "wow6432node":
        return path
    return "\\".join(parts[:2] + ["Wow6432Node"] + parts[2:])


def _hex_lines(prefix: str, data: bytes) -> str:
    return prefix + ",".join(f"{b:02x}" for b in data)


def _reg_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_value_line(name: str, value: RegValue) -> str:
    """One value line of a version 5 .reg file."""
    lhs = "@" if name == "" else _reg_string(name)
    if value is None:
        return f"{lhs}=-"
    if isinstance(value, RawValue):
        return f"{lhs}=" + _hex_lines(f"hex({value.type:x}):", value.data)
    if isinstance(value, ExpandSz):
        return f"{lhs}=" + _hex_lines("hex(2):", (value + "\0").encode("utf-16-le"))
    if isinstance(value, str):
        if "\n" in value or "\r" in value or "\0" in value:
            return f"{lhs}=" + _hex_lines("hex(1):", (value + "\0").encode("utf-16-le"))
        return f"{lhs}={_reg_string(value)}"
    if isinstance(value, Qword):
        return f"{lhs}=" + _hex_lines("hex(b):", int(value).to_bytes(8, "little"))
    if isinstance(value, bool):
        raise HarnessError(f"value {name!r}: use an int, not a bool")
    if isinstance(value, int):
        return f"{lhs}=dword:{value & 0xFFFFFFFF:08x}"
    if isinstance(value, (bytes, bytearray)):
        return f"{lhs}=" + _hex_lines("hex:", bytes(value))
    if isinstance(value, list):
        data = "".join(s + "\0" for s in value) + "\0"
        return f"{lhs}=" + _hex_lines("hex(7):", data.encode("utf-16-le"))
    raise HarnessError(f"value {name!r}: unsupported type {type(value).__name__}")


KeySpec = Mapping[str, Union[Mapping[str, RegValue], None]]


def reg_file_text(keys: KeySpec, view: int = 64) -> str:
    """A .reg file that creates each key with its values; a key mapped to
    None is deleted with its subkeys instead."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for path, values in keys.items():
        key = view_key(path, view)
        if values is None:
            lines += [f"[-{key}]", ""]
            continue
        lines.append(f"[{key}]")
        lines += [reg_value_line(name, value) for name, value in values.items()]
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def _parse_reg_string(text: str, pos: int) -> tuple:
    """Parses a quoted .reg string starting at text[pos] == '"'."""
    out = []
    pos += 1
    while pos < len(text):
        c = text[pos]
        if c == "\\" and pos + 1 < len(text):
            nxt = text[pos + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0"}.get(nxt, nxt))
            pos += 2
        elif c == '"':
            return "".join(out), pos + 1
        else:
            out.append(c)
            pos += 1
    raise HarnessError(f"unterminated string in .reg line {text!r}")


def _decode_value(kind: str, data: str) -> RegValue:
    if kind == "dword":
        return int(data, 16)
    m = re.fullmatch(r"hex(?:\(([0-9a-fA-F]+)\))?", kind)
    if not m:
        raise HarnessError(f"unknown .reg value type {kind!r}")
    type_number = int(m.group(1), 16) if m.group(1) else REG_BINARY
    raw = bytes(int(b, 16) for b in data.replace(" ", "").split(",") if b)
    if type_number == REG_BINARY:
        return raw
    if type_number in (REG_SZ, REG_EXPAND_SZ):
        text = raw.decode("utf-16-le")
        text = text[:-1] if text.endswith("\0") else text
        return ExpandSz(text) if type_number == REG_EXPAND_SZ else text
    if type_number == REG_MULTI_SZ:
        text = raw.decode("utf-16-le").rstrip("\0")
        return MultiSz(text.split("\0") if text else [])
    if type_number == REG_QWORD and len(raw) == 8:
        return Qword(int.from_bytes(raw, "little"))
    if type_number == REG_DWORD and len(raw) == 4:
        return int.from_bytes(raw, "little")
    return RawValue(type_number, raw)


def parse_reg_file(text: str) -> dict:
    """Parses an exported .reg file into {key path: {value name: value}}.
    Value types come back as written by reg_value_line."""
    text = text.lstrip("\ufeff").replace("\r\n", "\n")
    text = re.sub(r"\\\n\s*", "", text)  # continuation lines of hex data
    keys: dict = {}
    current = None
    for line in text.split("\n"):
        if not line.strip() or line.startswith(("Windows Registry Editor", "REGEDIT4", ";")):
            continue
        if line.startswith("[") and line.rstrip().endswith("]"):
            current = keys.setdefault(line.strip()[1:-1], {})
            continue
        if current is None:
            raise HarnessError(f"value outside a key in .reg text: {line!r}")
        if line.startswith("@="):
            name, pos = "", 1
        elif line.startswith('"'):
            name, pos = _parse_reg_string(line, 0)
        else:
            raise HarnessError(f"cannot parse .reg line {line!r}")
        if line[pos] != "=":
            raise HarnessError(f"cannot parse .reg line {line!r}")
        rhs = line[pos + 1:]
        if rhs.startswith('"'):
            current[name], _ = _parse_reg_string(rhs, 0)
        else:
            kind, _, data = rhs.partition(":")
            current[name] = _decode_value(kind, data)
    return keys


class RegistrySnapshot:
    """Keys and values exported from a prefix. Key paths and value names are
    compared case-insensitively, as Windows does."""

    def __init__(self, keys: Mapping[str, Mapping[str, RegValue]]):
        self._keys = {k.lower(): (k, dict(v)) for k, v in keys.items()}

    def __contains__(self, path: str) -> bool:
        return self.has_key(path)

    def has_key(self, path: str, view: int = 64) -> bool:
        return view_key(path, view).lower() in self._keys

    def values(self, path: str, view: int = 64) -> dict:
        """{name: value} of the key; raises KeyError when the key is missing."""
        return dict(self._keys[view_key(path, view).lower()][1])

    def value(self, path: str, name: str, view: int = 64) -> RegValue:
        """The value; raises KeyError when the key or the value is missing."""
        for value_name, value in self.values(path, view).items():
            if value_name.lower() == name.lower():
                return value
        raise KeyError(f"{path}\\{name}")

    def subkeys(self, path: str, view: int = 64) -> list:
        """Names of the direct subkeys of the key, in export order."""
        base = view_key(path, view).lower() + "\\"
        return [original.split("\\")[-1] for lower, (original, _) in self._keys.items()
                if lower.startswith(base) and "\\" not in lower[len(base):]]

    def key_paths(self) -> list:
        return [original for original, _ in self._keys.values()]


# --------------------------------------------------------------------------
# Log files and console output


@dataclass(frozen=True)
class LogEntry:
    line_number: int  # 1-based, of the first physical line
    prefix: str
    text: str

    @property
    def marker(self) -> str:
        return self.prefix[20] if self.prefix else ""


@dataclass
class Log:
    """One output of the program: a log file or the console. Entries are the
    messages after their 23-character prefix; a message containing a line
    break is one entry."""

    name: str
    raw: bytes
    entries: list
    bad_lines: list  # (line number, text) of records without the prefix
    has_bom: bool
    ends_with_newline: bool

    @property
    def texts(self) -> list:
        return [e.text for e in self.entries]

    def __repr__(self) -> str:
        return f"<Log {self.name}: {len(self.entries)} entries>"

    @classmethod
    def from_file_bytes(cls, name: str, raw: bytes) -> "Log":
        """A log file: UTF-8, optional byte order mark, records ending with CR LF."""
        has_bom = raw.startswith(UTF8_BOM)
        text = raw[len(UTF8_BOM):].decode("utf-8", errors="replace") if has_bom else \
            raw.decode("utf-8", errors="replace")
        records = text.split("\r\n")
        ends_with_newline = records[-1] == ""
        if ends_with_newline:
            records.pop()
        entries, bad = [], []
        line_number = 1
        for record in records:
            if LOG_PREFIX_RE.match(record):
                entries.append(LogEntry(line_number, record[:LOG_PREFIX_LENGTH],
                                        record[LOG_PREFIX_LENGTH:]))
            else:
                bad.append((line_number, record))
            line_number += record.count("\n") + 1
        return cls(name, raw, entries, bad, has_bom, ends_with_newline or not records)

    @classmethod
    def from_console_bytes(cls, name: str, raw: bytes, codepage: str = "cp437") -> "Log":
        """Console output: OEM code page; the runtime turns every line feed
        into CR LF, so a line without the prefix continues the message before."""
        text = raw.decode(codepage, errors="replace").replace("\r\n", "\n")
        lines = text.split("\n")
        ends_with_newline = lines[-1] == ""
        if ends_with_newline:
            lines.pop()
        entries, bad = [], []
        for number, line in enumerate(lines, start=1):
            if LOG_PREFIX_RE.match(line):
                entries.append(LogEntry(number, line[:LOG_PREFIX_LENGTH], line[LOG_PREFIX_LENGTH:]))
            elif entries:
                last = entries[-1]
                entries[-1] = LogEntry(last.line_number, last.prefix, last.text + "\n" + line)
            else:
                bad.append((number, line))
        return cls(name, raw, entries, bad, raw.startswith(UTF8_BOM), ends_with_newline)

    def excerpt(self, around: int = None, limit: int = 120) -> str:
        """The entries with their indices, for failure messages."""
        shown = list(enumerate(self.entries))
        if len(shown) > limit:
            start = 0 if around is None else max(0, min(around - limit // 2, len(shown) - limit))
            shown = shown[start:start + limit]
        return "\n".join(f"  [{i:3}] {e.prefix}{e.text!r}" for i, e in shown) or "  (no entries)"


# --------------------------------------------------------------------------
# Message boxes


@dataclass(frozen=True)
class Box:
    caption: str
    text: str
    buttons: tuple
    icon: bool
    answer: str
    ms: int

    @classmethod
    def from_json(cls, line: str) -> "Box":
        d = json.loads(line)
        return cls(d["caption"], d["text"], tuple(d["buttons"]), d["icon"], d["answer"], d["ms"])


@dataclass(frozen=True)
class Prompt:
    """One e-mail prompt window as box_answerer.exe saw it: the frame in
    screen coordinates, each control (a dict of id, class, text, x, y, w, h,
    style) in the frame's client coordinates, and how it was answered."""

    caption: str
    window_class: str
    frame: tuple  # x, y, w, h
    style: int
    exstyle: int
    screen: tuple  # width, height
    controls: tuple
    answer: str
    ms: int

    @classmethod
    def from_json(cls, d: dict) -> "Prompt":
        p = d["prompt"]
        return cls(p["text"], p["class"], (p["x"], p["y"], p["w"], p["h"]), p["style"],
                   p["exstyle"], tuple(p["screen"]), tuple(p["controls"]), d["answer"], d["ms"])


def _box_or_prompt(line: str):
    d = json.loads(line)
    return Prompt.from_json(d) if "prompt" in d else Box.from_json(line)


IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO = 1, 2, 3, 4, 5, 6, 7


class BoxAnswerer:
    """box_answerer.exe running in a prefix until stopped; `boxes` holds what it
    saw, in order: a Box for each message box, a Prompt for each e-mail prompt.
    `prompts` answers the e-mail prompts in turn: "ok:TEXT", "cancel",
    "close" or "none"; prompts beyond them are cancelled."""

    def __init__(self, prefix: "Prefix", rules: Mapping[str, str] = None,
                 default: str = "IDOK", timeout: float = 600.0, prompts: Sequence[str] = ()):
        rules = dict(rules or {})
        for answer in list(rules.values()) + [default]:
            if answer not in ANSWERS:
                raise HarnessError(f"unknown answer {answer!r}; use one of {ANSWERS}")
        self.prefix = prefix
        n = prefix.next_serial()
        self.out_win = f"{SCRATCH_DIR}\\boxes_{n}.jsonl"
        self.stop_win = f"{SCRATCH_DIR}\\stop_{n}"
        _, self._stderr = prefix.scratch(f"box_answerer_{n}.err")
        exe = prefix.install(prefix.config.helper("box_answerer.exe"))
        args = [exe, "--out", self.out_win, "--stop-file", self.stop_win,
                "--timeout", str(timeout), "--default", default]
        args += [f"{caption}={answer}" for caption, answer in rules.items()]
        for action in prompts:
            args += ["--prompt", action]
        self.boxes: list = []
        with open(self._stderr, "wb") as err:
            self._process = prefix.popen(args, bits=64, stdout=err, stderr=err)
        self._wait_for_output_file()

    def _wait_for_output_file(self) -> None:
        out = self.prefix.unix_path(self.out_win)
        deadline = time.monotonic() + 60
        while not out.exists():
            if self._process.poll() is not None or time.monotonic() > deadline:
                self._process.kill()
                raise HarnessError("box_answerer did not start: "
                                   + self._stderr.read_text(errors="replace"))
            time.sleep(0.02)

    def stop(self) -> list:
        """Stops the answerer and returns the boxes it recorded."""
        if self._process.poll() is None:
            self.prefix.unix_path(self.stop_win).touch()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self.boxes = self.read()
        return self.boxes

    def read(self) -> list:
        out = self.prefix.unix_path(self.out_win)
        text = out.read_text(encoding="utf-8") if out.exists() else ""
        return [_box_or_prompt(line) for line in text.splitlines() if line.strip()]

    def __enter__(self) -> "BoxAnswerer":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


# --------------------------------------------------------------------------
# Processes and started programs


@dataclass(frozen=True)
class ProcessInfo:
    """One entry of process_list.exe: as Toolhelp shows it, with the image
    path ("" when the process could not be queried)."""

    pid: int
    ppid: int
    exe: str
    image: str

    @classmethod
    def from_json(cls, line: str) -> "ProcessInfo":
        d = json.loads(line)
        return cls(d["pid"], d["ppid"], d["exe"], d["image"])


@dataclass(frozen=True)
class Call:
    """One start of record_call.exe: its own path, its arguments as the
    program parsed them, the raw command line and its current directory."""

    exe: str
    args: tuple
    cmdline: str
    cwd: str
    pid: int
    created: int  # creation time of the process, 100 ns units

    @classmethod
    def from_json(cls, line: str) -> "Call":
        d = json.loads(line)
        return cls(d["exe"], tuple(d["args"]), d["cmdline"], d["cwd"], d["pid"], d["created"])

    @property
    def name(self) -> str:
        return PureWindowsPath(self.exe).name


class ProcessWatcher:
    """process_list.exe --watch for some processes of a prefix: it holds a
    handle to each and records its exit code when it ends (Unix exit
    statuses say nothing under Wine)."""

    def __init__(self, prefix: "Prefix", pids: Iterable[int], timeout: float = 600.0):
        self.prefix = prefix
        self.pids = sorted(set(pids))
        n = prefix.next_serial()
        self.out_win = f"{SCRATCH_DIR}\\watch_{n}.txt"
        self.stop_win = f"{SCRATCH_DIR}\\watch_stop_{n}"
        prefix.scratch(f"watch_{n}.txt")
        exe = prefix.install(prefix.config.helper("process_list.exe"))
        self._process = prefix.start_program(
            [exe, "--watch", self.out_win, "--stop-file", self.stop_win,
             "--timeout", str(timeout), *map(str, self.pids)])
        deadline = time.monotonic() + 60
        while not self._lines() or self._lines()[0] != "watching":
            if self._process.poll() is not None or time.monotonic() > deadline:
                raise HarnessError("process_list.exe --watch did not start")
            time.sleep(0.05)

    def _lines(self) -> list:
        raw = self.prefix.read_bytes(self.out_win)
        return [] if raw is None else raw.decode().split("\n")[:-1]

    def ended(self) -> dict:
        """{pid: exit code} of the watched processes that have ended so far
        (None for one that was gone before the watch began)."""
        result = {}
        for line in self._lines()[1:]:
            pid, _, code = line.partition(" ")
            result[int(pid)] = None if code == "gone" else int(code)
        return result

    def wait(self, pids: Iterable[int], timeout: float = 10) -> dict:
        """ended(), once all of `pids` have ended or the time is up."""
        pids = set(pids)
        deadline = time.monotonic() + timeout
        ended = self.ended()
        while not pids <= ended.keys() and time.monotonic() < deadline:
            time.sleep(0.1)
            ended = self.ended()
        return ended

    def stop(self) -> dict:
        self.prefix.unix_path(self.stop_win).touch()
        with contextlib.suppress(subprocess.TimeoutExpired):
            self._process.wait(timeout=10)
        return self.ended()


# --------------------------------------------------------------------------
# Prefixes


@dataclass
class Completed:
    """A finished Wine process."""

    args: list
    exit_code: int  # None when the time limit ended it
    stdout: bytes
    stderr: bytes
    duration: float

    @property
    def timed_out(self) -> bool:
        return self.exit_code is None

    def __repr__(self) -> str:
        return f"<Completed {self.args[:1]}: exit {self.exit_code}, {self.duration:.1f} s>"


def _run_prefix_script(*args: str, timeout: float = 600) -> None:
    # Output through a file: a wineserver started meanwhile must not hold a pipe.
    with tempfile.TemporaryFile() as output:
        result = subprocess.run(["bash", str(PREFIX_SCRIPT), *args], stdin=subprocess.DEVNULL,
                                stdout=output, stderr=subprocess.STDOUT, timeout=timeout)
        if result.returncode != 0:
            output.seek(0)
            raise HarnessError(f"prefix.sh {' '.join(args)} failed ({result.returncode}):\n"
                               + output.read().decode(errors="replace"))


class Template:
    """The booted prefix that every scenario starts from."""

    STAMP = ".e2e-template-ok"

    def __init__(self, path: Path):
        self.path = path

    @classmethod
    def create(cls, path: Path, reuse: bool = False) -> "Template":
        if reuse and (path / cls.STAMP).exists():
            _run_prefix_script("check", str(path))
            return cls(path)
        _run_prefix_script("create", str(path))
        (path / cls.STAMP).write_text("booted by tests/e2e/harness.py\n")
        return cls(path)

    @property
    def has_wow64(self) -> bool:
        return (self.path / "drive_c" / "windows" / "syswow64" / "kernel32.dll").exists()

    def clone(self, path: Path, config: Config) -> "Prefix":
        path.parent.mkdir(parents=True, exist_ok=True)
        _run_prefix_script("clone", str(self.path), str(path))
        return Prefix(path, config)


class Prefix:
    """A cloned prefix for one scenario. Its wineserver runs from the first
    Wine command until close()."""

    def __init__(self, path: Path, config: Config):
        self.path = path
        self.config = config
        self.drive_c = path / "drive_c"
        self._serial = 0
        self._server_started = False
        self.runs: list = []  # every RemoverRun, for the artifacts
        self._background: list = []  # Popen objects of start_program, reaped by close()

    # -- paths ------------------------------------------------------------

    def unix_path(self, win_path: str) -> Path:
        """The Linux path of a C: path inside this prefix."""
        p = PureWindowsPath(win_path)
        if p.drive.upper() != "C:" or not p.root:
            raise HarnessError(f"expected an absolute C: path, not {win_path!r}")
        return self.drive_c.joinpath(*p.parts[1:])

    def win_path(self, unix_path: Path) -> str:
        rel = Path(unix_path).resolve().relative_to(self.drive_c.resolve())
        return "C:\\" + "\\".join(rel.parts)

    def next_serial(self) -> int:
        self._serial += 1
        return self._serial

    # -- processes ----------------------------------------------------------

    def env(self) -> dict:
        return wine_env(self.path)

    def start_server(self) -> None:
        """Starts the prefix's wineserver, persistent and detached from our
        pipes: a server that inherits a pipe keeps it open and hangs readers."""
        if self._server_started:
            return
        _live_servers.add(str(self.path))
        subprocess.run([WINESERVER, "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self._server_started = True

    def close(self) -> None:
        """Ends the wineserver and every process of the prefix."""
        kill_server(self.path)
        self._server_started = False
        for process in self._background:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self._background.clear()

    def release_server(self) -> None:
        """Leaves the wineserver and the programs started in the background
        running when this Python process ends: whoever called us ends them
        (prefix.sh kill). For scripts that prepare a prefix for a later run."""
        _live_servers.discard(str(self.path))
        self._background.clear()

    def _loader(self, bits: int) -> str:
        if bits not in (32, 64):
            raise HarnessError(f"bits must be 32 or 64, not {bits}")
        return WINE64 if bits == 64 else WINE32

    def popen(self, args: Sequence[str], bits: int = 64, cwd: str = None, **kwargs):
        self.start_server()
        cwd_unix = self.unix_path(cwd) if cwd else self.drive_c
        return subprocess.Popen([self._loader(bits), *args], env=self.env(), cwd=cwd_unix,
                                stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)

    def run(self, args: Sequence[str], bits: int = 64, cwd: str = None,
            timeout: float = 120) -> Completed:
        """Runs a Windows program and waits for it. Output goes through files,
        never pipes, so a process left behind cannot hang the harness. On the
        time limit the whole prefix is ended and exit_code is None."""
        n = self.next_serial()
        out_path = self.path / f"e2e-run-{n}.out"
        err_path = self.path / f"e2e-run-{n}.err"
        start = time.monotonic()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = self.popen(args, bits=bits, cwd=cwd, stdout=out, stderr=err)
            try:
                exit_code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                exit_code = None
                self.close()
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
        duration = time.monotonic() - start
        stdout, stderr = out_path.read_bytes(), err_path.read_bytes()
        out_path.unlink()
        err_path.unlink()
        return Completed(list(args), exit_code, stdout, stderr, duration)

    def _query(self, args: Sequence[str], answered, timeout: float = 120, attempts: int = 3) -> Completed:
        """Runs a program whose work can be repeated (a read, an import),
        again when it gave no answer: on a loaded machine, and as the first
        program of a fresh prefix, Wine now and then fails to start a program
        (exit code 1, no output, since WINEDEBUG is off), which must neither
        read as "the key is missing" nor fail a scenario."""
        for attempt in range(1, attempts + 1):
            result = self.run(args, timeout=timeout)
            if answered(result):
                return result
            print(f"harness: {args[0]} gave no answer (exit code {result.exit_code}, "
                  f"attempt {attempt} of {attempts})", file=sys.stderr)
            time.sleep(1)
        raise HarnessError(f"{args[0]} failed {attempts} times ({result.exit_code}): "
                           + (result.stdout + result.stderr).decode(errors="replace"))

    def install(self, source: Path, win_dir: str = BIN_DIR) -> str:
        """Copies a program into the prefix (again when it changed) and
        returns its Windows path."""
        source = Path(source)
        if not source.is_file():
            raise HarnessError(f"{source} does not exist; build it first (see tests/e2e/README)")
        target = self.unix_path(f"{win_dir}\\{source.name}")
        if not target.exists() or target.read_bytes() != source.read_bytes():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)
        return f"{win_dir}\\{source.name}"

    def plant_helper(self, helper: str, win_path: str) -> str:
        """Copies a helper program (e.g. "sleeper.exe") to win_path, under
        whatever name that gives it, and returns win_path."""
        source = self.config.helper(helper)
        if not source.is_file():
            raise HarnessError(f"{source} does not exist; build it first (see tests/e2e/README)")
        self.plant_file(win_path, source.read_bytes())
        return win_path

    def start_program(self, args: Sequence[str], bits: int = 64, cwd: str = None):
        """Starts a Windows program in the background and returns its Popen;
        close() ends it with the prefix. Its output is discarded: a program
        left running must not hold a pipe of ours."""
        process = self.popen(args, bits=bits, cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self._background.append(process)
        return process

    # -- processes of the prefix -------------------------------------------

    def processes(self) -> list:
        """Every process of the prefix, from a Toolhelp snapshot as the
        remover takes one (process_list.exe itself included)."""
        lister = self.install(self.config.helper("process_list.exe"))
        result = self._query([lister], timeout=60, answered=lambda r: r.exit_code == 0)
        return [ProcessInfo.from_json(line)
                for line in result.stdout.decode("utf-8").splitlines() if line.strip()]

    def start_sleepers(self, win_paths: Sequence[str], timeout: float = 60, cwd: str = None) -> list:
        """Plants sleeper.exe at each path (a path given twice runs twice)
        and starts them all, in `cwd` if given (a folder that is a process's
        current directory cannot be removed); returns their ProcessInfo,
        ordered by pid, once the process list shows every one of them."""
        wanted: dict = {}
        for path in win_paths:
            wanted[path.lower()] = wanted.get(path.lower(), 0) + 1
            if not self.exists(path):
                self.plant_helper("sleeper.exe", path)
        for path in win_paths:
            self.start_program([path], cwd=cwd)
        deadline = time.monotonic() + timeout
        while True:
            mine = [p for p in self.processes() if p.image.lower() in wanted]
            counts = {path: sum(1 for p in mine if p.image.lower() == path) for path in wanted}
            if counts == wanted:
                return sorted(mine, key=lambda p: p.pid)
            if time.monotonic() > deadline:
                raise HarnessError(f"sleepers did not all start: expected {wanted}, running {counts}")
            time.sleep(0.2)

    def watch_processes(self, pids: Iterable[int]) -> "ProcessWatcher":
        """Records the exit code of each process as it ends (see ProcessWatcher)."""
        return ProcessWatcher(self, pids)

    # -- programs that the remover starts -------------------------------------

    def calls(self) -> list:
        """What every record_call.exe of the prefix has recorded, in the order
        in which the programs were started."""
        raw = self.read_bytes(CALLS_FILE)
        if raw is None:
            return []
        # A line is written whole; a line still without its end is skipped.
        calls = [Call.from_json(line) for line in raw.decode("utf-8").split("\n")[:-1]
                 if line.strip()]
        return sorted(calls, key=lambda c: c.created)

    def wait_for_calls(self, count: int, timeout: float = 30) -> list:
        """The recorded calls once there are at least `count` of them, or
        what there is when the time is up (the programs start without the
        remover waiting for them). Waits a moment longer for late extra calls
        so that a test also sees calls that should not have been made."""
        deadline = time.monotonic() + timeout
        calls = self.calls()
        while len(calls) < count and time.monotonic() < deadline:
            time.sleep(0.1)
            calls = self.calls()
        time.sleep(0.5)
        return self.calls()

    # -- registry -----------------------------------------------------------

    def scratch(self, name: str) -> tuple:
        """(Windows path, Linux path) of a file in the harness's scratch folder."""
        win = f"{SCRATCH_DIR}\\{name}"
        unix = self.unix_path(win)
        unix.parent.mkdir(parents=True, exist_ok=True)
        return win, unix

    def import_reg(self, text: str) -> None:
        """Imports .reg text with regedit /s."""
        win, unix = self.scratch(f"plant_{self.next_serial()}.reg")
        unix.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
        self._query(["regedit", "/s", win], timeout=120, answered=lambda r: r.exit_code == 0)

    def plant_registry(self, keys: KeySpec, view: int = 64) -> None:
        """Creates keys with their values, e.g.
        plant_registry({r"HKLM\\Software\\Vexars\\ZENQO\\Misc": {"AppPath": r"C:\\x\\"}}).
        Values: str REG_SZ, int REG_DWORD, bytes REG_BINARY, list REG_MULTI_SZ,
        ExpandSz, Qword, RawValue; None deletes the value. A key mapped to None
        is deleted with its subkeys. view=32 puts HKLM\\Software keys below
        Wow6432Node, where the 32-bit view lives."""
        self.import_reg(reg_file_text(keys, view))

    def plant_registry_link(self, link: str, target: str) -> None:
        """A registry link HKLM\\<link> whose target is the kernel name
        `target` (e.g. \\Registry\\Machine\\Software\\VictimVendor); regedit
        cannot make one, so reg_link.exe does."""
        helper = self.install(self.config.helper("reg_link.exe"))
        completed = self.run([helper, "HKLM", link, target])
        if completed.exit_code != 0:
            raise HarnessError(f"reg_link.exe failed with {completed.exit_code}: {completed.stderr!r}")

    def delete_registry_key(self, path: str, view: int = 64) -> None:
        self.plant_registry({path: None}, view)

    def export_registry(self, path: str, view: int = 64) -> RegistrySnapshot:
        """The key and everything below it; an empty snapshot when the key
        does not exist."""
        key = view_key(path, view)
        win, unix = self.scratch(f"export_{self.next_serial()}.reg")
        self._query(["regedit", "/e", win, key], timeout=120,
                    answered=lambda r: unix.exists() or MISSING_KEY_MESSAGE in r.stdout)
        if not unix.exists():
            return RegistrySnapshot({})
        raw = unix.read_bytes()
        text = raw.decode("utf-16") if raw.startswith((b"\xff\xfe", b"\xfe\xff")) else \
            raw.decode("utf-8", errors="replace")
        unix.unlink()
        return RegistrySnapshot(parse_reg_file(text))

    def key_exists(self, path: str, view: int = 64) -> bool:
        return self.export_registry(path, view).has_key(path, view)

    def read_key(self, path: str, view: int = 64) -> dict:
        """{name: value} of the key; None when the key does not exist."""
        snapshot = self.export_registry(path, view)
        return snapshot.values(path, view) if snapshot.has_key(path, view) else None

    def set_windows_version(self, exe_name: str, version: str) -> None:
        """Makes Wine report another Windows version to one program (by file
        name); None returns to the prefix's default (Windows 7 workstation)."""
        key = f"HKCU\\Software\\Wine\\AppDefaults\\{exe_name}"
        if version is None:
            self.plant_registry({key: {"Version": DELETE}})
            return
        if version not in WINDOWS_VERSIONS:
            raise HarnessError(f"unknown Wine version name {version!r}")
        self.plant_registry({key: {"Version": version}})

    # -- files ----------------------------------------------------------------

    def plant_file(self, win_path: str, content: Union[bytes, str] = b"") -> Path:
        """Creates a file (and its folders); str content is written as UTF-8."""
        target = self.unix_path(win_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return target

    def plant_folder(self, win_path: str) -> Path:
        target = self.unix_path(win_path)
        target.mkdir(parents=True, exist_ok=True)
        return target

    def plant_link(self, win_path: str, target_win_path: str) -> Path:
        """A link inside the drive, as Windows programs under Wine see links
        (Windows code cannot create them under Wine 8)."""
        link = self.unix_path(win_path)
        link.parent.mkdir(parents=True, exist_ok=True)
        os.symlink(self.unix_path(target_win_path), link)
        return link

    def exists(self, win_path: str) -> bool:
        return os.path.lexists(self.unix_path(win_path))

    def is_dir(self, win_path: str) -> bool:
        return self.unix_path(win_path).is_dir()

    def read_bytes(self, win_path: str) -> bytes:
        """The file's bytes; None when it does not exist or is no file."""
        p = self.unix_path(win_path)
        return p.read_bytes() if p.is_file() else None

    def listdir(self, win_path: str) -> list:
        p = self.unix_path(win_path)
        return sorted(os.listdir(p)) if p.is_dir() else []

    def is_link(self, win_path: str) -> bool:
        return self.unix_path(win_path).is_symlink()

    def plant_paths(self, paths: Mapping[str, object]) -> None:
        """Plants files, {Windows path: content}; a path mapped to FOLDER
        becomes an empty folder."""
        for win_path, content in paths.items():
            if content is FOLDER:
                self.plant_folder(win_path)
            else:
                self.plant_file(win_path, content)

    def tree(self, win_path: str) -> dict:
        """Everything below a folder, without following links:
        {path relative to it: file bytes, FOLDER, or ("link", target)}.
        Empty when the folder does not exist."""
        base = self.unix_path(win_path)
        result: dict = {}
        if not base.is_dir() or base.is_symlink():
            return result
        for folder, dirs, files in os.walk(base):
            for name in dirs + files:
                path = Path(folder) / name
                relative = "\\".join(path.relative_to(base).parts)
                if path.is_symlink():
                    result[relative] = ("link", os.readlink(path))
                elif path.is_dir():
                    result[relative] = FOLDER
                else:
                    result[relative] = path.read_bytes()
        return result

    def snapshot(self, win_path: str = "C:\\", skip: Iterable[str] = ()) -> set:
        """The Windows paths of everything below a folder (links not
        followed), leaving out the folders named in `skip` and what they hold."""
        base = self.unix_path(win_path)
        skipped = {str(self.unix_path(s)).lower() for s in skip}
        found = set()
        for folder, dirs, files in os.walk(base):
            dirs[:] = [d for d in dirs if str(Path(folder) / d).lower() not in skipped]
            for name in dirs + files:
                path = Path(folder) / name
                if str(path).lower() not in skipped:
                    found.add(self.win_path_of(path))
        return found

    def win_path_of(self, unix_path: Path) -> str:
        """The C: path of a Linux path inside the drive, without resolving links."""
        rel = Path(unix_path).relative_to(self.drive_c)
        return "C:\\" + "\\".join(rel.parts)

    # -- the program under test --------------------------------------------

    def run_remover(self, bits: int = 64, cwd: str = DEFAULT_RUN_DIR,
                    answers: Mapping[str, str] = None, default_answer: str = "IDOK",
                    timeout: float = None, create_cwd: bool = True,
                    started_by: str = None, program: str = None,
                    prompts: Sequence[str] = (), hidden_station: bool = False) -> "RemoverRun":
        """Runs the program once from `cwd` with a box answerer beside it and
        collects exit code, console output, both log files and the boxes.
        `answers` maps box captions to answers; the submission question is
        answered IDNO unless `answers` names it. With `started_by` (a Windows
        path such as C:\\x\\Zentrivo.exe) the program is started by
        start_and_wait.exe planted there; its report is in the run's
        `starter_report`. `program` (a Windows path) runs that copy of the
        program instead of the build's. `prompts` answers the e-mail prompts
        (see BoxAnswerer). With `hidden_station` start_and_wait.exe starts the
        program in a window station nobody sees (its report says the
        station's flags)."""
        program = program or self.install(self.config.program(bits))
        args = [program]
        report = None
        if hidden_station and not started_by:
            started_by = BIN_DIR + "\\start_and_wait.exe"
        if started_by:
            self.plant_helper("start_and_wait.exe", started_by)
            report = f"{SCRATCH_DIR}\\starter_{self.next_serial()}.txt"
            self.scratch(PureWindowsPath(report).name)
            args = [started_by, "--report", report] + (["--hidden-station"] if hidden_station else [])
            args.append(program)
        if create_cwd:
            self.plant_folder(cwd)
        rules = {SUBMISSION_QUESTION_CAPTION: "IDNO"}
        rules.update(answers or {})
        cwd_log = f"{cwd.rstrip(chr(92))}\\{LOG_NAME}"
        temp_log = f"{TEMP_DIR}\\{LOG_NAME}"
        before = {cwd_log: self.read_bytes(cwd_log), temp_log: self.read_bytes(temp_log)}
        answerer = BoxAnswerer(self, rules, default_answer, prompts=prompts)
        try:
            completed = self.run(args, bits=bits, cwd=cwd,
                                 timeout=timeout or self.config.timeout(bits))
        finally:
            boxes = answerer.stop()
        run = RemoverRun(
            bits=bits, program=program, cwd=cwd, completed=completed, boxes=boxes,
            console=Log.from_console_bytes("console", completed.stdout),
            cwd_log=_read_log(self, cwd_log, "current-directory log"),
            temp_log=_read_log(self, temp_log, "temporary-directory log"),
            cwd_log_before=before[cwd_log], temp_log_before=before[temp_log],
            starter_report=None if report is None else
            (self.read_bytes(report) or b"").decode("utf-8", errors="replace"))
        self.runs.append(run)
        return run


def safe_name(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", text).strip("_")[:120]


@contextlib.contextmanager
def scenario_prefix(template: Template, config: Config, name: str):
    """A fresh clone of the template for one scenario (or a module of them).
    On the way out the wineserver is ended, the outputs of every run are
    saved under <work dir>/artifacts/<name>/run-N/ and the clone is removed
    (unless ZENQO_E2E_KEEP=1)."""
    name = safe_name(name)
    path = config.work_dir / "prefixes" / name
    artifacts = config.work_dir / "artifacts" / name
    shutil.rmtree(artifacts, ignore_errors=True)
    prefix = template.clone(path, config)
    try:
        yield prefix
    finally:
        try:
            prefix.close()
        finally:
            for n, run in enumerate(prefix.runs, start=1):
                run.save(artifacts / f"run-{n}")
            if not config.keep_prefixes:
                shutil.rmtree(path, ignore_errors=True)


def _read_log(prefix: Prefix, win_path: str, label: str):
    raw = prefix.read_bytes(win_path)
    return None if raw is None else Log.from_file_bytes(f"{label} {win_path}", raw)


@dataclass
class RemoverRun:
    bits: int
    program: str
    cwd: str
    completed: Completed
    boxes: list
    console: Log
    cwd_log: Log  # None when the file does not exist
    temp_log: Log
    cwd_log_before: bytes = None
    temp_log_before: bytes = None
    starter_report: str = None  # start_and_wait.exe's report when it started the run

    @property
    def exit_code(self) -> int:
        return self.completed.exit_code

    def __repr__(self) -> str:
        return (f"<RemoverRun {self.program} ({self.bits}-bit) in {self.cwd}: "
                f"exit {self.exit_code}, {len(self.boxes)} boxes>")

    @property
    def duration(self) -> float:
        return self.completed.duration

    def describe(self) -> str:
        """Everything about the run, for failure messages and artifacts."""
        parts = [f"program {self.program} ({self.bits}-bit), cwd {self.cwd}",
                 "exit code " + ("<time limit reached>" if self.completed.timed_out
                                 else str(self.exit_code)) + f", {self.duration:.1f} s",
                 f"boxes: {self.boxes!r}"]
        err = self.completed.stderr.decode(errors="replace").strip()
        if err:
            parts.append("stderr:\n" + err)
        if self.starter_report is not None:
            parts.append("started by start_and_wait.exe, its report: " + repr(self.starter_report))
        parts.append("console:\n" + self.console.excerpt())
        return "\n".join(parts)

    def save(self, directory: Path) -> None:
        directory.mkdir(parents=True, exist_ok=True)
        (directory / "console.txt").write_bytes(self.completed.stdout)
        (directory / "stderr.txt").write_bytes(self.completed.stderr)
        (directory / "boxes.json").write_text(
            json.dumps([b.__dict__ for b in self.boxes], indent=1, ensure_ascii=False))
        for log, name in ((self.cwd_log, "cwd.log.txt"), (self.temp_log, "temp.log.txt")):
            if log is not None:
                (directory / name).write_bytes(log.raw)
        (directory / "summary.txt").write_text(self.describe())


# --------------------------------------------------------------------------
# Assertions


@dataclass(frozen=True)
class Re:
    """An expected text given as a regular expression (whole-text match)."""

    pattern: str

    def matches(self, text: str) -> bool:
        return re.fullmatch(self.pattern, text, re.DOTALL) is not None

    def __repr__(self) -> str:
        return f"Re({self.pattern!r})"


Expected = Union[str, Re, tuple]


def _matches(expected: Union[str, Re], text: str) -> bool:
    return expected.matches(text) if isinstance(expected, Re) else expected == text


def _find_block(texts: list, block: tuple, start: int) -> int:
    for i in range(start, len(texts) - len(block) + 1):
        if all(_matches(e, texts[i + k]) for k, e in enumerate(block)):
            return i
    return -1


def find_in_order(log: Log, expected: Sequence[Expected], start: int = 0) -> list:
    """Indices where each expected item starts, in order; raises AssertionError
    with a readable message when one is missing. An item is an exact text,
    an Re, or a tuple of them that must stand on consecutive lines."""
    __tracebackhide__ = True
    if log is None:
        raise AssertionError("expected texts in a log that does not exist")
    texts = log.texts
    found = []
    pos = start
    for n, item in enumerate(expected):
        block = item if isinstance(item, tuple) else (item,)
        i = _find_block(texts, block, pos)
        if i < 0:
            done = "\n".join(f"  #{k} at [{idx}]: {expected[k]!r}" for k, idx in enumerate(found))
            anywhere = _find_block(texts, block, 0)
            hint = (f" (it occurs earlier, at [{anywhere}]: out of order)" if 0 <= anywhere < pos
                    else "")
            raise AssertionError(
                f"{log.name}: expected item #{n} {item!r} not found at or after entry "
                f"[{pos}]{hint}\nmatched before it:\n{done or '  (nothing)'}\n"
                f"entries:\n{log.excerpt(around=pos)}")
        found.append(i)
        pos = i + len(block)
    return found


def assert_in_order(log: Log, expected: Sequence[Expected], start: int = 0) -> list:
    __tracebackhide__ = True
    return find_in_order(log, expected, start)


def assert_starts_with(log: Log, expected: Sequence[Union[str, Re]]) -> None:
    """The log's first entries are exactly these."""
    __tracebackhide__ = True
    texts = log.texts[:len(expected)]
    if len(texts) < len(expected) or not all(_matches(e, t) for e, t in zip(expected, texts)):
        raise AssertionError(f"{log.name}: expected to start with\n"
                             + "\n".join(f"  [{i:3}] {e!r}" for i, e in enumerate(expected))
                             + f"\nentries:\n{log.excerpt()}")


def assert_ends_with(log: Log, expected: Sequence[Union[str, Re]]) -> None:
    """The log's last entries are exactly these."""
    __tracebackhide__ = True
    texts = log.texts[-len(expected):] if expected else []
    if len(texts) < len(expected) or not all(_matches(e, t) for e, t in zip(expected, texts)):
        raise AssertionError(f"{log.name}: expected to end with\n"
                             + "\n".join(f"  {e!r}" for e in expected)
                             + f"\nentries:\n{log.excerpt(around=len(log.entries))}")


def assert_absent(log: Log, unexpected: Iterable[Union[str, Re]]) -> None:
    """None of these texts occurs in the log."""
    __tracebackhide__ = True
    hits = [(i, e, t) for e in unexpected for i, t in enumerate(log.texts) if _matches(e, t)]
    if hits:
        raise AssertionError(f"{log.name}: unexpected entries:\n"
                             + "\n".join(f"  [{i}] {t!r} (matches {e!r})" for i, e, t in hits)
                             + f"\nentries:\n{log.excerpt()}")


def assert_log_file_format(log: Log) -> None:
    """A log file as the program writes it: one byte order mark at the start,
    and every record (CR LF terminated) with the 23-character prefix."""
    __tracebackhide__ = True
    problems = []
    if log is None:
        raise AssertionError("log file does not exist")
    if not log.has_bom:
        problems.append(f"does not start with EF BB BF (starts with {log.raw[:8]!r})")
    if log.raw.count(UTF8_BOM) != 1:
        problems.append(f"holds {log.raw.count(UTF8_BOM)} byte order marks")
    if not log.ends_with_newline:
        problems.append("does not end with CR LF")
    if log.bad_lines:
        problems.append("records without the prefix: "
                        + ", ".join(f"line {n}: {t!r}" for n, t in log.bad_lines[:10]))
    if not log.entries:
        problems.append("holds no entries")
    if problems:
        raise AssertionError(f"{log.name}: " + "; ".join(problems))


def assert_boxes(run: RemoverRun, expected: Sequence[Mapping]) -> None:
    """The run showed exactly these boxes, in order; each expectation names
    the fields it checks (caption, text, buttons, icon, answer)."""
    __tracebackhide__ = True
    actual = run.boxes
    ok = len(actual) == len(expected) and all(
        getattr(box, k) == (tuple(v) if k == "buttons" else v)
        for box, exp in zip(actual, expected) for k, v in exp.items())
    if not ok:
        raise AssertionError("message boxes differ\nexpected:\n"
                             + "\n".join(f"  {dict(e)!r}" for e in expected)
                             + "\nactual:\n" + ("\n".join(f"  {b!r}" for b in actual) or "  none")
                             + "\n" + run.describe())


def assert_key_exists(prefix: Prefix, path: str, view: int = 64) -> None:
    __tracebackhide__ = True
    if not prefix.key_exists(path, view):
        raise AssertionError(f"registry key {view_key(path, view)} is missing")


def assert_key_absent(prefix: Prefix, path: str, view: int = 64) -> None:
    __tracebackhide__ = True
    snapshot = prefix.export_registry(path, view)
    if snapshot.has_key(path, view):
        raise AssertionError(f"registry key {view_key(path, view)} still exists:\n"
                             + "\n".join(snapshot.key_paths()))


def assert_value(prefix: Prefix, path: str, name: str, expected: RegValue, view: int = 64) -> None:
    __tracebackhide__ = True
    values = prefix.read_key(path, view)
    if values is None:
        raise AssertionError(f"registry key {view_key(path, view)} is missing")
    found = {k.lower(): v for k, v in values.items()}
    if name.lower() not in found:
        raise AssertionError(f"value {name!r} missing in {view_key(path, view)}: {values!r}")
    if found[name.lower()] != expected or type(found[name.lower()]) is not type(expected):
        raise AssertionError(f"value {name!r} in {view_key(path, view)} is "
                             f"{found[name.lower()]!r}, expected {expected!r}")


def assert_path_exists(prefix: Prefix, win_path: str) -> None:
    __tracebackhide__ = True
    if not prefix.exists(win_path):
        parent = str(PureWindowsPath(win_path).parent)
        raise AssertionError(f"{win_path} is missing; {parent} holds {prefix.listdir(parent)}")


def assert_path_absent(prefix: Prefix, win_path: str) -> None:
    __tracebackhide__ = True
    if prefix.exists(win_path):
        raise AssertionError(f"{win_path} still exists")


# --------------------------------------------------------------------------
# Texts of the start-up and the removal sequence


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
    assert_ends_with(run.cwd_log, [completed_ok(), "", "", ""])
