#!/usr/bin/python3
"""The translate command through the real program: keys in, request, speech, field and clipboard out."""
import ctypes
import re
import subprocess

import harness
from harness import wait_for

SOURCE, TARGET, INPUT, OUTPUT = "Idioma de origem", "Idioma de destino", "Texto à traduzir", "Tradução"
JSON_ERROR = b"Erro ao extrair json\n"
EXCHANGE = "Falha na comunicação com o servidor de tradução: ".encode("latin-1")
BLOCK = "Bloqueio do cliente {} (HTTP {}); {}\n"
AROUND, NO_OTHER = "usando dict-chrome-ex.", "não há outro cliente."


def blocks(status):
    """The log of a text that both clients refuse with status (bytes)."""
    return (BLOCK.format("gtx", status, AROUND) + BLOCK.format("dict-chrome-ex", status, NO_OTHER)).encode("latin-1")


def enter(app, text):
    app.paste(text)
    wait_for(lambda: app.text(INPUT) == text, 10, "the pasted text in the input field")


def choose(app, source, target):
    """From the input field, Tab to each list, move with (key, item it lands on) and Tab back."""
    app.key("Tab", "Tab", "Tab", "Tab")
    for label, (key, item) in ((SOURCE, source), (TARGET, target)):
        wait_for(lambda: app.focused() == ("table", label), 10, "focus in " + label)
        app.key(key)
        wait_for(lambda: [n for n, _, f in app.items(label) if f] == [item], 10, item + " focused in " + label)
        app.key("Tab")
    wait_for(lambda: app.focused() == ("text", INPUT), 10, "focus back in the input field")


def translates(app, pair, text, sl, tl, translation):
    if pair:
        choose(app, *pair)
    enter(app, text)
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT) == translation, 20, "the translation shown")
    app.wait_spoken(translation)
    assert app.spoken() == [translation], app.spoken()
    assert [(r["path"], r["raw_query"]) for r in app.requests()] == [
        ("/translate_a/single", harness.escaped_query(sl, tl, text))], app.requests()
    wait_for(lambda: app.clipboard() == translation, 10, "the translation on the clipboard, not %r" % app.clipboard())
    assert app.text(INPUT) == "" and app.log() == b""


def sends_nothing(app, text, keys, input_after, output_after):
    """After a first translation, keys on text send nothing; a sentinel translated afterwards proves it."""
    enter(app, "primeiro")
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT) == "en: primeiro", 20, "the first translation")
    if text:
        enter(app, text)
    app.key(*keys)
    wait_for(lambda: (app.text(INPUT), app.text(OUTPUT)) == (input_after, output_after), 10, "the fields after " + str(keys))
    app.key("ctrl+a")
    enter(app, "sentinela")
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT) == "en: sentinela", 20, "the sentinel's translation")
    assert [q for _, _, q in app.queries()] == ["primeiro", "sentinela"], app.queries()
    app.wait_spoken("en: sentinela")
    assert app.spoken() == ["en: primeiro", "en: sentinela"], app.spoken()


def shift_click(app, text):
    """Traduzir activated with Shift held sends nothing and leaves the dialog on screen for Enter."""
    enter(app, text)
    harness.run(["xdotool", "keydown", "shift"], check=True)
    try:
        app.click("Traduzir")
    finally:
        harness.run(["xdotool", "keyup", "shift"], check=True)
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT) == "en: " + text, 20, "the translation by Enter after the Shift+click")
    assert [q for _, _, q in app.queries()] == [text], app.queries()


def goes_around_a_block(app, text):
    """gtx answers 429 with its unusual-traffic page: the same request goes to dict-chrome-ex at once."""
    enter(app, text)
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT) == "en: " + text, 20, "the translation shown")
    app.wait_spoken("en: " + text)
    assert app.spoken() == ["en: " + text], app.spoken()
    query = harness.escaped_query("pt", "en", text)
    assert [r["raw_query"] for r in app.requests()] == [query, query.replace("client=gtx", "client=dict-chrome-ex")]
    assert app.log() == BLOCK.format("gtx", 429, AROUND).encode("latin-1"), app.log()


def fails(app, text, server, requests, log):
    """log: a pattern of the whole log's bytes."""
    if not server:
        app.endpoint.kill()
        app.endpoint.wait()
    enter(app, text)
    app.copy("antes")
    app.key("Return")
    app.wait_spoken(harness.FAILURE)
    assert app.spoken() == [harness.FAILURE], app.spoken()
    assert app.text(INPUT) == app.text(OUTPUT) == ""
    assert app.clipboard() == "antes"
    assert len(app.requests()) == requests and re.fullmatch(log, app.log()), (app.requests(), app.log())


def in_flight(app, then):
    """While a request hangs the dialog still answers: Tab moves, and Esc ends it or a new text replaces it."""
    enter(app, "x #hang")
    app.key("Return")
    wait_for(lambda: app.queries(), 10, "the request that never ends")
    app.key("Tab")
    wait_for(lambda: app.focused() == ("push button", "Traduzir"), 10, "focus on Traduzir during the request")
    if then == "Esc":
        app.close("Esc")
        app.wait_exit(1)
        return
    app.key("shift+Tab")
    wait_for(lambda: app.focused() == ("text", INPUT), 10, "focus back in the input field")
    enter(app, then)
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT) == "en: " + then, 20, "the new text's translation")
    wait_for(lambda: app.clipboard() == "en: " + then, 10, "the new text's translation on the clipboard")
    # Speech reaches the daemon on a thread of its own, maybe after the clipboard.
    app.wait_spoken("en: " + then)
    assert app.spoken() == ["en: " + then] and app.log() == b"", (app.spoken(), app.log())


def clipboard_manager_owner():
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype, x.XInternAtom.restype, x.XGetSelectionOwner.restype = (
        ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong)
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x.XOpenDisplay(None)
    owner = x.XGetSelectionOwner(display, x.XInternAtom(display, b"CLIPBOARD_MANAGER", 0))
    x.XCloseDisplay(display)
    return owner


def outlives_the_program(app, text):
    """With a desktop's clipboard manager running, the translation stays on the clipboard after the program ends."""
    # Its settings store, started here: started by the bus, it would detach and be left running.
    harness.spawn(["/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"], stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL)
    wait_for(lambda: b"true" in harness.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.xfce.Xfconf"]).stdout,
             10, "the settings store")
    harness.spawn(["xfsettingsd", "--no-daemon", "--disable-wm-check"], stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL)
    wait_for(clipboard_manager_owner, 10, "the clipboard manager")
    enter(app, text)
    app.key("Return")
    wait_for(lambda: app.clipboard() == "en: " + text, 20, "the translation on the clipboard")
    app.close("Esc")
    app.wait_exit(10)
    assert app.clipboard() == "en: " + text, app.clipboard()


def limits_input(app, text, requests):
    """5000 characters are kept; those past 8000 bytes of URL go in several requests, translated in order."""
    app.paste(text)
    wait_for(lambda: len(app.text(INPUT)) == 5000, 10, "5000 characters in the input field")
    app.key("Return")
    wait_for(lambda: app.text(OUTPUT).startswith("en: "), 20, "the translation of 5000 characters")
    pieces = [q for _, _, q in app.queries()]
    assert len(pieces) == requests and "".join(pieces) == text[:5000], pieces
    assert app.text(OUTPUT) == "".join("en: " + q for q in pieces)
    assert all(len(r["path"]) + len(r["raw_query"]) + len("https://translate.googleapis.com?") <= 8000
               for r in app.requests())


HOME_AUTO, HOME_AF = ("Home", "Automático"), ("Home", "Africâner")
CASES = [(name, translates, row, {}) for name, *row in [
    ("accents, Português to Inglês", None, "Olá, ação! É você? Çà", "pt", "en", "en: Olá, ação! É você? Çà"),
    ("Automático to Africâner by keyboard", (HOME_AUTO, HOME_AF), "bom dia", "auto", "af", "af: bom dia"),
    ("Zulu to Africâner by keyboard", (("End", "Zulu"), HOME_AF), "bom dia", "zu", "af", "af: bom dia"),
    ("arrows: Punjabi to Indonésio", (("Down", "Punjabi"), ("Up", "Indonésio")), "sim", "pa", "id", "id: sim"),
    ("sentences come back in segments", None, "Um. Dois. Três.", "pt", "en", "en: Um. Dois. Três."),
    ("braces, line breaks and a '.' line", None, "Ação {x}\n.\nfim #braces", "pt", "en",
     "en: {Ação {x}\n.\nfim #braces}\n{0}"),
]] + [(name, sends_nothing, row, {}) for name, *row in [
    ("Shift+Enter inserts a line break", "linha um", ["shift+Return"], "linha um\n", "en: primeiro"),
    ("Enter on an empty input", "", ["Return"], "", ""),
]] + [("Shift+click on Traduzir", shift_click, ("linha",), {})] + [(name, fails, row, {}) for name, *row in [
    ("429 page from both clients", "x #429", True, 2, re.escape(blocks(429) + JSON_ERROR)),
    ("500 page from both clients", "x #500", True, 2, re.escape(blocks(500) + JSON_ERROR)),
    ("cut-off JSON", "x #cut", True, 1,
     re.escape(EXCHANGE) + rb"(transfer closed with \d+ bytes remaining to read|end of response with \d+ bytes"
     rb" missing|OpenSSL SSL_read: [^\n]*unexpected eof while reading[^\n]*)\n" + re.escape(JSON_ERROR)),
    ("no server", "x", False, 0,
     re.escape(EXCHANGE + b"Failed to connect to translate.googleapis.com port 443 ") + rb".*\n" + re.escape(JSON_ERROR)),
    ("no segments", "x #empty", True, 1, re.escape(b"Erro ao traduzir. String vazia.\n")),
]] + [("Enter during a block of gtx", goes_around_a_block, ("Olá, tudo bem? #gtx=429",), {})] + [
    (name, in_flight, (then,), {}) for name, then in [
    ("Esc during a request that never ends", "Esc"),
    ("a new text during a request that never ends", "segundo"),
]] + [("the translation outlives the program", outlives_the_program, ("até logo",), {})] + [
    ("5000 characters of " + name, limits_input, (text, requests), {}) for name, text, requests in [
    ("6000 pasted", "a" * 6000, 1), ("6000 accented pasted", "çã" * 3000, 4)]]

if __name__ == "__main__":
    harness.main(CASES)
