"""Configuration from the environment, and Wine's environment for a prefix."""

from __future__ import annotations

import functools
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

from .constants import REPO_ROOT, WINE32


def _env_path(name: str, default: str) -> Path:
    value = os.environ.get(name)
    path = Path(value) if value else Path(default)
    return path if path.is_absolute() else REPO_ROOT / path


def _env_float(name: str, default: float) -> float:
    value = os.environ.get(name)
    return float(value) if value else default


def _env_flag(name: str) -> bool:
    return os.environ.get(name, "") not in ("", "0", "no", "false")


@dataclass(frozen=True)
class Config:
    program_x64: Path
    program_x86: Path
    helper_dir: Path
    helper_dir_x86: Path
    test_service: Path
    work_dir: Path
    timeout_x64: float
    timeout_x86: float
    keep_prefixes: bool
    reuse_template: bool

    @classmethod
    def from_env(cls) -> "Config":
        return cls(
            program_x64=_env_path("ZENQO_E2E_PROGRAM_X64", "build/x64/mailtest/ZENQORemover_x64.exe"),
            program_x86=_env_path("ZENQO_E2E_PROGRAM_X86", "build/x86/mailtest/ZENQORemover.exe"),
            helper_dir=_env_path("ZENQO_E2E_HELPER_DIR", "build/x64/tests/e2e/helpers"),
            helper_dir_x86=_env_path("ZENQO_E2E_HELPER_DIR_X86", "build/x86/tests/e2e/helpers"),
            test_service=_env_path("ZENQO_E2E_TEST_SERVICE", "build/x64/tests/test_service_x86_64.exe"),
            work_dir=_env_path("ZENQO_E2E_WORK_DIR", "build/e2e"),
            timeout_x64=_env_float("ZENQO_E2E_TIMEOUT", 120.0),
            timeout_x86=_env_float("ZENQO_E2E_TIMEOUT_X86", 600.0),
            keep_prefixes=_env_flag("ZENQO_E2E_KEEP"),
            reuse_template=_env_flag("ZENQO_E2E_REUSE_TEMPLATE"),
        )

    def program(self, bits: int) -> Path:
        return self.program_x64 if bits == 64 else self.program_x86

    def timeout(self, bits: int) -> float:
        return self.timeout_x64 if bits == 64 else self.timeout_x86

    def helper(self, name: str) -> Path:
        return self.helper_dir / name


@functools.lru_cache(maxsize=None)
def emulator_settings() -> dict:
    """tests/wine/emulator.env: qemu's settings for 32-bit programs, read
    once (every program start takes them)."""
    settings = {}
    for line in (REPO_ROOT / "tests" / "wine" / "emulator.env").read_text().splitlines():
        name, sep, value = line.partition("=")
        if sep and not name.startswith("#"):
            settings[name.strip()] = value.strip()
    return settings


def wine_env(prefix_dir: Path) -> dict:
    env = {**emulator_settings(), **os.environ}
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER", "WINEDLLOVERRIDES"):
        env.pop(name, None)
    env.update(WINEPREFIX=str(prefix_dir), WINEARCH="win64", WINEDEBUG="-all",
               LANG="C.UTF-8", LC_ALL="C.UTF-8")
    return env


def wine32_works() -> bool:
    """Whether Wine's 32-bit loader starts here (natively or through qemu)."""
    try:
        return subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=120).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False
