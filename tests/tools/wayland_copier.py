#!/usr/bin/python3
"""A GTK window on Wayland that copies as a user's program does: each line on stdin becomes the text
that Ctrl+C in the window puts on the clipboard, through the window's own seat. Prints SHOWN once the
window is on screen, FOCUSED when it first gets the keyboard and COPIED once GTK has set a text.
With --without-keys (a compositor that has no keyboard to press) each line is copied when the window next
gets the keyboard, whose serial the copy then carries."""
import os
import sys

os.environ["GDK_BACKEND"] = "wayland"
import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gdk, Gtk

window = Gtk.Window(title="Wayland copier")
window.add(Gtk.Entry())
pending = []
focused = []


def say(word):
    print(word, flush=True)
    return False


def read(stream, _condition):
    line = stream.readline()
    if not line:
        Gtk.main_quit()
        return False
    pending.append(line.rstrip("\n"))
    return True


def copy():
    Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD).set_text(pending.pop(0), -1)
    say("COPIED")


def key(_window, event):
    if pending and event.state & Gdk.ModifierType.CONTROL_MASK and Gdk.keyval_to_lower(event.keyval) == Gdk.KEY_c:
        copy()
    return False


def focus_in(*_):
    focused.append(True)
    if len(focused) == 1:
        say("FOCUSED")
    elif pending and "--without-keys" in sys.argv:
        copy()
    return False


window.connect("map-event", lambda *_: say("SHOWN"))
window.connect("focus-in-event", focus_in)
window.connect("key-press-event", key)
window.connect("destroy", Gtk.main_quit)
GLib.io_add_watch(sys.stdin, GLib.IO_IN, read)
window.show_all()
Gtk.main()
