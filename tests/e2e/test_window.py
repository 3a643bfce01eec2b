# SPDX-License-Identifier: GPL-3.0-or-later
"""The window: its places, Always On Top, Help > About, and every ordinary way out."""
import signal
from harness import *  # noqa: F403

def places(i):
    ox, oy = i.origin()
    expect(i.texts("frame") == [APP], "caption %s" % i.texts("frame"))
    for role, name, rect in (("check box", "TX", TX), ("combo box", "Com01", PORTS),
                             ("combo box", "1 min", TIMEOUTS)):
        x, y, w, h = extents(i.find(role, name)[0])
        expect((x - ox, y - oy, w, h) == rect, "%s %s at %s" % (role, name, (x - ox, y - oy, w, h)))

def above(on):
    return lambda i: wait_until(lambda: i.on_top() == on, 5, "on top %s" % on)

def about(i):
    got = i.box()
    expect(i.lines() == (True, 0, 0), "keyed while the About box is up: %s" % (i.lines(),))
    expect(re.match(APP + r"\nVersion \d+\.\d+\.\d+", got), "About box %r" % got)
    i.ok()

WAYS = [("File > Exit", menu("fe")), ("the close box (alt+F4)", lambda i: i.key("alt+F4"))] + [
    (sig.name, send(sig)) for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)]
ROWS = [
    ("the caption and the designed places", {}, [places, look(False)]),
    ("Always On Top set and cleared on the window while keyed, the keying kept", {},
     [tx(1), lambda i: i.click(ONTOP), above(True), lambda i: i.click(ONTOP), above(False),
      lines((True, 1, 0)), look(True)]),
    ("Help > About while keyed: released first, the port kept, TX keys again after", {},
     [tx(1), menu("ha"), about, look(False), tx(1), look(True)]),
] + [("%s while keyed: all saved, the lines lowered, then closed, status 0" % way, {},
      [moved, tx(1), do, exits(0), ended_well]) for way, do in WAYS]

if __name__ == "__main__":
    run(ROWS)
