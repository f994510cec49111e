"""Crash safety of the whole road: clients send a few hundred messages while thgate is killed
with SIGKILL several times and restarted on the same data root. Every message a client saw
accepted with "250" must reach the sink whole (duplicates are allowed, losses and truncated
messages are not), and the queues must be empty again soon after the last restart.
"""
import random
import re
import signal
import smtplib
import socket
import threading
import unittest

from delivery_peers import SmtpSink
from thtest import DataRoot, Gate, free_port, wait_until

MESSAGES = 300
CLIENTS = 4
KILLS = 4
DRAIN_SECONDS = 90


def message(n):
    """Message n: about 3 KB of numbered lines, so a cut anywhere shows."""
    lines = ["From: client@x.test", "To: bob@y.test", "Subject: crash test %d" % n, ""]
    lines += ["message %d line %03d %s" % (n, k, "x" * 40) for k in range(50)]
    lines += [".leading dot of %d" % n, "end of message %d" % n]
    return "\r\n".join(lines) + "\r\n"


def expected_body(n):
    """The part of message n a dump must hold, as smtp-sink writes it (LF lines, dots taken
    out again)."""
    text = message(n).replace("\r\n", "\n")
    return text[text.index("\n\n") + 2:]


class CrashDuringLoad(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thcrash.")
        self.sink = SmtpSink(self, self.root.join("dumps"))
        self.port = free_port()
        self.root.write_config(SMTPInPort=self.port, OutboundGatewayAddress=self.sink.address,
                               OutboundPort=self.sink.port, OutboundGatewayType=0)
        self.accepted = set()
        self.lock = threading.Lock()
        self.next = 0
        self.stop_clients = threading.Event()

    def take(self):
        with self.lock:
            if self.next >= MESSAGES:
                return None
            self.next += 1
            return self.next

    def client(self):
        pending = None
        while not self.stop_clients.is_set():
            n = pending if pending is not None else self.take()
            if n is None:
                return
            pending = n
            try:
                smtp = smtplib.SMTP("127.0.0.1", self.port, timeout=10)
            except (OSError, smtplib.SMTPException):
                # The gateway is down: try again once it listens (or the test ends).
                wait_until(lambda: self.stop_clients.is_set() or self.gateway_listens(), 30)
                continue
            try:
                smtp.sendmail("client@x.test", ["bob@y.test"], message(n))
                with self.lock:  # the 250 to the end of the data has arrived
                    self.accepted.add(n)
                pending = None
                smtp.quit()
            except (OSError, smtplib.SMTPException):
                smtp.close()  # the gateway went down: a message without 250 is sent again

    def gateway_listens(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def accepted_count(self):
        with self.lock:
            return len(self.accepted)

    def start_gate(self):
        gate = Gate(self, self.root.path)
        gate.start(timeout=30)
        return gate

    def test_every_accepted_message_arrives_whole(self):
        gate = self.start_gate()
        clients = [threading.Thread(target=self.client) for _ in range(CLIENTS)]
        for c in clients:
            c.start()
        try:
            for _ in range(KILLS):
                # Each run of the gateway takes a few messages under load before it is killed
                # at some point in the middle of the next ones.
                target = self.accepted_count() + random.randint(2, 12)
                wait_until(lambda: self.accepted_count() >= target or self.next >= MESSAGES, 60)
                gate.send_signal(signal.SIGKILL)
                gate.wait()
                gate = self.start_gate()
            for c in clients:
                c.join(120)
        finally:
            self.stop_clients.set()
            for c in clients:
                c.join(30)
        self.assertEqual(len(self.accepted), MESSAGES, "every message is sent in the end")

        drained = wait_until(lambda: not self.root.items("queproc") and
                             not self.root.items("que"), DRAIN_SECONDS, 0.2)
        self.assertTrue(drained, "queues still hold %s and %s" %
                        (self.root.items("queproc"), self.root.items("que")))
        dumps = self.sink.wait_for_dumps(MESSAGES, 30)
        arrived = {}
        for dump in dumps:
            match = re.search(r"^Subject: crash test (\d+)$", dump, re.M)
            self.assertIsNotNone(match, dump[:400])
            n = int(match.group(1))
            self.assertIn(expected_body(n), dump, "message %d arrived cut" % n)
            arrived[n] = arrived.get(n, 0) + 1
        lost = sorted(self.accepted - set(arrived))
        self.assertEqual(lost, [], "accepted but never delivered")
        gate.stop()


if __name__ == "__main__":
    unittest.main()
