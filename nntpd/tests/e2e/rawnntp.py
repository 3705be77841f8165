"""What the abuse, leak and load tests share: an NNTP client over a raw
socket that checks the form of every reply it reads, a look at the server
process through /proc (descriptors, children, memory), and a probe for the
configuration keys a server knows."""

import os
import re
import socket
import subprocess
import tempfile

import harness

# Codes whose reply is followed by lines up to a lone ".". 211 is one only
# as the answer to LISTGROUP.
MULTILINE = {100, 101, 215, 220, 221, 222, 224, 225, 230, 231}
# A status line: three digits, then the end or a space and text without
# CR, LF or NUL.
STATUS = re.compile(rb"[1-5][0-9][0-9](?: [^\r\n\x00]*)?")
MAX_REPLY = 64 << 20  # bytes one multi-line reply may have here


class BadReply(Exception):
    """A reply that is not a well-formed NNTP reply."""


def command_word(line):
    """The command of a line as the server reads it: the first word, split at
    blanks and tabs, in ASCII upper case."""
    words = re.split(rb"[ \t]+", line.strip(b" \t"))
    return words[0].upper().decode("latin-1") if words and words[0] else ""


def multiline(code, word):
    return code in MULTILINE or (code == 211 and word == "LISTGROUP")


def dot_stuffed(article):
    """`article` (bytes, any line ends) as a POST sends it: CR LF line ends,
    leading dots doubled, the closing dot line."""
    lines = article.replace(b"\r\n", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    out = [b"." + l if l.startswith(b".") else l for l in lines]
    return b"".join(l + b"\r\n" for l in out) + b".\r\n"


class Conn:
    """One client connection to 127.0.0.1:`port`."""

    def __init__(self, port, timeout=60):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""
        self.read = 0  # reply bytes read

    def send(self, data):
        self.sock.sendall(data)

    def _line(self):
        while True:
            nl = self.buf.find(b"\n")
            if nl >= 0:
                line, self.buf = self.buf[:nl + 1], self.buf[nl + 1:]
                self.read += len(line)
                if not line.endswith(b"\r\n"):
                    raise BadReply("line ended by a bare LF: %r" % line[-80:])
                return line[:-2]
            if len(self.buf) > MAX_REPLY:
                raise BadReply("a reply line of more than %d bytes" % MAX_REPLY)
            data = self.sock.recv(65536)
            if not data:
                if self.buf:
                    raise BadReply("connection closed inside a line: %r" % self.buf[:80])
                raise EOFError("connection closed")
            self.buf += data

    def status(self):
        """The status line: (code, line)."""
        line = self._line()
        if not STATUS.fullmatch(line):
            raise BadReply("not a status line: %r" % line[:120])
        return int(line[:3]), line

    def reply(self, word):
        """The reply to a command `word`: (code, status line, data lines
        with their dots undoubled)."""
        code, line = self.status()
        lines = []
        if multiline(code, word):
            size = 0
            while True:
                l = self._line()
                if l == b".":
                    break
                if l.startswith(b"."):
                    if not l.startswith(b".."):
                        raise BadReply("a data line starting with a single dot: %r" % l[:80])
                    l = l[1:]
                size += len(l)
                if size > MAX_REPLY:
                    raise BadReply("a multi-line reply of more than %d bytes" % MAX_REPLY)
                lines.append(l)
        return code, line, lines

    def command(self, line):
        self.send(line + b"\r\n")
        return self.reply(command_word(line))

    def close(self, reset=False):
        if reset:
            # RST instead of FIN: the server's next read or write fails.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00" * 2)
        self.sock.close()


def connect(port, timeout=60):
    """A connection whose greeting has been read and checked."""
    c = Conn(port, timeout)
    code, line = c.status()
    if code not in (200, 201):
        raise BadReply("greeting %r" % line)
    return c


def post_many(spec, messages):
    """Stores `messages` through one back end, as a tosser-side program
    would: (subject, text, from, to) with str text (LF line ends, encoded to
    1251 here)."""
    data = bytearray()
    for subject, text, frm, to in messages:
        body = text.encode("cp1251")
        data += ("POST %s 2:5020/52.1 2:5020/1 %d\n" % (spec, len(body))).encode()
        data += ("\n%s\n%s\n%s\n" % (frm, to, subject)).encode("cp1251") + body
    subprocess.run([harness.ZANDREL], input=bytes(data), check=True, stdout=subprocess.DEVNULL)


# -- the server process

def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def children(pid):
    """Processes whose parent is `pid`, zombies among them."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()
        if int(fields[1]) == pid:
            out.append((int(entry), fields[0].decode()))
    return out


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


_accepted = {}


def server_accepts(toml):
    """Whether zandrel-nntpd takes a configuration of `toml` and one area:
    keys that newer servers know are set only where they are understood."""
    if toml not in _accepted:
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "probe.toml")
            with open(path, "w") as f:
                f.write(toml + '\n[[area]]\ngroup = "probe"\nspec = "$%s/probe"\npost = false\n' % d)
            r = subprocess.run([harness.NNTPD, "--config", path, "--check-config"],
                               capture_output=True)
            _accepted[toml] = r.returncode == 0
    return _accepted[toml]


def server_knows(section, key, value):
    return server_accepts("[%s]\n%s = %s\n" % (section, key, value))


def public_area(area):
    """`area` (the keys of an [[area]] table) readable by anyone, netmail
    too, where the server knows private netmail."""
    if server_accepts('[[area]]\ngroup = "n"\nspec = "/nonexistent/n"\npost = false\n'
                      'netmail = false\n'):
        area = dict(area, netmail=False)
    return area


def generous_limits(connections):
    """[server] keys that let `connections` clients of 127.0.0.1 in at once."""
    keys = {"max_connections": connections}
    if server_knows("server", "max_connections_per_address", connections):
        keys["max_connections_per_address"] = connections
    return keys
