// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingDevice.h"

#include <QString>

namespace zptt {

// The last line of defence, for when the program cannot end normally: a crash, a signal it
// does not otherwise handle (SIGUSR1, SIGALRM, ...), exit() from inside the toolkit (a lost
// display). Puts the open port's lines at rest and removes its UUCP lock file with
// async-signal-safe calls before the process ends. SIGKILL and power loss are left to HUPCL
// and the guardian.
namespace EmergencyRelease {

// False when a handler could not be installed.
bool install();
// The open port's descriptor (or -1), what puts it at rest, and our lock file.
void track(int fd, const RestAction &rest, const QString &lockFile);
// Lines at rest now; safe in a signal handler.
void releaseNow();
// Lines at rest, our lock file removed, the process ended with this status; safe in a signal
// handler and on any thread.
[[noreturn]] void endProcess(int status);

} // namespace EmergencyRelease

} // namespace zptt
