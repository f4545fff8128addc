"""A local SMTP server for the demonstration: listens on 127.0.0.1:25 (where
the tests' build of the program sends its log) until it is ended, and writes
each mail it receives to a file, decoded with Python's email package, and the
last body's bytes to the same file name with ".body" appended.

    mail_sink.py OUTPUT-FILE
"""

from __future__ import annotations

import email
import email.policy
import signal
import socket
import sys
import threading

from aiosmtpd.controller import Controller

PORT = 25


class Sink:
    def __init__(self, path: str):
        self.path = path

    async def handle_DATA(self, server, session, envelope):  # noqa: N802 - aiosmtpd's name
        mail = email.message_from_bytes(envelope.original_content, policy=email.policy.compat32)
        body = mail.get_payload(decode=True)
        with open(self.path + ".body", "wb") as out:
            out.write(body)
        with open(self.path, "a", encoding="utf-8") as out:
            out.write(f"Envelope: MAIL FROM {envelope.mail_from}, RCPT TO {', '.join(envelope.rcpt_tos)}\n")
            for name, value in mail.items():
                out.write(f"{name}: {value}\n")
            out.write(f"\nBody, base64-decoded ({len(body)} bytes, UTF-8):\n")
            out.write(body.decode("utf-8-sig", errors="replace"))
        return "250 Message accepted"


def main(argv: list) -> int:
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", PORT)) == 0:
            print(f"mail_sink: something already listens on 127.0.0.1:{PORT}", file=sys.stderr)
            return 1
    open(argv[1], "w").close()
    controller = Controller(Sink(argv[1]), hostname="127.0.0.1", port=PORT)
    controller.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print("ready", flush=True)
    stop.wait()
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
