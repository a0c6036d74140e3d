#!/usr/bin/python3
"""Clipboard monitoring through the real program; each flow is a list of steps, checked one by one.

Every step names all the requests and utterances it causes, so a step that should send or say
nothing is proven by the step after it. Where no later event can follow (a worker correctly
gone, an image that holds no text), "unseen" watches three poll intervals instead.
"""
import time

import harness
from harness import wait_for
from test_translate import HOME_AF, HOME_AUTO, INPUT, OUTPUT, choose

POLL = 0.6


class Flow:
    def __init__(self, app):
        self.app, self.requests, self.spoken = app, 0, 0

    def new(self):
        """Requests and utterances since the last step."""
        requests, spoken = self.app.queries()[self.requests:], self.app.spoken()[self.spoken:]
        self.requests, self.spoken = self.requests + len(requests), self.spoken + len(spoken)
        return requests, spoken

    def expect(self, requests, spoken):
        got = self.new()
        assert got == (requests, spoken), "expected %r, got %r" % ((requests, spoken), got)

    def wait_spoken(self, text):
        wait_for(lambda: text in self.app.spoken()[self.spoken:], 20, "speech of %r" % text)

    def F1(self, message):
        self.app.key("F1")
        self.wait_spoken(message)
        self.expect([], [message])

    def copied(self, text, sl, tl):
        self.app.copy(text)
        translation = "%s: %s" % (tl, text)
        self.wait_spoken(translation)
        wait_for(lambda: self.app.clipboard() == translation, 10, "the translation on the clipboard")
        self.expect([(sl, tl, text)], [translation])

    def ignored(self, text):
        """The monitor reads text (its owner answers a request) and does nothing with it."""
        owner = self.app.copy(text)
        wait_for(lambda: owner.served, 10, "the monitor to read %r" % text)

    def unseen(self, data, target=None):
        self.app.copy(data, target)
        end = time.monotonic() + 3 * POLL * harness.SCALE
        while time.monotonic() < end:
            assert self.new() == ([], []), "something happened after copying %r" % data
            time.sleep(0.05)

    def failed(self, text):
        """text is refused by both clients: each is asked once."""
        self.app.copy(text)
        self.wait_spoken(harness.FAILURE)
        self.expect([("pt", "en", text)] * 2, [harness.FAILURE])

    def around_block(self, text):
        """gtx refuses text with 429: dict-chrome-ex is asked at once, and only the translation is heard."""
        self.app.copy(text)
        self.wait_spoken("en: " + text)
        wait_for(lambda: self.app.clipboard() == "en: " + text, 10, "the translation on the clipboard")
        clients = [r["query"]["client"] for r in self.app.requests()[self.requests:]]
        self.expect([("pt", "en", text)] * 2, ["en: " + text])
        assert clients == ["gtx", "dict-chrome-ex"], clients
        assert self.app.log() == b"Bloqueio do cliente gtx (HTTP 429); usando dict-chrome-ex.\n", self.app.log()

    def command(self, pair, text, sl, tl):
        """A translate command with another pair: heard once, left on the clipboard; the monitor takes the pair."""
        choose(self.app, *pair)
        harness.run(["xdotool", "type", "--delay", "20", text], check=True)  # a paste would go past the monitor
        wait_for(lambda: self.app.text(INPUT) == text, 10, "the typed text")
        self.app.key("Return")
        shown = "%s: %s" % (tl, text)
        wait_for(lambda: self.app.text(OUTPUT) == shown and self.app.text(INPUT) == "", 20, "the command's translation")
        wait_for(lambda: self.app.clipboard() == shown, 10, "the command's translation on the clipboard")
        self.expect([(sl, tl, text)], [shown])

    def overtaken(self, slow, text):
        """A text copied while the last one is being translated is kept, and translated next."""
        self.app.copy(slow)
        wait_for(lambda: slow in [q for _, _, q in self.app.queries()], 10, "the slow request")
        self.app.copy(text)
        self.wait_spoken("en: " + text)
        wait_for(lambda: self.app.clipboard() == "en: " + text, 10, "the second copy's translation")
        self.expect([("pt", "en", slow), ("pt", "en", text)], ["en: " + text])

    def stopped_failing(self, text):
        """F1 while a check is failing: heard at once, and monitoring stays off after the failure."""
        self.app.copy(text)
        wait_for(lambda: text in [q for _, _, q in self.app.queries()], 10, "the failing request")
        self.app.key("F1")
        self.wait_spoken(OFF[1])
        self.wait_spoken(harness.FAILURE)
        self.expect([("pt", "en", text)], [OFF[1], harness.FAILURE])

    def nul(self, text):
        """A translation holding a NUL is written up to it, once."""
        self.app.copy(text)
        wait_for(lambda: self.app.clipboard() == "en: " + text, 10, "the translation up to its NUL")
        wait_for(lambda: len(self.app.spoken()) > self.spoken, 10, "the translation spoken")
        self.expect([("pt", "en", text)], ["en: " + text])

    def hangs(self, text):
        self.app.copy(text)
        wait_for(lambda: [q for _, _, q in self.app.queries()] == [text], 10, "the request that never ends")

    def closes(self, way):
        self.app.close(way)
        self.app.wait_exit(1)


def flow(app, steps):
    state = Flow(app)
    for name, *arguments in steps:
        getattr(state, name)(*arguments)


ON, OFF = ("F1", "Monitorando."), ("F1", "Deixando de monitorar.")
FLOWS = [
    ("copies, the translation recopied, the source recopied, an image, off", [
        ON, ("copied", "Bom dia, ação", "pt", "en"), ("ignored", "en: Bom dia, ação"),
        ("copied", "Bom dia, ação", "pt", "en"), ("unseen", b"\x89PNG\r\n\x1a\n", "image/png"),
        ("copied", "sentinela", "pt", "en"), OFF, ("unseen", "depois"),
    ]),
    ("a failed translation ends monitoring and is not retried", [
        ON, ("failed", "x #429"), ON, ("ignored", "x #429"), ("copied", "sentinela", "pt", "en"),
    ]),
    ("a copy during a block of gtx", [
        ON, ("around_block", "Bom dia, ação #gtx=429"), ("copied", "sentinela", "pt", "en"),
    ]),
    ("off and on again at once", [
        ON, ("copied", "um", "pt", "en"), OFF, ON, ("ignored", "en: um"), ("copied", "dois", "pt", "en"), OFF,
    ]),
    ("a translate command switches the pair", [
        ON, ("copied", "um", "pt", "en"), ("command", (HOME_AUTO, HOME_AF), "dois", "auto", "af"),
        ("copied", "três", "auto", "af"),
    ]),
    ("a copy made during a translation is kept and translated", [
        ON, ("overtaken", "primeiro #slow", "segundo"), ("copied", "sentinela", "pt", "en"),
    ]),
    ("F1 during a failing check leaves monitoring off", [
        ON, ("stopped_failing", "x #slow #empty"), ("unseen", "depois"),
    ]),
    ("a translation holding a NUL is not translated again", [
        ON, ("nul", "x #nul"), ("copied", "sentinela", "pt", "en"),
    ]),
] + [("closes by %s during a request that never ends" % way, [ON, ("hangs", "x #hang"), ("closes", way)])
     for way in ("Esc", "Sair", "close box")]

CASES = [(name, flow, (steps,), {}) for name, steps in FLOWS]

if __name__ == "__main__":
    harness.main(CASES)
