// Runs a program confined (src/sandbox/Sandbox.h): the metadata tool, which parses every file the
// user imports with a large parser of its own and must not be able to do more than read them.
//
//   gw_confined [--memory BYTES] [--cpu SECONDS] [--cpu-ceiling SECONDS] [--read PATH]...
//               [--read-fd FD]... -- PROGRAM [ARGUMENT...]
//   gw_confined --check
//
// Sets hard limits on the address space and the CPU time (the soft CPU limit is --cpu, the hard one
// --cpu-ceiling: whoever started the program may lower and raise the soft one between its tasks),
// confines itself so that what remains is reading the system's folders that the program needs,
// the PATHs (a folder and what it holds, or a file alone, which leaves its folder unlisted) and the
// regular files open on the descriptors FD, which it inherited and passes on (the program reads
// one as /proc/self/fd/FD: that file, whatever its name leads to), and then runs PROGRAM in its
// place, with the same standard input and output (pipes or sockets: no file can grow), its
// standard error thrown away, no other descriptor and only the environment that libraries need
// (sandbox::environment()). PROGRAM may be a script: its interpreter and that interpreter's loader
// are then the only other programs that can run. What it can read is held twice where the system
// allows: by a file system of its own that holds nothing else (sandbox::isolate()), and by
// Landlock; with neither it is not run. A descriptor FD that is no regular file (or whose file
// cannot be looked at any more) is left out, closed, and said on the standard error: the program
// cannot read that file, and reads the others. Exits 125 on a wrong command line, 126 when the
// confinement cannot be applied, 127 when the program cannot be run.
//
// With --check, runs nothing: exits 0 when a program can be confined here, else 126 with the
// reason on its standard output.

#include "sandbox/Sandbox.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "gw_confined: %s\n", message.c_str());
    return code;
}

std::string realPath(const char* path) {
    char resolved[PATH_MAX];
    return ::realpath(path, resolved) ? std::string(resolved) : std::string();
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool readAt(int fd, void* buffer, size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset) == ssize_t(size);
}

/// The program interpreter (the dynamic loader) that an ELF file names; empty when none.
std::string elfInterpreter(int fd) {
    Elf64_Ehdr header{};
    if (!readAt(fd, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr))
        return {};
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program{};
        if (!readAt(fd, &program, sizeof program, off_t(header.e_phoff + i * sizeof program)))
            return {};
        if (program.p_type != PT_INTERP || program.p_filesz == 0 || program.p_filesz > PATH_MAX)
            continue;
        std::string path(program.p_filesz, '\0');
        if (!readAt(fd, path.data(), path.size(), off_t(program.p_offset)))
            return {};
        path.resize(std::strlen(path.c_str()));
        return path;
    }
    return {};
}

/// The files that running `program` executes: the program, the interpreter of its "#!" line and
/// the loader of whichever of them is the ELF file. Landlock asks for the right to execute each.
std::vector<std::string> executedFiles(const std::string& program) {
    std::vector<std::string> files{program};
    std::string binary = program;
    for (int depth = 0; depth < 2; ++depth) {
        const int fd = ::open(binary.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            break;
        char head[256] = {};
        const ssize_t n = ::pread(fd, head, sizeof head - 1, 0);
        if (n > 2 && head[0] == '#' && head[1] == '!') {
            ::close(fd);
            const char* start = head + 2;
            start += std::strspn(start, " \t");
            const std::string interpreter(start, std::strcspn(start, " \t\r\n"));
            if (interpreter.empty() || interpreter[0] != '/')
                break;
            files.push_back(interpreter);
            binary = interpreter;
            continue;
        }
        if (const std::string loader = elfInterpreter(fd); !loader.empty())
            files.push_back(loader);
        ::close(fd);
        break;
    }
    return files;
}

/// What the tools need besides the files they are asked about: the libraries and the modules of
/// their interpreters, the loader's cache, the time zones, the locales' aliases, and the random
/// bytes that seed Perl's hashes (without them a file could choose keys that collide).
const char* const kSystemFolders[] = {
    "/usr",        "/lib", "/lib64", "/etc/perl", "/etc/ld.so.cache", "/etc/localtime", "/etc/locale.alias",
    "/dev/urandom"};

bool limit(int resource, uint64_t soft, uint64_t hard) {
    return sandbox::setLimit(resource, soft, hard);
}

/// Gives the process a file system that holds `visible` and its own entries in /proc; empty when it
/// has one, or when Landlock holds without (whose rules then keep it to what it may read), else
/// why it cannot be confined.
std::string isolateFiles(std::vector<std::string> visible) {
    // The tool reads its files as /proc/self/fd/FD, and nothing of the program's or any other
    // process's.
    visible.emplace_back("/proc/self");
    const std::string error = sandbox::isolate(visible);
    if (error.empty() || sandbox::landlockVersion() > 0)
        return {};
    return "neither Landlock nor a file system of its own: " + error;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--check") == 0) {
        const std::string error =
            isolateFiles(std::vector<std::string>(std::begin(kSystemFolders), std::end(kSystemFolders)));
        if (error.empty())
            return 0;
        std::printf("%s\n", error.c_str());
        return 126;
    }
    uint64_t memory = 0, cpu = 0, cpuCeiling = 0;
    sandbox::Reach reach;
    reach.threads = false;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const bool hasValue = i + 1 < argc;
        char* end = nullptr;
        if (std::strcmp(argv[i], "--read") == 0 && hasValue)
            reach.readable.emplace_back(argv[++i]);
        else if (std::strcmp(argv[i], "--read-fd") == 0 && hasValue) {
            const long fd = std::strtol(argv[++i], &end, 10);
            // A number past an int's would name another descriptor once cut down to one.
            if (fd < 0 || fd > INT_MAX)
                return fail(125, std::string("--read-fd ") + argv[i] + " is no descriptor");
            reach.readableFiles.push_back(int(fd));
        } else if (std::strcmp(argv[i], "--memory") == 0 && hasValue)
            memory = std::strtoull(argv[++i], &end, 10);
        else if (std::strcmp(argv[i], "--cpu") == 0 && hasValue)
            cpu = std::strtoull(argv[++i], &end, 10);
        else if (std::strcmp(argv[i], "--cpu-ceiling") == 0 && hasValue)
            cpuCeiling = std::strtoull(argv[++i], &end, 10);
        else
            return fail(125, std::string("unknown option ") + argv[i]);
        if (end && (*end || end == argv[i]))
            return fail(125, std::string("not a number: ") + argv[i]);
    }
    if (i + 1 >= argc || argv[i + 1][0] != '/')
        return fail(125, "no program, by its absolute path, after --");
    char** command = argv + i + 1;
    const std::string program = realPath(command[0]);
    if (program.empty())
        return fail(127, std::string("no program at ") + command[0]);
    reach.programs = executedFiles(program);
    // The program's own folder holds its modules when it is not part of the system.
    reach.readable.push_back(folderOf(program));
    reach.readable.insert(reach.readable.end(), std::begin(kSystemFolders), std::end(kSystemFolders));

    // A file is given as what it is: never a folder, whose files it would reach, nor a pipe or a
    // device, which the program could wait on. One that is no longer what was looked at (a name
    // on a share that changed its type, a stale handle) is left out: the program cannot read it,
    // and reads the others.
    std::sort(reach.readableFiles.begin(), reach.readableFiles.end());
    reach.readableFiles.erase(std::unique(reach.readableFiles.begin(), reach.readableFiles.end()),
                              reach.readableFiles.end());
    if (!reach.readableFiles.empty() && reach.readableFiles.front() < 3)
        return fail(125,
                    "--read-fd " + std::to_string(reach.readableFiles.front()) + " is a standard stream");
    std::erase_if(reach.readableFiles, [](int fd) {
        struct stat info {};
        const char* why = ::fstat(fd, &info) != 0  ? std::strerror(errno)
                          : !S_ISREG(info.st_mode) ? "no regular file"
                                                   : nullptr;
        if (why)
            std::fprintf(stderr, "gw_confined: --read-fd %d is left out: %s\n", fd, why);
        return why != nullptr;
    });
    // Its warnings are not the application's to show; the launcher's own errors are.
    unsigned from = 3;
    for (const int fd : reach.readableFiles) {
        if (unsigned(fd) > from)
            ::close_range(from, unsigned(fd) - 1, 0);
        from = unsigned(fd) + 1;
    }
    ::close_range(from, ~0u, 0);
    const int nothing = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int console = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (nothing < 0)
        return fail(126, "/dev/null could not be opened");
    std::vector<std::string> visible = reach.readable;
    visible.insert(visible.end(), reach.programs.begin(), reach.programs.end());
    if (const std::string error = isolateFiles(visible); !error.empty())
        return fail(126, "the program cannot be confined: " + error);
    if (cpuCeiling < cpu)
        cpuCeiling = cpu;
    // A few descriptors of its own, fewer where whoever started it had fewer (its files lie below).
    rlimit descriptors{};
    ::getrlimit(RLIMIT_NOFILE, &descriptors);
    const uint64_t ownDescriptors = std::min<uint64_t>(64, descriptors.rlim_max);
    // Nothing written to files, locked in memory or kept as a core; no process of its own.
    if ((memory && !limit(RLIMIT_AS, memory, memory)) || (cpu && !limit(RLIMIT_CPU, cpu, cpuCeiling)) ||
        !limit(RLIMIT_FSIZE, 0, 0) || !limit(RLIMIT_CORE, 0, 0) || !limit(RLIMIT_MEMLOCK, 0, 0) ||
        !limit(RLIMIT_MSGQUEUE, 0, 0) || !limit(RLIMIT_NPROC, 0, 0) ||
        !limit(RLIMIT_NOFILE, ownDescriptors, ownDescriptors))
        return fail(126, "the limits could not be set");
    // No name is resolved against the folder of whoever started it.
    if (::chdir("/") != 0)
        return fail(126, "the folder could not be changed");
    if (const std::string error = sandbox::confine(reach); !error.empty())
        return fail(126, error);
    // A signal ignored or blocked here would be in the program too: the one of its CPU limit must
    // end it.
    for (int signal = 1; signal < NSIG; ++signal)
        ::signal(signal, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Perl's own module path, and the time zone its dates are told in: nothing else of the session.
    std::vector<std::string> environment = sandbox::environment({"PERL5LIB", "PERLLIB", "TZ"});
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    ::dup2(nothing, STDERR_FILENO);
    ::execve(program.c_str(), command, envp.data());
    const std::string message =
        std::string("gw_confined: ") + program + " could not be run: " + std::strerror(errno) + "\n";
    [[maybe_unused]] const auto written = ::write(console, message.data(), message.size());
    return 127;
}
