#!/usr/bin/env python3
"""Smoke test for Sendvale's real test servers, set up by start-postfix.sh and
start-inn.sh in this folder (see README.md).

Stdlib only. Run as root (the Maildir files are mode 0600). Doubles as example
code: how to talk to each port, and how to find a delivered mail / article.
Usage: python3 check_servers.py [smtp|nntp]...   (default: both)
Prints one line per check and a closing "N passed, M failed" line; exit 1 on failure.
"""
import base64, glob, os, socket, ssl, subprocess, sys, time, uuid

MAILDIR = os.environ.get("SINK_DIR", "/var/mail/sink")
SMTP_CA = "/etc/postfix/test-tls/cert.pem"
NNTP_CA = "/etc/news/test-tls/cert.pem"
RESULTS = []


def check(name, cond, detail=""):
    RESULTS.append(bool(cond))
    print(("ok   " if cond else "FAIL ") + name + ("" if cond else "  -- " + str(detail)))


class Conn:
    """Line-oriented client for SMTP/NNTP. send() takes str (CRLF added) or raw bytes."""

    def __init__(self, port, host="127.0.0.1", tls=False, cafile=None, timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        if tls:
            self.starttls(cafile)
        self.f = self.sock.makefile("rb")

    def starttls(self, cafile):
        ctx = ssl.create_default_context(cafile=cafile)  # verifies the self-signed cert
        self.sock = ctx.wrap_socket(self.sock, server_hostname="localhost")
        self.f = self.sock.makefile("rb")

    def line(self):
        raw = self.f.readline()
        return raw.decode("utf-8", "replace").rstrip("\r\n") if raw else "<EOF>"

    def reply(self):  # SMTP multi-line reply -> last line
        while True:
            l = self.line()
            if len(l) < 4 or l[3] != "-":
                return l

    def multiline(self):  # NNTP dot-terminated block (dot-unstuffed)
        out = []
        while True:
            l = self.line()
            if l in (".", "<EOF>"):
                return out
            out.append(l[1:] if l.startswith("..") else l)

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else (data + "\r\n").encode())

    def smtp(self, data):
        self.send(data)
        return self.reply()

    def nntp(self, data):
        self.send(data)
        return self.line()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def wait_for_mail(before, count, timeout=10):
    """Delivery is asynchronous after '250 queued': poll the Maildir, bounded."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        new = sorted(set(glob.glob(MAILDIR + "/new/*")) - before)
        if len(new) >= count:
            return new
        time.sleep(0.05)
    return sorted(set(glob.glob(MAILDIR + "/new/*")) - before)


def header(path, name):
    with open(path, "rb") as fh:
        head = fh.read().split(b"\n\n", 1)[0].decode("utf-8", "replace")
    return [l.split(":", 1)[1].strip() for l in head.split("\n") if l.lower().startswith(name.lower() + ":")]


def smtp_checks():
    u = uuid.uuid4().hex[:10]
    before = set(glob.glob(MAILDIR + "/new/*"))
    c = Conn(2525)
    check("smtp 2525 banner", c.reply().startswith("220"))
    c.smtp("EHLO client.test")
    check("smtp MAIL FROM", c.smtp("MAIL FROM:<sender@client.test>").startswith("250"))
    check("smtp RCPT 1", c.smtp("RCPT TO:<alice-%s@example.test>" % u).startswith("250"))
    check("smtp RCPT 2", c.smtp("RCPT TO:<Bob.%s@example.test>" % u).startswith("250"))
    r = c.smtp("RCPT TO:<reject@example.test>")
    check("smtp magic reject -> 550", r.startswith("550 5.7.1"), r)
    r = c.smtp("RCPT TO:<tempfail@example.test>")
    check("smtp magic tempfail -> 450", r.startswith("450 4.7.1"), r)
    r = c.smtp("RCPT TO:<x@elsewhere.invalid>")
    check("smtp relay denied -> 554", r.startswith("554 5.7.1"), r)
    check("smtp DATA", c.smtp("DATA").startswith("354"))
    body = ("From: <sender@client.test>\r\nTo: <alice-%s@example.test>\r\nBcc: <hidden@example.test>\r\n"
            "Subject: check %s\r\n\r\n..dot line\r\nbody\r\n.\r\n" % (u, u))
    check("smtp end of data", c.smtp(body.encode()).startswith("250"))
    c.smtp("QUIT"); c.close()
    files = wait_for_mail(before, 2)
    check("smtp 2 copies delivered", len(files) == 2, files)
    rcpts = sorted(v for f in files for v in header(f, "X-Original-To"))
    check("smtp X-Original-To per copy", rcpts == sorted(["alice-%s@example.test" % u, "Bob.%s@example.test" % u]), rcpts)
    if files:
        data = open(files[0], "rb").read()
        check("smtp Return-Path = envelope sender", header(files[0], "Return-Path") == ["<sender@client.test>"])
        check("smtp Bcc header kept (message_drop_headers empty)", header(files[0], "Bcc") == ["<hidden@example.test>"])
        check("smtp dot-unstuffed, LF line ends on disk", b"\n.dot line\nbody\n" in data and b"\r" not in data)

    c = Conn(2526)  # strict port
    c.reply(); c.smtp("EHLO client.test")
    r = c.smtp("MAIL FROM: user@x")
    check("smtp strict: MAIL FROM without <> -> 501", r.startswith("501"), r)
    c.smtp("MAIL FROM:<a@client.test>"); c.smtp("RCPT TO:<lf@example.test>"); c.smtp("DATA")
    r = c.smtp(b"Subject: lf\nbody\r\n.\r\n")
    check("smtp strict: bare LF -> 550", r.startswith("550 5.5.2"), r)
    c.close()

    c = Conn(2587)
    c.reply(); c.smtp("EHLO client.test")
    r = c.smtp("AUTH PLAIN " + base64.b64encode(b"\0testuser\0testpass").decode())
    check("smtp 2587 AUTH before STARTTLS -> 530", r.startswith("530"), r)
    check("smtp 2587 STARTTLS", c.smtp("STARTTLS").startswith("220"))
    c.starttls(SMTP_CA); c.smtp("EHLO client.test")
    c.smtp("MAIL FROM:<a@client.test>")
    r = c.smtp("RCPT TO:<noauth@example.test>")
    check("smtp 2587 RCPT without AUTH -> 554", r.startswith("554"), r)
    c.smtp("RSET")
    r = c.smtp("AUTH PLAIN " + base64.b64encode(b"\0testuser\0wrong").decode())
    check("smtp 2587 wrong password -> 535", r.startswith("535"), r)
    r = c.smtp("AUTH PLAIN " + base64.b64encode(b"\0testuser\0testpass").decode())
    check("smtp 2587 AUTH PLAIN -> 235", r.startswith("235"), r)
    before = set(glob.glob(MAILDIR + "/new/*"))
    c.smtp("MAIL FROM:<a@client.test>"); c.smtp("RCPT TO:<authed-%s@example.test>" % u); c.smtp("DATA")
    check("smtp 2587 authenticated send", c.smtp(b"Subject: authed\r\n\r\nx\r\n.\r\n").startswith("250"))
    c.close()
    check("smtp 2587 delivered", len(wait_for_mail(before, 1)) == 1)

    c = Conn(2465, tls=True, cafile=SMTP_CA)
    check("smtp 2465 implicit TLS banner", c.reply().startswith("220"))
    c.smtp("EHLO client.test")
    r = c.smtp("AUTH PLAIN " + base64.b64encode(b"\0testuser@example.test\0testpass").decode())
    check("smtp 2465 AUTH (user@realm form) -> 235", r.startswith("235"), r)
    c.close()


def nntp_post(c, mid, groups="local.test", extra=""):
    r = c.nntp("POST")
    if not r.startswith("340"):
        return r
    art = ("Message-ID: %s\r\nFrom: Tester <tester@example.test>\r\nNewsgroups: %s\r\n"
           "Subject: check\r\n%s\r\n..dotted\r\nbody\r\n.\r\n" % (mid, groups, extra))
    return c.nntp(art.encode())


def nntp_checks():
    u = uuid.uuid4().hex[:10]
    mid = "<chk-%s@example.test>" % u
    c = Conn(119)
    g = c.line()
    check("nntp 119 greeting 200 posting ok", g.startswith("200") and "posting ok" in g, g)
    check("nntp MODE READER", c.nntp("MODE READER").startswith("200"))
    r = c.nntp("GROUP a,b")
    check("nntp GROUP a,b -> 411", r.startswith("411"), r)
    r = nntp_post(c, mid, "local.test,local.test2")
    check("nntp POST crosspost -> 240", r.startswith("240"), r)
    r = c.nntp("ARTICLE " + mid)
    lines = c.multiline() if r.startswith("220") else []
    check("nntp ARTICLE by msgid -> 220", r.startswith("220"), r)
    check("nntp server added Path/Date", any(l.startswith("Path: ") for l in lines) and any(l.startswith("Date: ") for l in lines))
    check("nntp body dot-unstuffed", ".dotted" in lines, lines)
    xref = [l for l in lines if l.startswith("Xref: ")]
    r = nntp_post(c, mid)
    check("nntp duplicate Message-ID -> 441 435", r.startswith("441"), r)
    r = nntp_post(c, "<nop-%s@example.test>" % u, "local.nopost")
    check("nntp POST to status-n group -> 441", r.startswith("441"), r)
    c.nntp("QUIT"); c.close()
    # spool file (tradspool, wire format) and sm
    if xref:
        num = xref[0].split("local.test:")[1].split()[0]
        path = "/var/spool/news/articles/local/test/" + num
        data = open(path, "rb").read() if os.path.exists(path) else b""
        check("nntp spool file (wire format, CRLF, ends .CRLF)", data.endswith(b"\r\n.\r\n") and mid.encode() in data, path)
    tok = subprocess.run(["/usr/lib/news/bin/grephistory", mid], capture_output=True, text=True).stdout.strip()
    art = subprocess.run(["/usr/lib/news/bin/sm", tok], capture_output=True).stdout if tok else b""
    check("nntp grephistory+sm read back (native LF format)", b"\n.dotted\n" in art and b"\r" not in art, tok)

    c = Conn(1119)
    c.line()
    r = nntp_post(c, "<x-%s@example.test>" % u)
    check("nntp 1119 POST before auth -> 480", r.startswith("480"), r)
    check("nntp 1119 AUTHINFO USER -> 381", c.nntp("AUTHINFO USER newsuser").startswith("381"))
    r = c.nntp("AUTHINFO PASS wrong")
    check("nntp 1119 wrong password -> 481", r.startswith("481"), r)
    c.nntp("AUTHINFO USER newsuser")
    check("nntp 1119 AUTHINFO PASS -> 281", c.nntp("AUTHINFO PASS newspass").startswith("281"))
    r = nntp_post(c, "<auth-%s@example.test>" % u)
    check("nntp 1119 authenticated POST -> 240", r.startswith("240"), r)
    c.close()

    c = Conn(1563, tls=True, cafile=NNTP_CA)
    check("nntp 1563 implicit TLS greeting", c.line().startswith("200"))
    c.nntp("AUTHINFO USER newsuser")
    check("nntp 1563 auth", c.nntp("AUTHINFO PASS newspass").startswith("281"))
    c.close()

    c = Conn(119)
    c.line()
    check("nntp 119 STARTTLS -> 382", c.nntp("STARTTLS").startswith("382"))
    c.starttls(NNTP_CA)
    check("nntp 119 after STARTTLS", c.nntp("DATE").startswith("111"))
    c.close()


if __name__ == "__main__":
    which = sys.argv[1:] or ["smtp", "nntp"]
    for w in which:
        try:
            {"smtp": smtp_checks, "nntp": nntp_checks}[w]()
        except Exception as e:  # a dead server must fail the run, not crash it
            check(w + " checks ran to the end", False, repr(e))
    failed = RESULTS.count(False)
    print("%d passed, %d failed" % (len(RESULTS) - failed, failed))
    sys.exit(1 if failed else 0)
