#!/usr/bin/env python3
"""Shows a newsreader's session with a news server: sends each command,
prints what it sent and what came back, with encoded-words in header lines
decoded for the terminal. A command "POST" is followed by the article given
after a "|" in the same argument, lines separated by "\\n".

    nntp-session.py PORT "GROUP fido.demo" "XOVER 1-" "POST|From: ...\\n\\nText"
"""
import email.header
import socket
import sys

MULTI = {"100", "101", "215", "220", "221", "222", "224", "225", "230", "231"}
BOLD, DIM, OFF = ("\033[1m", "\033[2m", "\033[0m") if sys.stdout.isatty() else ("", "", "")


def decoded(line):
    """A header line with its encoded-words decoded."""
    if ": " not in line or "=?" not in line:
        return line
    try:
        return str(email.header.make_header(email.header.decode_header(line)))
    except (ValueError, LookupError):
        return line


def main():
    port = int(sys.argv[1])
    with socket.create_connection(("127.0.0.1", port)) as s:
        f = s.makefile("rb")

        def show(line, prefix="    "):
            print(prefix + line)

        def reply(command):
            status = f.readline().decode("utf-8", "replace").rstrip("\r\n")
            show(status)
            code = status[:3]
            if code in MULTI or (code == "211" and command.upper().startswith("LISTGROUP")):
                in_head = command.upper().split()[0] in ("ARTICLE", "HEAD")
                while True:
                    line = f.readline().decode("utf-8", "replace").rstrip("\r\n")
                    if line == ".":
                        show(".")
                        break
                    if line == "":
                        in_head = False
                    show(decoded(line) if in_head or command.upper().startswith("X") else line)
            return code

        reply("")
        for arg in sys.argv[2:]:
            command, _, article = arg.partition("|")
            print(f"\n{BOLD}>>> {command}{OFF}")
            s.sendall(command.encode() + b"\r\n")
            if reply(command) == "340":
                text = article.replace("\\n", "\n")
                for line in text.split("\n"):
                    print(f"{DIM}  > {line}{OFF}")
                    s.sendall(("." + line if line.startswith(".") else line).encode() + b"\r\n")
                s.sendall(b".\r\n")
                reply("POST")


if __name__ == "__main__":
    main()
