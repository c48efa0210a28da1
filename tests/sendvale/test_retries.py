"""Retries at the level of the program: a run stopped while it waits for its
next try leaves no spool file, and a server that vanishes after the end of
data ends the run with 17 and no second try."""

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_util as e2e  # noqa: E402

GREETING_TO_DATA = "send 220 hi\nexpect-prefix HELO \nsend 250 ok\nexpect MAIL FROM:<me@example.com>\n" \
                   "send 250 ok\nexpect RCPT TO:<to@example.com>\nsend 250 ok\nexpect DATA\nsend 354 go\ndata\n"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Retries(e2e.SendvaleCase):
    def test_signal_during_the_wait_removes_the_spool(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig.name):
                self.write_profile("127.0.0.1:%d" % closed_port(), sender="me@example.com",
                                   extra="Retries=1\nRetry Delay=60\n")
                proc = subprocess.Popen([e2e.SENDVALE, "-v", "-sx", "to@example.com"], stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=self.work,
                                        env=self.env())
                watchdog = threading.Timer(e2e.RUN_TIMEOUT, proc.kill)
                watchdog.start()
                self.addCleanup(watchdog.cancel)
                proc.stdin.write(b"text\n")
                proc.stdin.close()
                seen = b""
                while not seen.endswith(b"Retrying in 60 seconds (try 2 of 2): FAILED_TO_CONNECT\n"):
                    line = proc.stderr.readline()
                    self.assertTrue(line, "ended before the wait: %r" % seen)
                    seen += line
                self.assertEqual(len(os.listdir(self.spool)), 1, "the spool should wait with the run")
                proc.send_signal(sig)
                self.assertEqual(proc.wait(), 128 + sig)
                proc.stderr.close()
                self.assertEqual(os.listdir(self.spool), [], "spool file left behind")

    def test_silence_after_the_end_of_data_is_17_and_never_retried(self):
        folder = self.path("server")
        os.makedirs(folder)
        script = os.path.join(folder, "script")
        e2e.write_bytes(script, (GREETING_TO_DATA + "close\n").encode())
        record = os.path.join(folder, "record")
        port_file = os.path.join(folder, "port")
        server = subprocess.Popen([e2e.FAKESERVER, "--script", script, "--record", record,
                                   "--port-file", port_file, "--idle", "30"], stdout=subprocess.DEVNULL)
        self.addCleanup(server.kill)
        for _ in range(500):
            if os.path.exists(port_file) and e2e.read_bytes(port_file).endswith(b"\n"):
                break
            time.sleep(0.01)
        port = int(e2e.read_bytes(port_file))
        self.write_profile("127.0.0.1:%d" % port, sender="me@example.com", extra="Retries=2\nRetry Delay=0\n")
        result = self.assert_run(["-v", "-sx", "to@example.com"], 17, stdin=b"text\n")
        self.assertEqual(result.stderr, b"sendvale: Error: No reply after the whole message was sent: it may or "
                                        b"may not have been delivered, so do not simply send it again\n")
        self.assertEqual(server.wait(timeout=e2e.RUN_TIMEOUT), 0)
        self.assertEqual(e2e.read_bytes(record).count(b"MAIL FROM:"), 1)


if __name__ == "__main__":
    unittest.main()
