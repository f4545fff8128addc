"""Registry values, .reg files and exported snapshots."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Mapping, Union

from .constants import HarnessError


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

    def below(self, key: str) -> "RegistrySnapshot":
        """The part of the snapshot at `key` (a full key path) and below it."""
        key = key.lower()
        return RegistrySnapshot({original: values for lower, (original, values) in self._keys.items()
                                 if lower == key or lower.startswith(key + "\\")})
