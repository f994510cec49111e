"""The SMTP receiver of a running thgate, driven by real clients: Python's smtplib, swaks and
curl. Each test gets a fresh data root and a thgate whose receiver listens on a free port."""
import os
import re
import smtplib
import socket
import subprocess
import unittest

from thtest import DataRoot, start_gate, wait_until

# Received items are handed on to this folder unchanged by the sweeper (DataRoot.tap).
TAP_QUEUE = "tap/queproc"

SERVER_NAME = "gate.example"
GREETING = b"220 gate.example Service Ready\r\n"


def read_reply(sock, timeout=10.0):
    """One reply line (up to CR LF) from a raw socket; b"" when the peer closed."""
    sock.settimeout(timeout)
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data


class ReceiverTestCase(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.gate, self.port = start_gate(self, self.root, LocalDomain0="Gate.Example", LogSMTPIn=1,
                                          **self.root.tap())

    def connect(self, source="127.0.0.1"):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10,
                                        source_address=(source, 0))
        self.addCleanup(sock.close)
        return sock

    def received(self, count):
        """The numbers of the received items once `count` of them have reached the tap."""
        self.assertTrue(wait_until(lambda: len(self.root.items(TAP_QUEUE)) >= count))
        return self.root.items(TAP_QUEUE)

    def wait_received(self, count=1):
        self.assertTrue(wait_until(
            lambda: self.gate.count_lines(r"SMTP Server: .* Mail received OK$") >= count))


class RealClients(ReceiverTestCase):
    def test_smtplib_one_item_per_recipient_with_source_file(self):
        body = "Subject: three\r\nFrom: a@x.example\r\n\r\nfirst line\r\n.starts with a dot\r\n"
        with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as client:
            refused = client.sendmail("a@x.example",
                                      ["one@y.example", "two@y.example", "three@z.example"], body)
            self.assertEqual(refused, {})
        self.assertEqual(self.received(3), [1, 2, 3])
        texts = set()
        for n, want in zip((1, 2, 3), ("one@y.example", "two@y.example", "three@z.example")):
            stamp, attempts, kind, recipient, sender, text = self.root.item(n, TAP_QUEUE)
            self.assertEqual((attempts, kind, recipient, sender), (0, 0, want, "a@x.example"))
            texts.add(text)
        self.assertEqual(len(texts), 1)
        text = texts.pop()
        self.assertRegex(text, rb"^Subject: three\r\nFrom: a@x\.example\r\n"
                               rb"Message-ID: <\d+[A-Y]{12}@gate\.example>\r\n\r\n"
                               rb"first line\r\n\.\.starts with a dot\r\n\.\r\n$")
        self.assertEqual(self.root.read("tap", "stat", "1"), b"127.0.0.1")
        self.assertFalse(os.path.exists(self.root.join("tap", "stat", "2")))
        self.gate.wait_for_line(r"^SMTP Server: \S+ Mail received OK from 127\.0\.0\.1$")
        self.gate.wait_for_line(r"^SMTP Server: \S+ NEW Command: rcpt TO:<three@z\.example>$")
        # The receiver log file is written with the date in its name.
        logs = os.listdir(self.root.join("logs"))
        self.assertTrue(any(re.fullmatch(r"SMTPIn_\d{8}\.log", n) for n in logs), logs)

    def test_smtplib_existing_message_id_kept(self):
        body = "Message-Id: <given@x.example>\r\nSubject: s\r\n\r\nbody\r\n"
        with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as client:
            client.sendmail("a@x.example", ["b@y.example"], body)
        self.received(1)
        text = self.root.item(1, TAP_QUEUE)[5]
        self.assertEqual(text, b"Message-Id: <given@x.example>\r\nSubject: s\r\n\r\nbody\r\n.\r\n")

    def test_swaks(self):
        run = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--from", "a@x.example",
             "--to", "b@y.example,c@y.example", "--header", "Subject: from swaks",
             "--body", "hello from swaks"],
            capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn(b"<-  250 Mail Received OK", run.stdout)
        self.assertEqual(self.received(2), [1, 2])
        self.assertEqual(self.root.item(2, TAP_QUEUE)[3], "c@y.example")
        text = self.root.item(1, TAP_QUEUE)[5]
        self.assertIn(b"Subject: from swaks\r\n", text)
        self.assertIn(b"\r\nhello from swaks\r\n", text)
        self.assertTrue(text.endswith(b"\r\n.\r\n"))

    def test_curl(self):
        message = self.root.join("message.eml")
        with open(message, "wb") as f:
            f.write(b"From: a@x.example\r\nSubject: from curl\r\n\r\nbody\r\n.dot\r\n")
        run = subprocess.run(
            ["curl", "-sS", "smtp://127.0.0.1:%d" % self.port, "--mail-from", "a@x.example",
             "--mail-rcpt", "b@y.example", "--mail-rcpt", "c@y.example", "-T", message],
            capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.received(2), [1, 2])
        text = self.root.item(1, TAP_QUEUE)[5]
        self.assertIn(b"Subject: from curl\r\nMessage-ID: <", text)
        self.assertTrue(text.endswith(b"\r\nbody\r\n..dot\r\n.\r\n"), text)

    def test_dialogue_replies(self):
        sock = self.connect()
        self.assertEqual(read_reply(sock), GREETING)
        script = [
            (b"MAIL FROM:<a@x.example>", b"250 OK a@x.example"),  # no HELO needed
            (b"DATA", b"503 Bad Sequence Of Commands."),
            (b"RCPT TO:<b@y.example>", b"503 Bad Sequence Of Commands."),
            (b"MAIL FROM:", b"501 Syntax Error In Parameters Or Arguments."),
            (b"MAIL FROM:<>", b"250 OK <>"),  # the null sender
            (b"helo client.example", b"250 gate.example client.example"),
            (b"QUIT", b"221 Goodbye"),
        ]
        for command, reply in script:
            sock.sendall(command + b"\r\n")
            self.assertEqual(read_reply(sock), reply + b"\r\n", command)
        self.assertEqual(sock.recv(1), b"")


if __name__ == "__main__":
    unittest.main()
