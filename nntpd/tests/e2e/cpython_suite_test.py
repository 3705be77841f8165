"""CPython's own networked NNTP tests (test_nntplib.NetworkedNNTPTests, from
Debian's libpython3.11-testsuite), pointed at zandrel-nntpd instead of a
public news server. The two tests CPython skips unconditionally (OVER and
ARTICLE/HEAD/BODY, skipped there for the public servers' sake) are run too.
Prints one line per test and fails when any test fails."""

import functools
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

nntplib = harness.import_nntplib()
try:
    from test import test_nntplib
except ImportError:
    harness.skip("no test_nntplib (libpython3.11-testsuite)")


def unskipped(test):
    """The test function under CPython's skip decorator and its wrapper."""
    while hasattr(test, "__wrapped__"):
        test = test.__wrapped__
    return test


def main():
    d = harness.scratch("cpython")
    os.makedirs(d + "/jam")
    spec = "#" + d + "/jam/python"
    for i in range(12):
        harness.post(spec, f"Python question {i}", f"Question number {i}.\n")
    server = harness.Server(d, [{"group": "fido.python", "spec": spec,
                                 "description": "The Python programming language"}]).start()
    try:
        base = test_nntplib.NetworkedNNTPTests

        class AgainstZandrel(base):
            NNTP_HOST = "127.0.0.1"
            GROUP_NAME = "fido.python"
            GROUP_PAT = "fido.py*"
            DESC = "Python"
            NNTP_CLASS = functools.partial(nntplib.NNTP, port=server.port)
            test_over = unskipped(base.test_over)
            test_article_head_body = unskipped(base.test_article_head_body)

        suite = unittest.defaultTestLoader.loadTestsFromTestCase(AgainstZandrel)
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    finally:
        server.stop()
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
