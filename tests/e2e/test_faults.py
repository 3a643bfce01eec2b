"""Faults: crashes and signals while keyed, a lost adapter, a second copy, a full disk, and the
window's thread held past the time-out."""
import glob, os, signal, sys
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F403


def folder(i):
    return os.path.dirname(i.conf)


def lock_holder(i):
    files = glob.glob(os.path.join(i.dir, "lock", "LCK..*"))
    return int(open(files[0]).read()) if files else None


def fatal(sig):
    """The lines lowered by the program itself, then the end by that very signal."""
    def step(i):
        pid, t = i.proc.pid, time.monotonic_ns()
        expect(lock_holder(i) == pid, "the lock file does not hold %d" % pid)
        os.kill(pid, sig)
        expect(i.wait_exit() == -sig, "ended with %s" % i.proc.returncode)
        after = [e for e in i.events(1, t) if e.pid == pid]
        expect([(e.kind, e.dtr, e.rts) for e in after] == [("TIOCMBIC", 0, 0)], "%s" % after)
    return step


def restarted(i):
    """A new start takes the port over what the ended one left behind."""
    i.start()
    expect(not i.boxes() and lock_holder(i) == i.proc.pid, "the port not taken again")


def cpu(i):
    with open("/proc/%d/stat" % i.proc.pid) as f:
        return sum(map(int, f.read().rsplit(")", 1)[1].split()[11:13])) / os.sysconf("SC_CLK_TCK")


def lost(how):
    """Noticed within a second or so: the port closed with DTR low, the message once, TX idle,
    and no CPU spent waiting."""
    def step(i):
        t = time.monotonic_ns()
        i.ptys[1].unplug() if how == "unplug" else i.rules("fail ioctl EIO")
        closed = wait_until(lambda: [e for e in i.events(1, t) if e.kind == "close"], 3, "a close")[0]
        expect(closed.t - t < 1.6e9 and not closed.dtr, "closed %.2f s on: %s" % (
            (closed.t - t) / 1e9, closed))
        expect(not [e for e in i.events(1, t) if e.kind == "TIOCMBIS"], "raised while lost")
        expect(i.box() == NOT_AVAILABLE % 1, "the message %r" % i.boxes())
        used = cpu(i)
        time.sleep(2)
        expect(cpu(i) - used < 0.3 and len(i.boxes()) == 1, "spinning, or a second message")
        i.ok()
        i.rules()
    return step


def replugged(i):
    """A new adapter on COM1, and Com01 chosen again: opened (maybe already by itself) with its
    lines low."""
    if i.ptys[1].master is None:
        i.ptys[1] = Pty()
        i.ports[1] = i.ptys[1].path
        i.write(i.settings())
    t = time.monotonic_ns()
    i.choose(PORTS, "Com01")
    i.wait_lines((True, 0, 0))
    evs = i.events(1, t)
    expect(not [e for e in evs if e.kind != "open" and (e.dtr or e.rts)], "raised: %s" % evs)


def second_copy(i):
    """A second copy on the same port: its message, and the line never touched."""
    b = i.peer().start()
    expect(b.box() == NOT_AVAILABLE % 1, "the second copy says %r" % b.boxes())
    expect(not [e for e in i.events() if e.pid == b.proc.pid], "the second copy drove the line")
    expect("locked by process %d" % i.proc.pid in b.stderr(), "stderr %r" % b.stderr())
    b.ok()
    b.menu("fe")
    expect(b.wait_exit() == 0 and i.lines() == (True, 1, 0), "the first one's keying ended")


def fails_to_save(i):
    """The error box, the port closed with the lines low while it is up, status 1 after; the file
    as it was, and nothing else left in its folder."""
    expect(i.box().startswith(FATAL), "the box says %r" % i.boxes())
    expect(i.lines() == (False, 0, 0) and i.alive(), "the lines %s" % (i.lines(),))
    i.ok()
    expect(i.wait_exit() == 1 and i.text() == i.before, "status %s, the file now %r" % (
        i.proc.returncode, i.text()))
    expect(os.listdir(folder(i)) == [APP + ".conf"], "left %s" % os.listdir(folder(i)))


def held_past_deadline(i):
    """Keyed, and the window's thread held in a save from just before the deadline: DTR still
    falls within a second of it, by the program's watchdog, and is never raised again."""
    i.click(TX)
    i.wait_lines((True, 1, 0))
    up = [e for e in i.events(1) if e.kind == "TIOCMBIS"][-1]
    time.sleep(max(0.0, (up.t + 58.9e9 - time.monotonic_ns()) / 1e9))
    expect(i.lines() == (True, 1, 0), "released before the deadline")
    t = i.rules("block rename 3000 %s once" % folder(i))
    i.menu("sh")
    hold = wait_until(lambda: [e for e in i.s.events({i.conf}, t) if e.kind == "fault"], 5,
                      "the save to be held")[0]
    drop = wait_until(lambda: [e for e in i.events(1, up.t + 1) if not e.dtr], 5, "DTR to fall")[0]
    late = (drop.t - up.t) / 1e9 - 60
    expect(hold.t < up.t + 60e9 and 0 <= late <= 1 and drop.pid == i.proc.pid and
           drop.t < hold.t + 3e9, "released %.3f s after the deadline by %s, held at %.3f s" % (
               late, drop, (hold.t - up.t) / 1e9))


KEYED = {"Position-Left": 15000, "Position-Top": 750, "Timer": 1}
ROWS = [
    ("%s while keyed: the lines lowered first; the next start takes the port" % sig.name, {},
     [tx(1), fatal(sig), restarted, lines((True, 0, 0))]) for sig in (signal.SIGSEGV,
                                                                     signal.SIGABRT)
] + [
    ("SIGKILL while keyed: the line falls, HUPCL stays set; the next start takes the port",
     {"start": False},
     [check(lambda i: not i.ptys[1].hupcl(), "a fresh pty with HUPCL"), lambda i: i.start(),
      tx(1), send(signal.SIGKILL), exits(-signal.SIGKILL), lines((False, 0, 0)),
      check(lambda i: i.ptys[1].hupcl(), "HUPCL not set"), restarted]),
] + [
    ("%s while keyed: all saved, the lines lowered, then closed, status 0" % sig.name, {},
     [moved, tx(1), send(sig), exits(0), ended_well]) for sig in (signal.SIGTERM, signal.SIGHUP,
                                                                  signal.SIGINT)
] + [
    ("the adapter unplugged idle and keyed, its ioctls failing: noticed, shown, released", {},
     [lost("unplug"), replugged, tx(1), lost("unplug"), look(False), replugged, lost("EIO"),
      replugged]),
    ("a second copy on the same port: its message, the first one's keying untouched", {},
     [tx(1), second_copy, look(True), tx(0)]),
    ("a full disk while keyed: the error, the lines released, status 1, the file kept", {},
     [tx(1), lambda i: setattr(i, "before", i.text()),
      lambda i: i.rules("fail write ENOSPC %s/#" % folder(i)), menu("sh"), fails_to_save]),
]
MINUTE = [
    ("the window's thread held past the time-out: the watchdog releases, the save goes on", {
        "settings": KEYED}, [held_past_deadline, look(False), saved(Height=COMPACT),
                             check(lambda i: [e.kind for e in i.events(1)].count("TIOCMBIS") == 1,
                                   "raised again")]),
]

if __name__ == "__main__":
    run(ROWS, MINUTE)
