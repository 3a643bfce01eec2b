"""What the reliability tests add to the end-to-end harness: the emulation's fault control,
a lock folder of the test's own, a second instance of the program on the same display and
settings, the process's CPU time, and checks of the settings file."""

import copy
import glob
import os
import re
import resource
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness as h  # noqa: E402

LOST_TEXT = "COM 1: not available. Check for correct Com Port."
FATAL_TEXT = "Zorore_PTT met an error and has to close:"
_NUMBER = re.compile(r"^-?\d+(\.\d+)?$")


class RelSession(h.Session):
    """A Session whose program reads the fault control and keeps its UUCP locks in the
    test's folder. peer() gives a second instance on the same display and settings."""

    def __init__(self, args, name):
        super().__init__(args, name)
        self.control_path = os.path.join(self.workdir, "uartemu.control")
        self.lock_dir = os.path.join(self.workdir, "lock")
        os.makedirs(self.lock_dir, exist_ok=True)
        self.config_dir = os.path.dirname(self.settings_path)

    def _program_env(self):
        env = super()._program_env()
        env["UARTEMU_CONTROL"] = self.control_path
        env["ZORORE_LOCK_DIR"] = self.lock_dir
        return env

    # ---- faults

    def set_control(self, *rules):
        """Replace the rules at once (a rename: the library never reads half a file)."""
        tmp = self.control_path + ".new"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write("".join(r + "\n" for r in rules))
        os.replace(tmp, self.control_path)
        print("  control: %s" % ("; ".join(rules) or "(none)"), flush=True)
        return time.monotonic_ns()

    def faults(self, since_ns=None):
        return [e for e in self.log.events(since_ns=since_ns) if e.event in ("fault", "unblock")]

    # ---- windows of this instance only (another one may share the display)

    def find_main_window(self, timeout=20):
        def found():
            self.alive()
            mains = [w for w in self.visible_named()
                     if self.window_pid(w) == self.proc.pid and not self.is_transient(w)]
            return mains[0] if mains else None

        self.win = h.wait_until(found, timeout, "the main window of pid %d" % self.proc.pid, 0.05)
        return self.win

    def dialogs(self, name=h.APP_NAME):
        if self.proc is None:
            return []
        return [w for w in self.visible_named(name)
                if w != self.win and self.window_pid(w) == self.proc.pid]

    def dismiss(self, box):
        self.activate(box)
        self.key("Return")
        self.wait_no_dialog()

    def peer(self):
        """A second instance: same display, settings, ports, log and control."""
        p = copy.copy(self)
        p.proc, p.win, p.menubar_h = None, None, None
        p.runs = 100 + self.runs  # its own output files
        return p

    def sanitizer_reports(self):
        found = []
        for path in sorted(glob.glob(os.path.join(self.workdir, "program-*.stderr"))):
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    if ("ERROR: AddressSanitizer" in line or "ERROR: LeakSanitizer" in line
                            or "runtime error:" in line):
                        found.append("%s: %s" % (os.path.basename(path), line.strip()))
        return found

    def stderr_text(self):
        try:
            with open(self._out("stderr"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    # ---- the process

    def cpu_seconds(self):
        """User plus system time the program has used so far."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def lock_file(self, pty):
        return os.path.join(self.lock_dir, "LCK.." + pty.path[len("/dev/"):].replace("/", "_"))

    # ---- the settings file

    def remap(self, port, pty, **settings):
        """Point [Ports] COMn at another device (and change [Settings] values) while the
        program runs; written whole and renamed into place."""
        sections = self.settings()
        sections.setdefault("Ports", {})["COM%d" % port] = pty.path
        sections.setdefault("Settings", {}).update({k: str(v) for k, v in settings.items()})
        tmp = self.settings_path + ".test"
        h.write_ini(tmp, sections)
        os.replace(tmp, self.settings_path)


def settings_problems(raw, ports, com_ports=None):
    """What is wrong with the settings file's bytes: [] when it is whole and every value
    well-formed. ports: {n: path} that [Ports] must keep."""
    problems = []
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return ["not UTF-8"]
    if not text.endswith("\n"):
        problems.append("does not end with a newline (cut short?)")
    seen, section = {}, None
    for line in text.splitlines():
        s = line.strip()
        if not s:
            continue
        if s.startswith("[") and s.endswith("]"):
            section = s[1:-1]
            if section in seen:
                problems.append("section [%s] twice" % section)
            seen[section] = {}
            continue
        if "=" not in s or section is None:
            problems.append("stray line %r" % line)
            continue
        k, v = (p.strip() for p in s.split("=", 1))
        if k in seen[section]:
            problems.append("%s twice in [%s]" % (k, section))
        seen[section][k] = v
    st = seen.get("Settings", {})
    for key in h.SETTING_KEYS:
        if key not in st:
            problems.append("Settings/%s missing" % key)
    checks = {
        "Position-Left": lambda v: _NUMBER.match(v),
        "Position-Top": lambda v: _NUMBER.match(v),
        "OnTop": lambda v: v in ("0", "1", "2"),
        "ComPort": lambda v: v in {str(n) for n in (com_ports or ports)},
        "Height": lambda v: v in (str(h.HEIGHT_FULL), str(h.HEIGHT_HIDDEN)),
        "Timer": lambda v: v in [str(n) for n in range(1, 10)],
    }
    for key, ok in checks.items():
        if key in st and not ok(st[key]):
            problems.append("Settings/%s=%r" % (key, st[key]))
    for n, path in ports.items():
        got = seen.get("Ports", {}).get("COM%d" % n)
        if got != path:
            problems.append("Ports/COM%d=%r, want %r" % (n, got, path))
    return problems


def stray_files(s):
    """Files in the settings folder other than the settings file itself."""
    return sorted(n for n in os.listdir(s.config_dir) if n != h.APP_NAME + ".conf")


def run(test, limit):
    # A fatal signal's default action must not leave core files behind.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    h.Session = RelSession
    h.run(test, limit=limit)
