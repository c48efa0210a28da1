"""--check through the program: both configured servers are checked, each
gets exactly its login dialogue and QUIT, nothing is sent as a message, and
other words beginning with "--" still mean standard input."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_util as e2e  # noqa: E402

NEWS_LOGIN = "NNTP User=reader\nNNTP Passws=newssecret\n"


class CheckWord(e2e.SendvaleCase):
    def sinks(self):
        sinks = e2e.Sink(self.path("mail"), "smtp"), e2e.Sink(self.path("news"), "nntp")
        for sink in sinks:
            self.addCleanup(sink.stop)
        return sinks

    def test_mail_and_news_servers(self):
        mail, news = self.sinks()
        self.write_profile(mail.address, extra="NNTP HOST=%s\n%s" % (news.address, NEWS_LOGIN))
        result = self.assert_run(["--check"], 0)
        mail.finish()
        news.finish()
        self.assertRegex(mail.record(), rb"\AHELO [^\r\n]+\r\nQUIT\r\n\Z")
        self.assertEqual(news.record(), b"AUTHINFO USER reader\r\nAUTHINFO PASS newssecret\r\nQUIT\r\n")
        out = result.stdout.decode()
        self.assertEqual(re.findall(r"^(\w+ server|Result): (.*)$", out, re.M),
                         [("Mail server", mail.address), ("Result", "passed"),
                          ("News server", news.address), ("Result", "passed")])
        self.assertIn("Login: AUTHINFO as reader, accepted\n", out)
        self.assertNotIn(b"newssecret", result.stdout + result.stderr)

    def test_news_only_and_failures(self):
        mail, news = self.sinks()
        # -u checks the news server alone: the dead mail server is never tried.
        self.write_profile("127.0.0.1:1", extra="NNTP HOST=%s\n" % news.address)
        self.assertIn(b"Result: passed\n", self.assert_run(["-u", "--check"], 0).stdout)
        news.finish()
        self.assertEqual(news.record(), b"QUIT\r\n")
        result = self.assert_run(["--check"], 6)
        self.assertIn(b"Result: failed with code 6 (FAILED_TO_CONNECT)\n", result.stdout)
        self.assertIn(b"Failed to connect to server '127.0.0.1:1'", result.stderr)
        # Any other word keeps its meaning: standard input is the text source.
        self.write_profile(mail.address)
        self.assert_run(["--checkx", "to@example.com"], 0, stdin=b"text\n")
        mail.finish()
        self.assertEqual(len(mail.messages()), 1)


if __name__ == "__main__":
    unittest.main()
