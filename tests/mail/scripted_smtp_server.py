#!/usr/bin/python3
"""A scripted SMTP server for the mail tests: answers as a JSON script says,
including refusals and misbehaviour, over implicit TLS (or plain TCP when no
certificate is given).

Script (all keys optional):
  "greeting":      reply sent on connect (default "220 scripted ESMTP")
  "replies":       {"VERB": [reply, ...]}: the n-th command with that verb gets
                   the n-th reply, the last one repeating (default "250 OK";
                   DATA "354 ...", AUTH "334 VXNlcm5hbWU6", QUIT "221 Bye")
  "auth_replies":  replies to the lines that follow a 334 to AUTH (user name,
                   password); auth mode ends with the first non-334 reply
  "data_end":      replies to the "." that ends DATA (default "250 queued")
  "close_in_data": close the connection at the first line after DATA's 354
  "close_after_greeting": close the connection right after the greeting
A reply is the full reply text (CR LF added to every line without one), or
"SILENT" (answer nothing, keep reading), "CLOSE" (close the connection),
"DRIP" (an empty line every 0.2 s until the client sends again; the
connection is closed after 20 s of dripping), "FLOOD" (empty lines as fast
as the client takes them until it sends again; closed after 20 s), or
"DELAY <ms> <reply>" (the reply after a pause).
Each connection starts the script afresh. Every byte received is appended to
--record, and "closed" to --record + ".events" when a connection has ended.
Listens on --host (127.0.0.1 unless given) at --port (0 or none: a port the
system chooses) and prints "READY <port>" once it listens; stops on SIGTERM.
"""

import argparse
import json
import select
import signal
import socket
import ssl
import sys
import threading
import time

from tls_server_context import tls_context


def normalize(reply):
    if reply in ("SILENT", "CLOSE", "DRIP", "FLOOD"):
        return reply
    if reply.startswith("DELAY "):
        _, ms, rest = reply.split(" ", 2)
        return ("DELAY", int(ms), normalize(rest))
    lines = reply.split("\n")
    out = []
    for line in lines:
        if line == "":
            continue
        out.append(line.rstrip("\r") + "\r\n")
    return "".join(out)


DEFAULT_REPLIES = {"DATA": "354 End data with <CR><LF>.<CR><LF>", "QUIT": "221 Bye",
                   "AUTH": "334 VXNlcm5hbWU6"}


class Replies:
    def __init__(self, replies, default):
        self.replies = [normalize(r) for r in replies] or [normalize(default)]
        self.used = 0

    def next(self):
        reply = self.replies[min(self.used, len(self.replies) - 1)]
        self.used += 1
        return reply


class Session:
    def __init__(self, conn, script, record):
        self.conn = conn
        self.script = script
        self.record = record
        self.buffer = b""
        self.per_verb = {}

    def replies_for(self, verb):
        if verb not in self.per_verb:
            default = DEFAULT_REPLIES.get(verb, "250 OK")
            self.per_verb[verb] = Replies(self.script.get("replies", {}).get(verb, []), default)
        return self.per_verb[verb]

    def read_line(self):
        while b"\n" not in self.buffer:
            try:
                chunk = self.conn.recv(65536)
            except (OSError, ssl.SSLError):
                return None
            if not chunk:
                return None
            with open(self.record, "ab") as f:
                f.write(chunk)
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def send(self, reply):
        """Returns False when the connection is to end."""
        if reply == "SILENT":
            return True
        if reply == "CLOSE":
            return False
        if reply == "DRIP":
            return self.drip()
        if reply == "FLOOD":
            return self.flood()
        if isinstance(reply, tuple):
            time.sleep(reply[1] / 1000.0)
            return self.send(reply[2])
        try:
            self.conn.sendall(reply.encode("latin-1"))
        except (OSError, ssl.SSLError):
            return False
        return True

    def drip(self):
        """Keeps the client busy with empty lines, never a whole reply."""
        for _ in range(100):
            if self.buffer or select.select([self.conn], [], [], 0.2)[0]:
                return True
            try:
                self.conn.sendall(b"\r\n")
            except (OSError, ssl.SSLError):
                return False
        return False

    def flood(self):
        """Empty lines without a pause, never a whole reply."""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.buffer or select.select([self.conn], [], [], 0)[0]:
                return True
            try:
                self.conn.sendall(b"\r\n" * 32768)
            except (OSError, ssl.SSLError):
                return False
        return False

    def run(self):
        if not self.send(normalize(self.script.get("greeting", "220 scripted ESMTP"))):
            return
        if self.script.get("close_after_greeting"):
            return
        auth = None
        data_end = Replies(self.script.get("data_end", []), "250 queued")
        while True:
            line = self.read_line()
            if line is None:
                return
            if auth is not None:
                reply = auth.next()
                if not isinstance(reply, str) or not reply.startswith("334"):
                    auth = None
                if not self.send(reply):
                    return
                continue
            verb = line.decode("latin-1").strip().split(" ")[0].upper()
            reply = self.replies_for(verb).next()
            if not self.send(reply):
                return
            if verb == "AUTH" and isinstance(reply, str) and reply.startswith("334"):
                auth = Replies(self.script.get("auth_replies", []), "235 OK")
            if verb == "DATA" and isinstance(reply, str) and reply.startswith("354"):
                while True:
                    data_line = self.read_line()
                    if data_line is None or self.script.get("close_in_data"):
                        return
                    if data_line == b".\r\n":
                        break
                if not self.send(data_end.next()):
                    return


def handle(raw, context, script, record):
    conn = raw
    try:
        if context is not None:
            conn = context.wrap_socket(raw, server_side=True)
        Session(conn, script, record).run()
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass
        with open(record + ".events", "a", encoding="ascii") as f:
            f.write("closed\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)  # 0: one the system chooses
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--script", required=True)
    parser.add_argument("--record", required=True)
    args = parser.parse_args()
    with open(args.script, encoding="utf-8") as f:
        script = json.load(f)
    context = tls_context(args.cert, args.key) if args.cert else None
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind((args.host, args.port))
    listener.listen(8)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("READY %d" % listener.getsockname()[1], flush=True)
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=handle, args=(raw, context, script, args.record),
                         daemon=True).start()


if __name__ == "__main__":
    main()
