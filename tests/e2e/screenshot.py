"""Renders the log submission's e-mail prompt with Wine's X11 driver on a
virtual X display (Xvfb) and saves it as a PNG, for docs/logs-and-mail.md.

    /usr/bin/python3 tests/e2e/screenshot.py docs/prompt.png

Needs the tests' build of the 64-bit program and helpers (tools/build.sh) and
the packages xvfb, x11-apps (xwd) and netpbm. A fresh prefix in
build/screenshot/ runs the program on an empty machine inside a Wine virtual
desktop, so that Wine draws the window frame itself; a box answerer says Yes
to the question and leaves the prompt open for the picture.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import time
from pathlib import Path

import harness as h

DISPLAY = ":97"
DESKTOP = (420, 300)
MARGIN = 4


class DisplayPrefix(h.Prefix):
    def env(self) -> dict:
        return {**super().env(), "DISPLAY": DISPLAY}


def capture(path: Path, frame: tuple) -> None:
    x, y, w, h_ = frame
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", DISPLAY], check=True,
                         capture_output=True).stdout
    ppm = subprocess.run(["xwdtopnm"], input=xwd, check=True, capture_output=True).stdout
    cut = subprocess.run(["pnmcut", str(max(x - MARGIN, 0)), str(max(y - MARGIN, 0)),
                          str(w + 2 * MARGIN), str(h_ + 2 * MARGIN)],
                         input=ppm, check=True, capture_output=True).stdout
    path.write_bytes(subprocess.run(["pnmtopng"], input=cut, check=True,
                                    capture_output=True).stdout)


def main(argv: list) -> int:
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    out = Path(argv[1]).resolve()
    config = h.Config.from_env()
    work = config.work_dir.parent / "screenshot"
    prefix_dir = work / "prefix"
    h._run_prefix_script("create", str(prefix_dir))
    xvfb = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    prefix = DisplayPrefix(prefix_dir, config)
    try:
        time.sleep(1)
        for args in (["reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "x11", "/f"],
                     ["reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f"],
                     ["reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default",
                      "/d", f"{DESKTOP[0]}x{DESKTOP[1]}", "/f"]):
            prefix.run(args)
        prefix.close()
        answerer = h.BoxAnswerer(prefix, {h.SUBMISSION_QUESTION_CAPTION: "IDYES"}, prompts=["none"])
        program = prefix.install(config.program(64))
        prefix.plant_folder(h.DEFAULT_RUN_DIR)
        prefix.popen([program], cwd=h.DEFAULT_RUN_DIR, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 180
        while not any(isinstance(b, h.Prompt) for b in answerer.read()):
            if time.monotonic() > deadline:
                raise h.HarnessError("the prompt did not appear: " + repr(answerer.read()))
            time.sleep(0.5)
        time.sleep(2)  # let it paint
        prompt = next(b for b in answerer.read() if isinstance(b, h.Prompt))
        capture(out, prompt.frame)
        answerer.stop()
        print(f"{out}: the prompt at {prompt.frame} on a {DESKTOP[0]}x{DESKTOP[1]} desktop")
    finally:
        prefix.close()
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
