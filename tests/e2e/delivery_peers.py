"""Far sides for delivery tests: Postfix's smtp-sink as the receiving server, and send-queue
items written the way the sweeper leaves them.

    sink = SmtpSink(self, root.join("dumps"))          # stopped (by pid) when the test ends
    root.write_config(OutboundGatewayAddress=sink.address, OutboundPort=sink.port)
    dumps = sink.wait_for_dumps(1)                      # transactions, dots taken out again
"""
import os
import random
import socket
import struct
import subprocess
import time

from thtest import wait_until

SINK_PATHS = ("/usr/sbin/smtp-sink", "/usr/lib/postfix/sbin/smtp-sink")


def find_smtp_sink():
    for path in SINK_PATHS:
        if os.access(path, os.X_OK):
            return path
    return None


def _free_port(address):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def _accepts(address, port):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


class SmtpSink:
    """One smtp-sink process on an address of its own in 127.0.0.0/8, dumping each
    transaction into `dump_folder`. `options` are smtp-sink's own (such as -f RCPT -B ...)."""

    def __init__(self, test, dump_folder, options=(), count=False):
        program = find_smtp_sink()
        if program is None:
            test.skipTest("smtp-sink (package postfix) is not installed")
        self.dumps = dump_folder
        os.makedirs(dump_folder, exist_ok=True)
        os.chmod(dump_folder, 0o777)  # the sink writes as nobody
        parent = os.path.dirname(dump_folder)
        os.chmod(parent, os.stat(parent).st_mode | 0o711)
        self.proc = None
        for _ in range(3):
            self.address = "127.79.%d.%d" % (random.randint(1, 250), random.randint(1, 250))
            self.port = _free_port(self.address)
            args = [program]
            if os.geteuid() == 0:
                args += ["-u", "nobody"]
            args += list(options) + ["-d", os.path.join(dump_folder, "m."),
                                     "%s:%d" % (self.address, self.port), "100"]
            self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            if wait_until(lambda: self.proc.poll() is not None or
                          _accepts(self.address, self.port), 5):
                time.sleep(0.1)  # a sink that could not bind ends at once
                if self.proc.poll() is None:
                    break
            self.stop()
        else:
            test.fail("smtp-sink did not start")
        test.addCleanup(self.stop)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def dump_files(self):
        try:
            names = os.listdir(self.dumps)
        except FileNotFoundError:
            return []
        return sorted(os.path.join(self.dumps, n) for n in names if n.startswith("m."))

    def wait_for_dumps(self, count, seconds=20.0):
        """The dumped transactions (text) once `count` exist, or those there are. A dump's
        file may exist before the sink has written its text: an empty one is not done."""
        def written():
            files = self.dump_files()
            return len(files) >= count and all(os.path.getsize(p) > 0 for p in files)
        wait_until(written, seconds)
        out = []
        for path in self.dump_files():
            with open(path, "rb") as f:
                out.append(f.read().decode("utf-8", "replace"))
        return out


def write_send_item(root, number, recipient, sender, text, attempts=0, kind=0, stamp=None):
    """Writes <root>/que/<number> as the sweeper leaves it: under a hidden name first, then
    renamed into place, so the delivery never sees half an item."""
    rec = recipient.encode() + b"\0"
    snd = sender.encode() + b"\0"
    header = struct.pack("<IIII", int(time.time()) if stamp is None else stamp, attempts, kind,
                         len(rec)) + rec + struct.pack("<I", len(snd)) + snd
    folder = os.path.join(root, "que")
    hidden = os.path.join(folder, ".writing.%d" % number)
    with open(hidden, "wb") as f:
        f.write(header + text)
    os.rename(hidden, os.path.join(folder, str(number)))


def mailbox_files(root, mailbox):
    folder = os.path.join(root, "popstore", str(mailbox))
    try:
        return sorted(int(n) for n in os.listdir(folder) if n.isdigit())
    except FileNotFoundError:
        return []
