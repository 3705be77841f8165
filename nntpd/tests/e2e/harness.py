"""What the end-to-end tests of zandrel-nntpd share: areas made through the
back end itself, a configuration, and a server on an ephemeral port of
127.0.0.1 with its log in the scratch directory.

The paths of the two programs come from the environment (ZANDREL,
ZANDREL_NNTPD), set by ctest; the scratch directory from NNTPD_SCRATCH or a
new temporary one."""

import atexit
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ZANDREL = os.environ.get("ZANDREL", "build/zandrel")
NNTPD = os.environ.get("ZANDREL_NNTPD", "build/zandrel-nntpd")
FOREIGN = os.environ.get("ZANDREL_FOREIGN", "tests/data/foreign")
SKIP = 77  # ctest's SKIP_RETURN_CODE


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIP)


_scratch_dirs = []


def scratch(name):
    """A new directory, removed when the test program ends (kept when
    NNTPD_KEEP is set, to look at after a failure)."""
    base = os.environ.get("NNTPD_SCRATCH") or tempfile.gettempdir()
    d = tempfile.mkdtemp(prefix=name + "-", dir=base)
    _scratch_dirs.append(d)
    return d


@atexit.register
def _remove_scratch():
    if not os.environ.get("NNTPD_KEEP"):
        for d in _scratch_dirs:
            shutil.rmtree(d, ignore_errors=True)


def post(spec, subject, text, *, frm="Node Keeper", to="All", reply="",
         orig="2:5020/52.1", dest="2:5020/1"):
    """Stores one message through the back end, as a tosser-side program
    would: the text is str (encoded to 1251 here) with LF line ends."""
    body = text.encode("cp1251")
    data = ("POST %s %s %s %d\n" % (spec, orig, dest, len(body))).encode() + \
        ("%s\n%s\n%s\n%s\n" % (reply, frm, to, subject)).encode("cp1251") + body
    subprocess.run([ZANDREL], input=data, check=True, stdout=subprocess.DEVNULL)


def backend_msgid(spec, number):
    """The MSGID kludge value the back end gave message `number`."""
    out = subprocess.run([ZANDREL], input=("RETR %s %d\n" % (spec, number)).encode(),
                         check=True, capture_output=True).stdout
    m = re.search(rb"X-Kludge: MSGID: ([^\r\n]*)", out)
    return m.group(1).decode() if m else None


def copy_foreign(dest):
    """Copies of the bases other FidoNet software wrote: a JAM area and a
    *.MSG echo area with the same 40 messages."""
    os.makedirs(dest + "/jam")
    for ext in ("jhr", "jdt", "jdx", "jlr"):
        shutil.copy(f"{FOREIGN}/jam/jamtest.{ext}", f"{dest}/jam/jamtest.{ext}")
    shutil.copytree(f"{FOREIGN}/msg/echo", dest + "/echo")
    return "#" + dest + "/jam/jamtest", "@" + dest + "/echo"


def toml_str(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Server:
    """zandrel-nntpd over `areas`, a list of dicts with the keys of an
    [[area]] table; `server` holds more keys of [server]."""

    def __init__(self, directory, areas, server=None, fidonet=None, tables=None):
        """`tables` holds more tables: (name, dict) for [name], (name, [dict,
        ...]) for [[name]] tables."""
        self.dir = directory
        self.log = os.path.join(directory, "nntpd.log")
        self.config = os.path.join(directory, "nntpd.toml")
        server = dict({"listen": ["127.0.0.1:0"], "hostname": "news.test",
                       "log": self.log}, **(server or {}))
        fidonet = dict({"address": "2:5020/52", "origin": "zandrel test"}, **(fidonet or {}))
        lines = ["[server]"]
        lines += [f"{k} = {self._value(v)}" for k, v in server.items()]
        lines += ["[fidonet]"]
        lines += [f"{k} = {self._value(v)}" for k, v in fidonet.items()]
        for name, t in (tables or []):
            for d in (t if isinstance(t, list) else [t]):
                lines += [f"[[{name}]]" if isinstance(t, list) else f"[{name}]"]
                lines += [f"{k} = {self._value(v)}" for k, v in d.items()]
        for a in areas:
            lines += ["[[area]]"] + [f"{k} = {self._value(v)}" for k, v in a.items()]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.proc = None
        self.port = None
        self.tls_port = None
        self._want = (bool(server.get("listen")), bool(server.get("tls_listen")))

    @staticmethod
    def _value(v):
        if isinstance(v, bool):
            return "true" if v else "false"
        if isinstance(v, int):
            return str(v)
        if isinstance(v, list):
            return "[" + ", ".join(toml_str(x) for x in v) + "]"
        return toml_str(v)

    def start(self):
        if os.path.exists(self.log):
            os.unlink(self.log)
        self.proc = subprocess.Popen([NNTPD, "--config", self.config])
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("zandrel-nntpd ended: " + self.log_text())
            text = self.log_text()
            m = re.search(r"listening on 127\.0\.0\.1:(\d+)", text)
            t = re.search(r"listening on TLS 127\.0\.0\.1:(\d+)", text)
            if (m or not self._want[0]) and (t or not self._want[1]):
                self.port = int(m.group(1)) if m else None
                self.tls_port = int(t.group(1)) if t else None
                return self
            time.sleep(0.02)
        raise RuntimeError("zandrel-nntpd did not start: " + self.log_text())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def log_text(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def import_nntplib():
    try:
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import nntplib
        return nntplib
    except ImportError:
        skip("no nntplib")
