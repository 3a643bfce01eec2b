"""The keying watchdog: with the window's thread held in a settings save across the
deadline, DTR still drops within a second of it, from the watchdog's thread; once the save
goes through, the button shows idle and the line is never raised again."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402

BLOCK_MS = 3000


def test(s):
    pty = s.start_on_com1()
    s.check(s.settings()["Settings"].get("Timer") == "1", "time-out is 1 minute")

    raised = s.click_tx(pty, 1)
    deadline_ns = raised.t_ns + 60 * 10**9

    s.step("waiting until shortly before the deadline")
    time.sleep(max(0.0, (raised.t_ns + 58.9e9 - time.monotonic_ns()) / 1e9))
    s.check(h.line_state(s.events(pty)) == (True, 1, 0), "still keyed at 58.9 s")
    # Setup > Hide saves the new height: its rename is held for 3 s, and with it the thread.
    s.set_control("block rename %d %s once" % (BLOCK_MS, s.config_dir))
    s.menu("s", "h")
    block = h.wait_until(lambda: [f for f in s.faults(raised.t_ns) if f.event == "fault"], 5,
                         "the save's rename to be held")[0]
    held_at = (block.t_ns - raised.t_ns) / 1e9
    s.check(block.pid == s.proc.pid and block.extra.get("call") == "rename",
            "the program's rename held", repr(block))
    s.check(block.t_ns < deadline_ns, "window thread held from %.2f s, before the deadline"
            % held_at)

    drop = s.wait_event(pty, lambda e: e.t_ns > raised.t_ns and e.dtr == 0, timeout=5,
                        what="DTR dropping")
    after = (drop.t_ns - deadline_ns) / 1e9
    print("  DTR dropped %.3f s after the deadline (%s)" % (after, drop.event))
    s.check(0.0 <= after <= 1.0, "DTR low within 1 s after the deadline", "%.3f s" % after)
    s.check(drop.event == "TIOCMBIC" and drop.pid == s.proc.pid and drop.rts == 0,
            "lowered by the program with TIOCMBIC, port left open", repr(drop))
    s.check(block.t_ns < drop.t_ns < block.t_ns + BLOCK_MS * 10**6,
            "lowered while the window's thread was still held: the watchdog did it")

    unblock = h.wait_until(lambda: [f for f in s.faults(raised.t_ns) if f.event == "unblock"],
                           BLOCK_MS / 1000 + 3, "the rename to go ahead")[0]
    s.wait_tx_look(False, timeout=3)
    s.ok("TX shows idle after the save went through")
    s.wait_frame_height(h.HEIGHT_HIDDEN // h.TWIPS_PER_PX)
    s.check(s.settings()["Settings"].get("Height") == str(h.HEIGHT_HIDDEN),
            "the held save completed (Height=%d)" % h.HEIGHT_HIDDEN)
    time.sleep(1.0)
    later = [e for e in s.events(pty, since_ns=raised.t_ns + 1)]
    s.check(all(e.dtr == 0 for e in later), "DTR never raised again",
            "events %r" % later)
    s.check(all(e.event != "TIOCMBIS" for e in later), "no TIOCMBIS after the keying")
    s.check(h.line_state(s.events(pty)) == (True, 0, 0), "port open, DTR and RTS low")
    print("  window released again %.3f s after the rename went ahead" % (
        ([e for e in later if e.t_ns > unblock.t_ns] or [unblock])[0].t_ns / 1e9
        - unblock.t_ns / 1e9))

    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")


if __name__ == "__main__":
    rel.run(test, limit=110)
