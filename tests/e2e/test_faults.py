# SPDX-License-Identifier: GPL-3.0-or-later
"""Faults: crashes and signals while keyed, the guardian, a lost adapter, stores that cannot be
written or locked, FIFOs where files belong, a port keyed low, the window held past the time-out."""
import glob, os, shutil, signal, socket
import harness
from harness import *  # noqa: F403

def folder(i):
    return os.path.dirname(i.conf)

def dtr_low(within, by_self, after=0.0):
    """DTR down within that many seconds of the signal (and not before `after`), by the program
    itself or the guardian."""
    def step(i):
        drop = wait_until(lambda: [e for e in i.events(1, i.sent) if not e.dtr], 5, "DTR low")[0]
        expect(after * 1e9 <= drop.t - i.sent < within * 1e9 and (
            drop.pid == i.proc.pid) == by_self, "DTR fell %.3f s after the signal by %s" % (
                (drop.t - i.sent) / 1e9, drop))
    return step

def told(answer):
    """What a client of remote keying hears when it asks whether the line is keyed."""
    return lambda i: expect(Client(i).ask("t") == answer, "t is not %s" % answer)

def restarted(i):
    """A new start takes the port over what the ended one left behind, with its lines at rest."""
    expect(not i.start().boxes(), "the port not taken again")
    i.wait_lines((True, 0, 0))

def resumed(i):
    """Running again: TX idle, and the line not raised again."""
    os.kill(i.proc.pid, signal.SIGCONT)
    look(False)(i)
    time.sleep(0.5)
    expect(not [e for e in i.events(1, i.sent) if e.kind == "TIOCMBIS"], "raised again")

def guardian(i):
    kids = [int(k) for f in glob.glob("/proc/%d/task/*/children" % i.proc.pid)
            for k in open(f).read().split()]
    expect(len(kids) == 1, "the program's children: %s" % kids)
    return kids[0]

def hold_store_lock(i):
    """The settings lock held by a live process, this one, as QLockFile writes it."""
    open(i.conf + ".lock", "w").write("%d\n%s\n%s\n" % (
        os.getpid(), os.path.basename(os.readlink("/proc/self/exe")), socket.gethostname()))

def shield(i):
    """The built-in device of a port with no usable entry held by a live process, this one: even
    a faulty program does not open the console."""
    open(os.path.join(i.dir, "lock", "LCK..ttyS0"), "w").write("%10d\n" % os.getpid())

def port_lock(i):
    return os.path.join(i.dir, "lock", "LCK.." + i.ports[1][5:].replace("/", "_"))

def linked(i):
    """COM1 mapped to a link in the instance's folder that leads to its pty."""
    i.link = os.path.join(i.dir, "ttyLINK")
    os.symlink(i.ptys[1].path, i.link)
    i.ports[1] = i.link
    i.write()

def plugged(i):
    """A new adapter behind the link: opened by the program itself within 2 s, at rest."""
    i.ptys[1], t = i.spares.pop() if i.spares else Pty(), time.monotonic_ns()
    os.symlink(i.ptys[1].path, i.link)
    i.wait_lines((True, 0, 0))
    evs = i.events(1, t)
    expect(evs[0].kind == "open" and evs[0].t - t < 2e9, "opened %s" % evs[:1])
    expect(not [e for e in evs if e.kind != "open" and (e.dtr or e.rts)], "raised: %s" % evs)
    expect(not i.boxes(), "a box")

def cpu(i):
    with open("/proc/%d/stat" % i.proc.pid) as f:
        return sum(map(int, f.read().rsplit(")", 1)[1].split()[11:13])) / os.sysconf("SC_CLK_TCK")

def lost(how):
    """Noticed within a second or so: the port closed with DTR low, the message once, TX idle,
    and no CPU spent waiting."""
    def step(i):
        t = time.monotonic_ns()
        if how == "unplug":  # the link goes with the adapter
            os.remove(i.link)
        i.ptys[1].unplug() if how == "unplug" else i.rules("fail ioctl EIO")
        closed = wait_until(lambda: [e for e in i.events(1, t) if e.kind == "close"], 3,
                            "a close")[0]
        expect(closed.t - t < 1.6e9 and not closed.dtr, "closed %.2f s on: %s" % (
            (closed.t - t) / 1e9, closed))
        expect(not [e for e in i.events(1, t) if e.kind == "TIOCMBIS"], "raised while lost")
        expect(i.box() == NOT_AVAILABLE % 1, "the message %r" % i.boxes())
        used = cpu(i)
        time.sleep(2)
        expect(cpu(i) - used < 0.3 and len(i.boxes()) == 1, "spinning, or a second message")
        i.ok()
        i.rules()
        look(False)(i)
    return step

def chosen(i):
    """Com01 chosen again: opened with its lines low."""
    t = time.monotonic_ns()
    i.choose(PORTS, "Com01")
    i.wait_lines((True, 0, 0))
    expect(not [e for e in i.events(1, t) if e.kind != "open" and (e.dtr or e.rts)], "raised")

def fails_to_save(i):
    """The error box, the port closed with the lines low while it is up; after a SIGTERM, ended in
    2 s with status 1, the file as it was, nothing else left in its folder, no second box."""
    expect(i.box().startswith(FATAL), "the box says %r" % i.boxes())
    expect(i.lines() == (False, 0, 0) and i.alive(), "the lines %s" % (i.lines(),))
    send(signal.SIGTERM)(i)
    exits(1, 2)(i)
    expect(i.text() == i.before and os.listdir(folder(i)) == [APP + ".conf"], "the file now %r, "
           "in the folder %s" % (i.text(), os.listdir(folder(i))))
    expect("did not end in time" not in i.stderr(), "held up by a second box")

def held_past_deadline(i):
    """Keyed, and the window's thread held in a save from just before the deadline: DTR still
    falls at the minute, by the program's own time-out, and is never raised again."""
    tx(1)(i)
    up = [e for e in i.events(1) if e.kind == "TIOCMBIS"][-1]
    time.sleep(max(0.0, (up.t + 58.9e9 - time.monotonic_ns()) / 1e9))
    expect(i.lines() == (True, 1, 0), "released before the deadline")
    t = i.rules("block rename 3000 %s once" % folder(i))
    i.menu("sh")
    hold = wait_until(lambda: [e for e in i.s.events({i.conf}, t) if e.kind == "fault"], 5,
                      "the save to be held")[0]
    drop = wait_until(lambda: [e for e in i.events(1, up.t + 1) if not e.dtr], 5, "DTR to fall")[0]
    late = (drop.t - up.t) / 1e9 - 60
    expect(hold.t < up.t + 60e9 and -0.005 <= late <= 0.5 and drop.pid == i.proc.pid and
           drop.t < hold.t + 3e9, "released %.3f s after the deadline by %s, held at %.3f s" % (
               late, drop, (hold.t - up.t) / 1e9))
    expect(Client(i).ask("t") == "0" and time.monotonic_ns() < hold.t + 3e9, "t says keyed, "
           "or asked too late")
    look(False)(i)
    saved(Height=COMPACT)(i)
    expect([e.kind for e in i.events(1)].count("TIOCMBIS") == 1, "raised again")

def burst_then_stop(i):
    """2,000 keyings pipelined by a client, then one for good, then the program stopped: the
    guardian, which lost none of them, releases a second after the program fell silent."""
    c = Client(i)
    c.sock.sendall(b"T 1\nT 0\n" * 2000 + b"T 1\n")
    got = b""
    while got.count(b"RPRT") < 4001:
        got += c.sock.recv(65536)
    expect(got.count(b"RPRT 0") == 4001, "refused: %r" % got[-200:])
    i.wait_lines((True, 1, 0))
    send(signal.SIGSTOP)(i)
    drop = wait_until(lambda: [e for e in i.events(1, i.sent) if not e.dtr], 5, "DTR low")[0]
    took = (drop.t - i.sent) / 1e9
    expect(0.7 <= took <= 1.5 and drop.pid != i.proc.pid, "released %.3f s after the stop by %s"
           % (took, drop))
    os.kill(i.proc.pid, signal.SIGCONT)

def unrunnable_guardian(i):
    """The program beside a guardian that ends at once, counting its starts."""
    i.bin = os.path.join(i.dir, "zorore-ptt")
    shutil.copy(os.path.abspath(harness.ARGS.bin), i.bin)
    with open(os.path.join(i.dir, "zorore-ptt-guardian"), "w") as f:
        f.write("#!/bin/sh\necho x >> %s/tries\n" % i.dir)
    os.chmod(os.path.join(i.dir, "zorore-ptt-guardian"), 0o755)

def tried_a_few_times(i):
    time.sleep(5)
    tries = open(os.path.join(i.dir, "tries")).read().count("x")
    expect(2 <= tries <= 3 and i.stderr().count("until a guardian process runs") == 1,
           "%d tries in 5 s; stderr %r" % (tries, i.stderr()))

def keyed_low_chosen(i):
    """Setup > Ports…, Keyed when the line is: Low, Apply, by keys as an operator would."""
    i.menu("sp")
    wait_until(lambda: i.find("dialog"), 5, "the ports dialog")
    time.sleep(0.3)
    xrun("xdotool", "key", "alt+w", "Down", "alt+a", "sleep", "0.3", "key", "Escape")
    wait_until(lambda: "COM1-Keyed=Low" in i.text(), 5, "COM1-Keyed=Low in the file")

def said(text):
    return check(lambda i: text(i) in i.stderr(), "stderr without the reason")

remember = lambda i: setattr(i, "before", i.text())  # noqa: E731
unchanged = check(lambda i: i.text() == i.before, "the settings file changed")
STORE = {"Position-Left": 3000, "Position-Top": 2250, "OnTop": 0, "ComPort": 1, "Height": FULL,
         "Timer": 1}
GUARDIAN = ("The guardian process that keeps the time-out while Zorore_PTT cannot run has "
            "stopped. Any transmission was released.")
ROWS = [
    ("%s while keyed: the lines lowered by the program first; the next start takes the port"
     % sig.name, {}, [tx(1), send(sig), dtr_low(0.5, True), exits(-sig), restarted])
    for sig in (signal.SIGSEGV, signal.SIGABRT, signal.SIGUSR1, signal.SIGALRM)
] + [
    ("SIGKILL while keyed: the guardian lowers the line at once and lets the port go", {},
     [tx(1), send(signal.SIGKILL), dtr_low(0.1, False), exits(-signal.SIGKILL),
      lines((False, 0, 0)), restarted]),
    ("the adapter unplugged idle and keyed, its ioctls failing: noticed, shown, released; "
     "plugged in again behind its link: reopened at rest by itself", {"before": [linked]},
     [lost("unplug"), plugged, tx(1), lost("unplug"), plugged, lost("EIO"), chosen,
      tx(1)]),
    ("SIGSTOP while keyed: the guardian releases a second after the stop; the program resumes "
     "idle, and says so", {"remote": True},
     [tx(1), pause(1), send(signal.SIGSTOP), dtr_low(1.5, False, 0.7), check(lambda i: open(
         "/proc/%d/stat" % i.proc.pid).read().rsplit(")", 1)[1].split()[0] == "T", "running"),
      resumed, told("0")]),
    ("a burst of 2,000 remote keyings, then the program stopped: the guardian releases in time",
     {"remote": True}, [burst_then_stop, lambda i: look(False)(i)]),
    ("keyings while the guardian is stopped: released, said once, a new guardian; TX keys again",
     {"remote": True},
     [lambda i: setattr(i, "old", guardian(i)) or os.kill(i.old, signal.SIGSTOP),
      lambda i: [Client(i).ask(t) for t in ("T 1", "T 0") * 100], box(GUARDIAN),
      lines((True, 0, 0)), look(False), pause(1),
      check(lambda i: guardian(i) != i.old, "no new guardian"), tx(1)]),
    ("a guardian that cannot run: no port, tried again a few times a minute, said once; a remote "
     "key refused", {"remote": True, "before": [unrunnable_guardian]},
     [box(NOT_AVAILABLE % 1), tried_a_few_times, lambda i: expect(
         Client(i).ask("T 1") == "RPRT -9", "keyed"), lines((False, 0, 0))]),
    ("a key the adapter refuses: the client told (RPRT -6), TX idle, the port message once",
     {"remote": True},
     [lambda i: i.rules("fail ioctl EIO"), lambda i: expect(Client(i).ask("T 1") == "RPRT -6",
                                                            "not told"), box(NOT_AVAILABLE % 1),
      look(False), lambda i: expect(not i.boxes() and Client(i).ask("t") == "0", "a second box")]),
    ("SIGTSTP while keyed: released by the program before it stops; it resumes idle", {},
     [tx(1), send(signal.SIGTSTP), dtr_low(0.1, True), resumed]),
    ("the guardian killed while keyed: released, said once, a new guardian; TX keys again", {},
     [tx(1), lambda i: setattr(i, "old", guardian(i)) or os.kill(i.old, signal.SIGKILL),
      box(GUARDIAN), lines((True, 0, 0)), look(False), pause(1),
      check(lambda i: not i.boxes() and guardian(i) != i.old, "a second box, or no new guardian"),
      tx(1)]),
    ("SIGTERM while keyed, the settings lock held elsewhere: released at once, ended in 2 s", {},
     [moved, tx(1), remember, hold_store_lock, send(signal.SIGTERM), dtr_low(0.05, True),
      exits(1, 2), unchanged]),
    ("a store that cannot be written, keyed: the box, the lines released; SIGTERM ends it", {},
     [tx(1), remember, lambda i: i.rules("fail rename EROFS %s" % folder(i)), menu("sh"),
      fails_to_save]),
    ("a FIFO at the port's lock file: refused at once and said; another port keys", {
        "ports": (1, 2), "before": [lambda i: os.mkfifo(port_lock(i))]},
     [box(NOT_AVAILABLE % 1), said(lambda i: port_lock(i) + " is not a regular file"),
      lambda i: i.choose(PORTS, "Com02"), tx(1, 2)]),
    ("a FIFO at the settings file: said, and the program runs without saving", {
        "before": [shield, lambda i: os.remove(i.conf) or os.mkfifo(i.conf)]},
     [box(NOT_AVAILABLE % 1), said(lambda i: i.conf + " is not a regular file; settings will "
                                   "not be kept"), menu("sh"), menu("fe"), exits(0)]),
    ("a FIFO at the settings lock: keying works; a change gives the box naming it", {},
     [lambda i: os.mkfifo(i.conf + ".lock"), remember, tx(1), tx(0), menu("sh"),
      lambda i: expect(i.conf + ".lock is not a regular file" in i.box(), "box %s" % i.boxes()),
      lambda i: i.ok(), exits(1), unchanged]),
    ("a read-only settings folder with a complete store: start, key, exit, status 0", {
        "settings": STORE, "before": [remember, lambda i: i.rules(*(
            "fail %s EROFS %s" % (c, folder(i)) for c in ("open", "rename")))]},
     [tx(1), tx(0), menu("fe"), exits(0), unchanged]),
    ("RTS keys, DTR rests high: at rest after the open, RTS follows TX, both low after Exit", {
        "before": [lambda i: open(i.conf, "a").write("COM1-Line=RTS\nCOM1-Other=High\n")]},
     [lines((True, 1, 0)), lambda i: i.click(TX), lines((True, 1, 1)), look(True),
      lambda i: i.click(TX), lines((True, 1, 0)), look(False), menu("fe"), exits(0),
      lines((False, 0, 0))]),
    ("DTR keyed low chosen in Setup > Ports: stored, the port opened again resting high, TX keys "
     "it low", {}, [keyed_low_chosen, lines((True, 1, 0)), tx(0), look(True), tx(1)]),
    ("DTR keyed low: at rest high, low by TX, left high after File > Exit (no HUPCL drop)", {
        "before": [lambda i: open(i.conf, "a").write("COM1-Keyed=Low\n")]},
     [lines((True, 1, 0)), tx(0), look(True), tx(1), menu("fe"), exits(0), lines((False, 1, 0))]),
]
ROWS += on_gpio(ROWS, "SIGSEGV", "SIGKILL", "the adapter unplugged", "SIGTERM", "a key the adapter",
                "DTR keyed low:")
MINUTE = [
    ("the window's thread held past the time-out: released at the minute, t says so, the save "
     "goes on", {"remote": True,
                 "settings": {"Position-Left": 15000, "Position-Top": 750, "Timer": 1}},
     [held_past_deadline]),
]

if __name__ == "__main__":
    run(ROWS, MINUTE)
