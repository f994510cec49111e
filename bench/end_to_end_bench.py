#!/usr/bin/env python3
"""End-to-end figures: messages per second and the latency from the client's "250" to the
receiving server's receipt, for the same load through three roads into one smtp-sink:

  ceiling  smtp-source straight into smtp-sink (throughput only)
  thgate   SMTP receiver, ten rules that do not trigger, delivery to the sink (gateway type 0)
  postfix  a private Postfix instance (its own configuration and queue folders) relaying

The load is --messages messages of about --size bytes over --sessions client sessions. The
sink dumps each message into a file; the file's modification time is the receipt time. Every
process this script starts is stopped by its pid. Needs root (Postfix, smtp-sink's -u).

    bench/end_to_end_bench.py --bin-dir build/bin
"""
import argparse
import os
import random
import re
import shutil
import signal
import smtplib
import socket
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
        """{message id: first receipt time}."""
        out = {}
        for path in self.files():
            with open(path, "rb") as f:
                match = ID_HEADER.search(f.read())
            if match:
                n = int(match.group(1))
                out[n] = min(out.get(n, float("inf")), os.stat(path).st_mtime)
        return out

    def stop(self):
        stop_pid(self.proc.pid)


def message(n, size):
    head = ("From: load@bench.test\r\nTo: sink@far.test\r\nSubject: bench %d\r\n"
            "X-Bench-Id: %d\r\n\r\n" % (n, n))
    line = "the quick brown fox jumps over the lazy dog %06d\r\n" % n
    body = line * max(1, (size - len(head)) // len(line))
    return head + body


def send_load(port, messages, sessions, size):
    """Sends the load over `sessions` sessions; returns ({id: time of its 250}, start)."""
    acked = {}
    lock = threading.Lock()
    errors = []
    ids = list(range(1, messages + 1))
    shares = [ids[i::sessions] for i in range(sessions)]

    def session(share):
        try:
            smtp = smtplib.SMTP("127.0.0.1", port, timeout=60)
            smtp.helo("bench.test")
            for n in share:
                smtp.sendmail("load@bench.test", ["sink@far.test"], message(n, size))
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


def figures(name, sink, acked, start, messages, limit_s):
    wait_until(lambda: len(sink.receipts()) >= len(acked), limit_s, 0.2)
    receipts = sink.receipts()
    arrived = [n for n in acked if n in receipts]
    if not arrived:
        return (name, 0, 0.0, None, None)
    end = max(receipts[n] for n in arrived)
    latencies = sorted(max(0.0, receipts[n] - acked[n]) * 1000 for n in arrived)
    p50 = statistics.median(latencies)
    p99 = latencies[min(len(latencies) - 1, int(round(0.99 * (len(latencies) - 1))))]
    return (name, len(arrived), len(arrived) / (end - start), p50, p99)


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


def run_thgate(bin_dir, work, sink, args):
    root = os.path.join(work, "gate")
    os.makedirs(root)
    port = free_port()
    with open(os.path.join(root, "tarnhold.dat"), "w") as f:
        f.write("[Defaults]\nSMTPInPort=%d\nOutboundGatewayAddress=%s\nOutboundPort=%d\n"
                "OutboundGatewayType=0\n%s" % (port, sink.address, sink.port, QUIET_RULES))
    out = open(os.path.join(work, "thgate.out"), "wb")
    proc = subprocess.Popen([os.path.join(bin_dir, "thgate"), "--root", root, "--headless"],
                            stdout=out, stderr=subprocess.STDOUT)
    try:
        if not wait_until(lambda: accepts("127.0.0.1", port), 30):
            raise RuntimeError("thgate did not start; see %s" % out.name)
        acked, start = send_load(port, args.messages, args.sessions, args.size)
        return figures("thgate", sink, acked, start, args.messages, args.limit)
    finally:
        stop_pid(proc.pid)
        out.close()


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


def run_postfix(work, sink, args):
    d = os.path.join(work, "postfix")
    for sub in ("etc", "queue", "data"):
        os.makedirs(os.path.join(d, sub))
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
    subprocess.run(["postfix", "-c", os.path.join(d, "etc"), "start"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid_file = os.path.join(d, "queue", "pid", "master.pid")
    master_pid = None
    try:
        if not wait_until(lambda: os.path.exists(pid_file) and accepts("127.0.0.1", port), 30):
            raise RuntimeError("postfix did not start; see %s/maillog" % d)
        with open(pid_file) as f:
            master_pid = int(f.read().strip())
        acked, start = send_load(port, args.messages, args.sessions, args.size)
        return figures("postfix", sink, acked, start, args.messages, args.limit)
    finally:
        if master_pid is None and os.path.exists(pid_file):
            with open(pid_file) as f:
                master_pid = int(f.read().strip())
        if master_pid is not None:
            stop_pid(master_pid)


def run_ceiling(sink, args):
    start = time.time()
    subprocess.run([SOURCE, "-s", str(args.sessions), "-m", str(args.messages), "-l",
                    str(args.size), "-f", "load@bench.test", "-t", "sink@far.test",
                    "%s:%d" % (sink.address, sink.port)], check=True)
    wait_until(lambda: len(sink.files()) >= args.messages, args.limit, 0.2)
    files = sink.files()
    end = max(os.stat(p).st_mtime for p in files) if files else time.time()
    return ("smtp-source", len(files), len(files) / (end - start), None, None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", default=os.path.join(os.path.dirname(__file__),
                                                          "../build/bin"))
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--sessions", type=int, default=10)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--limit", type=float, default=300, help="seconds to wait for arrival")
    parser.add_argument("--only", choices=("ceiling", "thgate", "postfix"), action="append")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("end_to_end_bench: needs root (Postfix and smtp-sink's -u)")
    random.seed(1)
    work = tempfile.mkdtemp(prefix="th_e2e_bench.")
    os.chmod(work, 0o755)
    rows = []
    sink = Sink(os.path.join(work, "dumps"))
    try:
        for road in args.only or ("ceiling", "thgate", "postfix"):
            sink.clear()
            print("running %s ..." % road, file=sys.stderr)
            if road == "ceiling":
                rows.append(run_ceiling(sink, args))
            elif road == "thgate":
                rows.append(run_thgate(args.bin_dir, work, sink, args))
            else:
                rows.append(run_postfix(work, sink, args))
    finally:
        sink.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("end-to-end: %d messages of %d bytes over %d sessions"
          % (args.messages, args.size, args.sessions))
    print("%-12s %9s %10s %12s %12s" % ("road", "arrived", "msg/s", "p50 ms", "p99 ms"))
    for name, arrived, rate, p50, p99 in rows:
        fmt = lambda v: "-" if v is None else "%.1f" % v
        print("%-12s %9d %10.1f %12s %12s" % (name, arrived, rate, fmt(p50), fmt(p99)))


if __name__ == "__main__":
    main()
