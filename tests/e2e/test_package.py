"""The Debian package as cpack makes it from the build: the programs that were built, the
systemd unit (which systemd-analyze accepts), its user and data root, the manual, the example
configuration (which passes --check-config) and the demo."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from thtest import BIN_DIR

BUILD_DIR = os.path.abspath(os.path.join(BIN_DIR, ".."))
PROGRAMS = ("thgate", "thadmin", "thqueue", "thmon")
FILES = (
    "./usr/lib/systemd/system/tarnhold.service",
    "./usr/lib/tmpfiles.d/tarnhold.conf",
    "./usr/lib/sysusers.d/tarnhold.conf",
    "./usr/share/doc/tarnhold/README.md",
    "./usr/share/doc/tarnhold/examples/demo/tarnhold.dat",
    "./usr/share/tarnhold/tarnhold.dat",
)
UNIT_SETTINGS = (
    "User=tarnhold",
    "ExecStart=/usr/bin/thgate --headless --root /var/lib/tarnhold",
    "ExecReload=/bin/kill -HUP $MAINPID",
    "Restart=on-failure",
    "AmbientCapabilities=CAP_NET_BIND_SERVICE",
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE",
    "ProtectSystem=strict",
    "StateDirectory=tarnhold",
    "PrivateTmp=yes",
)


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=300, **kw)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="thdeb.")
        cls.deb = None
        config = os.path.join(BUILD_DIR, "CPackConfig.cmake")
        if not (shutil.which("cpack") and shutil.which("dpkg-deb") and os.path.exists(config)):
            return
        made = run("cpack", "-G", "DEB", "--config", config, "-B", cls.work)
        debs = [f for f in os.listdir(cls.work) if f.endswith(".deb")]
        cls.cpack_output = made.stdout + made.stderr
        if made.returncode == 0 and len(debs) == 1:
            cls.deb = os.path.join(cls.work, debs[0])
            cls.tree = os.path.join(cls.work, "tree")
            run("dpkg-deb", "-x", cls.deb, cls.tree)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        if not os.path.exists(os.path.join(BUILD_DIR, "CPackConfig.cmake")):
            self.skipTest("no CPackConfig.cmake in %s" % BUILD_DIR)
        if not shutil.which("cpack") or not shutil.which("dpkg-deb"):
            self.skipTest("cpack or dpkg-deb is not installed")
        self.assertIsNotNone(self.deb, "cpack made no package: %s" % self.cpack_output)

    def test_file_list(self):
        listing = run("dpkg", "-c", self.deb).stdout
        paths = {line.split()[-1] for line in listing.splitlines()}
        for f in FILES:
            self.assertIn(f, paths)
        for program in PROGRAMS:
            built = os.path.exists(os.path.join(BIN_DIR, program))
            self.assertEqual("./usr/bin/" + program in paths, built, program)
        # The windows travel with their programs: thqueue and thmon hand over to their window
        # programs, and an installed thgate finds its plugin in lib/tarnhold.
        for window in ("usr/bin/thqueue-window", "usr/bin/thmon-window",
                       "usr/lib/tarnhold/libthgate_window.so"):
            built = os.path.exists(os.path.join(BIN_DIR, os.path.basename(window)))
            self.assertEqual("./" + window in paths, built, window)
        info = run("dpkg-deb", "-I", self.deb).stdout
        self.assertRegex(info, r"Depends: .*adduser")
        self.assertIn("postinst", info)

    def test_unit_settings_and_maintainer_scripts(self):
        with open(os.path.join(self.tree, "usr/lib/systemd/system/tarnhold.service")) as f:
            lines = set(f.read().splitlines())
        for setting in UNIT_SETTINGS:
            self.assertIn(setting, lines)
        control = os.path.join(self.work, "control")
        run("dpkg-deb", "-e", self.deb, control)
        for script in ("postinst", "prerm"):
            self.assertEqual(run("sh", "-n", os.path.join(control, script)).returncode, 0)
        with open(os.path.join(self.tree, "usr/lib/tmpfiles.d/tarnhold.conf")) as f:
            self.assertRegex(f.read(), r"(?m)^d /var/lib/tarnhold 0750 tarnhold tarnhold")

    def test_systemd_accepts_the_unit(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        units = os.path.join(self.work, "units")
        os.makedirs(units, exist_ok=True)
        # systemd-analyze verify wants the unit's programs to exist: a known-good unit first
        # shows whether it can work here at all.
        probe = os.path.join(units, "thprobe.service")
        with open(probe, "w") as f:
            f.write("[Service]\nExecStart=/bin/true\n")
        probed = run("systemd-analyze", "verify", "--man=no", probe)
        if probed.returncode != 0:
            self.skipTest("systemd-analyze cannot verify here: " + probed.stderr.strip())
        with open(os.path.join(self.tree, "usr/lib/systemd/system/tarnhold.service")) as f:
            unit = f.read().replace("/usr/bin/thgate", os.path.join(self.tree, "usr/bin/thgate"))
        path = os.path.join(units, "tarnhold.service")
        with open(path, "w") as f:
            f.write(unit)
        verified = run("systemd-analyze", "verify", "--man=no", path)
        self.assertEqual((verified.returncode, verified.stderr.strip()), (0, ""))

    def test_example_configuration_passes_the_check(self):
        root = os.path.join(self.work, "root")
        os.makedirs(root, exist_ok=True)
        shutil.copy(os.path.join(self.tree, "usr/share/tarnhold/tarnhold.dat"), root)
        checked = run(os.path.join(self.tree, "usr/bin/thgate"), "--check-config", "--root", root)
        self.assertEqual(checked.returncode, 0, checked.stdout)
        self.assertTrue(re.search(r"no problem found", checked.stdout))


if __name__ == "__main__":
    unittest.main()
