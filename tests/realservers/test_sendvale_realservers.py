#!/usr/bin/env python3
"""Sendvale against real Postfix and INN on loopback: what a real server
accepts and stores, read back from the Maildir and the news spool.

Needs root and the servers of start-postfix.sh / start-inn.sh (see README.md);
skips itself without them unless SENDVALE_REALSERVERS says otherwise.
    SENDVALE_BUILD_DIR=build python3 tests/realservers/test_sendvale_realservers.py
"""
import email
import email.policy
import email.utils
import hashlib
import os
import re
import ssl
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realserver_util as rs  # noqa: E402

SERVER_ERROR = 9
FAILED_TO_CONNECT = 6
CERT_UNTRUSTED = 15
AUTH_FAILED = 16
LENIENT = "%s:%d" % (rs.HOST, rs.SMTP_PORT)
STRICT = "%s:%d" % (rs.HOST, rs.SMTP_PORT_STRICT)
MAILER = "Sendvale v.1.10a"
SUBMISSION = "submission://%s:%d" % (rs.HOST, rs.SMTP_PORT_SUBMISSION)
SMTPS = "smtps://%s:%d" % (rs.HOST, rs.SMTP_PORT_SMTPS)
NNTPS = "nntps://%s:%d" % (rs.HOST, rs.NNTP_PORT_TLS)
DOT_ATOM = r"[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*"
MESSAGE_ID = re.compile(r"<(%s)@(%s)>\Z" % (DOT_ATOM, DOT_ATOM))


def setUpModule():
    if not os.access(rs.sendvale_program(), os.X_OK):
        reason = "no sendvale program in " + rs.sendvale_program()
        if os.environ.get("SENDVALE_REALSERVERS") in ("require", "start"):
            raise RuntimeError(reason)
        raise unittest.SkipTest(reason)
    rs.use_servers()


def lf(data):
    return data.replace(b"\r\n", b"\n")


def fingerprint(cert_file):
    """SHA-256 of a PEM certificate, as Sendvale prints it (AA:BB:...)."""
    with open(cert_file) as f:
        digest = hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest().upper()
    return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))


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

    def send(self, args, stdin=b"", env=None):
        result = rs.run_sendvale(["-v"] + args, self.profile, stdin=stdin, cwd=self.tmp.name,
                                 env=env)
        return result.returncode, result.stderr.decode("latin-1")

    def assert_nothing_delivered(self, addresses):
        self.assertTrue(rs.settle_mail(addresses), "Postfix did not settle")
        for rcpt in addresses:
            self.assertEqual(rs.mails_for(rcpt, timeout=0), [], rcpt)

    def assert_own_message_id(self, stored):
        """One Message-ID of the form <dot-atom@dot-atom>, returned. A server's
        own id names the server's host, so the sender's domain shows it is ours."""
        [mid] = rs.header_values(stored, "Message-ID")
        form = MESSAGE_ID.match(mid)
        self.assertTrue(form, mid)
        self.assertEqual(form.group(2), self.sender.rpartition("@")[2])
        return mid

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
        copies = rs.mails_for_each([to1, to2, cc, bcc, named])
        for rcpt, mails in copies.items():
            with self.subTest(receiver=rcpt.split("-")[0]):
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
                     + b"caf\xe9 = 1\r\n" + b"tab at end\t\r\n" + b"w" * 200 + b"\r\n"
                     + b"lone\rcarriage return\r\n")
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

    def test_non_ascii_header_text_and_file_name_decode(self):
        rcpt = rs.unique_address("utf8")
        subject, name, organization = ("Отчёт – 日本語 ✓ Jürgen", "Jürgen Müller",
                                       "Organisation – 組織 Ж")
        file_name, data = "Prüfbericht Ж 報告.txt", "Grüße – 報告\n".encode()
        code, err = self.send(["--", "%s <%s>" % (name, rcpt), "-s" + subject,
                               "-o" + organization, "-i" + self.write(file_name, data)],
                              b"text\n")
        self.assertEqual(code, 0, err)
        [mail] = rs.mails_for(rcpt)
        # Encoded words and extended parameters keep the headers 7-bit (the
        # part headers too: the file name is there); the rest is QP and base64.
        self.assertTrue(mail.isascii(), rs.split_message(mail)[0])
        self.assert_own_message_id(mail)
        msg = email.message_from_bytes(rs.strip_delivery_headers(mail), policy=email.policy.default)
        self.assertEqual(msg["Subject"], subject)
        self.assertEqual(msg["Organization"], organization)
        [to] = msg["To"].addresses
        self.assertEqual((to.display_name, to.addr_spec), (name, rcpt))
        [part] = msg.iter_attachments()
        self.assertEqual(part.get_filename(), file_name)
        self.assertEqual(part.get_payload(decode=True), data)

    def test_many_receivers_fold_the_to_header(self):
        # Forty receivers make a To header far past one line: a broken fold
        # would end the header block early or lose receivers.
        receivers = [rs.unique_address("many%02d" % i) for i in range(40)]
        code, err = self.send(["--", "-sMany", ",".join(receivers)], b"many\n")
        self.assertEqual(code, 0, err)
        for rcpt, mails in rs.mails_for_each(receivers).items():
            with self.subTest(receiver=rcpt):
                self.assertEqual(len(mails), 1)
                mail = mails[0]
                to = rs.header_values(mail, "To")
                self.assertEqual(len(to), 1)
                self.assertEqual([a.strip() for a in to[0].split(",")], receivers)
                msg = email.message_from_bytes(rs.strip_delivery_headers(mail))
                self.assertEqual(msg["Subject"], "Many")
                self.assert_text(msg, b"many\n")

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


class FullMessageTest(RealServerCase):
    """Text, Cc, Bcc and three attachments, through the lenient default port
    (25, no port in the server name) and through the strict port."""

    SUBJECT = "Full message"
    FROM = "Sendvale Tester <%s>"
    ORGANIZATION = "Sendvale Real Server Org"
    TEXT = b"Hello,\nthe three files are attached.\n.\nBye\n"

    def make_attachments(self):
        # A name with blanks, a type from the test's own mime.types, and sizes
        # that hit the empty file, exactly one base64 line and a big stream.
        random = os.urandom
        return [("empty file.svz", b"", "application/x-sendvale-empty"),
                ("fifty seven.bin", random(57), "application/octet-stream"),
                ("big blob.svt", random(5 * 1024 * 1024), "application/x-sendvale-test")]

    def send_full_message(self, host):
        self.profile = self.make_profile(smtp_host=host)
        mime_types = rs.write_mime_types(os.path.join(self.tmp.name, "mime.types"), {
            "application/x-sendvale-test": "svt", "application/x-sendvale-empty": "svz",
            "application/octet-stream": "bin"})
        attachments = self.make_attachments()
        to, cc, bcc = (rs.unique_address(n) for n in ("to", "cc", "bcc"))
        subject = "%s %s" % (self.SUBJECT, rs.unique_token())
        sender = self.FROM % rs.unique_address("author")
        args = ["--", to, "-c" + cc, "-b" + bcc, "-s" + subject, "-f" + sender, "-P2",
                "-o" + self.ORGANIZATION]
        args += ["-i" + self.write(name, data) for name, data, _ in attachments]
        code, err = self.send(args, self.TEXT, env={"SENDVALE_MIME_TYPES": mime_types})
        self.assertEqual(code, 0, err)
        for rcpt, mails in rs.mails_for_each([to, cc, bcc]).items():
            with self.subTest(receiver=rcpt.split("-")[0]):
                self.assertEqual(len(mails), 1)
                self.check_copy(mails[0], to, cc, bcc, subject, sender, attachments)

    def check_copy(self, mail, to, cc, bcc, subject, sender, attachments):
        sent = rs.strip_delivery_headers(mail)
        msg = email.message_from_bytes(sent)
        self.assertEqual(rs.header_values(mail, "Return-Path")[0], "<%s>" % self.sender)
        self.assertEqual(msg["Subject"], subject)
        self.assertEqual(msg["From"], sender)
        self.assertEqual(msg["To"], to)
        self.assertEqual(msg["Cc"], cc)
        self.assertEqual(msg["X-Priority"], "2")
        self.assertEqual(msg["Organization"], self.ORGANIZATION)
        self.assertTrue(msg["X-Mailer"].startswith(MAILER), msg["X-Mailer"])
        self.assertIsNotNone(email.utils.parsedate_to_datetime(msg["Date"]))
        self.assertIsNone(msg["Bcc"])
        self.assertNotIn(bcc.encode(), sent)
        self.assertEqual(msg.get_content_type(), "multipart/mixed")
        body, *parts = msg.get_payload()
        self.assert_text(body, self.TEXT)
        self.assertEqual(len(parts), len(attachments))
        for part, (name, data, content_type) in zip(parts, attachments):
            with self.subTest(attachment=name):
                self.assertEqual(part.get_filename(), name)
                self.assertEqual(part.get_content_type(), content_type)
                self.assertEqual(part.get_payload(decode=True), data)

    def test_through_default_port(self):
        self.send_full_message(rs.HOST)

    def test_through_strict_port(self):
        # Bare LF, envelopes without <> and pipelining are refused here.
        self.send_full_message(STRICT)


class TransparencyTest(RealServerCase):
    """Lines that the data phase must protect, through a real server."""

    def test_piped_text_arrives_exactly(self):
        long_line = bytes(b".=xyz"[i % 5] if i % 7 else 0x2E for i in range(3000))
        text = (b".\n..\n. x\r\n" + b"q" * 73 + b".starts a QP line after the soft break\n"
                + b"r" * 126 + b".at a read-piece boundary\r\n" + b"crlf line\r\n"
                + b"bare lf line\n" + long_line + b"\n.\r\n"
                + "caf\u00e9 \u00fcber = \u20ac\n".encode("utf-8") + b"last line\n")
        # Without MIME (-m) the text goes out raw: only the transport protects it.
        for host, options in ((STRICT, []), (LENIENT, []), (STRICT, ["-m"])):
            with self.subTest(host=host, options=options):
                self.profile = self.make_profile(smtp_host=host)
                rcpt = rs.unique_address("dots")
                code, err = self.send(["--", rcpt, "-sDots"] + options, text)
                self.assertEqual(code, 0, err)
                [mail] = rs.mails_for(rcpt)
                msg = email.message_from_bytes(rs.strip_delivery_headers(mail))
                self.assertEqual(msg["Subject"], "Dots")
                if not options:
                    self.assertEqual(msg.get_content_charset(), "utf-8")
                self.assert_text(msg, text)

    def test_named_and_bracketed_addresses_reach_the_envelope(self):
        # The strict port refuses envelopes without <>, so a doubled or missing
        # bracket shows as a refusal there.
        for host in (STRICT, LENIENT):
            for form in ("Real Name <%s>", "<%s>", "%s"):
                with self.subTest(host=host, receiver=form):
                    sender = rs.unique_address("named-from")
                    self.profile = self.make_profile(smtp_host=host,
                                                     return_address="Return Name <%s>" % sender)
                    rcpt = rs.unique_address("named")
                    code, err = self.send(["--", form % rcpt, "-sNamed"], b"hi\n")
                    self.assertEqual(code, 0, err)
                    [mail] = rs.mails_for(rcpt)
                    self.assertEqual(rs.header_values(mail, "To"), [form % rcpt])
                    self.assertEqual(rs.header_values(mail, "Return-Path")[0], "<%s>" % sender)


class BatchOutcomeTest(RealServerCase):
    """Exit statuses a batch job relies on, and that a refusal sends nothing."""

    def test_refused_receiver_among_good_ones_delivers_nothing(self):
        for refused in ("reject@example.test", "tempfail@example.test"):
            for host in (LENIENT, STRICT):
                with self.subTest(refused=refused, host=host):
                    self.profile = self.make_profile(smtp_host=host)
                    first, last = rs.unique_address("first"), rs.unique_address("last")
                    code, err = self.send(["--", "-sRefused", "%s,%s,%s" % (first, refused, last)],
                                          b"text\n")
                    self.assertEqual(code, SERVER_ERROR, err)
                    self.assert_nothing_delivered([first, last])

    def test_connection_refused(self):
        self.profile = self.make_profile(smtp_host="%s:%d" % (rs.HOST, rs.free_port()))
        code, err = self.send(["--", rs.unique_address("nobody"), "-sNobody"], b"text\n")
        self.assertEqual(code, FAILED_TO_CONNECT, err)
        self.assertIn("Failed to connect to server '%s:" % rs.HOST, err)


class NewsTest(RealServerCase):
    ORGANIZATION = "Sendvale News Org"

    def post(self, groups, text=b"news text\n", extra=()):
        subject = "Real news " + rs.unique_token()
        code, err = self.send(["--", "-u", "-s" + subject, groups] + list(extra), text)
        return code, err, subject

    def assert_posted_as_sent(self, stored, groups, subject, poster, text):
        """The headers the options set and the body, in one stored article."""
        article = email.message_from_bytes(stored)
        self.assertEqual(article["Newsgroups"], groups)
        self.assertEqual(article["Subject"], subject)
        self.assertEqual(article["From"], poster)
        self.assertEqual(article["Reply-To"], self.sender)
        self.assertEqual(article["Organization"], self.ORGANIZATION)
        self.assertTrue(article["X-Mailer"].startswith(MAILER), article["X-Mailer"])
        self.assertIsNotNone(email.utils.parsedate_to_datetime(article["Date"]))
        self.assertIsNone(article["To"])
        self.assert_text(article, text)
        return article

    def test_post_is_stored_intact(self):
        text = (b"first\n.one dot\n..two dots\n.\n" + b"b" * 126 + b".not doubled\n"
                + b"c" * 73 + b".after a soft break\nlast\n")
        poster = "News Poster <%s>" % rs.unique_address("poster")
        code, err, subject = self.post(rs.NEWS_GROUP, text,
                                       ["-f" + poster, "-o" + self.ORGANIZATION])
        self.assertEqual(code, 0, err)
        [mid] = rs.message_ids_with_subject(subject)
        for source, stored in (("ARTICLE", rs.read_article(mid)), ("spool", rs.spool_article(mid))):
            with self.subTest(read_from=source):
                self.assertTrue(stored, "article %s not found" % mid)
                self.assert_posted_as_sent(stored, rs.NEWS_GROUP, subject, poster, text)

    def test_post_is_found_under_its_own_message_id(self):
        code, err, subject = self.post(rs.NEWS_GROUP)
        self.assertEqual(code, 0, err)
        [listed] = rs.message_ids_with_subject(subject)
        stored = rs.read_article(listed)
        self.assertTrue(stored, "article %s not found" % listed)
        self.assertEqual(self.assert_own_message_id(stored), listed)
        self.assertEqual(email.message_from_bytes(stored)["Subject"], subject)
        # The history lookup by id must lead to the same stored article.
        self.assertEqual(rs.spool_article(listed), lf(stored))

    def test_crosspost_reaches_both_groups(self):
        groups = "%s,%s" % (rs.NEWS_GROUP, rs.NEWS_GROUP2)
        text = b"cross\n.\nposted\n"
        poster = "Cross Poster <%s>" % rs.unique_address("poster")
        code, err, subject = self.post(groups, text, ["-f" + poster, "-o" + self.ORGANIZATION])
        self.assertEqual(code, 0, err)
        first = rs.message_ids_with_subject(subject, rs.NEWS_GROUP)
        self.assertEqual(len(first), 1)
        self.assertEqual(rs.message_ids_with_subject(subject, rs.NEWS_GROUP2), first)
        article = self.assert_posted_as_sent(rs.read_article(first[0]), groups, subject, poster,
                                             text)
        xref_groups = [entry.split(":")[0] for entry in article["Xref"].split()[1:]]
        self.assertEqual(sorted(xref_groups), [rs.NEWS_GROUP, rs.NEWS_GROUP2])

    def test_default_port(self):
        # No port in the server name: the news port applies.
        self.profile = self.make_profile(nntp_host=rs.HOST)
        code, err, subject = self.post(rs.NEWS_GROUP)
        self.assertEqual(code, 0, err)
        self.assertEqual(len(rs.message_ids_with_subject(subject)), 1)

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


class TlsLoginTest(RealServerCase):
    """The URL forms of the server names against the TLS and login ports."""

    TEXT = b"TLS text\n.\n..dots\n" + b"t" * 900 + b"\nlast\n"

    def use(self, host, keys=None, mode=0o600, **settings):
        """A profile for `host` with the test login and CA File; `keys`
        override them, a key set to None is left out."""
        login = {"CA File": rs.SMTP_TLS_CERT, "SMTP User": rs.SMTP_USER,
                 "SMTP Password": rs.SMTP_PASS}
        login.update(keys or {})
        self.profile = self.make_profile(
            smtp_host=host, mode=mode, extra={k: v for k, v in login.items() if v is not None},
            **settings)

    def test_logged_in_mail_arrives_intact(self):
        pin = fingerprint(rs.SMTP_TLS_CERT)
        rows = [(SUBMISSION, {}), (SMTPS, {}), (SMTPS, {"SMTP Auth": "login"}),
                (SUBMISSION, {"SMTP Auth": "plain"}),
                (SMTPS, {"SMTP Password": None, "SMTP Password Command": "printf " + rs.SMTP_PASS}),
                # A pin replaces the chain, with or without colons, in any case.
                (SMTPS, {"CA File": None, "TLS Fingerprint": pin}),
                (SUBMISSION, {"CA File": None, "TLS Fingerprint": pin.replace(":", "").lower()})]
        # Larger than one TLS record, so a short write inside TLS shows.
        blob = os.urandom(40000)
        attachment = self.write("small blob.bin", blob)
        for host, keys in rows:
            with self.subTest(host=host, keys=keys):
                self.use(host, keys)
                rcpt, subject = rs.unique_address("tls"), "TLS " + rs.unique_token()
                code, err = self.send(["--", rcpt, "-s" + subject, "-i" + attachment], self.TEXT)
                self.assertEqual(code, 0, err)
                [mail] = rs.mails_for(rcpt)
                msg = email.message_from_bytes(rs.strip_delivery_headers(mail))
                self.assertEqual(msg["Subject"], subject)
                self.assertEqual(rs.header_values(mail, "Return-Path")[0], "<%s>" % self.sender)
                body, part = msg.get_payload()
                self.assert_text(body, self.TEXT)
                self.assertEqual(part.get_filename(), "small blob.bin")
                self.assertEqual(part.get_payload(decode=True), blob)

    def test_refusals_deliver_nothing(self):
        pin = fingerprint(rs.SMTP_TLS_CERT)
        shown = "SHA-256 fingerprint: " + pin
        rows = [  # server name, keys, exit status, in the verbose output
            (SUBMISSION, {"SMTP Password": "wrong"}, AUTH_FAILED, "Authentication failed"),
            (SMTPS, {"SMTP Password": "wrong"}, AUTH_FAILED, "Authentication failed"),
            (SMTPS, {"SMTP Auth": "login", "SMTP Password": "wrong"}, AUTH_FAILED, "Authentication"),
            (SMTPS, {"SMTP Password": None, "SMTP Password Command": "exit 3"}, AUTH_FAILED,
             "SMTP Password Command"),
            (SMTPS, {"SMTP Password": None}, AUTH_FAILED, "SMTP Password"),
            (SMTPS, {"SMTP Auth": "xoauth2"}, AUTH_FAILED, "XOAUTH2"),  # not offered
            (SMTPS, {"CA File": None}, CERT_UNTRUSTED, shown),
            (SUBMISSION, {"CA File": None}, CERT_UNTRUSTED, shown),
            (SMTPS, {"CA File": rs.NNTP_TLS_CERT}, CERT_UNTRUSTED, shown),
            (SMTPS, {"CA File": None, "TLS Fingerprint": "AB" * 32}, CERT_UNTRUSTED, shown),
            # The server itself demands a login here.
            (SUBMISSION, {"SMTP User": None, "SMTP Password": None}, SERVER_ERROR, "Error"),
            # A password never goes out in the clear: refused before connecting,
            # so a port nobody listens on gives the same.
            ("smtp://" + LENIENT, {}, AUTH_FAILED, "SMTP User"),
            ("smtp://%s:%d" % (rs.HOST, rs.free_port()), {}, AUTH_FAILED, "SMTP User")]
        receivers = []
        for host, keys, expected, needle in rows:
            with self.subTest(host=host, keys=keys):
                self.use(host, keys)
                receivers.append(rs.unique_address("refused"))
                code, err = self.send(["--", receivers[-1], "-sRefused"], b"text\n")
                self.assertEqual(code, expected, err)
                self.assertIn(needle, err)
        self.assert_nothing_delivered(receivers)

    def test_readable_profile_with_password_is_refused(self):
        self.use(SMTPS, mode=0o644)
        rcpt = rs.unique_address("readable")
        code, err = self.send(["--", rcpt, "-sReadable"], b"text\n")
        self.assertEqual(code, 255, err)
        self.assertIn("chmod 600", err)
        self.assert_nothing_delivered([rcpt])

    def test_news_servers(self):
        login = {"nntp_user": rs.NEWS_USER, "nntp_password": rs.NEWS_PASS}
        rows = [(NNTPS, {"CA File": rs.NNTP_TLS_CERT}, login, 0),
                ("nntp://%s:%d" % (rs.HOST, rs.NNTP_PORT), {}, {}, 0),  # MODE READER first
                (NNTPS, {}, login, CERT_UNTRUSTED),
                (NNTPS, {"CA File": rs.NNTP_TLS_CERT}, dict(login, nntp_password="wrong"),
                 SERVER_ERROR)]
        text = b"news over TLS\n.\n..two\nend\n"
        for host, keys, settings, expected in rows:
            with self.subTest(host=host, keys=keys, settings=settings):
                no_mail_keys = {"CA File": None, "SMTP User": None, "SMTP Password": None}
                self.use(rs.HOST, dict(no_mail_keys, **keys), nntp_host=host, **settings)
                subject = "TLS news " + rs.unique_token()
                code, err = self.send(["--", "-u", "-s" + subject, rs.NEWS_GROUP], text)
                self.assertEqual(code, expected, err)
                found = rs.message_ids_with_subject(subject, timeout=0 if expected else 15)
                self.assertEqual(len(found), 0 if expected else 1)
                if not expected:
                    article = email.message_from_bytes(rs.read_article(found[0]))
                    self.assertEqual(article["Subject"], subject)
                    self.assertEqual(article["Newsgroups"], rs.NEWS_GROUP)
                    self.assert_text(article, text)


class CheckTest(RealServerCase):
    """--check: the dialogue of a send up to the login, reported on standard
    output, then QUIT; the exit status a send would have, and no message."""

    use = TlsLoginTest.use

    def check(self, *args):
        result = rs.run_sendvale(list(args) + ["--check"], self.profile, cwd=self.tmp.name)
        return result.returncode, result.stdout.decode("latin-1"), result.stderr.decode("latin-1")

    def test_mail_servers(self):
        shown = "Certificate SHA-256: " + fingerprint(rs.SMTP_TLS_CERT) + "\n"
        login = "Login: AUTH PLAIN as %s, " % rs.SMTP_USER
        rows = [  # server name, keys, exit status, lines on standard output
            (SUBMISSION, {}, 0, ["TLS: STARTTLS\n", "Capability: STARTTLS\n", shown, login + "accepted\n"]),
            (SMTPS, {}, 0, ["TLS: implicit\n", "TLS version: TLS 1.", shown, login + "accepted\n"]),
            (SMTPS, {"SMTP Password": "wrong"}, AUTH_FAILED, [shown, login + "failed\n"]),
            (SUBMISSION, {"CA File": None}, CERT_UNTRUSTED, [shown, "Result: failed with code 15"]),
            (LENIENT, {"CA File": None, "SMTP User": None, "SMTP Password": None}, 0,
             ["TLS: none\n", "HELO: 250 ", "Login: none\n"])]
        for host, keys, expected, lines in rows:
            with self.subTest(host=host, keys=keys):
                self.use(host, keys, nntp_host="")
                code, out, err = self.check()
                self.assertEqual(code, expected, err)
                self.assertTrue(out.startswith("Mail server: %s\nConnected: " % host), out)
                for line in lines + ["Greeting: 220 ", "Result: "]:
                    self.assertIn(line, out)
                self.assertNotIn(rs.SMTP_PASS, out + err)
                self.assertNotIn("News server", out)

    def test_news_servers(self):
        login = {"nntp_user": rs.NEWS_USER, "nntp_password": rs.NEWS_PASS}
        no_mail_keys = {"CA File": None, "SMTP User": None, "SMTP Password": None}
        rows = [  # server name, keys, settings, options, exit status, lines on standard output
            (NNTPS, {"CA File": rs.NNTP_TLS_CERT}, login, ["-u"], 0,
             ["TLS: implicit\n", "Certificate SHA-256: " + fingerprint(rs.NNTP_TLS_CERT) + "\n",
              "Login: AUTHINFO as %s, accepted\n" % rs.NEWS_USER]),
            ("nntp://%s:%d" % (rs.HOST, rs.NNTP_PORT), {}, {}, ["-u"], 0, ["MODE READER: 200 ", "Login: none\n"]),
            (NNTPS, {"CA File": rs.NNTP_TLS_CERT}, dict(login, nntp_password="wrong"), ["-u"], SERVER_ERROR,
             ["Login: AUTHINFO as %s, failed\n" % rs.NEWS_USER]),
            (NNTPS, {}, login, ["-u"], CERT_UNTRUSTED, ["Result: failed with code 15"]),
            # Without -u both servers are checked, the mail server first.
            ("%s:%d" % (rs.HOST, rs.NNTP_PORT), {}, {}, [], 0, ["Mail server: %s\n" % LENIENT, "\nNews server: "])]
        for host, keys, settings, options, expected, lines in rows:
            with self.subTest(host=host, keys=keys, settings=settings):
                self.use(LENIENT, dict(no_mail_keys, **keys), nntp_host=host, **settings)
                code, out, err = self.check(*options)
                self.assertEqual(code, expected, err)
                # Implicit TLS fails before any greeting can be read.
                greeting = [] if expected == CERT_UNTRUSTED else ["Greeting: 200 "]
                for line in lines + ["News server: %s\n" % host] + greeting:
                    self.assertIn(line, out)
                self.assertEqual("Mail server" in out, not options)
                self.assertNotIn(rs.NEWS_PASS, out + err)


class CountingResult(unittest.TextTestResult):
    """Remembers which test cases ran, for the closing count."""

    def startTest(self, test):
        super().startTest(test)
        self.ran = getattr(self, "ran", set()) | {test.id()}


def main():
    """Runs the suite (or the named tests) and ends with "N passed, M failed",
    one count per test case: a case with a failing subtest, or one that never
    ran because its set-up failed, counts as failed. Skipped cases are added
    as ", K skipped"."""
    loader = unittest.defaultTestLoader
    module = sys.modules[__name__]
    suite = (loader.loadTestsFromNames(sys.argv[1:], module) if len(sys.argv) > 1
             else loader.loadTestsFromModule(module))
    total = suite.countTestCases()
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout,
                                     resultclass=CountingResult).run(suite)
    failed = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    skipped = {t.id() for t, _ in result.skipped}
    module_skipped = not getattr(result, "ran", None) and not failed and bool(skipped)
    skipped_count = total if module_skipped else len(skipped - failed)
    passed = len(getattr(result, "ran", set()) - failed - skipped)
    failed_count = total - passed - skipped_count
    print("%d passed, %d failed%s" % (passed, failed_count,
                                      ", %d skipped" % skipped_count if skipped_count else ""))
    return 1 if failed_count else 0


if __name__ == "__main__":
    sys.exit(main())
