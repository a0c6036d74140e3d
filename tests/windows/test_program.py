#!/usr/bin/python3
"""The Windows program, as a Windows user downloads it, driven under Wine as a user drives it.

Usage: test_program.py FOLDER [ROW...]
FOLDER holds the unpacked zip's tarsel-translator.exe with a recording Tolk.dll beside it, and
window_probe.exe. The process re-runs itself in a private mount, network and PID namespace where
translate.googleapis.com resolves to a local HTTPS endpoint whose test CA is added to the host's
trust store, where Wine's crypt32 finds its root certificates. (Wine 8's Schannel does not check
the server's certificate at all, so these rows cannot tell a trusted endpoint from an untrusted
one; on Windows, Schannel checks it against the system store.) Xvfb, a fresh Wine prefix and the
endpoint are shared by the rows; every row gets a fresh program, Tolk record and working directory.
"""
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.update(TARSEL_SOURCE_DIR=ROOT, TARSEL_BINARY="")
import harness  # noqa: E402
from harness import wait_for  # noqa: E402

FOLDER = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else ""
LABELS = ["Tradução", "Idioma de origem", "Idioma de destino", "Texto à traduzir"]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Session:
    def __init__(self):
        # The sources and the program may live under /tmp themselves, as in a CI clone.
        harness.private_tmp(ROOT, FOLDER)
        self.tmp = tempfile.mkdtemp(prefix="tarsel-wine-")
        ca = os.path.join(self.tmp, "ca")
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run([harness.PYTHON, os.path.join(harness.TOOLS, "fake_endpoint.py"), "make-ca", ca,
                        "--hosts", "translate.googleapis.com,localhost,127.0.0.1"], check=True, timeout=60)
        hosts = os.path.join(self.tmp, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost translate.googleapis.com\n::1 localhost\n")
        for source, target in ((hosts, "/etc/hosts"),
                               (os.path.join(ca, "bundle.pem"), "/etc/ssl/certs/ca-certificates.crt")):
            subprocess.run(["mount", "--bind", source, target], check=True)
        reader, writer = os.pipe()
        harness.spawn(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-noreset", "-screen", "0", "1280x1024x24"],
                      pass_fds=(writer,), stderr=subprocess.DEVNULL)
        os.close(writer)
        os.environ.update(DISPLAY=":" + harness.read_line(os.fdopen(reader, "rb"), 20, "Xvfb"),
                          WINEPREFIX=os.path.join(self.tmp, "prefix"), WINEDEBUG="-all",
                          WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko installer dialogs
        for name in ("WINESERVER", "WINELOADER"):
            os.environ.pop(name, None)
        started = time.monotonic()
        subprocess.run(["wineboot", "--init"], check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print("Wine prefix: %.1f s" % (time.monotonic() - started), flush=True)
        self.requests = os.path.join(self.tmp, "requests")
        self.endpoint = harness.spawn([harness.PYTHON, os.path.join(harness.TOOLS, "fake_endpoint.py"), "serve",
                                       "--port", "443", "--cert", os.path.join(ca, "server.pem"),
                                       "--key", os.path.join(ca, "server.key"), "--requests", self.requests],
                                      stdout=subprocess.PIPE)
        assert harness.read_line(self.endpoint.stdout, 20, "the endpoint") == "PORT 443"

    def close(self):
        subprocess.run(["wineserver", "-k"], timeout=60)


class App:
    def __init__(self, session, name):
        self.session = session
        self.dir = tempfile.mkdtemp(prefix=name.replace(" ", "-")[:20], dir=session.tmp)
        self.work, self.tolk_file = os.path.join(self.dir, "work"), os.path.join(self.dir, "tolk")
        os.mkdir(self.work)
        self.seen_requests = len(harness._json_lines(session.requests))
        env = dict(os.environ, TARSEL_TOLK_STUB_LOG=windows_path(self.tolk_file))
        self.stderr_file = os.path.join(self.dir, "output")
        self.output = open(self.stderr_file, "wb")
        self.process = harness.spawn(["wine", os.path.join(FOLDER, "tarsel-translator.exe"), "ignored-argument"],
                                     cwd=self.work, env=env, stdout=self.output, stderr=self.output)
        self.window = wait_for(lambda: harness.run(["xdotool", "search", "--onlyvisible", "--name",
                                                    "^Tarsel Translator$"]).stdout.split(), 60,
                               "the dialog's X window")[0].decode()
        harness.run(["xdotool", "windowfocus", self.window])
        wait_for(lambda: self.focused() == ("edit", LABELS[3]), 20, "focus in the input field")

    def controls(self):
        """The dialog's controls as (class, text, focused, item count, focused item), read from Windows."""
        result = subprocess.run(["wine", os.path.join(FOLDER, "window_probe.exe")], capture_output=True, timeout=60)
        if result.returncode != 0:
            return []
        rows = []
        for line in result.stdout.decode().replace("\r", "").splitlines():
            fields = line.split("\t")
            rows.append((fields[0].lower(), fields[1], fields[2] == "focus",
                         int(fields[3]) if len(fields) > 3 else None, fields[4] if len(fields) > 4 else None))
        return rows

    def labelled(self):
        """Each control with the text of the label created right before it."""
        found, label = {}, None
        for control in self.controls():
            if control[0] == "static":
                label = control[1]
            elif label is not None:
                found[label], label = control, None
        return found

    def text(self, label):
        return self.labelled()[label][1]

    def focused(self):
        for label, (kind, _, focus, _, _) in self.labelled().items():
            if focus:
                return kind, label
        return None

    # As a Linux user's program is driven and watched: the same keys, clipboard, log and endpoint record.
    key, clipboard, log, queries = harness.App.key, harness.App.clipboard, harness.App.log, harness.App.queries

    def type(self, text):
        harness.run(["xdotool", "type", "--delay", "30", text], check=True)

    def spoken(self):
        """What reached Tolk: "Tolk_Load", or the text of each Tolk_Speak and its interrupt flag."""
        if not os.path.exists(self.tolk_file):
            return []
        calls = []
        with open(self.tolk_file) as f:
            for line in f:
                name, *rest = line.split()
                calls.append(name if not rest else
                             (b"".join(int(u, 16).to_bytes(2, "little") for u in rest[1:]).decode("utf-16-le"),
                              rest[0]))
        return calls

    def requests(self):
        return harness._json_lines(self.session.requests)[self.seen_requests:]

    def wait_exit(self, seconds):
        wait_for(lambda: self.process.poll() is not None, seconds, "the program to end")
        assert self.process.returncode == 0, "exit status %d" % self.process.returncode
        assert not harness.run(["xdotool", "search", "--name", "^Tarsel Translator$"]).stdout, "a window is left"

    def finish(self):
        try:
            if self.process.poll() is None:
                self.key("Escape")
                self.wait_exit(20)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.output.close()


def starts(app):
    found = app.labelled()
    assert [(label, found[label][0]) for label in LABELS] == list(zip(LABELS, ["edit", "syslistview32",
                                                                            "syslistview32", "edit"])), found
    source, target = found["Idioma de origem"], found["Idioma de destino"]
    assert (source[4], target[4]) == ("Português", "Inglês"), (source, target)
    assert source[3] == target[3] + 1 > 100, (source, target)  # "Automático" heads the source list only
    assert [c[1] for c in app.controls() if c[0] == "button"] == ["Traduzir", "Sair"], app.controls()
    wait_for(lambda: app.spoken() == ["Tolk_Load"], 10, "Tolk_Load, not %r" % app.spoken())
    assert app.log() == b"", app.log()


def enter_translates(app, text, translation):
    app.type(text)
    wait_for(lambda: app.text(LABELS[3]) == text, 10, "the typed text in the input field")
    app.key("Return")
    wait_for(lambda: app.text(LABELS[0]) == translation, 30, "the translation shown, log %r" % app.log())
    assert app.queries() == [("pt", "en", text)], app.queries()
    wait_for(lambda: app.spoken() == ["Tolk_Load", (translation, "0")], 10, "the translation spoken")
    wait_for(lambda: app.clipboard() == translation, 10, "the translation on the X clipboard")
    assert app.text(LABELS[3]) == "" and app.log() == b"", (app.text(LABELS[3]), app.log())


def monitor_translates(app, text, translation):
    app.key("F1")
    wait_for(lambda: ("Monitorando.", "0") in app.spoken(), 10, "Monitorando. spoken, not %r" % app.spoken())
    harness.Owner(text)
    wait_for(lambda: app.clipboard() == translation, 30, "the translation replacing the copy, log %r" % app.log())
    assert ("pt", "en", text) in app.queries(), app.queries()
    wait_for(lambda: (translation, "0") in app.spoken(), 10, "the translation spoken, not %r" % app.spoken())
    app.key("F1")
    wait_for(lambda: app.spoken()[-1] == ("Deixando de monitorar.", "0"), 10, "Deixando de monitorar. spoken")


def esc_ends(app):
    app.key("Escape")
    app.wait_exit(20)
    assert app.log() == b"", app.log()


ROWS = [
    ("starts with its labels, lists and buttons", starts, ()),
    ("Enter translates, speaks and copies", enter_translates, ("Bom dia", "en: Bom dia")),
    ("F1 translates a text copied in X", monitor_translates, ("Boa noite, cora\u00e7\u00e3o", "en: Boa noite, cora\u00e7\u00e3o")),
    ("Esc ends the program", esc_ends, ()),
]


if __name__ == "__main__":
    harness.main(ROWS, Session, App, sys.argv[2:])
