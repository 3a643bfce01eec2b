# SPDX-License-Identifier: GPL-3.0-or-later
"""Start-up: the first run's defaults, the port opened with its lines low, what was stored brought
back (the strip's height through the window manager), stored values it cannot use replaced."""
from harness import *  # noqa: F403

def opened_low(i):
    """Each open followed at once by both lines lowered (a sound interface's GPIO3 made an output
    at rest), none raised after, HUPCL always set."""
    evs = i.events()
    for k, e in enumerate(evs):
        nxt = [(n.kind, n.dtr, n.rts, n.extra.get("GPIO", "--0")[2]) for n in evs[k + 1:k + 2]]
        expect(e.kind != "open" or nxt and nxt[0] in (("TIOCMBIC", 0, 0, "0"), (
            "report", 0, 0, "0")), "an open not followed by both lines lowered: %s" % evs)
    expect(all(e.extra.get("HUPCL", "1") == "1" for e in evs), "HUPCL not set: %s" % evs)
    expect(not [e for e in evs if e.kind != "open" and (e.dtr or e.rts)], "raised: %s" % evs)

def first_run(i):
    st, (x, y, w, h), (sw, sh) = i.settings(), i.frame(), i.s.display.size
    want = zip(KEYS, (str(x * TWIPS), str(y * TWIPS), "0", "1", "3090", "1"))
    expect(list(st.items()) == list(want), "the six keys in order, at %s: %s" % ((x, y), st))
    expect(abs(x + w / 2 - sw / 2) <= 2 and abs(y + h / 2 - sh / 2) <= 25, "not centred: %s" % (
        (x, y, w, h),))

def restored(i):
    expect(i.frame()[:2] == (200, 150) and i.frame()[3] == COMPACT // TWIPS, "at %s" % (i.frame(),))
    expect(i.texts("combo box") == ["Com02", "3 min"], "lists show %s" % i.texts("combo box"))
    expect(i.on_top(), "not on top")
    expect(not i.events(1) and i.lines(2) == (True, 0, 0), "COM2 not the one open: %s" % i.events())

STORED = {"Position-Left": 3000, "Position-Top": 2250, "OnTop": 1, "ComPort": 2, "Height": COMPACT,
          "Timer": 3}
BAD = {"Position-Left": "left", "Position-Top": "1e99", "OnTop": 7, "ComPort": 1, "Height": -5,
       "Timer": 0}
ROWS = [
    ("first start: the six defaults, centred, the port opened with its lines low", {},
     [first_run, opened_low, lines((True, 0, 0))]),
    ("the place, the strip, the port, the time-out and on top come back; Show gives the full "
     "window", {"ports": (1, 2), "settings": STORED},
     [restored, opened_low, menu("ss"), lambda i: wait_until(
         lambda: i.frame()[3] == FULL // TWIPS, 5, "the full window"), menu("fe"), exits(0),
      saved(ComPort=2, Timer=3, OnTop=1, Height=FULL)]),
    ("stored values it cannot use: said on stderr, replaced, the start goes on", {"settings": BAD},
     [opened_low, menu("fe"), exits(0), saved(OnTop=0, Height=FULL, Timer=1),
      check(lambda i: "Timer" in i.stderr() and "OnTop" in i.stderr(), "nothing on stderr")]),
    ("no display: one line on standard error, status 1, the port untouched", {
        "start": False, "env": {"DISPLAY": ":4242"}},
     [lambda i: i.start(wait=False), exits(1), check(lambda i: not i.events() and i.stderr(
     ).startswith("Zorore_PTT: no display") and i.stderr().count("\n") == 1, "said otherwise")]),
    ("no thread can start (ulimit -u): said, status 1, the port untouched", {
        "start": False, "before": [lambda i: i.rules("fail thread EAGAIN")]},
     [lambda i: i.start(wait=False), exits(1), check(lambda i: not i.events() and (
         "cannot start a thread" in i.stderr()), "said otherwise")]),
    ("a HID device that is no CM108, and a misspelt pin: the port message, standard error naming "
     "each, nothing written to them", {"ports": (1, 2), "hid": {1: "046d:c52b"}, "before": [
         lambda i: open(i.conf, "a").write("COM2-Line=GPIO9\n")]},
     [box(NOT_AVAILABLE % 1), lambda i: i.choose(PORTS, "Com02"), box(NOT_AVAILABLE % 2),
      check(lambda i: "046d:c52b" in i.stderr() and 'COM2-Line="GPIO9"' in i.stderr() and not [
          e for e in i.events() if e.kind == "report"], "said otherwise, or written to")]),
]
ROWS += on_gpio(ROWS, "first start")

if __name__ == "__main__":
    run(ROWS)
