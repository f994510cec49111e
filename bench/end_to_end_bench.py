#!/usr/bin/env python3
"""End-to-end figures: messages per second, CPU time per message and the latency from the
client's "250" to the receiving server's receipt, for the same loads through these roads into
one smtp-sink:

  ceiling  smtp-source straight into smtp-sink (throughput only; --only ceiling)
  thgate   SMTP receiver, ten rules that do not trigger, delivery to the sink (gateway type 0)
  before   the same with a second build (--before-bin-dir), to compare two builds in one run
  postfix  a private Postfix instance (its own configuration and queue folders) relaying

Three loads by default (--loads): "4k" (--messages-4k messages of 4 KB), "1m" (--messages-1m
of 1 MB) and "mime" (--messages-mime multipart messages with a small PDF attachment, base64),
each over --sessions client sessions. The sink dumps each message into a file (in /dev/shm, so
that the sink's own files cost the roads nothing on their file system); the file's modification
time is the receipt time.

CPU per message is the CPU time (user + system) the road's processes spent between the start
of the load and the arrival of its last message, divided by the messages that arrived; the
client and the sink are not counted. thgate: utime + stime of its process (all its threads)
plus cutime + cstime (children it reaped), from /proc/<pid>/stat. Postfix: the same four
fields of the master process (cutime + cstime hold every child that ended and was reaped)
plus utime + stime of every live descendant of the master (smtpd, cleanup, qmgr, smtp,
trivial-rewrite, ...), read before and after the load.

The load client is build/bin/smtp_load (bench/smtp_load.cpp) when it is built: the messages
are made once per load into a file in /dev/shm and sent with a plain SMTP dialogue, and the
client reports each message's "250" time. Python's smtplib (--client python, and always with
--tls) spends more CPU per megabyte than the roads and caps the 1 MB load near 35 msg/s on two
cores. With --repeat K every road runs K times, interleaved, and the medians are printed with
the range of the rates, since single runs on a shared machine vary by tens of percent.

With --tls every hop speaks STARTTLS: the client to the road (smtplib's starttls), and the
road to the receiving server, which is then a small threaded Python SMTP server with STARTTLS
instead of smtp-sink (it keeps each receipt time in memory; its own CPU is not counted). thgate
and Postfix get the same self-signed pair, made with openssl for the run; Postfix relays with
smtp_tls_security_level = may, thgate with its default opportunistic STARTTLS.

Every process this script starts is stopped by its pid. Needs root (Postfix, smtp-sink's -u).

    bench/end_to_end_bench.py --bin-dir build/bin [--before-bin-dir build-before/bin] [--tls]
                              [--client native|python] [--repeat K]
"""
import argparse
import base64
import os
import zlib
import random
import re
import shutil
import signal
import smtplib
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SINK = "/usr/sbin/smtp-sink"
SOURCE = "/usr/sbin/smtp-source"
ID_HEADER = re.compile(rb"^X-Bench-Id: (\d+)$", re.M)


def free_port(address="127.0.0.1"):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def wait_until(predicate, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())


def accepts(address, port):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


def stop_pid(pid, timeout=15.0):
    """SIGTERM, then SIGKILL when the process does not end within `timeout`."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    if not wait_until(lambda: not alive(pid), timeout):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def alive(pid):
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return False
    except ChildProcessError:
        pass  # not our child (the Postfix master): ask the kernel
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split()[2] != "Z"
    except OSError:
        return False


class Sink:
    """smtp-sink on 127.0.0.1, dumping each message into `folder`."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder)
        os.chmod(folder, 0o777)
        self.address, self.port = "127.0.0.1", free_port()
        self.proc = subprocess.Popen(
            [SINK, "-u", "nobody", "-d", os.path.join(folder, "m."),
             "%s:%d" % (self.address, self.port), "1000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: accepts(self.address, self.port), 10):
            raise RuntimeError("smtp-sink did not start")

    def files(self):
        return [os.path.join(self.folder, n) for n in os.listdir(self.folder)
                if n.startswith("m.")]

    def clear(self):
        for path in self.files():
            os.unlink(path)

    def receipts(self):
        """{message id: first receipt time}. Only the head of each file is read: the id is a
        header field, and reading whole megabyte files while the load runs would take CPU
        from the roads being measured."""
        out = {}
        for path in self.files():
            try:
                with open(path, "rb") as f:
                    match = ID_HEADER.search(f.read(16384))
                mtime = os.stat(path).st_mtime
            except OSError:
                continue
            if match:
                n = int(match.group(1))
                out[n] = min(out.get(n, float("inf")), mtime)
        return out

    def stop(self):
        stop_pid(self.proc.pid)


class TlsSink:
    """The receiving server of --tls runs: STARTTLS offered, every message accepted, the receipt
    time of each X-Bench-Id kept. Same questions as Sink (files, receipts, clear, stop)."""

    def __init__(self, cert, key):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.address, self.port = self.listener.getsockname()
        self.lock = threading.Lock()
        self.got = {}
        self.count = 0
        self.encrypted = 0
        self.running = True
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        try:
            conn.settimeout(120)
            f = conn.makefile("rb")
            conn.sendall(b"220 tls sink\r\n")
            tls = False
            while True:
                line = f.readline()
                if not line:
                    return
                verb = line[:4].upper()
                if verb == b"EHLO":
                    conn.sendall(b"250 sink\r\n" if tls else b"250-sink\r\n250 STARTTLS\r\n")
                elif verb == b"STAR":
                    conn.sendall(b"220 go ahead\r\n")
                    conn = self.context.wrap_socket(conn, server_side=True)
                    f = conn.makefile("rb")
                    tls = True
                elif verb == b"DATA":
                    conn.sendall(b"354 go ahead\r\n")
                    head = b""
                    while True:
                        chunk = f.readline()
                        if not chunk or chunk == b".\r\n":
                            break
                        if len(head) < 16384:
                            head += chunk
                    match = ID_HEADER.search(head.replace(b"\r\n", b"\n"))
                    with self.lock:
                        self.count += 1
                        self.encrypted += tls
                        if match:
                            self.got.setdefault(int(match.group(1)), time.time())
                    conn.sendall(b"250 queued\r\n")
                elif verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"250 ok\r\n")
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def files(self):
        with self.lock:
            return [None] * self.count

    def clear(self):
        with self.lock:
            self.got, self.count, self.encrypted = {}, 0, 0

    def receipts(self):
        with self.lock:
            return dict(self.got)

    def stop(self):
        self.running = False
        self.listener.close()


def make_pair(work):
    cert, key = os.path.join(work, "bench.crt"), os.path.join(work, "bench.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    os.chmod(key, 0o644)  # read by Postfix's smtpd and by thgate alike
    return cert, key


def message(n, size):
    head = ("From: load@bench.test\r\nTo: sink@far.test\r\nSubject: bench %d\r\n"
            "X-Bench-Id: %d\r\n\r\n" % (n, n))
    line = "the quick brown fox jumps over the lazy dog %06d\r\n" % n
    body = line * max(1, (size - len(head)) // len(line))
    return head + body


def small_pdf(pages=4):
    """A valid PDF of about 20 KB: `pages` pages of figures in compressed content streams."""
    rng = random.Random(7)
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", None,
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    kids = []
    for p in range(pages):
        text = b"".join(b"BT /F1 10 Tf 40 %d Td (page %d line %d: %d %d %d %d) Tj ET\n"
                        % ((760 - 14 * i, p + 1, i) + tuple(rng.randrange(10 ** 9)
                                                          for _ in range(4)))
                        for i in range(50))
        stream = zlib.compress(text)
        objects.append(b"<< /Length %d /Filter /FlateDecode >>\nstream\n%s\nendstream"
                       % (len(stream), stream))
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                       b"/Resources << /Font << /F1 3 0 R >> >> /Contents %d 0 R >>"
                       % len(objects))
        kids.append(b"%d 0 R" % len(objects))
    objects[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), pages)
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (i, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, xref)
    return bytes(out)


PDF_BASE64 = None


def mime_message(n, size):
    """A short text part and a small PDF attachment, base64 in lines of 76 characters."""
    global PDF_BASE64
    if PDF_BASE64 is None:
        raw = base64.b64encode(small_pdf()).decode()
        PDF_BASE64 = "".join(raw[i:i + 76] + "\r\n" for i in range(0, len(raw), 76))
    return ("From: load@bench.test\r\nTo: sink@far.test\r\nSubject: report %d\r\n"
            "X-Bench-Id: %d\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"=_bench_%d\"\r\n\r\n"
            "--=_bench_%d\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
            "The report is attached.\r\n\r\n"
            "--=_bench_%d\r\nContent-Type: application/pdf; name=\"report-%d.pdf\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"report-%d.pdf\"\r\n\r\n"
            "%s\r\n--=_bench_%d--\r\n" % (n, n, n, n, n, n, n, PDF_BASE64, n))


# name: (message maker, size, default message count)
LOADS = {
    "4k": (message, 4096, 2000),
    "1m": (message, 1024 * 1024, 200),
    "mime": (mime_message, 0, 1000),
}


def proc_times(pid):
    """(own, reaped children) CPU seconds of `pid` from /proc/<pid>/stat, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    tick = os.sysconf("SC_CLK_TCK")
    # After the command: state is fields[0], so utime..cstime (stat fields 14-17) are 11-14.
    utime, stime, cutime, cstime = (int(v) for v in fields[11:15])
    return (utime + stime) / tick, (cutime + cstime) / tick


def descendants(pid):
    """Every live process whose chain of parents leads to `pid`."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(name))
    out, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            if child != pid and child not in out:
                out.append(child)
                todo.append(child)
    return out


def tree_cpu_seconds(pid):
    """CPU seconds of `pid`, the children it reaped, and its live descendants."""
    own = proc_times(pid)
    if own is None:
        return 0.0
    total = own[0] + own[1]
    for child in descendants(pid):
        times = proc_times(child)
        if times is not None:
            total += times[0] + times[1]
    return total


def load_file(work, load, messages, size, make):
    """The load's messages in smtp_load's file format, made once per load in shared memory
    (so writing it costs the roads no disk time)."""
    folder = "/dev/shm" if os.path.isdir("/dev/shm") else work
    path = os.path.join(folder, "th_e2e_%d_%s_%d.load" % (os.getpid(), load, messages))
    if not os.path.exists(path):
        with open(path + ".part", "wb") as f:
            for n in range(1, messages + 1):
                data = make(n, size).encode()
                data = re.sub(rb"(?m)^\.", b"..", data)
                f.write(b"#%d %d\n" % (n, len(data)))
                f.write(data)
        os.rename(path + ".part", path)
        LOAD_FILES.append(path)
    return path


LOAD_FILES = []


def send_load_native(client, path, port, sessions):
    """Sends the load file with the native client; returns ({id: time of its 250}, start)."""
    start = time.time()
    done = subprocess.run([client, "127.0.0.1", str(port), str(sessions), path],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    acked = {}
    for line in done.stdout.decode().splitlines():
        n, t = line.split()
        acked[int(n)] = float(t)
    if done.returncode != 0:
        print("  client errors: %s" % done.stderr.decode().strip()[:300], file=sys.stderr)
    return acked, start


def send_load(port, messages, sessions, size, make=message, tls=False, native=None):
    """Sends the load over `sessions` sessions (with STARTTLS when `tls`); returns ({id: time
    of its 250}, start). `native` = (client program, load file) sends with smtp_load."""
    if native is not None and not tls:
        return send_load_native(native[0], native[1], port, sessions)
    acked = {}
    lock = threading.Lock()
    errors = []
    ids = list(range(1, messages + 1))
    shares = [ids[i::sessions] for i in range(sessions)]

    def session(share):
        try:
            smtp = smtplib.SMTP("127.0.0.1", port, timeout=60)
            if tls:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
                smtp.ehlo("bench.test")
                smtp.starttls(context=context)
                smtp.ehlo("bench.test")
            else:
                smtp.helo("bench.test")
            for n in share:
                smtp.sendmail("load@bench.test", ["sink@far.test"], make(n, size))
                t = time.time()
                with lock:
                    acked[n] = t
            smtp.quit()
        except (OSError, smtplib.SMTPException) as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=session, args=(s,)) for s in shares]
    start = time.time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        print("  client errors: %s" % errors[:3], file=sys.stderr)
    return acked, start


def figures(name, sink, acked, start, limit_s, cpu=None):
    """(name, arrived, msg/s, CPU ms per message, p50 ms, p99 ms). `cpu` gives the road's CPU
    seconds so far; it is read again once the last message has arrived."""
    wait_until(lambda: len(sink.files()) >= len(acked), limit_s, 0.2)
    # A file counted may still be written: wait for every id to be readable in it.
    wait_until(lambda: len(sink.receipts()) >= len(acked), 10, 0.2)
    cpu_ms = None
    if cpu is not None:
        used = cpu[1]() - cpu[0]
    receipts = sink.receipts()
    arrived = [n for n in acked if n in receipts]
    if not arrived:
        return (name, 0, 0.0, None, None, None)
    if cpu is not None:
        cpu_ms = used * 1000 / len(arrived)
    end = max(receipts[n] for n in arrived)
    latencies = sorted(max(0.0, receipts[n] - acked[n]) * 1000 for n in arrived)
    p50 = statistics.median(latencies)
    p99 = latencies[min(len(latencies) - 1, int(round(0.99 * (len(latencies) - 1))))]
    return (name, len(arrived), len(arrived) / (end - start), cpu_ms, p50, p99)


def native_load(args, work, load):
    """(client, load file) when the native client sends this run, else None."""
    if args.client != "native" or args.tls:
        return None
    make, size, count = load_args(args, load)
    return args.client_path, load_file(work, load, count, size, make)


def load_args(args, load):
    make, size, default_count = LOADS[load]
    count = getattr(args, "messages_" + load) or default_count
    return make, size, count


QUIET_RULES = "".join("""
[Rule%d]
Comment=quiet %d
Enabled=1
AllIncoming=1
AllOutgoing=1
ScanSubject=1
ScanBody=1
BlockKeywords=never-present-word-%d
Action=1
QuarantineArea=content
""" % (n, n, n) for n in range(10))


def run_thgate(name, bin_dir, work, sink, args, load):
    make, size, count = load_args(args, load)
    root = tempfile.mkdtemp(prefix="gate.", dir=work)
    port = free_port()
    with open(os.path.join(root, "tarnhold.dat"), "w") as f:
        f.write("[Defaults]\nSMTPInPort=%d\nOutboundGatewayAddress=%s\nOutboundPort=%d\n"
                "OutboundGatewayType=0\n" % (port, sink.address, sink.port))
        if args.tls:
            f.write("TLSCertificateFile=%s\nTLSKeyFile=%s\n" % args.pair)
        f.write(QUIET_RULES)
    out = open(os.path.join(root, "thgate.out"), "wb")
    proc = subprocess.Popen([os.path.join(bin_dir, "thgate"), "--root", root, "--headless"],
                            stdout=out, stderr=subprocess.STDOUT)
    try:
        if not wait_until(lambda: accepts("127.0.0.1", port), 30):
            raise RuntimeError("thgate did not start; see %s" % out.name)
        read_cpu = lambda: tree_cpu_seconds(proc.pid)
        cpu_start = read_cpu()
        acked, start = send_load(port, count, args.sessions, size, make, args.tls,
                                 native_load(args, work, load))
        return figures(name, sink, acked, start, args.limit, (cpu_start, read_cpu))
    finally:
        stop_pid(proc.pid)
        out.close()
        shutil.rmtree(root, ignore_errors=True)


POSTFIX_MAIN = """compatibility_level = 3.6
queue_directory = {d}/queue
data_directory = {d}/data
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = loopback-only
inet_protocols = ipv4
myhostname = bench.local
mydestination =
relayhost = [{sink}]:{sink_port}
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
maillog_file_prefixes = /var, /dev/stdout, {d}
maillog_file = {d}/maillog
alias_maps =
alias_database =
local_transport = error:no local delivery
"""


POSTFIX_TLS = """smtpd_tls_cert_file = {cert}
smtpd_tls_key_file = {key}
smtpd_tls_security_level = may
smtp_tls_security_level = may
"""


def run_postfix(work, sink, args, load):
    make, size, count = load_args(args, load)
    d = tempfile.mkdtemp(prefix="postfix.", dir=work)
    for sub in ("etc", "queue", "data"):
        os.makedirs(os.path.join(d, sub))
    os.chmod(d, 0o755)
    shutil.chown(os.path.join(d, "data"), "postfix")
    os.chmod(d, 0o755)
    port = free_port()
    with open("/etc/postfix/master.cf") as f:
        master = re.sub(r"^smtp(\s+)inet", "127.0.0.1:%d\\1inet" % port, f.read(), count=1,
                        flags=re.M)
    with open(os.path.join(d, "etc", "master.cf"), "w") as f:
        f.write(master)
    with open(os.path.join(d, "etc", "main.cf"), "w") as f:
        f.write(POSTFIX_MAIN.format(d=d, sink=sink.address, sink_port=sink.port))
        if args.tls:
            f.write(POSTFIX_TLS.format(cert=args.pair[0], key=args.pair[1]))
    subprocess.run(["postfix", "-c", os.path.join(d, "etc"), "start"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid_file = os.path.join(d, "queue", "pid", "master.pid")
    master_pid = None
    try:
        if not wait_until(lambda: os.path.exists(pid_file) and accepts("127.0.0.1", port), 30):
            raise RuntimeError("postfix did not start; see %s/maillog" % d)
        with open(pid_file) as f:
            master_pid = int(f.read().strip())
        read_cpu = lambda: tree_cpu_seconds(master_pid)
        cpu_start = read_cpu()
        acked, start = send_load(port, count, args.sessions, size, make, args.tls,
                                 native_load(args, work, load))
        return figures("postfix", sink, acked, start, args.limit, (cpu_start, read_cpu))
    finally:
        if master_pid is None and os.path.exists(pid_file):
            with open(pid_file) as f:
                master_pid = int(f.read().strip())
        if master_pid is not None:
            stop_pid(master_pid)
        shutil.rmtree(d, ignore_errors=True)


def run_ceiling(sink, args, load):
    _, size, count = load_args(args, load)
    if load == "mime":
        size = len(mime_message(1, 0))
    start = time.time()
    subprocess.run([SOURCE, "-s", str(args.sessions), "-m", str(count), "-l",
                    str(size), "-f", "load@bench.test", "-t", "sink@far.test",
                    "%s:%d" % (sink.address, sink.port)], check=True)
    wait_until(lambda: len(sink.files()) >= count, args.limit, 0.2)
    files = sink.files()
    end = max(os.stat(p).st_mtime for p in files) if files else time.time()
    return ("smtp-source", len(files), len(files) / (end - start), None, None, None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", default=os.path.join(os.path.dirname(__file__),
                                                          "../build/bin"))
    parser.add_argument("--before-bin-dir", help="a second build, run as the road 'before'")
    parser.add_argument("--loads", default="4k,1m,mime", help="comma list of 4k, 1m, mime")
    parser.add_argument("--messages-4k", type=int)
    parser.add_argument("--messages-1m", type=int)
    parser.add_argument("--messages-mime", type=int)
    parser.add_argument("--sessions", type=int, default=10)
    parser.add_argument("--limit", type=float, default=300, help="seconds to wait for arrival")
    parser.add_argument("--only", choices=("ceiling", "before", "thgate", "postfix"),
                        action="append")
    parser.add_argument("--tls", action="store_true", help="STARTTLS on every hop")
    parser.add_argument("--client", choices=("native", "python"),
                        help="load client: smtp_load from --bin-dir (the default when built; "
                        "never with --tls) or Python's smtplib")
    parser.add_argument("--repeat", type=int, default=1,
                        help="run every road this many times, interleaved; medians are printed")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("end_to_end_bench: needs root (Postfix and smtp-sink's -u)")
    args.client_path = os.path.join(args.bin_dir, "smtp_load")
    if args.client is None:
        args.client = "native" if os.access(args.client_path, os.X_OK) and not args.tls \
            else "python"
    if args.client == "native" and not os.access(args.client_path, os.X_OK):
        sys.exit("end_to_end_bench: %s is not built" % args.client_path)
    loads = [l for l in args.loads.split(",") if l]
    for load in loads:
        if load not in LOADS:
            sys.exit("end_to_end_bench: unknown load %r" % load)
    roads = args.only or (["before"] if args.before_bin_dir else []) + ["thgate", "postfix"]
    if "before" in roads and not args.before_bin_dir:
        sys.exit("end_to_end_bench: the road 'before' needs --before-bin-dir")
    random.seed(1)
    work = tempfile.mkdtemp(prefix="th_e2e_bench.")
    os.chmod(work, 0o755)
    runs = {}
    if args.tls:
        if "ceiling" in roads:
            sys.exit("end_to_end_bench: smtp-source speaks no TLS; no ceiling with --tls")
        args.pair = make_pair(work)
        sink = TlsSink(*args.pair)
    else:
        # The sink's dumps live in memory: the sink is not what is measured, and files it
        # makes and removes on the spools' file system would tax whichever road runs next.
        dumps = tempfile.mkdtemp(prefix="th_e2e_dumps.", dir="/dev/shm") \
            if os.path.isdir("/dev/shm") else os.path.join(work, "dumps")
        os.chmod(dumps, 0o755)
        sink = Sink(os.path.join(dumps, "dumps"))
    try:
        for repeat in range(max(1, args.repeat)):
            for load in loads:
                for road in roads:
                    sink.clear()
                    print("running %s, load %s (%d of %d) ..." % (road, load, repeat + 1,
                                                                  args.repeat), file=sys.stderr)
                    if road == "ceiling":
                        row = run_ceiling(sink, args, load)
                    elif road == "thgate":
                        row = run_thgate("thgate", args.bin_dir, work, sink, args, load)
                    elif road == "before":
                        row = run_thgate("before", args.before_bin_dir, work, sink, args, load)
                    else:
                        row = run_postfix(work, sink, args, load)
                    print("  %s" % " ".join("-" if v is None else
                                            ("%.1f" % v if isinstance(v, float) else str(v))
                                            for v in row), file=sys.stderr)
                    runs.setdefault((load, row[0]), []).append(row)
                    if args.tls:
                        print("  %s: %d of %d messages reached the sink inside TLS"
                              % (road, sink.encrypted, sink.count), file=sys.stderr)
    finally:
        sink.stop()
        shutil.rmtree(work, ignore_errors=True)
        if not args.tls:
            shutil.rmtree(os.path.dirname(sink.folder), ignore_errors=True)
        for path in LOAD_FILES:
            try:
                os.unlink(path)
            except OSError:
                pass

    def median(values):
        values = [v for v in values if v is not None]
        return statistics.median(values) if values else None

    rows = []
    for (load, name), group in runs.items():
        rates = [r[2] for r in group]
        rows.append((load, name, min(r[1] for r in group), median(rates),
                     median([r[3] for r in group]), median([r[4] for r in group]),
                     median([r[5] for r in group]), min(rates), max(rates)))
    print("end-to-end over %d sessions, client %s%s; loads: %s" % (
        args.sessions, args.client, ", STARTTLS on every hop" if args.tls else "", ", ".join(
        "%s = %d messages" % (l, load_args(args, l)[2]) for l in loads)))
    if args.repeat > 1:
        print("medians of %d runs per road; msg/s range in brackets" % args.repeat)
    print("%-6s %-12s %8s %9s %11s %9s %9s %s" % ("load", "road", "arrived", "msg/s",
                                                   "CPU ms/msg", "p50 ms", "p99 ms",
                                                   "range" if args.repeat > 1 else ""))
    fmt = lambda v: "-" if v is None else "%.1f" % v
    for load, name, arrived, rate, cpu_ms, p50, p99, low, high in rows:
        spread = "[%.1f-%.1f]" % (low, high) if args.repeat > 1 else ""
        print("%-6s %-12s %8d %9.1f %11s %9s %9s %s" % (load, name, arrived, rate, fmt(cpu_ms),
                                                         fmt(p50), fmt(p99), spread))
    postfix = {r[0]: r for r in rows if r[1] == "postfix"}
    for load, name, arrived, rate, cpu_ms, p50, p99, low, high in rows:
        base = postfix.get(load)
        if name == "postfix" or base is None or not base[3]:
            continue
        cpu_ratio = "-" if cpu_ms is None or not base[4] else "%.2f" % (cpu_ms / base[4])
        print("%-6s %-12s %.2fx postfix msg/s, %sx postfix CPU per message"
              % (load, name, rate / base[3], cpu_ratio))


if __name__ == "__main__":
    main()
