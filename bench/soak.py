#!/usr/bin/env python3
"""Soak figures: what thgate keeps of the mail it acknowledged when things go wrong, for about
SECONDS seconds in all (default 60).

  kill    clients send 4 KB messages without pause while thgate is killed with SIGKILL every
          0.5-2.5 s and started again on the same data root (half of SECONDS). Then the last
          gateway drains its queues into smtp-sink. Printed: messages acknowledged with 250,
          arrived, lost (acknowledged and never arrived), duplicates, kills.
  disk    a data root on a 16 MB tmpfs (needs root): messages go through, the file system is
          filled up, messages sent while it is full must be refused with 451 and the gateway
          must live on; once the filler is removed, mail is taken in again. Printed: the
          replies while full, whether intake came back, acknowledged and lost over the phase.
  fuzz    every libFuzzer target already built in build-fuzz/ (fuzz/run.sh builds them) runs
          for an equal share of a third of SECONDS on a copy of its corpus. Printed: executions
          and crashes per target.
  relay   bench/end_to_end_bench.py with 4 KB messages: thgate beside a private Postfix.

Every process this script starts is stopped by its pid; the tmpfs is unmounted by its path.
Needs smtp-sink (package postfix); the disk phase and the relay phase need root.

    bench/soak.py 120 --bin-dir build/bin
"""
import argparse
import errno
import os
import random
import shutil
import signal
import smtplib
import subprocess
import sys
import tempfile
import threading
import time

# Shared with the relay benchmark beside this file.
from end_to_end_bench import Sink, accepts, free_port, message, stop_pid, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SIZE = 4096


def count_items(folder):
    try:
        return sum(1 for n in os.listdir(folder) if n.isdigit())
    except OSError:
        return 0


class Gate:
    """thgate on `root`, relaying everything to the sink."""

    def __init__(self, bin_dir, root, sink):
        self.bin_dir, self.root, self.proc = bin_dir, root, None
        self.port = free_port()
        with open(os.path.join(root, "tarnhold.dat"), "w") as f:
            f.write("[Defaults]\nSMTPInPort=%d\nLocalDomain0=soak.test\nSMTPMaxIn=100\n"
                    "OutboundGatewayAddress=%s\nOutboundPort=%d\nOutboundGatewayType=0\n"
                    "SMTPRetryInterval=5\nLogSMTPIn=1\nLogSweeper=1\nLogSMTPOut=1\n"
                    % (self.port, sink.address, sink.port))

    def start(self):
        self.proc = subprocess.Popen(
            [os.path.join(self.bin_dir, "thgate"), "--root", self.root, "--headless"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: self.proc.poll() is not None or accepts("127.0.0.1", self.port),
                          60) or self.proc.poll() is not None:
            raise RuntimeError("thgate did not start")

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            stop_pid(self.proc.pid)

    def queued(self):
        return sum(count_items(os.path.join(self.root, f)) for f in ("queproc", "que"))


class Clients:
    """`count` threads that send numbered messages until told to stop. A message counts as
    acknowledged when its 250 arrived; one without 250 is sent again under the same number."""

    def __init__(self, port, count, first=1):
        self.port, self.next = port, first
        self.lock = threading.Lock()
        self.accepted, self.replies = set(), {}
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.run, daemon=True) for _ in range(count)]

    def start(self):
        for t in self.threads:
            t.start()
        return self

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join(60)

    def take(self):
        with self.lock:
            self.next += 1
            return self.next - 1

    def note(self, code):
        with self.lock:
            self.replies[code] = self.replies.get(code, 0) + 1

    def run(self):
        pending = None
        while not self.stopping.is_set():
            n = pending if pending is not None else self.take()
            pending = n
            if send_one(self.port, n, self.note):
                with self.lock:
                    self.accepted.add(n)
                pending = None
            elif not accepts("127.0.0.1", self.port):
                wait_until(lambda: self.stopping.is_set() or accepts("127.0.0.1", self.port), 30)


def send_one(port, n, note=lambda code: None):
    """Sends message n; True when it was acknowledged. `note` receives the reply code to the
    end of the data, or "conn" when the connection failed."""
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=15) as smtp:
            smtp.sendmail("soak@client.test", ["sink@far.test"], message(n, SIZE))
        note(250)
        return True
    except smtplib.SMTPResponseException as e:
        note(e.smtp_code)
    except (OSError, smtplib.SMTPException):
        note("conn")
    return False


def arrival(sink, accepted, gate, limit_s=120):
    """Waits (bounded) for the queues to drain and the accepted messages to arrive; returns
    (arrived, lost, duplicates) counted over the accepted messages."""
    wait_until(lambda: gate.queued() == 0, limit_s, 0.2)
    wait_until(lambda: accepted <= set(sink.receipts()), 30, 0.2)
    seen = {}
    for path in sink.files():
        n = sink.receipts_of(path)
        if n is not None:
            seen[n] = seen.get(n, 0) + 1
    arrived = accepted & set(seen)
    return len(arrived), len(accepted - arrived), sum(c - 1 for c in seen.values() if c > 1)


def add_receipts_of(sink_class):
    """One dump's message number, for counting duplicates."""
    from end_to_end_bench import ID_HEADER

    def receipts_of(self, path):
        try:
            with open(path, "rb") as f:
                match = ID_HEADER.search(f.read(16384))
        except OSError:
            return None
        return int(match.group(1)) if match else None
    sink_class.receipts_of = receipts_of


add_receipts_of(Sink)


def kill_phase(args, work, seconds):
    sink = Sink(os.path.join(work, "kill-dumps"))
    root = os.path.join(work, "kill-root")
    os.makedirs(root)
    gate = Gate(args.bin_dir, root, sink)
    kills = 0
    try:
        gate.start()
        clients = Clients(gate.port, 4).start()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(random.uniform(0.5, 2.5))
            gate.kill()
            kills += 1
            gate.start()
        clients.stop()
        arrived, lost, dups = arrival(sink, clients.accepted, gate)
        print("kill:  %d acknowledged, %d arrived, %d lost, %d duplicates, %d SIGKILLs in %.0f s"
              % (len(clients.accepted), arrived, lost, dups, kills, seconds))
    finally:
        gate.stop()
        sink.stop()


def fill(path):
    """Writes `path` until the file system is full; returns the bytes written."""
    written = 0
    chunk = b"\0" * 65536
    with open(path, "wb", buffering=0) as f:
        while True:
            try:
                written += f.write(chunk)
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
                if len(chunk) == 1:
                    return written
                chunk = chunk[:len(chunk) // 2]


def send_batch(port, first, count):
    replies, accepted = {}, set()
    for n in range(first, first + count):
        def note(code):
            replies[code] = replies.get(code, 0) + 1
        if send_one(port, n, note):
            accepted.add(n)
    return replies, accepted


def disk_phase(args, work):
    if os.geteuid() != 0:
        print("disk:  skipped (mounting a tmpfs needs root)")
        return
    sink = Sink(os.path.join(work, "disk-dumps"))
    root = os.path.join(work, "disk-root")
    os.makedirs(root)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", root],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        print("disk:  skipped (mount -t tmpfs failed: %s)" % mounted.stderr.strip())
        sink.stop()
        return
    gate = Gate(args.bin_dir, root, sink)
    filler = os.path.join(root, "filler")
    try:
        gate.start()
        _, before = send_batch(gate.port, 1, 20)
        wait_until(lambda: gate.queued() == 0, 60, 0.2)
        filled = fill(filler)
        full_replies, during = send_batch(gate.port, 1001, 20)
        alive_when_full = gate.proc.poll() is None
        os.unlink(filler)
        after_replies, after = send_batch(gate.port, 2001, 20)
        accepted = before | during | after
        arrived, lost, _ = arrival(sink, accepted, gate)
        print("disk:  %.1f MB filler; 20 sent while full: %s; gateway alive: %s; "
              "after freeing: %d of 20 acknowledged" %
              (filled / 1e6, ", ".join("%s x%d" % (k, v) for k, v in sorted(
                  full_replies.items(), key=str)), "yes" if alive_when_full else "NO",
               len(after)))
        print("disk:  %d acknowledged over the phase, %d arrived, %d lost" %
              (len(accepted), arrived, lost))
    finally:
        gate.stop()
        sink.stop()
        subprocess.run(["umount", root], capture_output=True)


def fuzz_phase(args, work, seconds):
    out = os.path.join(REPO, "build-fuzz")
    targets = sorted(n for n in os.listdir(out) if n.endswith("_fuzz")
                     and os.access(os.path.join(out, n), os.X_OK)) if os.path.isdir(out) else []
    if not targets:
        print("fuzz:  skipped (no targets in %s; fuzz/run.sh builds them)" % out)
        return
    share = max(2, int(seconds / len(targets)))
    for name in targets:
        corpus = os.path.join(work, "corpus-" + name)
        seeds = os.path.join(REPO, "fuzz", "corpus", name)
        shutil.copytree(seeds, corpus) if os.path.isdir(seeds) else os.makedirs(corpus)
        env = dict(os.environ, TMPDIR=work)
        run = subprocess.run([os.path.join(out, name), "-max_total_time=%d" % share,
                              "-timeout=10", "-rss_limit_mb=2048", "-print_final_stats=1",
                              "-artifact_prefix=%s/%s-" % (work, name), corpus],
                             capture_output=True, text=True, env=env)
        execs = [line.split(":")[-1].strip() for line in run.stderr.splitlines()
                 if line.startswith("stat::number_of_executed_units")]
        print("fuzz:  %-30s %10s executions in %d s, %d crashes" %
              (name, execs[-1] if execs else "?", share, 0 if run.returncode == 0 else 1))


def relay_phase(args):
    bench = os.path.join(HERE, "end_to_end_bench.py")
    run = subprocess.run([sys.executable, bench, "--bin-dir", args.bin_dir, "--loads", "4k",
                          "--messages-4k", str(args.relay_messages)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in run.stdout.splitlines():
        print("relay: " + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("seconds", nargs="?", type=float, default=60)
    parser.add_argument("--bin-dir", default=os.path.join(REPO, "build", "bin"))
    parser.add_argument("--relay-messages", type=int, default=1000)
    parser.add_argument("--skip", default="", help="comma list of phases to leave out")
    args = parser.parse_args()
    args.bin_dir = os.path.abspath(args.bin_dir)
    skip = set(filter(None, args.skip.split(",")))
    work = tempfile.mkdtemp(prefix="thsoak.")
    os.chmod(work, 0o755)  # smtp-sink writes its dumps as nobody
    try:
        if "kill" not in skip:
            kill_phase(args, work, args.seconds / 2)
        if "disk" not in skip:
            disk_phase(args, work)
        if "fuzz" not in skip:
            fuzz_phase(args, work, args.seconds / 3)
        if "relay" not in skip:
            relay_phase(args)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
