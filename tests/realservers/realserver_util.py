#!/usr/bin/env python3
"""Helpers for tests that run Sendvale against the real Postfix and INN that
start-postfix.sh and start-inn.sh in this folder set up on loopback.

Stdlib only. Reading the Maildir needs root (its files are mode 0600).

    import realserver_util as rs
    def setUpModule():
        rs.use_servers()            # skips the module when the servers are absent
    ...
    rcpt = rs.unique_address("to")
    profile = rs.write_profile(tmpdir + "/sendvale.ini", return_address=rs.unique_address("from"))
    result = rs.run_sendvale([rcpt, "-s", "Hello"], profile, stdin=b"text\n")
    [mail] = rs.mails_for(rcpt)     # bytes, LF line ends, as Postfix stored it
    sent = rs.strip_delivery_headers(mail)

SENDVALE_REALSERVERS chooses what use_servers() does:
    unset / "auto"  use the servers when they answer, else skip the tests;
    "require"       fail when they do not answer (CI that started them);
    "start"         run the start scripts now and the stop scripts at exit.

`python3 realserver_util.py` checks these helpers against running servers.
"""
import atexit
import glob
import json
import os
import shlex
import socket
import subprocess
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = "127.0.0.1"
TEST_DOMAIN = os.environ.get("SMTP_TEST_DOMAIN", "example.test")
MAILDIR = os.environ.get("SMTP_MAILDIR", "/var/mail/sink")
SMTP_PORT = 2525         # lenient: takes bare LF and envelopes without <>
SMTP_PORT_STRICT = 2526  # bare LF -> 550, envelopes without <> -> 501
NNTP_PORT = 119          # posting without login
NNTP_PORT_AUTH = 1119    # AUTHINFO USER/PASS required
NNTP_PORT_TLS = 1563     # implicit TLS, AUTHINFO required
SMTP_PORT_SUBMISSION = 2587  # STARTTLS required, then AUTH required
SMTP_PORT_SMTPS = 2465       # implicit TLS, AUTH required
# The start scripts' summaries (sourced into the environment) name these.
SMTP_USER = os.environ.get("SMTP_AUTH_USER", "testuser")
SMTP_PASS = os.environ.get("SMTP_AUTH_PASS", "testpass")
SMTP_TLS_CERT = os.environ.get("SMTP_TLS_CERT", "/etc/postfix/test-tls/cert.pem")
NNTP_TLS_CERT = os.environ.get("NNTP_TLS_CERT", "/etc/news/test-tls/cert.pem")
NEWS_USER = os.environ.get("NNTP_AUTH_USER", "newsuser")
NEWS_PASS = os.environ.get("NNTP_AUTH_PASS", "newspass")
NEWS_GROUP = "local.test"
NEWS_GROUP2 = "local.test2"
NEWS_GROUP_NOPOST = "local.nopost"
INN_BIN = "/usr/lib/news/bin"
WAIT_SECONDS = 15        # bound of every poll; delivery normally takes milliseconds


# ------------------------------------------------------------ servers

def run_script(name, *args):
    """Runs one of the scripts here; returns its KEY=value summary as a dict."""
    done = subprocess.run(["bash", os.path.join(HERE, name)] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=1800)
    if done.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (name, done.returncode, done.stderr[-3000:]))
    summary = {}
    for line in done.stdout.splitlines():
        key, sep, value = line.partition("=")
        if sep:
            summary[key] = " ".join(shlex.split(value))
    return summary


def start_servers():
    """Installs when needed and (re)starts both servers, one after the other."""
    summary = run_script("start-postfix.sh")
    summary.update(run_script("start-inn.sh"))
    return summary


def stop_servers(purge_mail=False):
    run_script("stop-inn.sh")
    run_script("stop-postfix.sh", *(["--purge-mail"] if purge_mail else []))


def greeting(port, host=HOST, timeout=3):
    """The server's first reply line, or "" when nothing answers."""
    try:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            line = sock.makefile("rb").readline().decode("latin-1").rstrip("\r\n")
            sock.sendall(b"QUIT\r\n")
            return line
    except OSError:
        return ""


def unavailable_reason():
    if os.geteuid() != 0:
        return "needs root to read the test Maildir"
    if not greeting(SMTP_PORT).startswith("220"):
        return "no test Postfix on %s:%d (run %s/start-postfix.sh)" % (HOST, SMTP_PORT, HERE)
    if not greeting(NNTP_PORT).startswith("200"):
        return "no test INN on %s:%d (run %s/start-inn.sh)" % (HOST, NNTP_PORT, HERE)
    return None


_started = False


def use_servers():
    """Makes sure the servers run, as SENDVALE_REALSERVERS asks; raises
    unittest.SkipTest when they are absent and may be skipped."""
    global _started
    mode = os.environ.get("SENDVALE_REALSERVERS", "auto")
    if mode == "start" and not _started:
        start_servers()
        _started = True
        atexit.register(stop_servers)
    reason = unavailable_reason()
    if reason and mode in ("require", "start"):
        raise RuntimeError(reason)
    if reason:
        raise unittest.SkipTest(reason)


# ------------------------------------------------------------ unique names

def unique_token():
    return uuid.uuid4().hex[:16]


def unique_address(local="rcpt", domain=TEST_DOMAIN):
    """An address that lands in the catch-all Maildir and nowhere else this run."""
    return "%s-%s@%s" % (local, unique_token(), domain)


def unique_message_id(domain=TEST_DOMAIN):
    # INN keeps its history across runs: a reused id is refused as a duplicate.
    return "<sv-%s@%s>" % (uuid.uuid4().hex, domain)


# ------------------------------------------------------------ Sendvale

def write_profile(path, smtp_host="%s:%d" % (HOST, SMTP_PORT_STRICT), return_address="",
                  organization="", nntp_host="%s:%d" % (HOST, NNTP_PORT), nntp_user="",
                  nntp_password="", timeout_seconds=30, extra=None, mode=0o600):
    """Writes a [Setup] profile for SENDVALE_PROFILE; returns its path.
    `extra` adds keys ({"CA File": path}); the mode is 0600 because
    Sendvale refuses a readable profile that holds an SMTP password."""
    lines = ["[Setup]", "HOST=" + smtp_host, "Return Address=" + return_address,
             "Organization=" + organization, "NNTP HOST=" + nntp_host,
             "NNTP User=" + nntp_user, "NNTP Passws=" + nntp_password,
             "Timeout=%d" % timeout_seconds]
    lines += ["%s=%s" % item for item in (extra or {}).items()]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.chmod(path, mode)
    return path


def sendvale_program():
    return os.path.join(os.environ.get("SENDVALE_BUILD_DIR", os.getcwd()), "sendvale")


def run_sendvale(args, profile, stdin=b"", cwd=None, env=None, timeout=120):
    full_env = dict(os.environ, SENDVALE_PROFILE=profile)
    full_env.update(env or {})
    return subprocess.run([sendvale_program()] + list(args), input=stdin, cwd=cwd,
                          env=full_env, capture_output=True, timeout=timeout)


def free_port(host=HOST):
    """A loopback TCP port that nothing listens on (bound once, then released)."""
    with socket.socket() as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


def write_mime_types(path, entries):
    """A mime.types file for SENDVALE_MIME_TYPES: {type: "ext ext"}; returns its path."""
    with open(path, "w") as f:
        f.write("# test database\n")
        for content_type, extensions in entries.items():
            f.write("%s\t%s\n" % (content_type, extensions))
    return path


# ------------------------------------------------------------ Maildir

_recipient_of = {}  # Maildir file -> X-Original-To; delivered files never change


def _recipient(path):
    if path not in _recipient_of:
        try:
            with open(path, "rb") as f:
                head = f.read(8192)
        except FileNotFoundError:  # moved from new/ to cur/ meanwhile
            return None
        values = header_values(head, "X-Original-To")
        _recipient_of[path] = values[0].lower() if values else ""
    return _recipient_of[path]


def _maildir_files():
    return glob.glob(os.path.join(MAILDIR, "new", "*")) + glob.glob(os.path.join(MAILDIR, "cur", "*"))


def _read_all(paths):
    mails = []
    for path in paths:
        with open(path, "rb") as f:
            mails.append(f.read())
    return mails


def _copies_by_recipient(wanted):
    found = {address: [] for address in wanted}
    for path in _maildir_files():
        recipient = _recipient(path)
        if recipient in found:
            found[recipient].append(path)
    for paths in found.values():
        paths.sort(key=lambda p: (os.stat(p).st_mtime, p))
    return found


def mails_for_each(addresses, count=1, timeout=WAIT_SECONDS):
    """{address: stored copies} for several recipients, polled together until
    each has `count` copies or the time is up (one bound for all of them)."""
    wanted = {a: a.strip("<>").lower() for a in addresses}
    deadline = time.monotonic() + timeout
    while True:
        found = _copies_by_recipient(set(wanted.values()))
        if all(len(p) >= count for p in found.values()) or time.monotonic() >= deadline:
            break
        time.sleep(0.05)
    return {a: _read_all(found[w]) for a, w in wanted.items()}


def mails_for(address, count=1, timeout=WAIT_SECONDS):
    """The stored copies for one recipient (RCPT TO as given, any case), oldest
    first. Polls until `count` are there or the time is up, then returns what
    there is: the caller asserts the number."""
    return mails_for_each([address], count, timeout)[address]


def _queued_recipients():
    done = subprocess.run(["postqueue", "-j"], capture_output=True, text=True)
    found = set()
    for line in done.stdout.splitlines():
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        found.update(r.get("address", "").lower() for r in entry.get("recipients", []))
    return found


def settle_mail(addresses=(), timeout=WAIT_SECONDS):
    """Waits until Postfix has dealt with everything handed to it so far, so
    that "no mail arrived" means something: a marker mail sent now must have
    arrived and none of `addresses` may still sit in the queue. Returns
    whether that was reached within the bound."""
    import smtplib
    marker = unique_address("marker")
    with smtplib.SMTP(HOST, SMTP_PORT, timeout=10) as smtp:
        smtp.sendmail(unique_address("settle"), [marker], b"Subject: marker\r\n\r\nmarker\r\n")
    arrived = len(mails_for(marker, timeout=timeout)) == 1
    wanted = {a.strip("<>").lower() for a in addresses}
    deadline = time.monotonic() + timeout
    while wanted & _queued_recipients():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return arrived


def split_message(data):
    """(header block, body) of a message with LF or CR LF line ends."""
    for sep in (b"\r\n\r\n", b"\n\n"):
        head, found, body = data.partition(sep)
        if found:
            return head + sep[: len(sep) // 2], body
    return data, b""


def header_values(data, name):
    """Values of every header called `name` (any case), unfolded, as str."""
    head = split_message(data)[0].replace(b"\r\n", b"\n")
    values = []
    current = None
    for line in head.split(b"\n"):
        if line[:1] in (b" ", b"\t") and current is not None:
            values[current] += " " + line.strip().decode("latin-1")
            continue
        current = None
        field, colon, value = line.partition(b":")
        if colon and field.decode("latin-1").lower() == name.lower():
            values.append(value.strip().decode("latin-1"))
            current = len(values) - 1
    return values


DELIVERY_HEADERS = (b"return-path:", b"x-original-to:", b"delivered-to:", b"received:")


def strip_delivery_headers(mail):
    """What the client sent (with LF line ends): drops the Return-Path,
    X-Original-To, Delivered-To and Received lines Postfix put in front."""
    lines = mail.split(b"\n")
    i = 0
    for name in DELIVERY_HEADERS:
        if i < len(lines) and lines[i].lower().startswith(name):
            i += 1
            while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
                i += 1
    return b"\n".join(lines[i:])


# ------------------------------------------------------------ INN

class NntpClient:
    def __init__(self, port=NNTP_PORT, host=HOST, timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.file = self.sock.makefile("rb")
        self.greeting = self.line()

    def line(self):
        return self.file.readline().decode("latin-1").rstrip("\r\n")

    def command(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")
        return self.line()

    def block(self):
        """A dot-terminated block, unstuffed, as bytes with CR LF line ends."""
        lines = []
        while True:
            raw = self.file.readline()
            if raw in (b"", b".\r\n", b".\n"):
                return b"".join(lines)
            lines.append(raw[1:] if raw.startswith(b"..") else raw)

    def close(self):
        try:
            self.command("QUIT")
        except OSError:
            pass
        self.sock.close()


def read_article(message_id, port=NNTP_PORT, timeout=WAIT_SECONDS):
    """The article as the server hands it out (CR LF, unstuffed), or None."""
    deadline = time.monotonic() + timeout
    while True:
        client = NntpClient(port)
        try:
            if client.command("ARTICLE " + message_id).startswith("220"):
                return client.block()
        finally:
            client.close()
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.1)


def message_ids_with_subject(subject, group=NEWS_GROUP, count=1, timeout=WAIT_SECONDS):
    """Message-IDs of the articles in `group` whose Subject is exactly `subject`
    (for posts whose Message-ID the server chose). Polls like mails_for."""
    deadline = time.monotonic() + timeout
    while True:
        client = NntpClient()
        try:
            ids = []
            reply = client.command("GROUP " + group).split()
            if reply[0] == "211" and int(reply[1]) > 0:
                if client.command("OVER %s-%s" % (reply[2], reply[3])).startswith("224"):
                    for entry in client.block().decode("latin-1").splitlines():
                        fields = entry.split("\t")
                        if len(fields) > 4 and fields[1] == subject:
                            ids.append(fields[4])
        finally:
            client.close()
        if len(ids) >= count or time.monotonic() >= deadline:
            return ids
        time.sleep(0.1)


def spool_article(message_id):
    """The stored article in INN's native format (LF, unstuffed), or None."""
    token = subprocess.run([os.path.join(INN_BIN, "grephistory"), message_id],
                           capture_output=True, text=True).stdout.strip()
    if not token:
        return None
    return subprocess.run([os.path.join(INN_BIN, "sm"), token], capture_output=True).stdout


# ------------------------------------------------------------ self-check

def _self_check():
    import smtplib
    use_servers()
    rcpt, sender = unique_address("check"), unique_address("from")
    sent = ("From: <%s>\r\nTo: <%s>\r\nSubject: helper check\r\n\r\n.dot\r\nline\r\n"
            % (sender, rcpt)).encode()
    with smtplib.SMTP(HOST, SMTP_PORT_STRICT, timeout=10) as smtp:
        smtp.sendmail(sender, [rcpt, "Other." + rcpt], sent)
    mails = mails_for(rcpt) + mails_for("other." + rcpt)  # any case matches
    assert len(mails) == 2, mails
    assert strip_delivery_headers(mails[0]) == sent.replace(b"\r\n", b"\n"), mails[0]
    assert header_values(mails[0], "return-path") == ["<%s>" % sender]

    mid = unique_message_id()
    article = ("From: Checker <%s>\r\nNewsgroups: %s\r\nSubject: helper check %s\r\n"
               "Message-ID: %s\r\n\r\n..dot\r\nline\r\n.\r\n" % (sender, NEWS_GROUP, mid, mid))
    client = NntpClient()
    assert client.command("POST").startswith("340")
    client.sock.sendall(article.encode())
    reply = client.line()
    client.close()
    assert reply.startswith("240"), reply
    stored = read_article(mid)
    assert stored and stored.endswith(b"\r\n\r\n.dot\r\nline\r\n"), stored
    assert header_values(stored, "message-id") == [mid]
    assert spool_article(mid).endswith(b"\n\n.dot\nline\n")
    assert message_ids_with_subject("helper check %s" % mid) == [mid]
    print("realserver_util: helpers work against the running servers")


if __name__ == "__main__":
    _self_check()
