// SPDX-License-Identifier: GPL-3.0-or-later
#include "LineGuard.h"

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace zptt {

namespace {

void closeIfOpen(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

DescriptorCopy::~DescriptorCopy() {
    closeIfOpen(m_fd);
    closeIfOpen(m_next);
}

bool DescriptorCopy::take(int fd) {
    int copy = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    const bool made = copy >= 0;
    std::lock_guard lock(m_mutex);
    closeIfOpen(m_next);
    if (m_inUse) {
        m_next = copy;
        m_stale = true;
    } else {
        closeIfOpen(m_fd);
        m_fd = copy;
    }
    return made;
}

void DescriptorCopy::drop() {
    std::lock_guard lock(m_mutex);
    closeIfOpen(m_next);
    if (m_inUse)
        m_stale = true;
    else
        closeIfOpen(m_fd);
}

int DescriptorCopy::borrow() {
    std::lock_guard lock(m_mutex);
    m_inUse = m_fd >= 0;
    return m_fd;
}

void DescriptorCopy::giveBack() {
    std::lock_guard lock(m_mutex);
    m_inUse = false;
    if (m_stale) {
        closeIfOpen(m_fd);
        m_fd = std::exchange(m_next, -1);
        m_stale = false;
    }
}

} // namespace zptt
