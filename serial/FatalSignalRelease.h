#pragma once

namespace zptt {

// On a crash (SIGSEGV, SIGABRT, SIGBUS, SIGFPE) lowers DTR and RTS of the open port with
// async-signal-safe calls before the default action; likewise at exit(). SIGKILL and power
// loss are left to HUPCL.
namespace FatalSignalRelease {

void install();
// The descriptor of the open port, or -1.
void track(int fd);

} // namespace FatalSignalRelease

} // namespace zptt
