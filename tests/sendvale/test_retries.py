"""Retries at the level of the program: a run stopped while it waits for its
next try leaves no spool file."""

import os
import signal
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_util as e2e  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
