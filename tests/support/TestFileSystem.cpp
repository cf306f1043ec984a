#include "TestFileSystem.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>

namespace gwtest {

TestFileSystem::TestFileSystem(const std::string& folder, const std::vector<std::string>& options) {
#ifndef GW_TESTFS
    why_ = "the tests were built without their FUSE file system";
#else
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        why_ = "this machine has no FUSE for this user";
        return;
    }
    std::random_device rd;
    mountPoint_ = (std::filesystem::temp_directory_path() / ("gw-testfs-" + std::to_string(rd()))).string();
    std::filesystem::create_directories(mountPoint_);
    std::vector<std::string> words = {GW_TESTFS, folder, mountPoint_};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        why_ = "no pipe";
        return;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Unmounted with the tests, however they end.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        ::dup2(ready[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    char line[16] = {};
    pollfd p{ready[0], POLLIN, 0};
    const bool answered = pid > 0 && ::poll(&p, 1, 10000) == 1 && ::read(ready[0], line, sizeof line - 1) > 0;
    ::close(ready[0]);
    if (answered && std::string(line) == "ready\n") {
        pid_ = pid;
        return;
    }
    why_ = "FUSE file systems cannot be mounted here";
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
#endif
}

TestFileSystem::~TestFileSystem() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!mountPoint_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(mountPoint_, ignored);
    }
}

} // namespace gwtest
