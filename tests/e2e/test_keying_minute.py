"""A full keying of one real minute: the time-out releases DTR at the deadline by itself."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


def test(s):
    pty = s.start_on_com1()
    s.check(s.settings()["Settings"].get("Timer") == "1", "time-out is 1 minute")

    raised = s.click_tx(pty, 1)
    s.ok("keyed at %.3f s" % (raised.t_ns / 1e9))

    s.step("waiting for the time-out")
    # Half-way through, still keyed.
    time.sleep(30)
    s.check(h.line_state(s.events(pty)) == (True, 1, 0), "still keyed after 30 s")
    drop = s.wait_event(pty, lambda e: e.t_ns > raised.t_ns and e.dtr == 0, timeout=40,
                        what="DTR dropping by itself")
    held = (drop.t_ns - raised.t_ns) / 1e9
    print("  DTR held %.3f s (%s)" % (held, drop.event))
    s.check(60.0 <= held <= 61.0, "released between 60.0 and 61.0 s after the raise",
            "%.3f s" % held)
    s.check(drop.event != "close", "released with the port left open")
    s.wait_tx_look(False)
    s.ok("TX back to the button face colour")
    time.sleep(0.5)
    s.check(h.line_state(s.events(pty)) == (True, 0, 0), "port open, DTR and RTS low")


if __name__ == "__main__":
    h.run(test, limit=110)
