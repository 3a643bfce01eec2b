"""A device that goes away: its pty master closed while idle and while keyed, and ioctls that
start failing with EIO. Each time the program notices within the bound, lets the button go
idle, shows the port message once, leaves the line low or the port closed, does not spin,
and takes a new device for the port when the operator chooses the port again."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402

NOTICE_S = 1.0


def expect_loss(s, pty, since, bound, label):
    """The program's reaction to losing pty at `since` (monotonic ns)."""
    closed = s.wait_event(pty, lambda e: e.event == "close", timeout=bound + 2, since_ns=since,
                          what="the port to be closed")
    took = (closed.t_ns - since) / 1e9
    s.check(took <= bound, "%s: noticed and closed within %.1f s" % (label, bound),
            "%.3f s" % took)
    evs = s.events(pty, since_ns=since)
    s.check(all(e.event != "TIOCMBIS" for e in evs), "%s: no raise while losing it" % label)
    s.check(closed.dtr == 0, "%s: DTR low at the close" % label, repr(closed))
    box = s.wait_dialog(timeout=bound + 1)
    seen = (time.monotonic_ns() - since) / 1e9
    s.check(seen <= bound + 0.5, "%s: message box up %.2f s after the loss" % (label, seen))
    # The box sits over the small main window: move it off to see the button.
    s.xrun("xdotool", "windowmove", str(box), "900", "700")
    s.wait_tx_look(False, timeout=1)
    s.ok("%s: TX shows idle (%.2f s after the loss)" % (label, (time.monotonic_ns() - since) / 1e9))
    text = s.message_text(box)
    s.check(text == rel.LOST_TEXT, "%s: message %r" % (label, rel.LOST_TEXT), repr(text))
    cpu0 = s.cpu_seconds()
    time.sleep(3)
    used = s.cpu_seconds() - cpu0
    s.check(used < 0.3, "%s: %.2f s of CPU in the 3 s after the loss (no spin)" % (label, used))
    s.check(s.dialogs() == [box], "%s: one message box" % label, repr(s.dialogs()))
    s.dismiss(box)
    time.sleep(1.5)
    s.check(not s.dialogs(), "%s: no second message box" % label)
    s.check(h.line_state(s.events(pty)) == (False, 0, 0), "%s: port stays closed" % label)


def replug(s, label):
    """A new pty mapped to COM1 and Com01 chosen again from the list."""
    since = time.monotonic_ns()  # the new pty may well get the old one's number
    pty = s.add_pty(1)
    s.remap(1, pty)
    popup = s.open_list(h.COMBO1_RECT)
    s.choose_from_list(popup, 0, 15)
    s.wait_line(pty, (True, 0, 0), since_ns=since)
    s.wait_idle(pty)
    evs = s.events(pty, since_ns=since)
    opened = [i for i, e in enumerate(evs) if e.event == "open"]
    s.check(len(opened) == 1, "%s: new device opened once" % label, repr(evs))
    s.check(all((e.dtr, e.rts) == (0, 0) for e in evs[opened[0] + 1:]),
            "%s: new device opened with the lines low" % label, repr(evs))
    s.check(not s.dialogs(), "%s: no message box" % label)
    return pty


def test(s):
    pty = s.start_on_com1()

    s.step("device gone while idle")
    since = time.monotonic_ns()
    pty.unplug()
    expect_loss(s, pty, since, NOTICE_S, "idle")
    pty = replug(s, "re-plugged")

    s.step("device gone while keyed")
    s.click_tx(pty, 1)
    since = time.monotonic_ns()
    pty.unplug()
    expect_loss(s, pty, since, NOTICE_S, "keyed")
    lowered = [e for e in s.events(pty, since_ns=since) if e.dtr == 0]
    s.check(lowered and lowered[0].event in ("TIOCMBIC", "close"),
            "keyed: DTR lowered before or by the close", repr(lowered[:2]))
    pty = replug(s, "re-plugged after keying")

    s.step("ioctls failing with EIO while idle")
    since = s.set_control("fail ioctl * EIO")
    expect_loss(s, pty, since, 1.5, "EIO")
    faults = [f for f in s.faults(since) if f.path == pty.path]
    s.check(faults and faults[0].extra.get("req") == "TIOCMGET",
            "EIO: noticed by the probe's TIOCMGET", repr(faults[:1]))
    s.set_control()
    pty = replug(s, "after the EIO")

    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")


if __name__ == "__main__":
    rel.run(test, limit=100)
