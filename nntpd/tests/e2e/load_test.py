"""zandrel-nntpd under load: readers and posters at once, for a set time,
against areas of every kind (Squish, JAM, *.MSG echo, *.MSG netmail) that
already hold messages. Readers select groups, read overviews, articles by
number and by Message-ID, and step with NEXT; posters post articles, each
with a token of its own, and some of them replies. At the end every post
answered 240 must be in its group exactly once (and none other of the
tokens), no reply may have been an error, and the server's memory must
have stayed flat after the first quarter of the run: the second half may
need at most 10% more than the second quarter, and 1 KiB for each message
posted since (what the index and the overview cache keep of it).

    load_test.py [--seconds 60] [--readers 100] [--posters 10]
                 [--messages 300] [--out docs/reliability.md]

With --out, the figures replace what stands between the markers
"<!-- soak-nntpd results -->" and "<!-- end of soak-nntpd results -->" in
that file. Exits non-zero when a check fails."""

import argparse
import os
import random
import re
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawnntp  # noqa: E402

nntplib = harness.import_nntplib()

KINDS = {"fido.load.squish": "$%s/squish/load", "fido.load.jam": "#%s/jam/load",
         "fido.load.echo": "@%s/echo", "fido.load.netmail": "%s/netmail"}
# Memory may grow this much past its peak in the second quarter, besides
# what the Message-ID index and the overview cache keep of every new post
# (0.3 to 1.1 KiB in the runs so far; readers alone leave it flat).
RSS_SLACK = 0.10
RSS_PER_POST = 1024


def fill(spec, count, rnd):
    rawnntp.post_many(spec, [
        ("Load %d" % i, "Message %d of the load test.\n" % i + "Строка текста.\n" * rnd.randint(1, 40),
         "Node Keeper", "All") for i in range(count)])


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.errors = []

    def add(self, what, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n

    def error(self, text):
        with self.lock:
            self.errors.append(text)


def reader(port, groups, stop, stats, seed):
    rnd = random.Random(seed)
    try:
        s = nntplib.NNTP("127.0.0.1", port, readermode=True, timeout=120)
        while not stop.is_set():
            g = rnd.choice(groups)
            _, count, first, last, _ = s.group(g)
            lo = max(first, last - 40)
            _, over = s.over((lo, last))
            stats.add("overview lines", len(over))
            if not over:
                continue
            for number, fields in rnd.sample(over, min(3, len(over))):
                s.article(number)
                stats.add("articles")
            _, fields = rnd.choice(over)
            s.head(fields["message-id"])
            stats.add("by Message-ID")
            s.stat(over[0][0])
            if len(over) > 1:
                s.next()
                stats.add("NEXT")
        s.quit()
    except (nntplib.NNTPError, OSError, EOFError) as e:
        stats.error("reader: %s: %s" % (type(e).__name__, e))


def poster(port, n, groups, stop, stats, posted):
    rnd = random.Random(n)
    try:
        s = nntplib.NNTP("127.0.0.1", port, readermode=True, timeout=120)
        i = 0
        while not stop.is_set():
            g = groups[(n + i) % len(groups)]
            token = "p%d-%d" % (n, i)
            i += 1
            refs = ""
            if rnd.random() < 0.3:  # a reply to the newest message
                _, _, _, last, _ = s.group(g)
                _, over = s.over((last, last))
                if over:
                    refs = "References: %s\r\n" % over[0][1]["message-id"]
            article = ("From: Poster %d <poster%d@example.org>\r\nNewsgroups: %s\r\n"
                       "Subject: Token %s\r\n%s\r\nPosted under load, %s.\r\n" %
                       (n, n, g, token, refs, "ещё строка " * rnd.randint(1, 30)))
            with stats.lock:
                posted[token] = (g, None)  # sent; answered below
            s.post(article.encode("utf-8"))
            with stats.lock:
                posted[token] = (g, 240)
            stats.add("posts")
            # Busier than any real poster, yet not a flood: what the posts
            # add to the index and the overview cache stays small beside a
            # leak.
            stop.wait(rnd.uniform(0.1, 0.5))
        s.quit()
    except (nntplib.NNTPError, OSError, EOFError) as e:
        stats.error("poster %d: %s: %s" % (n, type(e).__name__, e))


def stored_tokens(port, groups):
    """Every "Token ..." subject in the groups: {token: [group, ...]}."""
    found = {}
    s = nntplib.NNTP("127.0.0.1", port, readermode=True, timeout=300)
    for g in groups:
        _, _, first, last, _ = s.group(g)
        _, over = s.over((first, last))
        for _, fields in over:
            m = re.fullmatch(r"Token (p\d+-\d+)", fields["subject"])
            if m:
                found.setdefault(m.group(1), []).append(g)
    s.quit()
    return found


def write_results(path, text):
    begin, end = "<!-- soak-nntpd results -->", "<!-- end of soak-nntpd results -->"
    with open(path, encoding="utf-8") as f:
        doc = f.read()
    if begin in doc and end in doc:
        doc = doc[:doc.index(begin) + len(begin)] + "\n\n" + text + "\n" + doc[doc.index(end):]
    else:
        doc += "\n" + begin + "\n\n" + text + "\n" + end + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(doc)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--readers", type=int, default=100)
    ap.add_argument("--posters", type=int, default=10)
    ap.add_argument("--messages", type=int, default=300)
    ap.add_argument("--out")
    ap.add_argument("--trace", action="store_true", help="print memory and posts every 10 s")
    args = ap.parse_args()

    d = harness.scratch("load")
    for sub in ("squish", "jam"):
        os.makedirs(os.path.join(d, sub))
    specs = {g: k % d for g, k in KINDS.items()}
    rnd = random.Random(1)
    started = time.time()
    for spec in specs.values():
        fill(spec, args.messages, rnd)
    print("load: %d messages in each of %d areas made in %.1f s" %
          (args.messages, len(specs), time.time() - started))

    clients = args.readers + args.posters + 8
    server = harness.Server(d, [rawnntp.public_area({"group": g, "spec": s})
                                for g, s in specs.items()],
                            server=rawnntp.generous_limits(clients)).start()
    try:
        return run(args, server, specs)
    finally:
        server.stop()


def run(args, server, specs):
    pid = server.proc.pid
    groups = list(specs)
    stats = Stats()
    posted = {}
    stop = threading.Event()
    threads = [threading.Thread(target=reader, args=(server.port, groups, stop, stats, i))
               for i in range(args.readers)]
    threads += [threading.Thread(target=poster, args=(server.port, n, groups, stop, stats, posted))
                for n in range(args.posters)]
    t0 = time.time()
    for t in threads:
        t.start()
    samples = []  # (seconds, RSS KiB, descriptors, children, posts)
    while time.time() - t0 < args.seconds:
        samples.append((time.time() - t0, rawnntp.rss_kib(pid), rawnntp.descriptors(pid),
                        len(rawnntp.children(pid)), stats.counts.get("posts", 0)))
        if args.trace and len(samples) % 10 == 0:
            print("load: %3.0f s: RSS %d KiB, %d posts, %d articles read" % (
                samples[-1][0], samples[-1][1], stats.counts.get("posts", 0),
                stats.counts.get("articles", 0)), flush=True)
        time.sleep(1)
    stop.set()
    for t in threads:
        t.join()
    ran = time.time() - t0
    samples.append((ran, rawnntp.rss_kib(pid), rawnntp.descriptors(pid),
                    len(rawnntp.children(pid)), stats.counts.get("posts", 0)))

    found = stored_tokens(server.port, groups)
    alive = server.proc.poll() is None

    answered = {t: g for t, (g, code) in posted.items() if code == 240}
    unanswered = [t for t, (g, code) in posted.items() if code is None]
    missing = [t for t in answered if len(found.get(t, [])) == 0]
    twice = [t for t in answered if len(found.get(t, [])) > 1]
    wrong = [t for t in answered if found.get(t) and found[t][0] != answered[t]]
    stray = [t for t in found if t not in posted]
    # Flat: the second half of the run needs no more than the second quarter,
    # give or take the allocator's ups and downs and what the posts add.
    warm = [s for s in samples if ran / 4 <= s[0] <= ran / 2]
    rss_warm = max(s[1] for s in warm)
    rss_late = max(s[1] for s in samples if s[0] > ran / 2)
    rss_end = samples[-1][1]
    posts_since = samples[-1][4] - warm[0][4]
    per_post = (rss_end - warm[0][1]) * 1024 / max(posts_since, 1)
    allowed = rss_warm * (1 + RSS_SLACK) + posts_since * RSS_PER_POST / 1024
    flat = rss_late <= allowed

    c = stats.counts
    lines = [
        "%d readers and %d posters for %.0f s against %d areas (Squish, JAM, *.MSG echo, "
        "*.MSG netmail) of %d messages each, every client on its own connection and "
        "back end:" % (args.readers, args.posters, ran, len(specs), args.messages),
        "",
        "| | |",
        "|---|---:|",
        "| posts answered 240 | %d (%.1f a second) |" % (len(answered), len(answered) / ran),
        "| stored exactly once | %d |" % (len(answered) - len(missing) - len(twice)),
        "| missing, stored twice, in another group | %d, %d, %d |" % (
            len(missing), len(twice), len(wrong)),
        "| posts cut off by the end of the run (not counted) | %d |" % len(unanswered),
        "| articles read by number | %d (%.0f a second) |" % (
            c.get("articles", 0), c.get("articles", 0) / ran),
        "| heads read by Message-ID | %d |" % c.get("by Message-ID", 0),
        "| overview lines read | %d |" % c.get("overview lines", 0),
        "| error replies and failed connections | %d |" % len(stats.errors),
        "| server memory (RSS) at most in the second quarter, at most in the second half, "
        "at the end | %.1f, %.1f, %.1f MiB |" % (rss_warm / 1024, rss_late / 1024, rss_end / 1024),
        "| growth from the second quarter to the end, per message posted meanwhile "
        "| %.0f bytes |" % per_post,
        "| server descriptors at most, back-end children at most "
        "| %d, %d |" % (max(s[2] for s in samples), max(s[3] for s in samples)),
    ]
    text = "\n".join(lines)
    print(text)
    for e in stats.errors[:10]:
        print("error:", e)

    failures = []
    if stats.errors:
        failures.append("%d error replies or failed connections" % len(stats.errors))
    if missing or twice or wrong or stray:
        failures.append("posts missing %s, twice %s, misplaced %s, unknown %s" % (
            missing[:5], twice[:5], wrong[:5], stray[:5]))
    if not answered:
        failures.append("no post was answered")
    if not flat:
        failures.append("memory grew from %d KiB to %d KiB (allowed: %d KiB)" % (
            rss_warm, rss_late, allowed))
    if not alive:
        failures.append("the server ended")
    if args.out:
        write_results(args.out, text + "\n\nResult: %s." % (
            "every check passed" if not failures else "; ".join(failures)))
    if failures:
        print("FAILED:", "; ".join(failures))
        return 1
    print("load: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
