"""Start-up: first-run defaults, the port's open sequence, and a second start restoring the
place, the height and the view of the first run."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

DEFAULTS = {"OnTop": "0", "ComPort": "1", "Height": "3090", "Timer": "1"}


def check_open_sequence(s, evs):
    """open, lines low, ..., close, open, lines low, ...: open and low at the end, HUPCL set."""
    kinds = h.opens_and_closes(evs)
    s.check(kinds == ["open", "close", "open"], "device opened, closed and opened again",
            "open/close events %s" % kinds)
    for n, i in enumerate(i for i, e in enumerate(evs) if e.event == "open"):
        nxt = evs[i + 1] if i + 1 < len(evs) else None
        s.check(nxt is not None and nxt.event == "TIOCMBIC" and (nxt.dtr, nxt.rts) == (0, 0),
                "open #%d: next event is TIOCMBIC to DTR=0 RTS=0" % (n + 1),
                "next event %r" % (nxt,))
    attrs = [e for e in evs if e.event == "tcsetattr"]
    s.check(len(attrs) >= 2 and all(e.extra.get("HUPCL") == "1" for e in attrs),
            "every tcsetattr while open sets HUPCL=1 (%d calls)" % len(attrs),
            "%s" % attrs)
    s.check(all(e.dtr == 0 and e.rts == 0 for e in evs if e.event != "open"),
            "DTR and RTS never raised by the program during start-up")
    s.check(h.line_state(evs) == (True, 0, 0), "ends open with DTR=0 RTS=0",
            "state %s" % (h.line_state(evs),))


def first_run(s, pty):
    s.step("first start, no settings yet")
    s.start_program()
    s.wait_started(pty)
    check_open_sequence(s, s.events(pty))

    st = s.settings().get("Settings", {})
    s.check(list(st) == list(h.SETTING_KEYS), "six defaults written, in order",
            "keys %s" % list(st))
    for k, v in DEFAULTS.items():
        s.check(st.get(k) == v, "%s=%s" % (k, v), "found %r" % st.get(k))
    fx, fy, fw, fh = s.frame_geometry()
    s.check(st["Position-Left"] == str(fx * h.TWIPS_PER_PX) and
            st["Position-Top"] == str(fy * h.TWIPS_PER_PX),
            "Position-Left/Top = window's place in twips (%s, %s)" % (
                st["Position-Left"], st["Position-Top"]),
            "frame at %d,%d px" % (fx, fy))
    sw, sh = s.display.size
    off_x, off_y = fx + fw / 2 - sw / 2, fy + fh / 2 - sh / 2
    print("  window centre is %+.1f, %+.1f px from the screen's centre" % (off_x, off_y))
    s.check(abs(off_x) <= 2 and abs(off_y) <= 25, "window shown centred",
            "off by %+.1f, %+.1f px" % (off_x, off_y))

    s.step("move, Setup > Hide, File > Exit")
    s.xrun("xdotool", "windowmove", "--sync", str(s.win), "200", "150")
    moved = h.wait_until(lambda: (lambda g: g if g[:2] != (fx, fy) else None)(
        s.frame_geometry()), 5, "the window to move")
    s.menu("s", "h")
    s.wait_frame_height(h.HEIGHT_HIDDEN // h.TWIPS_PER_PX)
    s.ok("Hide: outer height 1635 twips")
    h.wait_until(lambda: s.settings().get("Settings", {}).get("Height") == "1635", 5,
                 "Height=1635 in the file")
    s.ok("Height=1635 written")
    s.menu("f", "e")
    status = s.wait_exit()
    s.check(status == 0, "exit status 0", "status %s" % status)
    st = s.settings().get("Settings", {})
    want = {"Position-Left": str(moved[0] * h.TWIPS_PER_PX),
            "Position-Top": str(moved[1] * h.TWIPS_PER_PX), "Height": "1635"}
    for k, v in want.items():
        s.check(st.get(k) == v, "after exit %s=%s" % (k, v), "found %r" % st.get(k))
    return moved


def second_run(s, pty, moved):
    s.step("second start with the same settings")
    since = time.monotonic_ns()
    s.start_program()
    s.wait_started(pty)
    check_open_sequence(s, s.events(pty, since_ns=since))
    fx, fy, fw, fh = s.frame_geometry()
    s.check((fx, fy) == moved[:2], "window back at %d,%d" % moved[:2], "at %d,%d" % (fx, fy))
    s.check(fh == h.HEIGHT_HIDDEN // h.TWIPS_PER_PX, "outer height 1635 twips (109 px)",
            "%d px" % fh)
    s.mouse_away()
    tx, below, lists = s.view_contents()
    s.check(tx and below == 0, "only the TX button shows under the menu bar",
            "TX drawn %s, %d pixels drawn below it" % (tx, below))

    s.menu("s", "s")
    s.wait_frame_height(h.HEIGHT_FULL // h.TWIPS_PER_PX)
    tx, below, lists = s.view_contents()
    s.check(lists > 200, "Show: the lists are back (%d pixels drawn)" % lists)
    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    moved = first_run(s, pty)
    second_run(s, pty, moved)


if __name__ == "__main__":
    h.run(test)
