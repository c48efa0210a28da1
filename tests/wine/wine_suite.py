#!/usr/bin/env python3
"""End-to-end checks of the Windows programs under Wine.

usage: wine_suite.py NATIVE_BUILD WIN_BUILD

The Windows programs come from WIN_BUILD, the fake servers from
NATIVE_BUILD/tests/fakeserver. Everything runs in a fresh Wine prefix in a
temporary folder, which is removed (and its wineserver stopped) at the end.
Prints one line per case and "N passed, N failed"; exits 1 on any failure.
"""
import base64
import contextlib
import email
import email.policy
import glob
import hashlib
import os
import quopri
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import warnings

RUN_LIMIT = 120  # seconds any one Wine process may take before it counts as hung
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def find_wine():
    for name in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")):
        if name and os.access(name, os.X_OK):
            return name
    sys.exit("wine_suite: no wine64 found (Debian package wine64)")


def find_wineserver(wine):
    for name in (os.path.join(os.path.dirname(wine), "wineserver"), shutil.which("wineserver")):
        if name and os.access(name, os.X_OK):
            return name
    return None


def windows_path(path):
    """The Wine drive Z: name of a host path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Suite:
    def __init__(self, native_build, win_build):
        self.native_build = os.path.abspath(native_build)
        self.win_build = os.path.abspath(win_build)
        self.sendvale = os.path.join(self.win_build, "Sendvale.exe")
        self.reportsubject = os.path.join(self.win_build, "reportsubject.exe")
        self.fakeserver = os.path.join(self.native_build, "tests", "fakeserver")
        self.wine = find_wine()
        self.wineserver = find_wineserver(self.wine)
        self.temp = tempfile.mkdtemp(prefix="sendvale-wine-")
        self.prefix = os.path.join(self.temp, "prefix")
        self.work = os.path.join(self.temp, "work")
        self.spool = os.path.join(self.temp, "spool")
        os.makedirs(self.work)
        os.makedirs(self.spool)
        self.env = self.make_env()
        self.servers = []
        self.tls_servers = []
        self.smtp = None
        self.nntp = None
        self.pki = None

    def make_env(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "MM_CHARSET", "MAIL_TEMP")}
        # No DLL overrides: the prefix's registry (the content types) comes
        # from the full set-up.
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", MAIL_TEMP=windows_path(self.spool))
        return env

    # --- processes -------------------------------------------------------

    def wine_run(self, program, args, stdin=b"", cwd=None):
        """Runs program under Wine: exit status, standard output and error.

        The streams are files, not pipes: Wine's background services, started
        by the first run, inherit them and would hold a pipe open for good."""
        with tempfile.TemporaryFile() as i, tempfile.TemporaryFile() as o, \
                tempfile.TemporaryFile() as e:
            i.write(stdin)
            i.seek(0)
            result = subprocess.run([self.wine, program] + args, stdin=i, stdout=o, stderr=e,
                                    cwd=cwd or self.work, env=self.env, timeout=RUN_LIMIT)
            o.seek(0)
            e.seek(0)
            return result.returncode, o.read(), e.read()

    def sendvale_run(self, args, stdin=b""):
        return self.wine_run(self.sendvale, args, stdin)

    def start_prefix(self):
        self.wine_run("wineboot", ["--init"])
        # A persistent wineserver keeps the prefix's services running between
        # runs; otherwise every run pays for starting them again. It outlives
        # this call, so it must not hold any pipe of ours.
        if self.wineserver:
            subprocess.run([self.wineserver, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def start_server(self, args, name):
        """Starts a fake server and returns its port."""
        port_file = os.path.join(self.temp, name + ".port")
        with open(os.path.join(self.temp, name + ".log"), "wb") as log:
            process = subprocess.Popen([self.fakeserver] + args + ["--port-file", port_file],
                                       stdout=log, stderr=subprocess.STDOUT)
        self.servers.append(process)
        for _ in range(200):
            if os.path.exists(port_file):
                with open(port_file) as f:
                    text = f.read()
                if text.endswith("\n"):
                    return int(text)
            if process.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("fake server %s did not start" % name)

    def start_sinks(self):
        self.smtp_store = os.path.join(self.temp, "smtp-store")
        self.nntp_store = os.path.join(self.temp, "nntp-store")
        os.makedirs(self.smtp_store)
        os.makedirs(self.nntp_store)
        # Idle long enough to outlive the slowest Wine start between sessions.
        self.smtp = self.start_server(["--sink", "smtp", "--store", self.smtp_store,
                                             "--idle", "300"], "smtp")
        self.nntp = self.start_server(["--sink", "nntp", "--store", self.nntp_store,
                                             "--idle", "300"], "nntp")

    def stop(self):
        for server in self.tls_servers:
            server.stop()
        for process in self.servers:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
        if self.wineserver:
            for flag in ("-k", "-w"):  # stop, then wait until it has gone
                subprocess.run([self.wineserver, flag], env=self.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.temp, ignore_errors=True)

    # --- helpers ---------------------------------------------------------

    def win_ini(self):
        with open(os.path.join(self.prefix, "drive_c", "windows", "win.ini"), "rb") as f:
            return f.read()

    def setup_values(self):
        values, section = {}, None
        for line in self.win_ini().split(b"\n"):
            line = line.rstrip(b"\r")
            if line.startswith(b"["):
                section = line.strip(b"[]").lower()
            elif section == b"setup" and b"=" in line:
                key, value = line.split(b"=", 1)
                values[key.decode()] = value
        return values

    def stored(self, store, number):
        """The number-th message the sink stored, waiting briefly for it."""
        name = os.path.join(store, "message-%d.eml" % number)
        for _ in range(100):
            if os.path.exists(name):
                break
            time.sleep(0.05)
        with open(name, "rb") as f:
            message = f.read()
        with open(os.path.join(store, "message-%d.envelope" % number), "rb") as f:
            envelope = f.read()
        return message, envelope

    def count(self, store):
        return len([n for n in os.listdir(store) if n.endswith(".eml")])

    def send_ok(self, store, args, stdin=b""):
        """Runs the program, which must succeed, and returns its standard
        error with the one message and envelope the sink stored for it."""
        before = self.count(store)
        rc, _, err = self.sendvale_run(args, stdin)
        expect(rc == 0, "exit status %d: %r" % (rc, err))
        raw, envelope = self.stored(store, before + 1)
        return err, raw, envelope

    def write_file(self, name, data):
        path = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    @contextlib.contextmanager
    def setup_keys(self, keys):
        """[Setup] of win.ini with these keys set, for the time of the block."""
        path = os.path.join(self.prefix, "drive_c", "windows", "win.ini")
        ini = self.win_ini()
        names = {k.lower().encode() for k in keys}
        lines, section = [], None
        for line in ini.split(b"\r\n"):
            if line.startswith(b"["):
                section = line.strip(b"[]").lower()
            if section != b"setup" or line.split(b"=", 1)[0].lower() not in names:
                lines.append(line)
        if b"[Setup]" not in lines:  # a case run on its own finds no profile yet
            lines += [b"[Setup]"]
        at = lines.index(b"[Setup]") + 1
        lines[at:at] = [("%s=%s" % item).encode() for item in keys.items()]
        with open(path, "wb") as f:
            f.write(b"\r\n".join(lines))
        try:
            yield
        finally:
            with open(path, "wb") as f:
                f.write(ini)

    def assert_spool_empty(self):
        left = os.listdir(self.spool)
        expect(not left, "spool files left behind: %r" % left)


class Skip(Exception):
    """A case that cannot run here; it counts as neither passed nor failed."""


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def expect_in(needle, haystack, what):
    if needle not in haystack:
        raise AssertionError("%s: %r not in %r" % (what, needle, haystack[:2000]))


def parse(raw):
    return email.message_from_bytes(raw, policy=email.policy.compat32)


def text_body(part):
    """A text part's decoded body with its line ends as LF."""
    raw = part.get_payload(decode=False).encode("latin-1")
    return quopri.decodestring(raw).replace(b"\r\n", b"\n")


# --- TLS test servers ----------------------------------------------------

TEST_USER, TEST_PASS = b"testuser", b"testpass"


def make_pki(folder):
    """A test CA, two certificates it signed (for localhost and for
    other.example) and a self-signed one for localhost:
    {"ca": file, name: (certificate, key)}."""
    def openssl(*args):
        subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    pki = {"ca": os.path.join(folder, "ca.pem")}
    ca_key = os.path.join(folder, "ca.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", pki["ca"], "-days", "3",
            "-subj", "/CN=Sendvale Wine Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for serial, name in enumerate(("localhost", "other.example"), 2):
        base = os.path.join(folder, name)
        with open(base + ".ext", "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n" % name)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", base + ".key", "-out", base + ".csr",
                "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", base + ".csr", "-CA", pki["ca"], "-CAkey", ca_key, "-set_serial", str(serial),
                "-days", "3", "-extfile", base + ".ext", "-out", base + ".pem")
        pki[name] = (base + ".pem", base + ".key")
    base = os.path.join(folder, "self-signed")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", base + ".key", "-out", base + ".pem",
            "-days", "3", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost")
    pki["self-signed"] = (base + ".pem", base + ".key")
    return pki


def fingerprint(certificate_file):
    with open(certificate_file) as f:
        return hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest()


class TlsServer:
    """Serves one session at a time on a thread of its own; each session's
    client lines are kept. Every reply line is a TLS record of its own, so
    several records arrive in one read."""

    def __init__(self, certificate, implicit, newest=ssl.TLSVersion.MAXIMUM_SUPPORTED):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*certificate)
        with warnings.catch_warnings():  # old versions are the point here
            warnings.simplefilter("ignore", DeprecationWarning)
            if newest < ssl.TLSVersion.TLSv1_2:
                self.context.minimum_version = ssl.TLSVersion.TLSv1
                self.context.set_ciphers("DEFAULT:@SECLEVEL=0")
            self.context.maximum_version = newest
        self.implicit = implicit
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sessions = []
        self.messages = []
        self.names = []  # the SNI of each handshake
        self.context.sni_callback = lambda sock, name, context: self.names.append(name)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return  # stopped
            self.sessions.append([])
            try:
                conn.settimeout(RUN_LIMIT)
                # Corked, the last handshake record and the greeting after it
                # reach the client in one piece (the first flight waits 0.2 s).
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, self.implicit)
                self.session(self.context.wrap_socket(conn, server_side=True) if self.implicit else conn,
                             self.sessions[-1])
            except (OSError, ValueError):  # ssl.SSLError included: the client gave up
                pass
            finally:
                conn.close()

    def stop(self):
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()


class TlsSmtp(TlsServer):
    """SMTP taking AUTH PLAIN for testuser/testpass only, offered inside TLS."""

    def session(self, conn, lines):
        reader = conn.makefile("rb")

        def reply(*texts):
            for text in texts:
                conn.sendall(text.encode() + b"\r\n")
        reply("220 wine-tls ESMTP")
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 0)
        while line := reader.readline():
            lines.append(line.rstrip(b"\r\n"))
            verb = line[:4].upper()
            if verb == b"EHLO":
                reply("250-wine-tls", "250-AUTH PLAIN" if isinstance(conn, ssl.SSLSocket) else "250-STARTTLS",
                      "250 8BITMIME")
            elif verb == b"STAR":
                reply("220 go ahead")
                conn = self.context.wrap_socket(conn, server_side=True)
                reader = conn.makefile("rb")
            elif verb == b"AUTH":
                good = line.split()[-1] == base64.b64encode(b"\0" + TEST_USER + b"\0" + TEST_PASS)
                reply("235 ok" if good else "535 5.7.8 authentication failed")
            elif verb == b"DATA":
                reply("354 go")
                body = []
                while (data := reader.readline()) not in (b".\r\n", b""):
                    body.append(data)
                self.messages.append(b"".join(body))
                reply("250 queued")
            elif verb == b"QUIT":
                return reply("221 bye")
            else:
                reply("250 ok")


class TlsEcho(TlsServer):
    """Sends back what arrives, 100 bytes a record; answers the client's
    close_notify with its own."""

    def session(self, conn, lines):
        while data := conn.recv(65536):
            for at in range(0, len(data), 100):
                conn.sendall(data[at:at + 100])
        conn.unwrap()


def tls_servers(s):
    """The test PKI and its servers, made once: implicit TLS for localhost, for
    other.example, self-signed, and up to TLS 1.1 only; STARTTLS for
    localhost; the echo server."""
    if not s.pki:
        s.pki = make_pki(s.temp)
        for name, cls, certificate, implicit, newest in (
                ("smtps", TlsSmtp, "localhost", True, ssl.TLSVersion.MAXIMUM_SUPPORTED),
                ("other", TlsSmtp, "other.example", True, ssl.TLSVersion.MAXIMUM_SUPPORTED),
                ("self", TlsSmtp, "self-signed", True, ssl.TLSVersion.MAXIMUM_SUPPORTED),
                ("tls1.1", TlsSmtp, "localhost", True, ssl.TLSVersion.TLSv1_1),
                ("submission", TlsSmtp, "localhost", False, ssl.TLSVersion.MAXIMUM_SUPPORTED),
                ("echo", TlsEcho, "localhost", True, ssl.TLSVersion.MAXIMUM_SUPPORTED)):
            server = cls(s.pki[certificate], implicit, newest)
            s.tls_servers.append(server)
            s.pki[name] = server
    return s.pki


# --- cases ---------------------------------------------------------------

def case_platform_services(s):
    """The platform layer's own checks (console, files, profile, registry,
    code page, sockets, secret commands, TLS sessions)."""
    exe = os.path.join(s.win_build, "tests", "platform_check.exe")
    pki = tls_servers(s)
    s.env.update(SENDVALE_TLS_ECHO_PORT=str(pki["echo"].port), SENDVALE_TLS_CA=windows_path(pki["ca"]))
    try:
        rc, out, err = s.wine_run(exe, [])
    finally:
        del s.env["SENDVALE_TLS_ECHO_PORT"], s.env["SENDVALE_TLS_CA"]
    expect(len(pki["echo"].sessions) > 1, "the TLS checks did not reach the echo server")
    expect(rc == 0, "platform checks failed:\n" + (out + err).decode("latin-1"))


def case_not_initialized(s):
    """A fresh profile refuses every run but -init, -h included, with -1."""
    rc, out, err = s.sendvale_run(["-h"])
    expect(rc == 255, "exit status %d, want 255 (-1)" % rc)
    # Standard error is a text stream: its LF goes out as CR LF.
    want = b"Sendvale.exe: Not initialized.\r\r\nRun: Sendvale.exe -init\r\n\r\n"
    expect(err == want, "message %r, want %r" % (err, want))
    expect(out == b"", "standard output %r" % out)
    rc, out, err = s.sendvale_run(["--version"])
    expect(rc == 0 and err == b"", "--version: exit status %d, %r" % (rc, err))
    expect(out.split(b"\r\n")[1:] == [b"TLS: SChannel", b"Profile: C:\\windows\\win.ini", b""],
           "--version printed %r" % out)


def case_init_writes_profile(s):
    """-init stores the answers in win.ini; a second -init shows them and an
    empty answer keeps them."""
    answers = ("127.0.0.1:%d\r\nme@example.com\r\nAcme Wine Ltd\r\n127.0.0.1:%d\r\n"
               "newsuser\r\nsecret\r\n" % (s.smtp, s.nntp)).encode()
    rc, _, err = s.sendvale_run(["-init"], answers)
    expect(rc == 255, "exit status %d, want 255" % rc)
    expect_in(b"Sendvale.exe: Setup", err, "setup banner")
    expect_in(b"Your mail server (): ", err, "first question on a fresh profile")
    want = {"HOST": b"127.0.0.1:%d" % s.smtp, "Return Address": b"me@example.com",
            "Organization": b"Acme Wine Ltd", "NNTP HOST": b"127.0.0.1:%d" % s.nntp,
            "NNTP User": b"newsuser", "NNTP Passws": b"secret"}
    got = s.setup_values()
    for key, value in want.items():
        expect(got.get(key) == value, "win.ini %s = %r, want %r" % (key, got.get(key), value))
    rc, _, err = s.sendvale_run(["-init"], b"\r\n" * 6)
    expect_in(b"Your mail server (127.0.0.1:%d): " % s.smtp, err, "stored value shown")
    expect_in(b"Login pawssword on server (********): ", err, "stored password masked")
    expect(s.setup_values() == got, "empty answers changed the profile: %r" % s.setup_values())


def case_multipart_attachments(s):
    """Piped text ending at Ctrl-Z, attachments typed through the registry,
    Windows paths, and the spool file created and removed."""
    notes = s.write_file("notes.txt", b"plain notes\r\n")
    photo = s.write_file("Photo.JPG", bytes(range(256)))
    other = s.write_file("data.xyz", b"\x00\x01\x02\xff")
    readme = s.write_file("dir.x/README", b"read me")
    args = ["-v", "-sWine multipart"] + ["-i" + windows_path(p) for p in (notes, photo, other, readme)]
    args += ["--", "rcpt@example.com"]
    err, raw, envelope = s.send_ok(s.smtp_store, args, b"Hello from Wine\r\nsecond line\r\n\x1aIGNORED\r\n")
    expect_in(b"Enter message text. End with ^Z", err, "prompt names Ctrl-Z")
    expect_in(b"Sendvale.exe: Email was successfully sent.", err, "outcome line")
    expect_in(b"MAIL FROM:<me@example.com>", envelope, "envelope sender from win.ini")
    expect_in(b"RCPT TO:<rcpt@example.com>", envelope, "envelope receiver")
    expect(re.search(rb"boundary=PART\.BOUNDARY\.QL\.\d+\.\d+\.-?\d+\r\n", raw), "boundary numbers")
    expect_in(b"Organization: Acme Wine Ltd\r\n", raw, "organization from win.ini")
    message = parse(raw)
    parts = message.get_payload()
    expect(len(parts) == 5, "%d parts" % len(parts))
    expect(parts[0].get_param("charset") == "iso-8859-1", "charset %r" % parts[0].get_param("charset"))
    expect(text_body(parts[0]) == b"Hello from Wine\nsecond line\n\n", "text %r" % text_body(parts[0]))
    want = [("text/plain", "notes.txt", notes), ("image/jpeg", "Photo.JPG", photo),
            ("unknown/xyz", "data.xyz", other), ("unknown/unknown", "README", readme)]
    for part, (ctype, name, path) in zip(parts[1:], want):
        expect(part.get_content_type() == ctype, "%s typed %s, want %s" % (name, part.get_content_type(), ctype))
        expect(part.get_param("name") == name, "name parameter %r" % part.get_param("name"))
        expect_in('filename="%s"' % name, part["Content-Disposition"], "disposition")
        with open(path, "rb") as f:
            expect(base64.b64decode(part.get_payload()) == f.read(), "%s content" % name)
    s.assert_spool_empty()


def case_dry_run(s):
    """The dry run's message leaves in binary mode: CR LF stays CR LF."""
    before = s.count(s.smtp_store)
    rc, out, err = s.sendvale_run(["-n", "-sWine dry run", "--", "rcpt@example.com"], b"one\r\n.two\r\n")
    expect(rc == 0 and err == b"", "exit status %d: %r" % (rc, err))
    expect(out.endswith(b"\r\n\r\none\r\n.two\r\n\r\n\r\n") and b"\r\r" not in out, "message %r" % out)
    expect_in(b"\r\nMessage-ID: <", out, "Message-ID")
    expect(s.count(s.smtp_store) == before, "a message was delivered")
    s.assert_spool_empty()


def case_interactive(s):
    """Typed answers end in CR LF; none of it may reach the headers."""
    typed = b"rcpt@example.com\r\n\r\n\r\n\r\nTyped subject\r\ntyped body\r\n"
    err, raw, envelope = s.send_ok(s.smtp_store, [], typed)
    expect_in(b"Going interactive - no receivers are specified.", err, "greeting")
    expect_in(b"Enter message text. End with ^Z", err, "prompt names Ctrl-Z")
    expect_in(b"RCPT TO:<rcpt@example.com>\r\n", envelope, "envelope receiver")
    expect_in(b"To: rcpt@example.com\r\n", raw, "To header")
    expect_in(b"Subject: Typed subject\r\n", raw, "Subject header")
    message = parse(raw)
    expect(text_body(message).rstrip(b"\n") == b"typed body", "text %r" % text_body(message))


def case_oem_to_ansi(s):
    """-a converts the text from the OEM to the ANSI code page."""
    _, raw, _ = s.send_ok(s.smtp_store, ["-a", "-sOEM", "--", "rcpt@example.com"], b"Gr\x81\xe1e \x84\r\n")
    message = parse(raw)
    expect(message.get_param("charset") == "iso-8859-1", "charset %r" % message.get_param("charset"))
    # The line ends at the end belong to the message layout, not to this case.
    text = text_body(message).rstrip(b"\n")
    expect(text == b"Gr\xfc\xdfe \xe4", "text %r" % text)


def case_news_post(s):
    """NNTP posting with the login from win.ini."""
    err, raw, envelope = s.send_ok(s.nntp_store, ["-v", "-u", "-sWine news", "wine.test", "--"], b"news body\r\n")
    expect_in(b"Sendvale.exe: Message was successfully posted.", err, "outcome line")
    lines = envelope.split(b"\r\n")
    for line in (b"AUTHINFO USER newsuser", b"AUTHINFO PASS secret", b"GROUP wine.test", b"POST"):
        expect(line in lines, "%r missing from %r" % (line, envelope))
    expect_in(b"Newsgroups: wine.test\r\n", raw, "newsgroups header")
    expect_in(b"Reply-To: me@example.com\r\n", raw, "reply-to header")
    s.assert_spool_empty()


def case_refused_connection(s):
    """A closed port fails with 6 and the Winsock error number."""
    port = s.start_server(["--script", os.devnull, "--idle", "1"], "closed")
    s.servers[-1].wait(timeout=30)  # gone: nothing listens on the port any more
    rc, _, err = s.sendvale_run(["-v", "-x127.0.0.1:%d" % port, "rcpt@example.com"])
    expect(rc == 6, "exit status %d, want 6: %r" % (rc, err))
    expect_in(b"Failed to connect to server '127.0.0.1:%d' port %d. Winsock error: 10061" % (port, port),
              err, "connect message")
    s.assert_spool_empty()


def case_reply_timeout(s):
    """A server that stops answering ends the run with 8, bounded by the
    "Timeout" key of [Setup]."""
    script = os.path.join(s.temp, "hang.script")
    with open(script, "w") as f:
        f.write("send 220 hello\nhang\n")
    port = s.start_server(["--script", script, "--idle", "60"], "hang")
    ini = s.win_ini()
    expect(b"[Setup]\r\n" in ini, "no [Setup] section in win.ini: %r" % ini)
    with open(os.path.join(s.prefix, "drive_c", "windows", "win.ini"), "wb") as f:
        f.write(ini.replace(b"[Setup]\r\n", b"[Setup]\r\nTimeout=1\r\n", 1))
    try:
        rc, _, err = s.sendvale_run(["-v", "-x127.0.0.1:%d" % port, "rcpt@example.com"])
    finally:
        with open(os.path.join(s.prefix, "drive_c", "windows", "win.ini"), "wb") as f:
            f.write(ini)
    expect(rc == 8, "exit status %d, want 8: %r" % (rc, err))
    expect_in(b"Timed out after 1 seconds waiting for the server's reply.", err, "time-out message")
    s.assert_spool_empty()


def case_tls_on_plain_server(s):
    """HOST asks for implicit TLS of a server that speaks plain SMTP: 14,
    with the reason, and nothing sent."""
    before = s.count(s.smtp_store)
    # Wine's SChannel waits for the rest of what it takes for a long record:
    # the plain greeting must end the run at once, not at the time-out.
    with s.setup_keys({"HOST": "smtps://127.0.0.1:%d" % s.smtp, "Timeout": "10"}):
        rc, _, err = s.sendvale_run(["-v", "-sNo TLS", "rcpt@example.com"], b"text\r\n")
    expect(rc == 14, "exit status %d, want 14: %r" % (rc, err))
    expect_in(b"TLS with server '127.0.0.1' failed: the server's answer is not TLS", err, "reason")
    expect_in(b"Error: TLS could not be started", err, "outcome line")
    time.sleep(0.5)  # what went out anyway would be stored by now
    expect(s.count(s.smtp_store) == before, "a message reached the sink")
    s.assert_spool_empty()


def case_reportsubject(s):
    """reportsubject reads CR LF text and writes CR LF, from an argument or a
    typed name."""
    rows = [  # report bytes, expected subject.txt
        (b"MFG   Weekly  Report\r\nsecond line\r\n", b"MFG Weekly Report\r\n"),
        (b"Plant 7   output   Date: 2026-12-08\r\n", b"Plant 7 output"),
        (b"Four\r\n", b"MFG Report"),
        (b"Last line without end", b"Last line without end"),
    ]
    for number, (report, want) in enumerate(rows, 1):
        s.write_file("report.txt", report)
        for args, stdin in ((["report.txt"], b""), ([], b"report.txt\r\n")):
            subject = os.path.join(s.work, "subject.txt")
            if os.path.exists(subject):
                os.remove(subject)
            rc, out, _ = s.wine_run(s.reportsubject, args, stdin)
            expect(rc == 0, "row %d: exit status %d" % (number, rc))
            with open(subject, "rb") as f:
                got = f.read()
            expect(got == want, "row %d %s: subject.txt %r, want %r" % (number, args or "typed", got, want))
    rc, out, _ = s.wine_run(s.reportsubject, ["missing.txt"])
    expect(rc == 0 and out == b"Error opening file: missing.txt\r\n", "open error %d %r" % (rc, out))


def tls_fingerprint_line(certificate_file):
    hex_digits = fingerprint(certificate_file).upper()
    return ("fingerprint: " + ":".join(hex_digits[i:i + 2] for i in range(0, 64, 2))).encode()


def case_tls_smtp(s):
    """TLS through SChannel against Python's ssl servers: CA File, the name,
    the system's store, TLS Fingerprint, logins by password and by command."""
    pki = tls_servers(s)
    ca = windows_path(pki["ca"])
    served = pki["localhost"][0]
    login = {"SMTP User": "testuser", "SMTP Password": "testpass"}
    local = "localhost"
    rows = [  # server, host (and SNI), [Setup] keys, exit status, in standard error
        ("smtps", local, {"CA File": ca}, 0, b"successfully sent"),
        ("submission", local, dict(login, **{"CA File": ca}), 0, b"successfully sent"),
        ("other", local, {"CA File": ca}, 15, b"is not for 'localhost' (name mismatch)"),
        ("smtps", local, {}, 15, b"not trusted: the certificate's issuer is unknown"),
        ("smtps", local, {}, 15, tls_fingerprint_line(served)),
        ("self", local, {}, 15, b"untrusted root"),
        ("self", local, {"CA File": ca}, 15, b"untrusted root"),
        ("self", local, {"CA File": windows_path(pki["self-signed"][0])}, 0, b"successfully sent"),
        ("smtps", local, {"TLS Fingerprint": fingerprint(served)}, 0, b"successfully sent"),
        ("smtps", "127.0.0.1", {"TLS Fingerprint": fingerprint(served)}, 0, b"successfully sent"),
        ("smtps", local, {"TLS Fingerprint": fingerprint(pki["other.example"][0])}, 15,
         b"does not match TLS Fingerprint"),
        ("smtps", local, {"CA File": ca + "-missing"}, 15, b"cannot load the CA File"),
        ("tls1.1", local, {"CA File": ca}, 14, b"the server offers no TLS 1.2 or later"),
        ("smtps", local, dict(login, **{"CA File": ca, "SMTP Password": "wrong"}), 16, b"535 5.7.8"),
        ("smtps", local, {"CA File": ca, "SMTP User": "testuser", "SMTP Password Command": "echo testpass"}, 0,
         b"successfully sent"),
        ("smtps", local, {"CA File": ca, "SMTP User": "testuser", "SMTP Password Command": "exit /b 3"}, 16,
         b"SMTP Password Command: it failed"),
    ]
    for number, (name, host, keys, want, has) in enumerate(rows, 1):
        server = pki[name]
        scheme = "submission" if name == "submission" else "smtps"
        before = len(server.messages)
        with s.setup_keys(keys):
            rc, _, err = s.sendvale_run(["-v", "-x%s://%s:%d" % (scheme, host, server.port), "-sWine TLS",
                                         "--", "rcpt@example.com"], b"tls body %d\r\n" % number)
        what = "row %d (%s %s %s)" % (number, name, host, sorted(keys))
        expect(rc == want, "%s: exit status %d, want %d: %r" % (what, rc, want, err))
        expect_in(has, err, what)
        expect(server.names[-1:] == [None if host[0].isdigit() else host], "%s: SNI %r" % (what, server.names))
        expect(len(server.messages) == before + (want == 0), "%s: %d messages" % (what, len(server.messages)))
        if want == 0:
            message = parse(server.messages[-1])
            expect(text_body(message).rstrip(b"\n") == b"tls body %d" % number, "%s: text %r" % (what, message))
        if name == "submission":
            lines = server.sessions[-1]
            hello = lines[0]
            want_lines = [hello, b"STARTTLS", hello, b"AUTH PLAIN AHRlc3R1c2VyAHRlc3RwYXNz",
                          b"MAIL FROM:<me@example.com>", b"RCPT TO:<rcpt@example.com>", b"DATA", b"QUIT"]
            expect(hello.startswith(b"EHLO ") and lines == want_lines, "%s: client lines %r" % (what, lines))
    s.assert_spool_empty()


def case_check(s):
    """--check through SChannel: the session and the certificate on standard
    output, the login and QUIT, the code of a send; no message."""
    pki = tls_servers(s)
    base = {"Return Address": "me@example.com", "NNTP HOST": "", "CA File": windows_path(pki["ca"]),
            "SMTP User": "testuser", "SMTP Password": "testpass"}
    rows = [  # server, its certificate, [Setup] keys, exit status, in standard output
        ("submission", "localhost", {}, 0, [b"TLS: STARTTLS\r\n", b"Login: AUTH PLAIN as testuser, accepted\r\n",
                                            b"QUIT: 221 bye\r\nResult: passed\r\n"]),
        ("self", "self-signed", {}, 15, [b"TLS: implicit\r\n", b"Result: failed with code 15"]),
        ("smtps", "localhost", {"SMTP Password": "wrong"}, 16, [b"Login: AUTH PLAIN as testuser, failed\r\n"])]
    for name, certificate, keys, want, shown in rows:
        server = pki[name]
        scheme = "submission" if name == "submission" else "smtps"
        before = len(server.messages)
        with s.setup_keys(dict(base, HOST="%s://localhost:%d" % (scheme, server.port), **keys)):
            rc, out, err = s.sendvale_run(["--check"])
        what = "%s %s" % (name, sorted(keys))
        expect(rc == want, "%s: exit status %d, want %d: %r" % (what, rc, want, err))
        for line in shown + [b"TLS version: TLS 1.", b"\r\nTLS cipher: ", b"Certificate subject: CN=localhost\r\n",
                             b"Certificate valid until: 20", b"Certificate SHA-256: " + tls_fingerprint_line(
                                 pki[certificate][0])[len(b"fingerprint: "):] + b"\r\n"]:
            expect_in(line, out, what)
        expect(b"testpass" not in out + err and len(server.messages) == before, "%s: %r" % (what, out + err))
        if name == "submission":
            lines = server.sessions[-1]
            expect(lines[1:] == [b"STARTTLS", lines[0], b"AUTH PLAIN AHRlc3R1c2VyAHRlc3RwYXNz", b"QUIT"],
                   "%s: client lines %r" % (what, lines))


def real_servers():
    """realserver_util, when SENDVALE_WINE=1 and SENDVALE_REAL_SERVERS=1 ask
    for the real servers and they are up; else Skip."""
    if os.environ.get("SENDVALE_WINE") != "1" or os.environ.get("SENDVALE_REAL_SERVERS") != "1":
        raise Skip("set SENDVALE_WINE=1 and SENDVALE_REAL_SERVERS=1 for the real servers")
    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "realservers"))
    import realserver_util as rs
    reason = rs.unavailable_reason()
    for port in (rs.SMTP_PORT_SUBMISSION, rs.SMTP_PORT_SMTPS, rs.NNTP_PORT_TLS):
        try:
            socket.create_connection((rs.HOST, port), timeout=3).close()
        except OSError:
            reason = reason or "nothing listens on %s:%d" % (rs.HOST, port)
    if reason:
        raise Skip(reason + " (tests/realservers/run.sh starts them)")
    return rs


def case_real_postfix(s):
    """Postfix on 2587 (STARTTLS) and 2465 (TLS) with CA File = its test
    certificate: text and attachment arrive exactly; a wrong password is 16."""
    rs = real_servers()
    attachment = s.write_file("real.bin", bytes(range(256)) * 40)
    rows = [("submission", rs.SMTP_PORT_SUBMISSION, rs.SMTP_PASS, 0),
            ("smtps", rs.SMTP_PORT_SMTPS, rs.SMTP_PASS, 0),
            ("submission", rs.SMTP_PORT_SUBMISSION, "wrong", 16)]
    for scheme, port, password, want in rows:
        rcpt = rs.unique_address("wine")
        keys = {"HOST": "localhost:1", "CA File": windows_path(rs.SMTP_TLS_CERT), "SMTP User": rs.SMTP_USER,
                "SMTP Password": password, "Return Address": rs.unique_address("winefrom")}
        text = b"Wine to Postfix on %d\r\n.\r\nlast line\r\n" % port
        with s.setup_keys(keys):
            rc, _, err = s.sendvale_run(["-v", "-x%s://localhost:%d" % (scheme, port), "-sWine real",
                                         "-i" + windows_path(attachment), "--", rcpt], text)
        what = "%s port %d" % (scheme, port)
        expect(rc == want, "%s: exit status %d, want %d: %r" % (what, rc, want, err))
        if want:
            expect_in(b"535", err, what)
            continue
        mails = rs.mails_for(rcpt)
        expect(len(mails) == 1, "%s: %d copies arrived" % (what, len(mails)))
        body, part = parse(mails[0]).get_payload()
        expect(text_body(body).rstrip(b"\n") == text.replace(b"\r\n", b"\n").rstrip(b"\n"),
               "%s: text %r" % (what, text_body(body)))
        with open(attachment, "rb") as f:
            expect(part.get_payload(decode=True) == f.read(), "%s: attachment differs" % what)


def case_real_inn(s):
    """INN on 1563 (nntps) with login and CA File = its test certificate."""
    rs = real_servers()
    subject = "Wine nntps " + rs.unique_token()
    keys = {"HOST": "localhost:1", "Return Address": rs.unique_address("winefrom"),
            "CA File": windows_path(rs.NNTP_TLS_CERT), "NNTP HOST": "nntps://localhost:%d" % rs.NNTP_PORT_TLS,
            "NNTP User": rs.NEWS_USER, "NNTP Passws": rs.NEWS_PASS}
    with s.setup_keys(keys):
        rc, _, err = s.sendvale_run(["-v", "-u", "-s" + subject, rs.NEWS_GROUP, "--"], b"posted from Wine\r\n")
    expect(rc == 0, "exit status %d: %r" % (rc, err))
    ids = rs.message_ids_with_subject(subject)
    expect(len(ids) == 1, "articles with the subject: %r" % ids)
    article = rs.read_article(ids[0])
    body = article.split(b"\r\n\r\n", 1)[1] if article else b""
    expect(body.rstrip(b"\r\n") == b"posted from Wine", "article %r" % article)


CASES = [case_platform_services, case_not_initialized, case_init_writes_profile,
         case_multipart_attachments, case_dry_run, case_interactive, case_oem_to_ansi, case_news_post,
         case_refused_connection, case_reply_timeout, case_tls_on_plain_server,
         case_reportsubject, case_tls_smtp, case_check, case_real_postfix, case_real_inn]


def build_platform_check(win_build):
    """Builds tests/platform_check.exe with the cross compiler of WIN_BUILD."""
    compiler = None
    # A toolchain file's compiler is not cached; CMake records it here.
    for found in glob.glob(os.path.join(win_build, "CMakeFiles", "*", "CMakeCXXCompiler.cmake")):
        with open(found) as f:
            match = re.search(r'set\(CMAKE_CXX_COMPILER "([^"]+)"\)', f.read())
        if match:
            compiler = match.group(1)
    if not compiler:
        sys.exit("wine_suite: no C++ compiler recorded in %s" % win_build)
    library = os.path.join(win_build, "platform", "libplatform.a")
    os.makedirs(os.path.join(win_build, "tests"), exist_ok=True)
    command = [compiler, "-std=c++17", "-Wall", "-Wextra", "-Werror", "-static", "-I", SOURCE_DIR,
               os.path.join(SOURCE_DIR, "tests", "wine", "platform_check.cpp"), library,
               "-lws2_32", "-ladvapi32", "-luser32", "-lsecur32", "-lcrypt32",
               "-o", os.path.join(win_build, "tests", "platform_check.exe")]
    subprocess.run(command, check=True)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: wine_suite.py NATIVE_BUILD WIN_BUILD")
    try:
        build_platform_check(os.path.abspath(sys.argv[2]))
    except (OSError, subprocess.CalledProcessError) as error:
        print("FAILED building the platform checks: %s" % error)
        print("0 passed, 1 failed")
        return 1
    suite = Suite(sys.argv[1], sys.argv[2])
    passed = failed = skipped = 0
    try:
        started = time.monotonic()
        suite.start_prefix()
        suite.start_sinks()
        print("Wine prefix ready (%.1f s)" % (time.monotonic() - started), flush=True)
        # SENDVALE_WINE_CASES: a comma-separated choice, e.g. only the real-server cases.
        chosen = os.environ.get("SENDVALE_WINE_CASES")
        for case in [c for c in CASES if not chosen or c.__name__ in chosen.split(",")]:
            name = case.__name__[len("case_"):]
            started = time.monotonic()
            try:
                case(suite)
                passed += 1
                print("ok     %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            except Skip as why:
                skipped += 1
                print("skip   %s: %s" % (name, why), flush=True)
            except Exception as error:  # one broken case must not hide the others
                failed += 1
                print("FAILED %s: %s" % (name, error), flush=True)
                if not isinstance(error, AssertionError):
                    traceback.print_exc()
    finally:
        suite.stop()
    print("%d passed, %d failed" % (passed, failed) + (", %d skipped" % skipped if skipped else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
