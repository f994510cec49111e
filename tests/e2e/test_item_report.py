"""thgate --inspect: the real binary shows what the rules see of a message as JSON."""
import fcntl
import io
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile
from email import policy
from email.message import EmailMessage

BIN_DIR = os.environ.get("TH_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
THGATE = os.path.join(BIN_DIR, "thgate")
KEYS = {"recipient", "sender", "message_id", "to", "cc", "from", "subject", "date", "body",
        "attachments", "content_types", "received", "has_zip", "zip_encrypted",
        "zip_with_paths", "attachment_vanished", "subject_text", "body_text", "inner_parts"}


def queue_item(recipient, sender, message_bytes):
    def field(text):
        data = text.encode() + b"\0"
        return struct.pack("<I", len(data)) + data
    return struct.pack("<III", 1700000000, 0, 0) + field(recipient) + field(sender) + message_bytes


def report_message():
    m = EmailMessage()
    m["From"] = "Alice <Alice@Sender.TEST>"
    m["To"] = "bob@example.test"
    m["Subject"] = "Monthly REPORT"
    m["Date"] = "Tue, 02 Jun 2026 10:00:00 +0000"
    m["Message-ID"] = "<ABC@sender.test>"
    m["Received"] = "from mx.sender.test by gate.example.test for <bob@example.test>; Tue"
    m.set_content("See the attachment.\n")
    m.add_alternative("<p>See the attachment.</p>\n", subtype="html")
    m.add_attachment(b"%PDF-1.4 report", maintype="application", subtype="pdf",
                     filename="report.pdf")
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("a.txt", "member a")
        z.writestr("sub/b.txt", "member b")
    m.add_attachment(archive.getvalue(), maintype="application", subtype="zip",
                     filename="docs.ZIP")
    return m.as_bytes(policy=policy.SMTP)


class InspectTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="thinspect.")
        self.addCleanup(shutil.rmtree, self.root, True)

    def run_inspect(self, *args):
        return subprocess.run([THGATE, "--inspect", "--root", self.root, *args],
                              capture_output=True, timeout=60)

    def write(self, name, data):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_temp_empty(self):
        temp = os.path.join(self.root, "temp")
        self.assertTrue(os.path.isdir(temp))
        self.assertEqual(os.listdir(temp), [])

    def test_queue_item(self):
        item = self.write("queproc/1", queue_item("bob@example.test", "alice@sender.test",
                                                  report_message() + b".\r\n"))
        done = self.run_inspect(item)
        self.assertEqual(done.returncode, 0, done.stderr)
        shown = json.loads(done.stdout)
        self.assertEqual(set(shown), KEYS)
        self.assertEqual(shown["recipient"], "bob@example.test")
        self.assertEqual(shown["sender"], "alice@sender.test")
        self.assertEqual(shown["from"], " alice <alice@sender.test>")
        self.assertEqual(shown["subject"], " monthly report")
        self.assertEqual(shown["message_id"], " <abc@sender.test>")
        self.assertEqual(shown["date"], " Tue, 02 Jun 2026 10:00:00 +0000")
        self.assertEqual(shown["body"], "See the attachment.\r\n")
        self.assertEqual(shown["attachments"],
                         ["0/report.pdf", "1/sub/b.txt", "1/a.txt", "2/th_HTML_body.htm"])
        self.assertEqual(shown["content_types"], ["application/pdf", "application/zip",
                                                  "text/html"])
        self.assertEqual(shown["received"], ["Received:  from mx.sender.test by "
                                             "gate.example.test for <bob@example.test>; Tue"])
        self.assertTrue(shown["has_zip"])
        self.assertTrue(shown["zip_with_paths"])
        self.assertFalse(shown["zip_encrypted"])
        self.assertFalse(shown["attachment_vanished"])
        self.assert_temp_empty()

    def test_raw_message(self):
        path = self.write("mail.eml", report_message())
        done = self.run_inspect("--raw", path)
        self.assertEqual(done.returncode, 0, done.stderr)
        shown = json.loads(done.stdout)
        self.assertEqual(set(shown), KEYS)
        self.assertEqual(shown["recipient"], "")
        self.assertEqual(shown["sender"], "")
        self.assertEqual(shown["to"], " bob@example.test")
        self.assertEqual(len(shown["attachments"]), 4)
        self.assert_temp_empty()

    def test_encrypted_archive(self):
        if shutil.which("zip") is None:
            self.skipTest("the zip tool is not installed")
        work = tempfile.mkdtemp(dir=self.root)
        with open(os.path.join(work, "secret.txt"), "w") as f:
            f.write("secret")
        subprocess.run(["zip", "-q", "-P", "pw", "enc.zip", "secret.txt"], cwd=work, check=True)
        with open(os.path.join(work, "enc.zip"), "rb") as f:
            archive = f.read()
        m = EmailMessage()
        m["Subject"] = "locked"
        m.set_content("text\n")
        m.add_attachment(archive, maintype="application", subtype="zip", filename="enc.zip")
        path = self.write("enc.eml", m.as_bytes(policy=policy.SMTP))
        done = self.run_inspect("--raw", path)
        self.assertEqual(done.returncode, 0, done.stderr)
        shown = json.loads(done.stdout)
        self.assertTrue(shown["zip_encrypted"])
        self.assertEqual(shown["attachments"], ["0/enc.zip"])
        self.assertIn(b"not extracted", done.stderr)

    def test_binary_body_is_shown(self):
        path = self.write("bin.eml", b"Subject: bytes\r\n\r\n\xff\xfe caf\xc3\xa9\r\n")
        done = self.run_inspect("--raw", path)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout)["body"], "\ufffd\ufffd caf\u00e9\r\n")

    def test_unreadable_files(self):
        cases = {
            "missing": os.path.join(self.root, "missing"),
            "short header": self.write("queproc/2", b"\x01\x00"),
        }
        for label, path in cases.items():
            with self.subTest(label):
                done = self.run_inspect(path)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, b"")
                self.assertEqual(len(done.stderr.decode().strip().splitlines()), 1)
        locked = self.write("queproc/3", queue_item("a@x", "b@y", b"Subject: x\r\n\r\nx\r\n"))
        with open(locked, "r+b") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            done = self.run_inspect(locked)
        self.assertEqual(done.returncode, 2)
        self.assertIn(b"locked", done.stderr)

    def test_usage(self):
        for args in [[], ["--bogus", "x"], ["a", "b"]]:
            with self.subTest(args):
                done = self.run_inspect(*args)
                self.assertEqual(done.returncode, 2)
                self.assertIn(b"usage: thgate --inspect", done.stderr)


if __name__ == "__main__":
    unittest.main()
