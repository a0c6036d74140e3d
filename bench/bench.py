#!/usr/bin/python3
"""Runs every benchmark on loopback and prints one table; see scripts/bench.sh.

    bench.py --bin-dir BUILD [--short] [--out FILE]

BUILD holds tarsel-translator and bench/bench_core, bench/floor_dialog. The
process re-runs itself in a private mount and network namespace and uses the
end-to-end harness (tests/e2e/harness.py): Xvfb, D-Bus, AT-SPI, the fake
endpoint on 443 trusted through a test CA, the recording speech endpoint.
Each figure is measured against its floor in the same run, alternating the
two. Nothing is asserted; the exit status says only whether every benchmark ran.
"""
import argparse
import ctypes
import datetime
import json
import os
import platform
import random
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
ENDPOINT = os.path.join(ROOT, "tests", "tools", "fake_endpoint.py")
SPEECHD = os.path.join(ROOT, "tests", "tools", "fake_speechd.py")
POLL_SECONDS = 0.6

SENTENCES = [
    "A tradu\u00e7\u00e3o autom\u00e1tica ajuda quem usa um leitor de tela. ",
    "Voc\u00ea copia um par\u00e1grafo e ouve a vers\u00e3o em ingl\u00eas. ",
    "N\u00e3o h\u00e1 configura\u00e7\u00e3o: as listas j\u00e1 come\u00e7am selecionadas. ",
    "\u00c0s vezes a conex\u00e3o \u00e9 lenta, ent\u00e3o cada pedido tem limite. ",
]


def portuguese(units, seed=0):
    text = ""
    i = seed
    while len(text) < units:
        text += SENTENCES[i % len(SENTENCES)]
        i += 1
    return text[:units].rstrip()


def arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--short", action="store_true", help="few repetitions: checks that everything runs")
    parser.add_argument("--out", help="also write the table here")
    parser.add_argument("--only", help="run only the benchmarks whose name contains this")
    return parser.parse_args()


ARGS = arguments()
BIN_DIR = os.path.abspath(ARGS.bin_dir)
os.environ.setdefault("TARSEL_SOURCE_DIR", ROOT)
os.environ["TARSEL_BINARY"] = os.path.join(BIN_DIR, "tarsel-translator")
os.environ["TARSEL_SANITIZER"] = ""
if os.environ.get("TARSEL_E2E_INSIDE") != "1":
    os.environ["TARSEL_E2E_INSIDE"] = "1"
    os.execvp("unshare", ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc", PYTHON, os.path.abspath(sys.argv[0]), *sys.argv[1:]])
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

SHORT = ARGS.short
RUNS = {"translate": 4 if SHORT else 30, "extract": 5 if SHORT else 40, "enter": 3 if SHORT else 20,
        "copy": 4 if SHORT else 30, "start": 2 if SHORT else 10, "idle_windows": 1 if SHORT else 3,
        "idle_on": 4.0 if SHORT else 20.0, "idle_off": 4.0 if SHORT else 10.0}


class Figure:
    """One row: samples of the product and, when it has one, of its floor taken alternately."""

    def __init__(self, name, unit, samples, floor=None, floor_name=""):
        self.name, self.unit, self.samples, self.floor, self.floor_name = name, unit, samples, floor or [], floor_name

    def row(self):
        s = sorted(self.samples)
        cells = [self.name, self.unit, str(len(s)), fmt(s[0]), fmt(statistics.median(s)), fmt(percentile(s, 95)),
                 fmt(s[-1])]
        if self.floor:
            ratios = sorted(p / f for p, f in zip(self.samples, self.floor) if f > 0)
            cells += ["%s: %s" % (self.floor_name, fmt(statistics.median(self.floor))),
                      "%.2f (%.2f\u2013%.2f)" % (statistics.median(ratios), ratios[0], ratios[-1]) if ratios else "\u2014"]
        else:
            cells += [self.floor_name or "\u2014", "\u2014"]
        return "| " + " | ".join(cells) + " |"


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(round(p / 100.0 * (len(s) - 1)))))]


def fmt(value):
    return "%.0f" % value if abs(value) >= 100 else "%.3g" % value


def log(message):
    print("bench: " + message, file=sys.stderr, flush=True)


# --- 1 and 2: the translation service in-process ---------------------------------------------

def core_figures(session):
    ca = session.path("ca")
    endpoint = harness.spawn([PYTHON, ENDPOINT, "serve", "--port", "0", "--cert", os.path.join(ca, "server.pem"),
                              "--key", os.path.join(ca, "server.key")], stdout=subprocess.PIPE)
    port = harness.read_line(endpoint.stdout, 20, "the endpoint").split()[1]
    core = os.path.join(BIN_DIR, "bench", "bench_core")
    try:
        out = subprocess.run([core, "translate", "https://127.0.0.1:" + port, str(RUNS["translate"])],
                             check=True, capture_output=True, timeout=600).stdout
    finally:
        endpoint.terminate()
        endpoint.wait(10)
    out += subprocess.run([core, "extract", str(RUNS["extract"])], check=True, capture_output=True,
                          timeout=600).stdout
    found = {r["figure"]: r for r in map(json.loads, out.decode().splitlines())}
    names = {"translate_100": ("translate, 100 characters", "curl GET"),
             "translate_5000": ("translate, 5000 characters", "curl GETs of the same URLs"),
             "translate_block_100": ("translate during a block (429, then the other client), 100 characters",
                                     "curl GET"),
             "translate_zh_5000": ("translate, 5000 Chinese characters", "curl GETs of the same URLs"),
             "extract_5000": ("extract + utf8ToWide, 5000-character answer", "picojson parse")}
    return [Figure(names[k][0], found[k]["unit"], found[k]["samples"], found[k]["floor"], names[k][1])
            for k in ("translate_100", "translate_5000", "translate_block_100", "translate_zh_5000", "extract_5000")]


# --- X11 through ctypes ----------------------------------------------------------------------

def xlib():
    """libX11 with the signatures used here (pointers and XIDs are 64-bit, so they need declaring)."""
    x = ctypes.CDLL("libX11.so.6")
    display, window, atom, data = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_void_p
    x.XOpenDisplay.restype = display
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = window
    x.XDefaultRootWindow.argtypes = [display]
    x.XKeysymToKeycode.argtypes = [display, ctypes.c_ulong]
    x.XSelectInput.argtypes = [display, window, ctypes.c_long]
    x.XSync.argtypes = [display, ctypes.c_int]
    x.XFlush.argtypes = [display]
    x.XPending.argtypes = [display]
    x.XNextEvent.argtypes = [display, data]
    x.XConnectionNumber.argtypes = [display]
    x.XFetchName.argtypes = [display, window, ctypes.POINTER(ctypes.c_char_p)]
    x.XCloseDisplay.argtypes = [display]
    x.XInternAtom.restype = atom
    x.XInternAtom.argtypes = [display, ctypes.c_char_p, ctypes.c_int]
    x.XCreateSimpleWindow.restype = window
    x.XCreateSimpleWindow.argtypes = [display, window, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                                      ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
    x.XSetSelectionOwner.argtypes = [display, atom, window, ctypes.c_ulong]
    x.XGetSelectionOwner.restype = window
    x.XGetSelectionOwner.argtypes = [display, atom]
    x.XChangeProperty.argtypes = [display, window, atom, atom, ctypes.c_int, ctypes.c_int, data, ctypes.c_int]
    x.XSendEvent.argtypes = [display, window, ctypes.c_int, ctypes.c_long, data]
    return x


def event_type(event):
    """The type of an XEvent read as longs: an int, whose padding need not be zero."""
    return event[0] & 0xFFFFFFFF


class ClipboardOwner:
    """Copies made by another program: a connection of its own takes CLIPBOARD for each copy and a
    thread serves the text (UTF8_STRING, as xclip offers it). Notes when each copy took the clipboard
    and when the first request for it came, and counts every request, TARGETS included.

    One connection for the whole run: Xvfb has been seen to hang up on a connection opened right after
    another one closed."""

    SELECTION_REQUEST, SELECTION_NOTIFY, XA_ATOM = 30, 31, 4

    def __init__(self, display):
        x = self.x = xlib()
        self.display = x.XOpenDisplay(display.encode())
        if not self.display:
            raise AssertionError("cannot open the display %s" % display)
        self.clipboard, self.targets, self.utf8 = (x.XInternAtom(self.display, name, 0)
                                                   for name in (b"CLIPBOARD", b"TARGETS", b"UTF8_STRING"))
        self.window = x.XCreateSimpleWindow(self.display, x.XDefaultRootWindow(self.display), 0, 0, 1, 1, 0, 0, 0)
        self.data = self.owned = self.first_request = None
        self.requests = self.text_requests = 0
        self.taken = threading.Event()
        self.wake_read, self.wake_write = os.pipe()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def copy(self, text):
        """Takes the clipboard with `text`; returns once the server has told the monitor of it."""
        self.pending = text.encode()
        self.taken.clear()
        os.write(self.wake_write, b"c")
        if not self.taken.wait(10) or self.owned is None:
            raise AssertionError("could not take the clipboard")

    def close(self):
        os.write(self.wake_write, b"q")
        self.thread.join(10)
        self.x.XCloseDisplay(self.display)
        os.close(self.wake_read)
        os.close(self.wake_write)

    # Only the thread uses the connection from here on: Xlib is not told of threads.
    def _serve(self):
        event = (ctypes.c_long * 24)()
        connection = self.x.XConnectionNumber(self.display)
        while True:
            while self.x.XPending(self.display):
                self.x.XNextEvent(self.display, event)
                if event_type(event) == self.SELECTION_REQUEST:
                    self._answer(event)
            if self.wake_read in select.select([connection, self.wake_read], [], [])[0]:
                if os.read(self.wake_read, 1) == b"q":
                    return
                self._take()

    def _take(self):
        self.data = ctypes.create_string_buffer(self.pending, len(self.pending))
        self.owned = self.first_request = None
        self.requests = self.text_requests = 0
        self.x.XSetSelectionOwner(self.display, self.clipboard, self.window, 0)
        # A round trip: once it returns, the server has told the monitor of the new owner.
        if self.x.XGetSelectionOwner(self.display, self.clipboard) == self.window:
            self.owned = time.monotonic()
        self.taken.set()

    def _answer(self, request):
        now = time.monotonic()
        # XSelectionRequestEvent: type, serial, send_event, display, owner, requestor, selection, target,
        # property, time.
        requestor, selection, target, prop, when = request[5], request[6], request[7], request[8], request[9]
        prop = prop or target
        if target == self.targets:
            offered = (ctypes.c_ulong * 2)(self.targets, self.utf8)
            self.x.XChangeProperty(self.display, requestor, prop, self.XA_ATOM, 32, 0, ctypes.addressof(offered), 2)
        elif target == self.utf8 and self.data is not None:
            self.x.XChangeProperty(self.display, requestor, prop, self.utf8, 8, 0, ctypes.addressof(self.data),
                                   len(self.data))
        else:
            prop = 0
        reply = (ctypes.c_long * 24)()
        reply[0], reply[2], reply[3] = self.SELECTION_NOTIFY, 1, self.display
        reply[4], reply[5], reply[6], reply[7], reply[8] = requestor, selection, target, prop, when
        self.x.XSendEvent(self.display, requestor, 0, 0, ctypes.addressof(reply))
        self.x.XFlush(self.display)
        if self.first_request is None:
            self.first_request = now
        self.requests += 1
        if target == self.utf8:
            self.text_requests += 1


# --- the program, driven without AT-SPI ------------------------------------------------------

class BenchApp:
    """The program with the harness's endpoint on 443 and speech recorder, as harness.App starts it.

    Found by its MapNotify and focused with xdotool rather than through AT-SPI, whose queries from
    this process have been seen to block for good."""

    def __init__(self, session, name):
        self.dir = tempfile.mkdtemp(prefix=name + "-", dir=session.tmp)
        self.requests_file, self.speech_file = os.path.join(self.dir, "requests"), os.path.join(self.dir, "speech")
        work, socket = os.path.join(self.dir, "work"), os.path.join(self.dir, "speechd.sock")
        os.mkdir(work)
        ca = session.path("ca")
        self.endpoint = harness.spawn([PYTHON, ENDPOINT, "serve", "--port", "443", "--cert",
                                       os.path.join(ca, "server.pem"), "--key", os.path.join(ca, "server.key"),
                                       "--requests", self.requests_file], stdout=subprocess.PIPE)
        harness.read_line(self.endpoint.stdout, 20, "the endpoint")
        self.speechd = harness.spawn([PYTHON, SPEECHD, "--socket", socket, "--log", self.speech_file],
                                     stdout=subprocess.PIPE)
        harness.read_line(self.speechd.stdout, 20, "the speech recorder")
        self.owner, self.session_display = None, session.display
        watcher = MapWatcher(session.display)
        try:
            self.process = harness.spawn([os.environ["TARSEL_BINARY"]], cwd=work, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL,
                                         env=dict(os.environ, SPEECHD_ADDRESS="unix_socket:" + socket))
            _, window = watcher.wait_mapped(harness.TITLE, self.process)
        finally:
            watcher.close()
        harness.run(["xdotool", "windowfocus", str(window)], check=True)

    def key(self, *keys):
        harness.run(["xdotool", "key", "--delay", "30", *keys], check=True)

    def type(self, text):
        harness.run(["xdotool", "type", "--delay", "2", text], check=True)

    def copy(self, text):
        if not self.owner:
            self.owner = ClipboardOwner(self.session_display)
        self.owner.copy(text)
        return self.owner

    def requests(self):
        return harness._json_lines(self.requests_file)

    def spoken(self):
        return [u["text"] for u in harness._json_lines(self.speech_file)]

    def wait_spoken(self, text, count=1):
        harness.wait_for(lambda: self.spoken().count(text) >= count, 20, "speech of %r" % text)

    def finish(self):
        for process in (self.process, self.endpoint, self.speechd):
            if process.poll() is None:
                process.kill()
                process.wait(10)
        if self.owner:
            self.owner.close()
            self.owner = None


# --- 3: Enter to speech --------------------------------------------------------------------

class Keyboard:
    """XTEST key presses straight from this process (what xdotool does, minus starting a process)."""

    def __init__(self, display):
        self.x = xlib()
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.display = self.x.XOpenDisplay(display.encode())

    def tap(self, keysym):
        code = self.x.XKeysymToKeycode(self.display, keysym)
        self.xtst.XTestFakeKeyEvent(self.display, code, 1, 0)
        self.xtst.XTestFakeKeyEvent(self.display, code, 0, 0)
        self.x.XFlush(self.display)

    def close(self):
        self.x.XCloseDisplay(self.display)


def utterances(app):
    return harness._json_lines(app.speech_file)


def wait_utterance(app, after, text_part, seconds=20):
    def found():
        for u in utterances(app):
            if u["time"] >= after and text_part in u["text"]:
                return u
        return None
    return harness.wait_for(found, seconds, "speech of %r" % text_part)


def request_for(app, text_part):
    return harness.wait_for(lambda: next((r for r in app.requests() if text_part in r["query"].get("q", "")), None),
                            10, "the request for %r" % text_part)


def enter_figures(session):
    app = BenchApp(session, "bench-enter")
    keyboard = Keyboard(session.display)
    total, to_request, after_request = [], [], []
    try:
        for i in range(RUNS["enter"]):
            # Typed, not pasted: the key events then reach the field before the Enter that follows.
            # xdotool types unaccented text reliably.
            text = "%d %s" % (i, portuguese(96, i).encode("ascii", "ignore").decode())
            app.type(text)
            start = time.monotonic()
            keyboard.tap(0xFF0D)  # Return
            spoken = wait_utterance(app, start, text)
            request = request_for(app, text)
            answer = request["answer_ms"] / 1000.0
            total.append((spoken["time"] - start - answer) * 1000.0)
            to_request.append((request["time"] - start) * 1000.0)
            after_request.append((spoken["time"] - request["time"] - answer) * 1000.0)
    finally:
        keyboard.close()
        app.finish()
    return [Figure("Enter to speech (minus the answer's time)", "ms", total),
            Figure("\u2003of which: key to request at the endpoint", "ms", to_request),
            Figure("\u2003of which: request to speech", "ms", after_request)]


# --- 4: Copy to speech ---------------------------------------------------------------------

def copy_figures(session):
    app = BenchApp(session, "bench-copy")
    total, wait = [], []
    try:
        app.key("F1")
        app.wait_spoken("Monitorando.")
        for i in range(RUNS["copy"]):
            text = "c%d %s" % (i, portuguese(96, i))
            owner = app.copy(text)
            spoken = wait_utterance(app, owner.owned, text)
            answer = request_for(app, text)["answer_ms"] / 1000.0
            total.append((spoken["time"] - owner.owned - answer) * 1000.0)
            # From the copy to the monitor's first question to its owner: however the monitor learns
            # of a copy, by a change notice or by its next poll, this is the time it took.
            wait.append((owner.first_request - owner.owned) * 1000.0)
            # The next copy at a random moment, as a user's would be: a monitor that polls is then met
            # at a random phase of its interval.
            time.sleep(random.uniform(0, POLL_SECONDS))
    finally:
        app.finish()
    share = sum(wait) / sum(total) * 100.0
    return [Figure("Copy to speech (minus the answer's time)", "ms", total),
            Figure("\u2003of which: until the monitor asks for the text", "ms", wait,
                   floor_name="%.0f %% of the total" % share)]


# --- 5: Start-up and footprint -------------------------------------------------------------

class MapWatcher:
    """Notes when a top-level window with a given title is mapped, from MapNotify on the root window."""

    def __init__(self, display):
        x = self.x = xlib()
        self.display = x.XOpenDisplay(display.encode())
        x.XSelectInput(self.display, x.XDefaultRootWindow(self.display), 1 << 19)  # SubstructureNotifyMask
        x.XSync(self.display, 0)

    def wait_mapped(self, title, process, seconds=30):
        deadline = time.monotonic() + seconds
        event = (ctypes.c_long * 24)()
        while time.monotonic() < deadline and process.poll() is None:
            while self.x.XPending(self.display):
                self.x.XNextEvent(self.display, event)
                now = time.monotonic()
                if event_type(event) == 19 and self.name(event[5]) == title:  # MapNotify; XMapEvent.window
                    return now, event[5]
            select.select([self.x.XConnectionNumber(self.display)], [], [], 0.005)
        raise AssertionError("%s was not mapped" % title)

    def name(self, window):
        name = ctypes.c_char_p()
        self.x.XFetchName(self.display, window, ctypes.byref(name))
        return name.value.decode() if name.value else None

    def close(self):
        self.x.XCloseDisplay(self.display)


def resident_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024.0


def start_figures(session):
    socket = session.path("start-speechd.sock")
    speechd = harness.spawn([PYTHON, SPEECHD, "--socket", socket, "--log", session.path("start-speech")],
                            stdout=subprocess.PIPE)
    harness.read_line(speechd.stdout, 20, "the speech recorder")
    env = dict(os.environ, SPEECHD_ADDRESS="unix_socket:" + socket)
    work = session.path("start-work")
    os.makedirs(work, exist_ok=True)
    programs = {"product": ([os.environ["TARSEL_BINARY"]], harness.TITLE),
                "floor": ([os.path.join(BIN_DIR, "bench", "floor_dialog")], "Tarsel Floor")}
    times = {"product": [], "floor": []}
    memory = {"product": [], "floor": []}
    # The first GTK program on a display probes GLX for its visuals (some 150 million instructions)
    # and leaves them on the root window for the next ones: an untimed start keeps that out of the pairs.
    for i in range(-1, RUNS["start"]):
        for which in (("floor",) if i < 0 else ("product", "floor") if i % 2 == 0 else ("floor", "product")):
            argv, title = programs[which]
            watcher = MapWatcher(session.display)
            start = time.monotonic()
            process = subprocess.Popen(argv, cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                mapped, _ = watcher.wait_mapped(title, process)
                if i >= 0:
                    memory[which].append(resident_mib(process.pid))
                    times[which].append((mapped - start) * 1000.0)
            finally:
                watcher.close()
                process.kill()
                process.wait(10)
    speechd.terminate()
    speechd.wait(10)
    # The dialog's constructor fills both lists before it shows the dialog: mapped means filled.
    return [Figure("Start-up: exec to dialog mapped, lists filled", "ms", times["product"], times["floor"],
                   "minimal wx dialog"),
            Figure("Resident memory when mapped", "MiB", memory["product"], memory["floor"], "minimal wx dialog")]


# --- 6: Idle cost of monitoring -------------------------------------------------------------

def cpu_times(pid):
    """Each thread's CPU time so far, in seconds, from the scheduler's nanosecond counts."""
    times = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                times[task] = int(f.read().split()[0]) / 1e9
        except OSError:
            pass
    return times


def thread_name(pid, task):
    try:
        with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
            return "%s[%s]" % (f.read().strip(), task)
    except OSError:
        return task


def cpu_used(before, after):
    """CPU time spent between two cpu_times readings by the threads alive at the second."""
    return sum(t - before.get(task, 0.0) for task, t in after.items())


def idle_figures(session):
    app = BenchApp(session, "bench-idle")
    on_cpu, off_cpu, on_reads, off_reads = [], [], [], []
    try:
        text = portuguese(100)
        app.copy(text)
        app.key("F1")
        app.wait_spoken("Monitorando.")
        spoken = wait_utterance(app, 0, text)
        # The translation copied again by another program: a new owner, so the monitor reads it once;
        # the text is what it wrote, so nothing is translated. What follows is the cost of watching
        # an unchanged clipboard, whatever the monitor does to watch it.
        owner = app.copy(spoken["text"])
        harness.wait_for(lambda: owner.text_requests >= 1, 10, "the monitor to read the new owner's text")
        pid = app.process.pid
        for _ in range(RUNS["idle_windows"]):
            for monitoring in (True, False):
                served, cpu = owner.requests, cpu_times(pid)
                seconds = RUNS["idle_on"] if monitoring else RUNS["idle_off"]
                time.sleep(seconds)
                share = cpu_used(cpu, cpu_times(pid)) / seconds * 100.0
                reads = (owner.requests - served) * 60.0 / seconds
                (on_cpu if monitoring else off_cpu).append(share)
                (on_reads if monitoring else off_reads).append(reads)
                count = len(app.spoken())
                app.key("F1")
                harness.wait_for(lambda: len(app.spoken()) > count, 10, "the toggle's message")
            harness.wait_for(lambda: app.spoken()[-1] == "Monitorando.", 10, "monitoring on")
        before = cpu_times(pid)
        time.sleep(RUNS["idle_on"])
        after = cpu_times(pid)
        log("CPU by thread while monitoring, ms per minute: " + ", ".join(
            "%s %.1f" % (thread_name(pid, t), (v - before.get(t, 0.0)) * 60e3 / RUNS["idle_on"])
            for t, v in sorted(after.items())))
    finally:
        app.finish()
    return [Figure("Idle CPU, monitoring an unchanged clipboard", "% of a core", on_cpu, off_cpu, "monitoring off"),
            Figure("\u2003requests to the clipboard's owner", "per min", on_reads, off_reads, "monitoring off"),
            ]


# --- the run --------------------------------------------------------------------------------

def machine():
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), platform.machine())
    with open("/proc/meminfo") as f:
        memory = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1)) / 1024.0 / 1024.0
    return "%d CPUs (nproc), %s, %.1f GiB memory, %s %s" % (os.cpu_count(), model, memory, platform.system(),
                                                            platform.release())



def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    started = time.monotonic()
    figures, failed = [], []
    session = None
    try:
        session = harness.Session()
        for name, bench in (("translation service", core_figures), ("Enter to speech", enter_figures),
                            ("copy to speech", copy_figures), ("start-up", start_figures),
                            ("idle monitoring", idle_figures)):
            if ARGS.only and ARGS.only not in name:
                continue
            log("running: " + name)
            try:
                figures += bench(session)
            except Exception as error:
                failed.append(name)
                log("%s failed: %r" % (name, error))
    finally:
        for process in reversed(harness._children):
            if process.poll() is None:
                process.terminate()
                process.wait(10)
        if session:
            subprocess.run(["rm", "-rf", "--one-file-system", session.tmp])
    lines = ["Benchmarks of %s (%s mode), %s" % (os.environ["TARSEL_BINARY"], "short" if SHORT else "full",
                                                 datetime.datetime.now().strftime("%Y-%m-%d %H:%M")),
             "", "Machine: " + machine(), "",
             "| figure | unit | n | min | median | p95 | max | floor (median) | ratio to floor, median of pairs (min\u2013max) |",
             "|---|---|---|---|---|---|---|---|---|"]
    lines += [f.row() for f in figures]
    lines += ["", "Took %.0f s.%s" % (time.monotonic() - started, " Failed: " + ", ".join(failed) if failed else "")]
    table = "\n".join(lines) + "\n"
    print(table, end="", flush=True)
    if ARGS.out:
        os.makedirs(os.path.dirname(os.path.abspath(ARGS.out)), exist_ok=True)
        with open(ARGS.out, "w", encoding="utf-8") as f:
            f.write(table)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
