"""The mail library against a real SMTP server (aiosmtpd on 127.0.0.1), its
output read by an independent reader (Python's email package): headers in
order, a non-ASCII subject decoded back, a base64 body equal byte for byte to
what was set, and lines beginning with a dot delivered intact."""

from __future__ import annotations

import email
import email.policy
import socket

import pytest
from aiosmtpd.controller import Controller

import harness as h

SUBJECT = "Zentrivo-Protokoll für Björn – 2.1.5"
TEXT = ("ZENQORemover log\r\n.a line that begins with a dot\r\n..two dots\r\n.\r\n"
        "Ümlaute and € signs\r\n" + "x" * 200 + "\r\nlast line")


class Recorder:
    def __init__(self):
        self.envelopes = []

    async def handle_DATA(self, server, session, envelope):  # noqa: N802 - aiosmtpd's name
        self.envelopes.append(envelope)
        return "250 Message accepted"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def delivered(template, e2e_config):
    recorder = Recorder()
    controller = Controller(recorder, hostname="127.0.0.1", port=free_port())
    controller.start()
    try:
        with h.scenario_prefix(template, e2e_config, "test_mail_library") as prefix:
            sender = prefix.install(e2e_config.helper("send_mail.exe"))
            body = h.SCRATCH_DIR + "\\body.txt"
            prefix.plant_file(body, TEXT.encode("utf-8"))
            results = {}
            for encoding in ("base64", "8bit"):
                results[encoding] = prefix.run(
                    [sender, "127.0.0.1", str(controller.port), "remover@zentrivo.example",
                     "support@zentrivo.example", SUBJECT, body, encoding], timeout=120)
            yield results, recorder.envelopes
    finally:
        controller.stop()


def test_real_server_receives_what_was_set(delivered):
    results, envelopes = delivered
    for encoding, result in results.items():
        assert result.exit_code == 0, (encoding, result.stdout)
    assert len(envelopes) == 2
    for envelope, encoding in zip(envelopes, ("base64", "8bit")):
        assert envelope.mail_from == "remover@zentrivo.example"
        assert envelope.rcpt_tos == ["support@zentrivo.example"]
        mail = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        assert list(mail.keys()) == ["From", "To", "Subject", "Content-Transfer-Encoding", "Content-Type"]
        assert str(mail["Subject"]) == SUBJECT
        assert mail.get_content_type() == "text/plain" and mail.get_content_charset() == "utf-8"
        body = mail.get_payload(decode=True)
        if encoding == "base64":
            # Lines end with CR LF in the text itself, so the bytes are equal.
            assert body == TEXT.encode("utf-8")
        else:
            # Sent as lines: each arrives with CR LF, the last one too.
            assert body == TEXT.encode("utf-8") + b"\r\n"
