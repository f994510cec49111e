"""Hostile and broken clients against the SMTP receiver of a running thgate: floods beyond the
connection limit, thousands of recipients, over-long and binary lines, a client that falls
silent in the middle of DATA. The receiver answers as it should, stays up and keeps its memory
bounded."""
import socket
import time
import unittest

from thtest import wait_until
from test_smtp_receiver import GREETING, TAP_QUEUE, ReceiverTestCase, read_reply

MAX_CONNECTIONS = 20
MAX_RECIPIENTS = 100


class BadInput(ReceiverTestCase):
    def assert_still_serving(self):
        sock = self.connect()
        self.assertEqual(read_reply(sock), GREETING)
        sock.sendall(b"NOOP\r\n")
        self.assertEqual(read_reply(sock), b"250 Requested mail action ok, completed\r\n")

    def test_flood_beyond_the_connection_limit(self):
        held = []
        for _ in range(MAX_CONNECTIONS):
            sock = self.connect("127.0.0.2")
            self.assertEqual(read_reply(sock), GREETING)
            held.append(sock)
        rss_before = self.gate.rss_kb()
        for _ in range(5):
            flood = [self.connect("127.0.0.2") for _ in range(40)]
            for sock in flood:
                self.assertEqual(read_reply(sock), b"")  # closed without a word
                sock.close()
        # The local host is always served, even now.
        self.assert_still_serving()
        self.assertLess(self.gate.rss_kb() - rss_before, 20000)
        for sock in held:
            sock.close()

    def test_thousands_of_recipients(self):
        sock = self.connect()
        read_reply(sock)
        sock.sendall(b"MAIL FROM:<a@x.example>\r\n")
        read_reply(sock)
        rss_before = self.gate.rss_kb()
        count, batch = 20000, 500
        replies = []
        for first in range(0, count, batch):
            sock.sendall(b"".join(b"RCPT TO:<r%d@y.example>\r\n" % i
                                  for i in range(first, first + batch)))
            replies += [read_reply(sock)[:3] for _ in range(batch)]
        self.assertEqual(replies.count(b"250"), MAX_RECIPIENTS)
        self.assertEqual(replies.count(b"452"), count - MAX_RECIPIENTS)
        sock.sendall(b"DATA\r\n")
        self.assertEqual(read_reply(sock)[:3], b"354")
        sock.sendall(b"Subject: many\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(read_reply(sock, 60), b"250 Mail Received OK\r\n")
        items = self.received(MAX_RECIPIENTS)
        self.assertEqual(len(items), MAX_RECIPIENTS)
        # The first recipients are the ones kept. The sweeper hands on in number order what it
        # can lock, and skips an item still held by the receiver to the next pass, so the tap
        # queue's order is not the order of the recipients.
        self.assertEqual(sorted(self.root.item(n, TAP_QUEUE)[3] for n in items),
                         sorted("r%d@y.example" % i for i in range(MAX_RECIPIENTS)))
        self.assertEqual(
            self.gate.count_lines(r"Error: GetRcptListItemCount, too large$"), MAX_RECIPIENTS - 32)
        self.assertLess(self.gate.rss_kb() - rss_before, 10000)

    def test_over_long_and_binary_lines(self):
        sock = self.connect()
        read_reply(sock)
        # A 100 kB line is read in pieces of 511 bytes, each answered as a command.
        sock.sendall(b"X" * 100000 + b"\r\n")
        pieces = -(-100002 // 511)
        replies = [read_reply(sock) for _ in range(pieces)]
        self.assertEqual(set(replies), {b"502 Command not implemented\r\n"})
        sock.sendall(b"NO\x00OP\xff\r\nMAIL FROM:<a@x.example>\r\nRCPT TO:<b@y.example>\r\nDATA\r\n")
        self.assertEqual(read_reply(sock), b"502 Command not implemented\r\n")
        self.assertEqual(read_reply(sock)[:3], b"250")
        self.assertEqual(read_reply(sock)[:3], b"250")
        self.assertEqual(read_reply(sock)[:3], b"354")
        body = (b"Subject: bin\r\n\r\n\x00\x01\x02\xfe\xff\r\nlone\nLF\r\n"
                + b"L" * 2000 + b".\r\n" + b"\r\n".join(b"%d" % i for i in range(2000)) + b"\r\n")
        sock.sendall(body + b".\r\n")
        self.assertEqual(read_reply(sock), b"250 Mail Received OK\r\n")
        self.received(1)
        text = self.root.item(1, TAP_QUEUE)[5]
        at = text.index(b"Message-ID: <")
        end = text.index(b"\r\n", at) + 2
        # Stored as sent, but for the bare LF, which is stored as a line end of its own.
        self.assertEqual(text[:at] + text[end:], body.replace(b"lone\nLF", b"lone\r\nLF") + b".\r\n")
        self.assert_still_serving()

    def test_client_silent_in_the_middle_of_data(self):
        sock = self.connect()
        read_reply(sock)
        sock.sendall(b"MAIL FROM:<a@x.example>\r\nRCPT TO:<b@y.example>\r\n"
                     b"RCPT TO:<c@y.example>\r\nDATA\r\nSubject: stalled\r\n\r\nhalf")
        for _ in range(4):
            read_reply(sock)
        self.assertTrue(wait_until(lambda: self.root.items() == [1]))
        # The 30-second receive time-out ends the transfer; nothing of it is kept.
        self.assertEqual(read_reply(sock, 45), b"554 Transaction failed\r\n")
        self.gate.wait_for_line(r"SMTP Server: \S+ SMTPDATA error$")
        self.assertEqual(self.root.items(), [])
        self.assertEqual(self.root.items("stat"), [])
        self.assert_still_serving()


if __name__ == "__main__":
    unittest.main()
