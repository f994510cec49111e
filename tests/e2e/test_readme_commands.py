"""Every thgate command that README.md shows an administrator works exactly as written there:
the indented command lines of its diagnostics section are read from the README itself, their
placeholders (DIR, FILE, A, B) replaced with a prepared data root, a queue item or a plain
message and two addresses, and run. The README cannot drift from the program."""
import json
import os
import re
import shlex
import struct
import subprocess
import unittest

from thtest import THGATE, DataRoot

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
SECTION = "## Diagnostics for administrators"
PROGRAM = "build/bin/thgate"

MESSAGE = (b"From: eve@outside.test\r\nTo: bob@example.com\r\nSubject: readme check\r\n\r\n"
           b"nothing to see\r\n")


def readme_commands():
    """The command lines of the diagnostics section, each as a list of words."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index(SECTION) + len(SECTION)
    end = text.find("\n## ", start)
    commands = []
    for line in text[start:end if end >= 0 else None].splitlines():
        if not line.startswith("    " + PROGRAM):
            continue
        line = re.sub(r"\s+#.*$", "", line.strip())  # the explanation after the command
        commands.append(shlex.split(line))
    return commands


def queue_item(recipient, sender, text):
    rcpt, frm = recipient.encode() + b"\0", sender.encode() + b"\0"
    return (struct.pack("<IIII", 0, 0, 0, len(rcpt)) + rcpt + struct.pack("<I", len(frm)) + frm
            + text)


class ReadmeCommands(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.root.write_config()
        os.makedirs(self.root.join("queproc"))
        self.item = self.root.join("queproc", "1")
        with open(self.item, "wb") as f:
            f.write(queue_item("bob@example.com", "eve@outside.test", MESSAGE + b".\r\n"))
        self.plain = self.root.join("plain.eml")
        with open(self.plain, "wb") as f:
            f.write(MESSAGE)

    def concrete(self, words):
        """The README's words with the program and every placeholder made real."""
        values = {"DIR": self.root.path, "A": "eve@outside.test", "B": "bob@example.com",
                  "FILE": self.plain if "--raw" in words else self.item}
        out = [THGATE if words[0] == PROGRAM else words[0]]
        for word in words[1:]:
            self.assertFalse(word.isupper() and word not in values,
                             "a placeholder the test does not know: %s" % word)
            out.append(values.get(word, word))
        return out

    def check_output(self, words, stdout):
        if "--inspect" in words:
            report = json.loads(stdout)
            self.assertEqual(report["subject"].strip(), "readme check")
            self.assertIn("eve@outside.test", report["from"])
        elif "--test-rules" in words:
            self.assertRegex(stdout.decode().splitlines()[-1],
                             r"^decision: rule=-?\d+ action=\d+ destination=\S+$")
        elif "--check-config" in words:
            self.assertIn(b"no problem found", stdout)
        elif "--help" in words:
            for word in ("--root", "--inspect", "--test-rules", "--version"):
                self.assertIn(word.encode(), stdout)
        elif "--version" in words:
            self.assertEqual(stdout, b"thgate 1.0\n")
        else:
            self.fail("the test does not know what %s should print" % " ".join(words))

    def test_every_command_runs_as_written(self):
        commands = readme_commands()
        shown = {w for words in commands for w in words if w.startswith("--")}
        # The section still shows what an administrator needs.
        self.assertLessEqual({"--root", "--inspect", "--test-rules", "--raw", "--help"}, shown)
        for words in commands:
            with self.subTest(" ".join(words)):
                run = subprocess.run(self.concrete(words), capture_output=True, timeout=60)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.check_output(words, run.stdout)

    def test_help_and_a_wrong_word(self):
        run = subprocess.run([THGATE, "--help"], capture_output=True, timeout=30)
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        self.assertTrue(run.stdout.startswith(b"usage: thgate"))
        run = subprocess.run([THGATE, "--root", self.root.path, "--bogus"], capture_output=True,
                             timeout=30)
        self.assertEqual((run.returncode, run.stdout), (2, b""))
        self.assertIn(b"unknown argument \"--bogus\"", run.stderr)
        self.assertIn(b"usage: thgate", run.stderr)


if __name__ == "__main__":
    unittest.main()
