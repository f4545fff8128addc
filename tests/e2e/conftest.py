"""Fixtures of the end-to-end tests: one template prefix per session, one
clone per scenario, every wineserver ended and every clone removed (unless
ZENQO_E2E_KEEP=1) whatever the outcome. The outputs of each run are kept
under <work dir>/artifacts/<test name>/ for reading after a failure."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

import harness as h


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "wow64: runs the 32-bit program under WoW64 (slow where 32-bit goes "
                   "through qemu); deselect with -m 'not wow64'")


@pytest.fixture(scope="session")
def e2e_config() -> h.Config:
    config = h.Config.from_env()
    if not Path(h.WINE64).exists():
        pytest.skip(f"{h.WINE64} is missing: run tools/setup.sh")
    for helper in h.HELPERS:
        if not config.helper(helper).is_file():
            pytest.fail(f"{config.helper(helper)} is missing: build the x64 tree with "
                        "ZENQO_BUILD_TESTS=ON (cmake --build build/x64) or set "
                        "ZENQO_E2E_HELPER_DIR", pytrace=False)
    return config


@pytest.fixture(scope="session")
def template(e2e_config):
    """The booted template prefix, created once per session."""
    path = e2e_config.work_dir / "template"
    try:
        yield h.Template.create(path, reuse=e2e_config.reuse_template)
    finally:
        h.kill_server(path)
        if not (e2e_config.keep_prefixes or e2e_config.reuse_template):
            shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def prefix(request, template, e2e_config):
    """A clone of the template for this test alone."""
    with h.scenario_prefix(template, e2e_config, request.node.nodeid) as p:
        yield p


@pytest.fixture(scope="session")
def wow64(template):
    """Skips the test when 32-bit programs cannot run in the prefixes."""
    if not template.has_wow64:
        pytest.skip("the template prefix has no syswow64 (32-bit Wine does not work here)")
    if not h.wine32_works():
        pytest.skip(f"{h.WINE32} does not start (run tools/setup.sh)")
