"""The profile at the level of the program: a fresh profile refuses every run
but -init, and the -init dialogue answered on standard input."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_util import NOT_INITIALIZED, SendvaleCase, read_bytes, split_message, write_bytes  # noqa: E402

DIALOGUE = (b"sendvale: Setup\r\n\r\n"
            b"Your mail server (%s): "
            b"Default return path (Your email address) (%s): "
            b"Organization (not required) (%s): "
            b"\nThe following applies only if you will use sendvale to\npost usenet messages.\n"
            b"Your NNTP server (%s): "
            b"Login name on server (%s): "
            b"Login pawssword on server (%s): ")


class FreshProfile(SendvaleCase):
    def test_every_run_but_init_is_refused(self):
        for args in ([], ["-h"], ["a@example.com"], ["-v", "-sHi", "a@example.com"],
                     ["-init", "a@example.com"], ["-init "], ["-INIT"]):
            with self.subTest(args=args):
                result = self.assert_run(args, -1, NOT_INITIALIZED, stdin=b"text\n")
                self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists(self.profile))

    def test_server_without_return_address_is_not_enough(self):
        write_bytes(self.profile, b"[Setup]\nHOST=mx.example\nOrganization=Acme\n")
        self.assert_run(["a@example.com"], -1, NOT_INITIALIZED)
        write_bytes(self.profile, b"[Setup]\nReturn Address=me@example.com\n")
        self.assert_run(["a@example.com"], -1, NOT_INITIALIZED)


class InitDialogue(SendvaleCase):
    def test_answers_are_stored_and_used(self):
        sink = self.start_sink()
        os.remove(self.profile)
        answers = b"%s\r\nJo <jo@example.com>\nAcme Ltd\nnews.example\njo\nsecret\n" % sink.address.encode()
        self.assert_run(["-init"], -1, DIALOGUE % ((b"",) * 6),
                        stdin=answers)
        self.assertEqual(read_bytes(self.profile).decode(),
                         "[Setup]\nHOST=%s\nReturn Address=Jo <jo@example.com>\nOrganization=Acme Ltd\n"
                         "NNTP HOST=news.example\nNNTP User=jo\nNNTP Passws=secret\n" % sink.address)
        self.assertEqual(os.stat(self.profile).st_mode & 0o777, 0o600)
        self.assert_run(["-sHello", "a@example.com"], 0, b"")
        headers, _ = split_message(self.delivered())
        self.assertIn(b"X-Sender: jo@example.com\r\n", headers)
        self.assertIn(b"Organization: Acme Ltd\r\n", headers)
        self.assertIn(b"MAIL FROM:<jo@example.com>\r\n", sink.record())

    def test_empty_answers_keep_stored_values(self):
        write_bytes(self.profile, b"; my notes\n[Setup]\nHOST=mx.example\nNNTP User=jo\n\n[Other]\nx=1\n")
        self.assert_run(["-init"], -1, DIALOGUE % (b"mx.example", b"", b"", b"", b"jo", b""),
                        stdin=b"\nme@example.com\n\n\n\r\n\n")
        self.assertEqual(read_bytes(self.profile),
                         b"; my notes\n[Setup]\nHOST=mx.example\nNNTP User=jo\nReturn Address=me@example.com\n"
                         b"Organization=\nNNTP HOST=\nNNTP Passws=\n\n[Other]\nx=1\n")

    def test_broken_off_dialogue_keeps_what_was_answered(self):
        self.assert_run(["-init"], -1,
                        b"sendvale: Setup\r\n\r\nYour mail server (): "
                        b"Default return path (Your email address) (): \n",
                        stdin=b"mx.example\n")
        self.assertEqual(read_bytes(self.profile), b"[Setup]\nHOST=mx.example\n")

    def test_command_line_organization_beats_the_profile(self):
        self.start_sink(extra="Organization=Profile Org\n")
        self.assert_run(["-oCommand Line Org", "a@example.com"], 0, b"")
        headers, _ = split_message(self.delivered())
        self.assertIn(b"Organization: Command Line Org\r\n", headers)
        self.assertNotIn(b"Profile Org", headers)


class LoginSetup(SendvaleCase):
    def test_login_host_asks_for_the_login_and_masks_the_password(self):
        write_bytes(self.profile, b"[Setup]\nSMTP Password=s3cret\n")
        os.chmod(self.profile, 0o644)
        self.assert_run(["-init"], -1,
                        b"sendvale: Setup\r\n\r\nYour mail server (): Login name on mail server (): "
                        b"Login password on mail server (********): "
                        b"Default return path (Your email address) (): \n",
                        stdin=b"Submission://mx.example\njo\n\n")
        self.assertEqual(read_bytes(self.profile),
                         b"[Setup]\nSMTP Password=s3cret\nHOST=Submission://mx.example\nSMTP User=jo\n")
        self.assertEqual(os.stat(self.profile).st_mode & 0o777, 0o600)


if __name__ == "__main__":
    unittest.main()
