"""Checks a written message with Python's own MIME parser.

Usage: mime_check.py [--boundary B] MESSAGE EXPECTED...

Each EXPECTED file holds the exact bytes that the n-th body part must decode
to. With one EXPECTED file and a message that is not multipart, the message
body itself is decoded. Exits 0 when everything matches, 1 otherwise.

header_problems() is for other tests: how the header text of a message
reads back with the default (RFC-conforming) policy.
"""
import argparse
import email
import email.policy
import re
import sys


def fail(text):
    print("mime_check: " + text, file=sys.stderr)
    sys.exit(1)


def check_defects(part, where):
    if part.defects:
        fail("%s: parser found defects %r" % (where, part.defects))


def check_decoded(part, expected_name, where):
    with open(expected_name, "rb") as f:
        expected = f.read()
    decoded = part.get_payload(decode=True) or b""
    if decoded != expected:
        fail("%s: decodes to %r, expected %r (%s)" % (where, decoded[:200], expected[:200], expected_name))


def check_multipart(msg, expected, boundary):
    if msg.get_content_type() != "multipart/mixed":
        fail("content type is %r" % msg.get_content_type())
    if boundary is not None and msg.get_boundary() != boundary:
        fail("boundary is %r, expected %r" % (msg.get_boundary(), boundary))
    if "THIS IS A MESSAGE IN 'MIME' FORMAT." not in (msg.preamble or ""):
        fail("preamble missing: %r" % msg.preamble)
    parts = msg.get_payload()
    if len(parts) != len(expected):
        fail("%d parts, expected %d" % (len(parts), len(expected)))
    for number, (part, name) in enumerate(zip(parts, expected), 1):
        check_defects(part, "part %d" % number)
        check_decoded(part, name, "part %d" % number)


def header_lines(data):
    """The header lines of the message and of each of its parts."""
    lines = []
    for block in re.split(rb"\r\n--[^\r\n]*\r\n", b"\r\n" + data):
        lines += block.partition(b"\r\n\r\n")[0].split(b"\r\n")
    return lines


def header_problems(data, expected, filename=None):
    """What is wrong with a message whose headers must read back as expected
    (name -> text; the first display name for an address header) and whose
    attachment (if filename is given) must be named filename: also any byte
    above 127, any header line over 78 characters and any encoded-word over 75."""
    problems = ["8-bit byte at %d" % i for i, b in enumerate(data) if b > 127][:1]
    problems += ["line of %d: %r" % (len(l), l) for l in header_lines(data) if len(l) > 78]
    problems += ["long word %r" % w for w in re.findall(rb"=\?[^?]*\?[BQ]\?[^?]*\?=", data) if len(w) > 75]
    msg = email.message_from_bytes(data, policy=email.policy.default)
    for name, text in expected.items():
        header = msg[name]
        got = header.addresses[0].display_name if hasattr(header, "addresses") else str(header)
        if got != text or header.defects:
            problems.append("%s reads %r %r, expected %r" % (name, got, header.defects, text))
    if filename is not None:
        names = [part.get_filename() for part in msg.walk() if part.get_filename() is not None]
        if names != [filename]:
            problems.append("attachment names %r, expected %r" % (names, filename))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--boundary")
    parser.add_argument("message")
    parser.add_argument("expected", nargs="+")
    args = parser.parse_args()

    with open(args.message, "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.compat32)
    check_defects(msg, "message")
    if msg.get("MIME-Version") != "1.0":
        fail("MIME-Version is %r" % msg.get("MIME-Version"))
    if msg.is_multipart():
        check_multipart(msg, args.expected, args.boundary)
    elif len(args.expected) == 1:
        check_decoded(msg, args.expected[0], "body")
    else:
        fail("not multipart, but %d parts expected" % len(args.expected))
    return 0


if __name__ == "__main__":
    sys.exit(main())
