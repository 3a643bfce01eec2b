/*
 * UART modem-control emulation for pseudo-terminals, loaded with LD_PRELOAD.
 *
 * Linux ptys have no modem-control lines (TIOCMGET and friends fail), so tests preload
 * this library into the program under test. For every fd whose resolved path starts with
 * a prefix from UARTEMU_MATCH (colon-separated, default "/dev/pts/") it keeps a UART's
 * DTR/RTS register per device: raised at open as the kernel does, driven by
 * TIOCMGET/TIOCMBIS/TIOCMBIC/TIOCMSET, dropped at the last close when HUPCL is set and on
 * a change to B0.
 *
 * UARTEMU_LOG=<file>: one line per event, written with a single write() to an O_APPEND
 * fd so that several processes can share the file:
 *   <monotonic ns> <pid> <fd> <path> <event> DTR=<0|1> RTS=<0|1>[ HUPCL=<0|1> CLOCAL=<0|1>]
 *
 * UARTEMU_GUARD (default 1): opens of real serial and console devices (char majors 4, 5
 * except ptmx, 166, 188, 204, 216, 229) fail with EACCES and log a "refused" line, so that
 * a faulty program under test never touches the machine's console or an adapter.
 *
 * The ioctl path (which a fatal-signal handler may reach) takes no lock, allocates
 * nothing and calls only async-signal-safe functions.
 */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 4096
#define MAX_DEVS 64
#define MAX_OPENS 256
#define PATH_BUF 512
#define MAX_PREFIXES 16
#define LINES_MASK (TIOCM_DTR | TIOCM_RTS)

/* Events; also the operations a later fault control will select. */
enum uartemu_op {
    OP_OPEN,
    OP_CLOSE,
    OP_TIOCMGET,
    OP_TIOCMBIS,
    OP_TIOCMBIC,
    OP_TIOCMSET,
    OP_TCSETATTR,
    OP_WRITE,
    OP_REFUSED,
};

static const char *const op_names[] = {"open",     "close",     "TIOCMGET", "TIOCMBIS", "TIOCMBIC",
                                       "TIOCMSET", "tcsetattr", "write",    "refused"};

struct device {
    char path[PATH_BUF]; /* resolved path; empty when the slot is free */
    int opens;
    atomic_int lines;
};

struct opened {
    char given[PATH_BUF]; /* the path as the program passed it */
    int dev;
    int used;
};

static struct device devices[MAX_DEVS];
static struct opened opens[MAX_OPENS];
/* fd -> index + 1 into opens[], 0 when not emulated; read without the lock in ioctl. */
static atomic_int fd_slot[MAX_FDS];
static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;

static char match_buf[1024];
static const char *prefixes[MAX_PREFIXES];
static size_t prefix_len[MAX_PREFIXES];
static int prefix_count;
static int log_fd = -1;
static int guard = 1;

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_open_2)(const char *, int);
static int (*real_open64_2)(const char *, int);
static int (*real_openat_2)(int, const char *, int);
static int (*real_openat64_2)(int, const char *, int);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcsetattr)(int, int, const struct termios *);

static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static _Thread_local int in_init __attribute__((tls_model("initial-exec")));

/* ---- small async-signal-safe formatting ---- */

struct buf {
    char data[PATH_BUF + 192];
    size_t len;
};

static void put_str(struct buf *b, const char *s) {
    while (*s && b->len < sizeof b->data - 1)
        b->data[b->len++] = *s++;
}

/* Spaces and control characters would break the field layout: octal escapes as in
 * /proc/mounts. */
static void put_path(struct buf *b, const char *s) {
    for (; *s && b->len < sizeof b->data - 5; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c <= ' ' || c == '\\') {
            b->data[b->len++] = '\\';
            b->data[b->len++] = (char)('0' + ((c >> 6) & 7));
            b->data[b->len++] = (char)('0' + ((c >> 3) & 7));
            b->data[b->len++] = (char)('0' + (c & 7));
        } else {
            b->data[b->len++] = (char)c;
        }
    }
}

static void put_ull(struct buf *b, unsigned long long v) {
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n && b->len < sizeof b->data - 1)
        b->data[b->len++] = tmp[--n];
}

static void put_int(struct buf *b, long long v) {
    if (v < 0) {
        put_str(b, "-");
        put_ull(b, (unsigned long long)(-v));
    } else {
        put_ull(b, (unsigned long long)v);
    }
}

static void log_event(int fd, const char *path, enum uartemu_op op, int lines,
                      const struct termios *tio) {
    if (log_fd < 0)
        return;
    struct buf b;
    struct timespec ts;
    b.len = 0;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    put_ull(&b, (unsigned long long)ts.tv_sec * 1000000000ull + (unsigned long long)ts.tv_nsec);
    put_str(&b, " ");
    put_int(&b, (long long)getpid());
    put_str(&b, " ");
    put_int(&b, fd);
    put_str(&b, " ");
    put_path(&b, path);
    put_str(&b, " ");
    put_str(&b, op_names[op]);
    put_str(&b, (lines & TIOCM_DTR) ? " DTR=1" : " DTR=0");
    put_str(&b, (lines & TIOCM_RTS) ? " RTS=1" : " RTS=0");
    if (tio) {
        put_str(&b, (tio->c_cflag & HUPCL) ? " HUPCL=1" : " HUPCL=0");
        put_str(&b, (tio->c_cflag & CLOCAL) ? " CLOCAL=1" : " CLOCAL=0");
    }
    b.data[b.len++] = '\n';
    (void)!write(log_fd, b.data, b.len);
}

/* ---- set-up ---- */

/* ISO C has no cast from void * to a function pointer; copy the bits as POSIX intends. */
#define RESOLVE(var, name)                                                                         \
    do {                                                                                           \
        void *sym_ = dlsym(RTLD_NEXT, name);                                                       \
        memcpy(&(var), &sym_, sizeof sym_);                                                        \
    } while (0)

static void do_init(void) {
    in_init = 1;
    RESOLVE(real_open, "open");
    RESOLVE(real_open64, "open64");
    RESOLVE(real_openat, "openat");
    RESOLVE(real_openat64, "openat64");
    RESOLVE(real_open_2, "__open_2");
    RESOLVE(real_open64_2, "__open64_2");
    RESOLVE(real_openat_2, "__openat_2");
    RESOLVE(real_openat64_2, "__openat64_2");
    RESOLVE(real_close, "close");
    RESOLVE(real_ioctl, "ioctl");
    RESOLVE(real_tcsetattr, "tcsetattr");

    const char *match = getenv("UARTEMU_MATCH");
    if (!match || !*match)
        match = "/dev/pts/";
    strncpy(match_buf, match, sizeof match_buf - 1);
    for (char *p = match_buf; p && *p && prefix_count < MAX_PREFIXES;) {
        char *colon = strchr(p, ':');
        if (colon)
            *colon = '\0';
        if (*p) {
            prefixes[prefix_count] = p;
            prefix_len[prefix_count] = strlen(p);
            ++prefix_count;
        }
        p = colon ? colon + 1 : NULL;
    }

    const char *g = getenv("UARTEMU_GUARD");
    guard = !(g && strcmp(g, "0") == 0);

    const char *log_path = getenv("UARTEMU_LOG");
    if (log_path && *log_path) {
        int fd = (int)syscall(SYS_openat, AT_FDCWD, log_path,
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        /* Keep the log out of the low fds the program under test expects to get. */
        if (fd >= 0 && fd < 100) {
            int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
            if (high >= 0) {
                syscall(SYS_close, fd);
                fd = high;
            }
        }
        log_fd = fd;
        if (log_fd >= 0) {
            struct buf b;
            b.len = 0;
            put_str(&b, "# uartemu pid ");
            put_int(&b, (long long)getpid());
            put_str(&b, " match ");
            put_path(&b, match);
            b.data[b.len++] = '\n';
            (void)!write(log_fd, b.data, b.len);
        }
    }
    in_init = 0;
}

/* False while this thread is itself resolving symbols: the caller then uses raw
 * syscalls. */
static int ready(void) {
    if (in_init)
        return 0;
    pthread_once(&init_once, do_init);
    return 1;
}

__attribute__((constructor)) static void uartemu_load(void) {
    int saved = errno;
    (void)ready();
    errno = saved;
}

/* ---- fault injection: room for a control (UARTEMU_FAULTS or a control file) that makes a
 * chosen operation on a chosen device fail with an errno or block. Returns 0 (no fault) or
 * the errno to fail with. ---- */
static int injected_fault(enum uartemu_op op, int fd) {
    (void)op;
    (void)fd;
    return 0;
}

/* ---- the device table ---- */

static int matches(const char *resolved) {
    for (int i = 0; i < prefix_count; ++i)
        if (strncmp(resolved, prefixes[i], prefix_len[i]) == 0)
            return 1;
    return 0;
}

static int is_real_serial(dev_t rdev) {
    unsigned int maj = major(rdev), min = minor(rdev);
    if (maj == 5)
        return min != 2; /* /dev/tty, /dev/console, ttyprintk; not ptmx */
    return maj == 4 || maj == 166 || maj == 188 || maj == 204 || maj == 216 || maj == 229;
}

/* Exported so that tests can check the guard without opening anything. */
int uartemu_refuses(int dirfd, const char *path) {
    struct stat st;
    if (!guard || !path || fstatat(dirfd, path, &st, 0) != 0)
        return 0;
    return S_ISCHR(st.st_mode) && is_real_serial(st.st_rdev);
}

static struct opened *slot_of(int fd) {
    if (fd < 0 || fd >= MAX_FDS)
        return NULL;
    int s = atomic_load_explicit(&fd_slot[fd], memory_order_acquire);
    return s ? &opens[s - 1] : NULL;
}

static int baud_nonzero(int fd) {
    struct termios t;
    return tcgetattr(fd, &t) != 0 || cfgetospeed(&t) != B0;
}

/* An fd closed behind our back (close_range, a libc-internal close) is reused by a new
 * open: forget what it was. */
static void forget_stale(int fd) {
    pthread_mutex_lock(&table_lock);
    int s = atomic_exchange(&fd_slot[fd], 0);
    if (s) {
        --devices[opens[s - 1].dev].opens;
        opens[s - 1].used = 0;
    }
    pthread_mutex_unlock(&table_lock);
}

/* Called right after a successful open. */
static void track(int fd, const char *given, int flags) {
    if (fd < 0 || fd >= MAX_FDS)
        return;
    if (atomic_load(&fd_slot[fd]))
        forget_stale(fd);
    if (flags & O_PATH)
        return;
    char proc[40] = "/proc/self/fd/";
    struct buf num;
    num.len = 0;
    put_int(&num, fd);
    num.data[num.len] = '\0';
    strcat(proc, num.data);
    char resolved[PATH_BUF];
    ssize_t n = readlink(proc, resolved, sizeof resolved - 1);
    if (n <= 0)
        return;
    resolved[n] = '\0';
    if (!matches(resolved))
        return;

    pthread_mutex_lock(&table_lock);
    int d = -1, spare = -1, idle = -1;
    for (int i = 0; i < MAX_DEVS; ++i) {
        if (devices[i].path[0] == '\0') {
            if (spare < 0)
                spare = i;
        } else if (strcmp(devices[i].path, resolved) == 0) {
            d = i;
            break;
        } else if (devices[i].opens == 0 && idle < 0) {
            idle = i;
        }
    }
    if (d < 0) {
        d = spare >= 0 ? spare : idle;
        if (d >= 0) {
            strcpy(devices[d].path, resolved);
            devices[d].opens = 0;
            atomic_store(&devices[d].lines, 0);
        }
    }
    int s = -1;
    for (int i = 0; d >= 0 && i < MAX_OPENS; ++i) {
        if (!opens[i].used) {
            s = i;
            break;
        }
    }
    if (s < 0) {
        pthread_mutex_unlock(&table_lock);
        return;
    }
    opens[s].used = 1;
    opens[s].dev = d;
    strncpy(opens[s].given, given, PATH_BUF - 1);
    opens[s].given[PATH_BUF - 1] = '\0';
    ++devices[d].opens;
    /* Every open raises both lines, unless the line speed is B0. */
    if (baud_nonzero(fd))
        atomic_fetch_or(&devices[d].lines, LINES_MASK);
    int lines = atomic_load(&devices[d].lines);
    atomic_store_explicit(&fd_slot[fd], s + 1, memory_order_release);
    pthread_mutex_unlock(&table_lock);
    log_event(fd, opens[s].given, OP_OPEN, lines, NULL);
}

static int refuse(const char *path) {
    log_event(-1, path, OP_REFUSED, 0, NULL);
    errno = EACCES;
    return -1;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, unsigned int) : 0;
}

/* One body for every open flavour. */
#define OPEN_BODY(call_real, dirfd, path, flags, mode)                                             \
    do {                                                                                           \
        int saved_;                                                                                \
        int fd_;                                                                                   \
        if (!ready())                                                                              \
            return (int)syscall(SYS_openat, dirfd, path, flags, mode);                             \
        if (guard && uartemu_refuses(dirfd, path))                                                 \
            return refuse(path);                                                                   \
        fd_ = call_real;                                                                           \
        saved_ = errno;                                                                            \
        track(fd_, path, flags);                                                                   \
        errno = saved_;                                                                            \
        return fd_;                                                                                \
    } while (0)

#define REAL_OR_SYSCALL(fn, dirfd, path, flags, mode)                                              \
    ((fn) ? (fn)(path, flags, mode) : (int)syscall(SYS_openat, dirfd, path, flags, mode))
#define REAL_AT_OR_SYSCALL(fn, dirfd, path, flags, mode)                                           \
    ((fn) ? (fn)(dirfd, path, flags, mode) : (int)syscall(SYS_openat, dirfd, path, flags, mode))

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    OPEN_BODY(REAL_OR_SYSCALL(real_open, AT_FDCWD, path, flags, mode), AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    OPEN_BODY(REAL_OR_SYSCALL(real_open64, AT_FDCWD, path, flags, mode), AT_FDCWD, path, flags,
              mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    OPEN_BODY(REAL_AT_OR_SYSCALL(real_openat, dirfd, path, flags, mode), dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    OPEN_BODY(REAL_AT_OR_SYSCALL(real_openat64, dirfd, path, flags, mode), dirfd, path, flags,
              mode);
}

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

int __open_2(const char *path, int flags) {
    OPEN_BODY(real_open_2 ? real_open_2(path, flags)
                          : (int)syscall(SYS_openat, AT_FDCWD, path, flags, 0),
              AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags) {
    OPEN_BODY(real_open64_2 ? real_open64_2(path, flags)
                            : (int)syscall(SYS_openat, AT_FDCWD, path, flags, 0),
              AT_FDCWD, path, flags, 0);
}

int __openat_2(int dirfd, const char *path, int flags) {
    OPEN_BODY(real_openat_2 ? real_openat_2(dirfd, path, flags)
                            : (int)syscall(SYS_openat, dirfd, path, flags, 0),
              dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char *path, int flags) {
    OPEN_BODY(real_openat64_2 ? real_openat64_2(dirfd, path, flags)
                              : (int)syscall(SYS_openat, dirfd, path, flags, 0),
              dirfd, path, flags, 0);
}

int close(int fd) {
    if (!ready() || !real_close)
        return (int)syscall(SYS_close, fd);
    struct opened *o = slot_of(fd);
    if (!o)
        return real_close(fd);

    char given[PATH_BUF];
    pthread_mutex_lock(&table_lock);
    atomic_store(&fd_slot[fd], 0);
    struct device *d = &devices[o->dev];
    strcpy(given, o->given);
    if (--d->opens == 0) {
        /* Last close: the port shuts down and drops the lines when HUPCL is set. */
        struct termios t;
        if (tcgetattr(fd, &t) == 0 && (t.c_cflag & HUPCL))
            atomic_store(&d->lines, 0);
    }
    int lines = atomic_load(&d->lines);
    o->used = 0;
    pthread_mutex_unlock(&table_lock);

    int r = real_close(fd);
    int saved = errno;
    log_event(fd, given, OP_CLOSE, lines, NULL);
    errno = saved;
    return r;
}

static int modem_op(int fd, struct opened *o, unsigned long req, void *arg) {
    atomic_int *lines = &devices[o->dev].lines;
    enum uartemu_op op = req == TIOCMGET   ? OP_TIOCMGET
                         : req == TIOCMBIS ? OP_TIOCMBIS
                         : req == TIOCMBIC ? OP_TIOCMBIC
                                           : OP_TIOCMSET;
    int err = injected_fault(op, fd);
    if (err) {
        errno = err;
        return -1;
    }
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    int now;
    if (op == OP_TIOCMGET) {
        *(int *)arg = atomic_load(lines);
        return 0;
    }
    int bits = *(const int *)arg & LINES_MASK;
    if (op == OP_TIOCMBIS)
        now = atomic_fetch_or(lines, bits) | bits;
    else if (op == OP_TIOCMBIC)
        now = atomic_fetch_and(lines, ~bits) & ~bits;
    else
        now = (atomic_exchange(lines, bits), bits);
    log_event(fd, o->given, op, now, NULL);
    return 0;
}

/* After a successful termios change: a change to B0 drops the lines, one away from B0
 * raises them again (RTS only without hardware flow control), as the serial core does. */
static void termios_changed(int fd, struct opened *o, const struct termios *before) {
    struct termios now;
    if (tcgetattr(fd, &now) != 0)
        return;
    atomic_int *lines = &devices[o->dev].lines;
    if (before && cfgetospeed(before) != B0 && cfgetospeed(&now) == B0)
        atomic_fetch_and(lines, ~LINES_MASK);
    else if (before && cfgetospeed(before) == B0 && cfgetospeed(&now) != B0)
        atomic_fetch_or(lines, (now.c_cflag & CRTSCTS) ? TIOCM_DTR : LINES_MASK);
    log_event(fd, o->given, OP_TCSETATTR, atomic_load(lines), &now);
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int saved = errno;
    if (!ready() || !real_ioctl)
        return (int)syscall(SYS_ioctl, fd, req, arg);
    struct opened *o = slot_of(fd);
    if (!o)
        return real_ioctl(fd, req, arg);
    if (req == TIOCMGET || req == TIOCMBIS || req == TIOCMBIC || req == TIOCMSET) {
        int r = modem_op(fd, o, req, arg);
        if (r == 0)
            errno = saved;
        return r;
    }
    if (req == TCSETS || req == TCSETSW || req == TCSETSF) {
        struct termios before;
        int have = tcgetattr(fd, &before) == 0;
        int r = real_ioctl(fd, req, arg);
        saved = errno;
        if (r == 0)
            termios_changed(fd, o, have ? &before : NULL);
        errno = saved;
        return r;
    }
    return real_ioctl(fd, req, arg);
}

int tcsetattr(int fd, int action, const struct termios *tio) {
    if (!ready() || !real_tcsetattr) {
        errno = ENOSYS;
        return -1;
    }
    struct opened *o = slot_of(fd);
    if (!o)
        return real_tcsetattr(fd, action, tio);
    struct termios before;
    int have = tcgetattr(fd, &before) == 0;
    int r = real_tcsetattr(fd, action, tio);
    int saved = errno;
    if (r == 0)
        termios_changed(fd, o, have ? &before : NULL);
    errno = saved;
    return r;
}
