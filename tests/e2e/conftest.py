"""Fixtures of the end-to-end tests: one template prefix per session, one
clone per scenario, every wineserver ended and every clone removed (unless
ZENQO_E2E_KEEP=1) whatever the outcome. The outputs of each run are kept
under <work dir>/artifacts/<test name>/ for reading after a failure.

The template is made once, before any test runs (and before pytest-xdist
starts its workers, which find it through ZENQO_E2E_TEMPLATE); tools/test.sh
boots one prefix for the unit tests and the scenarios alike and hands it
over the same way. Under pytest-xdist (`-n 2 --dist loadgroup`) the tests
that share a module-scoped prefix run in one worker, and the scenarios that
use 127.0.0.1:25 in one worker too; the groups that run the 32-bit program
start first."""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import pytest

import harness as h

# The template made by this session (None when it was handed over, or when
# this process is a pytest-xdist worker).
_own_template: h.Template = None


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "wow64: runs the 32-bit program under WoW64 (slow where 32-bit goes "
                   "through qemu); deselect with -m 'not wow64'")
    config.addinivalue_line(
        "markers", "xdist_group(name): tests that must run in the same pytest-xdist worker")


def _is_worker(config) -> bool:
    return hasattr(config, "workerinput")


@pytest.hookimpl(tryfirst=True)
def pytest_sessionstart(session):
    """Boots the template before the workers start, so that it is booted once."""
    global _own_template
    config = session.config
    if _is_worker(config) or config.option.collectonly or os.environ.get(h.TEMPLATE_VARIABLE):
        return
    if not Path(h.WINE64).exists():
        return  # the template fixture skips every test that needs Wine
    e2e = h.Config.from_env()
    _own_template = h.Template.create(e2e.work_dir / "template", reuse=e2e.reuse_template)
    os.environ[h.TEMPLATE_VARIABLE] = str(_own_template.path)


def pytest_sessionfinish(session):
    """Checks that no scenario changed the files its clone shared with the
    template, then removes the template this session made."""
    if _own_template is None or _is_worker(session.config):
        return
    os.environ.pop(h.TEMPLATE_VARIABLE, None)
    h.kill_server(_own_template.path)
    try:
        _own_template.verify_shared_files()
    except h.HarnessError as error:
        print(f"\n{error}", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
        return  # kept for reading
    e2e = h.Config.from_env()
    if not (e2e.keep_prefixes or e2e.reuse_template):
        shutil.rmtree(_own_template.path, ignore_errors=True)


def _xdist_group(item) -> str:
    """The tests that share a module-scoped prefix run in one worker, so that
    it is made once: a group is the module with the module-scoped fixtures
    the test uses (a fixture with parameters makes one prefix for each, so
    each parameter is a group of its own). A test that uses none is a group
    of its own."""
    definitions = item._fixtureinfo.name2fixturedefs
    callspec = getattr(item, "callspec", None)
    shared = []
    for name in sorted(item.fixturenames):
        if name not in definitions or definitions[name][-1].scope != "module":
            continue
        if callspec is not None and name in callspec.params:
            shared.append(f"{name}={callspec.indices[name]}")
        else:
            shared.append(name)
    if not shared:
        return item.nodeid
    return "/".join([item.module.__name__] + shared)


def _group_of(item) -> str:
    marker = item.get_closest_marker("xdist_group")
    return marker.args[0] if marker and marker.args else marker.kwargs.get("name", "")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    # Runs before pytest-xdist reads the groups; explicit groups stay.
    for item in items:
        if item.get_closest_marker("xdist_group") is None:
            item.add_marker(pytest.mark.xdist_group(_xdist_group(item)))
    # The groups that run the 32-bit program go first, each kept whole and in
    # order: where 32-bit code runs through qemu they are the longest, and
    # started last they would leave one worker idle at the end.
    slow = {_group_of(item) for item in items if item.get_closest_marker("wow64")}
    items[:] = ([item for item in items if _group_of(item) in slow] +
                [item for item in items if _group_of(item) not in slow])


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
    """The booted template prefix, made once per session (see above)."""
    path = os.environ.get(h.TEMPLATE_VARIABLE)
    if not path:
        pytest.fail("no template prefix: it is made at the start of the session",
                    pytrace=False)
    return h.Template.use(Path(path))


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
