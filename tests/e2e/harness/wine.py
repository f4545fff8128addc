"""Wine prefixes: the template, a clone per scenario, its wineserver, running
programs in it, planting and reading back, and one run of the remover."""

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

from .config import Config, wine_env
from .constants import (
    BACKUP_DIR, BACKUP_NAME, BIN_DIR, CALLS_FILE, DEFAULT_RUN_DIR, HarnessError, LOG_NAME, MISSING_KEY_MESSAGE,
    NOT_STARTED_MESSAGE, PREFIX_SCRIPT, SCRATCH_DIR, SUBMISSION_QUESTION_CAPTION, TEMP_DIR,
    WINDOWS_VERSIONS, WINE32, WINE64, WINESERVER)
from .logs import Log
from .programs import BoxAnswerer, Call, ProcessInfo, ProcessWatcher
from .registry import (
    DELETE, FOLDER, KeySpec, RegistrySnapshot, parse_reg_file, reg_file_text, view_key)


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

    @classmethod
    def use(cls, path: Path) -> "Template":
        """A prefix booted by someone else (tools/test.sh), used as it is."""
        if not (path / "system.reg").is_file():
            raise HarnessError(f"{path} is no booted Wine prefix")
        _run_prefix_script("check", str(path))
        return cls(path)

    def verify_shared_files(self) -> None:
        """Raises HarnessError when a file that the clones share with the
        template (the system folders, hard-linked) has changed."""
        _run_prefix_script("verify", str(self.path))

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
        # The registry's state: it counts the programs started that may have
        # changed the registry. Exports are reused while it stays the same.
        self._registry_state = 0
        self._exports: dict = {}  # exported key, lower case -> (state, RegistrySnapshot)

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

    def popen(self, args: Sequence[str], bits: int = 64, cwd: str = None,
              reads_only: bool = False, **kwargs):
        """Starts a Windows program. Unless it only reads (`reads_only`), the
        registry exports taken so far count as out of date."""
        self.start_server()
        if not reads_only:
            self._registry_state += 1
        cwd_unix = self.unix_path(cwd) if cwd else self.drive_c
        return subprocess.Popen([self._loader(bits), *args], env=self.env(), cwd=cwd_unix,
                                stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)

    def run(self, args: Sequence[str], bits: int = 64, cwd: str = None,
            timeout: float = 120, reads_only: bool = False) -> Completed:
        """Runs a Windows program and waits for it. Output goes through files,
        never pipes, so a process left behind cannot hang the harness. On the
        time limit the whole prefix is ended and exit_code is None. When
        Wine says that it could not start the program (on a loaded machine
        it now and then does), the program is started again, up to three
        times in all."""
        for attempt in range(1, 4):
            result = self._run_once(args, bits, cwd, timeout, reads_only)
            if not (result.exit_code == 1 and NOT_STARTED_MESSAGE in result.stdout + result.stderr):
                break
            print(f"harness: Wine could not start {args[0]} (attempt {attempt} of 3)",
                  file=sys.stderr)
        return result

    def _run_once(self, args: Sequence[str], bits: int, cwd: str, timeout: float,
                  reads_only: bool) -> Completed:
        n = self.next_serial()
        out_path = self.path / f"e2e-run-{n}.out"
        err_path = self.path / f"e2e-run-{n}.err"
        start = time.monotonic()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = self.popen(args, bits=bits, cwd=cwd, reads_only=reads_only,
                                 stdout=out, stderr=err)
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

    def _query(self, args: Sequence[str], answered, timeout: float = 120, attempts: int = 3,
               reads_only: bool = False) -> Completed:
        """Runs a program whose work can be repeated (a read, an import),
        again when it gave no answer: on a loaded machine, and as the first
        program of a fresh prefix, Wine now and then fails to start a program
        (exit code 1, no output, since WINEDEBUG is off), which must neither
        read as "the key is missing" nor fail a scenario."""
        for attempt in range(1, attempts + 1):
            result = self.run(args, timeout=timeout, reads_only=reads_only)
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
        result = self._query([lister], timeout=60, answered=lambda r: r.exit_code == 0,
                             reads_only=True)
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

    def plant_registry_link(self, link: str, target: str, hive: str = "HKLM") -> None:
        """A registry link <hive>\\<link> (HKLM or HKCU) whose target is the
        kernel name `target` (e.g. \\Registry\\Machine\\Software\\VictimVendor);
        regedit cannot make one, so reg_link.exe does."""
        helper = self.install(self.config.helper("reg_link.exe"))
        completed = self.run([helper, hive, link, target])
        if completed.exit_code != 0:
            raise HarnessError(f"reg_link.exe failed with {completed.exit_code}: {completed.stderr!r}")

    def plant_registry_key(self, path: str, value: tuple = None) -> None:
        """Creates the key HKCU\\<path> or HKLM\\<path> with every missing
        level, and a REG_SZ value (name, text) in it when given. Names may
        hold line breaks and other characters that regedit cannot read, so
        reg_link.exe creates it."""
        helper = self.install(self.config.helper("reg_link.exe"))
        hive, _, below = path.partition("\\")
        escaped = "".join(f"%{ord(c):02X}" if ord(c) < 0x20 or c == "%" else c for c in below)
        completed = self.run([helper, "key", hive, escaped, *(value or ())])
        if completed.exit_code != 0:
            raise HarnessError(f"reg_link.exe failed with {completed.exit_code}: {completed.stderr!r}")

    def key_security(self, path: str, sddl: str = None) -> str:
        """The owner and access list of the key HKCU\\<path> or HKLM\\<path> in
        SDDL ("O:BAD:P"); with `sddl`, first replaces its access list by that
        one ("D:P": nobody may do anything). key_security.exe does both."""
        helper = self.install(self.config.helper("key_security.exe"))
        hive, _, below = path.partition("\\")
        if sddl is not None:
            completed = self.run([helper, "set", hive, below, sddl])
            if completed.exit_code != 0:
                raise HarnessError(f"key_security.exe set failed with {completed.exit_code}")
        completed = self.run([helper, "get", hive, below])
        if completed.exit_code != 0:
            raise HarnessError(f"key_security.exe get failed with {completed.exit_code}")
        out = completed.stdout
        return (out.decode("ascii", "replace") if isinstance(out, bytes) else out).strip()

    def delete_registry_key(self, path: str, view: int = 64) -> None:
        self.plant_registry({path: None}, view)

    def export_registry(self, path: str, view: int = 64) -> RegistrySnapshot:
        """The key and everything below it; an empty snapshot when the key
        does not exist. Until another program starts, the export of a key
        answers for it and for every key below it."""
        key = view_key(path, view)
        parts = key.lower().split("\\")
        for depth in range(len(parts), 0, -1):
            state, snapshot = self._exports.get("\\".join(parts[:depth]), (None, None))
            if state == self._registry_state:
                return snapshot.below(key)
        win, unix = self.scratch(f"export_{self.next_serial()}.reg")
        self._query(["regedit", "/e", win, key], timeout=120, reads_only=True,
                    answered=lambda r: unix.exists() or MISSING_KEY_MESSAGE in r.stdout)
        if unix.exists():
            raw = unix.read_bytes()
            text = raw.decode("utf-16") if raw.startswith((b"\xff\xfe", b"\xfe\xff")) else \
                raw.decode("utf-8", errors="replace")
            unix.unlink()
            snapshot = RegistrySnapshot(parse_reg_file(text))
        else:
            snapshot = RegistrySnapshot({})
        self._exports[key.lower()] = (self._registry_state, snapshot)
        return snapshot

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

    def give_to_another_account(self, win_path: str) -> None:
        """Makes a planted file or folder another account's: Wine shows a
        file of another Unix user as owned by ANONYMOUS LOGON (S-1-5-7), while
        it shows every file of its own user as the running account's and
        keeps no owner a program sets. The harness runs as root, so it can."""
        os.chown(self.unix_path(win_path), 65534, 65534)

    def owner_and_access(self, win_path: str) -> str:
        """The owner and access list Wine shows for a path, as SDDL."""
        helper = self.install(self.config.helper("file_security.exe"))
        completed = self.run([helper, "show", win_path])
        if completed.exit_code != 0:
            raise HarnessError(f"file_security.exe failed with {completed.exit_code}")
        return completed.stdout.decode("utf-8", "replace").strip()

    def set_owner_and_access(self, win_path: str, sddl: str) -> None:
        """Sets a path's owner and access list from SDDL (protected where it
        says P); what Wine keeps of it, owner_and_access tells."""
        helper = self.install(self.config.helper("file_security.exe"))
        completed = self.run([helper, "set", win_path, sddl])
        if completed.exit_code != 0:
            raise HarnessError(f"file_security.exe failed with {completed.exit_code}")

    def exists(self, win_path: str) -> bool:
        return os.path.lexists(self.unix_path(win_path))

    def wait_for_file(self, win_path: str, timeout: float = 60) -> None:
        """Waits until a program of the prefix has created the file."""
        target = self.unix_path(win_path)
        deadline = time.monotonic() + timeout
        while not target.exists():
            if time.monotonic() > deadline:
                raise HarnessError(f"{win_path} did not appear within {timeout} s")
            time.sleep(0.05)

    def is_dir(self, win_path: str) -> bool:
        return self.unix_path(win_path).is_dir()

    def read_bytes(self, win_path: str) -> bytes:
        """The file's bytes; None when it does not exist or is no file."""
        p = self.unix_path(win_path)
        return p.read_bytes() if p.is_file() else None

    def listdir(self, win_path: str) -> list:
        p = self.unix_path(win_path)
        return sorted(os.listdir(p)) if p.is_dir() else []

    def read_backup(self) -> bytes:
        """The run's registry backup in the administrators' backup folder;
        b"" unless there is exactly one."""
        names = [n for n in self.listdir(BACKUP_DIR) if BACKUP_NAME.fullmatch(n)]
        return (self.read_bytes(f"{BACKUP_DIR}\\{names[0]}") or b"") if len(names) == 1 else b""

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
    # Each pytest-xdist worker has a folder of its own: a module-scoped
    # prefix may be made in both workers when their tests are split.
    path = config.work_dir / "prefixes" / os.environ.get("PYTEST_XDIST_WORKER", "") / name
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
