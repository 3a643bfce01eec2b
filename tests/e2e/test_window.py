"""The window: its places, the two views, Always On Top, Help > About and the ordinary ways out."""
import os, sys
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F403


def places(i):
    ox, oy = i.origin()
    expect(i.texts("frame") == [APP], "caption %s" % i.texts("frame"))
    for role, name, rect in (("check box", "TX", TX), ("combo box", "Com01", PORTS),
                             ("combo box", "1 min", TIMEOUTS)):
        x, y, w, h = extents(i.find(role, name)[0])
        expect((x - ox, y - oy, w, h) == rect, "%s %s at %s" % (role, name, (x - ox, y - oy, w, h)))


def height(twips):
    return lambda i: wait_until(lambda: i.frame()[3] == twips // TWIPS, 5, "an outer height of %d"
                                " twips; it is %d px" % (twips, i.frame()[3]))


def above(on):
    return lambda i: wait_until(lambda: ("_NET_WM_STATE_ABOVE" in i.wm_state()) == on, 5,
                                "the window %s on top" % ("" if on else "not"))


def about(i):
    got = i.box()
    expect(i.lines() == (True, 0, 0), "keyed while the About box is up: %s" % (i.lines(),))
    expect(got.startswith(APP + "\nVersion ") and re.search(r"Version \d+\.\d+\.\d+", got),
           "About box %r" % got)
    i.ok()


WAYS = [("File > Exit", menu("fe")), ("the close box (alt+F4)", lambda i: i.key("alt+F4"))]
ROWS = [
    ("the caption and the designed places", {}, [places, look(False)]),
    ("Hide and Show: the strip and the full window, each saved at once", {},
     [menu("sh"), height(COMPACT), saved(Height=COMPACT), menu("ss"), height(FULL),
      saved(Height=FULL), lines((True, 0, 0))]),
    ("Always On Top: set and cleared on the window, saved, and kept by the next start", {},
     [tx(1), lambda i: i.click(ONTOP), above(True), saved(OnTop=1), lambda i: i.click(ONTOP),
      above(False), saved(OnTop=0), lambda i: i.click(ONTOP), above(True), lines((True, 1, 0)),
      menu("fe"), exits(0), lambda i: i.start(), above(True)]),
    ("Help > About while keyed: released first, the port kept, TX keys again after", {},
     [tx(1), look(True), menu("ha"), about, look(False), lines((True, 0, 0)), tx(1), look(True),
      tx(0)]),
] + [("%s while keyed: all saved, the lines lowered, then closed, status 0" % way, {},
      [moved, tx(1), do, exits(0), ended_well]) for way, do in WAYS]

if __name__ == "__main__":
    run(ROWS)
