#!/usr/bin/python3
"""The dialog as a screen reader reads it, and the three ways to close it."""
import unicodedata

import harness

LABELLED = [("Tradução", "text"), ("Idioma de origem", "table"), ("Idioma de destino", "table"),
            ("Texto à traduzir", "text")]
# From the input field, where the dialog starts, Tab goes on through the rest and back.
TAB_ORDER = [("push button", "Traduzir"), ("push button", "Sair"), ("text", "Tradução"),
             ("table", "Idioma de origem"), ("table", "Idioma de destino"), ("text", "Texto à traduzir")]
# The list each list-stop must show with its focused item.
FOCUSED_ITEM = {"Idioma de origem": "Português", "Idioma de destino": "Inglês"}


def folded(name):
    return "".join(c for c in unicodedata.normalize("NFD", name) if not unicodedata.combining(c)).casefold()


def reads_as_specified(app):
    assert app.frame.name == harness.TITLE
    assert app.labels() == [(label, [(role, [label])]) for label, role in LABELLED], app.labels()
    assert [c for c in app.controls() if c[0] == "push button"] == [("push button", "Traduzir"), ("push button", "Sair")]
    assert app.focused() == ("text", "Texto à traduzir"), app.focused()
    source, target = app.items("Idioma de origem"), app.items("Idioma de destino")
    names = [n for n, _, _ in target]
    assert len(source) == 105 and [n for n, _, _ in source[:2]] == ["Automático", "Africâner"], source[:3]
    assert [n for n, selected, _ in source if selected] == ["Português"]
    assert len(target) == 104 and sorted(names) == sorted(n for n, _, _ in source[1:]), names
    assert names in (sorted(names), sorted(names, key=folded)), names
    assert [n for n, selected, _ in target if selected] == ["Inglês"]
    assert app.text("Tradução") == app.text("Texto à traduzir") == ""


def names_whole(app):
    """Each list is wide enough for its longest name: no cell's text ends past the list's right edge."""
    import pyatspi
    for label in ("Idioma de origem", "Idioma de destino"):
        table = app.control(label)
        box = table.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        for cell in (c for c in table if c.getRoleName() == "table cell"):
            text = cell.queryText()
            last = text.getCharacterExtents(text.characterCount - 1, pyatspi.DESKTOP_COORDS)
            assert last[0] + last[2] <= box.x + box.width, (label, cell.name, last, box)


def tab_order(app, key, order):
    for expected in order:
        app.key(key)
        harness.wait_for(lambda: app.focused() == expected, 10, "focus on %s, not %s" % (expected, app.focused()))
        if expected[1] in FOCUSED_ITEM:
            focused = [n for n, _, f in app.items(expected[1]) if f]
            assert focused == [FOCUSED_ITEM[expected[1]]], focused


def closes(app, way):
    app.close(way)
    app.wait_exit(5)


def works_without_speech(app):
    reads_as_specified(app)
    app.paste("olá")
    harness.wait_for(lambda: app.text("Texto à traduzir") == "olá", 10, "the pasted text")
    app.key("Return")
    harness.wait_for(lambda: app.text("Tradução") == "en: olá", 20, "the translation shown")


def unwritable_directory(app):
    reads_as_specified(app)
    app.paste("x #429")
    harness.wait_for(lambda: app.text("Texto à traduzir") == "x #429", 10, "the pasted text")
    app.key("Return")
    app.wait_spoken(harness.FAILURE)
    assert app.log() is None


CASES = [
    ("reads as specified", reads_as_specified, (), {}),
    ("arguments change nothing", reads_as_specified, (), {"args": ("--help", "-v", "texto", "ção")}),
    ("lists show whole names in large text", names_whole, (), {"text_scale": 2}),
    ("tab order forwards", tab_order, ("Tab", TAB_ORDER), {}),
    ("tab order backwards", tab_order, ("shift+Tab", TAB_ORDER[-2::-1] + TAB_ORDER[-1:]), {}),
    ("unwritable working directory", unwritable_directory, (), {"readonly_workdir": True}),
    ("no speech daemon", works_without_speech, (), {"speech": False}),
] + [("closes by " + way, closes, (way,), {}) for way in ("Esc", "Sair", "Sair key", "close box")]

if __name__ == "__main__":
    harness.main(CASES)
