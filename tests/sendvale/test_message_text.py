"""The message text on the wire: standard input with and without -., -t
files with their line ends widened, and both together. The transport alone
doubles leading dots and sends every line end as CR LF."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_util import SendvaleCase, payload, sessions, split_message  # noqa: E402

FILES = {
    "ab.txt": b"a\nb",
    "dots.txt": b".x\n.y\n",
    "firstlf.txt": b"\nx\n",
    "empty.txt": b"",
    "crlf.txt": b"a\r\nb\r\n",
    "nul.txt": b"before\nNUL\x00after\n",
}

# (options, standard input, body bytes on the wire); MIME is off (-m), so the
# body is the gathered text itself.
CASES = [
    (["--"], b"word\n", b"word\r\n\r\n"),
    (["--"], b"", b"\r\n"),
    ([], b"not read\n", b"\r\n"),
    (["--"], b".\n..two\n.\r\nend", b"..\r\n...two\r\n..\r\nend\r\n"),
    (["--"], b"x" * 126 + b".y\n", b"x" * 126 + b".y\r\n\r\n"),
    (["--", "-."], b"one\n.\nnot read\n", b"one\r\n\r\n"),
    (["-.", "--"], b"one\r\n.\r\nnot read\r\n", b"one\r\n\r\n"),
    (["--", "-."], b"one\n.", b"one\r\n\r\n"),
    (["--", "-."], b". \n.x\n", b".. \r\n..x\r\n\r\n"),
    (["--", "-."], b"x" * 126 + b".\nmore\n", b"x" * 126 + b".\r\nmore\r\n\r\n"),
    (["-tab.txt"], b"", b"\r\na\r\nb"),
    (["-tdots.txt"], b"", b"\r\n..x\r\n..y\r\n"),
    (["-tfirstlf.txt"], b"", b"\r\n\r\nx\r\n"),
    (["-tempty.txt"], b"", b"\r\n"),
    (["-tcrlf.txt"], b"", b"\r\na\r\nb\r\n"),
    (["-tnul.txt"], b"", b"\r\nbefore\r\nNUL"),
    (["--", "-tab.txt", "-tdots.txt"], b"typed\n", b"typed\r\n\r\na\r\nb.x\r\n..y\r\n"),
]


class MessageText(SendvaleCase):
    def setUp(self):
        super().setUp()
        for name, data in FILES.items():
            self.work_file(name, data)

    def test_wire_bytes(self):
        sink = self.start_sink(sessions=len(CASES))
        for options, stdin, _ in CASES:
            self.assert_run(["-m"] + options + ["a@example.com"], 0, b"", stdin=stdin)
        sink.finish()
        sent = sessions(sink.record())
        self.assertEqual(len(sent), len(CASES))
        for (options, stdin, body), dialogue in zip(CASES, sent):
            with self.subTest(options=options, stdin=stdin):
                self.assertEqual(split_message(payload(dialogue))[1], body)

    def test_plain_text_part_with_mime(self):
        self.start_sink()
        self.assert_run(["--", "a@example.com"], 0, b"", stdin=b"line\n.dot\n")
        headers, body = split_message(self.sent_message())
        self.assertTrue(headers.endswith(b"\r\nContent-type: text/plain; charset=iso-8859-1\r\n"
                                         b"Content-Transfer-Encoding: quoted-printable"), headers)
        self.assertEqual(body, b"line\r\n..dot\r\n\r\n")

    def test_verbose_prompts(self):
        self.start_sink(sessions=2)
        result = self.assert_run(["-v", "--", "a@example.com"], 0, stdin=b"x\n")
        self.assertTrue(result.stderr.startswith(b"Enter message text. End with ^D\n"), result.stderr)
        result = self.assert_run(["-v", "-.", "--", "a@example.com"], 0, stdin=b"x\n")
        self.assertTrue(result.stderr.startswith(
            b"Enter message text. End with . (period) on a single line\n"), result.stderr)

    def test_missing_or_unreadable_text_file_sends_nothing(self):
        self.start_sink()
        os.mkdir(os.path.join(self.work, "folder.txt"))
        self.assert_run(["-tmissing.txt", "a@example.com"], -1, b"")
        self.assert_run(["-v", "--", "-tmissing.txt", "a@example.com"], -1,
                        b"Enter message text. End with ^D\n"
                        b"sendvale: Text attachment file 'missing.txt' was not found. Aborting.\n",
                        stdin=b"text\n")
        self.assert_run(["-d", "-tmissing.txt", "a@example.com"], -1,
                        b"sendvale: Text attachment file 'missing.txt' was not found. Aborting.\n")
        self.assert_run(["-v", "-tab.txt", "-tfolder.txt", "a@example.com"], -1,
                        b"sendvale: Text attachment file 'folder.txt' is not a regular file or a pipe. Aborting.\n")
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")


if __name__ == "__main__":
    unittest.main()
