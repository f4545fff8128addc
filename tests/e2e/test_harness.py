"""Checks of the harness itself: log parsing, .reg files, assertions (no
Wine needed), then the box answerer and the registry helpers in one prefix."""

from __future__ import annotations

import pytest

import harness as h
from harness import Re

PREFIX = "2026/12/07 23:46:44    "
ERROR_PREFIX = "2026/12/07 23:46:44 !  "


def file_log(*texts: str, prefix: str = PREFIX) -> h.Log:
    body = "".join(f"{prefix}{t}\r\n" for t in texts)
    return h.Log.from_file_bytes("test log", h.UTF8_BOM + body.encode("utf-8"))


# -- logs -------------------------------------------------------------------

def test_log_file_entries_keep_embedded_line_feeds():
    log = file_log("", "one\ntwo", "é")
    assert log.texts == ["", "one\ntwo", "é"]
    assert [e.line_number for e in log.entries] == [1, 2, 4]
    assert log.has_bom and log.ends_with_newline and not log.bad_lines
    h.assert_log_file_format(log)


def test_log_file_format_finds_each_defect():
    raw = (PREFIX + "a\r\n").encode() + b"no prefix\r\n" + h.UTF8_BOM + (PREFIX + "b").encode()
    log = h.Log.from_file_bytes("bad", raw)
    with pytest.raises(AssertionError) as failure:
        h.assert_log_file_format(log)
    message = str(failure.value)
    for part in ("does not start with EF BB BF", "does not end with CR LF",
                 "line 2: 'no prefix'"):
        assert part in message


def test_log_prefix_markers():
    log = file_log("x", prefix=ERROR_PREFIX)
    assert log.entries[0].marker == "!"
    assert h.Log.from_file_bytes("x", h.UTF8_BOM + b"2026/12/07 23:46:44 ?  x\r\n").bad_lines


def test_console_continuation_lines_join_the_message_before():
    raw = f"{PREFIX}first\r\nsecond\r\n{PREFIX}third\r\n".encode("cp437")
    assert h.Log.from_console_bytes("console", raw).texts == ["first\nsecond", "third"]


# -- assertions ---------------------------------------------------------------

def test_in_order_accepts_blocks_and_patterns():
    log = file_log("a", "", "b", "x", "c", "")
    assert h.assert_in_order(log, ["a", ("c", ""), ]) == [0, 4]
    assert h.assert_in_order(log, [("a", ""), Re(r"[bx]"), "c"]) == [0, 2, 4]


def test_in_order_failure_says_what_is_missing_and_where():
    log = file_log("a", "b", "c")
    with pytest.raises(AssertionError) as failure:
        h.assert_in_order(log, ["b", "a"])
    message = str(failure.value)
    assert "expected item #1 'a'" in message
    assert "out of order" in message
    assert "[  1]" in message and "'b'" in message
    with pytest.raises(AssertionError):
        h.assert_in_order(log, [("a", "c")])  # not consecutive


def test_starts_ends_absent():
    log = file_log("a", "b", "c")
    h.assert_starts_with(log, ["a", "b"])
    h.assert_ends_with(log, ["b", "c"])
    h.assert_absent(log, ["d", Re("x.*")])
    for check in (lambda: h.assert_starts_with(log, ["b"]),
                  lambda: h.assert_ends_with(log, ["a"]),
                  lambda: h.assert_starts_with(log, ["a", "b", "c", "d"]),
                  lambda: h.assert_absent(log, [Re("[bc]")])):
        with pytest.raises(AssertionError):
            check()


# -- .reg files -----------------------------------------------------------------

VALUES = {
    "": "default",
    "Text": 'quote " and back\\slash',
    "Count": 0x8000_0001,
    "Big": h.Qword(2**40 + 5),
    "Blob": b"\x00\x01\xfe\xff",
    "Path": h.ExpandSz(r"%ProgramFiles%\Vexars"),
    "List": h.MultiSz(["one", "two words", "ü"]),
    "Lines": "line1\nline2",
    "Odd": h.RawValue(0x20, b"\x01\x02"),
}


def test_reg_text_round_trip():
    text = h.reg_file_text({r"HKLM\Software\E2E": VALUES, r"HKCU\Software\Gone": None})
    assert "[-HKEY_CURRENT_USER\\Software\\Gone]" in text
    parsed = h.parse_reg_file(text)
    assert parsed[r"HKEY_LOCAL_MACHINE\Software\E2E"] == VALUES


def test_reg_views():
    assert h.view_key(r"HKLM\Software\Vexars", 32) == r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\Vexars"
    assert h.view_key(r"HKLM\SOFTWARE\Wow6432Node\V", 32) == r"HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\V"
    assert h.view_key(r"HKCU\Software\V", 64) == r"HKEY_CURRENT_USER\Software\V"
    with pytest.raises(h.HarnessError):
        h.view_key(r"HKCU\Software\V", 32)


# -- in a prefix ------------------------------------------------------------------

@pytest.fixture(scope="module")
def shared_prefix(template, e2e_config):
    with h.scenario_prefix(template, e2e_config, "test_harness-shared") as p:
        yield p


def show_box(prefix: h.Prefix, caption: str, text: str, style: int = 0, timeout: float = 60):
    exe = prefix.install(prefix.config.helper("show_box.exe"))
    return prefix.run([exe, caption, text, str(style)], timeout=timeout)


MB_YESNO, MB_ICONWARNING = 0x4, 0x30


def test_box_answerer_records_and_answers_by_caption(shared_prefix):
    with h.BoxAnswerer(shared_prefix, {" lead=ing": "IDNO"}, default="IDCANCEL") as answerer:
        by_rule = show_box(shared_prefix, " lead=ing", "line1\nline2 \"é\"", MB_YESNO)
        by_default = show_box(shared_prefix, "Other", "plain", MB_ICONWARNING)
    assert (by_rule.exit_code, by_default.exit_code) == (h.IDNO, h.IDCANCEL)
    assert answerer.boxes == [
        h.Box(" lead=ing", "line1\nline2 \"é\"", (h.IDYES, h.IDNO), False, "IDNO",
              answerer.boxes[0].ms),
        h.Box("Other", "plain", (h.IDOK,), True, "IDCANCEL", answerer.boxes[1].ms),
    ]


def test_box_left_open_ends_with_the_time_limit(shared_prefix):
    with h.BoxAnswerer(shared_prefix, {"Stay": "NONE"}) as answerer:
        result = show_box(shared_prefix, "Stay", "open", timeout=3)
    assert result.timed_out
    assert [b.caption for b in answerer.boxes] == ["Stay"]
    # The prefix works again after the time limit ended it.
    assert shared_prefix.run(["cmd", "/c", "exit 7"]).exit_code == 7


def test_registry_round_trip_in_both_views(shared_prefix):
    key = r"HKLM\Software\E2ETest\Sub"
    shared_prefix.plant_registry({key: VALUES})
    shared_prefix.plant_registry({key: {"Only32": "yes"}}, view=32)
    assert shared_prefix.read_key(key) == VALUES
    assert shared_prefix.read_key(key, view=32) == {"Only32": "yes"}
    assert shared_prefix.key_exists(r"HKLM\Software\Wow6432Node\E2ETest\Sub")
    h.assert_value(shared_prefix, key, "count", 0x8000_0001)
    snapshot = shared_prefix.export_registry(r"HKLM\Software\E2ETest")
    assert snapshot.subkeys(r"HKLM\Software\E2ETest") == ["Sub"]
    # Cross-check the import with Wine's reg.exe.
    query = shared_prefix.run(["reg", "query", r"HKLM\Software\E2ETest\Sub", "/v", "Text"])
    assert b'quote " and back\\slash' in query.stdout

    shared_prefix.plant_registry({key: {"Text": h.DELETE}})
    assert "Text" not in shared_prefix.read_key(key)
    shared_prefix.delete_registry_key(r"HKLM\Software\E2ETest")
    h.assert_key_absent(shared_prefix, r"HKLM\Software\E2ETest")
    h.assert_key_exists(shared_prefix, r"HKLM\Software\E2ETest", view=32)
    assert shared_prefix.read_key(r"HKLM\Software\NoSuchKey") is None


def test_files_and_windows_version(shared_prefix):
    shared_prefix.plant_file(r"C:\Program Files\Vexars\Zentrivo\a.txt", "x")
    shared_prefix.plant_folder(r"C:\ProgramData\Vexars\Empty")
    listing = shared_prefix.run(["cmd", "/c", "dir", "/b", r"C:\Program Files\Vexars\Zentrivo"])
    assert listing.stdout.split() == [b"a.txt"]
    assert shared_prefix.is_dir(r"C:\ProgramData\Vexars\Empty")
    h.assert_path_exists(shared_prefix, r"C:\Program Files\Vexars\Zentrivo\a.txt")
    h.assert_path_absent(shared_prefix, r"C:\Program Files\Vexars\Zentrivo\b.txt")

    shared_prefix.set_windows_version("ver_probe.exe", "winxp")
    assert shared_prefix.read_key(r"HKCU\Software\Wine\AppDefaults\ver_probe.exe") == \
        {"Version": "winxp"}
    shared_prefix.set_windows_version("ver_probe.exe", None)
    assert shared_prefix.read_key(r"HKCU\Software\Wine\AppDefaults\ver_probe.exe") == {}
