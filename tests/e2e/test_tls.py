"""TLS of a running thgate with real clients and peers: swaks and openssl s_client use STARTTLS
on the receiver, curl uses STLS on the POP3 server, and the delivery hands mail to a small
Python SMTP peer that speaks STARTTLS. The certificate pair is made for each test with openssl.
"""
import os
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import unittest

from delivery_peers import write_send_item
from thtest import DataRoot, Gate, free_port, start_gate, wait_until

USERS = """
[POP3User0]
account=bob
password=Secret
active=1
EmailAddress0=bob
"""

TEXT = b"From: a@x.test\r\nTo: b@y.test\r\nSubject: over tls\r\n\r\nsecret body\r\n.\r\n"


def make_pair(root, name="localhost"):
    """A self-signed certificate and key (PEM) under <root>/tls; returns their paths."""
    folder = root.join("tls")
    os.makedirs(folder, exist_ok=True)
    cert, key = os.path.join(folder, "gate.crt"), os.path.join(folder, "gate.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=" + name, "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=30)
    return cert, key


def smtp_reply(f):
    """The lines of one SMTP reply read from the file object `f`."""
    lines = []
    while True:
        line = f.readline()
        if not line:
            return lines
        lines.append(line.decode().rstrip("\r\n"))
        if len(line) < 4 or line[3:4] != b"-":
            return lines


class TlsSmtpPeer:
    """A one-connection-at-a-time SMTP server on 127.0.0.1 that offers STARTTLS. `broken`: it
    answers STARTTLS with 220 and then speaks clear text, so every handshake fails. Each
    finished message is kept as (data, encrypted)."""

    def __init__(self, test, cert, key, broken=False):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.broken = broken
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.messages = []
        self.connections = 0
        self.tls = None
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        test.addCleanup(self.stop)

    def stop(self):
        self.done.set()
        self.thread.join(10)
        self.listener.close()

    def run(self):
        while not self.done.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.connections += 1
            conn.settimeout(20)
            try:
                self.serve(conn)
            except (OSError, ssl.SSLError):
                pass
            finally:
                conn.close()

    def serve(self, conn):
        try:
            self.converse(conn)
        finally:
            if self.tls is not None:  # the TLS socket took over the connection
                self.tls.close()
            self.tls = None

    def converse(self, conn):
        f = conn.makefile("rb")
        conn.sendall(b"220 peer ready\r\n")
        encrypted = False
        while True:
            line = f.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"EHLO":
                conn.sendall(b"250 peer\r\n" if encrypted else b"250-peer\r\n250 STARTTLS\r\n")
            elif verb == b"STAR":
                conn.sendall(b"220 go ahead\r\n")
                if self.broken:
                    conn.sendall(b"this is not TLS\r\n")
                    return
                conn = self.tls = self.context.wrap_socket(conn, server_side=True)
                f = conn.makefile("rb")
                encrypted = True
            elif verb == b"DATA":
                conn.sendall(b"354 go ahead\r\n")
                data = b""
                while True:
                    chunk = f.readline()
                    if not chunk or chunk == b".\r\n":
                        break
                    data += chunk
                self.messages.append((data, encrypted))
                conn.sendall(b"250 queued\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 ok\r\n")


class ReceiverStartTls(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thtls.")
        self.cert, self.key = make_pair(self.root)

    def start(self, **defaults):
        self.gate, self.port = start_gate(self, self.root, TLSCertificateFile=self.cert,
                                          TLSKeyFile=self.key, **defaults)

    def test_swaks_sends_over_starttls(self):
        if shutil.which("swaks") is None:
            self.skipTest("swaks is not installed")
        self.start(**self.root.tap())
        run = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--tls", "--from", "a@x.test",
             "--to", "b@y.test", "--body", "sent with swaks over TLS"],
            capture_output=True, timeout=60)
        out = run.stdout.decode() + run.stderr.decode()
        self.assertEqual(run.returncode, 0, out)
        self.assertIn("TLS started", out)
        self.gate.wait_for_line(r"^SMTP Server: \S+ TLS started: TLSv1\.[23] \S+$")
        self.assertTrue(wait_until(lambda: self.root.items("tap/queproc") != [], 20))

    def test_openssl_s_client_sees_a_fresh_ehlo_inside_tls(self):
        self.start()
        run = subprocess.run(
            ["openssl", "s_client", "-starttls", "smtp", "-connect", "127.0.0.1:%d" % self.port,
             "-quiet", "-ign_eof"],
            input=b"EHLO inside.test\r\nQUIT\r\n", capture_output=True, timeout=60)
        out = run.stdout.decode(errors="replace")
        self.assertIn("250 PIPELINING\r\n", out, out + run.stderr.decode(errors="replace"))
        self.assertNotIn("STARTTLS", out)  # not offered a second time
        self.assertIn("221 Goodbye", out)

    def test_commands_behind_starttls_are_dropped(self):
        self.start()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as raw:
            f = raw.makefile("rb")
            smtp_reply(f)
            raw.sendall(b"STARTTLS\r\nRSET\r\n")
            self.assertEqual(smtp_reply(f), ["220 Ready to start TLS"])
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            with context.wrap_socket(raw, server_hostname="localhost") as tls:
                g = tls.makefile("rb")
                tls.sendall(b"NOOP\r\n")
                self.assertEqual(smtp_reply(g), ["250 Requested mail action ok, completed"])
        self.assertIsNone(self.gate.find_line(r"NEW Command: RSET"))

    def test_bad_pair_is_one_line_and_no_starttls_and_a_reload_brings_it(self):
        self.gate, self.port = start_gate(self, self.root, TLSCertificateFile=self.cert,
                                          TLSKeyFile=self.root.join("tls", "missing.key"))
        self.gate.wait_for_line(r"^SMTP Server: \S+ Error: STARTTLS and STLS not offered: "
                                r"cannot read the TLS key file .*missing\.key")

        def ehlo():
            with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
                f = s.makefile("rb")
                smtp_reply(f)
                s.sendall(b"EHLO c.test\r\n")
                return smtp_reply(f)

        self.assertNotIn("250 STARTTLS", ehlo())
        self.root.write_config(SMTPInPort=self.port, TLSCertificateFile=self.cert,
                               TLSKeyFile=self.key)
        self.gate.send_signal(signal.SIGHUP)
        self.gate.wait_for_line(r"^SMTP Server: \S+ TLS certificate loaded: ")
        self.assertIn("250 STARTTLS", ehlo())


class DeliveryStartTls(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thtlsout.")
        self.cert, self.key = make_pair(self.root)

    def deliver_to(self, peer, **defaults):
        self.gate, _ = start_gate(self, self.root, OutboundGatewayAddress="127.0.0.1",
                                  OutboundPort=peer.port, OutboundGatewayType=0, **defaults)
        write_send_item(self.root.path, 1, "b@y.test", "a@x.test", TEXT)
        self.gate.wait_for_line(r"^SMTP Agent: \S+ Mail sent$", 30)
        self.assertTrue(wait_until(lambda: self.root.items("que") == []))

    def test_message_travels_encrypted(self):
        peer = TlsSmtpPeer(self, self.cert, self.key)
        self.deliver_to(peer)
        self.gate.wait_for_line(r"^SMTP Agent: \S+ TLS started: TLSv1\.[23] \S+$")
        self.assertEqual(len(peer.messages), 1)
        data, encrypted = peer.messages[0]
        self.assertTrue(encrypted)
        self.assertIn(b"secret body", data)

    def test_failed_handshake_is_tried_once_more_in_clear(self):
        peer = TlsSmtpPeer(self, self.cert, self.key, broken=True)
        self.deliver_to(peer)
        self.gate.wait_for_line(r"^SMTP Agent: \S+ TLS handshake failed: .*; trying once more "
                                r"without TLS$")
        self.assertEqual(peer.connections, 2)
        self.assertEqual([e for _, e in peer.messages], [False])

    def test_verification_refuses_a_self_signed_peer(self):
        peer = TlsSmtpPeer(self, self.cert, self.key)
        self.gate, _ = start_gate(self, self.root, OutboundGatewayAddress="127.0.0.1",
                                  OutboundPort=peer.port, OutboundGatewayType=0,
                                  SMTPOutTLSVerify=1)
        write_send_item(self.root.path, 1, "b@y.test", "a@x.test", TEXT)
        self.gate.wait_for_line(r"^SMTP Agent: \S+ TLS handshake failed: .*self.signed", 30)
        self.assertEqual(peer.messages, [])
        self.assertEqual(self.root.items("que"), [1])


class Pop3Stls(unittest.TestCase):
    def setUp(self):
        if shutil.which("curl") is None:
            self.skipTest("curl is not installed")
        self.root = DataRoot(self, prefix="thtlspop.")
        os.makedirs(self.root.join("popstore", "0"), exist_ok=True)
        with open(self.root.join("popstore", "0", "1"), "wb") as f:
            f.write(TEXT)
        self.cert, self.key = make_pair(self.root)
        self.pop3_port = free_port()
        self.gate, _ = start_gate(self, self.root, USERS, args=("--pop3-port", str(self.pop3_port)),
                                  EnablePOP3Server=1, TLSCertificateFile=self.cert,
                                  TLSKeyFile=self.key, POP3RequireTLS=1)

    def curl(self, *args):
        return subprocess.run(["curl", "-s", "-u", "bob:Secret", "--max-time", "20"] + list(args)
                              + ["pop3://127.0.0.1:%d/1" % self.pop3_port],
                              capture_output=True, timeout=60)

    def test_curl_reads_over_stls(self):
        run = self.curl("--ssl-reqd", "-k", "--interface", "127.0.0.2")
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        self.assertIn(b"secret body", run.stdout)
        self.gate.wait_for_line(r"^POP3 Download: \S+ POP3 server: TLS from 127\.0\.0\.2: TLSv1")

    def test_required_tls_refuses_a_clear_login_from_another_host(self):
        run = self.curl("--interface", "127.0.0.2")
        self.assertNotEqual(run.returncode, 0)
        self.assertNotIn(b"secret body", run.stdout)
        run = self.curl()  # 127.0.0.1 is the local host: clear text stays allowed
        self.assertEqual(run.returncode, 0, run.stderr.decode())


if __name__ == "__main__":
    unittest.main()
