#!/usr/bin/python3
"""A recording stand-in for the speech daemon, speaking SSIP on a Unix socket.

    fake_speechd.py --socket PATH --log FILE [--mute-first] [--slow-first SECONDS]

--mute-first: the first connection is accepted and read but never answered.
--slow-first: the reply to the first text (after its data) comes SECONDS late.

Prints READY (flushed) once it listens. Point a client at it with
SPEECHD_ADDRESS=unix_socket:PATH. Every utterance appends one JSON line to FILE,
flushed at once:

    {"text": ..., "language": ..., "priority": ..., "client_name": ...,
     "ssml_mode": ..., "time": ...}

text is the utterance after SSIP dot-unstuffing, exactly as the daemon would
hand it to a synthesiser; language, priority and ssml_mode are the
connection's last "SET self ..." values (null when never set; priority and
ssml_mode lower-cased); client_name is the quoted value of
"SET self CLIENT_NAME"; time is time.monotonic(). SIGTERM or SIGINT closes
the socket, removes its file and exits 0.

A client that asks for events ("SET self NOTIFICATION BEGIN|END|CANCEL|ALL on")
gets BEGIN and END for each of its texts right after the reply: every text is
spoken at once, whole.
"""

import argparse
import itertools
import json
import os
import signal
import socket
import socketserver
import sys
import threading
import time

END_OF_DATA = b"\r\n.\r\n"

_message_ids = itertools.count(1)
_client_ids = itertools.count(1)
_log_lock = threading.Lock()
_first_lock = threading.Lock()
_firsts = set()


def first(what):
    """True once per run for each what."""
    with _first_lock:
        seen = what in _firsts
        _firsts.add(what)
        return not seen


def unstuff(data):
    """Undoes the client's escaping: a line that starts with ".." starts with "."."""
    if data.startswith(b".."):
        data = data[1:]
    return data.replace(b"\r\n..", b"\r\n.")


class SsipHandler(socketserver.StreamRequestHandler):
    def setup(self):
        super().setup()
        self.client_id = next(_client_ids)
        self.settings = {"language": None, "priority": None,
                         "client_name": None, "ssml_mode": None}
        self.pending = b""
        self.events = set()

    def reply(self, *lines):
        """Sends a reply: every line but the last carries "-" after its code."""
        out = b"".join(
            (line[:3] + ("-" if i < len(lines) - 1 else " ") + line[4:]
             ).encode() + b"\r\n"
            for i, line in enumerate(lines))
        self.wfile.write(out)
        self.wfile.flush()

    def read_more(self):
        chunk = self.request.recv(65536)
        if not chunk:
            raise EOFError
        self.pending += chunk

    def read_line(self):
        while b"\n" not in self.pending:
            self.read_more()
        line, self.pending = self.pending.split(b"\n", 1)
        return line.rstrip(b"\r").decode("utf-8", "replace")

    def read_data(self):
        # The first END_OF_DATA ends the message: the client stuffs every
        # "." that starts a line, so the text itself cannot contain it.
        data = b"\r\n" + self.pending
        while END_OF_DATA not in data:
            self.read_more()
            data = b"\r\n" + self.pending
        text, rest = data.split(END_OF_DATA, 1)
        self.pending = rest
        return unstuff(text[2:])

    def record(self, text):
        entry = dict(self.settings, text=text.decode("utf-8", "replace"),
                     time=time.monotonic())
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with _log_lock:
            with open(self.server.log_path, "a", encoding="utf-8") as log:
                log.write(line)
                log.flush()

    def handle_set(self, words):
        name = words[2].upper() if len(words) > 2 else ""
        value = " ".join(words[3:])
        if name == "NOTIFICATION" and len(words) == 5:
            kinds = {"BEGIN", "END", "CANCEL"} if words[3].upper() == "ALL" else {words[3].upper()}
            if words[4].lower() == "on":
                self.events |= kinds
            else:
                self.events -= kinds
            self.reply("220 OK NOTIFICATION SET")
            return
        known = {"LANGUAGE": ("language", "201 OK LANGUAGE SET"),
                 "PRIORITY": ("priority", "202 OK PRIORITY SET"),
                 "CLIENT_NAME": ("client_name", "208 OK CLIENT NAME SET"),
                 "SSML_MODE": ("ssml_mode", "219 OK SSML MODE SET")}
        if name in known:
            key, answer = known[name]
            if key == "client_name":
                value = value.strip('"')
            elif key != "language":
                value = value.lower()
            if words[1].upper() == "SELF":
                self.settings[key] = value
            self.reply(answer)
        else:
            self.reply("200 OK SET")

    def handle(self):
        if self.server.mute_first and first("connection"):
            while True:
                try:
                    self.read_more()
                except (EOFError, ConnectionError):
                    return
        try:
            while True:
                line = self.read_line()
                words = line.split()
                command = words[0].upper() if words else ""
                if command == "SPEAK":
                    self.reply("230 OK RECEIVING DATA")
                    text = self.read_data()
                    self.record(text)
                    if self.server.slow_first and first("text"):
                        time.sleep(self.server.slow_first)
                    message = next(_message_ids)
                    self.reply("225 %d" % message, "225 OK MESSAGE QUEUED")
                    for code, kind, word in ((701, "BEGIN", "BEGIN"), (702, "END", "END")):
                        if kind in self.events:
                            self.reply("%d %d" % (code, message), "%d %d" % (code, self.client_id),
                                       "%d %s" % (code, word))
                elif command == "SET" and len(words) >= 3:
                    self.handle_set(words)
                elif command == "HISTORY":
                    self.reply("245 %d" % self.client_id,
                               "245 OK CLIENT ID SENT")
                elif command == "GET":
                    self.reply("251 dummy", "251 OK GET RETURNED")
                elif command in ("STOP", "CANCEL", "PAUSE", "RESUME"):
                    self.reply("210 OK " + command)
                elif command == "QUIT":
                    self.reply("231 HAPPY HACKING")
                    return
                else:
                    self.reply("300 ERR UNKNOWN COMMAND")
        except (EOFError, ConnectionError):
            pass


class Server(socketserver.ThreadingUnixStreamServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--socket", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--mute-first", action="store_true")
    parser.add_argument("--slow-first", type=float, default=0)
    args = parser.parse_args()

    if os.path.exists(args.socket):
        os.unlink(args.socket)
    server = Server(args.socket, SsipHandler)
    server.log_path = args.log
    server.mute_first, server.slow_first = args.mute_first, args.slow_first

    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    serving = threading.Thread(target=server.serve_forever, daemon=True)
    serving.start()
    print("READY", flush=True)
    while not stop.wait(1.0):
        pass
    server.shutdown()
    server.server_close()
    os.unlink(args.socket)
    return 0


if __name__ == "__main__":
    sys.exit(main())
