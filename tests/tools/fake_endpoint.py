#!/usr/bin/python3
"""A stand-in for the translation endpoint, for tests and benchmarks.

  fake_endpoint.py make-ca DIR [--hosts translate.googleapis.com,localhost,127.0.0.1]
      Writes DIR/ca.pem (a test CA), DIR/server.pem and DIR/server.key (signed
      by it for those hosts) and DIR/bundle.pem (the system bundle plus ca.pem).

  fake_endpoint.py serve --port N [--bind 127.0.0.1] [--cert F --key F] [--requests FILE]
      Serves GET requests (HTTPS with --cert/--key). Prints "PORT <n>" once
      listening. Each request is appended to FILE as one JSON line.

The answer depends on the decoded q parameter: normally a gtx-style JSON
answer translating q as "<tl>: " + q, in segments split after ". ". Markers in
q select a failure instead: #429, #500, #hang, #cut, #redirect, #big, #empty,
#braces, and #downgrade:PORT (a redirect to plain HTTP on 127.0.0.1:PORT);
#slow answers after SLOW_SECONDS, and #nul puts a NUL inside the translation.
#CLIENT=STATUS fails only the requests with client=CLIENT, with that status:
429 the unusual-traffic page, 503 a plain-text body, 400 an HTML error page
sent as plain text after a blank line (as a proxy may), any other status a
plain-text body.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
BIG_BODY_BYTES = 9 * 1024 * 1024
SLOW_SECONDS = 2.0

UNUSUAL_TRAFFIC_PAGE = """<html>
<head><meta http-equiv="content-type" content="text/html; charset=utf-8"><title>https://translate.googleapis.com/translate_a/single</title></head>
<body style="font-family: arial, sans-serif; background-color: #fff; color: #000; padding:20px; font-size:18px;">
<div style="max-width:400px;">
<hr noshade size="1" style="color:#ccc; background-color:#ccc;"><br>
<div style="font-size:13px;">
Our systems have detected unusual traffic from your computer network.  This page checks to see if it&#39;s really you sending the requests, and not a robot.
</div>
</div>
</body>
</html>
"""

SERVER_ERROR_PAGE = """<!DOCTYPE html>
<html lang=en>
<meta charset=utf-8>
<title>Error 500 (Server Error)!!1</title>
<p><b>500.</b> <ins>That's an error.</ins>
<p>There was an error. Please try again later. <ins>That's all we know.</ins>
"""


BAD_REQUEST_PAGE = """
  <!DOCTYPE html>
<html lang=en>
<meta charset=utf-8>
<title>Error 400 (Bad Request)!!1</title>
<p><b>400.</b> <ins>That's an error.</ins>
<p>Your client has issued a malformed or illegal request. <ins>That's all we know.</ins>
"""

REASONS = {400: "Bad Request", 404: "Not Found", 429: "Too Many Requests", 503: "Service Unavailable"}


def make_ca(directory, hosts):
    os.makedirs(directory, exist_ok=True)
    names = [h for h in hosts.split(",") if h]
    alt = ",".join(("IP:" if is_address(h) else "DNS:") + h for h in names)
    with tempfile.TemporaryDirectory() as work:
        ca_key = os.path.join(work, "ca.key")
        csr = os.path.join(work, "server.csr")
        ext = os.path.join(work, "server.ext")
        ca_pem = os.path.join(directory, "ca.pem")
        server_pem = os.path.join(directory, "server.pem")
        server_key = os.path.join(directory, "server.key")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        openssl(["req", "-x509", *ec, "-keyout", ca_key, "-out", ca_pem, "-days", "2",
                 "-subj", "/CN=Tarsel Test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
        openssl(["req", *ec, "-keyout", server_key, "-out", csr, "-subj", "/CN=" + names[0]])
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=serverAuth\n"
                    "subjectAltName=" + alt + "\n")
        openssl(["x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
                 "-CAcreateserial", "-CAserial", os.path.join(work, "ca.srl"),
                 "-out", server_pem, "-days", "2", "-extfile", ext])
    with open(os.path.join(directory, "bundle.pem"), "wb") as bundle:
        with open(SYSTEM_BUNDLE, "rb") as system:
            shutil.copyfileobj(system, bundle)
        with open(os.path.join(directory, "ca.pem"), "rb") as ca:
            bundle.write(b"\n" + ca.read())


def openssl(arguments):
    subprocess.run(["openssl", *arguments], check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def is_address(host):
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, host)
            return True
        except OSError:
            pass
    return False


def split_sentences(text):
    pieces = []
    start = 0
    while True:
        end = text.find(". ", start)
        if end < 0:
            break
        pieces.append(text[start:end + 2])
        start = end + 2
    if start < len(text) or not pieces:
        pieces.append(text[start:])
    return pieces


def gtx_answer(source, translation, original):
    translated = split_sentences(translation)
    originals = split_sentences(original)
    originals += [""] * (len(translated) - len(originals))
    segments = [[t, o, None, None, 10] for t, o in zip(translated, originals)]
    language = source if source and source != "auto" else "en"
    return [segments, None, language, None, None, None, 1, [], [[language], None, [1], [language]]]


def json_bytes(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fake-endpoint"

    def log_message(self, *args):
        pass

    def do_GET(self):
        arrival = time.monotonic()
        started = time.perf_counter()
        parsed = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(parsed.query, keep_blank_values=True))
        q = query.get("q", "")
        response = None
        if "#hang" not in q:
            response = self.answer(query, q, parsed)
        self.server.record({
            "request_line": self.requestline,
            "path": parsed.path,
            "query": query,
            "raw_query": parsed.query,
            "headers": dict(self.headers.items()),
            "time": arrival,
            "answer_ms": (time.perf_counter() - started) * 1000.0,
        })
        if response is None:
            self.hang()
            return
        if "#slow" in q:
            time.sleep(SLOW_SECONDS)
        # Headers and body in one write: separate small writes stall on Nagle.
        self.connection.sendall(response)
        self.close_connection = True

    def answer(self, query, q, parsed):
        tl = query.get("tl", "")
        for client, status in re.findall(r"#([a-z][a-z-]*)=(\d{3})", q):
            if client == query.get("client"):
                return self.client_failure(int(status))
        if "#429" in q:
            return self.response(429, "Too Many Requests", "text/html", UNUSUAL_TRAFFIC_PAGE.encode())
        if "#500" in q:
            return self.response(500, "Internal Server Error", "text/html; charset=UTF-8",
                                 SERVER_ERROR_PAGE.encode())
        downgrade = re.search(r"#downgrade:(\d+)", q)
        if downgrade:
            target = "http://127.0.0.1:%s%s" % (downgrade.group(1), parsed.path)
            return self.redirect(target, parsed, downgrade.group(0))
        if "#redirect" in q:
            return self.redirect(parsed.path, parsed, "#redirect")
        if "#empty" in q:
            body = json_bytes([[], None, "en", None, None, None, 1, [], [["en"], None, [1], ["en"]]])
        elif "#big" in q:
            body = json_bytes(gtx_answer(query.get("sl", ""), tl + ": " + "x" * BIG_BODY_BYTES, q))
        elif "#nul" in q:
            body = json_bytes(gtx_answer(query.get("sl", ""), tl + ": " + q + "\0cauda", q))
        elif "#braces" in q:
            body = json_bytes(gtx_answer(query.get("sl", ""), tl + ": {" + q + "}\n{0}", q))
        else:
            body = json_bytes(gtx_answer(query.get("sl", ""), tl + ": " + q, q))
        if "#cut" in q:
            head = self.response(200, "OK", "application/json; charset=utf-8", body, headers_only=True)
            return head + body[:len(body) // 2]
        return self.response(200, "OK", "application/json; charset=utf-8", body)

    def client_failure(self, status):
        reason = REASONS.get(status, "Error")
        if status == 429:
            return self.response(status, reason, "text/html", UNUSUAL_TRAFFIC_PAGE.encode())
        if status == 400:
            return self.response(status, reason, "text/plain; charset=UTF-8", BAD_REQUEST_PAGE.encode())
        return self.response(status, reason, "text/plain", (reason + "\n").encode())

    def redirect(self, target, parsed, marker):
        rest = urllib.parse.urlencode(
            [(k, v.replace(marker, "") if k == "q" else v)
             for k, v in urllib.parse.parse_qsl(parsed.query, keep_blank_values=True)],
            quote_via=urllib.parse.quote)
        return self.response(302, "Found", "text/html", b"", [("Location", target + "?" + rest)])

    def response(self, status, reason, content_type, body, extra=(), headers_only=False):
        lines = ["HTTP/1.1 %d %s" % (status, reason),
                 "Content-Type: " + content_type,
                 "Content-Length: %d" % len(body),
                 "Connection: close"]
        lines += ["%s: %s" % pair for pair in extra]
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        return head if headers_only else head + body

    def hang(self):
        # Keep the socket open, answering nothing, until the client goes.
        self.connection.settimeout(1.0)
        while not self.server.stopping.is_set():
            try:
                if not self.connection.recv(4096):
                    break
            except socket.timeout:
                continue
            except OSError:
                break
        self.close_connection = True


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, tls, requests_file):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, Handler)
        self.tls = tls
        self.requests_file = requests_file
        self.records_lock = threading.Lock()
        self.stopping = threading.Event()

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a
        # client that never completes it blocks nobody else.
        if self.tls is not None:
            try:
                request.settimeout(10)
                request = self.tls.wrap_socket(request, server_side=True)
                request.settimeout(None)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # clients that give up (time-outs, body cap, bad certificate)

    def record(self, entry):
        if self.requests_file is None:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.records_lock:
            with open(self.requests_file, "a", encoding="utf-8") as f:
                f.write(line)
                f.flush()


def serve(arguments):
    tls = None
    if arguments.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(arguments.cert, arguments.key)
    server = Server((arguments.bind, arguments.port), tls, arguments.requests)

    def stop(signum, frame):
        server.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.1)
    server.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    ca = commands.add_parser("make-ca")
    ca.add_argument("directory")
    ca.add_argument("--hosts", default="translate.googleapis.com,localhost,127.0.0.1")
    run = commands.add_parser("serve")
    run.add_argument("--port", type=int, required=True)
    run.add_argument("--bind", default="127.0.0.1")
    run.add_argument("--cert")
    run.add_argument("--key")
    run.add_argument("--requests")
    arguments = parser.parse_args()
    if arguments.command == "make-ca":
        make_ca(arguments.directory, arguments.hosts)
    else:
        if bool(arguments.cert) != bool(arguments.key):
            parser.error("--cert and --key go together")
        serve(arguments)


if __name__ == "__main__":
    sys.exit(main())
