"""thgate with and without its window: a headless gateway (by --headless, with no display, or
when the window plugin is missing) loads no Qt library at all; with a display (the offscreen
platform) the window shows the live activity logs while mail is received, swept and delivered,
and a picture of it is saved to <build>/screenshots/thgate_window.png.
"""
import os
import re
import shutil
import signal
import smtplib
import subprocess
import unittest
from unittest import mock

from delivery_peers import SmtpSink
from thtest import BIN_DIR, READY_LINE, THGATE, DataRoot, Gate, free_port, wait_until

SCREENSHOTS = os.path.join(BIN_DIR, "..", "screenshots")
NO_DISPLAY = ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")
MESSAGE = ("From: anna@x.test\r\nTo: bob@y.test\r\nSubject: window test %d\r\n\r\n"
           "hello through the gateway\r\n")


def qt_libraries(pid):
    """The Qt libraries mapped into process `pid`."""
    with open("/proc/%d/maps" % pid) as f:
        return sorted({line.split()[-1] for line in f if re.search(r"/libQt6\w*\.so", line)})


def blocks_sigterm(pid):
    """Whether the main thread of `pid` has SIGTERM blocked (thgate then takes it by sigwait)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("SigBlk:"):
                return int(line.split()[1], 16) & (1 << (signal.SIGTERM - 1)) != 0
    return False


def display_env(**extra):
    """The environment without any display, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if k not in NO_DISPLAY}
    env.update(extra)
    return mock.patch.dict(os.environ, env, clear=True)


def load_log_done(root):
    try:
        return re.search(r"^\d\d:\d\d:\d\d OK$", root.read("logs", "load.log").decode(), re.M)
    except OSError:
        return None


def sweep_log(root):
    text = ""
    for name in os.listdir(root.join("logs")):
        if name.startswith("Sweep_"):
            text += root.read("logs", name).decode("utf-8", "replace")
    return text


class Headless(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thwindow.")
        self.root.write_config(SMTPInPort=free_port())

    def start(self, program=THGATE, headless=False, **env):
        with display_env(**env), mock.patch("thtest.THGATE", program):
            return Gate(self, self.root.path, headless=headless).start()

    def test_headless_options_load_no_qt(self):
        cases = [
            ("--headless with a display", dict(headless=True, QT_QPA_PLATFORM="offscreen")),
            ("no display", dict()),
        ]
        for name, how in cases:
            with self.subTest(name):
                gate = self.start(**how)
                self.assertEqual(qt_libraries(gate.proc.pid), [])
                self.assertEqual(gate.stop(), 1)

    def test_missing_plugin_is_logged_and_the_gateway_runs_headless(self):
        alone = os.path.join(self.root.path, "bin")
        os.makedirs(alone)
        shutil.copy(THGATE, alone)
        gate = self.start(program=os.path.join(alone, "thgate"), QT_QPA_PLATFORM="offscreen")
        self.assertEqual(qt_libraries(gate.proc.pid), [])
        self.assertTrue(wait_until(lambda: b"running headless" in gate.stderr), gate.stderr)
        self.assertIn(b"cannot load the window", gate.stderr)
        self.assertEqual(gate.stop(), 1)


class Window(unittest.TestCase):
    def test_sigterm_during_start_ends_the_gateway(self):
        root = DataRoot(self, prefix="thwindow.")
        root.write_config(SMTPInPort=free_port())
        with display_env(QT_QPA_PLATFORM="offscreen"):
            gate = Gate(self, root.path, headless=False).start(wait_ready=False)
        # As soon as thgate takes its signals, the window may not be up yet: the exit then
        # waits for the window instead of being lost.
        self.assertTrue(wait_until(lambda: blocks_sigterm(gate.proc.pid), 15))
        self.assertEqual(gate.stop(timeout=20), 1)

    def test_window_shows_live_log_lines(self):
        root = DataRoot(self, prefix="thwindow.")
        sink = SmtpSink(self, root.join("dumps"))
        port = free_port()
        root.write_config(SMTPInPort=port, OutboundGatewayAddress=sink.address,
                          OutboundPort=sink.port, OutboundGatewayType=0, LogSweeper=1)
        os.makedirs(SCREENSHOTS, exist_ok=True)
        picture = os.path.join(SCREENSHOTS, "thgate_window.png")
        if os.path.exists(picture):
            os.remove(picture)
        env = dict(QT_QPA_PLATFORM="offscreen", THGATE_WINDOW_GRAB=picture,
                   THGATE_WINDOW_GRAB_LINES="60")
        with display_env(**env):
            gate = Gate(self, root.path, headless=False).start(wait_ready=False)
        self.assertTrue(wait_until(lambda: load_log_done(root), 15), gate.stderr)
        self.assertNotEqual(qt_libraries(gate.proc.pid), [])
        self.assertIsNone(gate.find_line(READY_LINE))  # the logs go to the window, not stdout

        # Mail until the window has had its 60 lines; each message is received, swept and
        # delivered to the sink.
        sent = 0
        while sent < 10 and not os.path.exists(picture):
            with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
                client.sendmail("anna@x.test", ["bob@y.test"], MESSAGE % sent)
            sent += 1
            self.assertEqual(len(sink.wait_for_dumps(sent)), sent)
        self.assertTrue(wait_until(lambda: os.path.getsize(picture) > 0
                                   if os.path.exists(picture) else False, 15))
        with open(picture, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

        # SIGHUP reaches the window, which reloads (the sweeper log's file says so); SIGTERM
        # runs the exit routine.
        gate.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: "configuration reloaded" in sweep_log(root), 15))
        self.assertEqual(gate.stop(), 1)


class RealDisplay(unittest.TestCase):
    """A real X server (Xvfb) offers no system tray: the window is shown at start and the
    gateway works as with a tray."""

    def start_xvfb(self):
        if shutil.which("Xvfb") is None:
            self.skipTest("Xvfb is not installed")
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                                 "-screen", "0", "800x600x24"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.addCleanup(lambda: (xvfb.terminate(), xvfb.wait(10)))
        with os.fdopen(read_end) as f:
            number = f.readline().strip()  # written once the server accepts clients
        self.assertTrue(number.isdigit(), "Xvfb did not start")
        return ":" + number

    def test_window_without_a_system_tray(self):
        display = self.start_xvfb()
        root = DataRoot(self, prefix="thwindow.")
        port = free_port()
        root.write_config(SMTPInPort=port)
        picture = os.path.join(SCREENSHOTS, "thgate_window_xvfb.png")
        os.makedirs(SCREENSHOTS, exist_ok=True)
        if os.path.exists(picture):
            os.remove(picture)
        with display_env(DISPLAY=display, THGATE_WINDOW_GRAB=picture,
                         THGATE_WINDOW_GRAB_LINES="5"):
            gate = Gate(self, root.path, headless=False).start(wait_ready=False)
        self.assertTrue(wait_until(lambda: b"no system tray" in gate.stderr, 20), gate.stderr)
        self.assertTrue(any("XcbQpa" in lib for lib in qt_libraries(gate.proc.pid)),
                        qt_libraries(gate.proc.pid))
        self.assertTrue(wait_until(lambda: load_log_done(root), 15), gate.stderr)
        with smtplib.SMTP("127.0.0.1", port, timeout=10) as client:
            client.sendmail("anna@x.test", ["bob@y.test"], MESSAGE % 0)
        self.assertTrue(wait_until(lambda: os.path.exists(picture)
                                   and os.path.getsize(picture) > 0, 15), "no picture")
        self.assertEqual(gate.stop(), 1)


if __name__ == "__main__":
    unittest.main()
