"""The helper programs that run beside the remover: the box answerer, the
process list and watcher, the record of started programs."""

from __future__ import annotations

import contextlib
import json
import subprocess
import time
from dataclasses import dataclass
from pathlib import PureWindowsPath
from typing import TYPE_CHECKING, Iterable, Mapping, Sequence

from .constants import ANSWERS, HarnessError, SCRATCH_DIR

if TYPE_CHECKING:
    from .wine import Prefix


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
