"""Always On Top: the check box sets and clears the window manager's above state without
moving or resizing the window, and the choice is saved."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

ABOVE = "_NET_WM_STATE_ABOVE"


def toggle(s, pty, want_above):
    before = s.frame_geometry()
    s.click_centre(h.CHKONTOP_RECT)
    label = "ticked" if want_above else "cleared"
    h.wait_until(lambda: (ABOVE in s.net_wm_state()) == want_above, 5,
                 "%s %s on the window" % (ABOVE, "set" if want_above else "removed"))
    s.ok("box %s: %s %s" % (label, ABOVE, "set" if want_above else "removed"))
    time.sleep(0.5)  # a late move or resize would show by now
    after = s.frame_geometry()
    s.check(after == before, "box %s: window not moved or resized" % label,
            "frame %s -> %s" % (before, after))
    want = "1" if want_above else "0"
    h.wait_until(lambda: s.settings().get("Settings", {}).get("OnTop") == want, 5,
                 "OnTop=%s in the file" % want)
    s.ok("OnTop=%s written" % want)
    s.check(h.line_state(s.events(pty)) == (True, 0, 0), "port still open with lines low")


def test(s):
    pty = s.start_on_com1()
    s.check(ABOVE not in s.net_wm_state(), "not on top at first start",
            "state %s" % s.net_wm_state())
    closes = len([e for e in s.events(pty) if e.event == "close"])
    toggle(s, pty, True)
    toggle(s, pty, False)
    toggle(s, pty, True)
    s.check(len([e for e in s.events(pty) if e.event == "close"]) == closes,
            "the box never closed the port")

    s.step("a second start keeps the window on top")
    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")
    s.start_program()
    s.wait_started(pty)
    h.wait_until(lambda: ABOVE in s.net_wm_state(), 5, ABOVE + " after the restart")
    s.ok("%s set again from OnTop=1" % ABOVE)


if __name__ == "__main__":
    h.run(test)
