#!/usr/bin/python3
"""Clipboard monitoring under real Wayland compositors, the program on their XWayland as a user runs it.

TARSEL_COMPOSITOR names the compositor: sway and KWin keep XWayland off the Wayland selection while a
Wayland window has focus and offer data-control, through which the program hears and sets it; mutter
offers none and mirrors the two clipboards itself. Copies are made by wl-copy and by a GTK window on
Wayland; steps are checked as in test_monitor.py, each naming every request and utterance it causes.
"""
import ctypes
import glob
import json
import os
import subprocess
import sys
import shutil
import signal
import tempfile

import harness
from harness import wait_for
from test_monitor import OFF, ON, POLL, Flow

COMPOSITOR = os.environ.get("TARSEL_COMPOSITOR", "sway")
TOOLS = harness.TOOLS
NOBODY = 65534
# KWin's virtual backend has no keyboard: the GTK window copies without a key press there.
KEYLESS = ["--without-keys"] if COMPOSITOR == "kwin" else []


class CompositorSession(harness.Session):
    """The harness's session with a headless compositor in place of Xvfb; WAYLAND_DISPLAY names its socket."""

    def start_display(self):
        # Beside the session's folder, which is root's alone.
        self.wayland = tempfile.mkdtemp(prefix="tarsel-wayland-")
        return getattr(self, "start_" + COMPOSITOR)()

    def _socket(self):
        sockets = [s for s in glob.glob(os.path.join(self.wayland, "wayland-*")) if not s.endswith(".lock")]
        return sockets[0] if sockets else None

    def start_sway(self):
        # sway refuses to run as root.
        os.chown(self.wayland, NOBODY, NOBODY)
        config = os.path.join(self.wayland, "sway.config")
        with open(config, "w") as f:
            f.write("xwayland enable\nexec %s %s %s/display\n" % (harness.PYTHON, __file__, self.wayland))
        env = dict(HOME=self.wayland, XDG_RUNTIME_DIR=self.wayland, PATH=os.environ["PATH"], TARSEL_SOURCE_DIR=harness.SOURCE_DIR,
                   TARSEL_BINARY=harness.BINARY,
                   WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1")
        self.compositor = harness.spawn(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                                         "sway", "-c", config], env=env, stdout=subprocess.DEVNULL,
                                        stderr=open(self.path("compositor.log"), "wb"))
        display = os.path.join(self.wayland, "display")
        wait_for(lambda: os.path.exists(display) and os.path.getsize(display) and self._socket(), 20, "sway")
        os.environ.update(WAYLAND_DISPLAY=self._socket(),
                          SWAYSOCK=glob.glob(os.path.join(self.wayland, "sway-ipc.*.sock"))[0])
        return open(display).read().split("\n")[0]


    def start_kwin(self):
        # KWin's binary carries a file capability that a user namespace refuses; a copy has none.
        kwin = os.path.join(self.wayland, "kwin_wayland")
        os.makedirs("/tmp/.X11-unix", 0o1777, exist_ok=True)
        shutil.copy("/usr/bin/kwin_wayland", kwin)
        bus = harness.spawn(["dbus-daemon", "--session", "--nofork", "--print-address",
                             "--address=unix:path=" + os.path.join(self.wayland, "bus")], stdout=subprocess.PIPE)
        self.kwin_bus = harness.read_line(bus.stdout, 20, "KWin's D-Bus")
        env = dict(os.environ, XDG_RUNTIME_DIR=self.wayland, DBUS_SESSION_BUS_ADDRESS=self.kwin_bus)
        display = os.path.join(self.wayland, "display")
        self.compositor = harness.spawn([kwin, "--virtual", "--xwayland", "--socket", "wayland-tarsel", "--width",
                                         "1280", "--height", "1024", "%s %s %s" % (harness.PYTHON, __file__, display)],
                                        env=env, stdout=subprocess.DEVNULL,
                                        stderr=open(self.path("compositor.log"), "wb"))
        return self.compositor_started(display)

    def start_mutter(self):
        # Headless mutter has no keyboard on its seat: nested on Xvfb it has the server's.
        os.environ["DISPLAY"] = self.host_display = super().start_display()
        display = os.path.join(self.wayland, "display")
        # mutter 44 and later frame X11 windows through a GTK 4 client of their own, whose accessibility
        # would start a bus on mutter's session bus that nothing here reads; as D-Bus services, its
        # processes are this namespace's orphans, which would count as left running by the program.
        env = dict(os.environ, XDG_RUNTIME_DIR=self.wayland, GTK_A11Y="none")
        self.compositor = harness.spawn(["dbus-run-session", "--", "mutter", "--nested", "--wayland",
                                         "--wayland-display=wayland-tarsel", "--", harness.PYTHON, __file__,
                                         "--stay", display], env=env, stdout=subprocess.DEVNULL,
                                        stderr=open(self.path("compositor.log"), "wb"))
        return self.compositor_started(display)

    def compositor_started(self, display):
        try:
            wait_for(lambda: os.path.exists(display) and self._socket(), 30, COMPOSITOR)
        except AssertionError:
            print(open(self.path("compositor.log"), errors="replace").read()[-3000:])
            raise
        os.environ.update(WAYLAND_DISPLAY=self._socket())
        name, authority = open(display).read().split("\n")[:2]
        if authority:
            os.environ["XAUTHORITY"] = authority
        return name

    def focus(self, process, anew=False):
        """Gives process's window the keyboard; anew (KWin only): takes it away first, even from that window."""
        if COMPOSITOR == "mutter":
            # mutter manages XWayland's windows as their window manager; the Wayland window is only
            # focused as it opens.
            harness.run(["xdotool", "windowactivate", self.app_window], check=True)
            return
        if COMPOSITOR == "sway":
            harness.run(["swaymsg", "[pid=%d] focus" % process.pid], check=True)
            return
        script = os.path.join(self.wayland, "focus.js")
        with open(script, "w") as f:
            # KWin 6 renamed clientList and activeClient to windowList and activeWindow; null focuses nothing.
            f.write("const activate = w => { if ('activeWindow' in workspace) workspace.activeWindow = w;"
                    " else workspace.activeClient = w; };\n"
                    "(workspace.windowList ? workspace.windowList() : workspace.clientList()).forEach(w => {\n"
                    "  if (w.pid != %d) return;\n"
                    "  if (%s) activate(null);\n"
                    "  activate(w);\n"
                    "});\n" % (process.pid, "true" if anew else "false"))
        call = ["dbus-send", "--bus=" + self.kwin_bus, "--print-reply", "--dest=org.kde.KWin"]
        # A name still loaded is refused, and unloading at once can stop the script before it runs:
        # each script gets a name of its own and stays.
        self.scripts = getattr(self, "scripts", 0) + 1
        name = "string:focus%d" % self.scripts
        harness.run(call + ["/Scripting", "org.kde.kwin.Scripting.loadScript", "string:" + script, name], check=True)
        harness.run(call + ["/Scripting", "org.kde.kwin.Scripting.start"], check=True)


class WaylandApp(harness.App):
    """The program, a GTK window on Wayland beside it, and Wayland's clipboard as Wayland programs see it."""

    def __init__(self, session, name, **options):
        # mutter keeps a copy after its owner has gone, so the last case's translation would be the
        # first text this one sees.
        harness.run(["wl-copy", "--clear"], check=True)
        try:
            super().__init__(session, name, **options)
        except AssertionError:
            print(open(self.stderr_file, "rb").read()[-3000:].decode(errors="replace"))
            raise
        self.copier = None
        session.app_window = self.window

    def wayland_focused(self):
        if not self.copier:
            # Unbuffered: a line read ahead would hide from select.
            self.copier = harness.spawn([harness.PYTHON, os.path.join(TOOLS, "wayland_copier.py")] + KEYLESS,
                                        bufsize=0, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=open(os.path.join(self.dir, "copier.log"), "wb"))
            assert harness.read_line(self.copier.stdout, 20, "the Wayland window") == "SHOWN"
            if KEYLESS:
                # The window may not be managed yet when it is shown.
                self.until(lambda: self.session.focus(self.copier), "FOCUSED")
            else:
                # A key gives the new window the seat's keyboard, and with it the right to copy; the
                # first key after a window appears can be lost.
                self.until(lambda: self.press("Shift_L"), "FOCUSED")
        else:
            self.session.focus(self.copier)
        # mutter may leave the X11 window marked active a while after a Wayland one took the keyboard.
        if COMPOSITOR != "mutter":
            wait_for(lambda: not self.frame.getState().contains(harness._atspi.STATE_ACTIVE), 10,
                     "the dialog to lose focus")

    def finish(self):
        if self.copier and self.process.poll() is None:
            self.dialog_focused()
        super().finish()

    def dialog_focused(self):
        self.session.focus(self.process)
        wait_for(lambda: self.frame.getState().contains(harness._atspi.STATE_ACTIVE), 10, "the dialog's focus")

    def wl_copy(self, text):
        self.owner = harness.spawn(["wl-copy", "--foreground", text], stdout=subprocess.DEVNULL)

    def press(self, *keys):
        """Keys to the focused Wayland window: through wtype, or on mutter through the X server it is nested in."""
        if COMPOSITOR == "mutter":
            host = dict(os.environ, DISPLAY=self.session.host_display)
            harness.run(["xdotool", "key", *keys], env=host)
        else:
            harness.run(["wtype"] + [a for key in keys for a in
                                     (["-M", "ctrl", "c", "-m", "ctrl"] if key == "ctrl+c" else ["-k", key])])

    def until(self, action, answer, every=0.2):
        """Repeats action every so many seconds until the copier answers."""
        wait_for(lambda: action() or harness.select.select([self.copier.stdout], [], [], every)[0], 10,
                 "the copier's " + answer)
        assert self.copier.stdout.readline().strip().decode() == answer

    def gtk_copy(self, text):
        self.copier.stdin.write(text.encode() + b"\n")
        self.copier.stdin.flush()
        if KEYLESS:
            # KWin 6 refuses a copy whose serial is older than the clipboard's last change, and a window
            # that no key reached has only the serial of its keyboard focus: the window gets the keyboard
            # anew, which the copier waits for, as a user's Ctrl+C brings a new serial.
            self.until(lambda: self.session.focus(self.copier, anew=True), "COPIED", every=1)
        else:
            self.until(lambda: self.press("ctrl+c"), "COPIED")

    def wayland_clipboard(self):
        result = harness.run(["wl-paste", "--no-newline"])
        return result.stdout.decode() if result.returncode == 0 else None


class WaylandFlow(Flow):
    def wayland_focus(self):
        self.app.wayland_focused()

    def dialog_focus(self):
        """Focusing the dialog: nothing is sent or said, which the next step proves."""
        self.app.dialog_focused()

    def F1(self, message):
        """The compositor can drop the first key after a change of focus: a key that was lost leaves
        nothing said at all, and only then is it pressed once more."""
        self.app.key("F1")
        try:
            self.wait_spoken(message)
        except AssertionError:
            if self.app.spoken()[self.spoken:]:
                raise
            self.app.key("F1")
            self.wait_spoken(message)
        self.expect([], [message])

    def wayland_copied(self, how, text):
        """A copy in a Wayland program, translated once and spoken once; Wayland programs paste the translation."""
        {"wl-copy": self.app.wl_copy, "GTK": self.app.gtk_copy}[how](text)
        self.translated(text)

    def x11_copied(self, text):
        """An X11 program's copy reaches Wayland programs translated."""
        self.app.copy(text)
        self.translated(text)

    def unseen_wayland(self, text):
        self.app.wl_copy(text)
        end = harness.time.monotonic() + 3 * POLL * harness.SCALE
        while harness.time.monotonic() < end:
            assert self.new() == ([], []), "something happened after copying %r" % text
            harness.time.sleep(0.05)

    def clipboard_manager(self):
        """clipman as wlroots desktops run it: records each text copied and puts the last one back once
        the clipboard empties; in a PID namespace of its own, so that the wl-copy it leaves serving the
        clipboard ends with it rather than outliving the case."""
        self.history = os.path.join(self.app.dir, "clipman.json")
        harness.spawn(["unshare", "--pid", "--fork", "--kill-child", "wl-paste", "-t", "text", "--watch", "clipman",
                       "--histpath=" + self.history, "store"], stdout=subprocess.DEVNULL,
                      stderr=open(os.path.join(self.app.dir, "clipman.log"), "wb"))

    def recorded(self, text):
        def last():
            try:
                with open(self.history) as f:
                    return (json.load(f) or [None])[-1]
            except (OSError, ValueError):
                return None
        wait_for(lambda: last() == text, 10, "the clipboard manager to record %r" % text)

    def closed_kept(self, way, text):
        """Closed as a user closes it, the program ends at once, and Wayland programs still paste text."""
        self.app.close(way)
        self.app.wait_exit(10)
        wait_for(lambda: self.app.wayland_clipboard() == text, 10, "%r on Wayland's clipboard after the exit" % text)
        self.expect([], [])

    def translated(self, text):
        translation = "en: " + text
        self.wait_spoken(translation)
        wait_for(lambda: self.app.wayland_clipboard() == translation, 10, "the translation on Wayland's clipboard")
        self.expect([("pt", "en", text)], [translation])


def flow(app, steps):
    state = WaylandFlow(app)
    for name, *arguments in steps:
        getattr(state, name)(*arguments)


FLOWS = [
    ("Wayland copies with a Wayland window focused, then the dialog", [
        ON, ("wayland_focus",), ("wayland_copied", "wl-copy", "Bom dia, ação"), ("wayland_copied", "GTK", "segundo"),
        ("dialog_focus",), ("copied", "sentinela", "pt", "en"),
    ]),
    ("an X11 copy with a Wayland window focused, then the dialog", [
        ON, ("wayland_focus",), ("x11_copied", "cópia X"), ("dialog_focus",), ("copied", "sentinela", "pt", "en"),
    ]),
    ("Wayland copies after monitoring is off", [
        ON, ("wayland_focus",), ("wayland_copied", "GTK", "um"), ("dialog_focus",), OFF, ("unseen_wayland", "depois"),
    ]),
]
if COMPOSITOR != "mutter":
    # mutter keeps the clipboard itself and offers no data-control, which a Wayland clipboard manager needs.
    FLOWS.append(("the translation stays after the exit with a clipboard manager", [
        ("clipboard_manager",), ON, ("wayland_copied", "wl-copy", "fica"), ("recorded", "en: fica"),
        ("closed_kept", "Esc", "en: fica"),
    ]))

CASES = [(name, flow, (steps,), {}) for name, steps in FLOWS]

def open_xwayland(report):
    """Run by the compositor's user: lets the program, root in the namespace, use its XWayland (which
    admits only its own user), and reports the display."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XDisableAccessControl.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    x11.XDisableAccessControl(display)
    x11.XCloseDisplay(display)
    with open(report + ".new", "w") as f:
        f.write("%s\n%s\n" % (os.environ["DISPLAY"], os.environ.get("XAUTHORITY", "")))
    os.rename(report + ".new", report)
    # mutter ends with the command it started.
    if "--stay" in sys.argv:
        signal.pause()


if __name__ == "__main__" and sys.argv[-1].endswith("/display"):
    open_xwayland(sys.argv[-1])
elif __name__ == "__main__":
    harness.main(CASES, open_session=CompositorSession, open_app=WaylandApp)
