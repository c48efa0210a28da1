"""Hostile input, end to end: every row ends within its time (a hang guard,
not a timing check) with its status and a verbose message, having sent the
server nothing and left the spool folder empty. Pipes stay accepted, and
closed standard streams do not leak the trace into the dialogue."""

import collections
import os
import resource
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_util import SENDVALE, SendvaleCase, read_bytes  # noqa: E402

TO = "a@example.com"
FILES = {
    "big.bin": b"\xA5" * 3000000,
    "many.txt": b"x@example.com\n" * 100001,
    "long.txt": b"a" * 120 + b"@example.com\n",
    # Each names the next a hundred times: 10^10 opens if nothing stops it.
    **{"bomb%d.txt" % i: b"@bomb%d.txt\n" % (i + 1) * 100 for i in range(1, 6)},
    "bomb6.txt": b"b@example.com\n",
}

Row = collections.namedtuple("Row", "args status says profile env limit seconds",
                             defaults=("", {}, None, 20))
ROWS = [
    Row(["-t/dev/zero", TO], -1, b"'/dev/zero' is not a regular file or a pipe"),
    Row(["-t.", TO], -1, b"'.' is not a regular file or a pipe"),
    Row(["-i/dev/zero", TO], 12, b"'/dev/zero' is not a regular file or a pipe"),
    Row(["-i.", TO], 12, b"'.' is not a regular file or a pipe"),
    Row(["-ibig.bin", TO], 12, b"Unable to write tmp file", limit=1000000),
    Row(["@/dev/zero"], 1, b"'@/dev/zero' is not a regular file or a pipe"),
    Row(["@bomb1.txt"], 1, b"More than 1000 address files"),
    Row(["@many.txt"], 1, b"More than 100000 receivers"),
    Row(["a" * 115 + "@example.com"], 1, b"'" + b"a" * 115 + b"@example.com' is longer than 126"),
    Row(["@long.txt"], 1, b"is longer than 126"),
    Row([TO + "\r\nRSET"], 1, b"holds a line break"),
    Row(["-b" + TO + "\nRSET", TO], 1, b"holds a line break"),
    Row(["-u", "alt.test\rPOST"], 1, b"holds a line break", "NNTP HOST={sink}"),
    Row([TO], -1, b"/dev/zero is not a regular file or a pipe", env={"SENDVALE_PROFILE": "/dev/zero"}),
    Row([TO], -1, b"is not a regular file or a pipe", env={"SENDVALE_PROFILE": "."}),
    Row([TO], -1, b"NNTP User in", "NNTP User=" + "u" * 32),
    Row([TO], -1, b"NNTP Passws in", "NNTP Passws=" + "p" * 32),
    Row([TO], -1, b"NNTP User in", "NNTP User=bob\rPOST"),
    Row([TO], -1, b"NNTP Passws in", "NNTP Passws=pw\0AUTHINFO"),
    Row([TO], -1, b"SMTP User in", "SMTP User=jo\rRSET"),
    Row(["-s" + "x" * 998, TO], 1, b"Header Subject holds a word too long"),
    Row(["-f\xe9 <" + "a" * 1000 + "@x>", TO], 1, b"Header From holds a word too long"),
    Row([TO], 1, b"MM_CHARSET is too long", env={"MM_CHARSET": "c" * 1000}),
]


def file_size_limit(size):
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


class HostileInput(SendvaleCase):
    def test_each_row_fails_at_once_sending_nothing(self):
        for name, data in FILES.items():
            self.work_file(name, data)
        sink = self.start_sink(sessions=len(ROWS))
        base = read_bytes(self.profile)
        for row in ROWS:
            with self.subTest(args=row.args, profile=row.profile, env=row.env):
                with open(self.profile, "wb") as f:
                    f.write(base + row.profile.format(sink=sink.address).encode("latin-1") + b"\n")
                env = dict(self.env(), **row.env)
                result = subprocess.run([SENDVALE, "-v"] + row.args, cwd=self.work, env=env,
                                        stdin=subprocess.DEVNULL, capture_output=True, timeout=row.seconds,
                                        preexec_fn=row.limit and file_size_limit(row.limit))
                self.assertEqual(result.returncode, row.status & 0xFF, result.stderr)
                self.assertIn(row.says, result.stderr)
                self.assertEqual(os.listdir(self.spool), [])
        sink.stop()
        self.assertEqual(sink.messages(), [])
        self.assertEqual(sink.record(), b"")


class AcceptedPipes(SendvaleCase):
    def test_pipes_and_proc_files_are_read_to_their_end(self):
        self.start_sink(sessions=5)
        rows = [  # (arguments, standard input, profile, what the message must hold)
            (["-m", "-t/dev/stdin", TO], b"IMPORTANT\n", self.profile, b"\r\n\r\nIMPORTANT\r\n"),
            (["-m", "-t/proc/self/status", TO], b"", self.profile, b"\r\n\r\nName:\tsendvale\r\n"),
            (["-i/dev/stdin", TO], b"piped", self.profile, b"\r\n\r\ncGlwZWQ=\r\n"),
            (["@/dev/stdin"], b"piped@example.com\n", self.profile, b"\r\nTo: piped@example.com\r\n"),
            (["-sPiped profile", TO], read_bytes(self.profile), "/dev/stdin", b"\r\nSubject: Piped profile\r\n"),
        ]
        for args, stdin, profile, _ in rows:
            result = subprocess.run([SENDVALE] + args, input=stdin, cwd=self.work, capture_output=True,
                                    env=dict(self.env(), SENDVALE_PROFILE=profile), timeout=20)
            self.assertEqual(result.returncode, 0, result.stderr)
        self.sink.finish()
        messages = self.sink.messages()
        self.assertEqual(len(messages), len(rows))
        for (args, _, _, holds), message in zip(rows, messages):
            self.assertIn(holds, message, args)


class ClosedStandardStreams(SendvaleCase):
    def test_trace_never_reaches_the_server(self):
        sink = self.start_sink()
        result = subprocess.run([SENDVALE, "-d", "-sClosed", TO], cwd=self.work, env=self.env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                preexec_fn=lambda: os.close(2), timeout=20)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"\r\nSubject: Closed\r\n", self.delivered())
        self.assertNotIn(b"Posting:", sink.record())


if __name__ == "__main__":
    unittest.main()
