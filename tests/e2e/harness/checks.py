"""Assertions on logs, boxes, registry keys and paths."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import PureWindowsPath
from typing import Iterable, Mapping, Sequence, Union

from .constants import UTF8_BOM
from .logs import Log
from .registry import RegValue, view_key
from .wine import Prefix, RemoverRun


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
