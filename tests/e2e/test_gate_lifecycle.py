"""thgate as a process: one engine per data root, the start-up steps in load.log, the exit
routine on SIGTERM and SIGINT, the configuration reload on SIGHUP, and a restart after a crash
in the middle of a transfer."""
import os
import re
import signal
import socket
import smtplib
import subprocess
import unittest

from thtest import THGATE, DataRoot, Gate, free_port, start_gate, wait_until

STAMP = r"\d\d:\d\d:\d\d "
SWEEP = r"^Content Sweeper: %s> " % STAMP
# The exit routine waits at most 5 s for the SMTP receiver and 10 s for the delivery.
EXIT_DEADLINE = 20


def load_log_steps(root):
    with open(root.join("logs", "load.log")) as f:
        lines = f.read().splitlines()
    for line in lines:
        assert re.match(STAMP, line), line
    return [line[9:] for line in lines]


def closed_by_peer(sock, timeout=5):
    """True when the far side has closed `sock` (what it still sent is read and dropped)."""
    sock.settimeout(timeout)
    try:
        while sock.recv(200):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def half_sent_message(test, port):
    """A session that stops in the middle of its message text; closed when the test ends."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    test.addCleanup(sock.close)
    sock.recv(100)
    sock.sendall(b"MAIL FROM:<a@x.example>\r\nRCPT TO:<b@y.example>\r\nDATA\r\n"
                 b"Subject: cut\r\n\r\nhalf of the bo")
    return sock


def greeting(port):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.settimeout(5)
        return s.recv(200)


class StartUp(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.port = free_port()

    def test_steps_with_every_optional_component_off(self):
        start_gate(self, self.root, EnablePOP3Download=0, EnablePOP3Server=0, EnableRas=0)
        self.assertEqual(load_log_steps(self.root), [
            "Subclassing windows ...", "Loading egSetup ...", "Loading registry ...",
            "Starting Sweeper ...", "Starting SMTP In...", "Starting SMTP Out...", "OK"])
        for folder in ("archive", "logs", "queproc", "que", "stat", "quaran/errors"):
            self.assertTrue(os.path.isdir(self.root.join(folder)), folder)

    def test_steps_with_logs_and_pop3_server(self):
        start_gate(self, self.root, args=("--pop3-port", str(free_port())), EnablePOP3Server=1,
                   LogPOP3=1, LogSMTPIn=1, LogSweeper=1, LogSMTPOut=1, LogBandwidth=1)
        self.assertEqual(load_log_steps(self.root), [
            "Subclassing windows ...", "Loading egSetup ...", "Loading registry ...",
            "Creating POP3 Log ...", "Creating SMTP In Log ...", "Creating Sweeper Log ...",
            "Creating SMTP Out Log ...", "Creating Bandwidth Log ...", "Starting Sweeper ...",
            "Starting POP3 Server...", "Starting SMTP In...", "Starting SMTP Out...", "OK"])

    def test_ras_manager_starts_last_and_exit_is_prompt(self):
        gate, _ = start_gate(self, self.root, EnableRas=1, DialEntry="isp", DialASAP=1)
        self.assertEqual(load_log_steps(self.root)[-2:], ["Starting RAS Manager...", "OK"])
        self.assertEqual(gate.stop(timeout=20), 1)

    def test_load_log_holds_only_the_current_run(self):
        self.root.write_config(SMTPInPort=self.port)
        first = Gate(self, self.root.path).start()
        self.assertEqual(first.stop(), 1)
        Gate(self, self.root.path).start()
        self.assertEqual(load_log_steps(self.root).count("OK"), 1)

    def test_second_engine_ends_at_once_without_touching_load_log(self):
        self.root.write_config(SMTPInPort=self.port)
        Gate(self, self.root.path).start()
        path = self.root.join("logs", "load.log")
        before = (os.stat(path).st_mtime_ns, self.root.read("logs", "load.log"))
        run = subprocess.run([THGATE, "--root", self.root.path, "--headless"],
                             capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, b"")
        self.assertEqual((os.stat(path).st_mtime_ns, self.root.read("logs", "load.log")), before)

    def test_root_path_naming_another_folder_is_refused(self):
        # The spool has one root: a RootPath elsewhere would split it between the components.
        other = DataRoot(self)
        self.root.write_config(SMTPInPort=self.port)
        with open(self.root.join("registry.dat"), "w") as f:
            f.write("[Tarnhold]\nRootPath=%s\n" % other.path)
        run = subprocess.run([THGATE, "--root", self.root.path, "--headless"],
                             capture_output=True, timeout=20)
        self.assertEqual(run.returncode, 1)
        refusal = [line for line in load_log_steps(self.root) if line.startswith("Error: RootPath")]
        self.assertEqual(len(refusal), 1, load_log_steps(self.root))
        self.assertIn(other.path, refusal[0])
        self.assertIn(b"thgate: Error: RootPath " + other.path.encode(), run.stderr)
        self.assertNotIn("OK", load_log_steps(self.root))
        self.assertEqual(os.listdir(other.path), [])

    def test_root_path_naming_the_data_root_starts(self):
        with open(self.root.join("registry.dat"), "w") as f:
            f.write("[Tarnhold]\nRootPath=c:\\tarnhold\\\n")
        start_gate(self, self.root)
        self.assertEqual(load_log_steps(self.root)[-1], "OK")

    def test_bad_command_line(self):
        for args in (["--pop3-port", "0"], ["--pop3-port", "x"], ["--root"], ["--window"]):
            run = subprocess.run([THGATE] + args, capture_output=True, timeout=10)
            self.assertEqual(run.returncode, 2, args)
            self.assertIn(b"usage: thgate", run.stderr)

    def test_port_taken_does_not_stop_the_start(self):
        with socket.socket() as blocker:
            blocker.bind(("0.0.0.0", 0))
            blocker.listen()
            port = blocker.getsockname()[1]
            self.root.write_config(SMTPInPort=port)
            gate = Gate(self, self.root.path).start()
            gate.wait_for_line(r"^SMTP Server: %s?Error: cannot listen on port %d$" % (STAMP, port))


class ExitAndReload(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self)
        self.gate, self.port = start_gate(self, self.root, LocalDomain0="First.Example")

    def test_sigterm_and_sigint_end_with_code_1(self):
        # A client in the middle of a session does not hold the exit up: the process ends
        # within the exit routine's bounded waits (the stop's own deadline).
        held = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        self.addCleanup(held.close)
        self.assertTrue(held.recv(100).startswith(b"220 "))
        self.assertEqual(self.gate.stop(signal.SIGTERM, timeout=EXIT_DEADLINE), 1)
        again = Gate(self, self.root.path).start()
        self.assertEqual(again.stop(signal.SIGINT, timeout=EXIT_DEADLINE), 1)

    def test_sighup_reloads_for_new_sessions(self):
        old = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        self.addCleanup(old.close)
        self.assertEqual(old.recv(100), b"220 first.example Service Ready\r\n")
        self.root.write_config(SMTPInPort=self.port, LocalDomain0="second.example")
        self.gate.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(
            lambda: greeting(self.port) == b"220 second.example Service Ready\r\n"))
        # A session keeps the name it started with.
        old.sendall(b"HELO c\r\n")
        self.assertEqual(old.recv(100), b"250 first.example c\r\n")
        self.assertIsNone(self.gate.proc.poll())
        self.gate.wait_for_line(SWEEP + r"configuration reloaded: 0 rules loaded$")


class ExitWithSessionsOpen(unittest.TestCase):
    def test_exit_mid_data_with_a_pop3_session_ends_every_component(self):
        root = DataRoot(self)
        pop3_port = free_port()
        gate, port = start_gate(self, root, args=("--pop3-port", str(pop3_port)),
                                EnablePOP3Server=1, LocalDomain0="example.com")
        pop3 = socket.create_connection(("127.0.0.1", pop3_port), timeout=5)
        self.addCleanup(pop3.close)
        self.assertTrue(pop3.recv(200).startswith(b"+OK"))
        smtp = half_sent_message(self, port)
        self.assertTrue(wait_until(lambda: root.items() == [1]))
        self.assertTrue(wait_until(lambda: os.path.getsize(root.join("queproc", "1")) > 40))

        self.assertEqual(gate.stop(signal.SIGTERM, timeout=EXIT_DEADLINE), 1)
        # The unfinished message was never acknowledged: it is discarded, and the session's
        # last log line made it out before the process ended.
        self.assertEqual(root.items(), [])
        self.assertIsNotNone(gate.find_line(r"^SMTP Server: %sSMTPDATA error$" % STAMP, 5))
        # Both sessions were closed by the gateway, not left to the client's time-out.
        for s in (smtp, pop3):
            self.assertTrue(closed_by_peer(s))


class ReloadThatCannotReadTheFile(unittest.TestCase):
    def test_running_rules_stay_when_tarnhold_dat_is_missing(self):
        root = DataRoot(self)
        everything = "\n[Rule0]\nEnabled=1\nAllIncoming=1\nAllOutgoing=1\nBlockEverything=1\n" \
                     "Action=1\nQuarantineArea=all\n"
        gate, port = start_gate(self, root, everything, LocalDomain0="example.com")
        os.remove(root.join("tarnhold.dat"))
        gate.send_signal(signal.SIGHUP)
        gate.wait_for_line(SWEEP + r"configuration not reloaded: cannot read .*tarnhold\.dat; "
                           r"the running configuration stays$")
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
            client.sendmail("eve@outside.test", ["bob@example.com"],
                            b"Subject: after the reload\r\n\r\nbody\r\n")
        self.assertTrue(wait_until(lambda: root.items("quaran/all") == [1], 15),
                        "quarantine %r, send queue %r" % (root.items("quaran/all"),
                                                          root.items("que")))
        self.assertEqual(root.items("que"), [])
        # The file back in place: the next reload reads it and says how many rules it holds.
        root.write_config(everything, SMTPInPort=port, LocalDomain0="example.com")
        gate.send_signal(signal.SIGHUP)
        gate.wait_for_line(SWEEP + r"configuration reloaded: 1 rules loaded$")


class CrashInTheMiddleOfATransfer(unittest.TestCase):
    def test_restart_clears_the_unfinished_item_and_listens_at_once(self):
        root = DataRoot(self)
        # One finished message stays.
        gate, port = start_gate(self, root)
        with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
            c.recv(100)
            c.sendall(b"MAIL FROM:<a@x.example>\r\nRCPT TO:<b@y.example>\r\nDATA\r\n"
                      b"Subject: whole\r\n\r\nbody\r\n.\r\nQUIT\r\n")
            gate.wait_for_line(r"Mail received OK$")
        # It is swept on into the send queue, so the next message takes number 1 again.
        self.assertTrue(wait_until(lambda: root.items() == [] and root.items("que") == [1]))
        # The next dies with its data half sent: no 250, so the client will send again.
        half = half_sent_message(self, port)
        self.assertTrue(wait_until(lambda: root.items() == [1]))
        self.assertTrue(wait_until(lambda: os.path.getsize(root.join("queproc", "1")) > 40))
        gate.stop(signal.SIGKILL)
        half.close()

        again = Gate(self, root.path).start()
        again.wait_for_line(
            r"^SMTP Server: %sRemoved unfinished message 1 left by an interrupted transfer$" % STAMP)
        self.assertNotIn(1, root.items())
        self.assertEqual(greeting(port)[:4], b"220 ")


if __name__ == "__main__":
    unittest.main()
