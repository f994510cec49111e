#!/usr/bin/env python3
"""Outage figures: what a growing send queue costs thgate while its destination is down.

Three phases, each against a thgate (--headless, a data root of its own, gateway type 0):

  relay   the destination (Postfix's smtp-sink) is up: --relay messages go in and out; the
          steady relay rate is messages over the time from the first send until the last one
          has left the send queue.
  outage  a fresh data root whose gateway is a loopback port nobody listens on, retry
          interval --retry seconds (300): MESSAGES messages of --size bytes are sent in ten
          equal chunks by smtp-source over --sessions sessions. Printed: the intake rate of
          the first chunk (the queue still nearly empty), of the last chunk and of all; then,
          once every item has been tried and held, thgate's CPU share over --cpu-window
          seconds (from /proc/<pid>/stat), while the outage lasts.
  drain   smtp-sink comes up on the gateway's port. Waiting --retry seconds for the holds
          to run out would make the run long, so thgate is restarted instead (the holds are
          kept in memory only, the items' attempt counts are 0, so every item is due at
          once). Printed: messages over the time from the restart until the send queue is
          empty; this includes reading the whole queue at start.

Every process this script starts is stopped by its pid. Needs smtp-source and smtp-sink
(package postfix); as root, smtp-sink runs as nobody.

    bench/outage_bench.py 10000 --bin-dir build/bin
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# Shared with the relay benchmark beside this file.
from end_to_end_bench import accepts as _accepts, free_port, wait_until


def accepts(port):
    return _accepts("127.0.0.1", port)


SINK = "/usr/sbin/smtp-sink"
SOURCE = "/usr/sbin/smtp-source"


def stop_proc(proc, timeout=30.0):
    """SIGTERM, then SIGKILL when the process does not end within `timeout`."""
    if proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def count_items(folder):
    try:
        return sum(1 for n in os.listdir(folder) if n.isdigit())
    except OSError:
        return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line; [0] here is field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Sink:
    def __init__(self, port):
        user = ["-u", "nobody"] if os.geteuid() == 0 else []
        self.port = port
        self.proc = subprocess.Popen([SINK] + user + ["127.0.0.1:%d" % port, "256"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: accepts(port), 10):
            raise RuntimeError("smtp-sink did not start")

    def stop(self):
        stop_proc(self.proc)


class Gate:
    """thgate on a data root of its own, sending everything to 127.0.0.1:`gateway_port`."""

    def __init__(self, bin_dir, root, gateway_port, retry_s):
        self.bin_dir, self.root = bin_dir, root
        os.makedirs(root, exist_ok=True)
        self.port = free_port()
        with open(os.path.join(root, "tarnhold.dat"), "w") as f:
            f.write("[Defaults]\nSMTPInPort=%d\nLocalDomain0=bench.test\n"
                    "OutboundGatewayAddress=127.0.0.1\nOutboundPort=%d\nOutboundGatewayType=0\n"
                    "InboundGatewayAddress=127.0.0.1\nInboundPort=%d\nInboundGatewayType=0\n"
                    "SMTPRetryInterval=%d\n" % (self.port, gateway_port, gateway_port, retry_s))
        self.proc = None
        self.start()

    def start(self):
        # The log lines go nowhere: the figures are about the queue, not the console.
        self.started = time.monotonic()
        self.proc = subprocess.Popen(
            [os.path.join(self.bin_dir, "thgate"), "--root", self.root, "--headless"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: accepts(self.port), 60):
            raise RuntimeError("thgate did not start")

    def stop(self):
        stop_proc(self.proc)

    def que(self):
        return count_items(os.path.join(self.root, "que"))

    def queproc(self):
        return count_items(os.path.join(self.root, "queproc"))

    def send(self, messages, sessions, size):
        """Sends with smtp-source; returns the seconds it took."""
        began = time.monotonic()
        done = subprocess.run([SOURCE, "-s", str(sessions), "-m", str(messages), "-l",
                               str(size), "-f", "load@bench.test", "-t", "sink@far.test",
                               "127.0.0.1:%d" % self.port],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode != 0 or done.stderr:
            print("  smtp-source: %s" % done.stderr.decode(errors="replace")[:300],
                  file=sys.stderr)
        return time.monotonic() - began


def relay_phase(args, work):
    sink = Sink(free_port())
    gate = Gate(args.bin_dir, os.path.join(work, "relay"), sink.port, args.retry)
    try:
        began = time.monotonic()
        gate.send(args.relay, args.sessions, args.size)
        if not wait_until(lambda: gate.queproc() == 0 and gate.que() == 0, args.limit):
            print("  relay: %d items left" % (gate.queproc() + gate.que()), file=sys.stderr)
        return args.relay / (time.monotonic() - began)
    finally:
        gate.stop()
        sink.stop()


def outage_phase(args, work, dead_port):
    gate = Gate(args.bin_dir, os.path.join(work, "outage"), dead_port, args.retry)
    chunk = args.messages // 10
    rates = []
    total = 0.0
    for _ in range(10):
        took = gate.send(chunk, args.sessions, args.size)
        rates.append(chunk / took)
        total += took
    # Intake ends when the rules have put every message into the send queue; the delivery has
    # tried each by then or soon after (connection refused), and holds it.
    if not wait_until(lambda: gate.queproc() == 0 and gate.que() >= chunk * 10, args.limit, 0.5):
        print("  outage: %d in queproc, %d in que" % (gate.queproc(), gate.que()),
              file=sys.stderr)
    time.sleep(args.settle)
    before, t0 = cpu_seconds(gate.proc.pid), time.monotonic()
    time.sleep(args.cpu_window)
    cpu = (cpu_seconds(gate.proc.pid) - before) / (time.monotonic() - t0)
    gate.stop()
    return gate, rates, chunk * 10 / total, cpu


def drain_phase(args, gate, dead_port):
    sink = Sink(dead_port)
    try:
        items = gate.que()
        gate.start()
        if not wait_until(lambda: gate.que() == 0, args.limit, 0.5):
            print("  drain: %d items left" % gate.que(), file=sys.stderr)
        rate = (items - gate.que()) / (time.monotonic() - gate.started)
        return items, rate
    finally:
        gate.stop()
        sink.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("messages", type=int, nargs="?", default=10000)
    parser.add_argument("--bin-dir", default=os.path.join(os.path.dirname(__file__),
                                                          "../build/bin"))
    parser.add_argument("--sessions", type=int, default=10)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--retry", type=int, default=300, help="SMTPRetryInterval, seconds")
    parser.add_argument("--relay", type=int, default=5000, help="messages of the relay phase")
    parser.add_argument("--settle", type=float, default=5.0,
                        help="seconds between the end of intake and the CPU window")
    parser.add_argument("--cpu-window", type=float, default=20.0)
    parser.add_argument("--limit", type=float, default=1800, help="seconds to wait per phase")
    args = parser.parse_args()
    for tool in (SINK, SOURCE):
        if not os.access(tool, os.X_OK):
            sys.exit("outage_bench: %s not found (package postfix)" % tool)
    work = tempfile.mkdtemp(prefix="th_outage_bench.")
    os.chmod(work, 0o755)
    try:
        print("relay ...", file=sys.stderr)
        relay = relay_phase(args, work)
        dead_port = free_port()
        print("outage ...", file=sys.stderr)
        gate, rates, intake, cpu = outage_phase(args, work, dead_port)
        print("drain ...", file=sys.stderr)
        items, drain = drain_phase(args, gate, dead_port)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("outage: %d messages of %d bytes over %d sessions, retry interval %d s"
          % (args.messages, args.size, args.sessions, args.retry))
    print("%-40s %10.1f msg/s" % ("steady relay (%d messages)" % args.relay, relay))
    print("%-40s %10.1f msg/s" % ("intake, first tenth (queue near empty)", rates[0]))
    print("%-40s %10.1f msg/s" % ("intake, last tenth", rates[-1]))
    print("%-40s %10.1f msg/s" % ("intake, all", intake))
    print("%-40s %10.1f %%" % ("thgate CPU during the outage (one core)", 100 * cpu))
    print("%-40s %10.1f msg/s" % ("drain (%d items, restart included)" % items, drain))


if __name__ == "__main__":
    main()
