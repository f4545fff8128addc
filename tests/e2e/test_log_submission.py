"""The end of every run: the question, the sender from the suite or from the
e-mail prompt, the log mailed to a real SMTP server on 127.0.0.1:25 (the
tests' programs are built to mail there) and read back with Python's email
package, and each outcome's box."""

from __future__ import annotations

import base64
import email
import email.header
import email.policy
import re
from dataclasses import dataclass

import pytest

import harness as h
import simulated_machine as sm

SUPPORT = "support@zentrivo.example"
QUESTION = ("Brivona support", "Would you like to send a log file to Brivona support?", (6, 7))
NO_SENDER = ("Log file not submitted", "Log file can't be sent without a sender", (1,))
THANKS = ("Log file submitted", "Thank you. The log file has been submitted.", (1,))
NOT_SUBMITTED = "Log file not submitted"
# The scenarios that use 127.0.0.1:25 (h.smtp_server) run in one pytest-xdist
# worker rather than wait for each other there.
pytestmark = pytest.mark.xdist_group("smtp-port-25")
# What the suite's stand-in library reads from its configuration as the user
# name: the stored address then tries to add a Bcc header and to split the
# log line that reports it.
HOSTILE_NAME = "ivy@example.org>\rBcc: <victim@example.net"
HOSTILE_VERSION = "2.1.5\r\nBcc: <victim@example.net>\r\n\r\nnot a body"
LOG_LINE = re.compile(rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d [# +!>@]  [^\r\n]*")


LONG_REFUSAL = "550 5.7.1 " + "Null senders are not accepted here. " * 30


@dataclass
class Scenario:
    name: str
    question: str = "IDYES"
    prompts: tuple = ()
    # accept, reject (MAIL FROM 5xx), reject-long (the same, 1,000 characters),
    # quit-refused (QUIT 5xx after the accepted message), none
    server: str = "accept"
    machine: str = "empty"  # empty, installed (2.1.5), suite (sender from its configuration)
    # What the user sees after the question, in order: box tuples, or
    # "prompt" for each prompt shown.
    shown: tuple = ()
    sender: str = None  # the mail's From address; None: no mail
    error: str = None  # the start of the failure box's text
    version: str = "2.1.5"  # the installed product's DisplayVersion
    suite_name: str = None  # the user name in the suite's configuration, if not the usual one
    logged: bytes = None  # a text the log must hold
    error_length: int = None  # the failure box text's length, when it is cut
    console: str = None  # a line the console must show after the run


SCENARIOS = [
    Scenario("typed-address", prompts=("ok:admin@corp.example",), machine="installed",
             shown=("prompt", THANKS), sender="admin@corp.example"),
    Scenario("suite-sender", machine="suite", shown=(THANKS,), sender="alice@example.org"),
    Scenario("no", question="IDNO"),
    Scenario("cancel", prompts=("cancel",), shown=("prompt", NO_SENDER)),
    Scenario("close", prompts=("close",), shown=("prompt", NO_SENDER)),
    Scenario("no-at-then-address", prompts=("ok:admin", "ok:", "ok:x@y"),
             shown=("prompt", NO_SENDER, "prompt", NO_SENDER, "prompt", THANKS), sender="x@y"),
    Scenario("rejected-sender", prompts=("ok:admin@corp.example",), server="reject",
             shown=("prompt", "error"), error="smtp.permanent_failure["),
    # A reply of a thousand characters is cut to 300 and "..." in the box.
    Scenario("long-refusal", prompts=("ok:admin@corp.example",), server="reject-long",
             shown=("prompt", "error"), error="smtp.permanent_failure[550 5.7.1 Null senders are not",
             error_length=303),
    # The message is accepted: a refused QUIT does not undo it, and is shown
    # on the console, the log file being closed by then.
    Scenario("quit-refused", prompts=("ok:admin@corp.example",), server="quit-refused",
             shown=("prompt", THANKS), sender="admin@corp.example",
             console="QUIT after the accepted message failed: smtp.permanent_failure[554 no goodbye]"),
    Scenario("no-server", prompts=("ok:admin@corp.example",), server="none",
             shown=("prompt", "error"), error="internet.transport.connection_failed.connection_refused["),
    # A stored address with a line break is not used: the user is asked.
    Scenario("suite-sender-with-line-break", machine="suite", suite_name=HOSTILE_NAME,
             prompts=("ok:admin@corp.example",), shown=("prompt", THANKS), sender="admin@corp.example",
             logged=b"Email set to ivy@example.org>\\rBcc: <victim@example.net@example.org from suite"),
    Scenario("version-with-line-breaks", machine="installed", version=HOSTILE_VERSION,
             prompts=("ok:admin@corp.example",), shown=("prompt", THANKS), sender="admin@corp.example",
             logged=b"Product version: '2.1.5\\r\\nBcc: <victim@example.net>\\r\\n\\r\\nnot a body'"),
]


def plant(prefix: h.Prefix, s: Scenario) -> None:
    if s.machine == "installed":
        prefix.plant_registry({**sm.uninstall_entry(location=sm.MAKER_DIR, version=s.version),
                               **sm.installed_product_keys("HKLM")})
    elif s.machine == "suite":
        sm.plant_suite_and_tray(prefix, sm.SuiteMachine(), 64)
        if s.suite_name is not None:
            prefix.plant_paths({sm.SUITE_CFG: f"name={s.suite_name}\nsite=example.org\n"})


@pytest.fixture(params=SCENARIOS, ids=lambda s: s.name)
def outcome(request, template, e2e_config):
    s: Scenario = request.param
    refusals = {"reject": "550 5.7.1 Null senders are not accepted", "reject-long": LONG_REFUSAL}
    quit_reply = "554 no goodbye" if s.server == "quit-refused" else None
    with h.smtp_server(refusal=refusals.get(s.server), listening=s.server != "none",
                       quit_reply=quit_reply) as mailbox:
        with h.scenario_prefix(template, e2e_config, f"test_log_submission-{s.name}") as prefix:
            plant(prefix, s)
            run = prefix.run_remover(answers={h.SUBMISSION_QUESTION_CAPTION: s.question},
                                     prompts=s.prompts)
            log = prefix.read_bytes(run.cwd.rstrip("\\") + "\\" + h.LOG_NAME)
            yield s, run, log, mailbox.envelopes


def shown_after_question(run) -> tuple:
    seen = []
    for b in run.boxes[1:]:
        seen.append("prompt" if isinstance(b, h.Prompt) else (b.caption, b.text, b.buttons))
    return tuple(seen)


def check_layout(p: h.Prompt) -> None:
    assert (p.window_class, p.caption) == ("InputBox", "Enter your e-mail")
    assert p.exstyle & ~0x100 == 0  # the system adds WS_EX_WINDOWEDGE to a caption
    width, height = p.screen
    assert p.frame == (width // 2 - 150, height // 2 - 100, 300, 200)
    frame_style = 0x00CC0000  # caption, system menu, sizing frame
    assert p.style & frame_style == frame_style
    controls = {(c["id"], c["class"].lower(), c["text"], c["x"], c["y"], c["w"], c["h"])
                for c in p.controls}
    assert controls == {(127, "static", "Enter your e-mail address", 8, 30, 270, 25),
                        (101, "edit", "", 8, 60, 270, 25),
                        (1, "button", "Ok", 28, 110, 100, 25),
                        (2, "button", "Cancel", 162, 110, 100, 25)}
    child_visible = 0x50000000
    for c in p.controls:
        assert c["style"] & child_visible == child_visible
        if c["class"].lower() == "button":
            assert c["style"] & 0xF == 1  # BS_DEFPUSHBUTTON


def test_log_submission(outcome):
    s, run, log, envelopes = outcome
    assert run.exit_code == 0, run.describe()
    assert (run.boxes[0].caption, run.boxes[0].text, run.boxes[0].buttons) == QUESTION, run.describe()
    assert not run.boxes[0].icon
    shown = shown_after_question(run)
    if s.error:
        assert len(shown) == 2 and shown[0] == "prompt", run.describe()
        caption, text, buttons = shown[1]
        assert (caption, buttons) == (NOT_SUBMITTED, (1,)) and text.startswith(s.error), run.describe()
        if s.error_length:
            assert len(text) == s.error_length and text.endswith("..."), text
    else:
        assert shown == s.shown, run.describe()
    # Every line of the log carries its prefix, whatever the texts from
    # outside held.
    assert log.startswith(h.UTF8_BOM) and log.endswith(b"\r\n")
    for line in log[len(h.UTF8_BOM):-2].split(b"\r\n"):
        assert LOG_LINE.fullmatch(line), line
    if s.logged:
        assert s.logged in log
    if s.console:
        assert s.console in run.console.texts, run.describe()
        assert s.console.encode() not in log
    # Each prompt is answered as asked, in turn.
    prompts = [b for b in run.boxes if isinstance(b, h.Prompt)]
    assert [p.answer for p in prompts] == list(s.prompts)
    if prompts:
        check_layout(prompts[0])

    if s.sender is None:
        assert envelopes == []
        return
    assert len(envelopes) == 1
    envelope = envelopes[0]
    # The null reverse path: aiosmtpd gives "MAIL FROM:<>" as "<>".
    assert envelope.mail_from == "<>" and envelope.rcpt_tos == [SUPPORT]
    mail = email.message_from_bytes(envelope.original_content, policy=email.policy.compat32)
    assert mail.keys() == ["From", "Subject", "To", "Content-Transfer-Encoding", "Content-Type"]
    version = s.version if s.machine == "installed" else "NUL"
    subject = f"ZNVRemover.exe log ZNV:{version}  OS:6.1"
    if s.version == HOSTILE_VERSION:
        # One header line that reads back as the text.
        assert "\r" not in mail["Subject"] and "\n" not in mail["Subject"]
        assert str(email.header.make_header(email.header.decode_header(mail["Subject"]))) == subject
    else:
        assert mail["Subject"] == subject
    assert mail["From"] == f"<{s.sender}>"
    assert mail["To"] == f'"Remove-support mails" <{SUPPORT}>'
    assert mail["Content-Transfer-Encoding"] == "base64"
    assert mail["Content-Type"] == 'text/plain; charset="utf-8"'
    # The body is the log file as it is on disk after the run, its mark included.
    assert log.startswith(h.UTF8_BOM)
    assert mail.get_payload(decode=True) == log
    lines = mail.get_payload().splitlines()
    assert all(len(line) == 76 for line in lines[:-1]) and 0 < len(lines[-1]) <= 76
    assert base64.b64decode("".join(lines), validate=True) == log
