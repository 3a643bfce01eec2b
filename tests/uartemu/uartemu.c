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
 * UARTEMU_CONTROL=<file>: fault rules the test may change while the program runs. The file
 * is looked at (one stat) on every intercepted call and re-read when it changes; replace it
 * with a rename so that no half-written file is ever read. One rule a line; a word that
 * begins with '#' starts a comment:
 *   fail ioctl <REQUEST|*> <ERRNO> [<path-prefix>] [once]   emulated devices only
 *   block ioctl <REQUEST|*> <ms> [<path-prefix>] [once]     then the call goes ahead
 *   fail|block write|rename|fsync <ERRNO|ms> [<path-prefix>] [once]
 * REQUEST: TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET, TIOCEXCL, TCSETS (tcsetattr too), a
 * number, or * for any. rename covers rename/renameat/renameat2 and matches either path;
 * fsync covers fdatasync; write and fsync match the fd's resolved path. The first rule that
 * matches applies; a "once" rule applies once per reading of the file. Each injected fault
 * is logged in the event layout, with DTR/RTS the device's register (0 for files):
 *   ... <fd> <path> fault DTR=.. RTS=.. call=<call>[ req=<REQUEST>] errno=<ERRNO>|block=<ms>
 * and the end of a block as an "unblock" event. A pty that goes away is not emulated here:
 * close its master, which is what the kernel's hang-up really looks like.
 *
 * The ioctl path (which a fatal-signal handler may reach) takes no lock, allocates
 * nothing and calls only async-signal-safe functions; so does the control's reload.
 */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
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
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_rename)(const char *, const char *);
static int (*real_renameat)(int, const char *, int, const char *);
static int (*real_renameat2)(int, const char *, int, const char *, unsigned int);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);

static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static _Thread_local int in_init __attribute__((tls_model("initial-exec")));

/* ---- small async-signal-safe formatting ---- */

struct buf {
    char data[2 * PATH_BUF + 256];
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

static void put_hex(struct buf *b, unsigned long v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    put_str(b, "0x");
    while (n && b->len < sizeof b->data - 1)
        b->data[b->len++] = tmp[--n];
}

/* extra: further " key=value" fields, already formatted, or NULL. */
static void log_line(int fd, const char *path, const char *event, int lines,
                     const struct termios *tio, const char *extra) {
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
    put_str(&b, event);
    put_str(&b, (lines & TIOCM_DTR) ? " DTR=1" : " DTR=0");
    put_str(&b, (lines & TIOCM_RTS) ? " RTS=1" : " RTS=0");
    if (tio) {
        put_str(&b, (tio->c_cflag & HUPCL) ? " HUPCL=1" : " HUPCL=0");
        put_str(&b, (tio->c_cflag & CLOCAL) ? " CLOCAL=1" : " CLOCAL=0");
    }
    if (extra)
        put_str(&b, extra);
    b.data[b.len++] = '\n';
    (void)!syscall(SYS_write, log_fd, b.data, b.len);
}

static void log_event(int fd, const char *path, enum uartemu_op op, int lines,
                      const struct termios *tio) {
    log_line(fd, path, op_names[op], lines, tio, NULL);
}

static void log_comment(const char *what, const char *text) {
    if (log_fd < 0)
        return;
    struct buf b;
    b.len = 0;
    put_str(&b, "# uartemu pid ");
    put_int(&b, (long long)getpid());
    put_str(&b, " ");
    put_str(&b, what);
    put_path(&b, text);
    b.data[b.len++] = '\n';
    (void)!syscall(SYS_write, log_fd, b.data, b.len);
}

/* ---- fault injection (UARTEMU_CONTROL) ----
 *
 * Two rule sets: the live one, read by any thread or signal handler, and the spare, which
 * a reload fills and then makes live. A reader that finds the set's generation changed
 * under it (two reloads during its look-up) starts again; a reload already running
 * elsewhere is never waited for: the caller goes on with the live set. */

enum call_kind { CALL_IOCTL, CALL_WRITE, CALL_RENAME, CALL_FSYNC, CALL_COUNT };
static const char *const call_names[] = {"ioctl", "write", "rename", "fsync"};

#define MAX_RULES 32
#define CONTROL_MAX 8192

struct rule {
    int block; /* 0: fail with value as errno; 1: sleep value ms, then go ahead */
    int call;
    int any_req;
    unsigned long req;
    int value;
    int once;
    size_t prefix_len;
    char prefix[PATH_BUF];
};

struct ruleset {
    atomic_uint gen; /* odd while being filled */
    int count;
    int calls; /* bit per call kind that has a rule */
    struct rule rules[MAX_RULES];
    atomic_int fired[MAX_RULES];
};

static char control_path[PATH_BUF];
static struct ruleset rulesets[2];
static atomic_int live_set;
static atomic_flag reloading = ATOMIC_FLAG_INIT;
/* Owned by whoever holds `reloading`. */
static struct {
    int present;
    dev_t dev;
    ino_t ino;
    off_t size;
    long long mtime_ns, ctime_ns;
} control_seen;
static char control_text[CONTROL_MAX];

static const struct {
    const char *name;
    int value;
} errno_names[] = {{"EIO", EIO},       {"ENXIO", ENXIO},   {"ENODEV", ENODEV},
                   {"EBADF", EBADF},   {"ENOSPC", ENOSPC}, {"EROFS", EROFS},
                   {"EACCES", EACCES}, {"EPERM", EPERM},   {"EBUSY", EBUSY},
                   {"EAGAIN", EAGAIN}, {"EINTR", EINTR},   {"EDQUOT", EDQUOT},
                   {"EFBIG", EFBIG},   {"ENOENT", ENOENT}, {"EINVAL", EINVAL},
                   {"EPIPE", EPIPE},   {"ENOTTY", ENOTTY}, {"ETIMEDOUT", ETIMEDOUT}};

static const struct {
    const char *name;
    unsigned long value;
} request_names[] = {{"TIOCMGET", TIOCMGET}, {"TIOCMBIS", TIOCMBIS}, {"TIOCMBIC", TIOCMBIC},
                     {"TIOCMSET", TIOCMSET}, {"TIOCEXCL", TIOCEXCL}, {"TIOCNXCL", TIOCNXCL},
                     {"TCSETS", TCSETS},     {"TCGETS", TCGETS},     {"TCFLSH", TCFLSH},
                     {"FIONREAD", FIONREAD}};

/* The three termios-setting requests (and tcsetattr) are one for the rules. */
static unsigned long rule_request(unsigned long req) {
    return (req == TCSETSW || req == TCSETSF) ? TCSETS : req;
}

static const char *errno_name(int e) {
    for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
        if (errno_names[i].value == e)
            return errno_names[i].name;
    return NULL;
}

static void put_request(struct buf *b, unsigned long req) {
    req = rule_request(req);
    for (size_t i = 0; i < sizeof request_names / sizeof request_names[0]; ++i) {
        if (request_names[i].value == req) {
            put_str(b, request_names[i].name);
            return;
        }
    }
    put_hex(b, req);
}

/* Decimal or 0x hex; -1 when the token is neither. */
static long long parse_number(const char *t) {
    long long v = 0;
    int base = 10;
    if (t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t += 2;
    }
    if (!*t)
        return -1;
    for (; *t; ++t) {
        int d;
        if (*t >= '0' && *t <= '9')
            d = *t - '0';
        else if (base == 16 && *t >= 'a' && *t <= 'f')
            d = *t - 'a' + 10;
        else if (base == 16 && *t >= 'A' && *t <= 'F')
            d = *t - 'A' + 10;
        else
            return -1;
        v = v * base + d;
        if (v > 0x7fffffffll * 2 + 1)
            return -1;
    }
    return v;
}

/* One line into *r; 0 when it is not a rule. Tokens are cut in place. */
static int parse_rule(char *line, struct rule *r) {
    char *tok[8];
    int n = 0;
    for (char *p = line; *p && n < 8;) {
        while (*p == ' ' || *p == '\t' || *p == '\r')
            ++p;
        if (!*p)
            break;
        tok[n++] = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\r')
            ++p;
        if (*p)
            *p++ = '\0';
    }
    if (n < 3)
        return 0;
    memset(r, 0, sizeof *r);
    if (strcmp(tok[0], "fail") == 0)
        r->block = 0;
    else if (strcmp(tok[0], "block") == 0)
        r->block = 1;
    else
        return 0;
    r->call = -1;
    for (int c = 0; c < CALL_COUNT; ++c)
        if (strcmp(tok[1], call_names[c]) == 0)
            r->call = c;
    if (r->call < 0)
        return 0;
    int i = 2;
    if (r->call == CALL_IOCTL) {
        if (strcmp(tok[i], "*") == 0) {
            r->any_req = 1;
        } else {
            long long v = -1;
            for (size_t k = 0; k < sizeof request_names / sizeof request_names[0]; ++k)
                if (strcmp(tok[i], request_names[k].name) == 0)
                    v = (long long)request_names[k].value;
            if (v < 0)
                v = parse_number(tok[i]);
            if (v < 0)
                return 0;
            r->req = rule_request((unsigned long)v);
        }
        ++i;
    }
    if (i >= n)
        return 0;
    long long value = -1;
    if (!r->block)
        for (size_t k = 0; k < sizeof errno_names / sizeof errno_names[0]; ++k)
            if (strcmp(tok[i], errno_names[k].name) == 0)
                value = errno_names[k].value;
    if (value < 0)
        value = parse_number(tok[i]);
    if (value <= 0 || value > 3600000)
        return 0;
    r->value = (int)value;
    for (++i; i < n; ++i) {
        if (strcmp(tok[i], "once") == 0) {
            r->once = 1;
        } else if (tok[i][0] == '/' && !r->prefix_len) {
            size_t len = strlen(tok[i]);
            if (len >= sizeof r->prefix)
                return 0;
            memcpy(r->prefix, tok[i], len + 1);
            r->prefix_len = len;
        } else {
            return 0;
        }
    }
    return 1;
}

static void load_rules(int present) {
    size_t len = 0;
    if (present) {
        int fd = (int)syscall(SYS_openat, AT_FDCWD, control_path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            for (;;) {
                ssize_t got = (ssize_t)syscall(SYS_read, fd, control_text + len,
                                               sizeof control_text - 1 - len);
                if (got <= 0)
                    break;
                len += (size_t)got;
            }
            syscall(SYS_close, fd);
        }
    }
    control_text[len] = '\0';

    int spare = 1 - atomic_load(&live_set);
    struct ruleset *set = &rulesets[spare];
    atomic_fetch_add_explicit(&set->gen, 1, memory_order_acq_rel);
    set->count = 0;
    set->calls = 0;
    for (char *line = control_text; line && *line;) {
        char *next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        /* A comment starts with a '#' that begins a word: paths may hold one. */
        for (char *c = line; *c; ++c) {
            if (*c == '#' && (c == line || c[-1] == ' ' || c[-1] == '\t')) {
                *c = '\0';
                break;
            }
        }
        char *p = line;
        while (*p == ' ' || *p == '\t' || *p == '\r')
            ++p;
        if (*p) {
            char copy[PATH_BUF + 64];
            size_t l = strlen(p);
            if (l >= sizeof copy)
                l = sizeof copy - 1;
            memcpy(copy, p, l);
            copy[l] = '\0';
            if (set->count < MAX_RULES && parse_rule(p, &set->rules[set->count])) {
                atomic_store(&set->fired[set->count], 0);
                set->calls |= 1 << set->rules[set->count].call;
                ++set->count;
            } else {
                log_comment("control: ignored rule: ", copy);
            }
        }
        line = next;
    }
    atomic_fetch_add_explicit(&set->gen, 1, memory_order_release);
    atomic_store(&live_set, spare);
}

/* At most one stat; re-reads the file when it is another file, or changed. */
static void control_refresh(void) {
    if (!control_path[0])
        return;
    if (atomic_flag_test_and_set_explicit(&reloading, memory_order_acquire))
        return;
    int saved = errno;
    struct stat st;
    int present = syscall(SYS_newfstatat, AT_FDCWD, control_path, &st, 0) == 0;
    long long mtime =
        present ? (long long)st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec : 0;
    long long ctime =
        present ? (long long)st.st_ctim.tv_sec * 1000000000ll + st.st_ctim.tv_nsec : 0;
    if (present != control_seen.present ||
        (present && (st.st_dev != control_seen.dev || st.st_ino != control_seen.ino ||
                     st.st_size != control_seen.size || mtime != control_seen.mtime_ns ||
                     ctime != control_seen.ctime_ns))) {
        control_seen.present = present;
        control_seen.dev = present ? st.st_dev : 0;
        control_seen.ino = present ? st.st_ino : 0;
        control_seen.size = present ? st.st_size : 0;
        control_seen.mtime_ns = mtime;
        control_seen.ctime_ns = ctime;
        load_rules(present);
    }
    atomic_flag_clear_explicit(&reloading, memory_order_release);
    errno = saved;
}

static int prefix_matches(const struct rule *r, const char *a, const char *b) {
    size_t len = r->prefix_len < sizeof r->prefix ? r->prefix_len : sizeof r->prefix - 1;
    if (!len)
        return 1;
    return (a && strncmp(a, r->prefix, len) == 0) || (b && strncmp(b, r->prefix, len) == 0);
}

struct hit {
    int block;
    int value;
};

/* Any rule for this kind of call at all (cheap, before a path is looked up). */
static int has_rules(int call) {
    if (!control_path[0])
        return 0;
    control_refresh();
    return (rulesets[atomic_load(&live_set)].calls >> call) & 1;
}

static int find_rule(int call, unsigned long req, const char *a, const char *b, struct hit *h) {
    req = rule_request(req);
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct ruleset *set = &rulesets[atomic_load(&live_set)];
        unsigned g1 = atomic_load_explicit(&set->gen, memory_order_acquire);
        if (g1 & 1)
            continue;
        int found = -1;
        for (int i = 0; i < set->count && i < MAX_RULES; ++i) {
            const struct rule *r = &set->rules[i];
            if (r->call != call || (call == CALL_IOCTL && !r->any_req && r->req != req))
                continue;
            if (r->once && atomic_load(&set->fired[i]))
                continue;
            if (!prefix_matches(r, a, b))
                continue;
            found = i;
            h->block = r->block;
            h->value = r->value;
            break;
        }
        atomic_thread_fence(memory_order_acquire);
        if (atomic_load_explicit(&set->gen, memory_order_relaxed) != g1)
            continue;
        if (found < 0)
            return 0;
        if (set->rules[found].once && atomic_exchange(&set->fired[found], 1))
            continue; /* another thread took it first */
        return 1;
    }
    return 0;
}

static void sleep_ms(int ms) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000l;
    if (until.tv_nsec >= 1000000000l) {
        until.tv_nsec -= 1000000000l;
        ++until.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

/* Logs and carries out a hit: returns the errno to fail with, or 0 after a block. */
static int apply_hit(const struct hit *h, int fd, const char *path, int call, unsigned long req,
                     int lines, const char *to) {
    struct buf extra;
    extra.len = 0;
    put_str(&extra, " call=");
    put_str(&extra, call_names[call]);
    if (call == CALL_IOCTL) {
        put_str(&extra, " req=");
        put_request(&extra, req);
    }
    if (h->block) {
        put_str(&extra, " block=");
        put_int(&extra, h->value);
    } else {
        const char *name = errno_name(h->value);
        put_str(&extra, " errno=");
        if (name)
            put_str(&extra, name);
        else
            put_int(&extra, h->value);
    }
    if (to) {
        put_str(&extra, " to=");
        put_path(&extra, to);
    }
    extra.data[extra.len] = '\0';
    log_line(fd, path, "fault", lines, NULL, extra.data);
    if (!h->block)
        return h->value;
    sleep_ms(h->value);
    log_line(fd, path, "unblock", lines, NULL, extra.data);
    return 0;
}

/* The path an open fd stands for, through /proc; empty when unknown. */
static long fd_path(int fd, char resolved[PATH_BUF]) {
    char proc[40] = "/proc/self/fd/";
    struct buf num;
    num.len = 0;
    put_int(&num, fd);
    num.data[num.len] = '\0';
    strcat(proc, num.data);
    long n = syscall(SYS_readlinkat, AT_FDCWD, proc, resolved, PATH_BUF - 1);
    resolved[n > 0 ? n : 0] = '\0';
    return n;
}

/* An injected error becomes the call's errno and failure. */
static int failed(int err) {
    if (err)
        errno = err;
    return err != 0;
}

/* A call on a file descriptor: matched by the fd's resolved path. */
static int fd_fault(int call, int fd) {
    if (!has_rules(call))
        return 0;
    int saved = errno;
    char resolved[PATH_BUF];
    fd_path(fd, resolved);
    struct hit h;
    int err =
        find_rule(call, 0, resolved, NULL, &h) ? apply_hit(&h, fd, resolved, call, 0, 0, NULL) : 0;
    errno = saved;
    return err;
}

static int rename_fault(const char *from, const char *to) {
    if (!has_rules(CALL_RENAME))
        return 0;
    int saved = errno;
    struct hit h;
    int err = find_rule(CALL_RENAME, 0, from, to, &h)
                  ? apply_hit(&h, -1, from ? from : "?", CALL_RENAME, 0, 0, to ? to : "?")
                  : 0;
    errno = saved;
    return err;
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
    RESOLVE(real_write, "write");
    RESOLVE(real_rename, "rename");
    RESOLVE(real_renameat, "renameat");
    RESOLVE(real_renameat2, "renameat2");
    RESOLVE(real_fsync, "fsync");
    RESOLVE(real_fdatasync, "fdatasync");

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
            (void)!syscall(SYS_write, log_fd, b.data, b.len);
        }
    }

    const char *control = getenv("UARTEMU_CONTROL");
    if (control && *control && strlen(control) < sizeof control_path) {
        strcpy(control_path, control);
        control_refresh();
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
    char resolved[PATH_BUF];
    if (fd_path(fd, resolved) <= 0)
        return;
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

/* An ioctl (or tcsetattr, as TCSETS) on an emulated device: 0, or the errno to fail with. */
static int device_fault(int fd, struct opened *o, unsigned long req) {
    if (!has_rules(CALL_IOCTL))
        return 0;
    struct device *d = &devices[o->dev];
    struct hit h;
    if (!find_rule(CALL_IOCTL, req, o->given, d->path, &h))
        return 0;
    int saved = errno;
    int err = apply_hit(&h, fd, o->given, CALL_IOCTL, req, atomic_load(&d->lines), NULL);
    errno = saved;
    return err;
}

static int modem_op(int fd, struct opened *o, unsigned long req, void *arg) {
    atomic_int *lines = &devices[o->dev].lines;
    enum uartemu_op op = req == TIOCMGET   ? OP_TIOCMGET
                         : req == TIOCMBIS ? OP_TIOCMBIS
                         : req == TIOCMBIC ? OP_TIOCMBIC
                                           : OP_TIOCMSET;
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
    if (failed(device_fault(fd, o, req)))
        return -1;
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
    if (failed(device_fault(fd, o, TCSETS)))
        return -1;
    struct termios before;
    int have = tcgetattr(fd, &before) == 0;
    int r = real_tcsetattr(fd, action, tio);
    int saved = errno;
    if (r == 0)
        termios_changed(fd, o, have ? &before : NULL);
    errno = saved;
    return r;
}

/* ---- the calls a settings store makes, for their faults only ---- */

ssize_t write(int fd, const void *data, size_t n) {
    if (!ready() || !real_write)
        return (ssize_t)syscall(SYS_write, fd, data, n);
    if (failed(fd_fault(CALL_WRITE, fd)))
        return -1;
    return real_write(fd, data, n);
}

int fsync(int fd) {
    if (!ready() || !real_fsync)
        return (int)syscall(SYS_fsync, fd);
    if (failed(fd_fault(CALL_FSYNC, fd)))
        return -1;
    return real_fsync(fd);
}

int fdatasync(int fd) {
    if (!ready() || !real_fdatasync)
        return (int)syscall(SYS_fdatasync, fd);
    if (failed(fd_fault(CALL_FSYNC, fd)))
        return -1;
    return real_fdatasync(fd);
}

int rename(const char *from, const char *to) {
    if (!ready() || !real_rename)
        return (int)syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0);
    if (failed(rename_fault(from, to)))
        return -1;
    return real_rename(from, to);
}

int renameat(int fromdir, const char *from, int todir, const char *to) {
    if (!ready() || !real_renameat)
        return (int)syscall(SYS_renameat2, fromdir, from, todir, to, 0);
    if (failed(rename_fault(from, to)))
        return -1;
    return real_renameat(fromdir, from, todir, to);
}

int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned int flags) {
    if (!ready() || !real_renameat2)
        return (int)syscall(SYS_renameat2, fromdir, from, todir, to, flags);
    if (failed(rename_fault(from, to)))
        return -1;
    return real_renameat2(fromdir, from, todir, to, flags);
}
