"""The product installed by Wine's own Windows Installer from a real package
(built with wixl), beside another product of the maker that shares a
component with it. After the run Windows Installer no longer knows the
product, no key of its registration is left (its features included), and
the other product is still installed with its keys, its share of the common
component and its counter."""

from __future__ import annotations

import json
import shutil
import subprocess

import pytest

import harness as h

UPGRADE = "{6A1F3C2E-9B4D-4E07-A5C8-3D2E71F0B94A}"
PRODUCT = "{5D2E3C1B-A5F4-8796-A5B4-C3D2E1F00001}"
OTHER_UPGRADE = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
OTHER = "{9A8B7C6D-5E4F-3021-1203-F4E5D6C7B8A9}"
OWN_COMPONENT = "{11111111-2222-3333-4444-000000000001}"
OTHER_COMPONENT = "{11111111-2222-3333-4444-000000000002}"
SHARED_COMPONENT = "{11111111-2222-3333-4444-0000000000FF}"
COMMON_FILE = h.PROGRAM_FILES_DIR + "\\Vexars\\Common\\vxcommon.dll"
CLASSES = "HKLM\\Software\\Classes\\Installer"
CURRENT = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer"
SYSTEM_STORE = CURRENT + "\\UserData\\S-1-5-18"
SHARED_DLLS = "HKLM\\" + h.SHARED_DLLS_PATH
INSTALLED, UNKNOWN = 5, -1

PACKAGE = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product}" Name="{name}" Language="1033" Version="2.1.5" Manufacturer="Vexars"
           UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="files.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="VexarsDir" Name="Vexars">
          <Directory Id="INSTALLDIR" Name="{name}">
            <Component Id="Own" Guid="{own}" Win64="yes">
              <File Id="own" Name="{name}.cfg" Source="own.cfg" KeyPath="yes"/>
            </Component>
          </Directory>
          <Directory Id="CommonDir" Name="Common">
            <Component Id="Shared" Guid="{shared}" Win64="yes">
              <File Id="common" Name="vxcommon.dll" Source="vxcommon.dll" KeyPath="yes"/>
            </Component>
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
      <ComponentRef Id="Own"/>
      <ComponentRef Id="Shared"/>
    </Feature>
  </Product>
</Wix>
"""


def pack(guid: str) -> str:
    digits = guid.strip("{}").replace("-", "").upper()
    return (digits[7::-1] + digits[11:7:-1] + digits[15:11:-1]
            + "".join(digits[i + 1] + digits[i] for i in range(16, 32, 2)))


def build_package(folder, name: str, product: str, upgrade: str, own: str):
    """An MSI package; its common component counts its file in SharedDLLs
    (msidbComponentAttributesSharedDllRefCount, which wixl cannot say)."""
    (folder / "own.cfg").write_text(f"[{name}]\n")
    (folder / "vxcommon.dll").write_bytes(b"MZ")
    source = folder / f"{name}.wxs"
    source.write_text(PACKAGE.format(product=product, name=name, upgrade=upgrade, own=own,
                                     shared=SHARED_COMPONENT))
    package = folder / f"{name}.msi"
    for command in (["wixl", "-a", "x64", "-o", str(package), str(source)],
                    ["msibuild", str(package), "-q",
                     "UPDATE Component SET Attributes = 264 WHERE Component = 'Shared'"]):
        subprocess.run(command, cwd=folder, check=True, capture_output=True, timeout=120)
    return package


def query(prefix: h.Prefix) -> dict:
    helper = prefix.install(prefix.config.helper("msi_query.exe"))
    answers = {}
    for upgrade, product in ((UPGRADE, PRODUCT), (OTHER_UPGRADE, OTHER)):
        result = prefix.run([helper, upgrade, product], timeout=60)
        assert result.exit_code == 0, result
        answer = json.loads(result.stdout)
        answers[product] = (answer["related"], answer["states"][product])
    return answers


@pytest.fixture(scope="module")
def installed(template, e2e_config, tmp_path_factory):
    if shutil.which("wixl") is None or shutil.which("msibuild") is None:
        pytest.fail("wixl and msibuild are needed (tools/setup.sh installs them)")
    folder = tmp_path_factory.mktemp("packages")
    packages = [build_package(folder, "Zentrivo", PRODUCT, UPGRADE, OWN_COMPONENT),
                build_package(folder, "Vexars Backup", OTHER, OTHER_UPGRADE, OTHER_COMPONENT)]
    with h.scenario_prefix(template, e2e_config, "test_installer_package") as prefix:
        for package in packages:
            win = prefix.install(package, h.SCRATCH_DIR)
            result = prefix.run(["msiexec", "/i", win, "/qn"], timeout=300)
            assert result.exit_code == 0, result
        before = query(prefix)
        run = prefix.run_remover()
        yield prefix, before, run, query(prefix)


def test_real_package_leaves_no_orphan(installed):
    prefix, before, run, after = installed
    assert before == {PRODUCT: ([PRODUCT], INSTALLED), OTHER: ([OTHER], INSTALLED)}
    h.assert_completed(run)
    assert after == {PRODUCT: ([], UNKNOWN), OTHER: ([OTHER], INSTALLED)}
    p, u = pack(PRODUCT), pack(UPGRADE)
    for key in (f"{CLASSES}\\UpgradeCodes\\{u}", f"{CLASSES}\\Products\\{p}", f"{CLASSES}\\Features\\{p}",
                f"{CURRENT}\\UpgradeCodes\\{u}", f"{SYSTEM_STORE}\\Products\\{p}",
                f"{SYSTEM_STORE}\\Components\\{pack(OWN_COMPONENT)}"):
        h.assert_key_absent(prefix, key, 64)
    o = pack(OTHER)
    for key in (f"{CLASSES}\\UpgradeCodes\\{pack(OTHER_UPGRADE)}", f"{CLASSES}\\Products\\{o}",
                f"{CLASSES}\\Features\\{o}", f"{SYSTEM_STORE}\\Products\\{o}",
                f"{SYSTEM_STORE}\\Components\\{pack(OTHER_COMPONENT)}"):
        assert prefix.key_exists(key, 64), key
    assert list(prefix.read_key(f"{SYSTEM_STORE}\\Components\\{pack(SHARED_COMPONENT)}", 64)) == [o]
    counters = {name.lower(): value for name, value in prefix.read_key(SHARED_DLLS, 64).items()}
    assert counters.get(COMMON_FILE.lower()) == 1, counters


@pytest.fixture(scope="module")
def trapped(template, e2e_config, tmp_path_factory):
    """Vexars Backup installed for the machine; in the running user's own
    hive, a key that names it under the product's upgrade code, beside the
    product's registration for that user."""
    if shutil.which("wixl") is None or shutil.which("msibuild") is None:
        pytest.fail("wixl and msibuild are needed (tools/setup.sh installs them)")
    folder = tmp_path_factory.mktemp("trap_package")
    package = build_package(folder, "Vexars Backup", OTHER, OTHER_UPGRADE, OTHER_COMPONENT)
    u, p, o = pack(UPGRADE), pack(PRODUCT), pack(OTHER)
    user = "HKCU\\Software\\Microsoft\\Installer"
    with h.scenario_prefix(template, e2e_config, "test_installer_package-trap") as prefix:
        result = prefix.run(["msiexec", "/i", prefix.install(package, h.SCRATCH_DIR), "/qn"], timeout=300)
        assert result.exit_code == 0, result
        prefix.plant_registry({
            f"HKCU\\Software\\X\\Installer\\UpgradeCodes\\{u}": {o: ""},
            f"{user}\\UpgradeCodes\\{u}": {p: ""},
            f"{user}\\Products\\{p}": {"ProductName": "Zentrivo"},
            f"{user}\\Features\\{p}": {"Main": ""},
        })
        keys = [f"{CLASSES}\\Products\\{o}", f"{CLASSES}\\Features\\{o}", f"{SYSTEM_STORE}\\Products\\{o}",
                f"{SYSTEM_STORE}\\Components\\{pack(OTHER_COMPONENT)}",
                f"{SYSTEM_STORE}\\Components\\{pack(SHARED_COMPONENT)}", SHARED_DLLS]
        before = {key: prefix.export_registry(key, 64) for key in keys}
        run = prefix.run_remover()
        yield prefix, query(prefix), run, before, {key: prefix.export_registry(key, 64) for key in keys}


def assert_machine_product_kept(run, after, before, kept):
    """The run completed, Vexars Backup is still installed for the machine
    and each of its keys holds what it held before the run."""
    h.assert_completed(run)
    assert after[OTHER] == ([OTHER], INSTALLED)
    for key, snapshot in before.items():
        assert snapshot.key_paths(), key
        assert {path: snapshot.values(path) for path in snapshot.key_paths()} == \
            {path: kept[key].values(path) for path in kept[key].key_paths()}, key


def test_a_users_own_hive_cannot_remove_a_product_of_the_machine(trapped):
    prefix, after, run, before, kept = trapped
    assert_machine_product_kept(run, after, before, kept)
    # What the user's hive held of the product went.
    u, p = pack(UPGRADE), pack(PRODUCT)
    user = "HKCU\\Software\\Microsoft\\Installer"
    for key in (f"HKCU\\Software\\X\\Installer\\UpgradeCodes\\{u}", f"{user}\\UpgradeCodes\\{u}",
                f"{user}\\Products\\{p}", f"{user}\\Features\\{p}"):
        h.assert_key_absent(prefix, key, 64)


@pytest.fixture(scope="module")
def linked(template, e2e_config, tmp_path_factory):
    """Vexars Backup installed for the machine; in the running user's own
    hive, registry links into the machine's Installer keys: one at the
    product's upgrade code, to Vexars Backup's, and one named as the user's
    UserData store, to the machine's, beside an upgrade code that names
    Vexars Backup's product code."""
    if shutil.which("wixl") is None or shutil.which("msibuild") is None:
        pytest.fail("wixl and msibuild are needed (tools/setup.sh installs them)")
    folder = tmp_path_factory.mktemp("link_package")
    package = build_package(folder, "Vexars Backup", OTHER, OTHER_UPGRADE, OTHER_COMPONENT)
    u, o = pack(UPGRADE), pack(OTHER)
    machine = "\\Registry\\Machine\\Software"
    with h.scenario_prefix(template, e2e_config, "test_installer_package-links") as prefix:
        result = prefix.run(["msiexec", "/i", prefix.install(package, h.SCRATCH_DIR), "/qn"], timeout=300)
        assert result.exit_code == 0, result
        prefix.plant_registry({
            "HKCU\\Software\\L1\\Installer\\UpgradeCodes": {"x": ""},
            f"HKCU\\Software\\L2\\Installer\\UpgradeCodes\\{u}": {o: ""},
            "HKCU\\Software\\L2\\Installer\\UserData": {"x": ""},
        })
        prefix.plant_registry_link(f"Software\\L1\\Installer\\UpgradeCodes\\{u}",
                                   f"{machine}\\Classes\\Installer\\UpgradeCodes\\{pack(OTHER_UPGRADE)}", "HKCU")
        prefix.plant_registry_link(f"Software\\L2\\Installer\\UserData\\{h.USER_SID}",
                                   f"{machine}\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18",
                                   "HKCU")
        keys = [f"{CLASSES}\\UpgradeCodes\\{pack(OTHER_UPGRADE)}", f"{CLASSES}\\Products\\{o}",
                f"{CLASSES}\\Features\\{o}", f"{CURRENT}\\UpgradeCodes\\{pack(OTHER_UPGRADE)}",
                f"{SYSTEM_STORE}\\Products\\{o}", f"{SYSTEM_STORE}\\Components\\{pack(OTHER_COMPONENT)}",
                f"{SYSTEM_STORE}\\Components\\{pack(SHARED_COMPONENT)}", SHARED_DLLS]
        before = {key: prefix.export_registry(key, 64) for key in keys}
        run = prefix.run_remover()
        yield prefix, query(prefix), run, before, {key: prefix.export_registry(key, 64) for key in keys}


def test_links_in_a_users_hive_do_not_reach_the_machines_installer_keys(linked):
    prefix, after, run, before, kept = linked
    assert_machine_product_kept(run, after, before, kept)
    # The link at the product's upgrade code goes as the link itself.
    h.assert_key_absent(prefix, f"HKCU\\Software\\L1\\Installer\\UpgradeCodes\\{pack(UPGRADE)}", 64)
