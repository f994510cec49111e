"""Real POP3 clients (curl, Python's poplib, fetchmail) against the POP3 server of a running thgate.

Each test gets a fresh data root with two local users, bob (mailbox 0) and carol (mailbox 1),
and a thgate whose POP3 server listens on a free loopback port (--pop3-port).
"""
import os
import poplib
import shutil
import socket
import subprocess
import unittest

from thtest import DataRoot, Gate, free_port, wait_until

USERS = """
[POP3User0]
account=bob
password=Secret
active=1
EmailAddress0=bob

[POP3User1]
account=carol
password=pw
active=1
EmailAddress0=carol
"""

WITH_ID = (b"From: a@x.test\r\nMessage-Id: <one@x.test>\r\nSubject: one\r\n\r\n"
           b"body one\r\n..dotted\r\n.\r\n")
WITHOUT_ID = b"From: b@x.test\r\nSubject: two\r\n\r\nline 1\r\n\r\nline 3\r\n.\r\n"


def greets(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            return s.recv(64).startswith(b"+OK")
    except OSError:
        return False


class Pop3Gateway(unittest.TestCase):
    def setUp(self):
        self.root = DataRoot(self, prefix="thpop3.")
        for m in ("0", "1"):
            os.makedirs(self.root.join("popstore", m), exist_ok=True)
        self.store(1, WITH_ID)
        self.store(2, WITHOUT_ID)
        self.port = None

    def start(self, enabled=1, attempts=5):
        """Starts thgate with free SMTP and POP3 ports, trying others when one was taken."""
        for _ in range(attempts):
            self.port, smtp_port = free_port(), free_port()
            if smtp_port == self.port:
                continue
            self.root.write_config(USERS, EnablePOP3Server=enabled, SMTPInPort=smtp_port,
                                   LocalDomain0="pop3.test")
            self.gate = Gate(self, self.root.path, "--pop3-port", str(self.port)).start()
            if self.gate.listening():
                return
            self.gate.stop()
        self.fail("no free ports for thgate")

    def store(self, k, data, mailbox=0):
        with open(self.message_path(k, mailbox), "wb") as f:
            f.write(data)

    def message_path(self, k, mailbox=0):
        return self.root.join("popstore", str(mailbox), str(k))

    def pop(self, user="bob", password="Secret"):
        p = poplib.POP3("127.0.0.1", self.port, timeout=10)
        try:
            p.user(user)
            p.pass_(password)
        except poplib.error_proto:
            p.close()
            raise
        self.addCleanup(p.close)
        return p

    def login_works(self):
        try:
            self.pop().quit()
            return True
        except poplib.error_proto:
            return False

    def curl(self, *args):
        return subprocess.run(["curl", "-sS", "--max-time", "20", *args],
                              capture_output=True, check=True).stdout


class StartUp(Pop3Gateway):
    def steps(self):
        with open(self.root.join("logs", "load.log")) as f:
            return [line.rstrip("\n").split(" ", 1)[1] for line in f]

    def test_load_log_has_the_pop3_step_before_smtp_in(self):
        self.start()
        self.assertTrue(greets(self.port))
        steps = self.steps()
        self.assertLess(steps.index("Loading registry ..."), steps.index("Starting POP3 Server..."))
        self.assertLess(steps.index("Starting POP3 Server..."), steps.index("Starting SMTP In..."))

    def test_no_pop3_server_when_disabled(self):
        self.start(enabled=0)
        self.assertNotIn("Starting POP3 Server...", self.steps())
        self.assertFalse(greets(self.port))

    def test_exit_keeps_what_an_open_session_marked(self):
        self.start()
        p = self.pop()
        p.dele(1)
        self.assertEqual(self.gate.stop(), 1)
        self.assertTrue(os.path.exists(self.message_path(1)))


class Curl(Pop3Gateway):
    def test_retrieves_a_message_with_the_password_in_other_letter_case(self):
        self.start()
        got = self.curl(f"pop3://127.0.0.1:{self.port}/1", "-u", "BOB:sECRET")
        # curl removes the stored dot-stuffing and the end line.
        self.assertEqual(got, WITH_ID.replace(b"\r\n..", b"\r\n.")[:-3])

    def test_lists_the_mailbox(self):
        self.start()
        got = self.curl(f"pop3://127.0.0.1:{self.port}/", "-u", "bob:Secret")
        self.assertEqual(got, b"1 %d\r\n2 %d\r\n" % (len(WITH_ID), len(WITHOUT_ID)))

    def test_uidl_and_top_as_custom_requests(self):
        self.start()
        got = self.curl(f"pop3://127.0.0.1:{self.port}/", "-u", "bob:Secret", "-X", "UIDL")
        self.assertEqual(got, b"1 <one@x.test>\r\n2 no message id\r\n")
        got = self.curl(f"pop3://127.0.0.1:{self.port}/", "-u", "bob:Secret", "-X", "TOP 2 0")
        self.assertEqual(got, b"From: b@x.test\r\nSubject: two\r\n\r\n")

    def test_wrong_password_is_refused(self):
        self.start()
        r = subprocess.run(["curl", "-sS", "--max-time", "20",
                            f"pop3://127.0.0.1:{self.port}/1", "-u", "bob:nope"],
                           capture_output=True)
        self.assertNotEqual(r.returncode, 0)
        self.assertTrue(os.path.exists(self.message_path(1)))


class Poplib(Pop3Gateway):
    def test_session(self):
        self.start()
        p = self.pop("Bob", "secret")
        self.assertEqual(p.stat(), (2, len(WITH_ID) + len(WITHOUT_ID)))
        resp, lines, octets = p.retr(1)
        self.assertEqual(resp, b"+OK %d octets" % len(WITH_ID))
        # poplib removes the stuffing of "..dotted".
        self.assertEqual(lines, [b"From: a@x.test", b"Message-Id: <one@x.test>",
                                 b"Subject: one", b"", b"body one", b".dotted"])
        resp, lines, _ = p.top(2, 3)
        self.assertEqual(lines, [b"From: b@x.test", b"Subject: two", b"", b"line 1", b"",
                                 b"line 3"])
        resp, lines, _ = p.uidl()
        self.assertEqual(lines, [b"1 <one@x.test>", b"2 no message id"])
        self.assertEqual(p.uidl(1), b"+OK 1 <one@x.test>")
        with self.assertRaises(poplib.error_proto) as e:
            p.uidl(2)
        self.assertEqual(str(e.exception), str(b"-ERR 2  message ID not found"))
        with self.assertRaises(poplib.error_proto) as e:
            p.retr(3)
        self.assertEqual(str(e.exception), str(b"-ERR  Invalid Message Number"))
        p.quit()

    def test_second_login_before_quit_is_refused(self):
        self.start()
        first = self.pop()
        with self.assertRaises(poplib.error_proto) as e:
            self.pop("BOB", "SECRET")
        self.assertEqual(str(e.exception), str(b"-ERR"))
        self.pop("carol", "pw").quit()  # other mailboxes stay free
        first.quit()
        self.assertTrue(self.login_works())

    def test_deletion_at_quit(self):
        self.start()
        p = self.pop()
        p.dele(1)
        p.rset()
        p.dele(2)
        p.quit()
        self.assertTrue(os.path.exists(self.message_path(1)))
        self.assertFalse(os.path.exists(self.message_path(2)))

    def test_dropped_connection_deletes_the_marked_messages_and_frees_the_mailbox(self):
        self.start()
        p = self.pop()
        p.dele(1)
        p.close()  # no QUIT
        self.assertTrue(wait_until(self.login_works), "the mailbox stayed in use")
        self.assertFalse(os.path.exists(self.message_path(1)))
        self.assertTrue(os.path.exists(self.message_path(2)))

    def test_600_messages_list_the_first_512(self):
        for k in range(3, 601):
            self.store(k, b"Subject: %d\r\n\r\n.\r\n" % k)
        self.start()
        p = self.pop()
        count, _ = p.stat()
        self.assertEqual(count, 512)
        resp, listing, _ = p.list()
        self.assertEqual(len(listing), 512)
        self.assertEqual(p.top(512, 0)[1], [b"Subject: 512", b""])
        for k in range(1, 513):
            p.dele(k)
        p.quit()
        p = self.pop()
        self.assertEqual(p.stat()[0], 88)
        self.assertEqual(p.top(1, 0)[1], [b"Subject: 513", b""])
        p.quit()


@unittest.skipIf(shutil.which("fetchmail") is None, "fetchmail is not installed")
class Fetchmail(Pop3Gateway):
    def test_fetches_and_deletes_every_message(self):
        self.start()
        out = self.root.join("fetched")
        os.makedirs(out)
        rc = self.root.join("fetchmailrc")
        with open(rc, "w") as f:
            f.write(f"""set no syslog
set invisible
poll 127.0.0.1 service {self.port} protocol pop3 auth password
  user "bob" password "Secret" is "x" here
  mda "/bin/sh -c 'cat > {out}/msg.$$'"
  sslproto '' no keep fetchall
""")
        os.chmod(rc, 0o600)
        env = dict(os.environ, HOME=self.root.path, FETCHMAILHOME=self.root.path)
        r = subprocess.run(["fetchmail", "-f", rc, "--nodetach", "-v"], env=env,
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout.decode(errors="replace"))
        got = []
        for name in os.listdir(out):
            with open(os.path.join(out, name), "rb") as f:
                got.append(f.read())
        # fetchmail hands the messages on with LF line ends and the stuffing removed.
        want = [m.replace(b"\r\n", b"\n").replace(b"\n..", b"\n.")[:-2] for m in (WITH_ID, WITHOUT_ID)]
        self.assertEqual(sorted(got), sorted(want))
        self.assertEqual(os.listdir(self.root.join("popstore", "0")), [])


if __name__ == "__main__":
    unittest.main()
