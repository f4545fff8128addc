"""Keys of the product's own tree whose access list refuses the
administrators are taken over, read into the backup and deleted with the
rest of the product's key. The same access list on another vendor's key, on
the key a link of the product's tree leads to, and on the maker's key that
the run only walks through stays as it is, with the values below it."""

from __future__ import annotations


import pytest

import harness as h

NOBODY_MAY = "D:P"
EVERYONE_MAY = "D:P(A;;KA;;;WD)"

PRODUCT = "HKLM\\Software\\Vexars\\ZENQO"
LOCKED = PRODUCT + "\\Locked"
INNER = LOCKED + "\\Inner"
OTHER = "HKLM\\Software\\OtherVendor\\Locked"
# The product's Uninstall entry, with a locked key below it; the run names it
# as its search for the product spells the path.
ENTRY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZentrivoEntry"
ENTRY_LOCKED = ENTRY + "\\Locked"
# The maker's key of the current user, locked: the run only walks through it.
MAKER = "HKCU\\Software\\Vexars"
USER_PRODUCT = MAKER + "\\ZENQO"

KEYS = {PRODUCT + "\\Settings": {"Language": "en"},
        PRODUCT + "\\Misc": {"Count": 3},
        LOCKED + "\\Beside": {"Left": "beside"},
        INNER: {"Secret": "inner value"},
        OTHER: {"Vendor": "theirs"},
        USER_PRODUCT: {"Language": "de"},
        ENTRY: {"DisplayName": "Zentrivo"},
        ENTRY_LOCKED: {"Hidden": "entry value"}}


def taken_over(key: str) -> str:
    return f"Taken over: '{h.full_key(key)}' (its access list refused the administrators)"


@pytest.fixture(scope="module")
def locked_run(template, e2e_config):
    with h.scenario_prefix(template, e2e_config, "test_protected_keys") as prefix:
        prefix.plant_registry(KEYS)
        # A link of the product's tree to the other vendor's locked key.
        prefix.plant_registry_link("Software\\Vexars\\ZENQO\\Shared",
                                   "\\Registry\\Machine\\Software\\OtherVendor\\Locked")
        before = {key: prefix.key_security(key, NOBODY_MAY) for key in (INNER, ENTRY_LOCKED, OTHER, MAKER)}
        run = prefix.run_remover()
        after = {key: prefix.key_security(key) for key in (OTHER, MAKER)}
        exists = {key: prefix.key_exists(key) for key in (PRODUCT, ENTRY)}
        backup = prefix.read_backup()
        # Opened again by the test, as their owner may, to read what they hold.
        for key in (OTHER, MAKER):
            prefix.key_security(key, EVERYONE_MAY)
        kept = {key: prefix.read_key(key) for key in (OTHER, USER_PRODUCT)}
        yield run, before, after, backup.decode("utf-16-le") if backup else "", kept, exists


def test_the_whole_product_key_goes(locked_run):
    run, before, _, _, _, exists = locked_run
    h.assert_completed(run)
    # Wine enforces the planted access list on keys: the old run failed here.
    assert before[INNER].endswith("D:P"), before
    for log in (run.cwd_log, run.temp_log):
        h.assert_in_order(log, [taken_over(INNER), f"  Removed regkey '{h.full_key(PRODUCT)}'",
                                taken_over(ENTRY_LOCKED), f"  Removed regkey '{h.full_key(ENTRY)}'"])
        h.assert_absent(log, [f"!  Failed to remove regkey '{h.full_key(key)}' !" for key in (PRODUCT, ENTRY)])
        # Only the locked keys were taken over: not their parents, nor the link's target.
        assert [line for line in log.texts if line.startswith("Taken over: ")] == [taken_over(INNER), taken_over(ENTRY_LOCKED)]
    assert not any(exists.values()), exists


def test_the_backup_holds_the_locked_keys_values(locked_run):
    _, _, _, backup, _, _ = locked_run
    # Key names as the backup spells them; letter case aside, they are the keys'.
    for key, name, text in ((INNER, "Secret", "inner value"), (LOCKED + "\\Beside", "Left", "beside"),
                            (ENTRY_LOCKED, "Hidden", "entry value")):
        assert f"[{h.full_key(key)}]\r\n\"{name}\"=\"{text}\"\r\n".lower() in backup.lower(), key


def test_what_is_not_the_products_keeps_its_access_list_and_values(locked_run):
    run, before, after, _, kept, _ = locked_run
    assert after[OTHER] == before[OTHER]
    assert after[MAKER] == before[MAKER]
    assert kept[OTHER] == {"Vendor": "theirs"}
    # Below the maker's locked key the product's key cannot be reached: it
    # stays, and the run says so.
    assert kept[USER_PRODUCT] == {"Language": "de"}
    h.assert_in_order(run.temp_log, ["!  Subkey ZENQO NOT removed as HKEY_CURRENT_USER\\Software\\Vexars not FOUND !"])
