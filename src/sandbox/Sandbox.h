#pragma once

// Confinement of the processes that parse files for the program: the image readers and the
// metadata tool. A file is the attacker's input, and a fault in any of the parsers that read it may
// hand the process over to the file; confined, that process can still answer on the descriptors it
// holds, and nothing else: no writes anywhere, no reads beyond what it needs, no network, no new
// processes or programs, no signals to other processes, no new privileges, and limits it cannot lift.

#include <cstdint>
#include <string>
#include <vector>

namespace sandbox {

/// What a confined process may still reach.
struct Reach {
    /// Folders (and everything beneath) and files it may read, by name; missing ones are skipped.
    std::vector<std::string> readable;
    /// Files it may read, by an open descriptor.
    std::vector<int> readableFiles;
    /// Programs it may run in its own place (execve: the process stays the one it is). None: no
    /// program can be started at all.
    std::vector<std::string> programs;
    /// The sockets it may send and receive on; it can make no other.
    std::vector<int> sockets;
    /// Whether it may start threads (never processes).
    bool threads = true;
};

/// The version of Landlock that the kernel offers, 0 when it offers none.
int landlockVersion();

/// Confines the calling process for the rest of its life and that of any program it runs in its
/// place: no new privileges and no capabilities, the file system and network rules of Landlock
/// where the kernel has it, and a seccomp filter that refuses every system call outside a short
/// list (with EPERM), among them those that open files for writing, make sockets, start processes,
/// trace, signal another process or change limits. The process must have one thread. Empty on
/// success, else what could not be applied: the process must then not go on.
std::string confine(const Reach& reach);

/// Sets the soft and hard limit of `resource` (RLIMIT_*) of the calling process. False when the
/// system refuses.
bool setLimit(int resource, uint64_t soft, uint64_t hard);

/// Bytes of address space that the calling process maps now.
uint64_t mappedBytes();

} // namespace sandbox
