// SPDX-License-Identifier: GPL-3.0-or-later
/* The click-to-line floor: the least an X program can do between a click and the line. A bare
 * Xlib window that toggles DTR on a terminal at each ButtonPress it receives; the benchmark
 * builds it with cc, runs it under the line emulation and clicks it as it clicks TX.
 *
 *     floor TERMINAL      prints its window id once the window is shown */
#include <X11/Xlib.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: floor TERMINAL\n");
        return 2;
    }
    int both = TIOCM_DTR | TIOCM_RTS, dtr = TIOCM_DTR, keyed = 0, shown = 0;
    int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ioctl(fd, TIOCMBIC, &both) != 0) { /* the open raised both */
        perror(argv[1]);
        return 1;
    }
    Display *d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "floor: cannot open the display\n");
        return 1;
    }
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 120, 60, 0, 0,
                                   WhitePixel(d, DefaultScreen(d)));
    XStoreName(d, w, "floor");
    XSelectInput(d, w, ButtonPressMask | ExposureMask);
    XMapWindow(d, w);
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == ButtonPress) {
            keyed = !keyed;
            if (ioctl(fd, keyed ? TIOCMBIS : TIOCMBIC, &dtr) != 0) {
                perror("floor: ioctl");
                return 1;
            }
        } else if (e.type == Expose && !shown) {
            shown = 1;
            printf("%lu\n", (unsigned long)w);
            fflush(stdout);
        }
    }
}
