"""Ending the program every way an operator or the system can: the settings are written, the
transmitter is released and the port closed, and the exit status is 0."""

import os
import signal
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


def close_box_key(s):
    s.activate()
    s.key("alt+F4")  # openbox's close binding: WM_DELETE_WINDOW to the window


def close_box_click(s):
    fx, fy, fw, fh = s.frame_geometry()
    top = s.frame_extents()[2]
    # openbox puts the close button at the right end of the title bar
    s.xrun("xdotool", "mousemove", str(fx + fw - 11), str(fy + top // 2), "click", "1")


WAYS = [
    ("close box (alt+F4)", close_box_key),
    ("close box (click)", close_box_click),
    ("File > Exit", lambda s: s.menu("f", "e")),
    ("SIGTERM", lambda s: s.signal(signal.SIGTERM)),
    ("SIGHUP", lambda s: s.signal(signal.SIGHUP)),
    ("SIGINT", lambda s: s.signal(signal.SIGINT)),
]


def one_way(s, pty, n, label, do):
    s.step(label)
    since = time.monotonic_ns()
    s.start_program()
    s.wait_started(pty)
    # Somewhere new, so that the saved position shows it was written at the end.
    s.xrun("xdotool", "windowmove", "--sync", str(s.win), str(100 + 60 * n), str(100 + 40 * n))
    place = h.wait_until(lambda: (lambda g: g if g[0] == 99 + 60 * n else None)(
        s.frame_geometry()), 5, "the window to move")
    s.click_centre(h.TX_RECT)
    s.wait_line(pty, (True, 1, 0), since_ns=since)
    keyed_at = s.events(pty)[-1].t_ns
    h.write_ini(s.settings_path, {"Ports": s.settings()["Ports"]})

    do(s)
    status = s.wait_exit()
    s.check(status == 0, "%s: exit status 0" % label, "status %s" % status)
    st = s.settings().get("Settings", {})
    s.check(set(st) == set(h.SETTING_KEYS), "%s: all six keys written" % label,
            "keys %s" % list(st))
    want = (str(place[0] * h.TWIPS_PER_PX), str(place[1] * h.TWIPS_PER_PX))
    s.check((st.get("Position-Left"), st.get("Position-Top")) == want,
            "%s: position saved as %s, %s" % ((label,) + want),
            "saved %s, %s" % (st.get("Position-Left"), st.get("Position-Top")))
    evs = s.events(pty, since_ns=keyed_at)
    s.check(evs and evs[-1].event == "close" and (evs[-1].dtr, evs[-1].rts) == (0, 0),
            "%s: port closed, DTR=0 RTS=0" % label, "events since keying %s" % evs)
    lowered = [e for e in evs[1:-1] if e.dtr == 0 and e.rts == 0]
    s.check(bool(lowered), "%s: lines lowered before the close" % label,
            "events since keying %s" % evs)


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    for n, (label, do) in enumerate(WAYS):
        one_way(s, pty, n, label, do)


if __name__ == "__main__":
    h.run(test)
