"""What the scenarios share with everything else on the test machine: the
fixed SMTP port that the tests' programs mail to, and the real SMTP server
(aiosmtpd) that listens there for a scenario."""

from __future__ import annotations

import contextlib
import fcntl
import socket
import time
from pathlib import Path

from .constants import HarnessError

# The tests' programs mail to 127.0.0.1:25, a port that two test runs on one
# machine (two working copies, or two pytest-xdist workers) would both use.
SMTP_PORT = 25
_SMTP_PORT_LOCK = Path("/tmp/zenqo-e2e-smtp-port-25.lock")


@contextlib.contextmanager
def smtp_port(timeout: float = 900):
    """Holds the machine-wide lock of port 25 for one scenario: a scenario
    that listens there, or that needs nothing listening there, waits until
    no other test run uses the port (at most `timeout` seconds)."""
    with open(_SMTP_PORT_LOCK, "a") as lock:
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise HarnessError(f"port {SMTP_PORT} stayed in use by another test run "
                                       f"for {timeout:.0f} s") from None
                time.sleep(0.5)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def port_free() -> bool:
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", SMTP_PORT)) != 0


class Mailbox:
    """aiosmtpd's handler: records each mail; with `refusal` it refuses
    every MAIL FROM with that reply."""

    def __init__(self, refusal: str = None, quit_reply: str = None):
        self.refusal = refusal
        self.quit_reply = quit_reply
        self.envelopes = []

    async def handle_QUIT(self, server, session, envelope):  # noqa: N802
        return self.quit_reply or "221 Bye"

    async def handle_MAIL(self, server, session, envelope, address, options):  # noqa: N802
        if self.refusal:
            return self.refusal
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):  # noqa: N802
        self.envelopes.append(envelope)
        return "250 Message accepted"


@contextlib.contextmanager
def smtp_server(refusal: str = None, listening: bool = True, quit_reply: str = None):
    """A real SMTP server on 127.0.0.1:25 for one scenario, yielding its
    Mailbox; with listening=False the port is only kept free of others;
    `quit_reply` answers QUIT instead of "221 Bye"."""
    from aiosmtpd.controller import Controller

    with smtp_port():
        if not port_free():
            raise HarnessError(f"something already listens on 127.0.0.1:{SMTP_PORT}")
        mailbox = Mailbox(refusal, quit_reply)
        controller = Controller(mailbox, hostname="127.0.0.1", port=SMTP_PORT)
        if listening:
            controller.start()
        try:
            yield mailbox
        finally:
            if listening:
                controller.stop()
