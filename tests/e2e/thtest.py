"""Shared harness for end-to-end tests: thgate as a real process on a temporary data root.

    root = DataRoot(self)                      # removed when the test ends
    root.write_config(SMTPInPort=port)         # <root>/tarnhold.dat, [Defaults] first
    gate = Gate(self, root.path)               # stopped (by pid) when the test ends
    gate.start()                               # waits for "load: ... OK" on stdout
    gate.wait_for_line(r"SMTP Server: .* Mail received OK$")
    code = gate.stop()                         # SIGTERM, returns the exit code

Every wait has a deadline; a test never sleeps to synchronise.
"""
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

BIN_DIR = os.environ.get("TH_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
THGATE = os.path.join(BIN_DIR, "thgate")
READY_LINE = r"^load: \d\d:\d\d:\d\d OK$"


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port():
    """A TCP port that nothing uses right now, chosen below the kernel's range of ephemeral
    ports, so that the sockets other tests bind to port 0 cannot take it in the meantime."""
    high = min(_ephemeral_low(), 65536) - 1
    for _ in range(200):
        port = random.randint(max(1024, high - 12000), high)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, seconds=10.0, step=0.02):
    """Polls `predicate` until it is true (returns True) or the deadline passes (False)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())


class DataRoot:
    """A fresh data root, removed when the test case ends."""

    def __init__(self, test, prefix="thgate."):
        self.path = tempfile.mkdtemp(prefix=prefix)
        test.addCleanup(shutil.rmtree, self.path, ignore_errors=True)

    def join(self, *parts):
        return os.path.join(self.path, *parts)

    def write_config(self, sections="", **defaults):
        """Writes tarnhold.dat: [Defaults] with the given keys, then `sections` as they stand."""
        lines = ["[Defaults]"] + ["%s=%s" % (k, v) for k, v in defaults.items()]
        with open(self.join("tarnhold.dat"), "w") as f:
            f.write("\n".join(lines) + "\n" + sections)

    def read(self, *parts):
        with open(self.join(*parts), "rb") as f:
            return f.read()

    def tap(self):
        """Load distribution to the folder <root>/tap: the sweeper then hands every received item
        on unchanged, with its source file, as tap/queproc/1, 2, ... in the order received, so a
        test can look at what the receiver wrote. Returns the [Defaults] keys that turn it on."""
        for folder in ("queproc", "stat"):
            os.makedirs(self.join("tap", folder), exist_ok=True)
        with open(self.join("tap.lst"), "w") as f:
            f.write(self.join("tap") + "\n")
        return {"EnableClustering": 1, "ClusterFileName": self.join("tap.lst")}

    def items(self, folder="queproc"):
        """Item numbers in a spool folder, ascending."""
        try:
            names = os.listdir(self.join(folder))
        except FileNotFoundError:
            return []
        return sorted(int(n) for n in names if n.isdigit() and not n.startswith("0"))

    def item(self, number, folder="queproc"):
        """(stamp, attempts, return kind, recipient, sender, text) of a queue item."""
        data = self.read(folder, str(number))
        stamp, attempts, kind, l1 = struct.unpack_from("<IIII", data, 0)
        recipient = data[16:16 + l1].rstrip(b"\0").decode()
        (l2,) = struct.unpack_from("<I", data, 16 + l1)
        at = 20 + l1
        sender = data[at:at + l2].rstrip(b"\0").decode()
        return stamp, attempts, kind, recipient, sender, data[at + l2:]


def start_gate(test, root, sections="", args=(), attempts=5, **defaults):
    """Writes the configuration with a free SMTPInPort (plus `defaults`) and starts thgate on
    it; when another program took the port in between, tries again on another. Returns
    (gate, port)."""
    for _ in range(attempts):
        port = free_port()
        root.write_config(sections, SMTPInPort=port, **defaults)
        gate = Gate(test, root.path, *args).start()
        if gate.listening():
            return gate, port
        gate.stop()
    test.fail("no free port for the SMTP receiver")


class Gate:
    """One thgate process. Its stdout lines are collected as they come."""

    def __init__(self, test, root, *args, headless=True):
        self.test = test
        self.root = root
        self.args = list(args)
        self.headless = headless
        self.proc = None
        self.env = {}  # added to the environment of the process
        self.lines = []
        self.stderr = b""
        self._cond = threading.Condition()
        test.addCleanup(self.kill)

    def start(self, wait_ready=True, timeout=15.0):
        cmd = [THGATE, "--root", self.root] + (["--headless"] if self.headless else []) + self.args
        # Lines carry journal priorities only under systemd: a test run from a service must
        # not see them unless it sets them itself in `self.env`.
        env = {k: v for k, v in os.environ.items() if k not in ("JOURNAL_STREAM", "INVOCATION_ID")}
        env.update(self.env)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._err_reader = threading.Thread(target=self._read_err, daemon=True)
        self._err_reader.start()
        if wait_ready:
            self.wait_for_line(READY_LINE, timeout)
        return self

    def listening(self):
        """False when a server reported during start-up that it cannot listen."""
        with self._cond:
            err = bytes(self.stderr)
        return self.find_line(r"cannot listen on port") is None and b"cannot listen" not in err

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()

    def _read_err(self):
        for raw in self.proc.stderr:
            with self._cond:
                self.stderr += raw

    def wait_for_line(self, pattern, timeout=10.0, start=0):
        """The first stdout line from index `start` on that matches the regular expression
        `pattern`; fails the test when none comes within `timeout` seconds."""
        found = self.find_line(pattern, timeout, start)
        if found is None:
            self.test.fail("no line matching %r within %.0fs; got:\n%s\nstderr: %s"
                           % (pattern, timeout, "\n".join(self.lines[-40:]), self.stderr))
        return found

    def find_line(self, pattern, timeout=0.0, start=0):
        """Like wait_for_line, but None when no such line came."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines[start:]:
                    if regex.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and not self._reader.is_alive():
                    return None
                self._cond.wait(min(left, 0.2))

    def count_lines(self, pattern):
        regex = re.compile(pattern)
        with self._cond:
            return sum(1 for line in self.lines if regex.search(line))

    def send_signal(self, number):
        os.kill(self.proc.pid, number)

    def stop(self, number=signal.SIGTERM, timeout=10.0):
        """Sends `number` and waits for the process; returns its exit code."""
        self.send_signal(number)
        return self.proc.wait(timeout)

    def wait(self, timeout=10.0):
        return self.proc.wait(timeout)

    def kill(self):
        """Ends the process by its pid if it still runs, and closes its pipes (cleanup)."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        self._reader.join(10)
        self._err_reader.join(10)
        for pipe in (self.proc.stdout, self.proc.stderr):
            pipe.close()

    def rss_kb(self):
        """Resident memory of the process in kB."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0
