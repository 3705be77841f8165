"""zandrel-nntpd keeps nothing of the connections it served: 1,000
connections opened and dropped in every state (before the greeting is
read, in the middle of a command line, with a back-end child started by
GROUP, in the middle of a command the back end is working on, in the
middle of a multi-line reply, in the middle of a POST, by RST) leave the
server process with the descriptors and the children it had before, after
a short time to settle. NNTPD_LEAK_CONNECTIONS changes the count."""

import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawnntp  # noqa: E402

CONNECTIONS = int(os.environ.get("NNTPD_LEAK_CONNECTIONS", "1000"))
AT_ONCE = 16
SETTLE = 15  # seconds

D = None
SERVER = None


def setUpModule():
    global D, SERVER
    D = harness.scratch("leak")
    os.makedirs(D + "/sq")
    spec = "$" + D + "/sq/a"
    for i in range(30):
        harness.post(spec, "Message %d" % i, ("Line of message %d.\n" % i) * 50)
    SERVER = harness.Server(D, [{"group": "fido.test", "spec": spec}],
                            server=rawnntp.generous_limits(4 * AT_ONCE)).start()


def tearDownModule():
    SERVER.stop()


def group(c):
    code, _, _ = c.command(b"GROUP fido.test")
    assert code == 211, code


# Each way of dropping a connection: what is done before the socket closes.
def before_greeting(port):
    rawnntp.Conn(port).close()


def mid_line(port):
    c = rawnntp.connect(port)
    c.send(b"GROUP fido.te")
    c.close()


def after_group(port):
    c = rawnntp.connect(port)
    group(c)
    c.close()


def after_group_reset(port):
    c = rawnntp.connect(port)
    group(c)
    c.close(reset=True)


def mid_command(port):
    c = rawnntp.connect(port)
    group(c)
    c.send(b"XOVER 1-\r\nARTICLE 3\r\nBODY 7\r\n")  # the back end is busy with them
    c.close()


def mid_reply(port):
    c = rawnntp.connect(port)
    group(c)
    c.send(b"ARTICLE 5\r\n")
    c.status()  # the status line only; the article is still coming
    c.close(reset=True)


def mid_post(port):
    c = rawnntp.connect(port)
    code, _ = c.command(b"POST")[:2]
    assert code == 340, code
    c.send(b"From: Leaker <l@example.org>\r\nNewsgroups: fido.test\r\nSubject: half\r\n\r\nhal")
    c.close()


def quit_properly(port):
    c = rawnntp.connect(port)
    group(c)
    c.command(b"QUIT")
    c.close()


WAYS = [before_greeting, mid_line, after_group, after_group_reset, mid_command, mid_reply,
        mid_post, quit_properly]


def settled(pid, fds, deadline):
    """Waits for the process to be back at `fds` descriptors and no
    children; its descriptors and children as they are at the end."""
    while True:
        now = (rawnntp.descriptors(pid), rawnntp.children(pid))
        if (now[0] <= fds and not now[1]) or time.time() > deadline:
            return now
        time.sleep(0.1)


class Leaks(unittest.TestCase):
    def test_dropped_connections_leave_no_descriptor_or_child(self):
        pid = SERVER.proc.pid
        quit_properly(SERVER.port)  # the first connection may set up what lasts
        fds, kids = settled(pid, 0, time.time() + 2)
        self.assertEqual(kids, [], "children before the test")

        errors = []
        done = [0] * len(WAYS)

        def worker(first):
            for i in range(first, CONNECTIONS, AT_ONCE):
                way = i % len(WAYS)
                try:
                    WAYS[way](SERVER.port)
                    done[way] += 1
                except Exception as e:  # noqa: BLE001 - recorded, the run goes on
                    errors.append("%s: %s: %s" % (WAYS[way].__name__, type(e).__name__, e))

        started = time.time()
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(AT_ONCE)]
        for t in threads:
            t.start()
        peak = 0
        while any(t.is_alive() for t in threads):
            peak = max(peak, len(rawnntp.children(pid)))
            time.sleep(0.05)
        took = time.time() - started
        after = settled(pid, fds, time.time() + SETTLE)
        print("leak: %d connections in %.1f s (%s); descriptors %d before, %d after; "
              "children 0 before, %d at most meanwhile, %d after" % (
                  sum(done), took, ", ".join("%d %s" % (n, w.__name__) for n, w in zip(done, WAYS)),
                  fds, after[0], peak, len(after[1])))
        self.assertEqual(errors[:5], [])
        self.assertEqual(sum(done), CONNECTIONS)
        self.assertLessEqual(after[0], fds, "descriptors left: " +
                             " ".join(sorted(os.listdir("/proc/%d/fd" % pid))))
        self.assertEqual(after[1], [], "children left (pid, state)")
        self.assertGreater(peak, 0, "no back-end child was ever seen")
        # And it still serves.
        quit_properly(SERVER.port)
        self.assertNotIn("a connection ended by", SERVER.log_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
