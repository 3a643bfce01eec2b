// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <stdexcept>

namespace zptt {

// Raised by the serial line: a port that cannot be opened, a rejected port number.
class SerialError : public std::runtime_error {
public:
    explicit SerialError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

} // namespace zptt
