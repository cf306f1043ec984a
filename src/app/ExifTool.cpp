#include "app/ExifTool.h"

#include "app/Exif.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace app::Exif {

namespace {

/// The lowest descriptor a file is handed to the tool at: the ones below are left free for the
/// tool's own (its launcher lets it open no descriptor from here on).
constexpr int kFirstToolFile = 64;
/// Descriptors the launcher and the tool need of their own below kFirstToolFile: standard ones
/// aside, Perl's modules and the file it reads, opened one at a time.
constexpr int kToolOwnDescriptors = 24;

/// The bytes of the launcher's command line that the files may take: a quarter of what the system
/// allows, which leaves room for the environment.
size_t maxFileBytes() {
    static const size_t bytes = [] {
        const long system = ::sysconf(_SC_ARG_MAX);
        return std::min<size_t>(size_t(512) << 10, system > 0 ? size_t(system) / 4 : size_t(32) << 10);
    }();
    return bytes;
}

/// The text of /proc/PID/`entry` (its first `size` - 1 bytes); false when it cannot be read.
template <size_t size> bool readProcess(pid_t pid, const char* entry, char (&text)[size]) {
    const std::string name = "/proc/" + std::to_string(pid) + "/" + entry;
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, text, size - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    return true;
}

} // namespace

int ToolProcess::descriptorOf(const ci::io::PictureFile& file) const {
    for (const ToolFile& known : files)
        if (known.file == file.identity())
            return known.fd;
    return -1;
}

std::vector<int> placeToolFiles(const std::vector<int>& sources) {
    rlimit descriptors{};
    ::getrlimit(RLIMIT_NOFILE, &descriptors);
    // The highest descriptor a child can have is below the hard limit, which it may raise to.
    const int limit = descriptors.rlim_max == RLIM_INFINITY || descriptors.rlim_max > rlim_t(1 << 20)
                          ? 1 << 20
                          : int(descriptors.rlim_max);
    const std::set<int> taken(sources.begin(), sources.end());
    std::vector<int> targets;
    int next = kFirstToolFile, low = 0;
    const int lowRoom = std::min(limit, kFirstToolFile) - 3 - kToolOwnDescriptors;
    for (const int source : sources) {
        if (source < 3)
            break;
        if (source >= kFirstToolFile) {
            targets.push_back(source);
            continue;
        }
        // Up out of the tool's own room, to a number that no file holds, where the limit lets it.
        while (next < limit && taken.count(next))
            ++next;
        if (next < limit) {
            targets.push_back(next++);
            continue;
        }
        if (low >= lowRoom)
            break;
        ++low;
        targets.push_back(source);
    }
    return targets;
}

ToolProcess launchTool(const QString& toolPath, std::vector<LookPtr>& files, uint64_t id) {
    int input[2], output[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
        return {};
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return {};
    }
    // A file that can no longer be read (a share's name that changed type under it) is left out:
    // its launcher would refuse it, and it alone goes without.
    std::erase_if(files, [](const LookPtr& file) {
        struct stat info {};
        return ::fstat(file->descriptor(), &info) != 0 || !S_ISREG(info.st_mode);
    });
    // As many files as a command line and the tool's descriptors take.
    std::vector<int> sources;
    for (size_t bytes = 0; sources.size() < std::min(files.size(), kMaxToolFiles) &&
                           bytes + sizeof("--read-fd 1234567890") + 2 * sizeof(char*) <= maxFileBytes();
         bytes += sizeof("--read-fd 1234567890") + 2 * sizeof(char*))
        sources.push_back(files[sources.size()]->descriptor());
    const std::vector<int> targets = placeToolFiles(sources);
    const size_t taken = targets.size();
    sources.resize(taken);
    // The descriptors the child keeps, in order, for closing those between them.
    std::vector<int> kept = targets;
    std::sort(kept.begin(), kept.end());
    ToolProcess tool;
    for (size_t k = 0; k < taken; ++k) {
        tool.files.push_back({files[k]->identity(), targets[k]});
        tool.left.push_back(files[k]);
    }
    const QStringList command =
        confinedCommand(toolPath, {}, 1 + kToolCpuSecondsPerFile, kToolCpuCeilingSeconds,
                        {"-stay_open", "True", "-@", "-"}, targets);
    std::vector<std::string> strings;
    for (const QString& argument : command)
        strings.push_back(argument.toStdString());
    std::vector<char*> argv;
    for (std::string& string : strings)
        argv.push_back(string.data());
    argv.push_back(nullptr);
    const auto closeAll = [&] {
        for (const int fd : {input[0], input[1], output[0], output[1]})
            ::close(fd);
    };
    if (command.isEmpty()) {
        closeAll();
        return {};
    }
    rlimit descriptors{};
    ::getrlimit(RLIMIT_NOFILE, &descriptors);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child: only calls that are safe after fork() in a threaded process.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const rlimit all{descriptors.rlim_max, descriptors.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &all);
        ::dup2(input[1], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        // A file moves only to a number that no file holds (placeToolFiles).
        for (size_t k = 0; k < taken; ++k)
            if (targets[k] != sources[k] && ::dup2(sources[k], targets[k]) != targets[k])
                ::_exit(127);
        unsigned from = 3;
        for (const int fd : kept) {
            if (unsigned(fd) > from)
                ::close_range(from, unsigned(fd) - 1, 0);
            ::fcntl(fd, F_SETFD, 0);
            from = unsigned(fd) + 1;
        }
        ::close_range(from, ~0u, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(input[1]);
    ::close(output[1]);
    if (pid < 0) {
        ::close(input[0]);
        ::close(output[0]);
        return {};
    }
    files.erase(files.begin(), files.begin() + ptrdiff_t(taken));
    tool.pid = pid;
    tool.input = input[0];
    tool.output = output[0];
    tool.starting = QByteArray::fromStdString("{ready" + std::to_string(id) + "}\n");
    tool.launched = std::chrono::steady_clock::now();
    // The time Perl takes to load the tool is the start's, not the first file's.
    sendTo(tool, "-ver\n-execute" + std::to_string(id) + "\n");
    return tool;
}

bool sendTo(const ToolProcess& tool, const std::string& request) {
    for (size_t sent = 0; sent < request.size();) {
        // MSG_NOSIGNAL: a tool that has died must not take the application with it (SIGPIPE).
        const auto n = ::send(tool.input, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

int killTool(ToolProcess& tool) {
    if (!tool.pid)
        return 0;
    ::kill(tool.pid, SIGKILL);
    ::close(tool.input);
    ::close(tool.output);
    int status = 0;
    while (::waitpid(tool.pid, &status, 0) < 0 && errno == EINTR) {
    }
    tool = {};
    return status;
}

bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

long cpuSecondsUsed(pid_t pid) {
    char text[1024];
    if (!readProcess(pid, "stat", text))
        return -1;
    // The fields after the name, which may hold anything, up to its last ")".
    const char* rest = std::strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (!rest ||
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return -1;
    return long((user + system) / uint64_t(::sysconf(_SC_CLK_TCK)));
}

Scheduled scheduled(pid_t pid) {
    char text[128];
    if (!readProcess(pid, "schedstat", text))
        return {};
    Scheduled times;
    if (std::sscanf(text, "%lld %lld", &times.runningNs, &times.waitingNs) != 2)
        return {};
    return times;
}

} // namespace app::Exif
