"""The program's outputs: log files and console output, parsed into entries."""

from __future__ import annotations

from dataclasses import dataclass

from .constants import LOG_PREFIX_LENGTH, LOG_PREFIX_RE, UTF8_BOM


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
