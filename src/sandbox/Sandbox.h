#pragma once

// Confinement of the processes that parse files for the program: the image readers and the
// metadata tool. A file is the attacker's input, and a fault in any of the parsers that read it may
// hand the process over to the file; confined, that process can still answer on the descriptors it
// holds, and nothing else: no writes anywhere, no reads beyond what it needs, no network, no new
// processes or programs, no signals to other processes, no new privileges, and limits it cannot lift.

#include <cstdint>
#include <string>
#include <vector>

// Set in builds with AddressSanitizer or ThreadSanitizer, whose processes map memory their own way
// and keep threads of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GW_SANITIZED 1
#endif
#endif

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
    /// Whether it may start threads, as the C library's pthread_create() does (never processes,
    /// nor anything else that clone can make).
    bool threads = true;
    /// With `threads`: each thread it starts is first asked of whoever holds the listener that
    /// confine() hands back (see answerThread()), who may refuse it.
    bool threadsAsked = false;
};

/// The version of Landlock that the kernel offers, 0 when it offers none.
int landlockVersion();

/// Gives the calling process, which must have one thread, a file system and a network of its own,
/// for the rest of its life and that of its copies: a user namespace in which its file system holds
/// nothing but `visible` (folders, files and character devices, read-only, under their own names;
/// missing ones are skipped), and a network namespace with no connection in it and no way out.
/// "/proc/self" shows the entries of the calling process, whatever program it runs later (not
/// those of its copies), and nothing of any other process. Whatever it can still name beyond its descriptors
/// is then only what it needs. Empty on success, else why not: a kernel that lets no unprivileged process
/// make a user namespace, or a file system that cannot be made; the process may go on as it was, with the
/// rest of its confinement.
std::string isolate(const std::vector<std::string>& visible);

/// The environment of a process that parses files: of the caller's variables, those that libraries
/// need to find their files (home, language and locale, the XDG folders, fontconfig's and the
/// library path) and those named in `more`, "NAME=value" each; nothing of the user's session
/// (display, message bus, agents, tokens).
std::vector<std::string> environment(const std::vector<const char*>& more = {});

/// Confines the calling process for the rest of its life and that of any program it runs in its
/// place: no new privileges and no capabilities, the file system and network rules of Landlock
/// where the kernel has it, and a seccomp filter that refuses every system call outside a short
/// list (with EPERM), among them those that open files for writing, make sockets, start processes,
/// trace, signal another process, change limits, lock or lease files, ask to be told of their
/// changes or read extended attributes by name. The process must have one thread. Empty on
/// success, else what could not be applied: the process must then not go on.
/// With `reach.threadsAsked`, `threadListener` gets the listener that is asked for each thread, or
/// -1 where the kernel cannot ask (threads are then refused); it is the caller's to close.
std::string confine(const Reach& reach, int* threadListener = nullptr);

/// What a process confined with `threadsAsked` may ask of answerThread().
struct ThreadLimits {
    /// Threads at once, with those on their way: more are refused, as the system refuses a thread
    /// it has no room for.
    int threads = 0;
    /// Refusals: a process that asks again after so many is ended.
    int refusals = 0;
    /// Requests in all, granted or refused: each costs the one who answers, whether the thread then
    /// starts, ends at once or is refused by the kernel. A process that asks once more is ended.
    int requests = 0;
};

/// What answerThread() keeps of one process between its requests for threads.
struct ThreadRequests {
    /// The process, and how many threads it had when it was last looked at (0: not yet, or gone).
    int process = 0;
    int threads = 0;
    /// Of the threads let start before that look, those it may not have shown yet.
    int uncertain = 0;
    /// Threads let start since that look: counted as running until the next look, whether they
    /// started, ended at once or were refused by the kernel.
    int granted = 0;
    /// Its threads that were let start one that the count of its threads may not show yet: a
    /// thread makes one call at a time, so the one it started is counted once it asks again, or
    /// has ended.
    std::vector<int> starting;
    /// How many of its requests were refused.
    int refused = 0;
    /// How many requests it has made.
    int asked = 0;
};

/// Answers the next request of a process confined with `threadsAsked` for a thread, which waits on
/// `listener`: granted while the process has, with the threads on their way, fewer than
/// `limits.threads`, else refused; a process that asks past any other limit is ended instead. The
/// process is looked at only when the threads it may have reach the limit, so a request costs the
/// one who answers little more than its answer. False when the listener is no longer to be asked:
/// the process has ended, or has been ended.
bool answerThread(int listener, const ThreadLimits& limits, ThreadRequests& requests);

/// Sets the soft and hard limit of `resource` (RLIMIT_*) of the calling process. False when the
/// system refuses.
bool setLimit(int resource, uint64_t soft, uint64_t hard);

/// Bytes of address space that the calling process maps now.
uint64_t mappedBytes();

} // namespace sandbox
