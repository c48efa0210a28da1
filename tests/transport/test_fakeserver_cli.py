"""The fake server's command line as end-to-end tests use it."""
import os
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

FAKESERVER = os.path.join(os.environ.get("SENDVALE_BUILD_DIR", "build"), "tests", "fakeserver")


def start(args, workdir):
    port_file = os.path.join(workdir, "port")
    proc = subprocess.Popen([FAKESERVER, "--port-file", port_file, "--idle", "5"] + args,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(500):  # bounded: 5 seconds
        if os.path.exists(port_file):
            with open(port_file) as f:
                return proc, int(f.read())
        if proc.poll() is not None:
            break
        time.sleep(0.01)
    proc.kill()
    raise AssertionError("fakeserver did not start: " + proc.communicate()[1])


class FakeServerCli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.work = self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def finish(self, proc):
        out, err = proc.communicate(timeout=20)
        return proc.returncode, err

    def test_sink_stores_messages_and_records_bytes(self):
        store = os.path.join(self.work, "store")
        os.mkdir(store)
        record = os.path.join(self.work, "record")
        proc, port = start(["--sink", "smtp", "--store", store, "--sessions", "1",
                            "--record", record, "--refuse", "RCPT TO:<bad=550 no such user"], self.work)
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
            refused = client.sendmail("me@example.com", ["a@example.com", "bad@example.com"],
                                      "Subject: t\r\n\r\n.dot\r\n")
        self.assertEqual(refused, {"bad@example.com": (550, b"no such user")})
        code, err = self.finish(proc)
        self.assertEqual((code, err), (0, ""))
        with open(os.path.join(store, "message-1.eml"), "rb") as f:
            self.assertEqual(f.read(), b"Subject: t\r\n\r\n.dot\r\n")
        with open(record, "rb") as f:
            recorded = f.read()
        self.assertIn(b"\r\n..dot\r\n.\r\n", recorded)
        self.assertTrue(recorded.endswith(b"QUIT\r\n"))

    def test_script_mismatch_fails_the_run(self):
        script = os.path.join(self.work, "script")
        with open(script, "w") as f:
            f.write("send 220 hi\nexpect HELO a\nsend 250 ok\n")
        proc, port = start(["--script", script], self.work)
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            self.assertEqual(s.recv(100), b"220 hi\r\n")
            s.sendall(b"HELO b\r\n")
            self.assertEqual(s.recv(100), b"")  # the server hangs up
        code, err = self.finish(proc)
        self.assertEqual(code, 1)
        self.assertIn("step 2: expected 'HELO a', got 'HELO b'", err)

    def test_no_client_and_bad_usage(self):
        script = os.path.join(self.work, "script")
        with open(script, "w") as f:
            f.write("send 220 hi\n")
        proc = subprocess.run([FAKESERVER, "--script", script, "--idle", "1"],
                              capture_output=True, text=True, timeout=20)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("no client connected for session 1", proc.stderr)
        for args in (["--sink", "ftp"], ["--script"], ["--script", script, "--sink", "smtp"],
                     ["--script", os.path.join(self.work, "missing")], ["--sessions", "0"]):
            proc = subprocess.run([FAKESERVER] + args, capture_output=True, text=True, timeout=20)
            self.assertEqual(proc.returncode, 2, args)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
