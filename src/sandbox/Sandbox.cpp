#include "Sandbox.h"

#include <seccomp.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace sandbox {

namespace {

// Landlock's later versions, beyond what the system headers may know.
constexpr uint64_t fsRefer = 1ULL << 13;          // version 2
constexpr uint64_t fsTruncate = 1ULL << 14;       // version 3
constexpr uint64_t fsIoctlDev = 1ULL << 15;       // version 5
constexpr uint64_t netBindTcp = 1ULL << 0;        // version 4
constexpr uint64_t netConnectTcp = 1ULL << 1;     // version 4
constexpr uint64_t scopeAbstractUnix = 1ULL << 0; // version 6
constexpr uint64_t scopeSignal = 1ULL << 1;       // version 6

struct RulesetAttributes {
    uint64_t handledAccessFs = 0;
    uint64_t handledAccessNet = 0;
    uint64_t scoped = 0;
};

struct [[gnu::packed]] PathBeneath {
    uint64_t allowedAccess = 0;
    int32_t parentFd = -1;
};

constexpr uint64_t fsFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                  LANDLOCK_ACCESS_FS_READ_FILE | fsTruncate | fsIoctlDev;

std::string withErrno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

[[maybe_unused]] int threadCount() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    int threads = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "Threads: %d", &threads) == 1)
            break;
    std::fclose(status);
    return threads;
}

/// Gives up every capability, for good (a process started by root has them all).
std::string dropCapabilities() {
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap)
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0); // refused without CAP_SETPCAP, which is then none
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capset, &header, data) != 0)
        return withErrno("The capabilities could not be dropped");
    return {};
}

/// Adds a rule for what `fd` names; false when the kernel refuses it.
bool addRule(int ruleset, int fd, uint64_t access, uint64_t handled) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    PathBeneath rule;
    rule.allowedAccess = (S_ISDIR(st.st_mode) ? access : access & fsFileRights) & handled;
    rule.parentFd = fd;
    return rule.allowedAccess == 0 ||
           ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

std::string applyLandlock(int version, const Reach& reach) {
    RulesetAttributes attributes;
    attributes.handledAccessFs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
    if (version >= 2)
        attributes.handledAccessFs |= fsRefer;
    if (version >= 3)
        attributes.handledAccessFs |= fsTruncate;
    if (version >= 5)
        attributes.handledAccessFs |= fsIoctlDev;
    size_t size = sizeof(uint64_t);
    if (version >= 4) {
        attributes.handledAccessNet = netBindTcp | netConnectTcp; // and no rule allows either
        size = 2 * sizeof(uint64_t);
    }
    if (version >= 6) {
        attributes.scoped = scopeAbstractUnix | scopeSignal;
        size = sizeof(RulesetAttributes);
    }
    const int ruleset = int(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0)
        return withErrno("The file system rules could not be made");
    const uint64_t read = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
    const uint64_t handled = attributes.handledAccessFs;
    std::string error;
    auto byName = [&](const std::string& path, uint64_t access) {
        const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            return; // nothing there to reach
        // Files of no file system (memory files) take no rule: none is needed to read them.
        if (!addRule(ruleset, fd, access, handled) && errno != EBADFD && error.empty())
            error = withErrno(("The rule for " + path + " could not be made").c_str());
        ::close(fd);
    };
    for (const std::string& path : reach.readable)
        byName(path, read);
    for (const std::string& path : reach.programs)
        byName(path, read | LANDLOCK_ACCESS_FS_EXECUTE);
    // Rules take descriptors that only name a file: the file itself, named again.
    for (int fd : reach.readableFiles)
        byName("/proc/self/fd/" + std::to_string(fd), LANDLOCK_ACCESS_FS_READ_FILE);
    if (error.empty() && ::syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        error = withErrno("The file system rules could not be applied");
    ::close(ruleset);
    return error;
}

struct FilterDeleter {
    void operator()(void* ctx) const { seccomp_release(ctx); }
};

std::string applySeccomp(const Reach& reach, int* threadListener) {
    std::unique_ptr<void, FilterDeleter> filter(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
    if (!filter)
        return "The system call filter could not be made";
    scmp_filter_ctx ctx = filter.get();
    // Every thread, should a library have started one.
    seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1);
    bool ok = true;
    auto allow = [&](const char* name, std::initializer_list<scmp_arg_cmp> args = {}) {
        const int nr = seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR)
            return; // not a call of this architecture
        ok = ok && seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, nr, unsigned(args.size()), args.begin()) == 0;
    };

    // Memory, threads' synchronisation, time, identity, signals to itself, the end.
    for (const char* name : {"brk",
                             "mmap",
                             "munmap",
                             "mremap",
                             "mprotect",
                             "madvise",
                             "mincore",
                             "msync",
                             "futex",
                             "futex_waitv",
                             "set_robust_list",
                             "get_robust_list",
                             "rseq",
                             "set_tid_address",
                             "arch_prctl",
                             "membarrier",
                             "sched_yield",
                             "sched_getaffinity",
                             "sched_getparam",
                             "sched_getscheduler",
                             "sched_get_priority_min",
                             "sched_get_priority_max",
                             "sched_getattr",
                             "getpriority",
                             "getcpu",
                             "nanosleep",
                             "clock_nanosleep",
                             "clock_gettime",
                             "clock_getres",
                             "gettimeofday",
                             "time",
                             "times",
                             "getpid",
                             "getppid",
                             "gettid",
                             "getuid",
                             "geteuid",
                             "getgid",
                             "getegid",
                             "getresuid",
                             "getresgid",
                             "getgroups",
                             "getpgrp",
                             "getpgid",
                             "getsid",
                             "getrusage",
                             "getrlimit",
                             "sysinfo",
                             "uname",
                             "getrandom",
                             "rt_sigaction",
                             "rt_sigprocmask",
                             "rt_sigreturn",
                             "rt_sigpending",
                             "rt_sigsuspend",
                             "rt_sigtimedwait",
                             "sigaltstack",
                             "restart_syscall",
                             "pause",
                             "exit",
                             "exit_group",
                             "wait4"})
        allow(name);
    const pid_t self = ::getpid();
    allow("kill", {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(self))});
    allow("tgkill", {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(self))});
    allow("rt_sigqueueinfo", {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(self))});
    allow("rt_tgsigqueueinfo", {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(self))});
    // Limits are read, never set.
    allow("prlimit64", {SCMP_A2(SCMP_CMP_EQ, 0)});
    for (int option : {PR_SET_NAME, PR_GET_NAME, PR_GET_DUMPABLE, PR_GET_NO_NEW_PRIVS, PR_CAPBSET_READ,
                       PR_GET_TIMERSLACK, PR_GET_SECCOMP, 0x53564d41 /* PR_SET_VMA */})
        allow("prctl", {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(option))});
    // Threads only as the C library's pthread_create() starts them, as every library does (the
    // kernel reads only the low 32 bits of clone's flags, the exit signal among them, none for a
    // thread). Other flags make threads that the kernel refuses, or that share less than a thread
    // does: refused here, at no one's cost but the process's.
    constexpr scmp_datum_t threadFlags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                                         CLONE_SYSVSEM | CLONE_SETTLS | CLONE_PARENT_SETTID |
                                         CLONE_CHILD_CLEARTID;
    const scmp_arg_cmp thread = SCMP_A0(SCMP_CMP_MASKED_EQ, 0xFFFFFFFF, threadFlags);
    const bool asked = reach.threads && reach.threadsAsked && threadListener;
    if (asked)
        ok = ok && seccomp_rule_add(ctx, SCMP_ACT_NOTIFY, SCMP_SYS(clone), 1, thread) == 0;
    else if (reach.threads)
        allow("clone", {thread});
    // Without it the C library falls back to clone, whose flags the filter can see.
    ok = ok && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;

    // Files: what is open is read and written; files are opened for reading only (what they may
    // be is Landlock's).
    for (const char* name :
         {"read",        "readv",        "pread64",      "preadv",        "preadv2",    "write",
          "writev",      "pwrite64",     "pwritev",      "lseek",         "close",      "close_range",
          "fstat",       "newfstatat",   "statx",        "stat",          "lstat",      "fstatfs",
          "statfs",      "getdents64",   "getdents",     "readlink",      "readlinkat", "access",
          "faccessat",   "faccessat2",   "getcwd",       "dup",           "dup2",       "dup3",
          "pipe",        "pipe2",        "eventfd",      "eventfd2",      "poll",       "ppoll",
          "select",      "pselect6",     "epoll_create", "epoll_create1", "epoll_ctl",  "epoll_wait",
          "epoll_pwait", "epoll_pwait2", "fadvise64",    "readahead",     "umask",      "fgetxattr"})
        allow(name);
    // Descriptors are copied and their flags read and set; nothing else: no locks or leases (which
    // would hold up the user's other programs on the file), no owner or signal, no notification.
    for (int command : {F_DUPFD, F_DUPFD_CLOEXEC, F_GETFD, F_SETFD, F_GETFL, F_SETFL})
        allow("fcntl", {SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(command))});
    constexpr scmp_datum_t writing =
        O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
    allow("openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)});
    allow("open", {SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)});
    // Only the terminal queries, on whatever descriptor: nothing that drives a device.
    for (unsigned long request : {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO, FIOCLEX, FIONCLEX})
        allow("ioctl", {SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(request))});
    for (int fd : reach.sockets)
        for (const char* name : {"sendmsg", "sendto", "recvmsg", "recvfrom"})
            allow(name, {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd))});
    if (!reach.programs.empty())
        allow("execve");
    if (!ok)
        return "The system call filter could not be made";
    if (const int rc = seccomp_load(ctx); rc != 0)
        return std::string("The system call filter could not be applied: ") + std::strerror(-rc);
    if (asked)
        *threadListener = seccomp_notify_fd(ctx);
    return {};
}

/// Writes `text` into the file `path`; false when it cannot.
bool writeFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return written;
}

/// `path` without repeated or trailing slashes.
std::string tidy(const std::string& path) {
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/')
            out.push_back(c);
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

/// Makes the folder `path` and those above it that are missing; false when one cannot be made.
bool makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

/// The flags of the mount at `path` that a mount made in a user namespace may not drop.
unsigned long lockedFlags(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0)
        return 0;
    unsigned long flags = 0;
    for (const auto& [from, to] :
         {std::pair{ST_NOSUID, MS_NOSUID}, std::pair{ST_NODEV, MS_NODEV}, std::pair{ST_NOEXEC, MS_NOEXEC},
          std::pair{ST_NOATIME, MS_NOATIME}, std::pair{ST_NODIRATIME, MS_NODIRATIME},
          std::pair{ST_RELATIME, MS_RELATIME}})
        if (st.f_flag & from)
            flags |= to;
    return flags;
}

/// Makes `path` (a folder or a file) read-only where it is mounted; a failure leaves it as it was.
void readOnly(const std::string& path) {
    ::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | lockedFlags(path), nullptr);
}

/// Looks at the process of `thread` for its id and how many threads it has now (0 when it has
/// gone).
void lookAt(int thread, ThreadRequests& requests) {
    requests.threads = 0;
    const std::string status = "/proc/" + std::to_string(thread) + "/status";
    FILE* file = std::fopen(status.c_str(), "re");
    if (!file)
        return;
    char line[256];
    int process = 0;
    while (std::fgets(line, sizeof line, file) && requests.threads == 0)
        if (std::sscanf(line, "Tgid: %d", &process) != 1)
            std::sscanf(line, "Threads: %d", &requests.threads);
    std::fclose(file);
    if (process > 0)
        requests.process = process;
}

} // namespace

std::string isolate(const std::vector<std::string>& visible) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
        return withErrno("No user namespace could be made");
    // The same user and group inside as outside, and no other.
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        return withErrno("The user namespace could not be set up");
    // Nothing done here reaches the system's mounts, and nothing of theirs comes here.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return withErrno("The file system could not be made");

    // What will be visible, by descriptors of this namespace's mounts: the new file system is made
    // over /tmp, which may hold some of it. A name that lies under one taken already comes with it.
    std::vector<std::string> names;
    for (const std::string& path : visible)
        if (!path.empty() && path[0] == '/')
            names.push_back(tidy(path));
    std::sort(names.begin(), names.end());
    struct Source {
        std::string name;
        int fd;
        bool folder;
    };
    std::vector<Source> sources;
    struct Closer {
        std::vector<Source>& sources;
        ~Closer() {
            for (const Source& source : sources)
                ::close(source.fd);
        }
    } closer{sources};
    for (const std::string& name : names) {
        if (!sources.empty() && (name == sources.back().name ||
                                 (sources.back().folder && name.starts_with(sources.back().name + "/"))))
            continue;
        const int fd = ::open(name.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            continue; // nothing there to see
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
            ::close(fd);
            continue;
        }
        sources.push_back({name, fd, S_ISDIR(st.st_mode)});
    }

    const std::string root = "/tmp";
    if (::mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=1m") != 0)
        return withErrno("The file system could not be made");
    std::string error;
    for (const Source& source : sources) {
        const std::string target = root + source.name;
        const std::string from = "/proc/self/fd/" + std::to_string(source.fd);
        bool made = makeFolders(source.folder ? target : target.substr(0, target.rfind('/')));
        if (made && !source.folder) {
            const int file = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            made = file >= 0;
            if (made)
                ::close(file);
        }
        if (!made || ::mount(from.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            error = withErrno(("The file system could not show " + source.name).c_str());
            break;
        }
        readOnly(target);
    }
    const std::string old = root + "/.old";
    if (error.empty() &&
        (::mkdir(old.c_str(), 0700) != 0 || ::syscall(SYS_pivot_root, root.c_str(), old.c_str()) != 0))
        error = withErrno("The file system could not be entered");
    if (!error.empty()) {
        // As it was, but for the network.
        ::umount2(root.c_str(), MNT_DETACH);
        return error;
    }
    if (::chdir("/") != 0 || ::umount2("/.old", MNT_DETACH) != 0)
        return withErrno("The file system could not be entered");
    ::rmdir("/.old");
    readOnly("/");
    return {};
}

std::vector<std::string> environment(const std::vector<const char*>& more) {
    static const char* const kept[] = {"HOME",
                                       "LANG",
                                       "LANGUAGE",
                                       "LC_ALL",
                                       "LC_CTYPE",
                                       "LC_NUMERIC",
                                       "LC_MESSAGES",
                                       "XDG_CACHE_HOME",
                                       "XDG_CONFIG_HOME",
                                       "XDG_DATA_HOME",
                                       "XDG_DATA_DIRS",
                                       "FONTCONFIG_FILE",
                                       "FONTCONFIG_PATH",
                                       "LD_LIBRARY_PATH"};
    std::vector<std::string> env;
    auto keep = [&](const char* name) {
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    };
    std::for_each(std::begin(kept), std::end(kept), keep);
    std::for_each(more.begin(), more.end(), keep);
    return env;
}

int landlockVersion() {
    static const int version = [] {
        const long v = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
        return v > 0 ? int(v) : 0;
    }();
    return version;
}

std::string confine(const Reach& reach, int* threadListener) {
    // The sanitizers' runtimes keep threads of their own, which run none of our code.
#ifndef GW_SANITIZED
    if (threadCount() > 1)
        return "The process has more than one thread";
#endif
    if (threadListener)
        *threadListener = -1;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return withErrno("New privileges could not be refused");
    if (std::string error = dropCapabilities(); !error.empty())
        return error;
    if (const int version = landlockVersion(); version > 0)
        if (std::string error = applyLandlock(version, reach); !error.empty())
            return error;
    if (reach.threads && reach.threadsAsked && threadListener) {
        // A kernel that cannot ask for threads: none at all.
        if (std::string error = applySeccomp(reach, threadListener); error.empty())
            return error;
        Reach without = reach;
        without.threads = false;
        return applySeccomp(without, nullptr);
    }
    return applySeccomp(reach, nullptr);
}

bool answerThread(int listener, const ThreadLimits& limits, ThreadRequests& requests) {
    seccomp_notif request{};
    if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0)
        return errno == EINTR || errno == ENOENT; // ENOENT: the asker went away meanwhile
    const int asker = int(request.pid);
    // The thread that asks has started what it was let start before.
    std::erase(requests.starting, asker);
    seccomp_notif_resp response{};
    response.id = request.id;
    if (requests.refused >= limits.refusals || ++requests.asked > limits.requests) {
        // Still asking after so many refusals or so many requests: ended, while the
        // request shows that it is the process that asks (its id cannot have gone to another yet).
        if (requests.process == 0)
            lookAt(asker, requests);
        const int pidfd = requests.process > 0 ? int(::syscall(SYS_pidfd_open, requests.process, 0)) : -1;
        if (pidfd >= 0) {
            if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &request.id) == 0)
                ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
            ::close(pidfd);
        }
        // Closed, the listener refuses whatever the process still asks without a word of ours.
        response.error = -EAGAIN;
        ::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
        return false;
    }
    auto room = [&] {
        return requests.threads > 0 &&
               requests.threads + requests.uncertain + requests.granted < limits.threads;
    };
    if (!room()) {
        // Its threads now, the asking one among them; read while it waits, so they cannot be more.
        lookAt(asker, requests);
        // A thread that has ended has started what it was let start; the others' may not show yet.
        std::erase_if(requests.starting, [&](int thread) {
            return ::syscall(SYS_tgkill, requests.process, thread, 0) != 0 && errno == ESRCH;
        });
        requests.uncertain = int(requests.starting.size());
        requests.granted = 0;
    }
    if (room()) {
        // Its flags are in a register, read by the filter: nothing the process could change since.
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response) == 0) {
            requests.starting.push_back(asker);
            ++requests.granted;
            return true;
        }
        if (errno == ENOENT)
            return true;
        response.flags = 0;
    }
    response.error = -EAGAIN;
    ::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    ++requests.refused;
    return true;
}

bool setLimit(int resource, uint64_t soft, uint64_t hard) {
    const rlimit limit{rlim_t(soft), rlim_t(hard)};
    return ::setrlimit(__rlimit_resource(resource), &limit) == 0;
}

uint64_t mappedBytes() {
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long long pages = 0;
    const bool read = std::fscanf(statm, "%llu", &pages) == 1;
    std::fclose(statm);
    return read ? uint64_t(pages) * uint64_t(::sysconf(_SC_PAGESIZE)) : 0;
}

} // namespace sandbox
