"""Drives the real tarsel-translator as a blind user meets it and reads it as a screen reader does.

A test file lists its cases as rows and calls main(). The process then re-runs itself in a
private mount and network namespace, where translate.googleapis.com resolves to a local fake
endpoint on port 443 trusted through a test CA. Xvfb, a D-Bus session bus and the AT-SPI bus are
started once; every case gets a fresh program, endpoint, speech recorder and working directory.
"""
import ctypes
import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse

SOURCE_DIR = os.environ["TARSEL_SOURCE_DIR"]
BINARY = os.environ["TARSEL_BINARY"]
SANITIZER = os.environ.get("TARSEL_SANITIZER", "")
SCALE = {"address": 2, "thread": 3}.get(SANITIZER, 1)
HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(SOURCE_DIR, "tests", "tools")
PYTHON = "/usr/bin/python3"
TITLE = "Tarsel Translator"
FAILURE = "Não foi possível realizar a tradução. Por favor, confira o log para mais informações."
LIST_ROLES = ("table", "tree table")
SANITIZER_REPORT = re.compile(rb"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:")
TOOLKIT_COMPLAINT = re.compile(rb"Gtk-CRITICAL|Gtk-WARNING|GLib-GObject-CRITICAL")

_children = []
_atspi = None


def _pump():
    if _atspi:
        context = _atspi.GLib.MainContext.default()
        while context.pending():
            context.iteration(False)


def wait_for(condition, seconds, what):
    """Polls condition until it gives a true value, which it returns; seconds scale with sanitizers."""
    deadline = time.monotonic() + seconds * SCALE
    while True:
        _pump()
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def spawn(argv, **kw):
    process = subprocess.Popen(argv, **kw)
    _children.append(process)
    return process


def read_line(stream, seconds, what):
    ready = wait_for(lambda: select.select([stream], [], [], 0)[0], seconds, what)
    return ready[0].readline().decode().strip()


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, timeout=10 * SCALE, **kw)


def private_tmp(*keep):
    """Mounts a private /tmp: Xvfb cannot see other namespaces' processes, so it would take their displays'
    lock files. The folders of keep under /tmp (the sources, the program) are carried over."""
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    kept = sorted({path for path in keep if path.startswith("/tmp/")})
    if kept:
        os.makedirs("/run/tarsel-e2e-tmp", exist_ok=True)
        subprocess.run(["mount", "--bind", "/tmp", "/run/tarsel-e2e-tmp"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/tmp"], check=True)
    for path in kept:
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount", "--bind", "/run/tarsel-e2e-tmp" + path[len("/tmp"):], path], check=True)


class Session:
    """The namespace, display, buses and test CA shared by the cases of one file."""

    def __init__(self):
        private_tmp(SOURCE_DIR, os.path.dirname(BINARY))
        self.tmp = tempfile.mkdtemp(prefix="tarsel-e2e-")
        for argv in (["ip", "link", "set", "lo", "up"],
                     [PYTHON, os.path.join(TOOLS, "fake_endpoint.py"), "make-ca", self.path("ca"),
                      "--hosts", "translate.googleapis.com,localhost,127.0.0.1"]):
            subprocess.run(argv, check=True, timeout=60)
        with open(self.path("hosts"), "w") as hosts:
            hosts.write("127.0.0.1 localhost translate.googleapis.com\n::1 localhost\n")
        for source, target in ((self.path("hosts"), "/etc/hosts"),
                               (self.path("ca", "bundle.pem"), "/etc/ssl/certs/ca-certificates.crt")):
            subprocess.run(["mount", "--bind", source, target], check=True)
        self.display = self.start_display()
        bus = spawn(["dbus-daemon", "--session", "--nofork", "--print-address",
                     "--address=unix:path=" + self.path("bus")], stdout=subprocess.PIPE)
        runtime = self.path("runtime")
        os.mkdir(runtime, 0o700)
        os.environ.update(DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS=read_line(bus.stdout, 20, "D-Bus"),
                          XDG_RUNTIME_DIR=runtime, GSETTINGS_BACKEND="memory")
        for name in ("NO_AT_BRIDGE", "GTK_A11Y", "GTK_MODULES", "SPEECHD_ADDRESS"):
            os.environ.pop(name, None)
        spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        address = wait_for(lambda: re.search(rb'string "(.+)"', run(["dbus-send", "--session", "--print-reply",
                           "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"]).stdout), 20, "the AT-SPI bus")
        # Start the registry daemon now, so that it is no process of a case.
        wait_for(lambda: run(["dbus-send", "--bus=" + address.group(1).decode(), "--print-reply",
                              "--dest=org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                              "org.freedesktop.DBus.Peer.Ping"]).returncode == 0, 30, "the AT-SPI registry")
        self.daemons = set(_orphans(()))
        global _atspi
        import pyatspi
        from gi.repository import GLib
        pyatspi.GLib = GLib
        _atspi = pyatspi

    def start_display(self):
        """The X display the program runs on; a subclass may start a compositor with its XWayland instead."""
        reader, writer = os.pipe()
        spawn(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-noreset", "-screen", "0", "1280x1024x24"],
              pass_fds=(writer,), stderr=subprocess.DEVNULL)
        os.close(writer)
        return ":" + read_line(os.fdopen(reader, "rb"), 20, "Xvfb")

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)


class Owner:
    """An xclip process holding the clipboard; served counts the requests it has answered."""

    def __init__(self, data, target=None):
        argv = ["xclip", "-selection", "clipboard", "-i", "-verbose"] + (["-t", target] if target else [])
        self.process = spawn(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.process.stdin.write(data.encode() if isinstance(data, str) else data)
        self.process.stdin.close()
        self.served, self.owning = 0, threading.Event()
        threading.Thread(target=self._count, daemon=True).start()
        wait_for(self.owning.is_set, 10, "xclip to own the clipboard")

    def _count(self):
        for line in self.process.stderr:
            number = re.search(rb"request number (\d+)", line)
            if number:
                self.served = int(number.group(1)) - 1
            self.owning.set()


class App:
    """One run of the program: start it with __init__, end it with finish()."""

    def __init__(self, session, name, args=(), speech=True, readonly_workdir=False, text_scale=None):
        self.session, self.dir = session, tempfile.mkdtemp(prefix=re.sub(r"\W+", "-", name)[:20], dir=session.tmp)
        self.work, self.requests_file, self.speech_file = (os.path.join(self.dir, n) for n in ("work", "requests", "speech"))
        os.mkdir(self.work)
        if readonly_workdir:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "ro", "tmpfs", self.work], check=True)
        self.owner = None
        ca = session.path("ca")
        self.endpoint = spawn([PYTHON, os.path.join(TOOLS, "fake_endpoint.py"), "serve", "--port", "443",
                               "--cert", os.path.join(ca, "server.pem"), "--key", os.path.join(ca, "server.key"),
                               "--requests", self.requests_file], stdout=subprocess.PIPE)
        assert read_line(self.endpoint.stdout, 20, "the endpoint") == "PORT 443"
        socket = os.path.join(self.dir, "speechd.sock")
        if speech:
            self.speechd = spawn([PYTHON, os.path.join(TOOLS, "fake_speechd.py"), "--socket", socket,
                                  "--log", self.speech_file], stdout=subprocess.PIPE)
            assert read_line(self.speechd.stdout, 20, "the speech recorder") == "READY"
        env = dict(os.environ, SPEECHD_ADDRESS="unix_socket:" + socket)
        if text_scale:
            env["GDK_DPI_SCALE"] = str(text_scale)  # text larger, as a user's font setting makes it
        supp = os.path.join(SOURCE_DIR, "tests", "%s.supp")
        env.update(ASAN_OPTIONS="detect_leaks=1:halt_on_error=1",
                   LSAN_OPTIONS="suppressions=%s:print_suppressions=0" % (supp % "lsan"),
                   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
                   TSAN_OPTIONS="suppressions=%s:second_deadlock_stack=1" % (supp % "tsan"))
        self.stderr_file = os.path.join(self.dir, "stderr")
        with open(self.stderr_file, "wb") as stderr:
            self.process = spawn([BINARY, *args], cwd=self.work, env=env, stdout=stderr, stderr=stderr)
        self.frame = wait_for(self._find_frame, 30, "the dialog in AT-SPI")
        self.window = wait_for(lambda: run(["xdotool", "search", "--all", "--onlyvisible", "--pid",
                                            str(self.process.pid), "--name", "^%s$" % TITLE]).stdout.split(),
                               10, "the dialog's X window")[0].decode()
        run(["xdotool", "windowfocus", self.window])
        wait_for(lambda: self.frame.getState().contains(_atspi.STATE_ACTIVE), 10, "the dialog to be active")
        # Keys sent before the program has put its focus in the input field would land elsewhere.
        wait_for(lambda: self.focused() == ("text", "Texto à traduzir"), 10, "focus in the input field")

    def _find_frame(self):
        desktop = _atspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.get_process_id() == self.process.pid:
                for child in app:
                    if child.getRoleName() == "frame" and child.name == TITLE:
                        return child
        return None

    # Reading, as a screen reader does.
    def walk(self, node=None):
        """The frame's objects in tree order, not descending into the lists."""
        node = node or self.frame
        yield node
        if node.getRoleName() not in LIST_ROLES:
            for child in node:
                yield from self.walk(child)

    def controls(self):
        return [describe(o) for o in self.walk() if o.getState().contains(_atspi.STATE_FOCUSABLE)]

    def labels(self):
        """Each label's text with the (role, name) of what it is LABEL_FOR and of what names it LABELLED_BY."""
        found = []
        for label in self.walk():
            if label.getRoleName() == "label":
                targets = relation(label, _atspi.RELATION_LABEL_FOR)
                found.append((label.name, [(role(t), [l.name for l in relation(t, _atspi.RELATION_LABELLED_BY)])
                                           for t in targets]))
        return found

    def control(self, label):
        """The innermost object labelled by label: the list itself, not the scroll pane around it."""
        found = [n for n in self.walk() if label in [l.name for l in relation(n, _atspi.RELATION_LABELLED_BY)]]
        assert found, "nothing is labelled by " + label
        return found[-1]

    def text(self, label):
        return self.control(label).queryText().getText(0, -1)

    def items(self, label):
        """The list's items as (name, selected, focused); column headers are not items."""
        cells = [c for c in self.control(label) if c.getRoleName() == "table cell"]
        return [(c.name, c.getState().contains(_atspi.STATE_SELECTED), c.getState().contains(_atspi.STATE_FOCUSED))
                for c in cells]

    def focused(self):
        nodes = list(self.walk())
        headers = [n[0] for n in nodes if n.getRoleName() in LIST_ROLES and n.childCount]  # a header is no Tab stop
        for node in nodes[1:] + headers:
            if node.getState().contains(_atspi.STATE_FOCUSED):
                return describe(node)
        return None

    def click(self, button):
        for node in self.walk():
            if role(node) == "push button" and node.name == button:
                return node.queryAction().doAction(0)
        raise AssertionError("no button " + button)

    # Acting, as a user does.
    def key(self, *keys):
        run(["xdotool", "key", "--delay", "30", *keys], check=True)

    def copy(self, data, target=None):
        self.owner = Owner(data, target)
        return self.owner

    def paste(self, text):
        self.copy(text)
        self.key("ctrl+v")

    def close_box(self):
        """Sends WM_DELETE_WINDOW as a window manager's close box does."""
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype, x.XInternAtom.restype = ctypes.c_void_p, ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x.XOpenDisplay(self.session.display.encode())
        # XClientMessageEvent as longs: type, serial, send_event, display, window, message_type, format, data.
        event = (ctypes.c_long * 24)(33, 0, 0, 0, int(self.window), x.XInternAtom(display, b"WM_PROTOCOLS", 0), 32,
                                     x.XInternAtom(display, b"WM_DELETE_WINDOW", 0), 0)
        x.XSendEvent(display, int(self.window), 0, 0, event)
        x.XCloseDisplay(display)

    def close(self, way):
        {"Esc": lambda: self.key("Escape"), "Sair": lambda: self.click("Sair"),
         "Sair key": lambda: self.key("Tab", "Tab", "space"), "close box": self.close_box}[way]()

    # What other programs saw.
    def clipboard(self):
        result = run(["xclip", "-selection", "clipboard", "-o"])
        return result.stdout.decode() if result.returncode == 0 else None

    def requests(self):
        return _json_lines(self.requests_file)

    def queries(self):
        return [(r["query"].get("sl"), r["query"].get("tl"), r["query"].get("q")) for r in self.requests()]

    def spoken(self):
        return [u["text"] for u in _json_lines(self.speech_file)]

    def wait_spoken(self, text):
        wait_for(lambda: text in self.spoken(), 20, "speech of %r" % text)

    def log(self):
        path = os.path.join(self.work, "log.log")
        return open(path, "rb").read() if os.path.exists(path) else None

    def wait_exit(self, seconds):
        """The program ends within seconds and leaves no process of its own behind."""
        wait_for(lambda: self.process.poll() is not None, seconds, "the program to end")
        assert self.process.returncode == 0, "exit status %d" % self.process.returncode
        left = [_comm(pid) for pid in _orphans(self.session.daemons | {p.pid for p in _children})]
        assert not left, "left running: %s" % left

    def finish(self):
        try:
            if self.process.poll() is None:
                self.close("Esc")
                self.wait_exit(10)
            with open(self.stderr_file, "rb") as f:
                stderr = f.read()
            assert not SANITIZER_REPORT.search(stderr), "sanitizer report in the program's stderr"
            complaint = TOOLKIT_COMPLAINT.search(stderr)
            assert not complaint, "the toolkit complained: " + stderr[complaint.start():][:200].decode(errors="replace")
            assert all(u.get("ssml_mode") in (None, "off") for u in _json_lines(self.speech_file)), "SSML speech"
        finally:
            for pid in _orphans(self.session.daemons | {p.pid for p in _children}):
                os.kill(pid, 9)


def describe(node):
    """Role and name as a screen reader announces them: the name, else the labels naming it."""
    return (role(node), node.name or " ".join(l.name for l in relation(node, _atspi.RELATION_LABELLED_BY)))


def role(node):
    """The role's name; at-spi2-core 2.50 and later call a push button "button"."""
    return "push button" if node.getRole() == _atspi.ROLE_PUSH_BUTTON else node.getRoleName()


def relation(node, kind):
    return [r.getTarget(i) for r in node.getRelationSet() if r.getRelationType() == kind
            for i in range(r.getNTargets())]


def escaped_query(sl, tl, text):
    return "client=gtx&sl=%s&tl=%s&dt=t&q=%s" % (sl, tl, urllib.parse.quote(text, safe=""))


def _json_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.endswith("\n")]


def _orphans(known):
    """Live processes that became ours, the namespace's init, because their parent is gone; reaps dead ones."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                state, parent = f.read().rsplit(")", 1)[1].split()[:2]
        except OSError:
            continue
        if int(parent) == os.getpid() and int(entry) not in known:
            if state == "Z":
                os.waitpid(int(entry), os.WNOHANG)
            else:
                found.append(int(entry))
    return found


def _comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return str(pid)


def main(cases, open_session=None, open_app=None, filters=None):
    """Runs the cases whose names hold one of `filters` (default: the command's arguments), or all.

    cases: rows of (name, function, arguments[, App options]); function(app, *arguments).
    open_session() and open_app(session, name, **options) default to this file's Session and App;
    a session with a close() method is closed at the end. On a failure, the end of the program's
    output (the app's stderr_file) is printed.
    """
    open_session, open_app = open_session or Session, open_app or App
    filters = sys.argv[1:] if filters is None else filters
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))  # init of the namespace ignores it otherwise
    if os.environ.get("TARSEL_E2E_INSIDE") != "1":
        os.environ["TARSEL_E2E_INSIDE"] = "1"
        # Our own PID namespace: we are its init, so orphans come to us and die with us.
        os.execvp("unshare", ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc",
                              PYTHON, os.path.abspath(sys.argv[0]), *sys.argv[1:]])
    chosen = [c for c in cases if not filters or any(a in c[0] for a in filters)]
    failed = []
    session = None
    try:
        session = open_session()
        shared = len(_children)
        for name, function, arguments, *options in chosen:
            started, app = time.monotonic(), None
            try:
                app = open_app(session, name, **(options[0] if options else {}))
                try:
                    function(app, *arguments)
                finally:
                    app.finish()
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            except Exception:
                failed.append(name)
                print("FAIL %s (%.1f s)\n%s" % (name, time.monotonic() - started, traceback.format_exc()), flush=True)
                if app and os.path.exists(app.stderr_file):
                    print(open(app.stderr_file, "rb").read()[-6000:].decode(errors="replace"), flush=True)
            for process in _children[shared:]:
                if process.poll() is None:
                    process.kill()
                    process.wait()
            del _children[shared:]
    finally:
        if hasattr(session, "close"):
            session.close()
        for process in reversed(_children):
            if process.poll() is None:
                process.terminate()
                process.wait(10)
    print("%d of %d cases failed: %s" % (len(failed), len(chosen), failed) if failed else "all %d cases passed" % len(chosen))
    sys.exit(1 if failed else 0)
