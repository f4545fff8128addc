"""End-to-end harness: runs the remover under Wine in throw-away prefixes.

The tests import the package as one namespace (`import harness as h`); its
modules hold one concern each: constants, config, registry, logs, programs
(the helpers beside the remover), wine (prefixes and runs), checks and
expected (the program's texts), host (what
the scenarios share with the rest of the machine).

One booted template prefix per session is cloned for every scenario
(tests/wine/prefix.sh does both and keeps the prefixes away from the host).
A scenario plants what it needs (registry keys and values in either view,
files and folders, a Windows version for one program), runs the 64-bit or
32-bit program with a box answerer beside it, and asserts on the console
output, both log files, the message boxes, the exit code and the state left
in the prefix.

Environment variables (paths relative to the repository root):
  ZENQO_E2E_PROGRAM_X64   64-bit program   (build/x64/mailtest/ZENQORemover_x64.exe)
  ZENQO_E2E_PROGRAM_X86   32-bit program   (build/x86/mailtest/ZENQORemover.exe)
                          (the tests' builds, which mail 127.0.0.1)
  ZENQO_E2E_HELPER_DIR    helper programs  (build/x64/tests/e2e/helpers)
  ZENQO_E2E_HELPER_DIR_X86 32-bit helpers  (build/x86/tests/e2e/helpers)
  ZENQO_E2E_TEST_SERVICE  a small Windows service, for the demonstration machine
                          (build/x64/tests/test_service_x86_64.exe)
  ZENQO_E2E_WORK_DIR      prefixes and artifacts (build/e2e)
  ZENQO_E2E_TIMEOUT       time limit of one 64-bit run, seconds (120)
  ZENQO_E2E_TIMEOUT_X86   time limit of one 32-bit run, seconds (600)
  ZENQO_E2E_KEEP          1: keep every scenario prefix after its test
  ZENQO_E2E_REUSE_TEMPLATE 1: reuse a template prefix left by an earlier session
  ZENQO_E2E_TEMPLATE      a booted prefix to clone, owned by the caller (tools/test.sh
                          boots one for the unit tests and the scenarios alike)
"""

from __future__ import annotations

from .constants import *  # noqa: F401,F403
from .config import *  # noqa: F401,F403
from .registry import *  # noqa: F401,F403
from .logs import *  # noqa: F401,F403
from .programs import *  # noqa: F401,F403
from .wine import *  # noqa: F401,F403
from .checks import *  # noqa: F401,F403
from .expected import *  # noqa: F401,F403
from .host import *  # noqa: F401,F403
from .programs import _box_or_prompt  # noqa: F401
from .wine import _run_prefix_script  # noqa: F401
