"""SIGKILL leaves no chance to lower the lines: what protects the transmitter then is HUPCL,
with which the kernel drops DTR at the last close of a real UART. It must be set on the port
all the while the program has it open, and still be there after the kill."""

import os
import signal
import sys
import termios

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402


def slave_hupcl(pty):
    # Termios requests on a pty's master act on its slave: no second opener is needed.
    return bool(termios.tcgetattr(pty.master)[2] & termios.HUPCL)


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    s.check(not slave_hupcl(pty), "a fresh pty has HUPCL clear")
    s.start_program()
    s.wait_started(pty)
    sets = [e for e in s.events(pty) if e.event == "tcsetattr"]
    s.check(sets and all(e.extra.get("HUPCL") == "1" for e in sets),
            "every tcsetattr of the program sets HUPCL=1", repr(sets))
    s.check(slave_hupcl(pty), "slave's c_cflag has HUPCL while the program runs")

    s.click_tx(pty, 1)
    s.check(slave_hupcl(pty), "HUPCL still set while keyed")

    s.signal(signal.SIGKILL)
    s.check(s.wait_exit(10) == -signal.SIGKILL, "ended by SIGKILL")
    s.check(slave_hupcl(pty), "HUPCL still set on the slave after the kill")

    s.step("restart after the kill")
    s.start_program()
    s.wait_started(pty)
    s.check(not s.dialogs(), "port taken again over the killed process's lock")
    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")


if __name__ == "__main__":
    rel.run(test, limit=60)
