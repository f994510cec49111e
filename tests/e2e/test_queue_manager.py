"""thqueue and thmon from the command line beside a running thgate: mail quarantined by the
SPAM rule is released with thqueue --allow-trust and delivered to smtp-sink, after which the
trusted sender passes the rule; thmon --check-once mails its alert to smtp-sink when the
gateway's SMTP port stops answering."""
import os
import smtplib
import subprocess
import unittest
from email.message import EmailMessage

from delivery_peers import SmtpSink
from thtest import BIN_DIR, DataRoot, start_gate, wait_until

THQUEUE = os.path.join(BIN_DIR, "thqueue")
THMON = os.path.join(BIN_DIR, "thmon")


def spam(subject):
    """A message whose To header does not name its envelope recipient: SPAM for the rule."""
    m = EmailMessage()
    m["From"] = "Eve <eve@outside.test>"
    m["To"] = "list@news.test"
    m["Subject"] = subject
    m.set_content("Buy now.\n")
    return m


def run(program, *args):
    return subprocess.run([program] + list(args), capture_output=True, text=True, timeout=60)


class QueueManager(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.sink = SmtpSink(self, self.root.join("dumps"))
        rule = ("\n[Rule0]\nEnabled=1\nAllIncoming=1\nAllOutgoing=1\nStopSPAM=1\nAction=1\n"
                "QuarantineArea=junk\n")
        self.gate, self.port = start_gate(
            self, self.root, rule, LocalDomain0="example.com", LogSweeper=1,
            OutboundGatewayAddress=self.sink.address, OutboundPort=self.sink.port)

    def send(self, subject):
        with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as client:
            client.send_message(spam(subject), "eve@outside.test", ["carol@far.test"])

    def test_released_mail_is_delivered_and_its_sender_trusted(self):
        self.send("first offer")
        self.assertTrue(wait_until(lambda: self.root.items("quaran/junk") == [1], 20),
                        self.root.items("quaran/junk"))

        listed = run(THQUEUE, "--root", self.root.path, "--list", "Quarantine\\junk")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        row = listed.stdout.splitlines()
        self.assertEqual(len(row), 1, listed.stdout)
        self.assertEqual(row[0].split("\t")[1:5],
                         ["1", "list@news.test", "eve <eve@outside.test>", "first offer"])

        allowed = run(THQUEUE, "--root", self.root.path, "--allow-trust", "quaran/junk/1")
        self.assertEqual(allowed.returncode, 0, allowed.stdout + allowed.stderr)
        self.assertEqual(allowed.stdout,
                         "quaran/junk/1: released to que/1; eve@outside.test added to the SPAM "
                         "free senders\n")
        dumps = self.sink.wait_for_dumps(1)
        self.assertEqual(len(dumps), 1)
        self.assertIn("Subject: first offer", dumps[0])
        self.assertEqual(self.root.read("spamfree.dat"), b"eve@outside.test\n")

        # The same sender now passes the SPAM rule and goes straight out.
        self.send("second offer")
        dumps = self.sink.wait_for_dumps(2)
        self.assertEqual(len(dumps), 2, self.root.items("quaran/junk"))
        self.assertTrue(any("Subject: second offer" in d for d in dumps))
        self.assertEqual(self.root.items("quaran/junk"), [])

    def test_refusals_leave_the_item_and_exit_non_zero(self):
        self.send("kept")
        self.assertTrue(wait_until(lambda: self.root.items("quaran/junk") == [1], 20))
        refused = run(THQUEUE, "--root", self.root.path, "--delete", "quaran/junk/2",
                      "quaran/junk/1")
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(refused.stdout,
                         "quaran/junk/2: refused: The message 2 is no longer in this folder\n"
                         "quaran/junk/1: deleted\n")
        usage = run(THQUEUE, "--root", self.root.path, "--move", "que/1")
        self.assertEqual(usage.returncode, 2)

    def test_an_item_moved_to_pending_is_swept_again(self):
        self.send("again")
        self.assertTrue(wait_until(lambda: self.root.items("quaran/junk") == [1], 20))
        start = len(self.gate.lines)
        moved = run(THQUEUE, "--root", self.root.path, "--move", "quaran/junk/1", "--to",
                    "Pending")
        self.assertEqual(moved.returncode, 0, moved.stdout + moved.stderr)
        self.gate.wait_for_line(r"> Reading queue item \d+ \.\.\.$", 20, start)
        self.assertTrue(wait_until(lambda: self.root.items("quaran/junk") == [1] and
                                   self.root.items("queproc") == [], 20))


class Monitor(unittest.TestCase):
    def test_alert_when_the_gateway_stops_answering(self):
        root = DataRoot(self)
        sink = SmtpSink(self, root.join("dumps"))
        gate, port = start_gate(self, root, LocalDomain0="example.com")
        config = root.join("thmon.cfg")
        with open(config, "w") as f:
            f.write("[General]\nCheckSend=1\nEnableTrySMTPHost=1\nTrySMTPHostAddress=127.0.0.1:%d\n"
                    "SMTPServer=%s:%d\nSMTPRecipients=admin@example.com\n"
                    "SMTPSender=thmon@example.com\n" % (port, sink.address, sink.port))
        quiet = run(THMON, "--root", root.path, "--config", config, "--check-once")
        self.assertEqual(quiet.returncode, 0, quiet.stdout)
        self.assertIn("no alert to trigger at this time", quiet.stdout)

        gate.stop()
        alert = run(THMON, "--root", root.path, "--config", config, "--check-once")
        self.assertEqual(alert.returncode, 1, alert.stdout)
        self.assertIn("notification sent OK", alert.stdout)
        dumps = sink.wait_for_dumps(1)
        self.assertEqual(len(dumps), 1)
        self.assertIn("Subject: Tarnhold queue alert", dumps[0])
        self.assertIn("SMTP connection to host 127.0.0.1:%d has failed" % port, dumps[0])


if __name__ == "__main__":
    unittest.main()
