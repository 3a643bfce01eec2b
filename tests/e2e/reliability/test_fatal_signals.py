"""Fatal signals during a keying: SIGSEGV and SIGABRT lower DTR and RTS on the open port
before the process ends by that very signal; the lock file it leaves is stale, and the next
start takes the port again with the lines low."""

import os
import signal
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402


def keyed_then_signalled(s, pty, sig):
    s.step("keyed, then %s" % sig.name)
    s.start_program()
    s.wait_started(pty)
    pid = s.proc.pid
    with open(s.lock_file(pty)) as f:
        s.check(f.read() == "%10d\n" % pid, "lock file holds pid %d" % pid)
    raised = s.click_tx(pty, 1)

    os.kill(pid, sig)
    status = s.wait_exit(10)
    gone_ns = time.monotonic_ns()
    s.check(status == -sig, "ended by %s (returncode %d)" % (sig.name, -sig),
            "returncode %s" % status)
    after = [e for e in s.events(pty, since_ns=raised.t_ns + 1) if e.pid == pid]
    s.check(len(after) >= 1 and after[0].event == "TIOCMBIC" and (after[0].dtr, after[0].rts)
            == (0, 0), "first event after the signal: TIOCMBIC with DTR=0 RTS=0",
            "events %r" % after)
    s.check(after[0].t_ns < gone_ns, "lines lowered before the process was gone")
    s.check(all(e.event != "TIOCMBIS" for e in after), "no raise after the signal")
    # The handler touches the lines once and then lets the signal end the process.
    s.check([e.event for e in after] == ["TIOCMBIC"], "nothing else done on the port",
            "events %r" % after)
    s.check(not os.path.exists(s.lock_file(pty)), "lock file removed by the dying process")


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    for sig in (signal.SIGSEGV, signal.SIGABRT):
        keyed_then_signalled(s, pty, sig)

    s.step("restart over the stale lock")
    s.start_program()
    s.wait_started(pty)
    s.check(not s.dialogs(), "no port message: the stale lock was replaced")
    with open(s.lock_file(pty)) as f:
        s.check(f.read() == "%10d\n" % s.proc.pid, "lock file now holds the new pid")
    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "exit status 0")
    s.check(not os.path.exists(s.lock_file(pty)), "lock file removed at exit")


if __name__ == "__main__":
    rel.run(test, limit=80)
