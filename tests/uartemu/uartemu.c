/*
 * A UART's modem-control lines on pseudo-terminals, for tests; loaded with LD_PRELOAD. Our own:
 * no library makes a pty answer TIOCMGET/TIOCMBIS/TIOCMBIC/TIOCMSET.
 *
 * UARTEMU_MATCH  colon-separated path prefixes (default /dev/pts/): an fd whose resolved path
 *                starts with one is a UART. DTR and RTS rise at every open (unless at B0), follow
 *                the TIOCM requests, fall on a change to B0 and at the terminal's last close
 *                when HUPCL is set.
 * UARTEMU_STATE  a folder: each terminal's lines live there in a 4-byte file named
 *                <major>.<minor> (TIOCM bits), shared by every process that holds the terminal,
 *                so that a child or a receiver of the fd sees the same lines, and so can a test.
 *                An fd not seen at open is adopted at its first line request. Each holder keeps
 *                a shared flock on the file; whoever closes last gets the exclusive lock.
 *                Without it, the lines stay in the process.
 * UARTEMU_LOG    one line per event, one write() to an O_APPEND fd:
 *                <CLOCK_MONOTONIC ns> <pid> <fd> <path> <event> DTR=<0|1> RTS=<0|1>[ extra]
 * UARTEMU_GUARD  (default 1) opens of real serial and console devices fail with EACCES.
 * UARTEMU_CONTROL a file of rules, re-read when it changes (replace it by rename):
 *                fail|block ioctl|write|rename|open <ERRNO|ms> [<path-prefix>] [once]
 *                (open: only opens that create a file, O_CREAT or O_TMPFILE)
 *                clock <seconds>   shifts CLOCK_REALTIME, gettimeofday and time in the process
 *
 * The ioctl path (fatal-signal handlers lower the lines) takes no lock and allocates nothing.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
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
    int lock_fd;    /* the state file, -1 without UARTEMU_STATE */
    atomic_int fds; /* this process's fds of it */
};
static struct device devs[MAX_DEVS];
static atomic_int fd_dev[MAX_FDS]; /* device index + 1 */
static char fd_path[MAX_FDS][PATH_LEN];

static char match[512], state_dir[PATH_LEN], control_path[PATH_LEN];
static int log_fd = -1, guard = 1;
static atomic_int inited;

static int (*real_open)(const char *, int, ...);
static int (*real_close)(int), (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcsetattr)(int, int, const struct termios *);
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_rename)(const char *, const char *);
static int (*real_renameat2)(int, const char *, int, const char *, unsigned);
static int (*real_clock_gettime)(clockid_t, struct timespec *);
static int (*real_gettimeofday)(struct timeval *, void *);

/* ---- the log ---- */

/* glibc's snprintf takes no lock and allocates nothing for integers and strings. */
static void log_event(int fd, const char *path, const char *event, int lines, const char *extra) {
    if (log_fd < 0)
        return;
    char line[PATH_LEN * 2 + 160], field[PATH_LEN];
    struct timespec ts;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    /* A path stays one field. */
    size_t i = 0;
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

/* ---- the control file ---- */

enum { CALL_IOCTL, CALL_WRITE, CALL_RENAME, CALL_OPEN, CALLS };
static const char *const call_names[] = {"ioctl", "write", "rename", "open"};
static const struct {
    const char *name;
    int value;
} errnos[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EROFS", EROFS}};

struct rule {
    int block, call, value, once;
    char prefix[PATH_LEN];
};
struct ruleset {
    int count;
    long clock_shift;
    struct rule rules[16];
    atomic_int fired[16];
};
static struct ruleset sets[2];
static atomic_int live;
static atomic_flag reloading = ATOMIC_FLAG_INIT;
static struct stat control_seen; /* owned by whoever holds `reloading` */

static int parse_rule(const char *line, struct ruleset *set) {
    char verb[16], call[16], value[16], opt[2][PATH_LEN] = {"", ""};
    int n = sscanf(line, "%15s %15s %15s %255s %255s", verb, call, value, opt[0], opt[1]);
    if (n == 2 && strcmp(verb, "clock") == 0)
        return set->clock_shift = strtol(call, NULL, 10), 1;
    if (n < 3 || set->count >= 16)
        return 0;
    struct rule *r = &set->rules[set->count];
    memset(r, 0, sizeof *r);
    r->block = strcmp(verb, "block") == 0;
    r->call = -1;
    for (int c = 0; c < CALLS; ++c)
        if (strcmp(call, call_names[c]) == 0)
            r->call = c;
    r->value = atoi(value);
    for (size_t i = 0; i < sizeof errnos / sizeof errnos[0]; ++i)
        if (strcmp(value, errnos[i].name) == 0)
            r->value = errnos[i].value;
    for (int i = 0; i < 2; ++i) {
        if (strcmp(opt[i], "once") == 0)
            r->once = 1;
        else if (opt[i][0])
            memcpy(r->prefix, opt[i], PATH_LEN);
    }
    if (r->call < 0 || r->value <= 0 || (!r->block && strcmp(verb, "fail") != 0))
        return 0;
    atomic_store(&set->fired[set->count++], 0);
    return 1;
}

/* One stat; the rules are read again into the spare set when the file changed. */
static void control_refresh(void) {
    if (!control_path[0] || atomic_flag_test_and_set(&reloading))
        return;
    int saved = errno;
    struct stat st;
    memset(&st, 0, sizeof st);
    syscall(SYS_newfstatat, AT_FDCWD, control_path, &st, 0);
    /* Replaced by a rename: another inode. */
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
        set->clock_shift = 0;
        for (char *save = NULL, *l = strtok_r(text, "\n", &save); l;
             l = strtok_r(NULL, "\n", &save))
            parse_rule(l, set);
        atomic_store(&live, 1 - atomic_load(&live));
    }
    atomic_flag_clear(&reloading);
    errno = saved;
}

/* 0, or the errno a matching rule makes the call fail with (after logging it); a block
 * rule sleeps first and lets the call go ahead. */
static int fault(int call, int fd, const char *path, int lines) {
    if (!control_path[0])
        return 0;
    control_refresh();
    struct ruleset *set = &sets[atomic_load(&live)];
    for (int i = 0; i < set->count; ++i) {
        const struct rule *r = &set->rules[i];
        if (r->call != call || strncmp(path, r->prefix, strlen(r->prefix)) != 0)
            continue;
        if (r->once && atomic_exchange(&set->fired[i], 1))
            continue;
        char x[64];
        snprintf(x, sizeof x, " call=%s %s=%d", call_names[call], r->block ? "block" : "errno",
                 r->value);
        int saved = errno;
        log_event(fd, path, "fault", lines, x);
        if (r->block) {
            struct timespec ts = {r->value / 1000, (r->value % 1000) * 1000000l};
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
            log_event(fd, path, "unblock", lines, x);
        }
        errno = saved;
        return r->block ? 0 : r->value;
    }
    return 0;
}

static int failed(int err) {
    if (err)
        errno = err;
    return err != 0;
}

/* ---- set-up ---- */

#define RESOLVE(var, name)                                                                         \
    do {                                                                                           \
        void *sym_ = dlsym(RTLD_NEXT, name);                                                       \
        memcpy(&(var), &sym_, sizeof sym_);                                                        \
    } while (0)

static void env_copy(char *to, size_t size, const char *name, const char *fallback) {
    const char *v = getenv(name);
    snprintf(to, size, "%s", v && *v ? v : fallback);
}

static void init(void) {
    if (atomic_exchange(&inited, 1))
        return;
    RESOLVE(real_open, "open");
    RESOLVE(real_close, "close");
    RESOLVE(real_ioctl, "ioctl");
    RESOLVE(real_tcsetattr, "tcsetattr");
    RESOLVE(real_write, "write");
    RESOLVE(real_rename, "rename");
    RESOLVE(real_renameat2, "renameat2");
    RESOLVE(real_clock_gettime, "clock_gettime");
    RESOLVE(real_gettimeofday, "gettimeofday");
    env_copy(match, sizeof match, "UARTEMU_MATCH", "/dev/pts/");
    env_copy(state_dir, sizeof state_dir, "UARTEMU_STATE", "");
    env_copy(control_path, sizeof control_path, "UARTEMU_CONTROL", "");
    const char *g = getenv("UARTEMU_GUARD");
    guard = !(g && strcmp(g, "0") == 0);
    const char *log = getenv("UARTEMU_LOG");
    if (log && *log) {
        int fd = (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                              0644);
        /* Out of the low numbers the program expects to get. */
        log_fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 100) : -1;
        syscall(SYS_close, fd);
        char mark[48]; /* that the library is in this process */
        (void)!write(log_fd, mark,
                     (size_t)snprintf(mark, sizeof mark, "# uartemu pid %d\n", getpid()));
    }
    control_refresh();
}

__attribute__((constructor)) static void load(void) {
    int saved = errno;
    init();
    errno = saved;
}

/* ---- terminals ---- */

static int matches(const char *path) {
    for (const char *p = match; *p;) {
        size_t len = strcspn(p, ":");
        if (len && strncmp(path, p, len) == 0)
            return 1;
        p += len + (p[len] == ':');
    }
    return 0;
}

static atomic_int *reg(struct device *d) {
    atomic_int *r = atomic_load(&d->reg);
    return r ? r : &d->local;
}

/* The device slot of a terminal, claimed on first sight; NULL when the table is full. */
static struct device *device_of(dev_t rdev) {
    for (int i = 0; i < MAX_DEVS; ++i) {
        unsigned long seen = atomic_load(&devs[i].rdev);
        if (seen == rdev)
            return &devs[i];
        if (seen == 0 && atomic_compare_exchange_strong(&devs[i].rdev, &seen, rdev)) {
            struct device *d = &devs[i];
            d->lock_fd = -1;
            if (state_dir[0]) {
                char p[PATH_LEN + 32];
                snprintf(p, sizeof p, "%s/%u.%u", state_dir, major(rdev), minor(rdev));
                d->lock_fd =
                    (int)syscall(SYS_openat, AT_FDCWD, p, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
                struct stat st;
                if (d->lock_fd >= 0 && fstat(d->lock_fd, &st) == 0 && st.st_size < 4)
                    (void)!ftruncate(d->lock_fd, 4);
                void *m = d->lock_fd >= 0
                              ? mmap(NULL, 4, PROT_READ | PROT_WRITE, MAP_SHARED, d->lock_fd, 0)
                              : MAP_FAILED;
                if (m != MAP_FAILED)
                    atomic_store(&d->reg, (atomic_int *)m);
            }
            return d;
        }
    }
    return NULL;
}

static struct device *device_at(int fd) {
    int i = fd >= 0 && fd < MAX_FDS ? atomic_load(&fd_dev[fd]) : 0;
    return i ? &devs[i - 1] : NULL;
}

/* Makes fd one of ours if it is a matching terminal: at open (the lines rise) or at the first
 * line request on an fd inherited or received. Raw calls only. */
static struct device *track(int fd, const char *given, int at_open) {
    char path[PATH_LEN];
    struct stat st;
    if (fd < 0 || fd >= MAX_FDS || fd_link(fd, path) <= 0 || !matches(path) ||
        fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return NULL;
    struct device *d = device_of(st.st_rdev);
    if (!d)
        return NULL;
    snprintf(fd_path[fd], PATH_LEN, "%s", given ? given : path);
    if (atomic_fetch_add(&d->fds, 1) == 0 && d->lock_fd >= 0)
        flock(d->lock_fd, LOCK_SH);
    struct termios t;
    if (at_open && (tcgetattr(fd, &t) != 0 || cfgetospeed(&t) != B0))
        atomic_fetch_or(reg(d), LINES);
    atomic_store(&fd_dev[fd], (int)(d - devs) + 1);
    if (at_open)
        log_event(fd, fd_path[fd], "open", atomic_load(reg(d)), NULL);
    return d;
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
    if (guard && stat(path, &st) == 0 && S_ISCHR(st.st_mode) && is_real_serial(st.st_rdev)) {
        log_event(-1, path, "refused", 0, NULL);
        errno = EACCES;
        return -1;
    }
    if ((flags & (O_CREAT | __O_TMPFILE)) && failed(fault(CALL_OPEN, -1, path, 0)))
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
    log_event(fd, path, "close", atomic_load(reg(d)), NULL);
    errno = saved;
    return r;
}

static int is_line_request(unsigned long req) {
    return req == TIOCMGET || req == TIOCMBIS || req == TIOCMBIC || req == TIOCMSET ||
           req == TCSETS || req == TCSETSW || req == TCSETSF;
}

/* A change to B0 drops the lines, one away from it raises them, as the serial core does. */
static void termios_changed(int fd, struct device *d, const struct termios *before) {
    struct termios now;
    if (tcgetattr(fd, &now) != 0)
        return;
    if (cfgetospeed(before) != B0 && cfgetospeed(&now) == B0)
        atomic_fetch_and(reg(d), ~LINES);
    else if (cfgetospeed(before) == B0 && cfgetospeed(&now) != B0)
        atomic_fetch_or(reg(d), LINES);
    log_event(fd, fd_path[fd], "tcsetattr", atomic_load(reg(d)),
              now.c_cflag & HUPCL ? " HUPCL=1" : " HUPCL=0");
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    init();
    struct device *d = device_at(fd);
    if (!d && is_line_request(req))
        d = track(fd, NULL, 0);
    if (!d)
        return real_ioctl(fd, req, arg);
    atomic_int *lines = reg(d);
    if (failed(fault(CALL_IOCTL, fd, fd_path[fd], atomic_load(lines))))
        return -1;
    if (req == TCSETS || req == TCSETSW || req == TCSETSF) {
        struct termios before;
        int have = tcgetattr(fd, &before) == 0, r = real_ioctl(fd, req, arg), saved = errno;
        if (r == 0 && have)
            termios_changed(fd, d, &before);
        errno = saved;
        return r;
    }
    if (!is_line_request(req))
        return real_ioctl(fd, req, arg);
    int *bits = arg, now = atomic_load(lines);
    if (!bits)
        return errno = EFAULT, -1;
    const char *event = req == TIOCMBIS ? "TIOCMBIS" : req == TIOCMBIC ? "TIOCMBIC" : "TIOCMSET";
    if (req == TIOCMGET)
        return *bits = now, 0;
    if (req == TIOCMBIS)
        now = atomic_fetch_or(lines, *bits & LINES) | (*bits & LINES);
    else if (req == TIOCMBIC)
        now = atomic_fetch_and(lines, ~(*bits & LINES)) & ~(*bits & LINES);
    else
        atomic_store(lines, now = *bits & LINES);
    log_event(fd, fd_path[fd], event, now, NULL);
    return 0;
}

int tcsetattr(int fd, int action, const struct termios *tio) {
    init();
    struct device *d = device_at(fd);
    if (!d)
        d = track(fd, NULL, 0);
    if (!d)
        return real_tcsetattr(fd, action, tio);
    if (failed(fault(CALL_IOCTL, fd, fd_path[fd], atomic_load(reg(d)))))
        return -1;
    struct termios before;
    int have = tcgetattr(fd, &before) == 0, r = real_tcsetattr(fd, action, tio), saved = errno;
    if (r == 0 && have)
        termios_changed(fd, d, &before);
    errno = saved;
    return r;
}

/* ---- a settings store's calls, for their faults ---- */

ssize_t write(int fd, const void *data, size_t n) {
    init();
    if (control_path[0]) {
        char path[PATH_LEN];
        fd_link(fd, path);
        if (failed(fault(CALL_WRITE, fd, path, 0)))
            return -1;
    }
    return real_write(fd, data, n);
}

int rename(const char *from, const char *to) {
    init();
    return failed(fault(CALL_RENAME, -1, to, 0)) ? -1 : real_rename(from, to);
}
int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags) {
    init();
    return failed(fault(CALL_RENAME, -1, to, 0)) ? -1
                                                 : real_renameat2(fromdir, from, todir, to, flags);
}

/* ---- the wall clock, shifted by the control's `clock` ---- */

static long clock_shift(void) {
    control_refresh();
    return control_path[0] ? sets[atomic_load(&live)].clock_shift : 0;
}

int clock_gettime(clockid_t clk, struct timespec *ts) {
    init();
    int r = real_clock_gettime(clk, ts);
    if (r == 0 && (clk == CLOCK_REALTIME || clk == CLOCK_REALTIME_COARSE))
        ts->tv_sec += clock_shift();
    return r;
}

int gettimeofday(struct timeval *tv, void *tz) {
    init();
    int r = real_gettimeofday(tv, tz);
    if (r == 0)
        tv->tv_sec += clock_shift();
    return r;
}

time_t time(time_t *t) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (t)
        *t = ts.tv_sec;
    return ts.tv_sec;
}
