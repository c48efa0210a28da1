"""End-to-end tests of reportsubject: report bytes in, subject.txt bytes out."""

import os
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ.get("SENDVALE_BUILD_DIR", os.getcwd())
PROGRAM = os.path.join(BUILD_DIR, "reportsubject")
PROMPT = b"Enter name of MFG Report file to process: "
DEFAULT = b"MFG Report"
OLD_SUBJECT = b"subject of an earlier run\n"

# (first lines of the report, expected bytes of subject.txt)
CASES = [
    (b"abcd\n", DEFAULT),                       # length 5 is too short
    (b"abcde\n", b"abcde\n"),                   # length 6 is used
    (b"abcd\r\n", DEFAULT),                     # CR LF counts as one character
    (b"abcde\r\n", b"abcde\n"),
    (b"abcde", DEFAULT),
    (b"abcdef", b"abcdef"),                     # no line end, none added
    (b"", DEFAULT),
    (b"a  b   c    d\n", b"a b c d\n"),
    (b"   lead and trail   \n", b" lead and trail \n"),
    (b"       \n", b" \n"),
    (b"a \t  b\t \tc\n", b"a \t b\t \tc\n"),    # tabs are not blanks
    (b"Weekly  MFG   Report    Date: 12/08/26\n", b"Weekly MFG Report"),
    (b"Title\t Date: x\n", b"Title\t"),         # only the blank goes
    (b"Title\tDate: x\n", b"Title\t"),
    (b"TitleDate: x\n", b"Title"),
    (b"Date: 12/08/26 more\n", DEFAULT),
    (b"     Date: 12/08/26\n", DEFAULT),
    (b"Title date: x\n", b"Title date: x\n"),   # the marker is case-sensitive
    (b"Title DATE: x\n", b"Title DATE: x\n"),
    (b"Title Date x\n", b"Title Date x\n"),
    (b"A  Date: 1 Date: 2\n", b"A"),
    (b"Report title\r\nDate: never read\r\n", b"Report title\n"),
    (b"abc\nsecond line is long enough\n", DEFAULT),
    (b"ab\rcdef\n", b"ab\rcdef\n"),             # a lone CR is kept
    (b"x" * 1021 + b"\n", b"x" * 1021 + b"\n"),
    (b"x" * 1021 + b"\r\n", b"x" * 1021 + b"\n"),
    (b"x" * 1022 + b"\n", b"x" * 1022),
    (b"x" * 1030 + b"\nsecond\n", b"x" * 1022),
    (b"T" * 1020 + b"   Date: x\n", b"T" * 1020 + b" "),  # marker past the limit
    (b"T" * 1015 + b"  Date: x\n", b"T" * 1015),
]


def run(args, cwd, stdin=b""):
    return subprocess.run([PROGRAM] + args, cwd=cwd, input=stdin,
                          capture_output=True, timeout=30)


class ReportSubjectTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def subject(self):
        with open(self.path("subject.txt"), "rb") as f:
            return f.read()

    def test_first_line_table(self):
        for number, (report, expected) in enumerate(CASES):
            with self.subTest(row=number, report=report[:40]):
                self.write("report.txt", report + b"more\nDate: later lines\n"
                           if report.endswith(b"\n") else report)
                self.write("subject.txt", OLD_SUBJECT)
                result = run(["report.txt", "ignored.txt"], self.dir)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, b"", b""))
                self.assertEqual(self.subject(), expected)

    def test_name_typed_at_prompt(self):
        self.write("report.txt", b"Typed  report\nsecond\n")
        for typed in (b"report.txt\n", b"report.txt", b"report.txt\r\n",
                      b"report.txt\nother.txt\n"):
            with self.subTest(typed=typed):
                result = run([], self.dir, typed)
                self.assertEqual((result.returncode, result.stdout), (0, PROMPT))
                self.assertEqual(self.subject(), b"Typed report\n")

    def test_unopenable_report_leaves_subject_alone(self):
        os.mkdir(self.path("folder"))
        cases = [([], b"\n", b""), ([], b"", b""), (["missing.txt"], b"", b"missing.txt"),
                 (["folder"], b"", b"folder"), ([], b"missing.txt\n", b"missing.txt")]
        for args, typed, shown in cases:
            with self.subTest(args=args, typed=typed):
                self.write("subject.txt", OLD_SUBJECT)
                result = run(args, self.dir, typed)
                prompt = b"" if args else PROMPT
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout,
                                 prompt + b"Error opening file: " + shown + b"\n")
                self.assertEqual(self.subject(), OLD_SUBJECT)
                os.remove(self.path("subject.txt"))
                run(args, self.dir, typed)
                self.assertFalse(os.path.exists(self.path("subject.txt")))

    def test_name_length_limit(self):
        self.write("report.txt", b"Long name report\n")
        longest = "." + "/" * (1023 - 1 - len("report.txt")) + "report.txt"
        self.assertEqual(len(longest), 1023)
        for name, refused in ((longest, False), ("/" + longest, True)):
            for via_prompt in (False, True):
                with self.subTest(refused=refused, prompt=via_prompt):
                    self.write("subject.txt", OLD_SUBJECT)
                    args, typed = ([], name.encode() + b"\n") if via_prompt else ([name], b"")
                    result = run(args, self.dir, typed)
                    self.assertEqual(result.stdout, PROMPT if via_prompt else b"")
                    if refused:
                        self.assertEqual(result.returncode, 2)
                        self.assertEqual(self.subject(), OLD_SUBJECT)
                        self.assertIn(b"longer than 1023 characters", result.stderr)
                    else:
                        self.assertEqual(result.returncode, 0, result.stderr)
                        self.assertEqual(self.subject(), b"Long name report\n")

    def test_subject_file_cannot_be_created(self):
        self.write("report.txt", b"Good report line\n")
        os.mkdir(self.path("subject.txt"))
        result = run(["report.txt"], self.dir)
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertTrue(result.stderr.startswith(b"reportsubject: cannot create subject.txt"),
                        result.stderr)
        self.assertEqual(os.listdir(self.path("subject.txt")), [])

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_failed_write_is_reported(self):
        self.write("report.txt", b"Good report line\n")
        os.symlink("/dev/full", self.path("subject.txt"))
        result = run(["report.txt"], self.dir)
        self.assertEqual((result.returncode, result.stdout), (255, b""))

    def test_report_may_be_subject_file_itself(self):
        self.write("subject.txt", b"Earlier  subject   line\n")
        result = run(["subject.txt"], self.dir)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.subject(), b"Earlier subject line\n")


if __name__ == "__main__":
    unittest.main()
