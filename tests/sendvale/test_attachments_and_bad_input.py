"""Attachments of several types, and bad input: each refused case ends with
a clear message in verbose mode, its documented status, and nothing
delivered; a header value with a line break is delivered on one line."""

import email
import email.policy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_util import SendvaleCase, split_message  # noqa: E402

BINARY = bytes(range(256)) * 3 + b"\x00\x01"  # 770 bytes: not a multiple of 3


class Attachments(SendvaleCase):
    def test_several_types(self):
        files = {
            "notes.txt": (b"plain text\nsecond line\n", "text/plain"),
            "picture.PNG": (BINARY, "image/png"),
            "paper.pdf": (b"%PDF-1.4\n" + BINARY, "application/pdf"),
            "blob.unknownext": (b"", None),
        }
        for name, (data, _) in files.items():
            self.work_file(name, data)
        self.start_sink()
        self.assert_run(["-sFiles", "a@example.com"] + ["-i" + name for name in files], 0, b"",
                        stdin=b"")
        message = email.message_from_bytes(self.delivered(), policy=email.policy.compat32)
        self.assertEqual(message.get_content_type(), "multipart/mixed")
        parts = message.get_payload()
        self.assertEqual(len(parts), 1 + len(files))
        self.assertEqual(parts[0].get_content_type(), "text/plain")
        for part, (name, (data, content_type)) in zip(parts[1:], files.items()):
            with self.subTest(name=name):
                self.assertEqual(part.get_filename(), name)
                self.assertEqual(part.get_payload(decode=True), data)
                if content_type:
                    self.assertEqual(part.get_content_type(), content_type)

    def test_missing_or_folder_attachment_is_status_12(self):
        os.mkdir(os.path.join(self.work, "folder"))
        self.work_file("good.txt", b"fine\n")
        self.start_sink(sessions=3)
        for name in ("missing.bin", "folder"):
            with self.subTest(name=name):
                result = self.assert_run(["-v", "-igood.txt", "-i" + name, "a@example.com"], 12)
                self.assertIn(b"'" + name.encode() + b"'", result.stderr)
                self.assertTrue(result.stderr.endswith(b"sendvale: Error: Failed to open temporary file\n"),
                                result.stderr)
        self.assert_run(["-imissing.bin", "a@example.com"], 12, b"")
        self.assert_nothing_delivered()


class BadInput(SendvaleCase):
    def test_unusable_address_list_is_status_1(self):
        os.mkdir(os.path.join(self.work, "folder"))
        self.work_file("self.txt", b"a@example.com\n@self.txt\n")
        self.start_sink()
        self.assert_run(["@missing.txt"], 1, b"")
        self.assert_run(["-v", "@missing.txt"], 1, b"Failed to open address file '@missing.txt'. Aborting.\n"
                        b"sendvale: Error: Bad arguments from form\n")
        for args in (["a@example.com", "-c@folder"], ["@self.txt"]):
            with self.subTest(args=args):
                result = self.assert_run(["-v"] + args, 1)
                self.assertEqual(result.stderr.count(b"\n"), 2, result.stderr)
                self.assertTrue(result.stderr.endswith(b"sendvale: Error: Bad arguments from form\n"))
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")

    def test_server_name_over_127_characters_is_refused(self):
        self.start_sink()
        for verbose in ([], ["-v"]):
            self.assert_run(verbose + ["-x" + "h" * 128, "a@example.com"], -1,
                            b"sendvale: SMTP server name is longer than 127 characters.\n")
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")

    def test_line_breaks_in_header_values_become_blanks(self):
        sink = self.start_sink()
        self.assert_run(["-sHello\nBcc: evil@example.com", "-fMe\r\nX-Evil: 1",
                         "-oOrg\nX-Evil: 2", "a@example.com"], 0, b"")
        headers, body = split_message(self.sent_message())
        lines = headers.split(b"\r\n")
        self.assertIn(b"Subject: Hello Bcc: evil@example.com", lines)
        self.assertIn(b"From: Me  X-Evil: 1", lines)
        self.assertIn(b"Organization: Org X-Evil: 2", lines)
        for line in lines:
            self.assertRegex(line, rb"^([A-Za-z-]+: |\t)", line)
        self.assertEqual(body, b"\r\n")
        self.assertNotIn(b"evil@example.com>", sink.record())


if __name__ == "__main__":
    unittest.main()
