"""The command line at the level of the program: option parsing in
command-line order, exit statuses and the texts on standard error."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_util import SendvaleCase, split_message  # noqa: E402

BANNER_LINES = (b"Sendvale 1.10a - written by the Sendvale authors, placed in the public domain\n"
                b"PROVIDED AS IS, WITHOUT WARRANTY OF ANY KIND. USE AT YOUR OWN RISK.\n")
USAGE = BANNER_LINES + (
    b"Usage: sendvale [options] {to[,to] [to] | @addr_list_file}\n"
    b"Usage: sendvale -- [options] {to[,to] [to] | @addr_list_file} < message\n"
    b"Usage: sendvale -init  Install sendvale\n"
    b"Options:\n"
    b"  -.      will end a piped message when a line contains a single dot.\n"
    b"  --      read text from standard input (console or pipe)\n"
    b"  -d      turn on debug mode\n"
    b"  -sSubject  adds a subject to the message\n"
    b"  -v      turn on verbose (interactive) mode\n"
    b"  -p      pause after the message is sent\n"
    b"  -h      show this help\n"
    b"  -iFile  include a binary attachment\n"
    b"  -tFile  include a textfile in the message body\n"
    b"  -a      convert OEM (european DOS codepages) charset to ANSI\n"
    b"  -Pn     sets priority (where n is 1 = highest, 3 = normal, 5 = lowest)\n"
    b"  -u      post to usenet (news). Receiver is newsgroup.\n"
    b"  -cAddress Cc to Address.\n"
    b"  -c@FileName Cc to Addressees defined in file FileName\n"
    b"  -bAddress Bcc to Address.\n"
    b"  -b@FileName Bcc to Addressees defined in file FileName\n"
    b"  -oOrganization.\n"
    b"  -xSMTPServer Override SMTP server defined in ini file\n"
    b"\n\nYou can attach multiple files, and have multiple receivers\n"
    b"You can add receivers with their full name: \"Jane Doe <jane.doe@example.com>\"\n")
SENT = b"sendvale: Email was successfully sent.\n"
POSTED = b"sendvale: Message was successfully posted.\n"


class Parsing(SendvaleCase):
    def test_help_after_receivers_sends_nothing(self):
        self.start_sink()
        result = self.assert_run(["a@example.com", "-h", "-v", "b@example.com"], -1, USAGE)
        self.assertEqual(result.stdout, b"")
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")

    def test_init_with_another_word_attaches_the_file_nit(self):
        self.start_sink()
        self.work_file("nit", b"attached\n")
        self.assert_run(["-init", "a@example.com"], 0, b"")
        message = self.delivered()
        self.assertIn(b'filename="nit"', message)
        self.assertIn(b"YXR0YWNoZWQK", message)  # base64 of the file

    def test_subject_option_takes_no_separate_word(self):
        sink = self.start_sink()
        self.assert_run(["-s", "Topic"], 0, b"")
        headers, _ = split_message(self.delivered())
        self.assertIn(b"\r\nSubject: \r\nTo: Topic\r\n", headers)
        self.assertIn(b"RCPT TO:<Topic>\r\n", sink.record())

    def test_letters_after_a_flag_are_ignored(self):
        self.start_sink()
        result = self.assert_run(["-dv", "a@example.com"], 0)
        self.assertIn(b"Posting: DATA\r\n", result.stderr)  # debug mode is on
        self.assertNotIn(SENT, result.stderr)               # verbose mode is not

    def test_unknown_option_is_reported_only_after_verbose(self):
        self.start_sink(sessions=2)
        self.assert_run(["-z", "-v", "a@example.com"], 0, SENT)
        self.assert_run(["-v", "-z", "a@example.com"], 0, BANNER_LINES + b"-z: Unknown parameter\n" + SENT)
        self.sink.finish()
        self.assertEqual(len(self.sink.messages()), 2)

    def test_sender_alone_goes_interactive(self):
        self.start_sink()
        result = self.assert_run(["-fJo <jo@example.com>"], 0, stdin=b"a@example.com\n\n\n\nHi\nbody\n")
        self.assertIn(b"Going interactive - no receivers are specified.\n", result.stderr)
        headers, body = split_message(self.sent_message())
        self.assertIn(b"\r\nFrom: Jo <jo@example.com>\r\nTo: a@example.com\r\nSubject: Hi\r\n", headers)
        self.assertEqual(body, b"body\r\n\r\n")

    def test_cc_after_news_mode_is_refused(self):
        self.start_sink()
        result = self.assert_run(["-v", "-u", "comp.test", "-ccc@example.com"], 1)
        self.assertEqual(result.stderr, b"Cc (Carbon Copy) is not legal in News posting mode. Aborting.\n"
                                        b"sendvale: Error: Bad arguments from form\n")
        self.assert_run(["-u", "comp.test", "-bbcc@example.com"], 1, b"")
        self.assert_nothing_delivered()
        self.assertEqual(self.sink.record(), b"")

    def test_cc_before_news_mode_is_accepted(self):
        self.start_sink("nntp")
        self.assert_run(["-v", "-ccc@example.com", "-u", "comp.test"], 0, POSTED)
        headers, _ = split_message(self.delivered())
        self.assertIn(b"\r\nCc: cc@example.com\r\nNewsgroups: comp.test\r\n", headers)

    def test_commas_split_receiver_words(self):
        sink = self.start_sink()
        self.assert_run([",a@example.com,,b@example.com,", "-cc@example.com,d@example.com",
                         "-bhidden@example.com"], 0, b"")
        headers, _ = split_message(self.sent_message())
        rcpts = [line for line in sink.record().split(b"\r\n") if line.startswith(b"RCPT")]
        self.assertEqual(rcpts, [b"RCPT TO:<%s@example.com>" % c for c in (b"a", b"b", b"c", b"d", b"hidden")])
        self.assertIn(b"\r\nTo: a@example.com,b@example.com\r\nCc: c@example.com,d@example.com\r\n", headers)
        self.assertNotIn(b"hidden", headers)

    def test_attachment_with_mime_off_is_refused(self):
        self.start_sink()
        self.assert_run(["-m", "-ifile.bin", "a@example.com"], -1, b"")
        self.assert_run(["-ifile.bin", "-v", "-m", "a@example.com"], -1,
                        BANNER_LINES + b"-m and -i can not be combined: Unknown parameter\n")
        self.assert_nothing_delivered()


class Outcome(SendvaleCase):
    def test_failed_connection_is_status_6(self):
        self.write_profile("127.0.0.1:1")
        self.assert_run(["a@example.com"], 6, b"")
        self.assert_run(["-v", "a@example.com"], 6,
                        b"Failed to connect to server '127.0.0.1:1' port 1. Winsock error: 111\n"
                        b"sendvale: Error: FAILED_TO_CONNECT\n")

    def test_server_refusal_is_status_9(self):
        self.start_sink(refuse=["RCPT"])
        result = self.assert_run(["-v", "a@example.com"], 9)
        self.assertTrue(result.stderr.endswith(b"sendvale: Error: SERVER_ERROR\n"), result.stderr)
        self.assert_nothing_delivered()

    def test_server_option_overrides_the_profile(self):
        self.start_sink()
        good = self.sink.address
        self.write_profile("127.0.0.1:1")
        self.assert_run(["-x" + good, "-v", "a@example.com"], 0, SENT)
        self.delivered()

    def test_news_success_line_and_mailer_last(self):
        self.start_sink("nntp")
        self.assert_run(["-u", "-v", "-sNews", "-P2", "comp.test,alt.test"], 0, POSTED)
        headers, _ = split_message(self.delivered())
        self.assertIn(b"X-Sender: me@example.com\r\nSubject: News\r\nX-Priority: 2\r\n"
                      b"Newsgroups: comp.test,alt.test\r\n"
                      b"X-Mailer: Sendvale v.1.10a by the Sendvale authors, public domain\r\n"
                      b"\tFree copies come with the Sendvale source distribution\r\n", headers)


if __name__ == "__main__":
    unittest.main()
