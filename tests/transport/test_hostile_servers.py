"""Servers that hold the client or lie to it, and a run that is stopped:
every row ends with its code within its time, sends nothing after the
failure and leaves no spool file."""
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sendvale"))
import e2e_util as e2e  # noqa: E402

GREETING_TO_DATA = "send 220 hi\nexpect-prefix HELO \nsend 250 ok\nexpect MAIL FROM:<me@example.com>\n" \
                   "send 250 ok\nexpect RCPT TO:<to@example.com>\nsend 250 ok\nexpect DATA\nsend 354 go\ndata\n"


class Scripted:
    """The fake server playing one script and recording what it got."""

    def __init__(self, folder, script):
        os.makedirs(folder)
        with open(os.path.join(folder, "script"), "w") as f:
            f.write(script)
        self.record_file = os.path.join(folder, "record")
        port_file = os.path.join(folder, "port")
        self.process = subprocess.Popen([e2e.FAKESERVER, "--script", os.path.join(folder, "script"),
                                         "--record", self.record_file, "--port-file", port_file,
                                         "--idle", "30"], stdout=subprocess.DEVNULL)
        for _ in range(500):
            if os.path.exists(port_file) and e2e.read_bytes(port_file).endswith(b"\n"):
                break
            time.sleep(0.01)
        self.port = int(e2e.read_bytes(port_file))

    def stop(self):
        self.process.kill()
        self.process.wait()
        return e2e.read_bytes(self.record_file) if os.path.exists(self.record_file) else b""


class HostileServers(e2e.SendvaleCase):
    def run_against(self, script, timeout, extra_args=(), signal_after=None, fsize=None):
        server = Scripted(self.path("server"), script)
        self.addCleanup(server.stop)
        self.write_profile("127.0.0.1:%d" % server.port, sender="me@example.com",
                           extra="Timeout=%d\n" % timeout)
        env = self.env()
        limit = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))) if fsize else None
        started = time.monotonic()
        proc = subprocess.Popen([e2e.SENDVALE, "-v", "-sx", "to@example.com"] + list(extra_args),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                cwd=self.work, env=env, preexec_fn=limit)
        if signal_after:
            sig, seconds = signal_after
            proc.stdin.write(b"text\n")
            proc.stdin.close()
            proc.stdin = None
            time.sleep(seconds)
            self.assertNotEqual(os.listdir(self.spool), [], "the spool should exist by now")
            proc.send_signal(sig)
            _, err = proc.communicate(timeout=e2e.RUN_TIMEOUT)
        else:
            _, err = proc.communicate(b"text\n", timeout=e2e.RUN_TIMEOUT)
        elapsed = time.monotonic() - started
        return proc.returncode, elapsed, server.stop(), err

    def test_rows(self):
        big = self.work_file("big.bin", os.urandom(300000))
        rows = [
            # name, script, Timeout, code, most seconds, what the client may have sent, args, signal, size limit
            ("drip", "drip 200 220 a greeting that takes far too long to end\\r\\n", 2, 8, 6, b"", (), None, None),
            ("send-ahead", "send-raw 220 a\\r\\n250 b\\r\\n250 c\\r\\n250 d\\r\\n354 e\\r\\n250 f\\r\\n221 g\\r\\n",
             5, 8, 5, b"", (), None, None),
            ("nul-reply", GREETING_TO_DATA + "send-raw \\x00\\x00\\x00\\r\\n", 5, 8, 5, None, (), None, None),
            ("bare-line-end", GREETING_TO_DATA + "send-raw \\r\\n", 5, 8, 5, None, (), None, None),
            ("noise-reply", GREETING_TO_DATA + "send-raw \\xff\\xfe 550 no\\r\\n", 5, 8, 5, None, (), None, None),
            ("sigterm", "pause 20000", 30, 128 + signal.SIGTERM, 10, b"", (), (signal.SIGTERM, 1), None),
            ("sigint", "pause 20000", 30, 128 + signal.SIGINT, 10, b"", (), (signal.SIGINT, 1), None),
            ("sighup", "pause 20000", 30, 128 + signal.SIGHUP, 10, b"", (), (signal.SIGHUP, 1), None),
            ("file-size-limit", "", 5, 12, 10, b"", ("-i" + big,), None, 100000),
        ]
        for name, script, timeout, code, most, sent, args, sig, fsize in rows:
            with self.subTest(name):
                shutil.rmtree(self.path("server"), ignore_errors=True)
                status, elapsed, record, err = self.run_against(script, timeout, args, sig, fsize)
                self.assertEqual(status, code, err)
                self.assertLess(elapsed, most, "ended only after %.1f s" % elapsed)
                if sent is not None:
                    self.assertEqual(record, sent)
                self.assertNotIn(b"\r\n.\r\n" + b"QUIT", record)
                self.assertEqual(os.listdir(self.spool), [], "spool file left behind")

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root for a private resolv.conf")
    def test_silent_name_service_is_bounded_by_the_time_out(self):
        # A name server that never answers, seen only by this run.
        dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            dns.bind(("127.0.0.1", 53))
        except OSError:
            self.skipTest("port 53 is taken")
        self.addCleanup(dns.close)
        resolv = self.work_file("resolv.conf", b"nameserver 127.0.0.1\noptions timeout:30 attempts:1\n")
        self.write_profile("silent.example.com", sender="me@example.com", extra="Timeout=1\n")
        started = time.monotonic()
        result = subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"',
                                 resolv, e2e.SENDVALE, "-v", "-sx", "to@example.com"], input=b"text\n",
                                env=self.env(), cwd=self.work, capture_output=True, timeout=e2e.RUN_TIMEOUT)
        if b"mount" in result.stderr and result.returncode != 6:
            self.skipTest("no private mounts here: " + result.stderr.decode(errors="replace"))
        self.assertEqual(result.returncode, 6, result.stderr)
        self.assertLess(time.monotonic() - started, 10)
        self.assertIn(b"Timed out after 1 seconds looking up server 'silent.example.com'", result.stderr)
        self.assertEqual(os.listdir(self.spool), [])


if __name__ == "__main__":
    unittest.main()
