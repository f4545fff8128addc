"""The Windows Installer database step: the product registered per machine
and for one user, beside another product of the maker that shares a
component with it, on the whole registry of a Wine prefix. The 64-bit
program, then the 32-bit one under WoW64, which must reach the 64-bit view
where the registration lives."""

from __future__ import annotations

import re
from types import SimpleNamespace

import pytest

import harness as h

UPGRADE = "{6A1F3C2E-9B4D-4E07-A5C8-3D2E71F0B94A}"
U = "E2C3F1A6D4B970E45A8CD3E2170F9BA4"  # the upgrade code, packed
P = "1234567890ABCDEF1234567890ABCDEF"  # the product's code, packed
P_TEXT = "{87654321-BA09-FEDC-2143-658709BADCFE}"
OTHER_U = "11111111222233334444555555555555"
OTHER_P = "AAAAAAAABBBBCCCCDDDDEEEEEEEEEEEE"
K_OWN = "0000000000000000000000000000000A"
K_SHARED = "0000000000000000000000000000000B"
K_OWN_TEXT = "{00000000-0000-0000-0000-0000000000A0}"
CLASSES = "HKLM\\SOFTWARE\\Classes\\Installer"
CURRENT = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer"
SYSTEM_STORE = CURRENT + "\\UserData\\S-1-5-18"
USER = "HKCU\\Software\\Microsoft\\Installer"
SHARED_DLLS = "HKLM\\" + h.SHARED_DLLS_PATH
DIR = h.DEFAULT_INSTALL_DIR
SHARED_FILE = "C:\\Program Files\\Vexars\\Common\\bvhtml.dll"

HEADER = "**** Cleaning Installation Database (32) ****"
SECTIONS = ["Locating Windows Installer Root Stores", "Upgrade Codes Removed", "Product Codes Removed",
            "Component Codes Removed", "Key Files Removed"]


def registration() -> dict:
    keys = {}
    for root in (CLASSES, CURRENT, USER):
        keys[f"{root}\\UpgradeCodes\\{U}"] = {P: ""}
        keys[f"{root}\\UpgradeCodes\\{OTHER_U}"] = {OTHER_P: ""}
    keys.update({
        f"{CLASSES}\\Products\\{P}\\SourceList": {"PackageName": "Zentrivo.msi"},
        f"{CLASSES}\\Products\\{OTHER_P}": {"ProductName": "Vexars Backup"},
        f"{USER}\\Products\\{P}": {"ProductName": "Zentrivo"},
        f"{SYSTEM_STORE}\\Products\\{P}\\InstallProperties": {"DisplayName": "Zentrivo"},
        f"{SYSTEM_STORE}\\Products\\{OTHER_P}\\InstallProperties": {"DisplayName": "Vexars Backup"},
        f"{SYSTEM_STORE}\\Components\\{K_OWN}": {P: DIR + "Zentrivo.exe"},
        f"{SYSTEM_STORE}\\Components\\{K_SHARED}": {P: "C?" + SHARED_FILE[2:], OTHER_P: SHARED_FILE},
    })
    return keys


# The counters are the program's own view's: Windows Installer keeps its
# database in the 64-bit view, but a 32-bit installation counts its files
# in the 32-bit view.
COUNTERS = {SHARED_DLLS: {DIR + "Zentrivo.exe": 1, SHARED_FILE: 2}}


def machine(template, e2e_config, name: str, bits: int):
    with h.scenario_prefix(template, e2e_config, f"test_installer_database-{name}") as prefix:
        prefix.plant_registry(registration())
        prefix.plant_registry(COUNTERS, view=bits)
        yield SimpleNamespace(prefix=prefix, run=prefix.run_remover(bits=bits), bits=bits)


@pytest.fixture(scope="module")
def x64(template, e2e_config):
    yield from machine(template, e2e_config, "x64", 64)


@pytest.fixture(scope="module")
def x86(template, e2e_config, wow64):
    yield from machine(template, e2e_config, "x86", 32)


def block(run: h.RemoverRun) -> list:
    """The step's lines, from its header to the empty line that ends it."""
    texts = run.cwd_log.texts
    start = texts.index(HEADER)
    end = texts.index("", texts.index(SECTIONS[-1], start) + 2)
    return texts[start:end + 1]


def section(lines: list, title: str) -> list:
    start = lines.index(title) + 2
    end = lines.index("", start)
    return lines[start:end]


def assert_cleaned(m) -> None:
    __tracebackhide__ = True
    h.assert_completed(m.run)
    lines = block(m.run)
    # Headings in order, each followed by its rule.
    positions = [lines.index(title) for title in SECTIONS]
    assert positions == sorted(positions), lines
    assert [lines[p + 1] for p in positions] == ["=" * 50, "=" * 50, "=" * 49, "=" * 49, "=" * 49]
    # Roots and stores share one running number.
    roots = [re.fullmatch(r"Root: (\d+)  (.+)", t) for t in section(lines, SECTIONS[0]) if t.startswith("Root: ")]
    stores = [re.fullmatch(r"UserData: (\d+)  (\d+)  (Installer.*)", t)
              for t in section(lines, SECTIONS[0]) if t.startswith("UserData: ")]
    assert all(roots) and all(stores), lines
    numbers = [int(r.group(1)) for r in roots] + [int(s.group(2)) for s in stores]
    assert numbers == list(range(1, len(numbers) + 1)), lines
    # Every root's own Installer key is a store: it is reached in the view
    # its root was found in (the 32-bit program's copy of HKLM\Software\Classes
    # must not turn into the 32-bit view's).
    assert {int(s.group(1)) for s in stores if s.group(3) == "Installer"} == {int(r.group(1)) for r in roots}, lines
    root_paths = {r.group(2).lower(): int(r.group(1)) for r in roots}  # Wine spells it "Software"
    cv = "hklm\\software\\microsoft\\windows\\currentversion"
    for path in ("hkcr", "hkcu\\software\\microsoft", "hklm\\software\\classes", cv):
        assert path in root_paths, lines
    system_store = next(int(s.group(2)) for s in stores
                        if s.group(3) == "Installer\\UserData\\S-1-5-18" and int(s.group(1)) == root_paths[cv])
    # Each copy of the upgrade code goes through the first root that reaches it.
    for path in ("hkcr", "hkcu\\software\\microsoft", cv):
        assert f"{root_paths[path]}  {UPGRADE}" in section(lines, SECTIONS[1]), lines
    assert f"{system_store}  {P_TEXT}" in section(lines, SECTIONS[2])
    assert section(lines, SECTIONS[3]) == [f"{system_store}  {K_OWN_TEXT}"]
    # Key files in ordinal order: ...\Vexars\Common\ before ...\Vexars\Zentrivo\.
    assert section(lines, SECTIONS[4]) == [f"  {SHARED_FILE}      is decremented to 1", f"  {DIR}Zentrivo.exe"]
    # The product is gone from every store; the other product stays whole.
    for path in (f"{CLASSES}\\UpgradeCodes\\{U}", f"{CURRENT}\\UpgradeCodes\\{U}", f"{USER}\\UpgradeCodes\\{U}",
                 f"{CLASSES}\\Products\\{P}", f"{USER}\\Products\\{P}", f"{SYSTEM_STORE}\\Products\\{P}",
                 f"{SYSTEM_STORE}\\Components\\{K_OWN}"):
        h.assert_key_absent(m.prefix, path, 64)
    for path in (f"{CLASSES}\\UpgradeCodes\\{OTHER_U}", f"{CLASSES}\\Products\\{OTHER_P}",
                 f"{SYSTEM_STORE}\\Products\\{OTHER_P}\\InstallProperties"):
        assert m.prefix.key_exists(path, 64), path
    assert m.prefix.read_key(f"{SYSTEM_STORE}\\Components\\{K_SHARED}", 64) == {OTHER_P: SHARED_FILE}
    counters = m.prefix.read_key(SHARED_DLLS, m.bits)
    assert SHARED_FILE in counters and DIR + "Zentrivo.exe" not in counters, counters


def test_x64_removes_the_product_and_keeps_the_other(x64):
    assert_cleaned(x64)


@pytest.mark.wow64
def test_x86_reaches_the_64bit_view(x86):
    assert_cleaned(x86)
