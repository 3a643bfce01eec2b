"""Help > About while keyed: the transmitter is released before the box appears, the port
stays open, and TX keys again once the box is dismissed."""

import os
import re
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


def project_version():
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    with open(top, encoding="utf-8") as f:
        m = re.search(r"project\(\s*\w+\s+VERSION\s+([\d.]+)", f.read())
    return m.group(1) if m else None


def test(s):
    pty = s.start_on_com1()

    s.step("key, then Help > About")
    s.click_tx(pty, 1)
    s.wait_tx_look(True)
    keyed_at = s.events(pty)[-1].t_ns
    s.ok("keyed: DTR high, TX red")

    s.menu("h", "a")
    box = h.wait_until(lambda: s.alive() and s.dialogs(), 10, "the About box", 0.005)[0]
    seen_ns = time.monotonic_ns()
    evs = s.events(pty, since_ns=keyed_at)
    drop = next((e for e in evs if e.dtr == 0), None)
    s.check(drop is not None and drop.t_ns <= seen_ns, "DTR dropped before the box was seen",
            "events since keying %s" % evs)
    print("  DTR dropped (%s) %.1f ms before the box was seen mapped" % (
        drop.event, (seen_ns - drop.t_ns) / 1e6))
    s.check(h.line_state([e for e in evs if e.t_ns <= seen_ns]) == (True, 0, 0),
            "DTR low, RTS low, port open while the box is up")
    s.check(s.title(box) == h.APP_NAME, "box caption %r" % h.APP_NAME)
    text = s.message_text(box)
    print("  box text: %r" % text)
    version = project_version()
    s.check(h.APP_NAME in text and version is not None and version in text,
            "box names the program and version %s" % version, "text %r" % text)

    # The box covers the small window; move it aside to look at the button.
    s.xrun("xdotool", "windowmove", "--sync", str(box), "900", "700")
    s.mouse_away()
    s.wait_tx_look(False)
    s.ok("TX back to the button face colour while the box is up")

    s.activate(box)
    s.key("Return")
    s.wait_no_dialog()
    s.ok("Return dismisses the box")
    evs = s.events(pty, since_ns=keyed_at)
    s.check(all(e.event != "close" for e in evs), "port never closed",
            "events since keying %s" % evs)

    s.step("TX keys again")
    s.activate()
    s.click_tx(pty, 1)
    s.wait_tx_look(True)
    s.ok("DTR high again, TX red")
    s.click_tx(pty, 0)
    s.ok("and released")


if __name__ == "__main__":
    h.run(test)
