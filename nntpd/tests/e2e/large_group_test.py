"""Commands over more messages than one back-end HEAD lists, whose answers
need whole articles besides the overview: XHDR of a header that is not in
the overview, and the overview of a private netmail area (the addressee is
in the article only). Each must list every message it should, at once, and
leave the Message-ID index right for the messages of every list."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawnntp  # noqa: E402

nntplib = harness.import_nntplib()

# Well past one back-end command line (8191 characters) of four- and
# five-digit numbers.
MESSAGES = 2500
TIMEOUT = 30  # seconds; the back-end timeout, which a stall would run into, is longer

D = None
SERVER = None
PASSWORD = "ivan-secret"


def to_whom(i):
    return "Ivan Petrov" if i % 10 == 0 else "Somebody Else"


def setUpModule():
    global D, SERVER
    if not rawnntp.server_accepts('[[area]]\ngroup = "n"\nspec = "/nonexistent/n"\npost = false\n'
                                  'netmail = true\n'):
        harness.skip("this server has no private netmail")
    D = harness.scratch("large")
    os.makedirs(D + "/sq")
    for name in ("echo", "net"):
        rawnntp.post_many("$%s/sq/%s" % (D, name), [
            ("Number %d" % i, "Text %d.\n" % i, "Node Keeper", to_whom(i))
            for i in range(1, MESSAGES + 1)])
    hashed = subprocess.run([harness.NNTPD, "--hash-password"], input=PASSWORD + "\n",
                            capture_output=True, text=True, check=True).stdout.strip()
    user = {"name": "ivan", "password": hashed, "realnames": ["Ivan Petrov"]}
    areas = [{"group": "fido.large", "spec": "$%s/sq/echo" % D, "post": False},
             {"group": "fido.large.netmail", "spec": "$%s/sq/net" % D, "post": False,
              "netmail": True}]
    SERVER = harness.Server(D, areas, server={"login_delay": 0},
                            tables=[("user", [user])]).start()


def tearDownModule():
    SERVER.stop()


def connect():
    return nntplib.NNTP("127.0.0.1", SERVER.port, readermode=True, timeout=TIMEOUT)


class LargeGroups(unittest.TestCase):
    def test_header_from_the_articles_of_every_list(self):
        s = connect()
        s.group("fido.large")
        _, lines = s.xhdr("X-Comment-To", "1-")
        self.assertEqual(len(lines), MESSAGES)
        self.assertEqual([int(n) for n, _ in lines], list(range(1, MESSAGES + 1)))
        self.assertTrue(all(v == to_whom(int(n)) for n, v in lines))
        # The index learnt every list as what it is.
        _, over = s.over((MESSAGES - 5, MESSAGES))
        for number, fields in over:
            self.assertIn(s.stat(fields["message-id"])[1], (0, number))
            self.assertEqual(s.article(fields["message-id"])[1].lines[-1].decode(),
                             "Text %d." % number)
        s.quit()

    def test_private_overview_of_every_list(self):
        s = connect()
        s.login("ivan", PASSWORD)
        s.group("fido.large.netmail")
        _, over = s.over((1, MESSAGES))
        mine = [i for i in range(1, MESSAGES + 1) if to_whom(i) == "Ivan Petrov"]
        self.assertEqual([n for n, _ in over], mine)
        self.assertTrue(all(f["subject"] == "Number %d" % n for n, f in over))
        s.quit()


if __name__ == "__main__":
    unittest.main(verbosity=2)
