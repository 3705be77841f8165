"""A real newsreader against zandrel-nntpd: tin, run non-interactively with
-S, saves every unread article of the groups its newsrc subscribes to. The
saved articles must be the ones posted, subject and text decoded right."""

import email
import email.policy
import io
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TIN = shutil.which("tin")
if not TIN:
    harness.skip("no tin")
nntplib = harness.import_nntplib()

# (group, subject, text) as they are posted; the last one comes through the
# server from a newsreader, the others are stored by the back end directly.
POSTS = [
    ("fido.squish", "Привет из Squish", "Первое сообщение.\nВторая строка.\n"),
    ("fido.squish", "Re: Привет из Squish", "Ответ.\n"),
    ("fido.jam", "Hello from JAM", "Plain ASCII text.\n"),
    ("fido.jam", "Ещё одно из читалки", "Отправлено через сервер.\n"),
]


class Tin(unittest.TestCase):
    def test_tin_saves_what_was_posted(self):
        d = harness.scratch("tin")
        os.makedirs(d + "/squish")
        os.makedirs(d + "/jam")
        spec = {"fido.squish": "$" + d + "/squish/fido", "fido.jam": "#" + d + "/jam/fido"}
        for group, subject, text in POSTS[:-1]:
            harness.post(spec[group], subject, text)
        server = harness.Server(d, [{"group": g, "spec": s} for g, s in spec.items()])
        with server:
            group, subject, text = POSTS[-1]
            with nntplib.NNTP("127.0.0.1", server.port) as s:
                s.post(io.BytesIO(
                    (f"From: Reader <reader@example.org>\nNewsgroups: {group}\n"
                     f"Subject: {subject}\nContent-Type: text/plain; charset=utf-8\n"
                     f"Content-Transfer-Encoding: 8bit\n\n{text}").encode()))

            home = d + "/home"
            os.makedirs(home + "/.tin")
            with open(home + "/.newsrc", "w") as f:
                f.write("fido.squish: \nfido.jam: \n")
            env = dict(os.environ, HOME=home, NNTPSERVER="127.0.0.1", TERM="dumb")
            run = subprocess.run([TIN, "-r", "-p", str(server.port), "-S"], env=env,
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            self.assertIn("connection", server.log_text())

        for group in spec:
            saved_dir = os.path.join(home, "News", *group.split("."))
            with self.subTest(group=group):
                self.assertTrue(os.path.isdir(saved_dir), run.stdout.decode(errors="replace"))
                names = sorted(os.listdir(saved_dir), key=int)
                want = [(s, t) for g, s, t in POSTS if g == group]
                self.assertEqual(len(names), len(want))
                for name, (subject, text) in zip(names, want):
                    with open(os.path.join(saved_dir, name), "rb") as f:
                        msg = email.message_from_binary_file(f, policy=email.policy.default)
                    self.assertEqual(str(msg["Subject"]), subject)
                    self.assertEqual(msg["Newsgroups"], group)
                    body = msg.get_content()
                    self.assertTrue(body.startswith(text), body)
                    if (group, subject) == POSTS[-1][:2]:  # the server added the tear line
                        self.assertIn("\n--- zandrel-nntpd\n", body)


if __name__ == "__main__":
    unittest.main(verbosity=2)
