"""POP3 collection of a running thgate: mail put into a remote dovecot mailbox is collected,
passes the rules, arrives at Postfix's smtp-sink and is gone from the server; a mailbox whose
password is refused is logged and skipped without holding up the next one.
"""
import os
import shutil
import tempfile
import unittest

from delivery_peers import SmtpSink
from pop_peers import Dovecot
from thtest import DataRoot, start_gate, wait_until

ACCOUNT = """
[POP{n}]
account={account}
host={host}
password={password}
active=1
RecipientDetectMode=0
RecipientHeaderNumber=1
PrecedingText=for
DefaultAddress=postmaster@local.test
"""


def message(subject, received=b""):
    return (received + b"From: Anna <anna@remote.test>\r\nTo: someone\r\nSubject: " +
            subject + b"\r\n\r\nfirst line\r\n..two dots\r\n.\r\nlast line\r\n")


class PopCollection(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thcollect.")
        self.sink = SmtpSink(self, self.root.join("dumps"))
        folder = tempfile.mkdtemp(prefix="thdovecot.")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        self.server = Dovecot(self, folder, {"box": "secret", "other": "right"})

    def start(self, accounts):
        sections = "".join(ACCOUNT.format(n=n, **a) for n, a in enumerate(accounts))
        sink = dict(address=self.sink.address, port=self.sink.port)
        self.gate, _ = start_gate(
            self, self.root, sections, EnablePOP3Download=1, POP3DownloadInterval=0,
            LocalDomain0="local.test", OutboundGatewayAddress=sink["address"],
            OutboundPort=sink["port"], OutboundGatewayType=0,
            InboundGatewayAddress=sink["address"], InboundPort=sink["port"],
            InboundGatewayType=0)

    def test_collected_mail_reaches_the_sink_and_leaves_the_server(self):
        self.server.deliver("box", message(
            b"one", b"Received: from mx.remote.test by pop.remote.test for <carl@local.test>;"
                    b" Mon, 7 Dec 2026 10:00:00 +0000\r\n"))
        self.server.deliver("box", message(b"two"))
        self.start([dict(account="other", host=self.server.host, password="wrong"),
                    dict(account="box", host=self.server.host, password="secret")])
        self.assertIn("Starting POP3 download thread...",
                      self.root.read("logs", "load.log").decode())
        dumps = self.sink.wait_for_dumps(2)
        self.assertEqual(len(dumps), 2)
        by_subject = {("one" if "Subject: one" in d else "two"): d for d in dumps}
        self.assertIn("X-Rcpt-Args: <carl@local.test>", by_subject["one"])
        self.assertIn("X-Rcpt-Args: <postmaster@local.test>", by_subject["two"])
        for dump in dumps:
            self.assertIn("anna@remote.test", dump)
            # The text arrives as it was in the box: its "." line did not end it early.
            self.assertIn("first line\n..two dots\n.\nlast line", dump.replace("\n\n", "\n"))
        self.gate.wait_for_line(r"^POP3 Download: .*password command timed out or rejected$")
        self.gate.wait_for_line(r"^POP3 Download: .*OK delivery for carl@local.test$")
        self.assertTrue(wait_until(lambda: self.server.count("box", "secret") == 0, 10))

        # Interval 0: the thread goes on collecting; mail that comes later is collected too.
        self.server.deliver("box", message(b"three"))
        self.assertEqual(len(self.sink.wait_for_dumps(3, 30)), 3)
        self.assertTrue(wait_until(lambda: self.server.count("box", "secret") == 0, 10))
        self.assertEqual(os.listdir(self.root.join("pop")), [])
        self.assertEqual(self.gate.stop(), 1)


if __name__ == "__main__":
    unittest.main()
