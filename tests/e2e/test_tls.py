"""TLS of a running thgate with real clients: swaks uses STARTTLS on the receiver (a raw socket
what comes around it) and curl uses STLS on the POP3 server. The certificate pair is made for
each test with openssl. STARTTLS in the delivery is driven in the transport unit tests.
"""
import os
import shutil
import signal
import socket
import ssl
import subprocess
import unittest

from thtest import DataRoot, free_port, start_gate, wait_until

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
        self.start(MetricsInterval=1, **self.root.tap())
        run = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--tls", "--from", "a@x.test",
             "--to", "b@y.test", "--body", "sent with swaks over TLS"],
            capture_output=True, timeout=60)
        out = run.stdout.decode() + run.stderr.decode()
        self.assertEqual(run.returncode, 0, out)
        self.assertIn("TLS started", out)
        self.gate.wait_for_line(r"^SMTP Server: \S+ TLS started: TLSv1\.[23] \S+$")
        self.assertTrue(wait_until(lambda: self.root.items("tap/queproc") != [], 20))
        # The metrics count the session among the TLS ones.
        tls_line = 'tarnhold_sessions_total{service="smtp_in",security="tls"} 1'
        self.assertTrue(wait_until(lambda: tls_line in self.metrics(), 20), self.metrics())

    def metrics(self):
        try:
            with open(self.root.join("logs", "tarnhold.prom")) as f:
                return f.read()
        except OSError:
            return ""

    def test_commands_behind_starttls_are_dropped_and_the_session_starts_afresh(self):
        self.start()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as raw:
            f = raw.makefile("rb")
            smtp_reply(f)
            raw.sendall(b"EHLO c.test\r\n")
            smtp_reply(f)
            raw.sendall(b"STARTTLS\r\nRSET\r\n")
            self.assertEqual(smtp_reply(f), ["220 Ready to start TLS"])
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            with context.wrap_socket(raw, server_hostname="localhost") as tls:
                g = tls.makefile("rb")
                tls.sendall(b"MAIL FROM:<a@x.test> FOO=1\r\n")
                # RSET's "250 Ok" first would mean that clear text behind STARTTLS ran; a 555
                # for the unknown parameter, that the EHLO before STARTTLS still counted.
                self.assertEqual(smtp_reply(g), ["250 OK a@x.test"])
                tls.sendall(b"EHLO inside.test\r\n")
                inside = smtp_reply(g)
                self.assertEqual(inside[-1], "250 PIPELINING")
                self.assertFalse([l for l in inside if "STARTTLS" in l])  # not offered again
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

    def test_nothing_said_in_clear_text_survives_stls(self):
        with socket.create_connection(("127.0.0.1", self.pop3_port), timeout=10) as raw:
            f = raw.makefile("rb")
            f.readline()
            raw.sendall(b"STLS\r\nUSER bob\r\n")
            self.assertEqual(f.readline(), b"+OK Begin TLS negotiation\r\n")
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            with context.wrap_socket(raw, server_hostname="localhost") as tls:
                g = tls.makefile("rb")
                tls.sendall(b"PASS Secret\r\n")  # the USER behind STLS was never run
                self.assertEqual(g.readline(), b"-ERR\r\n")

    def test_required_tls_refuses_a_clear_login_from_another_host(self):
        run = self.curl("--interface", "127.0.0.2")
        self.assertNotEqual(run.returncode, 0)
        self.assertNotIn(b"secret body", run.stdout)
        run = self.curl()  # 127.0.0.1 is the local host: clear text stays allowed
        self.assertEqual(run.returncode, 0, run.stderr.decode())


if __name__ == "__main__":
    unittest.main()
