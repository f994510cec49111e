"""Virus scanning in a running thgate with a real command-line scanner: clamscan with a
signature database made offline from the EICAR test file. An infected attachment sent by
swaks is quarantined and the alert, with the scanner's report, reaches the administrator's
local mailbox (read back by poplib through the gateway's POP3 server); a clean attachment
passes; a scanner that hangs meets the time limit and the message is held as a threat."""
import os
import poplib
import shutil
import subprocess
import signal
import tempfile
import unittest

from thtest import DataRoot, Gate, free_port, wait_until

SWEEP = r"^Content Sweeper: \d\d:\d\d:\d\d > "
EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"

ADMIN = """
[POP3User0]
account=admin
password=pw
active=1
EmailAddress0=admin
"""

VIRUS_RULE = """
[Rule0]
Enabled=1
AllIncoming=1
AllOutgoing=1
VirusScan=1
Action=1
QuarantineArea=virus
"""


def scanner(title, exe, params, dont_find="Scanned files: 0"):
    # A run that scanned nothing also prints "Infected files: 0": the don't-find text keeps
    # such a run from passing as clean.
    return ("\n[Scanner0]\nTitle=%s\nEnabled=1\nTryClean=0\nExePath=%s\nParams=%s\n"
            "SafeStartFindText=Infected files: 0\nSafeStartDontFindText=%s\n"
            % (title, exe, params, dont_find))


def eicar_database(folder):
    """<folder>/test.hdb: the signature of the EICAR file, made offline with sigtool."""
    eicar = os.path.join(folder, "eicar.com")
    with open(eicar, "wb") as f:
        f.write(EICAR)
    database = os.path.join(folder, "test.hdb")
    with open(database, "wb") as f:
        subprocess.run(["sigtool", "--md5", eicar], stdout=f, check=True, timeout=60)
    os.remove(eicar)
    return database


@unittest.skipUnless(shutil.which("clamscan") and shutil.which("sigtool"), "clamav not installed")
class VirusScan(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.signatures = tempfile.mkdtemp(prefix="thsig.")
        cls.database = eicar_database(cls.signatures)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.signatures, ignore_errors=True)

    def setUp(self):
        self.root = DataRoot(self, prefix="thvirus.")

    def start(self, scanners, **defaults):
        os.makedirs(self.root.join("popstore", "0"), exist_ok=True)
        for _ in range(5):
            self.pop3_port, smtp_port = free_port(), free_port()
            if smtp_port == self.pop3_port:
                continue
            self.smtp_port = smtp_port
            self.root.write_config(VIRUS_RULE + ADMIN + scanners, SMTPInPort=smtp_port,
                                   LocalDomain0="example.com", AdminEmail="admin@example.com",
                                   EnablePOP3Server=1, **defaults)
            self.gate = Gate(self, self.root.path, "--pop3-port", str(self.pop3_port)).start()
            if self.gate.listening():
                return
            self.gate.stop()
        self.fail("no free ports for thgate")

    def scanner_section(self):
        params = "-d %s --log=%s -r %s" % (self.database, self.root.join("report.txt"),
                                           self.root.join("temp"))
        return scanner("ClamAV", shutil.which("clamscan"), params)

    def swaks(self, name, data, to="bob@outside.test"):
        path = os.path.join(self.root.path, name)
        with open(path, "wb") as f:
            f.write(data)
        run = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.smtp_port,
                              "--from", "eve@outside.test", "--to", to,
                              "--header", "Message-Id: <Sample-1@Outside.Test>",
                              "--attach", path], capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

    def sweep_line(self, text, timeout=30.0):
        return self.gate.wait_for_line(SWEEP + text + "$", timeout)

    def admin_mail(self):
        """The messages in the administrator's mailbox, read through the POP3 server."""
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=10)
        try:
            pop.user("admin")
            pop.pass_("pw")
            count = len(pop.list()[1])
            return [b"\r\n".join(pop.retr(i + 1)[1]) for i in range(count)]
        finally:
            pop.quit()

    def test_eicar_quarantined_and_alert_with_report_reaches_the_administrator(self):
        self.start(self.scanner_section())
        self.swaks("eicar.com", EICAR)
        self.sweep_line("virus checking with ClamAV")
        self.sweep_line("rule 0 scan detected threat ...")
        self.sweep_line("alert sent")
        self.assertTrue(wait_until(lambda: self.root.items("quaran/virus") == [1], 15))
        self.assertIn(b"eicar.com", self.root.item(1, "quaran/virus")[5])
        # The store names a message before it lets go of it, and the POP3 server passes over a
        # message still held: wait until the server itself lists it.
        self.assertTrue(wait_until(lambda: len(self.admin_mail()) >= 1, 30),
                        "the alert never reached the mailbox")
        (alert,) = self.admin_mail()
        # The Message-Id value keeps the blank that followed the header's colon.
        self.assertRegex(alert, rb"Subject: Tarnhold Alert: threat detected in message to "
                                rb"bob@outside\.test: +<sample-1@outside\.test>\r\n")
        self.assertIn(b"Generated by ClamAV", alert)
        self.assertRegex(alert, rb"eicar\.com: \S+ FOUND")  # the report follows the text
        self.assertIn(b"Infected files: 1", alert)
        self.assertEqual(self.root.items("que"), [])

    def test_clean_attachment_passes(self):
        self.start(self.scanner_section())
        self.swaks("notes.txt", b"Just some notes.\n")
        self.sweep_line("virus checking with ClamAV")
        self.sweep_line(r"item in Send que with ID  \d+")
        self.assertIsNone(self.gate.find_line("scan detected threat"))
        self.assertEqual(self.root.items("quaran/virus"), [])

    def test_hung_scanner_meets_the_time_limit_and_the_message_is_held(self):
        self.start(scanner("Stuck", "/bin/sh", "-c 'sleep 300'"), VirusScanTimeout=2)
        self.swaks("notes.txt", b"Just some notes.\n")
        self.sweep_line("virus checking with Stuck")
        self.sweep_line("Stuck did not report within 2 seconds: scan failed, counted as a threat")
        self.sweep_line("rule 0 scan detected threat ...")
        self.assertTrue(wait_until(lambda: self.root.items("quaran/virus") == [1], 15))
        self.assertIn(b"notes.txt", self.root.item(1, "quaran/virus")[5])
        # The alert says why; it is swept by the same rule, which finds nothing to scan in it.
        self.sweep_line("no file or HTML attachments for virus-check")
        # The store names a message before it lets go of it, and the POP3 server passes over a
        # message still held: wait until the server itself lists it.
        self.assertTrue(wait_until(lambda: len(self.admin_mail()) >= 1, 30),
                        "the alert never reached the mailbox")
        (alert,) = self.admin_mail()
        self.assertIn(b"Stuck did not report within 2 seconds", alert)



@unittest.skipUnless(shutil.which("clamd") and shutil.which("clamdscan") and shutil.which("sigtool"),
                     "clamd or clamdscan not installed")
class DaemonScan(VirusScan):
    """The same gateway with clamdscan against a clamd of the test's own, on a private socket,
    with the EICAR database loaded."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        db = os.path.join(cls.signatures, "db")
        os.makedirs(db)
        os.rename(cls.database, os.path.join(db, "test.hdb"))
        cls.socket = os.path.join(cls.signatures, "clamd.sock")
        cls.clamd_conf = os.path.join(cls.signatures, "clamd.conf")
        with open(cls.clamd_conf, "w") as f:
            f.write("LocalSocket %s\nDatabaseDirectory %s\nForeground yes\nLogFile %s\n"
                    % (cls.socket, db, os.path.join(cls.signatures, "clamd.log")))
        cls.clamd = subprocess.Popen(["clamd", "--config-file=" + cls.clamd_conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(cls.socket) or cls.clamd.poll() is not None, 60):
            cls.tearDownClass()
            raise unittest.SkipTest("clamd did not start")
        if cls.clamd.poll() is not None:
            cls.tearDownClass()
            raise unittest.SkipTest("clamd cannot run here")

    @classmethod
    def tearDownClass(cls):
        if cls.clamd.poll() is None:
            os.kill(cls.clamd.pid, signal.SIGTERM)
            try:
                cls.clamd.wait(30)
            except subprocess.TimeoutExpired:
                cls.clamd.kill()
                cls.clamd.wait(10)
        super().tearDownClass()

    def scanner_section(self):
        params = "--config-file=%s --fdpass --log=%s %s" % (
            self.clamd_conf, self.root.join("report.txt"), self.root.join("temp"))
        return scanner("ClamAV", shutil.which("clamdscan"), params, dont_find="Total errors")

    # The time limit does not depend on the scanner: it is tested once, above.
    test_hung_scanner_meets_the_time_limit_and_the_message_is_held = None


if __name__ == "__main__":
    unittest.main()
