# SPDX-License-Identifier: GPL-3.0-or-later
"""Keying: the line follows the TX button at once, a port chosen from the list takes the line
along, and the time-out ends a keying at its minute."""
from harness import *  # noqa: F403

def only_dtr_moved(i):
    evs = i.events(1)
    evs = evs[[e.kind for e in evs].index("TIOCMBIS"):]
    expect(not [e for e in evs if e.rts or e.kind in ("open", "close")],
           "RTS raised or the port closed: %s" % evs)

def moved_to(old, new):
    """The old port closed with its lines low before the new one opened with its lines low."""
    def step(i):
        i.wait_lines((True, 0, 0), new)
        closed, opened = i.events(old)[-1], [e for e in i.events(new) if e.kind == "open"][-1]
        expect(i.lines(old) == (False, 0, 0) and closed.t < opened.t, "COM%d: %s" % (
            old, i.events(old)[-2:]))
        expect(not [e for e in i.events(new, opened.t + 1) if e.dtr or e.rts], "COM%d raised" % new)
        expect(i.texts("combo box")[0] == "Com%02d" % new, "the list shows %s" % i.texts(
            "combo box"))
    return step

def minute_keyed(i):
    """Keyed and released 10 times, then keyed for good, and a client's T 1 20 s into it: released
    at the minute counted from the click, by the timer."""
    for _ in range(10):
        tx(1)(i)
        tx(0)(i)
    tx(1)(i)
    up = [e for e in i.events(1) if e.kind == "TIOCMBIS"][-1]
    time.sleep(max(0.0, (up.t + 20e9 - time.monotonic_ns()) / 1e9))
    expect(Client(i).ask("T 1") == "RPRT 0", "the client's key refused")
    time.sleep(max(0.0, (up.t + 59e9 - time.monotonic_ns()) / 1e9))
    drop = wait_until(lambda: [e for e in i.events(1, up.t + 1) if not e.dtr], 5, "DTR to fall")[0]
    expect(59.995e9 <= drop.t - up.t <= 60.5e9 and drop.kind == "TIOCMBIC", "released %.3f s after "
           "keying by %s" % ((drop.t - up.t) / 1e9, drop.kind))

def remote_minute(i):
    """A client keys (T 3, a data key) and repeats T 1, stuck: released at the minute counted from
    its first key, and told so; its further T 1 refused until it has sent T 0."""
    c = Client(i)
    expect(c.ask("T 3") == "RPRT 0", "T 3 refused")
    up = wait_until(lambda: [e for e in i.events(1) if e.kind == "TIOCMBIS"], 5, "DTR")[0]
    while time.monotonic_ns() < up.t + 58e9:
        expect(c.ask("T 1") == "RPRT 0", "a repeated T 1 refused while keyed")
        time.sleep(5)
    drop = wait_until(lambda: [e for e in i.events(1, up.t) if not e.dtr], 5, "the time-out",
                      every=0.05)[0]
    late = (drop.t - up.t) / 1e9 - 60
    expect(-0.005 <= late <= 0.5 and c.ask("t") == "0", "released %.3f s after keying, t then %s"
           % (late + 60, c.ask("t")))
    expect([c.ask("T 1"), c.ask("t"), c.ask("T 0"), c.ask("T 1"), c.ask("t")] == [
        "RPRT -9", "0", "RPRT 0", "RPRT 0", "1"], "after the time-out")

ROWS = [
    ("TX keys DTR with RTS low and releases it; the button shows it", {},
     [tx(1), look(True), tx(0), look(False), only_dtr_moved]),
    ("a port chosen from the list, with the mouse and the Down key, takes the line along", {
        "ports": (1, 2, 4), "missing": (3,)},
     [lambda i: i.choose(PORTS, "Com02"), moved_to(1, 2), lambda i: i.key("Down"),
      box(NOT_AVAILABLE % 3), lambda i: i.choose(PORTS, "Com04"), moved_to(2, 4), tx(1, 4),
      menu("fe"), exits(0), lines((False, 0, 0), 4)]),
]
MINUTE = [
    ("the time-out releases at its minute, after many keyings, whoever joins", {
        "remote": True, "settings": {"Position-Left": 15000, "Position-Top": 750, "Timer": 1}},
     [minute_keyed, look(False), lines((True, 0, 0))]),
    ("a remote keying held by its stuck client: released at its minute, not again until T 0", {
        "remote": True, "settings": {"Position-Left": 15000, "Position-Top": 5250}},
     [remote_minute, look(False)]),
]

if __name__ == "__main__":
    run(ROWS, MINUTE)
