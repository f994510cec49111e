"""The rule sweeper of a running thgate, fed by real clients (swaks, smtplib) with real
attachments, HTML and ZIP archives made with zip and zip -P: what ends in que, quaran, offpeak
and archive, the sweeper's log lines, and the generated mail that comes back through the
receiver. Also the dry run, thgate --test-rules, which must leave the data root untouched."""
import os
import re
import signal
import smtplib
import subprocess
import tempfile
import time
import unittest
from email.message import EmailMessage

from thtest import THGATE, DataRoot, start_gate, wait_until

SWEEP = r"^Content Sweeper: \d\d:\d\d:\d\d > "


def rule(n, **keys):
    """A [Rule<n>] section, enabled, for all mail unless the keys say otherwise."""
    values = {"Enabled": 1, "AllIncoming": 1, "AllOutgoing": 1}
    values.update(keys)
    return "\n[Rule%d]\n" % n + "".join("%s=%s\n" % kv for kv in values.items())


def today_folder():
    t = time.localtime()
    return "%d-%d-%d" % (t.tm_mon, t.tm_mday, t.tm_year)


class SweeperCase(unittest.TestCase):
    def start(self, *rules, **defaults):
        self.root = DataRoot(self)
        keys = dict(LocalDomain0="example.com", AdminEmail="admin@example.com", LogSweeper=1)
        keys.update(defaults)
        self.gate, self.port = start_gate(self, self.root, "".join(rules), **keys)

    def sweep_line(self, text, timeout=15.0):
        return self.gate.wait_for_line(SWEEP + re.escape(text) + "$", timeout)

    def send(self, message, to="bob@example.com", sender="eve@outside.test"):
        with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as client:
            client.send_message(message, sender, [to])

    def swaks(self, *args, to="bob@example.com"):
        run = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.port,
                              "--from", "eve@outside.test", "--to", to] + list(args),
                             capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

    def texts(self, folder):
        return [self.root.item(n, folder)[5] for n in self.root.items(folder)]

    def wait_items(self, folder, count):
        self.assertTrue(wait_until(lambda: len(self.root.items(folder)) >= count, 15),
                        "%s holds %r" % (folder, self.root.items(folder)))

    def file_from_dir(self, name, data):
        path = os.path.join(self.root.path, name)
        with open(path, "wb") as f:
            f.write(data)
        return path


def message(subject, body="Hello Bob.\n", to="bob@example.com"):
    m = EmailMessage()
    m["From"] = "eve@outside.test"
    m["To"] = to
    m["Subject"] = subject
    m.set_content(body)
    return m


def zipped(members, password=None):
    with tempfile.TemporaryDirectory() as d:
        for name, data in members:
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
        cmd = ["zip", "-q"] + (["-P", password] if password else []) + ["out.zip"]
        subprocess.run(cmd + [name for name, _ in members], cwd=d, check=True)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            return f.read()


class Actions(SweeperCase):
    def test_exe_attachment_quarantined_and_administrator_told(self):
        self.start(rule(0, BlockFileTypes="exe,com", Action=1, QuarantineArea="content",
                        NotifyAdminOnAction=1, Comment="programs"))
        exe = self.file_from_dir("Setup.EXE", b"MZ\x90\x00 not really a program")
        self.swaks("--attach", exe, "--header", "Subject: tools")
        self.sweep_line("rule 0 - triggered on file types")
        self.sweep_line("rule 0 - message moved to quarantine area 'content'")
        self.assertEqual(self.root.items("quaran/content"), [1])
        self.assertIn(b"Setup.EXE", self.root.item(1, "quaran/content")[5])
        # The notice comes back through the receiver and, addressed locally, is queued.
        self.wait_items("que", 1)
        self.assertTrue(wait_until(lambda: self.root.items("stat") == []))
        stamp, attempts, kind, recipient, sender, text = self.root.item(1, "que")
        self.assertEqual((recipient, sender), ("admin@example.com", "admin@example.com"))
        self.assertIn(b"Subject: Tarnhold Notification rule 0 programs\r\n", text)
        self.assertIn(b"Triggered on message from eve@outside.test to bob@example.com", text)
        logs = os.listdir(self.root.join("logs"))
        sweep_logs = [n for n in logs if re.fullmatch(r"Sweep_\d{8}\.log", n)]
        self.assertEqual(len(sweep_logs), 1, logs)
        with open(self.root.join("logs", sweep_logs[0])) as f:
            self.assertIn("> verfying rule 0", f.read())

    def test_plain_mail_queued_with_bandwidth_record(self):
        self.start(LogBandwidth=1)
        m = message("Status")
        m["Message-ID"] = "<Status-1@Outside.Test>"
        self.send(m)
        line = self.sweep_line("item in Send que with ID  1")
        self.assertTrue(line)
        self.assertEqual(self.root.items("que"), [1])
        size = os.path.getsize(self.root.join("que", "1"))
        logs = [n for n in os.listdir(self.root.join("logs")) if n.startswith("Bandwidth_")]
        self.assertEqual(len(logs), 1)
        with open(self.root.join("logs", logs[0])) as f:
            record = f.read().splitlines()[-1]
        # The time stamp, then the Date value (none here), the identifier in lower case, the
        # envelope and the item's size.
        self.assertRegex(record, r"^\d\d:\d\d:\d\d \t\t ?<status-1@outside\.test>\t"
                                 r"eve@outside\.test\tbob@example\.com\t%d$" % size)

    def test_html_stripped_and_swept_again(self):
        self.start(rule(0, BlockEverything=1, Action=7))
        m = message("News", "Plain version.\n")
        m.add_alternative("<html><body><p>HTML version.</p></body></html>\n", subtype="html")
        self.send(m)
        self.sweep_line("resending without any HTML")
        self.sweep_line("sent OK")
        # The rebuilt message has no HTML left, so the rule has nothing to do the second time.
        self.sweep_line("rule 0 - nothing to do, there is no HTML body content ")
        self.wait_items("que", 1)
        text = self.root.item(1, "que")[5]
        self.assertIn(b"Plain version.", text)
        self.assertNotIn(b"HTML version", text)
        self.assertEqual(self.root.items("queproc"), [])

    def test_zip_members_resent_in_place_of_the_archive(self):
        self.start(rule(0, BlockEverything=1, Action=9))
        m = message("Archive")
        m.add_attachment(zipped([("alpha.txt", b"alpha\n"), ("bravo.txt", b"bravo\n")]),
                         maintype="application", subtype="zip", filename="docs.zip")
        self.send(m)
        self.sweep_line("message zip archive(s) already extracted ")
        self.sweep_line("sent OK")
        self.wait_items("que", 1)
        text = self.root.item(1, "que")[5]
        self.assertIn(b"begin 660 alpha.txt", text)
        self.assertIn(b"begin 660 bravo.txt", text)
        self.assertNotIn(b"docs.zip", text)

    def test_encrypted_zip_quarantined(self):
        self.start(rule(0, BlockPasswordZIPs=1, Action=1, QuarantineArea="virus"))
        m = message("Secret")
        m.add_attachment(zipped([("plans.txt", b"the plans\n")], password="pw"),
                         maintype="application", subtype="zip", filename="plans.zip")
        self.send(m)
        self.sweep_line("rule 0 - detected an encrypted ZIP archive")
        self.wait_items("quaran/virus", 1)

    def test_attachments_compressed_into_one_archive(self):
        self.start(rule(0, BlockEverything=1, Action=8, CompressionTreshold=40))
        m = message("Report")
        report = b"".join(b"row %d of the figures, all in order\n" % (i % 40) for i in range(3000))
        m.add_attachment(report, maintype="text", subtype="plain", filename="report.txt")
        self.send(m)
        line = self.sweep_line("resending with a ZIP attachment")
        self.assertTrue(line)
        self.assertRegex("\n".join(self.gate.lines),
                         r"> zip compression successful, compressed size is \d+% of the original")
        # Swept again, the archive is found and left as it is.
        self.sweep_line("nothing to do, message already compressed")
        self.wait_items("que", 1)
        self.assertIn(b"begin 660 attachments.zip", self.root.item(1, "que")[5])

    def test_off_peak_deferral(self):
        # A window from 23:59 to 00:00 is never open: the message waits in offpeak.
        self.start(rule(0, BlockEverything=1, Action=3),
                   OffPeakFromHH=23, OffPeakFromMM=59, OffPeakToHH=0, OffPeakToMM=0)
        self.send(message("Later"))
        self.sweep_line("rule 0 - delievery delayed until off-peak time")
        self.assertEqual(self.root.items("offpeak"), [1])
        self.assertEqual(self.root.items("que"), [])

    def test_archive_copy_and_forwarded_copy(self):
        self.start(rule(0, BlockKeywords="invoice", ScanSubject=1, Archive=1,
                        ArchivePath="c:\\tarnhold\\archive\\legal", EnableForwardCopyTo=1,
                        ForwardCopyTo="audit@example.com"))
        self.send(message("Invoice 42"))
        self.sweep_line("item in Send que with ID  2")
        recipients = sorted(self.root.item(n, "que")[3] for n in self.root.items("que"))
        self.assertEqual(recipients, ["audit@example.com", "bob@example.com"])
        folder = os.path.join("archive", "legal", today_folder())
        self.assertEqual(self.root.items(folder), [1])
        self.assertIn(b"Subject: Invoice 42", self.root.item(1, folder)[5])

    def test_reply_to_the_sender(self):
        self.start(rule(0, AllOutgoing=0, BlockKeywords="unsubscribe", ScanBody=1,
                        ReplyOnAction=1, ReplyFile="reply.txt", Action=2))
        os.makedirs(self.root.join("text"), exist_ok=True)
        with open(self.root.join("text", "reply.txt"), "w") as f:
            f.write("Your message was not delivered.\n")
        self.send(message("Hi", "please UNSUBSCRIBE me\n"))
        self.sweep_line("reply sent")
        self.sweep_line("rule 0 - message has been deleted")
        # The reply goes out to the sender (outgoing, so rule 0 leaves it alone).
        self.wait_items("que", 1)
        stamp, attempts, kind, recipient, sender, text = self.root.item(1, "que")
        self.assertEqual((recipient, sender), ("eve@outside.test", "admin@example.com"))
        self.assertIn(b"Subject: RE: Your message to bob@example.com from ", text)
        self.assertIn(b"Your message was not delivered.", text)

    def test_sighup_takes_new_rules_for_the_next_message(self):
        self.start()
        self.send(message("first"))
        self.sweep_line("item in Send que with ID  1")
        self.root.write_config(rule(0, BlockEverything=1, Action=2), SMTPInPort=self.port,
                               LocalDomain0="second.example", LogSweeper=1)
        self.gate.send_signal(signal.SIGHUP)
        # The receiver's greeting shows when the new configuration is in force.
        import socket
        def greeting():
            with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                return s.recv(200)
        self.assertTrue(wait_until(lambda: b"second.example" in greeting()))
        self.send(message("second"))
        self.sweep_line("rule 0 - message has been deleted")
        self.assertEqual(self.root.items("que"), [1])


class Distribution(SweeperCase):
    def test_items_go_to_the_other_host_with_their_source_file(self):
        other = DataRoot(self, prefix="thgate.other.")
        for folder in ("queproc", "stat"):
            os.makedirs(other.join(folder))
        cluster = tempfile.NamedTemporaryFile("w", suffix=".lst", delete=False)
        self.addCleanup(os.unlink, cluster.name)
        cluster.write("; the other gateway\n%s\n" % other.path)
        cluster.close()
        self.start(EnableClustering=1, ClusterFileName=cluster.name)
        self.send(message("to the cluster"))
        self.gate.wait_for_line(r"^Content Sweeper: \d\d:\d\d:\d\d 1 copy OK$")
        self.assertEqual(other.items(), [1])
        self.assertEqual(other.read("stat", "1"), b"127.0.0.1")
        self.assertIn(b"Subject: to the cluster", other.item(1)[5])
        self.assertTrue(wait_until(lambda: self.root.items() == [] and self.root.items("stat") == []))
        self.gate.wait_for_line(r"^Content Sweeper: \d\d:\d\d:\d\d 1 copying to %s/queproc/1$"
                                % re.escape(other.path))


def tree(path):
    """Every file under `path` with its content, and every folder."""
    seen = {}
    for folder, dirs, files in os.walk(path):
        seen[folder] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                seen[os.path.join(folder, name)] = f.read()
    return seen


class DryRun(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.root.write_config(
            rule(0, BlockKeywords="secret", ScanBody=1, ReplyOnAction=1, ReplyFile="r.txt",
                 Archive=1, ArchivePath="c:\\tarnhold\\archive\\all", EnableForwardCopyTo=1,
                 ForwardCopyTo="audit@example.com")
            + rule(1, BlockFileTypes="exe", Action=1, QuarantineArea="content")
            + rule(2, BlockEverything=1, Action=6),
            LocalDomain0="example.com", AdminEmail="admin@example.com")
        # One run first, so that the folders the configuration load makes already exist.
        self.run_rules("--raw", "--from", "a@b.test", "--to", "c@example.com", self.eml(b"x"))

    def eml(self, body, name="m.eml", attach=None):
        m = message("Dry", body.decode())
        if attach:
            m.add_attachment(attach[1], maintype="application", subtype="octet-stream",
                             filename=attach[0])
        path = os.path.join(self.root.path, name)
        with open(path, "wb") as f:
            f.write(m.as_bytes())
        return path

    def run_rules(self, *args):
        run = subprocess.run([THGATE, "--test-rules", "--root", self.root.path] + list(args),
                             capture_output=True, timeout=60)
        return run.returncode, run.stdout.decode(), run.stderr.decode()

    def test_raw_message_walks_every_rule_and_touches_nothing(self):
        path = self.eml(b"the secret plan\n", attach=("tool.exe", b"MZ"))
        before = tree(self.root.path)
        code, out, err = self.run_rules("--raw", "--from", "eve@outside.test", "--to",
                                        "bob@example.com", "--ip", "10.1.2.3", path)
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertTrue(all(l.startswith("> ") for l in lines[:-1]), out)
        for want in ["> reading source IP info", "> source IP is 10.1.2.3",
                     "> rule 0 - keyword content identified",
                     "> sending reply from admin@example.com to eve@outside.test", "> reply sent",
                     "> marked for archive in c:\\tarnhold\\archive\\all",
                     "> forwarding a copy of the message to audit@example.com",
                     "> rule 1 - triggered on file types",
                     "> rule 1 - message moved to quarantine area 'content'"]:
            self.assertIn(want, lines)
        self.assertEqual(lines[-1], "decision: rule=1 action=1 destination=quaran/content")
        self.assertEqual(tree(self.root.path), before)

    def test_queue_item_with_its_stat_file(self):
        gate_root = self.root
        os.makedirs(gate_root.join("queproc"), exist_ok=True)
        # A queue item as the receiver writes it: header, then the message and its "." line.
        import struct
        text = b"From: eve@outside.test\r\nSubject: plain\r\n\r\nnothing to see\r\n.\r\n"
        rcpt, sender = b"bob@example.com\0", b"eve@outside.test\0"
        item = (struct.pack("<IIII", 0, 0, 0, len(rcpt)) + rcpt + struct.pack("<I", len(sender))
                + sender + text)
        with open(gate_root.join("queproc", "7"), "wb") as f:
            f.write(item)
        with open(gate_root.join("stat", "7"), "wb") as f:
            f.write(b"192.0.2.44")
        before = tree(gate_root.path)
        code, out, err = self.run_rules(gate_root.join("queproc", "7"))
        self.assertEqual(code, 0, err)
        self.assertIn("> source IP is 192.0.2.44", out.splitlines())
        # Nothing to remove from a message without attachments: the walk goes on.
        self.assertIn("> rule 2 - actioned always", out.splitlines())
        self.assertIn("> rule 2 ... will continue checking further", out.splitlines())
        self.assertEqual(out.splitlines()[-1],
                         "decision: rule=-1 action=0 destination=que")
        self.assertEqual(tree(gate_root.path), before)

    def test_usage_errors(self):
        for args in ([], ["--raw", "x.eml"], ["--from", "a@b", "x.eml"], ["--bogus", "x.eml"]):
            code, out, err = self.run_rules(*args)
            self.assertEqual(code, 2, args)
            self.assertIn("usage: thgate --test-rules", err)
            self.assertEqual(out, "")


if __name__ == "__main__":
    unittest.main()
