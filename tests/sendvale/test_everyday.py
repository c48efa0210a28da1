"""Help and version without a profile, the dry run against what a server
receives, and the progress line of a large send."""

import email
import email.policy
import os
import pty
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_command_line  # noqa: E402
from e2e_util import SENDVALE, SendvaleCase  # noqa: E402

SENT = b"sendvale: Email was successfully sent.\n"


def masked(message):
    """The message with Date, Message-ID and the MIME boundary masked."""
    parsed = email.message_from_bytes(message, policy=email.policy.compat32)
    boundary = parsed.get_boundary()
    if boundary:
        message = message.replace(boundary.encode(), b"<boundary>")
    return re.sub(rb"(\r\n(?:Date|Message-ID): )[^\r]*", rb"\1<masked>", message)


class WholeWords(SendvaleCase):
    def test_help_and_version_need_no_profile(self):
        profile = self.profile.encode()
        help_text = self.assert_run(["--help"], 0, b"").stdout
        self.assertTrue(help_text.startswith(test_command_line.USAGE))
        for needed in (b"submission://host", b"nntps://", b"Retry Delay", b"SMTP Password Command",
                       b"--check", b"\n  17   the end of data was sent", b"Profile: " + profile + b"\n"):
            self.assertIn(needed, help_text)
        version = self.assert_run(["-v", "--version"], 0, b"").stdout.split(b"\n")
        self.assertEqual(version[0], b"Sendvale 1.10a")
        self.assertRegex(version[1], rb"^TLS: OpenSSL \d")
        self.assertEqual(version[2:], [b"Profile: " + profile, b""])

    def test_other_dash_dash_words_still_read_standard_input(self):
        sink = self.start_sink(sessions=2)
        for word in ("--helpx", "--"):
            self.assert_run([word, "-sX", "a@example.com"], 0, b"", stdin=word.encode() + b" text\n")
        sink.finish()
        bodies = [m.partition(b"\r\n\r\n")[2][:14] for m in sink.messages()]
        self.assertEqual(bodies, [b"--helpx text\r\n", b"-- text\r\n\r\n\r\n"])


class DryRun(SendvaleCase):
    ARGS = ["-v", "--", "-sDry run", "-iphoto.png", "-cc@example.com", "-bb@example.com",
            "A <a@example.com>"]
    TEXT = b"first line\n.starts with a dot\n.\nlast line without end"

    def test_output_is_what_the_server_receives(self):
        self.work_file("photo.png", bytes(range(256)) * 40)
        sink = self.start_sink()
        dry = self.assert_run(["-n"] + self.ARGS, 0, stdin=self.TEXT)
        self.assert_run(self.ARGS, 0, stdin=self.TEXT)
        delivered = self.delivered()
        self.assertEqual(masked(dry.stdout), masked(delivered))
        self.assertTrue(email.message_from_bytes(dry.stdout).is_multipart())
        envelope = [line for line in sink.record().split(b"\r\n") if re.match(rb"MAIL|RCPT", line)]
        self.assertEqual(dry.stderr, b"Enter message text. End with ^D\n" + b"\n".join(envelope)
                         + b"\nsendvale: Dry run: nothing was sent.\n")

    def test_missing_attachment_writes_nothing(self):
        self.write_profile("127.0.0.1:1")
        self.work_file("here.txt", b"x" * 200000)
        result = self.assert_run(["-n", "-ihere.txt", "-inope.bin", "a@example.com"], 12, b"")
        self.assertEqual(result.stdout, b"")


class Progress(SendvaleCase):
    def test_shown_on_a_terminal_only(self):
        self.work_file("big.bin", os.urandom(2 * 1024 * 1024))
        self.start_sink(sessions=2)
        args = [SENDVALE, "-v", "-ibig.bin", "-sBig", "a@example.com"]
        master, slave = pty.openpty()
        process = subprocess.Popen(args, cwd=self.work, env=self.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        try:
            while chunk := os.read(master, 4096):
                shown += chunk
        except OSError:  # EIO once the program's end of the terminal is closed
            pass
        os.close(master)
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertRegex(shown, rb"^\rsendvale:   0% 0 of \d+ bytes")
        # The line is erased before the outcome is reported.
        self.assertRegex(shown, rb"\r +\rsendvale: Email was successfully sent.\r\n$")
        self.assert_run(args[1:], 0, SENT)


if __name__ == "__main__":
    unittest.main()
