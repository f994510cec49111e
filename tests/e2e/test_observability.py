"""What the gateway tells its operators while it runs: the metrics file in the Prometheus text
format (read back with a small parser of that format after real mail went through), the JSON
sweep record with one line per swept item, and the journal priorities on standard output when
systemd started the process."""
import glob
import json
import os
import re
import smtplib
import unittest

from delivery_peers import SmtpSink
from thtest import DataRoot, Gate, start_gate, wait_until

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
SAMPLE = re.compile(r"^(%s)(?:\{(.*)\})? (\S+)$" % NAME)
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(,|$)')

RULE = ("[Rule0]\nEnabled=1\nAllIncoming=1\nAllOutgoing=1\nBlockKeywords=lottery\n"
        "ScanSubject=1\nAction=1\nQuarantineArea=junk\n")


def parse_metrics(test, text):
    """{(name, ((label, value), ...)): value}; fails `test` on any line the text format does
    not allow: a sample without its TYPE line, a bad label set, a HELP or TYPE given twice."""
    types, helps, samples = {}, set(), {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name = line.split(" ", 3)[2]
            test.assertRegex(name, "^%s$" % NAME)
            test.assertNotIn(name, helps)
            helps.add(name)
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            test.assertIn(kind, ("counter", "gauge", "histogram", "summary", "untyped"))
            test.assertNotIn(name, types)
            types[name] = kind
        else:
            m = SAMPLE.match(line)
            test.assertIsNotNone(m, line)
            name, labels, value = m.groups()
            test.assertIn(name, types, "sample before its TYPE line: " + line)
            pairs, rest = [], labels or ""
            while rest:
                lm = LABEL.match(rest)
                test.assertIsNotNone(lm, line)
                pairs.append((lm.group(1), lm.group(2)))
                rest = rest[lm.end():]
            v = float(value)
            if types[name] == "counter":
                test.assertTrue(name.endswith("_total") and v >= 0, line)
            key = (name, tuple(pairs))
            test.assertNotIn(key, samples, "sample given twice: " + line)
            samples[key] = v
    return samples


def send(port, subject):
    with smtplib.SMTP("127.0.0.1", port, timeout=10) as smtp:
        smtp.sendmail("a@x.test", ["b@y.test"],
                      "Subject: %s\r\nMessage-ID: <%s@x.test>\r\n\r\nbody\r\n"
                      % (subject, subject.replace(" ", ".")))


class Observability(unittest.TestCase):
    def test_metrics_and_sweep_record_after_mail(self):
        root = DataRoot(self)
        sink = SmtpSink(self, root.join("dumps"))
        gate, port = start_gate(self, root, sections=RULE, LogSweeper=1, MetricsInterval=1,
                                OutboundGatewayAddress=sink.address, OutboundPort=sink.port)
        send(port, "hello there")
        send(port, "win the lottery")
        prom = root.join("logs", "tarnhold.prom")

        def metrics():
            try:
                with open(prom) as f:
                    return parse_metrics(self, f.read())
            except FileNotFoundError:
                return {}

        def value(name, **labels):
            return metrics().get((name, tuple(labels.items())), -1)

        self.assertTrue(wait_until(
            lambda: value("tarnhold_delivery_results_total", result="remote") == 1, 30),
            "metrics never showed the delivery")
        m = metrics()
        self.assertEqual(m[("tarnhold_received_total", (("source", "smtp"),))], 2)
        self.assertEqual(m[("tarnhold_swept_total", (("outcome", "quarantine"),))], 1)
        self.assertEqual(m[("tarnhold_swept_total", (("outcome", "send_queue"),))], 1)
        self.assertEqual(m[("tarnhold_rule_triggered_total", (("rule", "0"),))], 1)
        self.assertEqual(m[("tarnhold_queue_items", (("folder", "quaran/junk"),))], 1)
        self.assertEqual(gate.stop(), 1)

        records = []
        for path in glob.glob(root.join("logs", "Sweep_*.json")):
            with open(path) as f:
                records += [json.loads(line) for line in f]
        self.assertEqual(len(records), 2)
        by_id = {r["message_id"]: r for r in records}
        held = by_id["<win.the.lottery@x.test>"]
        self.assertEqual((held["rules_applied"], held["rules_triggered"], held["rule"],
                          held["action"], held["destination"]), ([0], [0], 0, 1, "quaran/junk"))
        passed = by_id["<hello.there@x.test>"]
        self.assertEqual((passed["rules_triggered"], passed["destination"], passed["sender"],
                          passed["recipient"]), ([], "que", "a@x.test", "b@y.test"))
        self.assertGreater(passed["size"], 0)
        self.assertGreaterEqual(passed["elapsed_ms"], 0)

    def test_journal_priorities_under_systemd(self):
        root = DataRoot(self)
        with open(root.join("registry.dat"), "w") as f:
            f.write("[Tarnhold]\nRootPath=/somewhere/else\n")
        root.write_config()
        gate = Gate(self, root.path)
        gate.env = {"INVOCATION_ID": "0123456789abcdef"}
        gate.start(wait_ready=False)
        self.assertEqual(gate.wait(15), 1)
        gate.wait_for_line(r"^<6>load: \d\d:\d\d:\d\d Loading registry \.\.\.$")
        gate.wait_for_line(r"^<3>load: \d\d:\d\d:\d\d Error: RootPath /somewhere/else")
        self.assertTrue(wait_until(lambda: gate.stderr.startswith(b"<3>thgate: Error: RootPath")),
                        gate.stderr)


if __name__ == "__main__":
    unittest.main()
