#!/usr/bin/python3
"""The Windows program, as a Windows user downloads it, driven under Wine as a user drives it.

Usage: test_program.py FOLDER [ROW...]
FOLDER holds the unpacked zip's tarsel-translator.exe with a recording Tolk.dll beside it,
window_probe.exe, and sapi_voice_stub.dll, a recording stand-in for SAPI's voice registered in the
Wine prefix. The process re-runs itself in a private mount, network and PID namespace where
translate.googleapis.com resolves to a local HTTPS endpoint whose test CA is added to the host's
trust store, where Wine's crypt32 finds its root certificates. (Wine 8's Schannel does not check
the server's certificate at all, so these rows cannot tell a trusted endpoint from an untrusted
one; on Windows, Schannel checks it against the system store.) Xvfb, a fresh Wine prefix and the
endpoint are shared by the rows; every row gets a fresh program, Tolk record and working directory.
"""
import glob
import os
import re
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


class Installed:
    """Where the installer puts things for the prefix's user."""
    key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarsel Translator"

    @staticmethod
    def user():
        return glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData"))[0]

    @staticmethod
    def folder():
        return os.path.join(Installed.user(), "Local", "Programs", "Tarsel Translator")

    @staticmethod
    def start_in():
        return os.path.join(Installed.user(), "Local", "Tarsel Translator")

    @staticmethod
    def shortcut():
        return os.path.join(Installed.user(), "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                            "Tarsel Translator.lnk")

    @staticmethod
    def entry():
        result = subprocess.run(["wine", "reg", "query", Installed.key], capture_output=True, timeout=60)
        return result.stdout.decode(errors="replace") if result.returncode == 0 else None


def set_dpi(dpi):
    """The display's scale for programs started from now on, as Windows' display settings set it."""
    subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tarsel_translator VERSION ([0-9.]+)", f.read()).group(1)


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
                          # No Mono or Gecko installer dialogs, no menu entries for shortcuts on the host.
                          WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
        for name in ("WINESERVER", "WINELOADER"):
            os.environ.pop(name, None)
        started = time.monotonic()
        subprocess.run(["wineboot", "--init"], check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([os.path.join(ROOT, "tests", "windows", "register-sapi-stand-in.sh"),
                        os.path.join(FOLDER, "sapi_voice_stub.dll")], check=True, timeout=300)
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
    def __init__(self, session, name, screen_reader=True, dpi=None, installed=False, read_only=False):
        self.session, self.dpi = session, dpi
        if dpi:
            set_dpi(dpi)
        self.dir = tempfile.mkdtemp(prefix=name.replace(" ", "-")[:20], dir=session.tmp)
        self.work, self.tolk_file = os.path.join(self.dir, "work"), os.path.join(self.dir, "tolk")
        self.sapi_file = os.path.join(self.dir, "sapi")
        program = os.path.join(FOLDER, "tarsel-translator.exe")
        if installed:
            # Silently, as an administrator would deploy it; then started as its shortcut starts it.
            subprocess.run(["wine", glob.glob(os.path.join(os.path.dirname(FOLDER), "*-setup.exe"))[0], "/S"],
                           check=True, timeout=120)
            program, self.work = os.path.join(Installed.folder(), "tarsel-translator.exe"), Installed.start_in()
        else:
            os.mkdir(self.work)
        if read_only:
            # As a shortcut's "Start in" under Program Files is for a user.
            subprocess.run(["mount", "--bind", self.work, self.work], check=True)
            subprocess.run(["mount", "-o", "remount,ro,bind", self.work], check=True)
        self.seen_requests = len(harness._json_lines(session.requests))
        env = dict(os.environ, TARSEL_TOLK_STUB_LOG=windows_path(self.tolk_file),
                   TARSEL_SAPI_STUB_LOG=windows_path(self.sapi_file))
        if not screen_reader:
            env["TARSEL_TOLK_STUB_NO_SCREEN_READER"] = "1"
        self.stderr_file = os.path.join(self.dir, "output")
        self.output = open(self.stderr_file, "wb")
        self.process = harness.spawn(["wine", program, "ignored-argument"],
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

    def spoken(self, record=None):
        """What reached Tolk: "Tolk_Load", or the text of each Tolk_Speak and its interrupt flag.
        With record=app.sapi_file, what the SAPI voice said: each text and the voice that said it."""
        record = record or self.tolk_file
        if not os.path.exists(record):
            return []
        calls = []
        with open(record) as f:
            for line in f:
                name, *rest = line.split()
                units = rest[1:] if name == "Tolk_Speak" else rest[2:]
                calls.append(name if not rest else
                             (b"".join(int(u, 16).to_bytes(2, "little") for u in units).decode("utf-16-le"),
                              rest[0]))
        return calls

    def probe(self, mode):
        """window_probe.exe's lines in one of its modes, as lists of tab-separated fields."""
        result = subprocess.run(["wine", os.path.join(FOLDER, "window_probe.exe"), mode], capture_output=True,
                                timeout=60, check=True)
        return [line.split("\t") for line in result.stdout.decode().replace("\r", "").splitlines()]

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
            if self.dpi:
                set_dpi(96)


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


def carries_resources(app):
    """The file has a manifest, version information and an icon; Windows honours the manifest."""
    exe = os.path.join(FOLDER, "tarsel-translator.exe")

    def resource(kind):
        return subprocess.run(["wrestool", "-x", "--raw", "-t", kind, exe], capture_output=True, check=True).stdout

    manifest = resource("24").decode()
    for needed in ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', "PerMonitorV2, System",
                   "<dpiAware", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
        assert needed in manifest, (needed, manifest)
    strings = resource("16").decode("utf-16-le", errors="replace")
    version = project_version()
    for key, value in (("ProductName", "Tarsel Translator"), ("FileDescription", "Tarsel Translator"),
                       ("ProductVersion", version), ("FileVersion", version)):
        found = re.search(key + "\0+([^\0]*)", strings)
        assert found and found.group(1) == value, (key, strings)
    assert resource("14"), "no icon"
    # Wine 8 reports per-monitor v2 as per-monitor; without the manifest the dialog is unaware.
    assert app.probe("awareness")[0][0] in ("per-monitor-v2", "per-monitor"), app.probe("awareness")


def names_whole(app):
    """At the display's scale, each list's column is as wide as its heading and longest name need."""
    # The system's DPI: Wine 8 gives a per-monitor aware window 96 whatever the setting.
    assert app.probe("awareness")[0][2] == str(app.dpi), app.probe("awareness")
    columns = app.probe("columns")
    assert len(columns) == 2, columns
    for width, needed, text in columns:
        assert int(needed) <= int(width), "%r needs %s pixels, its column has %s" % (text, needed, width)
    if os.environ.get("TARSEL_SCREENSHOTS"):
        screenshot(app, os.path.join(os.environ["TARSEL_SCREENSHOTS"], "dialog-%d-dpi.png" % app.dpi))


def screenshot(app, path):
    import gi
    gi.require_version("Gdk", "3.0")
    from gi.repository import Gdk
    shell = harness.run(["xdotool", "getwindowgeometry", "--shell", app.window]).stdout.decode()
    g = dict(line.split("=") for line in shell.split())
    Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), int(g["X"]), int(g["Y"]), int(g["WIDTH"]),
                               int(g["HEIGHT"])).savev(path, "png", [], [])


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


def sapi_speaks(app, text, translation):
    """Tolk finds no screen reader: the SAPI voice says the fixed messages and the translation."""
    app.type(text)
    wait_for(lambda: app.text(LABELS[3]) == text, 10, "the typed text in the input field")
    app.key("Return")
    wait_for(lambda: app.spoken(app.sapi_file) == [(translation, "TestEnglish")], 30,
             "the translation said in the English voice, not %r, log %r" % (app.spoken(app.sapi_file), app.log()))
    app.key("F1")
    wait_for(lambda: ("Monitorando.", "TestPortuguese") in app.spoken(app.sapi_file), 10,
             "Monitorando. said in the Portuguese voice, not %r" % app.spoken(app.sapi_file))
    app.key("F1")
    wait_for(lambda: app.spoken(app.sapi_file)[-1] == ("Deixando de monitorar.", "TestPortuguese"), 10,
             "Deixando de monitorar. said in the Portuguese voice, not %r" % app.spoken(app.sapi_file))
    assert app.spoken() == ["Tolk_Load"], app.spoken()


def logs_in_local_app_data(app):
    """Where the working folder cannot be written, the log is made in the user's LocalAppData."""
    log = os.path.join(Installed.start_in(), "log.log")
    assert app.log() is None and open(log, "rb").read() == b"", app.log()
    app.key("Escape")
    app.wait_exit(20)
    os.remove(log)
    os.rmdir(os.path.dirname(log))


def installs_and_uninstalls(app):
    """The installer's program runs from the Start menu's folders; its uninstaller leaves nothing."""
    assert sorted(os.listdir(Installed.folder())) == ["README.txt", "tarsel-translator.exe", "uninstall.exe"]
    with open(Installed.shortcut(), "rb") as f:
        link = f.read()
    # The shell link header's hot key: virtual key "T", then HOTKEYF_CONTROL | HOTKEYF_ALT.
    assert link[0x40:0x42] == b"\x54\x06", link[0x40:0x42]
    link = link.lower()
    for path in (r"\local\programs\tarsel translator\tarsel-translator.exe", r"\local\tarsel translator"):
        assert path.encode("utf-16-le") in link or path.encode() in link, path
    entry = Installed.entry()
    assert entry and "Tarsel Translator" in entry and "uninstall.exe" in entry and "DisplayVersion" in entry, entry
    # Started, its dialog focused its input field; its log is in the shortcut's "Start in".
    assert app.log() == b"", app.log()
    esc_ends(app)
    subprocess.run(["wine", os.path.join(Installed.folder(), "uninstall.exe"), "/S"], check=True, timeout=120)
    # The uninstaller runs on from a copy of itself after the command returns.
    wait_for(lambda: not any(os.path.exists(p) for p in (Installed.folder(), Installed.start_in(),
                                                         Installed.shortcut())), 60, "everything removed")
    assert Installed.entry() is None, Installed.entry()


def esc_ends(app):
    app.key("Escape")
    app.wait_exit(20)
    assert app.log() == b"", app.log()


ROWS = [
    ("starts with its labels, lists and buttons", starts, ()),
    ("carries its manifest, version and icon", carries_resources, ()),
    ("the lists show whole names at 96 DPI", names_whole, (), {"dpi": 96}),
    ("the lists show whole names at 144 DPI", names_whole, (), {"dpi": 144}),
    ("the lists show whole names at 192 DPI", names_whole, (), {"dpi": 192}),
    ("Enter translates, speaks and copies", enter_translates, ("Bom dia", "en: Bom dia")),
    ("F1 translates a text copied in X", monitor_translates, ("Boa noite, cora\u00e7\u00e3o", "en: Boa noite, cora\u00e7\u00e3o")),
    ("Esc ends the program", esc_ends, ()),
    ("a working folder that cannot be written has the log in LocalAppData", logs_in_local_app_data, (),
     {"read_only": True}),
    ("the installer installs, the program starts, the uninstaller removes", installs_and_uninstalls, (),
     {"installed": True}),
    ("without a screen reader the SAPI voice speaks", sapi_speaks, ("Bom dia", "en: Bom dia"),
     {"screen_reader": False}),
]


if __name__ == "__main__":
    harness.main(ROWS, Session, App, sys.argv[2:])
