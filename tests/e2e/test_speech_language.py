#!/usr/bin/python3
"""Each utterance reaches the speech daemon with its own language.

The recording daemon shows the language every text went out with; the fake endpoint answers
"<tl>: <q>", so a spoken translation names the request that made it. The last cases run the real
speech-dispatcher with its espeak-ng module and read what the module was handed: the voice it chose,
and which of our utterances reached it, in which order, while a screen reader speaks beside us.
"""
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
from contextlib import contextmanager

import harness

MONITORING = "Monitorando."
# What the daemon is given for an endpoint code; every other code goes as it is.
DAEMON_CODE = {"jw": "jv"}
SOURCE, TARGET, INPUT = "Idioma de origem", "Idioma de destino", "Texto à traduzir"
SPEECHD = shutil.which("speech-dispatcher")
ESPEAK_MODULE = "/usr/lib/speech-dispatcher-modules/sd_espeak-ng"
SKIPPED = 77


def utterances(app):
    if not os.path.exists(app.speech_file):
        return []
    with open(app.speech_file, encoding="utf-8") as f:
        return [(u["text"], u["language"]) for u in map(json.loads, f) if u]


def choose(app, label, name):
    """Moves the list's cursor onto name with the arrow keys, as a user does."""
    app.control(label).queryComponent().grabFocus()
    names = [n for n, _, _ in app.items(label)]
    current = next(i for i, (_, _, focused) in enumerate(app.items(label)) if focused)
    steps = names.index(name) - current
    if steps:
        app.key(*["Down" if steps > 0 else "Up"] * abs(steps))
    harness.wait_for(lambda: any(n == name and f for n, _, f in app.items(label)), 10, "%s on %s" % (label, name))


def translate(app, text):
    app.control(INPUT).queryComponent().grabFocus()
    harness.wait_for(lambda: app.focused() == ("text", INPUT), 10, "focus in the input field")
    harness.run(["xdotool", "type", "--delay", "20", text], check=True)
    harness.wait_for(lambda: app.text(INPUT) == text, 10, "the typed text")
    app.key("Return")


def spoken_with(app, text):
    found = harness.wait_for(lambda: [lang for t, lang in utterances(app) if t == text], 20, "speech of %r" % text)
    assert len(found) == 1, found
    return found[0]


def typed(app, source, target, text, tl):
    choose(app, SOURCE, source)
    choose(app, TARGET, target)
    translate(app, text)
    assert spoken_with(app, "%s: %s" % (tl, text)) == DAEMON_CODE.get(tl, tl)
    assert app.queries()[-1][1] == tl


def fixed_messages(app):
    app.key("F1")
    assert spoken_with(app, MONITORING) == "pt-BR"
    app.copy("#500 pela area de transferencia")
    translate(app, "#500 digitado")
    harness.wait_for(lambda: [t for t, _ in utterances(app)].count(harness.FAILURE) == 2, 20, "both failures")
    assert {lang for t, lang in utterances(app) if t == harness.FAILURE} == {"pt-BR"}


def monitor_keeps_its_pair(app):
    """The monitor speaks in the pair of its own request, before and after the command sets another."""
    app.key("F1")
    spoken_with(app, MONITORING)
    app.copy("primeira copia")
    spoken_with(app, "en: primeira copia")
    choose(app, TARGET, "Espanhol")
    translate(app, "digitado")
    spoken_with(app, "es: digitado")
    app.copy("segunda copia")
    spoken_with(app, "es: segunda copia")
    made = {"%s: %s" % (tl, q): tl for _, tl, q in app.queries()}
    said = [(t, lang) for t, lang in utterances(app) if t in made]
    assert len(said) == len(made) == 3, (said, made)
    assert all(lang == made[t] for t, lang in said), said


class RealSpeechd:
    """speech-dispatcher on socket with its espeak-ng module, silent (ALSA's null device),
    logging what the module does; its own configuration, never the system's."""

    def __init__(self, socket, directory):
        self.socket, self.logs = socket, os.path.join(directory, "log")
        conf = os.path.join(directory, "conf")
        shutil.copytree("/etc/speech-dispatcher", conf)
        os.makedirs(self.logs)
        with open(os.path.join(conf, "speechd.conf"), "a") as f:
            # A default that the program never asks for: any language seen is the program's.
            f.write('\nAudioOutputMethod "alsa"\nAudioALSADevice "null"\nDefaultLanguage "de"\n'
                    'AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"\nDefaultModule espeak-ng\n')
        with open(os.path.join(conf, "modules", "espeak-ng.conf"), "a") as f:
            f.write("\nDebug 1\n")
        self.process = subprocess.Popen(
            [SPEECHD, "--run-single", "--timeout", "0", "--log-level", "4", "--config-dir", conf,
             "--communication-method", "unix_socket", "--socket-path", socket, "--log-dir", self.logs,
             "--pid-file", os.path.join(directory, "pid")],
            env=dict(os.environ, HOME=directory), start_new_session=True,
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(directory, "stderr"), "wb"))
        harness.wait_for(lambda: os.path.exists(socket) or self.process.poll() is not None, 30, "speech-dispatcher")
        assert self.process.poll() is None, "speech-dispatcher ended at start"

    def module_texts(self):
        """The texts the module was handed, in order."""
        return [m.group(1) for m in re.finditer(r"Requested data: \|(?:<speak>)?(.*?)(?:</speak>)?\|", self.module_log(), re.S)]

    def module_log(self):
        path = os.path.join(self.logs, "espeak-ng.log")
        return open(path, "rb").read().decode(errors="replace") if os.path.exists(path) else ""

    def voice_for(self, words):
        """(asked, set): the language the module was asked for the text holding words, and the one
        espeak-ng accepted; None until the module has synthesised it. The daemon rewrites
        punctuation before the module sees the text, so words are matched, not the whole text."""
        for request in self.module_log().split("module_speak()")[1:]:
            data = re.search(r"Requested data: \|(.*?)\|", request, re.S)
            if data and words in data.group(1):
                chosen = re.search(r"set_language_and_voice (\S+) .*?\n.*?(?:Successfully set voice to \"(\S+)\"|Error)",
                                   request, re.S)
                return chosen and (chosen.group(1), chosen.group(2))
        return None

    def stop(self):
        group = self.process.pid
        os.killpg(group, signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
        # The module outlives a killed daemon and becomes ours to reap.
        while True:
            try:
                os.waitpid(-group, 0)
            except ChildProcessError:
                break


class ScreenReader:
    """Another client of the daemon, as a screen reader is: it speaks at priority message."""

    def __init__(self, path):
        self.socket = socket.socket(socket.AF_UNIX)
        self.socket.connect(path)
        self.received = b""
        for command in ("SET SELF CLIENT_NAME \"user:screen-reader:main\"", "SET SELF NOTIFICATION BEGIN on"):
            self.command(command)

    def read_until(self, pattern):
        deadline = time.monotonic() + 10 * harness.SCALE
        while not re.search(pattern, self.received):
            assert time.monotonic() < deadline, "the daemon did not answer %r: %r" % (pattern, self.received)
            if select.select([self.socket], [], [], 0.05)[0]:
                self.received += self.socket.recv(4096)
        found = re.search(pattern, self.received)
        self.received = self.received[found.end():]
        return found

    def command(self, line):
        self.socket.sendall(line.encode() + b"\r\n")
        return self.read_until(rb"(?m)^\d\d\d [^\r\n]*\r\n")

    def say(self, text):
        """Speaks text and returns once the daemon has begun it."""
        self.command("SET SELF PRIORITY message")
        self.command("SPEAK")
        self.socket.sendall(text.encode() + b"\r\n.\r\n")
        message = self.read_until(rb"225-(\d+)\r\n").group(1)
        self.read_until(rb"701-" + message + rb"\r\n")

    @contextmanager
    def talking(self):
        """Reads a long text aloud for the block, and stops when it ends: meanwhile whatever comes at a
        lower priority waits in the daemon's queue. ALSA's null device takes audio as fast as it comes, so
        a text lasts as long as its synthesis: 40 sentences took 2.5 s here, less than a loaded machine
        may take to translate; 1000 outlast any block."""
        self.say("O leitor de tela le um texto comprido. " * 1000)
        try:
            yield
        finally:
            self.command("STOP SELF")


def ours(daemon):
    """What the module was handed of the program's speech, in order."""
    return [t for t in daemon.module_texts() if "leitor de tela" not in t]


def clipboard_holds(app, text):
    harness.wait_for(lambda: app.clipboard() == text, 10, "the clipboard to hold %r" % text)


def heard(daemon, words):
    return any(words in text for text in daemon.module_texts())


def with_real_daemon(case):
    def run(app):
        daemon = RealSpeechd(os.path.join(app.dir, "speechd.sock"), os.path.join(app.dir, "speechd"))
        try:
            # The program tried to connect at start, before this daemon ran: translate until a text is heard.
            for attempt in range(3):
                text = "bom dia %d" % attempt
                translate(app, text)
                try:
                    harness.wait_for(lambda: daemon.voice_for(text), 10, "the module's voice")
                    break
                except AssertionError:
                    continue
            else:
                raise AssertionError("the daemon never heard a translation")
            case(app, daemon, ours(daemon))
        finally:
            daemon.stop()
    return run


def module_voice(app, daemon, before):
    assert daemon.voice_for(before[-1]) == ("en", "en"), daemon.voice_for(before[-1])


def expect_heard(daemon, before, expected):
    """Once the module has been handed the last of expected, it has been handed all of them, in order, and
    nothing else of ours since before. Words are matched: the daemon rewrites punctuation."""
    def handed():
        return ["(screen reader)" if "leitor de tela" in t else t for t in daemon.module_texts()]

    try:
        harness.wait_for(lambda: heard(daemon, expected[-1]), 30, "the module to be handed %r" % expected[-1])
    except AssertionError:
        print("the module was handed:", handed(), flush=True)
        raise
    got = ours(daemon)[len(before):]
    assert len(got) == len(expected) and all(words in text for words, text in zip(expected, got)), handed()


def monitoring_then_translation(app, daemon, before):
    """F1 says "Monitorando." and the clipboard's translation follows at once, while the screen reader speaks:
    both are heard, in order."""
    app.copy("copiado antes")
    with ScreenReader(daemon.socket).talking():
        app.key("F1")
        clipboard_holds(app, "en: copiado antes")
    expect_heard(daemon, before, ["Monitorando", "copiado antes"])


def translation_then_monitoring(app, daemon, before):
    """Enter, then F1 before the translation has begun (the screen reader is still speaking): "Monitorando."
    comes first and the translation after it, both whole."""
    with ScreenReader(daemon.socket).talking():
        translate(app, "traduzido antes")
        clipboard_holds(app, "en: traduzido antes")
        app.key("F1")
        expect_heard(daemon, before, ["Monitorando", "traduzido antes"])


def two_translations(app, daemon, before):
    """Two translations come while the screen reader speaks: both are heard, in order."""
    app.copy("copiado antes")
    app.key("F1")
    expect_heard(daemon, before, ["Monitorando", "copiado antes"])
    with ScreenReader(daemon.socket).talking():
        for text in ("primeira copia", "segunda copia"):
            app.copy(text)
            clipboard_holds(app, "en: " + text)
    expect_heard(daemon, before, ["Monitorando", "copiado antes", "primeira copia", "segunda copia"])


cases = [
    ("pt to en", typed, ("Português", "Inglês", "bom dia", "en"), {}),
    ("auto to simplified Chinese", typed, ("Automático", "Chinês (simplificado)", "bom dia", "zh-CN"), {}),
    ("pt to Javanese", typed, ("Português", "Javanês", "bom dia", "jw"), {}),
    ("fixed messages in Portuguese", fixed_messages, (), {}),
    ("monitor keeps its pair", monitor_keeps_its_pair, (), {}),
]
if SPEECHD and os.access(ESPEAK_MODULE, os.X_OK):
    cases += [("real speech-dispatcher", with_real_daemon(module_voice), (), {"speech": False}),
              ("real daemon: Monitorando then a translation", with_real_daemon(monitoring_then_translation), (),
               {"speech": False}),
              ("real daemon: a translation then Monitorando", with_real_daemon(translation_then_monitoring), (),
               {"speech": False}),
              ("real daemon: two translations in a row", with_real_daemon(two_translations), (), {"speech": False})]

if __name__ == "__main__":
    try:
        harness.main(cases)
    except SystemExit as end:
        if end.code == 0 and not cases[-1][0].startswith("real "):
            print("SKIP real speech-dispatcher: speech-dispatcher or its espeak-ng module is not installed")
            sys.exit(SKIPPED)
        raise
