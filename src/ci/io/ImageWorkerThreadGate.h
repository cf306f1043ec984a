#pragma once

// The gate through which reader processes start threads: each request of a confined reader for a
// thread waits on the listener of its seccomp filter until the program answers it here.

namespace ci::io::imagelib {

/// Whether `fd` is the listener of a process's seccomp filter.
bool isThreadListener(int fd);

/// Takes the listener of a confined reader, and answers from now on each request for a thread that
/// comes through it (see ImageWorkerThreadGate.cpp).
void gateThreads(int listener);

} // namespace ci::io::imagelib
