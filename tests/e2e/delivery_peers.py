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


def _identity(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def open_files(pid):
    """(device, inode) of everything process `pid` holds open, sockets included."""
    folder = "/proc/%d/fd" % pid
    held = set()
    try:
        names = os.listdir(folder)
    except OSError:
        return held
    for name in names:
        identity = _identity(os.path.join(folder, name))
        if identity is not None:
            held.add(identity)
    return held


def holds_socket(pid, address, port):
    """True when process `pid` itself holds a TCP socket listening on `address`:`port`."""
    (number,) = struct.unpack("=I", socket.inet_aton(address))
    local = "%08X:%04X" % (number, port)
    inodes = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[1] == local and fields[3] == "0A":
                inodes.add(int(fields[9]))
    return any(inode in inodes for _, inode in open_files(pid))


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
            # Only the sink's own listening socket counts: another program may answer on a
            # shared address. A sink that could not bind ends at once.
            if wait_until(lambda: self.proc.poll() is not None or
                          holds_socket(self.proc.pid, self.address, self.port), 5) \
                    and self.proc.poll() is None:
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

    def finished_dumps(self):
        """The dump files the sink has closed. The sink opens one file per transaction at MAIL
        and closes it at the end of DATA, so a file listed here that it no longer holds open is
        complete (the folder is listed first, the open files looked up after)."""
        files = self.dump_files()
        held = open_files(self.proc.pid) if self.proc.poll() is None else set()
        return [path for path in files if _identity(path) not in held]

    def wait_for_dumps(self, count, seconds=20.0):
        """The finished transactions (text) once `count` are finished, or those there are."""
        found = []

        def enough():
            found[:] = self.finished_dumps()
            return len(found) >= count
        wait_until(enough, seconds)
        out = []
        for path in found:
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
