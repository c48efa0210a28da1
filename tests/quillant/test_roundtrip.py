"""Our base64 and quoted-printable output decodes to exactly the input bytes.

Runs <build>/bench/encode over random data of every length 0..300 and a few
MiB, in the stream and text forms, and decodes with Python's own decoders.
The text forms stop at a zero byte, so their data holds none.

Random header texts outside ASCII (subjects, display names, attachment
names, in UTF-8 and Latin-1) written through the header encoders read back
exactly, 7-bit, in header lines of at most 78 characters.
"""
import base64
import binascii
import email.header
import os
import quopri
import random
import subprocess
import sys
import tempfile

from mime_check import header_problems

BUILD = os.environ.get("SENDVALE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
ENCODE = os.path.join(BUILD, "bench", "encode")

# Line-end-heavy alphabets find the quoted-printable boundary cases that
# uniform bytes rarely hit.
ALPHABETS = [
    bytes(range(256)),
    b"ab \t\r\n=",
    b"a \r\n",
]

failures = []

# Words for random header texts: every script range, and the characters that
# quoting, Q encoding and the encoded-word syntax must protect.
WORDS = ["a", "Re:", "x.y", "=?", "?=", "_", "=", "50%", "it's", "(c)", "\"q\"", "a,b", "<>", "\\",
         "é", "Größe", "ÿ", "Привет", "日本語", "🎉", "e\u0301", "x" * 90]
NAME_WORDS = [w for w in WORDS if not any(c in w for c in '"\\<>,()')]


def fail(message):
    failures.append(message)
    print("FAIL:", message, file=sys.stderr)


def random_data(rng, length, alphabet, text_form):
    if text_form:
        alphabet = bytes(b for b in alphabet if b != 0)
    table = bytes(alphabet[i % len(alphabet)] for i in range(256))
    return rng.randbytes(length).translate(table)


def encode(mode, data, workdir):
    source = os.path.join(workdir, "in")
    target = os.path.join(workdir, "out")
    with open(source, "wb") as f:
        f.write(data)
    subprocess.run([ENCODE, mode, source, target], check=True)
    with open(target, "rb") as f:
        return f.read()


def check_base64(mode, data, encoded):
    width = 72 if mode == "base64text" else 76
    lines = encoded.split(b"\r\n")
    if lines[-1] != b"":
        return "output does not end with CR LF" if encoded else None
    body = lines[:-1]
    if any(len(line) != width for line in body[:-1]) or (body and not 0 < len(body[-1]) <= width):
        return "line widths %s" % [len(line) for line in body]
    decoded = base64.b64decode(b"".join(body), validate=True)
    return None if decoded == data else "decodes to other bytes"


def check_qp(data, encoded):
    for line in encoded.split(b"\n"):
        line = line[:-1] if line.endswith(b"\r") else line
        if len(line) > 76:
            return "line of %d characters" % len(line)
        if line[-1:] in (b" ", b"\t"):
            return "white space at a line end"
        if b"\r" in line:
            return "a CR outside a CR LF"
    if quopri.decodestring(encoded) != data or binascii.a2b_qp(encoded) != data:
        return "decodes to other bytes"
    return None


def check(mode, data, workdir):
    encoded = encode(mode, data, workdir)
    problem = check_base64(mode, data, encoded) if mode.startswith("base64") else check_qp(data, encoded)
    if problem:
        fail("%s, %d bytes %r...: %s" % (mode, len(data), data[:40], problem))


def random_text(rng, words, latin1):
    if latin1:
        words = [w for w in words if max(map(ord, w)) < 256]
    text = ""
    while not text or max(map(ord, text)) < 128:
        text = " ".join(rng.choice(words) for _ in range(rng.randint(1, 40)))
    return text


def check_header(mode, value, expected, workdir):
    """Python's default policy reads a display name split over several
    encoded-words with a blank at each split, against RFC 2047 section 6.2;
    display names are read by the RFC's rule here and by the default policy
    in the end-to-end tests, on names that fit one encoded-word."""
    latin1 = max(map(ord, value)) < 256
    line = encode(mode, value.encode("latin-1" if latin1 else "utf-8"), workdir)
    if mode.startswith("param:"):
        problems = header_problems(b"Content-Disposition: attachment" + line + b"\r\n\r\n", {}, expected)
    elif mode == "header:From":
        problems = header_problems(line + b"\r\n", {})
        phrase = line.replace(b"\r\n", b"")[len(b"From: "):-len(b" <me@example.com>")].decode("ascii", "replace")
        if str(email.header.make_header(email.header.decode_header(phrase))) != expected:
            problems.append("display name reads otherwise")
    else:
        problems = header_problems(line + b"\r\n", {mode.partition(":")[2]: expected})
    if problems:
        fail("%s %r: %s\n%s" % (mode, value, problems, line.decode("latin-1")))


def main():
    if not os.access(ENCODE, os.X_OK):
        print("encode program not built: " + ENCODE, file=sys.stderr)
        return 1
    rng = random.Random(20261208)
    with tempfile.TemporaryDirectory(prefix="sendvale-roundtrip-") as workdir:
        for mode in ("base64", "qp", "base64text", "qptext"):
            text_form = mode.endswith("text")
            for length in range(301):
                alphabet = ALPHABETS[length % len(ALPHABETS)]
                check(mode, random_data(rng, length, alphabet, text_form), workdir)
            for alphabet in ALPHABETS:
                big = random_data(rng, 3 * 1024 * 1024 + 7, alphabet, text_form)
                check(mode, big, workdir)
        for i in range(150):
            subject, name, file_name = (random_text(rng, words, i % 3 == 0) for words in (WORDS, NAME_WORDS, WORDS))
            field = "header:" + ("Subject", "X-A-Rather-Long-Name-Of-An-Extension")[i % 2]
            check_header(field, subject, subject, workdir)
            check_header("header:From", name + " <me@example.com>", name, workdir)
            check_header("param:filename", file_name, file_name, workdir)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
