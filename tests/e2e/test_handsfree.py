# SPDX-License-Identifier: GPL-3.0-or-later
"""Hands-free keying: a key held or pressed with another program's window in front, and a foot
switch on a serial input line, key like a click on TX; auto-repeat never releases, a key or switch
held at start keys nothing until let go, and one held past the time-out keys again only after."""
from harness import *  # noqa: F403

KEYED, IDLE = (True, 1, 0), (True, 0, 0)
_other = []

def cfg(key="", mode="Hold", switch=None, line="CTS", ports=(1,), place=""):
    return {"ports": ports, "settings": place + "[Keying]\nKey=%s\nKeyMode=%s\n" % (key, mode) + (
        "Switch=COM%d\nSwitchLine=%s\n" % (switch, line) if switch else "")}

def keys(*args):
    """xdotool's key commands with another program's window in front, holding the focus."""
    def step(i):
        with X:
            if not _other:
                spawn(["xmessage", "-name", "zptt-other", "-geometry", "+600+600", "another"],
                      stderr=subprocess.DEVNULL)
                _other.append(wait_until(lambda: xrun("xdotool", "search", "--onlyvisible",
                                                      "--classname", "zptt-other",
                                                      check=False).split(), 10, "its window")[0])
            xrun("xdotool", "windowactivate", "--sync", _other[0])
            expect(xrun("xdotool", "getwindowfocus").strip() == _other[0], "focus elsewhere")
            xrun("xdotool", *args)
    return step

def inputs(n, *lines): return lambda i: i.inputs(n, *lines)

def steady(seconds, n=1):
    """The line keeps its state for that long, through auto-repeat or a switch's bounce."""
    def step(i):
        last = i.events(n)[-1]
        time.sleep(seconds)
        expect(i.lines(n)[1:] == (last.dtr, last.rts) and not [
            e for e in i.events(n, last.t + 1) if e.kind in ("TIOCMBIS", "TIOCMBIC")],
            "the line moved: %s" % i.events(n, last.t + 1))
    return step

def bounce(i):
    for lines in ((), ("CTS",), (), ("CTS",)):
        i.inputs(2, *lines)
        time.sleep(0.003)

ROWS = [
    ("a key held with another window in front stays keyed through auto-repeat, to key-up",
     cfg("F9"), [keys("keydown", "F9"), lines(KEYED), look(True), steady(3), keys("keyup", "F9"),
                 lines(IDLE), look(False)]),
    ("Toggle: a press keys, the next releases", cfg("F10", "Toggle"),
     [keys("key", "F10"), lines(KEYED), steady(1), keys("key", "F10"), lines(IDLE)]),
    ("a key held at start keys nothing until let go", dict(cfg("F11"), before=[
        keys("keydown", "F11")]), [steady(1), keys("keyup", "F11"), steady(0.5),
                                   keys("keydown", "F11"), lines(KEYED), keys("keyup", "F11"),
                                   lines(IDLE)]),
    ("a foot switch on another port: both edges, a bounce keys once; its port at rest",
     cfg(switch=2, ports=(1, 2)), [inputs(2, "CTS"), lines(KEYED), bounce, steady(0.5),
                                   inputs(2), lines(IDLE), check(lambda i: i.lines(2) == IDLE and not [
                                       e for e in i.events(2) if e.kind == "TIOCMBIS"],
                                       "the switch's port moved")]),
    ("a foot switch on the keyed port, held at start", dict(cfg(switch=1, line="DSR"), before=[
        inputs(1, "DSR")]), [steady(1), inputs(1), steady(0.5), inputs(1, "DSR"), lines(KEYED),
                             inputs(1), lines(IDLE)]),
    ("the foot switch's port chosen as the keyed port: the keying takes it, the switch follows",
     cfg(switch=2, ports=(1, 2)), [lambda i: i.choose(PORTS, "Com02"), lines(IDLE, 2),
                                   check(lambda i: not i.boxes(), "a message box"), pause(0.5),
                                   inputs(2, "CTS"), lines(KEYED, 2), inputs(2), lines(IDLE, 2)]),
    ("a foot switch unplugged while held releases", cfg(switch=2, ports=(1, 2)),
     [inputs(2, "CTS"), lines(KEYED), lambda i: i.ptys[2].unplug(), lines(IDLE)]),
]
MINUTE = [
    ("a key held past the time-out is released, and keys again only once let go", cfg(
        "F12", place="[Settings]\nPosition-Left=15000\nPosition-Top=750\n"), [
        keys("keydown", "F12"), lines(KEYED), lambda i: i.wait_lines(IDLE, 1, 65), steady(2),
        keys("keyup", "F12"), steady(0.5), keys("keydown", "F12"), lines(KEYED),
        keys("keyup", "F12"), lines(IDLE)]),
]

if __name__ == "__main__":
    run(ROWS, MINUTE)
