"""zandrel-nntpd open to more than one trusted reader: TLS (implicit and
STARTTLS) with a certificate made here by openssl, logins right and wrong,
who may read and post where, private netmail between two users, posts that
cannot take another user's name, the limits that hold under abuse, and the
configuration read again on SIGHUP."""

import datetime
import io
import os
import re
import select
import signal
import socket
import ssl
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

nntplib = harness.import_nntplib()

D = None
SERVER = None
SPEC = {}
CTX = None
PASSWORDS = {"ivan": "ivan-secret", "petr": "petr has spaces"}
USERS = []


def hash_password(password):
    out = subprocess.run([harness.NNTPD, "--hash-password"], input=password + "\n",
                         capture_output=True, text=True, check=True).stdout.strip()
    assert out.startswith("$y$"), out
    return out


def make_certificate(d):
    if subprocess.run(["sh", "-c", "command -v openssl"], capture_output=True).returncode:
        harness.skip("no openssl")
    cert, key = d + "/cert.pem", d + "/key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True)
    ctx = ssl.create_default_context(cafile=cert)
    return cert, key, ctx


def setUpModule():
    global D, SERVER, CTX
    D = harness.scratch("security")
    cert, key, CTX = make_certificate(D)
    SPEC.update({
        "fido.public": "$" + D + "/squish/public",
        "fido.open": "$" + D + "/squish/open",
        "fido.members": "#" + D + "/jam/members",
        "fido.netmail": D + "/netmail",
    })
    os.makedirs(D + "/squish")
    os.makedirs(D + "/jam")
    for point, group in enumerate(("fido.public", "fido.open", "fido.members"), 1):
        harness.post(SPEC[group], "In " + group, "Text of " + group + ".\n",
                     orig=f"2:5020/60.{point}")
    nm = SPEC["fido.netmail"]
    harness.post(nm, "Ivan to the sysop", "Mine.\n", frm="Ivan Petrov", to="Sysop",
                 orig="2:5020/52.7", dest="2:5020/52")
    harness.post(nm, "Sysop to Petr", "Yours.\n", frm="Sysop", to="пётр сидоров",
                 orig="2:5020/52", dest="2:5020/52.8")
    harness.post(nm, "Vasya to the sysop", "Theirs.\n", frm="Vasya", to="Sysop",
                 orig="2:5020/99", dest="2:5020/52")
    USERS[:] = [
        {"name": "ivan", "password": hash_password(PASSWORDS["ivan"]),
         "realnames": ["Ivan Petrov", "Иван Петров"], "address": "2:5020/52.7"},
        {"name": "petr", "password": hash_password(PASSWORDS["petr"]),
         "realnames": ["Petr Sidorov", "Пётр Сидоров"], "address": "2:5020/52.8"},
    ]
    areas = [{"group": "fido.public", "spec": SPEC["fido.public"]},
             {"group": "fido.open", "spec": SPEC["fido.open"], "post": "all"},
             {"group": "fido.members", "spec": SPEC["fido.members"], "read": ["ivan"]},
             {"group": "fido.netmail", "spec": SPEC["fido.netmail"]}]
    SERVER = harness.Server(D, areas, {"listen": ["127.0.0.1:0"], "tls_listen": ["127.0.0.1:0"],
                                       "plain_login_hosts": [], "login_delay": 0},
                            tables=[("tls", {"cert": cert, "key": key}), ("user", USERS)]).start()


def tearDownModule():
    SERVER.stop()


def plain(**kw):
    return nntplib.NNTP("127.0.0.1", SERVER.port, readermode=True, **kw)


def tls(user=None):
    s = nntplib.NNTP_SSL("127.0.0.1", SERVER.tls_port, ssl_context=CTX, readermode=True)
    if user:
        s.login(user, PASSWORDS[user])
    return s


def code(s, command):
    try:
        return s._shortcmd(command)
    except nntplib.NNTPError as e:
        return e.response


def groups(s):
    return {g.group for g in s.list()[1]}


def overview_subjects(s, group):
    _, _, low, high, _ = s.group(group)
    try:
        return [o["subject"] for _, o in s.over((1, max(high, 1)))[1]]
    except nntplib.NNTPTemporaryError:
        return []


def article_text(lines):
    return b"\n".join(lines).decode("utf-8")


def posted(newsgroups, subject, body, frm="Somebody <somebody@example.org>", extra=""):
    return io.BytesIO((f"From: {frm}\nNewsgroups: {newsgroups}\nSubject: {subject}\n{extra}"
                       "Content-Type: text/plain; charset=utf-8\n\n" + body).encode("utf-8"))


class Raw:
    """A client on a bare socket, for what nntplib will not do."""

    def __init__(self, port, rcvbuf=None):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", port))
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("utf-8", "replace")

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def closed(self):
        """Whether the server closed the connection (after what it sent)."""
        try:
            while True:
                data = self.sock.recv(65536)
                if not data:
                    return True
                self.buf += data
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()


class Tls(unittest.TestCase):
    def test_implicit_tls_serves_articles(self):
        with tls() as s:
            self.assertIn(s.sock.version(), ("TLSv1.2", "TLSv1.3"))
            s.group("fido.public")
            self.assertIn("Text of fido.public.", article_text(s.article(1)[1].lines))
            self.assertNotIn("STARTTLS", s.getcapabilities())

    def test_starttls_then_login(self):
        with plain() as s:
            caps = s.getcapabilities()
            self.assertIn("STARTTLS", caps)
            self.assertEqual(caps["AUTHINFO"], [])  # not before TLS
            self.assertTrue(code(s, "AUTHINFO USER ivan").startswith("483"))
            s.starttls(CTX)
            self.assertEqual(s.getcapabilities()["AUTHINFO"], ["USER"])
            s.login("ivan", PASSWORDS["ivan"])
            self.assertIn("fido.members", groups(s))
            self.assertTrue(code(s, "STARTTLS").startswith("502"))

    def test_commands_sent_before_the_handshake_are_dropped(self):
        # A DATE put behind STARTTLS in the clear (by anyone on the way) must
        # not be answered inside TLS.
        raw = Raw(SERVER.port)
        self.assertTrue(raw.line().startswith("20"))
        raw.send("STARTTLS\r\nDATE\r\n")
        self.assertTrue(raw.line().startswith("382"))
        sock = CTX.wrap_socket(raw.sock, server_hostname="127.0.0.1")
        sock.sendall(b"HELP\r\n")
        self.assertTrue(sock.recv(4096).startswith(b"100 "))
        sock.close()

    def test_half_finished_handshake_does_not_hold_the_server(self):
        raw = Raw(SERVER.tls_port)
        raw.send(b"\x16\x03\x01\x00")  # the start of a ClientHello, and no more
        with tls() as s:
            self.assertEqual(s.date()[0][:3], "111")
        raw.close()


class Logins(unittest.TestCase):
    def test_right_and_wrong_passwords(self):
        with tls() as s:
            with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                s.login("ivan", "wrong")
            self.assertTrue(e.exception.response.startswith("481"))
        with tls() as s:
            self.assertTrue(code(s, "AUTHINFO PASS x").startswith("482"))
            with self.assertRaises(nntplib.NNTPTemporaryError):
                s.login("nobody", "whatever")
        with tls("petr") as s:  # a password with blanks
            self.assertTrue(code(s, "AUTHINFO USER petr").startswith("502"))
        log = SERVER.log_text()
        self.assertRegex(log, r"login 127\.0\.0\.1:\d+ \(petr\)")
        self.assertIn('login-failed 127.0.0.1', log)
        for password in list(PASSWORDS.values()) + ["wrong"]:
            self.assertNotIn(password, log)

    def test_an_address_that_fails_too_often_waits(self):
        d = harness.scratch("blocked")
        with harness.Server(d, [{"group": "fido.public", "spec": SPEC["fido.public"]}],
                            {"login_delay": 0, "login_failures": 2, "login_block": 60},
                            tables=[("user", USERS)]) as server:
            with nntplib.NNTP("127.0.0.1", server.port) as s:  # plain logins: loopback
                for _ in range(2):
                    self.assertTrue(code(s, "AUTHINFO USER ivan").startswith("381"))
                    self.assertTrue(code(s, "AUTHINFO PASS wrong").startswith("481"))
                code(s, "AUTHINFO USER ivan")
                reply = code(s, "AUTHINFO PASS " + PASSWORDS["ivan"])
                self.assertTrue(reply.startswith("481 too many"), reply)
            self.assertIn("the address is blocked for 60 s", server.log_text())


class Access(unittest.TestCase):
    def test_anonymous_reader(self):
        with tls() as s:
            self.assertEqual(groups(s), {"fido.public", "fido.open"})
            self.assertTrue(code(s, "GROUP fido.members").startswith("480"))
            self.assertTrue(code(s, "GROUP fido.netmail").startswith("480"))
            self.assertTrue(code(s, "GROUP fido.nonesuch").startswith("411"))
            # An article of a group it cannot see is not there at all.
            msgid = self.message_id("fido.members")
            self.assertTrue(code(s, "ARTICLE " + msgid).startswith("430"))
            _, flags = s.list("fido.*")
            self.assertEqual({g.group: g.flag for g in flags}, {"fido.public": "n", "fido.open": "y"})
            with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                s.post(posted("fido.public", "Anonymous", "Hi.\n"))
            self.assertIn("needs a login", e.exception.response)

    def message_id(self, group):
        with tls("ivan") as s:
            s.group(group)
            return s.stat(1)[2]

    def test_named_readers(self):
        msgid = self.message_id("fido.members")
        with tls("petr") as s:
            self.assertTrue(code(s, "GROUP fido.members").startswith("411"))
            self.assertTrue(code(s, "ARTICLE " + msgid).startswith("430"))
            self.assertEqual(groups(s), {"fido.public", "fido.open", "fido.netmail"})
        with tls("ivan") as s:
            self.assertEqual(s.article(msgid)[1].message_id, msgid)

    def test_anyone_posts_where_the_area_allows_all(self):
        with plain() as s:
            before = s.group("fido.open")[3]
            resp = s.post(posted("fido.open", "Open to all", "Anyone may.\n"))
            self.assertTrue(resp.startswith("240"), resp)
            self.assertEqual(s.group("fido.open")[3], before + 1)


class Identity(unittest.TestCase):
    def test_nobody_posts_under_a_users_name(self):
        with plain() as s:
            for frm in ("Ivan Petrov <ivan@example.org>",
                        "=?utf-8?b?0JjQktCQ0J0g0J/QtdGC0YDQvtCy?= <x@y>",
                        # padded past the 35 characters a stored name keeps
                        '"Ivan Petrov' + " " * 30 + 'x" <x@y>'):
                with self.subTest(frm=frm):
                    with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                        s.post(posted("fido.open", "Faked", "Not Ivan.\n", frm=frm))
                    self.assertIn("belongs to a user", e.exception.response)

    def test_users_post_under_their_own_name_and_point(self):
        with tls("ivan") as s:
            resp = s.post(posted("fido.public", "From Ivan", "Hello.\n", frm="Petr Sidorov <p@x>"))
            self.assertTrue(resp.startswith("240"), resp)
            high = s.group("fido.public")[3]
            text = article_text(s.article(high)[1].lines)
            self.assertRegex(text, r"From: Ivan Petrov <Ivan\.Petrov@p7\.f52\.n5020\.z2\.")
            self.assertIn("X-Kludge: MSGID: 2:5020/52.7 ", text)
            self.assertIn("(2:5020/52.7)", text)
            # A real name of the user's own is kept as given.
            resp = s.post(posted("fido.public", "Cyrillic", "Привет.\n", frm="иван петров <i@x>"))
            _, art = s.head(s.group("fido.public")[3])
            frm = re.search(r"\nFrom: (.*?)\n(?! )", article_text(art.lines), re.S).group(1)
            self.assertEqual(nntplib.decode_header(frm).split("<")[0].strip(), "Иван Петров")
        self.assertRegex(SERVER.log_text(), r"post 127\.0\.0\.1:\d+ \(ivan\): fido\.public:\d+ <")


def newest_netmail():
    """Names and destination net/node of the newest message of the netmail
    directory, from its *.MSG header."""
    d = SPEC["fido.netmail"]
    newest = max((f for f in os.listdir(d) if f.endswith(".msg")), key=lambda f: int(f[:-4]))
    with open(os.path.join(d, newest), "rb") as f:
        h = f.read(190)
    def name(b):
        return b.split(b"\0")[0].decode("cp866")
    dest_node, = struct.unpack_from("<H", h, 166)
    dest_net, = struct.unpack_from("<H", h, 174)
    return name(h[0:36]), name(h[36:72]), f"{dest_net}/{dest_node}"


class Netmail(unittest.TestCase):
    def test_each_user_sees_only_their_own(self):
        for user, mine in (("ivan", ["Ivan to the sysop"]), ("petr", ["Sysop to Petr"])):
            with self.subTest(user=user), tls(user) as s:
                self.assertEqual(overview_subjects(s, "fido.netmail")[:1], mine)
                numbers = s._longcmdstring("LISTGROUP fido.netmail")[1]
                self.assertNotIn("3", numbers)
                other = "2" if user == "ivan" else "1"
                self.assertNotIn(other, numbers)
                self.assertTrue(code(s, "ARTICLE " + other).startswith("423"))
                self.assertTrue(code(s, "HEAD 3").startswith("423"))
                self.assertTrue(code(s, "XHDR subject 3").startswith("423"))
                _, ids = s.newnews("fido.netmail", datetime.datetime(2000, 1, 1))
                self.assertEqual(ids, [s.stat(int(numbers[0]))[2]])
        # Nor by Message-ID, from a user who may read the area.
        with tls("ivan") as s:
            s.group("fido.netmail")
            ivans = s.stat(1)[2]
        with tls("petr") as s:
            self.assertTrue(code(s, "STAT " + ivans).startswith("430"))
            self.assertTrue(code(s, "HDR subject " + ivans).startswith("430"))

    def test_reply_goes_to_the_address_of_the_article_replied_to(self):
        with tls("petr") as s:
            s.group("fido.netmail")
            _, _, parent = s.stat(2)
            resp = s.post(posted("fido.netmail", "Re: Sysop to Petr", "Thanks.\n",
                                 frm="Пётр Сидоров <petr@example.org>",
                                 extra=f"References: {parent}\n"))
            self.assertTrue(resp.startswith("240"), resp)
        self.assertEqual(newest_netmail(), ("Пётр Сидоров", "Sysop", "5020/52"))

    def test_new_netmail_to_the_recipient_given(self):
        with tls("ivan") as s:
            with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                s.post(posted("fido.netmail", "Nowhere", "No address.\n"))
            self.assertIn("needs an address", e.exception.response)
            resp = s.post(posted("fido.netmail", "To Petr", "Hello, Petr.\n",
                                 extra="X-Comment-To: Petr Sidorov <2:5020/77>\n"))
            self.assertTrue(resp.startswith("240"), resp)
            self.assertIn("To Petr", overview_subjects(s, "fido.netmail"))
        with tls("petr") as s:
            self.assertIn("To Petr", overview_subjects(s, "fido.netmail"))
        self.assertEqual(newest_netmail(), ("Ivan Petrov", "Petr Sidorov", "5020/77"))


def small_server(name, server, areas=None, tables=None):
    d = harness.scratch(name)
    return harness.Server(d, areas or [{"group": "fido.public", "spec": SPEC["fido.public"]}],
                          server, tables=tables)


class Limits(unittest.TestCase):
    def test_idle_and_slow_clients_are_closed(self):
        with small_server("idle", {"idle_timeout": 1, "command_timeout": 2}) as server:
            raw = Raw(server.port)
            raw.line()
            start = time.time()
            self.assertTrue(raw.line().startswith("400 idle"))
            self.assertTrue(raw.closed())
            self.assertLess(time.time() - start, 4)
            # One byte at a time keeps a client from being idle, not past the
            # command limit.
            raw = Raw(server.port)
            raw.line()
            start = time.time()
            for ch in "HELP" * 20:
                if select.select([raw.sock], [], [], 0)[0]:
                    break  # the server has something to say
                raw.send(ch)
                time.sleep(0.3)
            self.assertTrue(raw.line().startswith("400 command not received"))
            self.assertLess(time.time() - start, 5)
            self.assertIn("too slow to send a command", server.log_text())

    def test_connection_limits_total_and_per_address(self):
        for limits, text in (({"max_connections_per_address": 2}, "from your address"),
                             ({"max_connections": 2}, "too many connections")):
            with self.subTest(limits=limits), small_server("limits", limits) as server:
                first, second = Raw(server.port), Raw(server.port)
                self.assertTrue(first.line().startswith("20"))
                self.assertTrue(second.line().startswith("20"))
                third = Raw(server.port)
                reply = third.line()
                self.assertTrue(reply.startswith("400") and text in reply, reply)
                self.assertTrue(third.closed())
                first.close()
                time.sleep(0.2)
                fourth = Raw(server.port)
                self.assertTrue(fourth.line().startswith("20"))

    def test_allow_list(self):
        with small_server("allow", {}, tables=[("allow", [{"hosts": ["192.0.2.0/24"]}])]) as server:
            raw = Raw(server.port)
            self.assertTrue(raw.line().startswith("502"))
            self.assertTrue(raw.closed())

    def test_long_lines_and_huge_articles_keep_the_stream_in_step(self):
        with small_server("sizes", {"max_article_size": 1024}, areas=[
                {"group": "fido.public", "spec": SPEC["fido.public"], "post": "all"}]) as server:
            raw = Raw(server.port)
            raw.line()
            raw.send("HELP " + "x" * 520 + "\r\nDATE\r\n")
            self.assertTrue(raw.line().startswith("501"))
            self.assertTrue(raw.line().startswith("111"))
            raw.send("POST\r\n")
            self.assertTrue(raw.line().startswith("340"))
            article = ("From: a <a@b>\r\nNewsgroups: fido.public\r\nSubject: big\r\n\r\n" +
                       ("y" * 70 + "\r\n") * 3000 + "HELP\r\n.\r\nDATE\r\n")
            raw.send(article)
            self.assertIn("too large", raw.line())
            self.assertTrue(raw.line().startswith("111"))

    def test_a_client_that_does_not_read_is_dropped(self):
        with small_server("unread", {"command_timeout": 1}) as server:
            raw = Raw(server.port, rcvbuf=4096)
            raw.sock.settimeout(8)
            start = time.time()
            try:
                for _ in range(200):
                    raw.send("HELP\r\n" * 500)
            except OSError:
                pass  # the server closed it
            self.assertLess(time.time() - start, 8)
            # Meanwhile and afterwards others are served.
            with nntplib.NNTP("127.0.0.1", server.port) as s:
                self.assertEqual(s.date()[0][:3], "111")
            deadline = time.time() + 5
            while "not reading its replies" not in server.log_text() and time.time() < deadline:
                time.sleep(0.1)
            self.assertIn("not reading its replies", server.log_text())
            raw.close()


class Reload(unittest.TestCase):
    def test_sighup_reads_the_configuration_without_dropping_connections(self):
        d = harness.scratch("reload")
        area = {"group": "fido.public", "spec": SPEC["fido.public"], "description": "before"}
        server = harness.Server(d, [area]).start()
        try:
            with nntplib.NNTP("127.0.0.1", server.port) as s:
                self.assertEqual(s.description("fido.public"), "before")
                config = open(server.config).read()
                with open(server.config, "w") as f:
                    f.write(config.replace('"before"', '"after"') +
                            '[[area]]\ngroup = "fido.open"\nspec = "%s"\n' % SPEC["fido.open"])
                server.proc.send_signal(signal.SIGHUP)
                self.wait_for(server, "configuration read again")
                self.assertEqual(s.description("fido.public"), "after")
                self.assertIn("fido.open", groups(s))
                # A file that cannot be used changes nothing.
                with open(server.config, "w") as f:
                    f.write("[server]\nbogus = 1\n")
                server.proc.send_signal(signal.SIGHUP)
                self.wait_for(server, "kept as it was")
                self.assertEqual(s.description("fido.public"), "after")
        finally:
            server.stop()

    @staticmethod
    def wait_for(server, text):
        deadline = time.time() + 5
        while text not in server.log_text():
            if time.time() > deadline:
                raise AssertionError("no '%s' in the log: %s" % (text, server.log_text()))
            time.sleep(0.05)


if __name__ == "__main__":
    unittest.main(verbosity=2)
