"""Two instances on one port: while the first one keys the transmitter, a second one started
on the same port shows the port message and never touches the line (not even an open, which
would raise and then lower it); the first one's keying goes on undisturbed."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402


def test(s):
    pty = s.start_on_com1()
    first = s.proc.pid
    with open(s.lock_file(pty)) as f:
        s.check(f.read() == "%10d\n" % first, "first instance holds %s" % s.lock_file(pty))

    raised = s.click_tx(pty, 1)

    s.step("second instance on the same port")
    b = s.peer()
    b.start_program()
    box = b.wait_dialog()
    second = b.proc.pid
    text = b.message_text(box)
    s.check(text == rel.LOST_TEXT, "second instance: message %r" % rel.LOST_TEXT, repr(text))
    s.check(not [e for e in s.events(pty) if e.pid == second],
            "second instance never opened or drove the device",
            repr([e for e in s.events(pty) if e.pid == second]))
    s.check("locked by process %d" % first in b.stderr_text(),
            "second instance says which process holds the port")
    s.check(not s.dialogs(), "no message box in the first instance")
    b.dismiss(box)
    b.menu("f", "e")
    s.check(b.wait_exit() == 0, "second instance exits with status 0")

    later = s.events(pty, since_ns=raised.t_ns + 1)
    s.check(not later, "first instance's line unchanged through all of it", repr(later))
    s.check(h.line_state(s.events(pty)) == (True, 1, 0), "first instance still keyed")
    s.wait_tx_look(True, timeout=1)
    s.ok("first instance's TX still shows keyed")
    with open(s.lock_file(pty)) as f:
        s.check(f.read() == "%10d\n" % first, "lock file still the first instance's")

    s.step("the first instance ends its keying and exits")
    s.click_tx(pty, 0)
    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "first instance exits with status 0")
    s.check(not os.path.exists(s.lock_file(pty)), "lock file removed with the port")


if __name__ == "__main__":
    rel.run(test, limit=60)
