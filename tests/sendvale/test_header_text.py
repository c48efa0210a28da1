"""Headers outside ASCII and the Message-ID, through real runs: each text
reads back exactly with Python's default policy, the message stays 7-bit
with header lines of at most 78 characters, and every run gets its own id."""

import os
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "quillant"))
from e2e_util import SendvaleCase, write_bytes  # noqa: E402
from mime_check import header_problems  # noqa: E402

# subject, From name, To name, organization, attachment name, encoding
CASES = [
    ("Grüße aus Köln, ça va? ÿ", "Jürgen Müller", "Zoë", "Bäckerei & Söhne", "Übersicht (März).pdf", "utf-8"),
    ("Grüße, Zoë", "Jürgen", "Åsa", "Café", "Menü.txt", "latin-1"),
    ("Привет, мир: отчёт", "Владимир Петров", "Ольга", "ООО «Ромашка»", "отчёт.txt", "utf-8"),
    ("日本語の件名 テスト", "山田 太郎", "佐藤", "株式会社テスト", "資料 2026.pdf", "utf-8"),
    ("Launch 🚀🎉 today", "Party 🎉", "Bob 👍", "Emoji 😀 Inc", "🎉" * 30 + ".png", "utf-8"),
    (("Größe 日本 Привет 🎉 " * 20)[:300], "A", "B", "C", "d.txt", "utf-8"),
]

MSG_ID = re.compile(rb"\r\nMessage-ID: <[0-9a-f]+\.[0-9a-f]{32}@example\.com>\r\n")


class HeaderText(SendvaleCase):
    def test_non_ascii_headers_read_back_exactly(self):
        self.start_sink(sessions=len(CASES))
        for subject, sender, receiver, org, attachment, encoding in CASES:
            write_bytes(os.path.join(os.fsencode(self.work), attachment.encode(encoding)), b"data\n")
            args = [arg.encode(encoding) for arg in
                    ("-s" + subject, "-f%s <me@example.com>" % sender, "-o" + org, "-i" + attachment,
                     "%s <a@example.com>" % receiver)]
            self.assert_run(args, 0, b"")
        self.sink.finish()
        messages = self.sink.messages()
        self.assertEqual(len(messages), len(CASES))
        for message, (subject, sender, receiver, org, attachment, _) in zip(messages, CASES):
            expected = {"Subject": subject, "From": sender, "To": receiver, "Organization": org}
            self.assertEqual(header_problems(message, expected, attachment), [], message[:2000])
        ids = [MSG_ID.search(message) for message in messages]
        self.assertTrue(all(ids), messages)
        self.assertEqual(len({m.group(0) for m in ids}), len(CASES))


if __name__ == "__main__":
    unittest.main()
