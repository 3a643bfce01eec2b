"""Ports: a port that cannot be opened shows its message box; choosing another port from the
list, with the mouse and with the keyboard, moves the line to the new device."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

MISSING = "/nonexistent/ttyX"


def expect_box(s, port):
    box = s.wait_dialog()
    s.check(s.title(box) == h.APP_NAME, "message box caption %r" % h.APP_NAME,
            "caption %r" % s.title(box))
    s.check(s.is_transient(box), "message box belongs to the main window")
    want = "COM %d: not available. Check for correct Com Port." % port
    text = s.message_text(box)
    s.check(text == want, "message text %r" % want, "text %r" % text)
    s.activate(box)
    s.key("Return")
    s.wait_no_dialog()
    s.ok("Return dismisses the box")


def expect_moved(s, old, new, label):
    """The old device closed with both lines low, the new one open with both low."""
    s.wait_line(new, (True, 0, 0))
    s.wait_idle(new)
    old_evs, new_evs = s.events(old), s.events(new)
    s.check(h.line_state(old_evs) == (False, 0, 0) and old_evs[-1].event == "close",
            "%s: old device closed with DTR=0 RTS=0" % label, "last %r" % old_evs[-1:])
    opened = [e for e in new_evs if e.event == "open"][-1]
    s.check(old_evs[-1].t_ns < opened.t_ns, "%s: old device closed before the new opened" % label)
    s.check(all((e.dtr, e.rts) == (0, 0) for e in new_evs[new_evs.index(opened) + 1:]),
            "%s: new device kept both lines low" % label)


def test(s):
    com1, com2, com4 = s.add_pty(1), s.add_pty(2), s.add_pty(4)
    s.write_settings({1: com1, 2: com2, 3: MISSING, 4: com4},
                     {"Position-Left": 6000, "Position-Top": 4500, "OnTop": 0, "ComPort": 3,
                      "Height": 3090, "Timer": 1})

    s.step("start on COM3, which does not exist")
    s.start_program()
    expect_box(s, 3)
    s.check(all(not s.events(p) for p in (com1, com2, com4)), "no device opened")
    # A failed open leaves the list as it was; only print what it shows.
    print("  port list shows %r after the failed start" % s.field_text(h.COMBO1_RECT))

    s.step("Com01 chosen with the mouse")
    popup = s.open_list(h.COMBO1_RECT)
    s.choose_from_list(popup, 0, 15)
    s.wait_line(com1, (True, 0, 0))
    s.wait_idle(com1)
    s.check(not s.dialogs(), "no message box")
    s.check(s.field_text(h.COMBO1_RECT) == "Com01", "port list shows Com01")

    s.step("Com02 chosen with the Down key")
    s.key("Down")
    expect_moved(s, com1, com2, "Com01 -> Com02")
    s.check(s.field_text(h.COMBO1_RECT) == "Com02", "port list shows Com02")

    s.step("Com03 chosen with the Down key: missing device")
    s.key("Down")
    expect_box(s, 3)

    s.step("Com04 chosen with the mouse")
    popup = s.open_list(h.COMBO1_RECT)
    s.choose_from_list(popup, 3, 15)
    s.wait_line(com4, (True, 0, 0))
    s.wait_idle(com4)
    s.check(h.line_state(s.events(com2)) == (False, 0, 0), "Com02's device is closed")
    s.check(s.field_text(h.COMBO1_RECT) == "Com04", "port list shows Com04")

    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")
    st = s.settings().get("Settings", {})
    s.check(st.get("ComPort") == "4", "ComPort=4 saved", "found %r" % st.get("ComPort"))
    s.check(h.line_state(s.events(com4)) == (False, 0, 0), "Com04's device closed at exit")


if __name__ == "__main__":
    h.run(test)
