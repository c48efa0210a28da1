"""Interactive mode driven through standard input: the receiver loops, the
subject prompt, the text that follows, and the ways it ends without sending."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_util import SendvaleCase, split_message  # noqa: E402
from test_command_line import USAGE  # noqa: E402

GREETING = (b"Sendvale Sendvale v.1.10a by the Sendvale authors, public domain\r\n"
            b"\tFree copies come with the Sendvale source distribution\n\n"
            b"Going interactive - no receivers are specified.\n")
MORE = b" (Add one more or leave blank): "


def rcpts(record):
    return [line[9:-1] for line in record.split(b"\r\n") if line.startswith(b"RCPT TO:<")]


class Interactive(SendvaleCase):
    def test_mail_loops_subject_and_text(self):
        sink = self.start_sink()
        answers = (b"a@example.com\nb@example.com, c@example.com\n\n"
                   b"cc@example.com\n\nbcc@example.com\n\nHello there\n"
                   b"body line\n.\nmore\n")
        self.assert_run([], 0, GREETING + b"To: To" + MORE + b"To" + MORE + b"Cc: Cc" + MORE +
                        b"Bcc: Bcc" + MORE + b"Subject: Enter message text. End with ^D\n"
                        b"sendvale: Email was successfully sent.\n", stdin=answers)
        headers, body = split_message(self.sent_message())
        self.assertIn(b"\r\nTo: a@example.com,b@example.com, c@example.com\r\nCc: cc@example.com\r\n"
                      b"Subject: Hello there\r\nX-Mailer: ", headers)
        self.assertNotIn(b"bcc@", headers)
        self.assertEqual(rcpts(sink.record()),
                         [b"a@example.com", b"b@example.com", b"c@example.com", b"cc@example.com",
                          b"bcc@example.com"])
        self.assertEqual(body, b"body line\r\n..\r\nmore\r\n\r\n")

    def test_news_loop(self):
        self.start_sink("nntp")
        result = self.assert_run(["-u", "-sGiven"], 0, stdin=b"comp.test\r\nalt.test\n\ntext\n")
        self.assertEqual(result.stderr, GREETING + b"Newsgroup: Newsgroup" + MORE + b"Newsgroup" + MORE +
                         b"Enter message text. End with ^D\nsendvale: Message was successfully posted.\n")
        headers, body = split_message(self.sent_message())
        self.assertIn(b"\r\nSubject: Given\r\nNewsgroups: comp.test,alt.test\r\n", headers)
        self.assertEqual(body, b"text\r\n\r\n")

    def test_no_receiver_ends_the_run(self):
        self.start_sink()
        for stdin in (b"", b"\n\n\n\n"):
            with self.subTest(stdin=stdin):
                self.assert_run([], -1, GREETING + b"To: Cc: Bcc: Subject: "
                                b"You must send the mail to someone...\n" + USAGE, stdin=stdin)
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")

    def test_long_answer_is_refused_not_cut(self):
        self.start_sink()
        result = self.assert_run([], 1, stdin=b"a" * 126 + b"b@example.com\n\n\n\nSubject\n")
        self.assertIn(b"Receiver '" + b"a" * 126 + b"b' is longer than 126 characters. Aborting.\n", result.stderr)
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")

    def test_text_files_keep_standard_input_for_the_prompts(self):
        self.start_sink()
        self.work_file("ab.txt", b"a\nb")
        result = self.assert_run(["-m", "-tab.txt"], 0, stdin=b"a@example.com\n\n\n\nSubject\nnot the text\n")
        self.assertNotIn(b"Enter message text", result.stderr)
        _, body = split_message(self.sent_message())
        self.assertEqual(body, b"\r\na\r\nb")

    def test_receiver_error_ends_the_run(self):
        self.start_sink()
        self.assert_run([], 1, GREETING + b"To: Failed to open address file '@missing.txt'. Aborting.\n"
                        b"sendvale: Error: Bad arguments from form\n", stdin=b"@missing.txt\n\n\n\n")
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")


if __name__ == "__main__":
    unittest.main()
