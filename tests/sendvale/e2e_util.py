"""Shared pieces of the sendvale end-to-end tests: a private profile, spool
folder, working folder and mime.types per test, the fake server in sink mode,
and helpers that cut the recorded dialogue into its parts."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("SENDVALE_BUILD_DIR", os.getcwd())
SENDVALE = os.path.join(BUILD_DIR, "sendvale")
FAKESERVER = os.path.join(BUILD_DIR, "tests", "fakeserver")
RUN_TIMEOUT = 60

MIME_TYPES = """\
# test database
text/plain\t\t\ttxt
image/png\t\t\tpng
application/pdf\t\t\tpdf
"""

NOT_INITIALIZED = b"sendvale: Not initialized.\r\nRun: sendvale -init\n\n"


class Sink:
    """The fake server in sink mode: stores each accepted message and records
    every byte the client sent."""

    def __init__(self, folder, protocol="smtp", sessions=1, refuse=()):
        self.store = os.path.join(folder, "store")
        self.record_file = os.path.join(folder, "record")
        port_file = os.path.join(folder, "port")
        os.makedirs(self.store)
        args = [FAKESERVER, "--sink", protocol, "--store", self.store,
                "--record", self.record_file, "--port-file", port_file,
                "--sessions", str(sessions), "--idle", "30"]
        for prefix in refuse:
            args += ["--refuse", prefix]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
        self.port = self._wait_for_port(port_file)

    def _wait_for_port(self, port_file):
        for _ in range(500):
            if self.process.poll() is not None:
                raise RuntimeError("fake server ended early")
            try:
                with open(port_file) as f:
                    text = f.read()
                if text.endswith("\n"):
                    return int(text)
            except FileNotFoundError:
                pass
            time.sleep(0.01)
        raise RuntimeError("fake server did not start")

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def finish(self):
        """Waits until the server has served its sessions and ended."""
        try:
            self.process.wait(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.stop()
            raise AssertionError("fake server did not see its sessions")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=RUN_TIMEOUT)

    def messages(self):
        names = sorted((n for n in os.listdir(self.store) if n.endswith(".eml")),
                       key=lambda n: int(re.sub(r"\D", "", n)))
        return [read_bytes(os.path.join(self.store, n)) for n in names]

    def record(self):
        try:
            return read_bytes(self.record_file)
        except FileNotFoundError:
            return b""


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def payload(record):
    """The bytes sent between the DATA (or POST) reply and the end-of-data line."""
    start = re.search(rb"(?:DATA|POST)\r\n", record).end()
    end = record.rindex(b"\r\n.\r\n")
    return record[start:end]


def sessions(record):
    """The record cut into one part per dialogue, each ending with its QUIT."""
    return [part + b"QUIT\r\n" for part in record.split(b"QUIT\r\n")[:-1]]


def split_message(data):
    """(header block, body) of a message, the Date header masked."""
    headers, _, body = data.partition(b"\r\n\r\n")
    headers = re.sub(rb"\r\nDate: [^\r]*", b"\r\nDate: <date>", b"\r\n" + headers)[2:]
    return headers, body


class SendvaleCase(unittest.TestCase):
    """Each test gets its own folder with profile, spool folder, working
    folder and mime.types; the profile points at a sink when one is started."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="sendvale-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.profile = self.path("sendvale.ini")
        self.spool = self.path("spool")
        self.work = self.path("work")
        os.makedirs(self.spool)
        os.makedirs(self.work)
        self.mime_types = self.path("mime.types")
        write_bytes(self.mime_types, MIME_TYPES.encode())
        self.sink = None

    def path(self, name):
        return os.path.join(self.folder, name)

    def work_file(self, name, data):
        path = os.path.join(self.work, name)
        write_bytes(path, data)
        return path

    def write_profile(self, host, sender="Me Myself <me@example.com>", extra=""):
        text = "[Setup]\nHOST=%s\nReturn Address=%s\n%s" % (host, sender, extra)
        write_bytes(self.profile, text.encode())

    def start_sink(self, protocol="smtp", sessions=1, refuse=(), **profile):
        folder = self.path("sink")
        os.makedirs(folder)
        self.sink = Sink(folder, protocol, sessions, refuse)
        self.addCleanup(self.sink.stop)
        if protocol == "nntp":
            self.write_profile("127.0.0.1:1", extra="NNTP HOST=%s\n" % self.sink.address, **profile)
        else:
            self.write_profile(self.sink.address, **profile)
        return self.sink

    def env(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("MM_CHARSET", "XDG_CONFIG_HOME", "TEMP", "TMP")}
        env.update(SENDVALE_PROFILE=self.profile, MAIL_TEMP=self.spool,
                   SENDVALE_MIME_TYPES=self.mime_types, HOME=self.folder)
        return env

    def run_sendvale(self, args, stdin=b""):
        result = subprocess.run([SENDVALE] + list(args), input=stdin, cwd=self.work,
                                env=self.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
        self.assertEqual(os.listdir(self.spool), [], "spool file left behind")
        return result

    def assert_run(self, args, status, stderr=None, stdin=b""):
        result = self.run_sendvale(args, stdin)
        self.assertEqual(result.returncode, status & 0xFF, result.stderr)
        if stderr is not None:
            self.assertEqual(result.stderr, stderr)
        return result

    def delivered(self):
        """The one message the sink received, after it has ended."""
        self.sink.finish()
        messages = self.sink.messages()
        self.assertEqual(len(messages), 1, self.sink.record())
        return messages[0]

    def sent_message(self):
        """The message bytes exactly as sent on the wire (dot-stuffed, up to
        the end-of-data line), after the one message was delivered."""
        self.delivered()
        return payload(self.sink.record())

    def assert_nothing_delivered(self):
        self.sink.stop()
        self.assertEqual(self.sink.messages(), [])
        self.assertNotIn(b"\r\n.\r\n", self.sink.record())
