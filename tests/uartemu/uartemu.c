// SPDX-License-Identifier: GPL-3.0-or-later
/* A UART's modem-control lines on pseudo-terminals, for tests; loaded with LD_PRELOAD. Our own:
 * no library makes a pty answer TIOCMGET/TIOCMBIS/TIOCMBIC.
 * A /dev/pts/ terminal's DTR and RTS rise at every open, follow the TIOCM requests and fall at its
 * last close when HUPCL is set; opens of real serial and console devices fail with EACCES.
 * UARTEMU_STATE   a folder: each terminal's lines in a 4-byte file <major>.<minor> (TIOCM bits),
 *                 shared by every process that holds it (the tests read it too); an fd not seen
 *                 at open is adopted at its first line request. Holders keep a shared flock on it:
 *                 the one that gets it exclusive at its close was the last.
 * UARTEMU_LOG     per event one write() to an O_APPEND fd of
 *                 <CLOCK_MONOTONIC ns> <pid> <fd> <path> <event> DTR=<0|1> RTS=<0|1>[ extra]
 * Input lines: uartemu_set_inputs() sets a terminal's CTS, DSR, DCD and RI (logged as "inputs"),
 *                 TIOCMGET reports them and TIOCMIWAIT waits for them.
 * UARTEMU_CONTROL rules, read again when the file is replaced by a rename, one a line:
 *                 fail|block ioctl|rename|open|thread <EIO|EROFS|EAGAIN|ms> [<path prefix>] [once]
 *                 (open: opens that create a file; thread: pthread_create, as under ulimit -u;
 *                 ioctl: a stand-in hidraw device's writes too). The ioctl and write paths take
 *                 no lock and allocate nothing: fatal-signal handlers rest the lines through them.
 * UARTEMU_HIDRAW  "<pty>=<vendor>:<product> ...", ids in hex: these terminals stand in for a USB
 *                 HID device, a CM108 sound interface's GPIO pins (see hid_report). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 1024
#define MAX_DEVS 64
#define PATH_LEN 256
#define LINES (TIOCM_DTR | TIOCM_RTS)

struct device {
    atomic_ulong rdev;         /* 0: free */
    _Atomic(atomic_int *) reg; /* the shared register, or NULL: `local` */
    atomic_int local;
    int lock_fd;     /* the state file, -1 without UARTEMU_STATE */
    atomic_int fds;  /* this process's fds of it */
    atomic_uint hid; /* a stand-in hidraw device: vendor << 16 | product; 0: a UART */
};
static struct device devs[MAX_DEVS];
static atomic_int fd_dev[MAX_FDS]; /* device index + 1 */
static char fd_path[MAX_FDS][PATH_LEN];

static char state_dir[PATH_LEN], control_path[PATH_LEN];
static int log_fd = -1;
static atomic_int inited;

static int (*real_open)(const char *, int, ...), (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcsetattr)(int, int, const struct termios *);
static int (*real_rename)(const char *, const char *);
static int (*real_pthread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
static ssize_t (*real_write)(int, const void *, size_t);
static int hid_listed; /* UARTEMU_HIDRAW set at the start: fds received are looked at at a write */

/* glibc's snprintf takes no lock and allocates nothing for integers and strings. */
static void log_event(int fd, const char *path, const char *event, int lines, const char *extra) {
    if (log_fd < 0)
        return;
    char line[PATH_LEN * 2 + 160], field[PATH_LEN];
    struct timespec ts;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    size_t i = 0; /* a path stays one field */
    for (; path && path[i] && i < sizeof field - 1; ++i)
        field[i] = (unsigned char)path[i] <= ' ' ? '?' : path[i];
    field[i] = '\0';
    int n = snprintf(line, sizeof line, "%lld %d %d %s %s DTR=%d RTS=%d%s\n",
                     ts.tv_sec * 1000000000ll + ts.tv_nsec, (int)getpid(), fd, i ? field : "?",
                     event, !!(lines & TIOCM_DTR), !!(lines & TIOCM_RTS), extra ? extra : "");
    (void)!syscall(SYS_write, log_fd, line, n < (int)sizeof line ? (size_t)n : sizeof line);
}

/* The path an fd stands for; "" when unknown. */
static long fd_link(int fd, char path[PATH_LEN]) {
    char proc[32];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    long n = syscall(SYS_readlinkat, AT_FDCWD, proc, path, PATH_LEN - 1);
    path[n > 0 ? n : 0] = '\0';
    return n;
}

enum { CALL_IOCTL, CALL_RENAME, CALL_OPEN, CALL_THREAD, CALLS };
static const char *const call_names[CALLS] = {"ioctl", "rename", "open", "thread"};
struct rule {
    int block, call, value, once;
    char prefix[PATH_LEN];
};
/* Read into the spare set, which then goes live: no call sees a set half read. */
static struct ruleset {
    int count;
    struct rule rules[16];
    atomic_int fired[16];
} sets[2];
static atomic_int live;
static atomic_flag reloading = ATOMIC_FLAG_INIT;
static struct stat control_seen; /* owned by whoever holds `reloading` */

static void parse_rule(const char *line, struct ruleset *set) {
    char verb[16], call[16], value[16], opt[2][PATH_LEN] = {"", ""};
    struct rule r = {.call = -1};
    if (set->count >= 16 ||
        sscanf(line, "%15s %15s %15s %255s %255s", verb, call, value, opt[0], opt[1]) < 3)
        return;
    r.block = strcmp(verb, "block") == 0;
    for (int c = 0; c < CALLS; ++c)
        if (strcmp(call, call_names[c]) == 0)
            r.call = c;
    r.value = !strcmp(value, "EIO")      ? EIO
              : !strcmp(value, "EROFS")  ? EROFS
              : !strcmp(value, "EAGAIN") ? EAGAIN
                                         : atoi(value);
    for (int i = 0; i < 2; ++i) {
        if (strcmp(opt[i], "once") == 0)
            r.once = 1;
        else if (opt[i][0])
            memcpy(r.prefix, opt[i], PATH_LEN);
    }
    if (r.call >= 0 && r.value > 0 && (r.block || strcmp(verb, "fail") == 0)) {
        set->rules[set->count] = r;
        atomic_store(&set->fired[set->count++], 0);
    }
}

/* One stat; the rules are read again when the file was replaced. */
static void control_refresh(void) {
    if (!control_path[0] || atomic_flag_test_and_set(&reloading))
        return;
    int saved = errno;
    struct stat st;
    memset(&st, 0, sizeof st);
    syscall(SYS_newfstatat, AT_FDCWD, control_path, &st, 0);
    if (st.st_ino != control_seen.st_ino || st.st_mtim.tv_nsec != control_seen.st_mtim.tv_nsec) {
        control_seen = st;
        char text[4096];
        ssize_t len = 0;
        int fd = (int)syscall(SYS_openat, AT_FDCWD, control_path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            len = syscall(SYS_read, fd, text, sizeof text - 1);
            syscall(SYS_close, fd);
        }
        text[len > 0 ? len : 0] = '\0';
        struct ruleset *set = &sets[1 - atomic_load(&live)];
        set->count = 0;
        for (char *save = NULL, *l = strtok_r(text, "\n", &save); l;
             l = strtok_r(NULL, "\n", &save))
            parse_rule(l, set);
        atomic_store(&live, 1 - atomic_load(&live));
    }
    atomic_flag_clear(&reloading);
    errno = saved;
}

/* -1 with errno set when a matching rule fails the call (after logging it); a block rule
 * sleeps first and lets the call go ahead: 0. */
static int fault(int call, int fd, const char *path, int lines) {
    control_refresh();
    struct ruleset *set = &sets[atomic_load(&live)];
    for (int i = 0; i < set->count; ++i) {
        const struct rule *r = &set->rules[i];
        if (r->call != call || strncmp(path, r->prefix, strlen(r->prefix)) != 0 ||
            (r->once && atomic_exchange(&set->fired[i], 1)))
            continue;
        char x[64];
        snprintf(x, sizeof x, " call=%s %s=%d", call_names[call], r->block ? "block" : "errno",
                 r->value);
        int saved = errno;
        log_event(fd, path, "fault", lines, x);
        if (!r->block)
            return errno = r->value, -1;
        struct timespec ts = {r->value / 1000, (r->value % 1000) * 1000000l};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        log_event(fd, path, "unblock", lines, x);
        errno = saved;
        return 0;
    }
    return 0;
}

#define RESOLVE(var, name)                                                                         \
    do {                                                                                           \
        void *sym_ = dlsym(RTLD_NEXT, name);                                                       \
        memcpy(&(var), &sym_, sizeof sym_);                                                        \
    } while (0)

/* At load, or at the first call should another library's constructor call us first. */
__attribute__((constructor)) static void init(void) {
    if (atomic_exchange(&inited, 1))
        return;
    int saved = errno;
    RESOLVE(real_open, "open");
    RESOLVE(real_close, "close");
    RESOLVE(real_ioctl, "ioctl");
    RESOLVE(real_tcsetattr, "tcsetattr");
    RESOLVE(real_rename, "rename");
    RESOLVE(real_pthread_create, "pthread_create");
    RESOLVE(real_write, "write");
    hid_listed = getenv("UARTEMU_HIDRAW") != NULL;
    const char *v = getenv("UARTEMU_STATE");
    snprintf(state_dir, sizeof state_dir, "%s", v ? v : "");
    snprintf(control_path, sizeof control_path, "%s", (v = getenv("UARTEMU_CONTROL")) ? v : "");
    if ((v = getenv("UARTEMU_LOG")) && *v) {
        int fd =
            (int)syscall(SYS_openat, AT_FDCWD, v, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        /* Out of the low numbers the program expects to get. */
        log_fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 100) : -1;
        syscall(SYS_close, fd);
        char mark[48]; /* that the library is in this process */
        (void)!syscall(SYS_write, log_fd, mark,
                       (size_t)snprintf(mark, sizeof mark, "# uartemu pid %d\n", getpid()));
    }
    control_refresh();
    errno = saved;
}

static atomic_int *reg(struct device *d) {
    atomic_int *r = atomic_load(&d->reg);
    return r ? r : &d->local;
}

/* ---- A stand-in hidraw device (UARTEMU_HIDRAW): HIDIOCGRAWINFO answers USB and the ids given,
 * the open raises nothing, and each write is a CM108 GPIO output report (0, 0, levels,
 * directions, 0), kept above the modem lines in the register and logged as "report ...
 * GPIO=<pins 1 to 8: 0 or 1 as output, - as input>" (any other write as "badreport"). After a
 * hang-up (the master closed: unplugged) both fail with ENODEV, as hidraw's do. */
#define GPIO_LEVELS 16 /* the register's bits: levels from 16, directions from 24 */

static unsigned hid_ids(const char *path) { /* vendor << 16 | product; 0: not listed */
    unsigned vendor, product;
    size_t n = strlen(path);
    for (const char *p = getenv("UARTEMU_HIDRAW"); p && *p;
         p += strcspn(p, " "), p += strspn(p, " "))
        if (!strncmp(p, path, n) && p[n] == '=' &&
            sscanf(p + n + 1, "%4x:%4x", &vendor, &product) == 2)
            return vendor << 16 | product;
    return 0;
}

static const char *gpio_field(const struct device *d, int lines, char out[16]) {
    if (!atomic_load(&d->hid))
        return "";
    strcpy(out, " GPIO=--------");
    for (int pin = 0; pin < 8; ++pin)
        if (lines >> (GPIO_LEVELS + 8 + pin) & 1)
            out[6 + pin] = (char)('0' + (lines >> (GPIO_LEVELS + pin) & 1));
    return out;
}

/* 0, or -1 with errno set: a fault rule, or the terminal hung up. */
static int hid_fails(int fd, struct device *d) {
    struct termios t;
    if (fault(CALL_IOCTL, fd, fd_path[fd], atomic_load(reg(d))))
        return -1;
    if (real_ioctl(fd, TCGETS, &t) == 0 || errno != EIO)
        return 0;
    atomic_fetch_and(reg(d), 0xffff); /* unplugged: the chip lost its power, and its pins */
    return errno = ENODEV, -1;
}

static int hid_info(int fd, struct device *d, struct hidraw_devinfo *info) {
    unsigned ids = atomic_load(&d->hid);
    if (hid_fails(fd, d))
        return -1;
    *info = (struct hidraw_devinfo){BUS_USB, (__s16)(ids >> 16), (__s16)ids};
    return 0;
}

static ssize_t hid_report(int fd, struct device *d, const unsigned char *r, size_t n) {
    atomic_int *lines = reg(d);
    int pins = n != 5 ? 0 : (int)((unsigned)r[2] << GPIO_LEVELS | (unsigned)r[3] << 24), now;
    char field[16];
    if (hid_fails(fd, d))
        return -1;
    if (n != 5 || r[0] || r[1] || r[4])
        return log_event(fd, fd_path[fd], "badreport", 0, ""), (ssize_t)n;
    for (now = atomic_load(lines);
         !atomic_compare_exchange_weak(lines, &now, (now & 0xffff) | pins);)
        ;
    log_event(fd, fd_path[fd], "report", pins, gpio_field(d, pins, field));
    return (ssize_t)n;
}

/* The device slot of a terminal, claimed on first sight; NULL when the table is full. */
static struct device *device_of(dev_t rdev) {
    for (int i = 0; i < MAX_DEVS; ++i) {
        unsigned long seen = atomic_load(&devs[i].rdev);
        if (seen == rdev)
            return &devs[i];
        if (seen != 0 || !atomic_compare_exchange_strong(&devs[i].rdev, &seen, rdev))
            continue;
        struct device *d = &devs[i];
        d->lock_fd = -1;
        if (state_dir[0]) {
            char p[PATH_LEN + 32];
            snprintf(p, sizeof p, "%s/%u.%u", state_dir, major(rdev), minor(rdev));
            d->lock_fd = (int)syscall(SYS_openat, AT_FDCWD, p, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            (void)!ftruncate(d->lock_fd, 4); /* its lines kept: the file had 4 bytes or none */
            void *m = d->lock_fd >= 0
                          ? mmap(NULL, 4, PROT_READ | PROT_WRITE, MAP_SHARED, d->lock_fd, 0)
                          : MAP_FAILED;
            if (m != MAP_FAILED)
                atomic_store(&d->reg, (atomic_int *)m);
        }
        return d;
    }
    return NULL;
}

/* Makes fd one of ours if it is a terminal under /dev/pts/: at open (the lines rise) or at the
 * first line request on an fd inherited or received. Raw calls only. */
static struct device *track(int fd, const char *given, int at_open) {
    char path[PATH_LEN];
    struct stat st;
    if (fd < 0 || fd >= MAX_FDS || fd_link(fd, path) <= 0 || strncmp(path, "/dev/pts/", 9) != 0 ||
        fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return NULL;
    struct device *d = device_of(st.st_rdev);
    if (!d)
        return NULL;
    atomic_store(&d->hid, hid_ids(path));
    snprintf(fd_path[fd], PATH_LEN, "%s", given ? given : path);
    if (atomic_fetch_add(&d->fds, 1) == 0 && d->lock_fd >= 0)
        flock(d->lock_fd, LOCK_SH);
    atomic_store(&fd_dev[fd], (int)(d - devs) + 1);
    int raise = atomic_load(&d->hid) ? 0 : LINES; /* a HID device has no lines to raise */
    char field[16];
    if (at_open) {
        int now = atomic_fetch_or(reg(d), raise) | raise;
        log_event(fd, fd_path[fd], "open", now, gpio_field(d, now, field));
    }
    return d;
}

static struct device *device_at(int fd) {
    int i = fd >= 0 && fd < MAX_FDS ? atomic_load(&fd_dev[fd]) : 0;
    return i ? &devs[i - 1] : NULL;
}

static struct device *device_for(int fd) {
    struct device *d = device_at(fd);
    return d ? d : track(fd, NULL, 0);
}

/* ---- Input lines: a pty has none, the tests set them ---- */
#define INPUTS (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG)

/* TIOCMIWAIT: until one of the asked input lines changes (looked at every millisecond), EINTR at
 * a signal, EIO once the terminal is hung up (its master closed: the adapter unplugged). */
static int wait_inputs(struct device *d, int fd, int mask) {
    int start = atomic_load(reg(d)) & mask & INPUTS;
    for (;;) {
        struct pollfd p = {fd, 0, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return errno = EIO, -1;
        if ((atomic_load(reg(d)) & mask & INPUTS) != start)
            return 0;
        struct timespec ts = {0, 1000000};
        if (nanosleep(&ts, NULL) != 0)
            return -1;
    }
}

/* For the tests: the terminal at path gets these input lines (TIOCM_CTS, TIOCM_DSR, TIOCM_CAR,
 * TIOCM_RNG; DTR and RTS kept). 0, or -1 when path is no terminal. */
int uartemu_set_inputs(const char *path, int lines) {
    init();
    struct stat st;
    struct device *d = stat(path, &st) == 0 && S_ISCHR(st.st_mode) ? device_of(st.st_rdev) : NULL;
    if (!d)
        return -1;
    int now = atomic_load(reg(d)), want = lines & INPUTS;
    while (!atomic_compare_exchange_weak(reg(d), &now, (now & ~INPUTS) | want)) {
    }
    char x[48];
    snprintf(x, sizeof x, " CTS=%d DSR=%d DCD=%d RI=%d", !!(want & TIOCM_CTS), !!(want & TIOCM_DSR),
             !!(want & TIOCM_CAR), !!(want & TIOCM_RNG));
    log_event(-1, path, "inputs", (now & ~INPUTS) | want, x);
    return 0;
}

static int is_real_serial(dev_t rdev) {
    unsigned maj = major(rdev);
    if (maj == 5)
        return minor(rdev) != 2; /* tty, console, ttyprintk; not ptmx */
    return maj == 4 || maj == 166 || maj == 188 || maj == 204 || maj == 216 || maj == 229;
}

static int opened(const char *path, int flags, mode_t mode) {
    init();
    struct stat st;
    if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && is_real_serial(st.st_rdev)) {
        log_event(-1, path, "refused", 0, NULL);
        return errno = EACCES, -1;
    }
    if ((flags & (O_CREAT | __O_TMPFILE)) && fault(CALL_OPEN, -1, path, 0))
        return -1;
    int fd = real_open(path, flags, mode), saved = errno;
    if (fd >= 0 && fd < MAX_FDS) {
        struct device *stale = device_at(fd); /* closed behind our back */
        if (stale && atomic_exchange(&fd_dev[fd], 0))
            atomic_fetch_sub(&stale->fds, 1);
        if (!(flags & O_PATH))
            track(fd, path, 1);
    }
    errno = saved;
    return fd;
}

/* Qt opens through open64, the program and Hamlib through open. */
#define OPEN_WRAPPER(name)                                                                         \
    int name(const char *path, int flags, ...) {                                                   \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        mode_t mode = flags & (O_CREAT | __O_TMPFILE) ? (mode_t)va_arg(ap, unsigned) : 0;          \
        va_end(ap);                                                                                \
        return opened(path, flags, mode);                                                          \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

int close(int fd) {
    init();
    struct device *d = device_at(fd);
    if (!d || !atomic_exchange(&fd_dev[fd], 0))
        return real_close(fd);
    struct termios t;
    char path[PATH_LEN];
    memcpy(path, fd_path[fd], PATH_LEN);
    int hupcl = tcgetattr(fd, &t) == 0 && (t.c_cflag & HUPCL);
    int r = real_close(fd), saved = errno;
    if (atomic_fetch_sub(&d->fds, 1) == 1) {
        /* Our last fd of it: the terminal's last close if no other process holds it. */
        int last = 1;
        if (d->lock_fd >= 0) {
            flock(d->lock_fd, LOCK_UN);
            last = flock(d->lock_fd, LOCK_EX | LOCK_NB) == 0;
        }
        if (last && hupcl) /* the close's line below shows the drop */
            atomic_fetch_and(reg(d), ~LINES);
        if (d->lock_fd >= 0 && last)
            flock(d->lock_fd, LOCK_UN);
    }
    char field[16];
    log_event(fd, path, "close", atomic_load(reg(d)), gpio_field(d, atomic_load(reg(d)), field));
    errno = saved;
    return r;
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    int *bits = va_arg(ap, int *);
    va_end(ap);
    init();
    struct device *d = req == TIOCMGET || req == TIOCMBIS || req == TIOCMBIC ||
                               req == TIOCMIWAIT || req == HIDIOCGRAWINFO
                           ? device_for(fd)
                           : NULL;
    if (d && req == HIDIOCGRAWINFO && atomic_load(&d->hid))
        return hid_info(fd, d, (struct hidraw_devinfo *)bits);
    if (!d || req == HIDIOCGRAWINFO)
        return real_ioctl(fd, req, bits);
    atomic_int *lines = reg(d);
    int now = atomic_load(lines);
    if (fault(CALL_IOCTL, fd, fd_path[fd], now))
        return -1;
    if (req == TIOCMIWAIT) /* its argument is the mask itself */
        return wait_inputs(d, fd, (int)(intptr_t)bits);
    if (req == TIOCMGET)
        return *bits = now, 0;
    int change = *bits & LINES;
    if (req == TIOCMBIS)
        now = atomic_fetch_or(lines, change) | change;
    else
        now = atomic_fetch_and(lines, ~change) & ~change;
    log_event(fd, fd_path[fd], req == TIOCMBIS ? "TIOCMBIS" : "TIOCMBIC", now, NULL);
    return 0;
}

int tcsetattr(int fd, int action, const struct termios *tio) {
    init();
    struct device *d = device_for(fd);
    if (d && fault(CALL_IOCTL, fd, fd_path[fd], atomic_load(reg(d))))
        return -1;
    int r = real_tcsetattr(fd, action, tio);
    if (d && r == 0)
        log_event(fd, fd_path[fd], "tcsetattr", atomic_load(reg(d)),
                  tio->c_cflag & HUPCL ? " HUPCL=1" : " HUPCL=0");
    return r;
}

int rename(const char *from, const char *to) {
    init();
    return fault(CALL_RENAME, -1, to, 0) ? -1 : real_rename(from, to);
}

/* Returns the error instead of setting errno, as pthread_create does. */
int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
    init();
    return fault(CALL_THREAD, -1, "", 0) ? errno : real_pthread_create(thread, attr, start, arg);
}

/* A stand-in hidraw device's reports; any other write goes through. */
ssize_t write(int fd, const void *buf, size_t n) {
    init();
    struct device *d = device_at(fd);
    if (!d && hid_listed)
        d = track(fd, NULL, 0);
    return d && atomic_load(&d->hid) ? hid_report(fd, d, buf, n) : real_write(fd, buf, n);
}
