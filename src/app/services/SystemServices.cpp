#include "app/services/SystemServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace app {

QString userDataFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + "/.local/share";
    return folder;
}

QString metadataToolPath() {
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + "/exif/exiftool";
        QFileInfo info(beside);
        if (info.isFile() && info.isExecutable())
            return beside;
    }
    return QStandardPaths::findExecutable("exiftool");
}

namespace {

/// Kills a child that ran out of time and collects it.
void killChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::optional<ProcessOutput> runProcess(const QString& program, const QStringList& arguments, int timeoutMs,
                                        qsizetype outputLimit,
                                        const std::vector<std::pair<int, int>>& inherited) {
    if (program.isEmpty())
        return std::nullopt;
    // Started with posix_spawn rather than a fork of this threaded process: nothing of ours runs in
    // the child before the program does (which a fork would allow only for async-signal-safe
    // calls), and the thread checkers follow it.
    std::vector<std::string> strings{program.toStdString()};
    for (const auto& argument : arguments)
        strings.push_back(argument.toStdString());
    std::vector<char*> argv;
    for (auto& string : strings)
        argv.push_back(string.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    for (const auto& [fd, as] : inherited)
        posix_spawn_file_actions_adddup2(&actions, fd, as);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return std::nullopt;
    }

    // Standard output to its end, then the exit, within one deadline: a hung tool must not hold
    // an import forever.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    auto remainingMs = [&] {
        return int(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count());
    };
    ProcessOutput result;
    for (;;) {
        const int left = remainingMs();
        if (left <= 0) {
            ::close(out[0]);
            killChild(pid);
            return std::nullopt;
        }
        pollfd readable{out[0], POLLIN, 0};
        const int ready = ::poll(&readable, 1, left);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n > 0) {
            result.standardOutput.append(buffer, qsizetype(n));
            if (outputLimit >= 0 && result.standardOutput.size() > outputLimit) {
                ::close(out[0]);
                killChild(pid);
                result.standardOutput.truncate(outputLimit);
                result.overLimit = true;
                result.exitCode = -1;
                return result;
            }
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return std::nullopt;
        if (remainingMs() <= 0) {
            killChild(pid);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

} // namespace app
