// SPDX-License-Identifier: GPL-3.0-or-later
// A pseudo-terminal whose master stays open (closing it unplugs the adapter); the code under test
// opens the slave by its path.
#pragma once

#include <QString>
#include <pty.h>
#include <unistd.h>
#include <utility>

struct Pty {
    int master = -1;
    QString path;
    Pty() {
        int slave = -1;
        char name[64] = {};
        ::openpty(&master, &slave, name, nullptr, nullptr); // no path: every check fails
        path = QString::fromLocal8Bit(name);
        ::close(slave);
    }
    Pty(const Pty &) = delete;
    ~Pty() { unplug(); }
    void unplug() {
        if (master >= 0)
            ::close(std::exchange(master, -1));
    }
};
