"""thgate --check-config as an administrator runs it: the shipped demo configuration passes,
a root with broken settings fails with one line per problem, and a bad command line is a usage
error."""
import os
import shutil
import subprocess
import unittest

from thtest import THGATE, DataRoot

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo", "tarnhold.dat")


def check(*args):
    return subprocess.run([THGATE, "--check-config"] + list(args), capture_output=True,
                          text=True, timeout=30)


class CheckConfig(unittest.TestCase):
    def test_demo_passes(self):
        root = DataRoot(self)
        shutil.copy(DEMO, root.join("tarnhold.dat"))
        done = check("--root", root.path, "--pop3-port", "1110")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("no problem found", done.stdout)

    def test_broken_root_fails_with_a_line_per_problem(self):
        root = DataRoot(self)
        root.write_config(SMTPInPort=2525, OutboundGatewayAddress="127.0.0.1", OutboundPort=2525,
                          AllowRelay=1, SMTPRoutingFileName=root.join("routes.txt"),
                          sections="[Rule0]\nEnabled=1\nAllIncoming=1\nAction=2\n")
        with open(root.join("routes.txt"), "w") as f:
            f.write("*@a.test,mx.a.test\n")
        done = check("--root", root.path)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[-1], "4 problems found", done.stdout)
        for key in ("[Defaults] SMTPRoutingFileName=", "[Defaults] OutboundPort=2525:",
                    "[Defaults] AllowRelay=1:", "[Rule0] BlockEverything=0:"):
            self.assertTrue(any(key in line for line in lines), key)
        # The check made nothing: a missing quarantine area is reported, never created.
        self.assertFalse(os.path.exists(root.join("quaran")))

    def test_usage_error(self):
        done = check("--headless")
        self.assertEqual(done.returncode, 2)
        self.assertIn("usage: thgate --check-config", done.stderr)


if __name__ == "__main__":
    unittest.main()
