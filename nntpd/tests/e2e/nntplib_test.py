"""zandrel-nntpd end to end with Python's nntplib over real sockets: areas
of all four kinds made through the back end, bases written by other FidoNet
software, reading by number and by Message-ID, posting, threads, refusals
and concurrent posters."""

import datetime
import io
import json
import os
import shutil
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

nntplib = harness.import_nntplib()

D = None
SERVER = None
SPEC = {}


def setUpModule():
    global D, SERVER
    D = harness.scratch("nntplib")
    os.makedirs(D + "/squish")
    os.makedirs(D + "/jam")
    SPEC.update({
        "fido.squish": "$" + D + "/squish/fido",
        "fido.jam": "#" + D + "/jam/fido",
        "fido.echo": "@" + D + "/echo",
        "fido.netmail": D + "/netmail",
        "fido.readonly": "$" + D + "/squish/readonly",
        "fido.empty": "$" + D + "/squish/empty",
    })
    for point, group in enumerate(("fido.squish", "fido.jam", "fido.echo", "fido.netmail"), 1):
        spec = SPEC[group]
        harness.post(spec, "Hello from " + group, "Hello, All!\n.A line that starts with a dot\n",
                     orig=f"2:5020/52.{point}")
        parent = harness.backend_msgid(spec, 2 if group == "fido.echo" else 1)
        harness.post(spec, "Re: Привет", "Ответ на привет.\n", frm="Ivan Petrov",
                     to="Node Keeper", reply=parent, orig="2:5020/53")
    harness.post(SPEC["fido.readonly"], "Read me", "Nothing to add.\n")
    SPEC["fido.foreign.jam"], SPEC["fido.foreign.msg"] = harness.copy_foreign(D + "/foreign")
    # An origin address of its own per area: MSGIDs of posts made in the
    # same second into different areas differ by it.
    areas = [{"group": g, "spec": s, "description": "area " + g,
              "post": g not in ("fido.readonly", "fido.foreign.jam", "fido.foreign.msg"),
              "address": f"2:5020/52.{100 + i}",
              # Served like an echo area: private netmail has tests of its own.
              "netmail": False}
             for i, (g, s) in enumerate(SPEC.items())]
    SERVER = harness.Server(D, areas).start()


def tearDownModule():
    SERVER.stop()


def connect():
    return nntplib.NNTP("127.0.0.1", SERVER.port, readermode=True)


def first_number(group):
    return 2 if group == "fido.echo" else 1  # *.MSG echo areas keep 1.msg for themselves


def article_text(lines):
    return b"\n".join(lines).decode("utf-8")


class Reading(unittest.TestCase):
    def setUp(self):
        self.s = connect()

    def tearDown(self):
        self.s.quit()

    def test_groups_list_with_their_high_numbers(self):
        _, groups = self.s.list()
        by_name = {g.group: g for g in groups}
        self.assertEqual(set(by_name), set(SPEC))
        self.assertEqual(by_name["fido.echo"].last, "3")  # 1.msg is the area's own
        self.assertEqual(by_name["fido.readonly"].flag, "n")
        self.assertEqual(by_name["fido.empty"].last, "0")
        _, groups = self.s.list("fido.foreign.*")
        self.assertEqual({g.group for g in groups}, {"fido.foreign.jam", "fido.foreign.msg"})
        self.assertEqual(self.s.description("fido.jam"), "area fido.jam")

    def test_overview_of_every_kind_of_area(self):
        for group in ("fido.squish", "fido.jam", "fido.echo", "fido.netmail"):
            with self.subTest(group=group):
                self.s.group(group)
                first = first_number(group)
                _, ov = self.s.over((first, first + 1))
                self.assertEqual([n for n, _ in ov],
                                 [first_number(group), first_number(group) + 1])
                (_, root), (_, reply) = ov
                self.assertEqual(root["subject"], "Hello from " + group)
                self.assertRegex(root["from"], r"^Node Keeper <Node\.Keeper@p\d\.f52\.n5020\.z2\.")
                self.assertEqual(nntplib.decode_header(reply["subject"]), "Re: Привет")
                self.assertEqual(reply["references"], root["message-id"])
                self.assertRegex(root["date"], r"^\w\w\w, \d\d \w\w\w \d{4} \d\d:\d\d:\d\d \+0000$")

    def test_article_head_body_and_stat_agree(self):
        self.s.group("fido.jam")
        _, art = self.s.article(2)
        _, head = self.s.head(2)
        _, body = self.s.body(2)
        self.assertEqual(art.lines, head.lines + [b""] + body.lines)
        text = article_text(art.lines)
        self.assertIn("Content-Type: text/plain; charset=utf-8", text)
        self.assertIn("Ответ на привет.", text)
        self.assertIn("X-Comment-To: Node Keeper", text)
        self.assertEqual(self.s.stat(2)[2], art.message_id)
        # Dot-stuffing: the line that starts with a dot arrives whole.
        _, root = self.s.body(1)
        self.assertIn(b".A line that starts with a dot", root.lines)

    def test_message_id_lookup_across_groups(self):
        self.s.group("fido.netmail")
        _, _, msgid = self.s.stat(1)
        self.s.group("fido.squish")  # another group selected
        _, art = self.s.article(msgid)
        self.assertEqual(art.number, 0)  # not in the selected group
        self.assertIn("Newsgroups: fido.netmail", article_text(art.lines))
        _, ov = self.s.over(msgid)
        self.assertEqual(ov[0][1]["message-id"], msgid)
        with self.assertRaises(nntplib.NNTPTemporaryError) as e:
            self.s.article("<no.such.article@zandrel.exe>")
        self.assertTrue(e.exception.response.startswith("430"))

    def test_next_last_listgroup_and_hdr(self):
        _, count, low, high, _ = self.s.group("fido.echo")
        self.assertEqual(high, 3)
        self.assertLessEqual(low, 2)  # an estimate until the index knows the area
        _, number, _ = self.s.next()
        self.assertEqual(number, 3)
        with self.assertRaises(nntplib.NNTPTemporaryError) as e:
            self.s.next()
        self.assertTrue(e.exception.response.startswith("421"))
        _, number, _ = self.s.last()
        self.assertEqual(number, 2)
        resp = self.s._longcmdstring("LISTGROUP fido.echo")
        self.assertEqual(resp[0].split()[:4], ["211", "2", "2", "3"])
        self.assertEqual(resp[1], ["2", "3"])
        _, lines = self.s.xhdr("subject", "2-3")
        self.assertEqual(lines[0], ("2", "Hello from fido.echo"))
        _, lines = self.s.xhdr("x-comment-to", "3")
        self.assertEqual(lines, [("3", "Node Keeper")])

    def test_newnews_lists_messages_after_a_date(self):
        _, ids = self.s.newnews("fido.echo,fido.netmail", datetime.datetime(2000, 1, 1))
        self.s.group("fido.echo")
        self.assertIn(self.s.stat(2)[2], ids)
        self.assertEqual(len(ids), len(set(ids)))
        _, ids = self.s.newnews("fido.*", datetime.datetime.now() + datetime.timedelta(days=2))
        self.assertEqual(ids, [])
        self.assertEqual(self.s.newgroups(datetime.datetime(2000, 1, 1))[1], [])

    def test_error_replies(self):
        def code(cmd):
            try:
                return self.s._shortcmd(cmd)[:3]
            except nntplib.NNTPError as e:
                return e.response[:3]
        self.assertEqual(code("ARTICLE 1"), "412")
        self.assertEqual(code("GROUP no.such.group"), "411")
        self.assertEqual(code("GROUP fido.empty")[:3], "211")
        self.assertEqual(code("NEXT"), "420")
        self.s.group("fido.squish")
        self.assertEqual(code("ARTICLE 99"), "423")
        self.assertEqual(code("ARTICLE abc"), "501")
        self.assertEqual(code("XOVER 50-60"), "423")
        self.assertEqual(code("FROBNICATE"), "500")
        self.assertEqual(code("LIST BOGUS"), "501")
        self.assertEqual(code("NEWNEWS * 2001 000000"), "501")
        self.assertEqual(code("X" * 3000), "501")  # too long, and the connection goes on
        self.assertEqual(code("IHAVE <new@example.org>"), "435")
        self.assertEqual(code("DATE")[:3], "111")


class ForeignBases(unittest.TestCase):
    """Bases written by other FidoNet software: texts in several charsets
    named by CHRS kludges, and one message without a MSGID."""

    @classmethod
    def setUpClass(cls):
        with open(harness.FOREIGN + "/expected_echo.jsonl") as f:
            cls.expected = [json.loads(line) for line in f]

    def test_bodies_decoded_by_their_charset(self):
        with connect() as s:
            for group, offset in (("fido.foreign.jam", 0), ("fido.foreign.msg", 1)):
                s.group(group)
                for i, e in enumerate(self.expected, start=1):
                    if e["codec"] not in ("utf-8", "cp866", "latin-1") or e["msgid"] is None:
                        continue
                    with self.subTest(group=group, message=i, codec=e["codec"]):
                        _, body = s.body(i + offset)
                        want = e["body"].encode("latin-1").decode(e["codec"])
                        got = b"\n".join(body.lines).decode("utf-8")
                        # The back end wraps long lines: compare without blanks.
                        self.assertIn("".join(want.split()), "".join(got.split()))

    def test_message_without_msgid_has_a_stable_message_id(self):
        n = next(i for i, e in enumerate(self.expected, start=1) if e["msgid"] is None)
        with connect() as s:
            s.group("fido.foreign.jam")
            _, ov = s.over((n, n))
            msgid = ov[0][1]["message-id"]
            self.assertTrue(msgid.endswith(">") and "@" in msgid)
            self.assertEqual(s.stat(n)[2], msgid)
        SERVER.stop()  # a new process with a new index finds it again
        SERVER.start()
        with connect() as s:
            _, art = s.article(msgid)
            self.assertIn("Newsgroups: fido.foreign.jam", article_text(art.lines))


def posted(newsgroups, subject, body, extra=""):
    return io.BytesIO(("From: Вася Пупкин <vasya@example.org>\n"
                       f"Newsgroups: {newsgroups}\nSubject: {subject}\n{extra}"
                       "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
                       "Content-Transfer-Encoding: 8bit\n\n" + body).encode("utf-8"))


class Posting(unittest.TestCase):
    def setUp(self):
        self.s = connect()

    def tearDown(self):
        self.s.quit()

    def test_reply_shows_in_the_thread(self):
        _, _, _, high, _ = self.s.group("fido.squish")
        _, _, parent = self.s.stat(1)
        resp = self.s.post(posted("fido.squish", "Re: Hello", "Здравствуйте!\n.точка\n",
                                  f"References: {parent}\n"))
        self.assertTrue(resp.startswith("240"), resp)
        _, _, _, new_high, _ = self.s.group("fido.squish")
        self.assertEqual(new_high, high + 1)
        _, ov = self.s.over((new_high, new_high))
        self.assertEqual(ov[0][1]["references"], parent)
        _, art = self.s.article(new_high)
        text = article_text(art.lines)
        self.assertIn("X-Comment-To: Node Keeper", text)  # the author replied to
        self.assertIn("X-Kludge: REPLY: 2:5020/52.1 ", text)
        self.assertIn("\nЗдравствуйте!\n.точка\n--- zandrel-nntpd\n * Origin: zandrel test (2:5020/52.100)",
                      text)
        # The new message is found by its Message-ID at once.
        self.assertEqual(self.s.stat(ov[0][1]["message-id"])[1], new_high)

    def test_crosspost_reaches_every_group(self):
        before = {g: self.s.group(g)[3] for g in ("fido.jam", "fido.netmail")}
        resp = self.s.post(posted("fido.jam,fido.netmail", "Crossposted", "Both.\n",
                                  "X-Comment-To: Sysop\n"))
        self.assertTrue(resp.startswith("240"), resp)
        for g, high in before.items():
            with self.subTest(group=g):
                _, _, _, now, _ = self.s.group(g)
                self.assertEqual(now, high + 1)
                _, art = self.s.head(now)
                self.assertIn("X-Comment-To: Sysop", article_text(art.lines))

    def test_refused_posts_store_nothing(self):
        highs = {g: self.s.group(g)[3] for g in ("fido.squish", "fido.readonly")}
        for groups, reason in (("fido.squish,fido.readonly", "not allowed"),
                               ("fido.squish,no.such.group", "no such newsgroup")):
            with self.subTest(groups=groups):
                with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                    self.s.post(posted(groups, "Refused", "No.\n"))
                self.assertTrue(e.exception.response.startswith("441"))
                self.assertIn(reason, e.exception.response)
        with self.assertRaises(nntplib.NNTPTemporaryError) as e:
            self.s.post(io.BytesIO(b"Subject: no From, no Newsgroups\n\nbody\n"))
        self.assertTrue(e.exception.response.startswith("441"))
        with self.assertRaises(nntplib.NNTPTemporaryError) as e:  # over max_article_size
            self.s.post(posted("fido.squish", "Huge", ("x" * 999 + "\n") * 1100))
        self.assertIn("too large", e.exception.response)
        self.assertEqual({g: self.s.group(g)[3] for g in highs}, highs)

    def test_concurrent_posters_and_readers(self):
        posters, per_poster, errors = 4, 4, []

        def poster(k):
            try:
                with connect() as s:
                    for i in range(per_poster):
                        resp = s.post(posted("fido.jam", f"concurrent {k}.{i}", f"post {k}.{i}\n"))
                        if not resp.startswith("240"):
                            errors.append(resp)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        def reader():
            try:
                with connect() as s:
                    for _ in range(10):
                        _, _, low, high, _ = s.group("fido.jam")
                        for n, _ in s.over((low, high))[1]:
                            s.article(n)
            except Exception as e:  # noqa: BLE001
                errors.append(repr(e))

        threads = [threading.Thread(target=poster, args=(k,)) for k in range(posters)]
        threads += [threading.Thread(target=reader) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        _, _, low, high, _ = self.s.group("fido.jam")
        subjects = [o["subject"] for _, o in self.s.over((low, high))[1]]
        for k in range(posters):
            for i in range(per_poster):
                self.assertEqual(subjects.count(f"concurrent {k}.{i}"), 1)


class Index(unittest.TestCase):
    def test_message_tossed_behind_the_servers_back_is_found(self):
        with connect() as s:
            s.group("fido.netmail")
            s.over((1, 2))  # the index now covers the area
            harness.post(SPEC["fido.netmail"], "Tossed", "From a tosser.\n", orig="2:5020/99")
            high = s.group("fido.netmail")[3]
            msgid = s.stat(high)[2]
            s.group("fido.squish")
            self.assertEqual(s.article(msgid)[1].number, 0)


    def test_renumbered_area_is_indexed_again(self):
        # Squish renumbers an area when a message is deleted; the same is
        # done here to a *.MSG directory by renaming its files, and a new
        # message keeps the high number where it was.
        d = harness.scratch("renumber")
        area = d + "/netmail"
        for i in range(3):
            harness.post(area, f"Message {i + 1}", "Text.\n", orig=f"2:5020/60.{i + 1}")
        harness.post(d + "/other", "Message 4", "Text.\n", orig="2:5020/60.4")
        with harness.Server(d, [{"group": "fido.renumber", "spec": area,
                                 "netmail": False}]) as server:
            with nntplib.NNTP("127.0.0.1", server.port) as s:
                s.group("fido.renumber")
                moved = s.stat(3)[2]
                self.assertEqual(s.stat(moved)[1], 3)  # the index knows it at 3
                os.rename(area + "/2.msg", area + "/1.msg")
                os.rename(area + "/3.msg", area + "/2.msg")
                shutil.copy(d + "/other/1.msg", area + "/3.msg")
                self.assertEqual(s.stat(moved)[1], 2)
                self.assertIn("Message 3", article_text(s.head(moved)[1].lines))


class BackendFailures(unittest.TestCase):
    """A back end that ends in the middle of a command is started again and
    the command sent once more; one that does not answer is killed and the
    client gets 403, and the connection goes on."""

    def backend(self, name, body):
        path = os.path.join(D, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path

    def serve(self, backend, **server):
        d = harness.scratch("backend")
        return harness.Server(d, [{"group": "fido.squish", "spec": SPEC["fido.squish"]}],
                              dict(backend=backend, **server))

    def test_child_that_ends_is_restarted_and_the_command_retried(self):
        real = os.path.abspath(harness.ZANDREL)
        flaky = self.backend("flaky.sh", f'if [ ! -e "$0.ran" ]; then : > "$0.ran"; read -r line; '
                                         f'exit 1; fi\nexec "{real}"\n')
        with self.serve(flaky) as server:
            with nntplib.NNTP("127.0.0.1", server.port) as s:
                self.assertEqual(s.group("fido.squish")[0].split()[0], "211")
                self.assertTrue(os.path.exists(flaky + ".ran"))
                self.assertTrue(s.article(1)[0].startswith("220"))

    def test_child_that_does_not_answer_gives_403(self):
        hung = self.backend("hung.sh", "exec sleep 600\n")
        with self.serve(hung, backend_timeout=1) as server:
            with nntplib.NNTP("127.0.0.1", server.port) as s:
                with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                    s.group("fido.squish")
                self.assertTrue(e.exception.response.startswith("403"))
                self.assertEqual(s.date()[0][:3], "111")
            self.assertIn("did not answer within 1 s", server.log_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
