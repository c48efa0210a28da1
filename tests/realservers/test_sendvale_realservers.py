#!/usr/bin/env python3
"""Sendvale against real Postfix and INN on loopback: what a real server
accepts and stores, read back from the Maildir and the news spool.

Needs root and the servers of start-postfix.sh / start-inn.sh (see README.md);
skips itself without them unless SENDVALE_REALSERVERS says otherwise.
    SENDVALE_BUILD_DIR=build python3 tests/realservers/test_sendvale_realservers.py
"""
import email
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realserver_util as rs  # noqa: E402

SERVER_ERROR = 9


def setUpModule():
    if not os.access(rs.sendvale_program(), os.X_OK):
        raise unittest.SkipTest("no sendvale program in " + rs.sendvale_program())
    rs.use_servers()


def lf(data):
    return data.replace(b"\r\n", b"\n")


class RealServerCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.sender = rs.unique_address("from")
        self.profile = self.make_profile()

    def tearDown(self):
        self.tmp.cleanup()

    def make_profile(self, **settings):
        settings.setdefault("return_address", self.sender)
        return rs.write_profile(os.path.join(self.tmp.name, "sendvale.ini"), **settings)

    def write(self, name, data):
        path = os.path.join(self.tmp.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def send(self, args, stdin=b""):
        result = rs.run_sendvale(["-v"] + args, self.profile, stdin=stdin, cwd=self.tmp.name)
        return result.returncode, result.stderr.decode("latin-1")

    def assert_text(self, part, expected):
        """The decoded text part is the given text, closed by line ends only."""
        got = lf(part.get_payload(decode=True))
        self.assertEqual(got[: len(lf(expected))], lf(expected))
        self.assertEqual(got[len(lf(expected)):].strip(b"\n"), b"")


class MailTest(RealServerCase):
    # Port 2526 refuses bare LF and envelopes without <>, so these also show
    # that the wire form is canonical.

    def test_text_reaches_every_receiver_intact(self):
        to1, to2, cc, bcc = (rs.unique_address(n) for n in ("to1", "to2", "cc", "bcc"))
        named = rs.unique_address("jane")
        subject = "Real server " + rs.unique_token()
        text = (b"first line\n.one dot\n..two dots\n.\n" + b"a" * 126 + b".not doubled\n"
                + b"x=y " * 40 + b"\nlast\n")
        code, err = self.send(["--", "-s" + subject, "%s,,%s," % (to1, to2),
                               "Jane Doe <%s>" % named, "-c" + cc, "-b" + bcc], text)
        self.assertEqual(code, 0, err)
        for rcpt in (to1, to2, cc, bcc, named):
            with self.subTest(receiver=rcpt.split("-")[0]):
                mails = rs.mails_for(rcpt)
                self.assertEqual(len(mails), 1)
                msg = email.message_from_bytes(rs.strip_delivery_headers(mails[0]))
                self.assertEqual(msg["Subject"], subject)
                self.assertEqual(rs.header_values(mails[0], "Return-Path")[0], "<%s>" % self.sender)
                self.assertIn(to1, msg["To"])
                self.assertIn(named, msg["To"])
                self.assertIn(cc, msg["Cc"])
                self.assertIsNone(msg["Bcc"])
                self.assertNotIn(bcc.encode(), rs.strip_delivery_headers(mails[0]))
                self.assert_text(msg, text)

    def test_attachments_and_text_files_round_trip(self):
        rcpt = rs.unique_address("att")
        blobs = {"zero.bin": bytes(range(256)) * 3, "one.bin": bytes(range(255, -1, -1)) * 3 + b"\0",
                 "two.bin": b"\r\n.\r\n\x00\xff" * 50}
        text_file = (b".dot first\r\n" + b"q" * 72 + b"\r\n" + b"blank at end \r\n"
                     + b"caf\xe9 = 1\r\n" + b"tab at end\t\r\n" + b"w" * 200 + b"\r\n")
        args = ["-sAttachments", rcpt, "-t" + self.write("body.txt", text_file)]
        args += ["-i" + self.write(name, data) for name, data in blobs.items()]
        code, err = self.send(args)
        self.assertEqual(code, 0, err)
        [mail] = rs.mails_for(rcpt)
        msg = email.message_from_bytes(rs.strip_delivery_headers(mail))
        self.assertEqual(msg.get_content_type(), "multipart/mixed")
        body, *attachments = msg.get_payload()
        self.assert_text(body, b"\r\n" + text_file)
        self.assertEqual([a.get_filename() for a in attachments], list(blobs))
        for part, data in zip(attachments, blobs.values()):
            with self.subTest(attachment=part.get_filename()):
                self.assertEqual(part.get_payload(decode=True), data)

    def test_refusals_fail_with_server_error(self):
        good = rs.unique_address("good")
        cases = [("reject@example.test", self.sender), ("tempfail@example.test", self.sender),
                 ("x@elsewhere.invalid", self.sender), (good, "rejectsender@example.test")]
        for rcpt, sender in cases:
            with self.subTest(rcpt=rcpt, sender=sender):
                self.profile = self.make_profile(return_address=sender)
                code, err = self.send(["--", "-sRefused", rcpt], b"text\n")
                self.assertEqual(code, SERVER_ERROR, err)
                self.assertIn("Error", err)


class NewsTest(RealServerCase):
    def post(self, groups, text=b"news text\n"):
        subject = "Real news " + rs.unique_token()
        code, err = self.send(["--", "-u", "-s" + subject, groups], text)
        return code, err, subject

    def test_post_is_stored_intact(self):
        text = b"first\n.one dot\n..two dots\n.\n" + b"b" * 126 + b".not doubled\nlast\n"
        code, err, subject = self.post(rs.NEWS_GROUP, text)
        self.assertEqual(code, 0, err)
        [mid] = rs.message_ids_with_subject(subject)
        article = email.message_from_bytes(rs.read_article(mid))
        self.assertEqual(article["Newsgroups"], rs.NEWS_GROUP)
        self.assertIn(self.sender, article["From"])
        self.assert_text(article, text)

    def test_crosspost_reaches_both_groups(self):
        code, err, subject = self.post("%s,%s" % (rs.NEWS_GROUP, rs.NEWS_GROUP2))
        self.assertEqual(code, 0, err)
        first = rs.message_ids_with_subject(subject, rs.NEWS_GROUP)
        self.assertEqual(len(first), 1)
        self.assertEqual(rs.message_ids_with_subject(subject, rs.NEWS_GROUP2), first)

    def test_login(self):
        host = "%s:%d" % (rs.HOST, rs.NNTP_PORT_AUTH)
        cases = [(rs.NEWS_USER, rs.NEWS_PASS, 0), (rs.NEWS_USER, "wrong", SERVER_ERROR),
                 ("", "", SERVER_ERROR)]
        for user, password, expected in cases:
            with self.subTest(user=user, password=password):
                self.profile = self.make_profile(nntp_host=host, nntp_user=user,
                                                 nntp_password=password)
                code, err, subject = self.post(rs.NEWS_GROUP)
                self.assertEqual(code, expected, err)
                found = rs.message_ids_with_subject(subject, timeout=0 if expected else 15)
                self.assertEqual(len(found), 0 if expected else 1)

    def test_refused_posts_fail_with_server_error(self):
        for group in (rs.NEWS_GROUP_NOPOST, "no.such.group"):
            with self.subTest(group=group):
                code, err, subject = self.post(group)
                self.assertEqual(code, SERVER_ERROR, err)


if __name__ == "__main__":
    unittest.main()
