"""What a running thgate takes in and from whom: the EHLO dialogue with a real client and the
configured size limit, the relay guard seen from a host that is not loopback (a network namespace of its own),
and the smuggling pattern (a bare-LF "." line inside the data) sent through the gateway to a
server that keeps its bytes, which must see one message."""
import os
import shutil
import socket
import subprocess
import threading
import unittest
import uuid

from thtest import DataRoot, start_gate, wait_until

SERVER_NAME = "gate.example"


def read_reply(sock, timeout=10.0):
    """One whole reply, every line of a multi-line one, as bytes; b"" when the peer closed."""
    sock.settimeout(timeout)
    data = b""
    while True:
        chunk = sock.recv(1)
        if not chunk:
            return data
        data += chunk
        if data.endswith(b"\r\n"):
            last = data[:-2].rsplit(b"\r\n", 1)[-1]
            if len(last) < 4 or last[3:4] != b"-":
                return data


class Dialogue(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.gate, self.port = start_gate(self, self.root, LocalDomain0=SERVER_NAME, LogSMTPIn=1,
                                          SMTPMaxMessageSize=64)

    def test_swaks_ehlo_pipelined_session(self):
        if shutil.which("swaks") is None:
            self.skipTest("swaks is not installed")
        run = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--pipeline", "--from", "a@x.example",
             "--to", "b@y.example", "--header", "Subject: pipelined", "--body", "hello"],
            capture_output=True, timeout=60)
        out = run.stdout.decode()
        self.assertEqual(run.returncode, 0, out + run.stderr.decode())
        for line in ("<-  250-gate.example", "<-  250-SIZE 65536", "<-  250-8BITMIME",
                     "<-  250 PIPELINING", "<-  250 Mail Received OK"):
            self.assertIn(line, out)
        self.assertNotIn("ENHANCEDSTATUSCODES", out)
        self.gate.wait_for_line(r"^SMTP Server: \S+ Mail received OK from 127\.0\.0\.1$")


class RawSink:
    """A receiving server that keeps the bytes of each DATA phase exactly as they came, ending the
    data only at CR LF "." CR LF. Tests then read those bytes the way a lenient server would."""

    def __init__(self, test):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.data = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        test.addCleanup(self.listener.close)

    def _serve(self):
        conn, _ = self.listener.accept()
        with conn:
            conn.settimeout(30)
            f = conn.makefile("rb")
            conn.sendall(b"220 raw.example ready\r\n")
            while True:
                line = f.readline()
                if not line or line.upper().startswith(b"QUIT"):
                    conn.sendall(b"221 bye\r\n")
                    return
                if line.upper().startswith(b"DATA"):
                    conn.sendall(b"354 go on\r\n")
                    data = b""
                    while not data.endswith(b"\r\n.\r\n"):
                        chunk = f.readline()
                        if not chunk:
                            return
                        data += chunk
                    self.data.append(data)
                conn.sendall(b"250 ok\r\n")


SMUGGLING_DATA = (b"Subject: smuggling\r\n\r\nfirst\n.\nMAIL FROM:<evil@x.test>\r\n"
                  b"RCPT TO:<victim@y.test>\r\nDATA\r\nSubject: smuggled\r\n\r\n"
                  b"smuggled text\n.\r\nsecond try\r.\r\nlast\r\n.\r\n")


class SmugglingThroughTheGateway(unittest.TestCase):
    """A bare-LF "." line inside the data ends nothing: the server behind the gateway gets the
    one message, the would-be second transaction as its text. The receiving server keeps the
    bytes, so the test sees what a lenient server would make of them."""

    def relay(self, address, port):
        """Sends the smuggling pattern through a gateway that delivers to `address`:`port`."""
        root = DataRoot(self, prefix="thintake.")
        gate, gate_port = start_gate(self, root, OutboundGatewayAddress=address,
                                     OutboundPort=port, OutboundGatewayType=0, LogSMTPOut=1)
        sock = socket.create_connection(("127.0.0.1", gate_port), timeout=10)
        self.addCleanup(sock.close)
        read_reply(sock)
        for command in (b"EHLO smuggler.example", b"MAIL FROM:<a@x.test>",
                        b"RCPT TO:<b@y.test>", b"DATA"):
            sock.sendall(command + b"\r\n")
            self.assertNotEqual(read_reply(sock)[:1], b"5", command)
        sock.sendall(SMUGGLING_DATA + b"QUIT\r\n")
        self.assertEqual(read_reply(sock), b"250 Mail Received OK\r\n")
        self.assertEqual(read_reply(sock), b"221 Goodbye\r\n")
        gate.wait_for_line(r"^SMTP Agent: \S+ Mail sent$", 30)

    def test_no_line_the_gateway_sends_can_end_the_data_early(self):
        sink = RawSink(self)
        self.relay("127.0.0.1", sink.port)
        self.assertTrue(wait_until(lambda: len(sink.data) == 1))
        data = sink.data[0]
        # Every line ends in CR LF, so a server that also takes a bare LF or CR as a line end
        # reads the same lines; and among them "." comes only at the end.
        self.assertNotRegex(data, rb"[^\r]\n|\r[^\n]")
        lines = data.split(b"\r\n")
        self.assertEqual(lines.index(b"."), len(lines) - 2, data)
        # The would-be second transaction and the rest arrive as the one message's text.
        for text in (b"\r\nfirst\r\n..\r\nMAIL FROM:<evil@x.test>\r\nRCPT TO:<victim@y.test>\r\n",
                     b"\r\nsmuggled text\r\n..\r\n", b"\r\nsecond try\r\n..\r\nlast\r\n.\r\n"):
            self.assertIn(text, data)


def _run(*args):
    return subprocess.run(args, capture_output=True, timeout=30)


class RelayFromAnotherHost(unittest.TestCase):
    """A client on 10.x in a network namespace of its own, joined to this one by a veth pair."""

    def setUp(self):
        if shutil.which("ip") is None or os.geteuid() != 0:
            self.skipTest("needs root and the ip command for a network namespace")
        self.ns = "thintake" + uuid.uuid4().hex[:8]
        if _run("ip", "netns", "add", self.ns).returncode != 0:
            self.skipTest("ip netns is not permitted here")
        self.addCleanup(_run, "ip", "netns", "del", self.ns)
        host, peer = "thh" + self.ns[-8:], "thp" + self.ns[-8:]
        octet = int(self.ns[-2:], 16)
        self.host_ip, self.client_ip = "10.231.%d.1" % octet, "10.231.%d.2" % octet
        steps = [("ip", "link", "add", host, "type", "veth", "peer", "name", peer),
                 ("ip", "link", "set", peer, "netns", self.ns),
                 ("ip", "addr", "add", self.host_ip + "/30", "dev", host),
                 ("ip", "link", "set", host, "up"),
                 ("ip", "netns", "exec", self.ns, "ip", "addr", "add", self.client_ip + "/30",
                  "dev", peer),
                 ("ip", "netns", "exec", self.ns, "ip", "link", "set", peer, "up")]
        self.addCleanup(_run, "ip", "link", "del", host)
        for step in steps:
            run = _run(*step)
            if run.returncode != 0:
                self.skipTest("cannot set up the veth pair: %s" % run.stderr.decode())
        self.root = DataRoot(self, prefix="thintake.")

    def dialogue(self, port, rcpt):
        """The replies to MAIL and RCPT `rcpt`, sent from inside the namespace."""
        client = (
            "import socket,sys\n"
            "s=socket.create_connection((%r,%d),timeout=10)\n"
            "f=s.makefile('rb')\n"
            "f.readline()\n"
            "for c in (b'HELO far.example',b'MAIL FROM:<a@far.example>',b'RCPT TO:<%s>',b'QUIT'):\n"
            "    s.sendall(c+b'\\r\\n'); sys.stdout.write(f.readline().decode())\n"
            % (self.host_ip, port, rcpt))
        run = _run("ip", "netns", "exec", self.ns, "python3", "-c", client)
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        return run.stdout.decode().split("\r\n")[2]

    def test_relay_needs_a_listed_network(self):
        nets = self.root.join("lists", "relaynets.dat")
        gate, port = start_gate(self, self.root, LocalDomain0="gate.example", LogSMTPIn=1,
                                RelayNetworksFileName=nets)
        self.assertEqual(self.dialogue(port, "x@far.example"), "550 5.7.1 Relaying denied")
        gate.wait_for_line(r"Relaying denied: x@far\.example from %s$" % self.client_ip)
        self.assertEqual(self.dialogue(port, "u@gate.example"), "250 OK  u@gate.example ")
        # The network listed and the configuration reloaded: the same client may relay.
        with open(nets, "w") as f:
            f.write("# the far office\n%s/30\n" % self.client_ip)
        gate.send_signal(1)
        gate.wait_for_line(r"configuration reloaded")
        self.assertEqual(self.dialogue(port, "x@far.example"), "250 OK  x@far.example ")


if __name__ == "__main__":
    unittest.main()
