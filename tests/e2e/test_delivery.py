"""Outbound delivery of a running thgate: items of the send queue go to the gateway (Postfix's
smtp-sink) or into a local mailbox that Python's poplib reads back through the gateway's own
POP3 server; mail sent with swaks passes the rules and arrives at the sink.
"""
import os
import poplib
import shutil
import subprocess
import unittest

from delivery_peers import SmtpSink, mailbox_files, write_send_item
from thtest import DataRoot, Gate, free_port, start_gate, wait_until

TEXT = (b"From: anna@x.test\r\nTo: bob@y.test\r\nSubject: e2e delivery\r\n\r\n"
        b"first line\r\n..dotted line\r\n.\r\n")

USERS = """
[POP3User0]
account=anna
password=Secret
active=1
EmailAddress0=anna
"""

# Ten rules for all mail that never trigger: each looks for a word no message here carries.
QUIET_RULES = "".join("""
[Rule%d]
Comment=quiet %d
Enabled=1
AllIncoming=1
AllOutgoing=1
ScanSubject=1
ScanBody=1
BlockKeywords=never-present-word-%d
Action=1
QuarantineArea=content
""" % (n, n, n) for n in range(10))


class DeliveryToTheGateway(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thdeliver.")
        self.sink = SmtpSink(self, self.root.join("dumps"))

    def start(self, sections="", **defaults):
        self.gate, self.port = start_gate(
            self, self.root, sections, OutboundGatewayAddress=self.sink.address,
            OutboundPort=self.sink.port, OutboundGatewayType=0, **defaults)

    def test_send_item_reaches_the_sink_and_leaves_the_queue(self):
        self.start()
        write_send_item(self.root.path, 1, "bob@y.test", "anna@x.test", TEXT)
        dumps = self.sink.wait_for_dumps(1)
        self.assertEqual(len(dumps), 1)
        self.assertIn("X-Rcpt-Args: <bob@y.test>", dumps[0])
        self.assertIn("Subject: e2e delivery\nfirst line\n.dotted line\n",
                      dumps[0].replace("\n\n", "\n"))
        self.gate.wait_for_line(r"^SMTP Agent: \S+ Mail sent$")
        self.assertTrue(wait_until(lambda: self.root.items("que") == []))

    def test_swaks_mail_passes_the_rules_and_arrives(self):
        if shutil.which("swaks") is None:
            self.skipTest("swaks is not installed")
        self.start(QUIET_RULES)
        run = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--from", "anna@x.test",
             "--to", "bob@y.test", "--header", "Subject: through the gateway",
             "--body", "hello from swaks"],
            capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout.decode() + run.stderr.decode())
        dumps = self.sink.wait_for_dumps(1, 30)
        self.assertEqual(len(dumps), 1, "\n".join(self.gate.lines[-40:]))
        self.assertIn("Subject: through the gateway", dumps[0])
        self.assertIn("hello from swaks", dumps[0])
        self.assertTrue(wait_until(lambda: self.root.items("que") == [] and
                                   self.root.items("queproc") == [], 20))


class ExitDuringDelivery(unittest.TestCase):
    def test_exit_lets_a_running_delivery_finish(self):
        root = DataRoot(self, prefix="thexit.")
        sink = SmtpSink(self, root.join("dumps"), ("-w", "2"))  # DATA answered after 2 s
        gate, _ = start_gate(self, root, OutboundGatewayAddress=sink.address,
                             OutboundPort=sink.port, OutboundGatewayType=0)
        write_send_item(root.path, 1, "bob@y.test", "anna@x.test", TEXT)
        gate.wait_for_line(r"^SMTP Agent: \S+ Connected$", 20)
        self.assertEqual(gate.stop(timeout=15), 1)
        self.assertEqual(len(sink.wait_for_dumps(1, 5)), 1)
        self.assertEqual(root.items("que"), [])


class LocalDelivery(unittest.TestCase):
    def test_local_mail_is_stored_and_read_back_with_poplib(self):
        root = DataRoot(self, prefix="thlocal.")
        os.makedirs(root.join("popstore", "0"), exist_ok=True)
        pop3_port = free_port()
        gate, _ = start_gate(self, root, USERS, args=("--pop3-port", str(pop3_port)),
                             EnablePOP3Server=1, LocalDomain0="corp.test")
        write_send_item(root.path, 1, "Anna@corp.test", "bob@y.test", TEXT)
        self.assertTrue(wait_until(lambda: mailbox_files(root.path, 0) == [1], 20),
                        "\n".join(gate.lines[-30:]))
        gate.wait_for_line(r"^SMTP Agent: \S+ Message stored in local POP3 account$")
        self.assertTrue(wait_until(lambda: root.items("que") == []))

        pop = poplib.POP3("127.0.0.1", pop3_port, timeout=10)
        self.addCleanup(pop.close)
        pop.user("anna")
        pop.pass_("Secret")
        self.assertEqual(pop.stat()[0], 1)
        _, lines, _ = pop.retr(1)
        self.assertEqual(lines, [b"From: anna@x.test", b"To: bob@y.test",
                                 b"Subject: e2e delivery", b"", b"first line", b".dotted line"])
        pop.quit()


if __name__ == "__main__":
    unittest.main()
