"""zandrel-nntpd under malformed input: random and mutated command lines,
pipelined bursts, broken articles (no blank line, no headers, huge
headers, bad MIME, bad base64, bad charsets, NULs), over-long lines and,
where the server has TLS, half-finished handshakes. Nothing may crash,
every reply must be a well-formed NNTP reply (three digits, a space or the
end, CR LF; multi-line replies ended by a lone dot, dots doubled), and a
well-behaved client must be served all along.

Seeded (NNTPD_ABUSE_SEED, else a new seed, printed) and bounded in time
(NNTPD_ABUSE_SECONDS, default 4; `make soak-nntpd` runs it longer)."""

import os
import random
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawnntp  # noqa: E402
from rawnntp import BadReply, dot_stuffed  # noqa: E402

SECONDS = float(os.environ.get("NNTPD_ABUSE_SECONDS", "4"))
SEED = int(os.environ.get("NNTPD_ABUSE_SEED") or random.randrange(1 << 32))
ABUSERS = 3
MAX_ARTICLE = 65536

D = None
SERVER = None
GROUPS = ("fido.squish", "fido.jam", "fido.echo", "fido.netmail")


def setUpModule():
    global D, SERVER
    print("abuse: seed %d (NNTPD_ABUSE_SEED=%d repeats this run), %g s" % (SEED, SEED, SECONDS))
    D = harness.scratch("abuse")
    os.makedirs(D + "/sq")
    specs = {"fido.squish": "$" + D + "/sq/a", "fido.jam": "#" + D + "/sq/j",
             "fido.echo": "@" + D + "/echo", "fido.netmail": D + "/net"}
    for g, spec in specs.items():
        harness.post(spec, "Hello " + g, "Hello, All!\n.dot\n")
        harness.post(spec, "Re: Hello", "Привет.\n", frm="Ivan Petrov")
    server = dict(rawnntp.generous_limits(64), max_article_size=MAX_ARTICLE)
    areas = [rawnntp.public_area({"group": g, "spec": s}) for g, s in specs.items()]
    SERVER = harness.Server(D, areas, server=server).start()


def tearDownModule():
    SERVER.stop()


# -- what is thrown at the server

TEMPLATES = [
    b"GROUP fido.squish", b"GROUP fido.jam", b"GROUP fido.echo", b"GROUP fido.netmail",
    b"LISTGROUP fido.echo 1-", b"LISTGROUP", b"ARTICLE 1", b"HEAD 2", b"BODY", b"STAT 1",
    b"ARTICLE <2$3a5020$2f52$2e1$201a2b3c4d@zandrel.exe>", b"STAT <a@b>", b"XOVER 1-50",
    b"OVER", b"OVER 2-", b"HDR Subject 1-", b"XHDR From 1-3", b"HDR :bytes <x@y>", b"LIST",
    b"LIST ACTIVE fido.*", b"LIST NEWSGROUPS *,!fido.jam", b"LIST OVERVIEW.FMT",
    b"LIST HEADERS RANGE", b"LIST ACTIVE.TIMES", b"NEWNEWS fido.* 20000101 000000 GMT",
    b"NEWGROUPS 20000101 000000", b"NEXT", b"LAST", b"DATE", b"HELP", b"CAPABILITIES",
    b"MODE READER", b"MODE STREAM", b"IHAVE <a@b>", b"XOVER 9223372036854775807-",
]
# Commands whose reply ends the conversation or changes its kind; they are
# sent on their own, never mutated into being.
FIXED = [b"AUTHINFO", b"AUTHINFO USER", b"AUTHINFO GENERIC x", b"AUTHINFO SASL", b"STARTTLS x"]
ODD = [b"\x00", b"\t", b" ", b"-", b"--", b"*", b"!", b"[", b"]", b"\\", b"<", b">", b",",
       b"99999999999999999999", b"-1", b"0", b"1-0", b"=?utf-8?b?", b"\xff", b"\xd0", b"\r"]


def random_line(rnd):
    n = rnd.choice((0, 1, 3, 10, 40, 200, 600))
    return bytes(rnd.randrange(256) for _ in range(rnd.randint(0, n))).replace(b"\n", b"")


def mutated_line(rnd):
    line = bytearray(rnd.choice(TEMPLATES))
    for _ in range(rnd.randint(1, 4)):
        op = rnd.randrange(7)
        at = rnd.randint(0, len(line))
        if op == 0 and line:
            line[rnd.randrange(len(line))] = rnd.randrange(256)
        elif op == 1:
            line[at:at] = rnd.choice(ODD)
        elif op == 2:
            del line[at:at + rnd.randint(1, 5)]
        elif op == 3:
            line[at:at] = b" " + rnd.choice(TEMPLATES).split(b" ")[-1]
        elif op == 4:
            line = line.lower() if rnd.random() < 0.5 else line.swapcase()
        elif op == 5:
            line[at:at] = str(rnd.choice((-1, 0, 2 ** 31, 2 ** 63, 2 ** 64, 10 ** 30))).encode()
        else:
            line = line.replace(b" ", rnd.choice((b"\t", b"  ", b" \t ")))
    line = bytes(line).replace(b"\n", b"")
    if command_of(line) in ("POST", "QUIT", "STARTTLS", "AUTHINFO"):
        return b"DATE"
    return line


def command_of(line):
    return rawnntp.command_word(line)


HEAD = (b"From: Abuser <abuser@example.org>\r\nNewsgroups: fido.squish\r\n"
        b"Subject: abuse\r\n")


def broken_article(rnd):
    """An article with something wrong in it, or a valid one mutated."""
    big = rnd.randint(MAX_ARTICLE // 2, MAX_ARTICLE * 3)
    kinds = [
        HEAD + b"a body without the blank line\r\n",
        b"\r\nonly a body\r\n",
        b"",
        b"Subject: only a subject\r\n\r\nbody\r\n",
        HEAD + b"X-Huge: " + b"h" * big + b"\r\n\r\nbody\r\n",
        HEAD + b"".join(b"X-F%d: v\r\n" % i for i in range(rnd.randint(200, 3000))) + b"\r\nb\r\n",
        b" folded first\r\n" + HEAD + b"\r\nbody\r\n",
        HEAD + b"no colon in this line\r\n\r\nbody\r\n",
        HEAD + b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed\r\n\r\n--x\r\nbody\r\n",
        HEAD + b"Content-Type: multipart/mixed; boundary=b\r\n\r\nno boundary follows\r\n",
        HEAD + b"".join(b"Content-Type: multipart/mixed; boundary=b%d\r\n\r\n--b%d\r\n" % (i, i)
                        for i in range(rnd.randint(5, 60))) + b"text\r\n",
        HEAD + b"Content-Type: multipart/alternative; boundary=\"\"\r\n\r\n--\r\n\r\nx\r\n",
        HEAD + b"Content-Transfer-Encoding: base64\r\n\r\n!!!***@@@=\r\n====\r\nQQ\r\n0J/R\x00\r\n",
        HEAD + b"Content-Transfer-Encoding: quoted-printable\r\n\r\n=ZZ=\r\n=4\r\n=\r\n=C3=\r\n",
        HEAD + b"Content-Transfer-Encoding: x-uuencode\r\n\r\nbegin 644 x\r\n",
        HEAD + b"Content-Type: text/plain; charset=x-klingon\r\n\r\n\xff\xfe\xfd\r\n",
        HEAD + b"Content-Type: text/plain; charset=utf-8\r\n\r\n\xc3\x28 \xed\xa0\x80 \xf8\x88\x80\r\n",
        HEAD + b"Content-Type: text/plain; charset=\"\r\n\r\nx\r\n",
        HEAD + b"Content-Type: text/plain; charset*=''; format=flowed; delsp=yes\r\n\r\n"
               b"a \r\nb \r\n \r\n",
        b"From: A <a@b>\x00\r\nNewsgroups: fido.squish\r\nSubject: nul\x00here\r\n\r\n\x00\x00\r\n",
        b"From: A <a@b>\nNewsgroups: fido.jam\rSubject: bare ends\n\n\rbody\r\rmore\n",
        HEAD + b"Control: cancel <a@b>\r\n\r\nx\r\n",
        b"From: A <a@b>\r\nNewsgroups: fido.nonexistent\r\nSubject: x\r\n\r\nx\r\n",
        b"From: A <a@b>\r\nNewsgroups: ,,, ,\r\nSubject: x\r\n\r\nx\r\n",
        b"From: A <a@b>\r\nNewsgroups: " + b",".join(b"g%d" % i for i in range(300)) +
        b"\r\nSubject: x\r\n\r\nx\r\n",
        b"From: nobody\r\nNewsgroups: fido.squish\r\nSubject: x\r\n\r\nx\r\n",
        HEAD + b"References: " + b"<<<>>> <a b> <" * 500 + b"\r\n\r\nx\r\n",
        HEAD + b"X-Comment-To: =?utf-8?b?!!!?= =?x?q?=FF?=\r\n\r\nx\r\n",
        b"From: =?koi8-r?q?=FF=FF?=" * 200 + b" <a@b>\r\nNewsgroups: fido.echo\r\n"
        b"Subject: " + b"=?utf-8?q?=D0?=" * 300 + b"\r\n\r\nx\r\n",
        HEAD + b"\r\n" + b"x" * rnd.randint(1000, 100000) + b"\r\n",
        HEAD + b"\r\n" + b".\r\n..\r\n...\r\n. \r\n",
    ]
    article = bytearray(rnd.choice(kinds))
    if rnd.random() < 0.3:  # a valid article, mutated
        article = bytearray(HEAD + b"\r\nHello\r\n")
        for _ in range(rnd.randint(1, 8)):
            if article:
                article[rnd.randrange(len(article))] = rnd.randrange(256)
    return bytes(article)


class Abuser:
    """One connection's worth of abuse at a time, reconnecting as needed;
    every reply is checked, and anything that is not right is recorded."""

    def __init__(self, n):
        self.rnd = random.Random(SEED * 31 + n)
        self.conn = None
        self.failures = []
        self.counts = {"lines": 0, "posts": 0, "bursts": 0, "connections": 0, "long": 0}
        self.codes = {}
        self.sent = b""  # what the last exchange sent, for the failure message

    def fail(self, what):
        self.failures.append("%s (after sending %r)" % (what, self.sent[:300]))
        self.drop()

    def drop(self):
        if self.conn:
            self.conn.close(reset=self.rnd.random() < 0.3)
            self.conn = None

    def code(self, code):
        self.codes[code] = self.codes.get(code, 0) + 1

    def exchange(self, line):
        """Sends `line`; reads its reply, and the reply to an article when
        the server asks for one. False when the connection is over."""
        word = command_of(line)
        self.sent = line
        code, status, _ = self.conn.command(line)
        self.code(code)
        if code in (340, 335):  # an article is wanted: a broken one
            self.counts["posts"] += 1
            article = dot_stuffed(broken_article(self.rnd))
            self.sent = b"%s, then an article of %d bytes: %r" % (line, len(article), article[:200])
            self.conn.send(article)
            code, status, _ = self.conn.reply("POST")
            self.code(code)
            if code not in (240, 441, 235, 436, 437):
                raise BadReply("%r to an article" % status)
        if code == 403 or (code == 400 and word != "QUIT"):
            raise BadReply("server failure %r" % status)
        return code not in (205, 400)

    def step(self):
        if self.conn is None:
            # A reply that takes half a minute is a stall: the server's
            # own limits are longer.
            self.conn = rawnntp.connect(SERVER.port, timeout=30)
            self.counts["connections"] += 1
        r = self.rnd.random()
        if r < 0.05:  # a pipelined burst: every reply in order
            lines = [mutated_line(self.rnd) for _ in range(self.rnd.randint(2, 20))]
            lines = [l for l in lines if command_of(l) != "IHAVE"]
            self.counts["bursts"] += 1
            self.sent = b"".join(l + b"\r\n" for l in lines)
            self.conn.send(self.sent)
            for l in lines:
                code, _, _ = self.conn.reply(command_of(l))
                self.code(code)
                if code in (403, 400):
                    raise BadReply("server failure %d to %r" % (code, l))
            return True
        if r < 0.10:
            self.counts["posts"] += 1
            return self.exchange(b"POST")
        if r < 0.12:
            # Longer than any line the server takes: 501, and the stream
            # stays in step.
            self.counts["long"] += 1
            self.sent = b"ARTICLE " + b"9" * self.rnd.randint(2100, 20000)
            code, _, _ = self.conn.command(self.sent)
            if code != 501:
                raise BadReply("%d to a line of more than 2048 octets" % code)
            return True
        self.counts["lines"] += 1
        if r < 0.14:
            return self.exchange(self.rnd.choice(FIXED))
        if r < 0.55:
            return self.exchange(random_line(self.rnd))
        return self.exchange(mutated_line(self.rnd))

    def run(self, deadline):
        while time.time() < deadline and len(self.failures) < 5:
            try:
                if not self.step() or self.rnd.random() < 0.02:
                    self.drop()
            except (BadReply, EOFError, OSError) as e:
                self.fail("%s: %s" % (type(e).__name__, e))
        self.drop()


class Reader:
    """A well-behaved client that keeps reading an article meanwhile."""

    def __init__(self):
        self.rounds = 0
        self.failures = []

    def run(self, stop):
        try:
            c = rawnntp.connect(SERVER.port)
            while not stop.is_set():
                code, _, _ = c.command(b"GROUP fido.squish")
                code2, _, lines = c.command(b"ARTICLE 1")
                if code != 211 or code2 != 220 or b"Hello, All!" not in lines:
                    self.failures.append("GROUP %d, ARTICLE %d" % (code, code2))
                    return
                self.rounds += 1
                time.sleep(0.05)
            c.command(b"QUIT")
        except (BadReply, EOFError, OSError) as e:
            self.failures.append("%s: %s" % (type(e).__name__, e))


class Abuse(unittest.TestCase):
    def test_malformed_input_gets_well_formed_replies_while_others_are_served(self):
        abusers = [Abuser(n) for n in range(ABUSERS)]
        reader = Reader()
        stop = threading.Event()
        deadline = time.time() + SECONDS
        threads = [threading.Thread(target=a.run, args=(deadline,)) for a in abusers]
        threads.append(threading.Thread(target=reader.run, args=(stop,)))
        for t in threads:
            t.start()
        for t in threads[:-1]:
            t.join()
        stop.set()
        threads[-1].join()

        counts = {k: sum(a.counts[k] for a in abusers) for k in abusers[0].counts}
        codes = {}
        for a in abusers:
            for c, n in a.codes.items():
                codes[c] = codes.get(c, 0) + n
        print("abuse: %s; replies %s; the reader read %d times meanwhile" % (
            ", ".join("%d %s" % (v, k) for k, v in counts.items()),
            " ".join("%d:%d" % kv for kv in sorted(codes.items())), reader.rounds))
        failures = [f for a in abusers for f in a.failures]
        self.assertEqual(failures, [], "seed %d" % SEED)
        self.assertEqual(reader.failures, [], "seed %d" % SEED)
        self.assertGreater(reader.rounds, 0)
        self.assertIsNone(SERVER.proc.poll(), "the server ended")
        self.assertNotIn("a connection ended by", SERVER.log_text())

    def test_arguments_echoed_in_a_status_line_keep_it_whole(self):
        c = rawnntp.connect(SERVER.port)
        c.command(b"GROUP fido.squish")
        for line in (b"XHDR Sub\rject 1-", b"HDR Subject\x00x 1", b"XHDR \r\r 1-2"):
            code, status, lines = c.command(line)  # the form is checked here
            self.assertIn(code, (221, 225), status)
        self.assertEqual(c.command(b"DATE")[0], 111)
        c.command(b"QUIT")

    def test_line_over_512_octets_is_refused_and_the_stream_stays_in_step(self):
        # The 512-octet limit comes with the server's command timeout.
        if not rawnntp.server_knows("server", "command_timeout", 60):
            print("skipped: this server has no command_timeout and keeps its own, longer line"
                  " limit (checked above: lines over 2048 octets get 501)")
            return
        c = rawnntp.connect(SERVER.port)
        for n in (511, 512, 513, 1000):
            line = b"XHDR Subject " + b"1" * (n - 15)  # n octets with CR LF
            self.assertEqual(len(line) + 2, n)
            code, _, _ = c.command(line)
            if n <= 512:
                self.assertNotEqual(code, 501, n)
            else:
                self.assertEqual(code, 501, n)
            self.assertEqual(c.command(b"DATE")[0], 111)
        c.command(b"QUIT")


def make_certificate(directory):
    key, cert = directory + "/key.pem", directory + "/cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


class HalfFinishedTls(unittest.TestCase):
    """Handshakes broken off at every stage, on the TLS port and after
    STARTTLS, while a real TLS client goes on reading."""

    @classmethod
    def setUpClass(cls):
        cls.server = None
        if not shutil.which("openssl"):
            raise unittest.SkipTest("no openssl to make a certificate")
        d = harness.scratch("abuse-tls")
        cert, key = make_certificate(d)
        tls = "[tls]\ncert = %s\nkey = %s\n" % (harness.toml_str(cert), harness.toml_str(key))
        if not rawnntp.server_accepts('[server]\ntls_listen = ["127.0.0.1:0"]\n' + tls):
            raise unittest.SkipTest("this server has no TLS listener (no tls_listen, [tls])")
        cls.server = harness.Server(
            d, [{"group": "fido.squish", "spec": "$" + D + "/sq/a"}],
            server=dict(rawnntp.generous_limits(64), command_timeout=3,
                        tls_listen=["127.0.0.1:0"]),
            tables=[("tls", {"cert": cert, "key": key})]).start()

    @classmethod
    def tearDownClass(cls):
        if cls.server:
            cls.server.stop()

    def client_hello(self):
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        obj = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")
        try:
            obj.do_handshake()
        except ssl.SSLWantReadError:
            pass
        return outgoing.read()

    def read_over_tls(self):
        nntplib = harness.import_nntplib()
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        s = nntplib.NNTP_SSL("127.0.0.1", self.server.tls_port, ssl_context=ctx, readermode=True)
        s.group("fido.squish")
        self.assertIn(b"Hello, All!", b"\n".join(s.article(1)[1].lines))
        s.quit()

    def test_broken_handshakes_leave_the_server_serving(self):
        hello = self.client_hello()
        held = []
        for cut in (0, 1, 5, 10, len(hello) // 2, len(hello)):
            s = socket.create_connection(("127.0.0.1", self.server.tls_port))
            s.sendall(hello[:cut])
            held.append(s)  # left hanging: the server must not wait for it
        for junk in (b"GET / HTTP/1.0\r\n\r\n", b"\x16\x03\x01\xff\xff" + b"\x00" * 100,
                     bytes(random.Random(SEED).randrange(256) for _ in range(3000))):
            s = socket.create_connection(("127.0.0.1", self.server.tls_port))
            s.sendall(junk)
            s.close()
        for cut in (0, 7, len(hello)):
            c = rawnntp.connect(self.server.port)
            code, _, _ = c.command(b"STARTTLS")
            self.assertEqual(code, 382)
            c.send(hello[:cut])
            c.close(reset=cut == 7)
        self.read_over_tls()
        self.read_over_tls()
        # Handshakes never finished are given up within the command timeout.
        deadline = time.time() + 3 + 10
        for s in held:
            s.settimeout(max(0.1, deadline - time.time()))
            try:
                while s.recv(4096):
                    pass
            except socket.timeout:
                self.fail("a half-finished handshake was kept past the command timeout")
            except OSError:
                pass
            s.close()
        self.assertIsNone(self.server.proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
