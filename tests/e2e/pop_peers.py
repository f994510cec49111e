"""A remote POP3 mailbox for collection tests: a private dovecot instance on a loopback port
of its own, with maildir boxes that the test fills, and poplib to look at what is left.

    server = Dovecot(self, folder, {"box": "secret"})   # stopped (by pid) when the test ends
    server.deliver("box", b"From: a@x.test\\r\\n\\r\\ntext\\r\\n")
    server.host                                          # "127.0.0.1:PORT" for [POP<n>] host
    server.count("box")                                  # messages left, by POP3 STAT
"""
import os
import poplib
import shutil
import subprocess
import time
import uuid

from thtest import free_port, wait_until

DOVECOT = shutil.which("dovecot") or "/usr/sbin/dovecot"
MAIL_UID = 65534  # the mail user must not be root

CONFIG = """protocols = pop3
listen = 127.0.0.1
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:{d}/mail/%u
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/users
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {d}/users
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
"""


class Dovecot:
    def __init__(self, test, folder, users):
        if not os.access(DOVECOT, os.X_OK):
            test.skipTest("dovecot (package dovecot-pop3d) is not installed")
        if os.geteuid() != 0:
            test.skipTest("a private dovecot needs root to switch to its mail user")
        self.folder = folder
        self.pid = None
        for sub in ("run", "state"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        with open(os.path.join(folder, "users"), "w") as f:
            for name, password in users.items():
                box = self.box(name)
                for sub in ("new", "cur", "tmp"):
                    os.makedirs(os.path.join(box, sub), exist_ok=True)
                f.write("%s:{PLAIN}%s:%d:%d::%s\n" % (name, password, MAIL_UID, MAIL_UID, box))
        self._own(os.path.join(folder, "mail"))
        os.chmod(folder, 0o755)
        test.addCleanup(self.stop)
        for _ in range(3):
            self.port = free_port()
            conf = os.path.join(folder, "dovecot.conf")
            with open(conf, "w") as f:
                f.write(CONFIG.format(d=folder, port=self.port))
            # The daemon keeps whatever it inherits open: no pipes, or the run never ends.
            started = subprocess.run([DOVECOT, "-c", conf], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     timeout=30).returncode == 0
            if started and wait_until(self._answers, 10):
                self.pid = self._read_pid()
                break
        else:
            test.fail("dovecot did not start: %s" % self._log())
        self.host = "127.0.0.1:%d" % self.port

    def box(self, name):
        return os.path.join(self.folder, "mail", name)

    def deliver(self, name, text):
        """Puts one message into the box as a delivery agent would (tmp, then new)."""
        base = uuid.uuid4().hex
        tmp = os.path.join(self.box(name), "tmp", base)
        with open(tmp, "wb") as f:
            f.write(text)
        os.chown(tmp, MAIL_UID, MAIL_UID)
        os.rename(tmp, os.path.join(self.box(name), "new", base))

    def count(self, name, password):
        """Messages in the box by POP3 STAT."""
        pop = poplib.POP3("127.0.0.1", self.port, timeout=10)
        try:
            pop.user(name)
            pop.pass_(password)
            return pop.stat()[0]
        finally:
            pop.quit()

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, 15)
            except ProcessLookupError:
                pass
            wait_until(lambda: not os.path.exists("/proc/%d" % self.pid), 10)
            self.pid = None

    def _own(self, path):
        for top, dirs, files in os.walk(path):
            for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                os.chown(name, MAIL_UID, MAIL_UID)

    def _answers(self):
        try:
            pop = poplib.POP3("127.0.0.1", self.port, timeout=2)
            pop.quit()
            return True
        except OSError:
            return False

    def _read_pid(self):
        with open(os.path.join(self.folder, "run", "master.pid")) as f:
            return int(f.read().split()[0])

    def _log(self):
        try:
            with open(os.path.join(self.folder, "dovecot.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""
