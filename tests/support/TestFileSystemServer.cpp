// A file system for tests: the files of a folder, served read-only through FUSE, with the faults of
// network shares and of other users' processes made to order.
//
//   gw_testfs FOLDER MOUNTPOINT [--rate BYTES_PER_SECOND] [--latency MS] [--direct-io 1]
//             [--link-after-read NAME=TARGET]... [--fifo-after-open NAME=N]...
//
//   --rate, --latency        the files lie on one slow medium: each read waits for the ones before
//                            it, then takes the latency and its bytes at the rate
//   --direct-io 1            the kernel keeps none of the files' data either (as a share mounted
//                            without a cache): every read goes to the medium
//   --link-after-read        NAME is its file until its first read, and a symbolic link to TARGET
//                            from then on
//   --fifo-after-open        NAME is its file for its first N opens, and a named pipe from then on
//
// Nothing is cached by the kernel but the files' data, so each look at a name asks again. Prints
// "ready" once mounted; unmounts and ends on SIGTERM or SIGINT.

#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string folder;
    double rate = 0;
    int latencyMs = 0;
    bool directIo = false;
    std::map<std::string, std::string> linkAfterRead;
    std::map<std::string, int> fifoAfterOpen;
};

Options options;
std::mutex mutex;
std::map<std::string, int> opens, reads;
Clock::time_point mediumFree;

std::string name(const char* path) {
    return path[0] == '/' ? path + 1 : path;
}
std::string backing(const char* path) {
    return options.folder + path;
}

/// What NAME is now: 'l' a link, 'p' a pipe, 0 its own file.
char becomes(const std::string& n) {
    std::lock_guard lock(mutex);
    if (options.linkAfterRead.count(n) && reads[n] > 0)
        return 'l';
    if (auto it = options.fifoAfterOpen.find(n); it != options.fifoAfterOpen.end() && opens[n] >= it->second)
        return 'p';
    return 0;
}

int getattrOf(const char* path, struct stat* st, fuse_file_info*) {
    if (::lstat(backing(path).c_str(), st) != 0)
        return -errno;
    switch (becomes(name(path))) {
    case 'l':
        st->st_mode = S_IFLNK | 0777;
        st->st_size = off_t(options.linkAfterRead[name(path)].size());
        break;
    case 'p':
        st->st_mode = S_IFIFO | 0644;
        st->st_size = 0;
        break;
    }
    return 0;
}

int readlinkOf(const char* path, char* out, size_t size) {
    std::string target;
    if (becomes(name(path)) == 'l') {
        target = options.linkAfterRead[name(path)];
    } else {
        char buffer[4096];
        const ssize_t n = ::readlink(backing(path).c_str(), buffer, sizeof buffer);
        if (n < 0)
            return -errno;
        target.assign(buffer, size_t(n));
    }
    std::snprintf(out, size, "%s", target.c_str());
    return 0;
}

int openOf(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    const int fd = ::open(backing(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    fi->fh = uint64_t(fd);
    fi->direct_io = options.directIo;
    std::lock_guard lock(mutex);
    ++opens[name(path)];
    return 0;
}

int readOf(const char* path, char* out, size_t size, off_t offset, fuse_file_info* fi) {
    if (options.rate > 0 || options.latencyMs > 0) {
        Clock::time_point done;
        {
            std::lock_guard lock(mutex);
            const auto takes = std::chrono::milliseconds(options.latencyMs) +
                               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                   options.rate > 0 ? double(size) / options.rate : 0.0));
            mediumFree = std::max(mediumFree, Clock::now()) + takes;
            done = mediumFree;
        }
        std::this_thread::sleep_until(done);
    }
    const ssize_t n = ::pread(int(fi->fh), out, size, offset);
    if (n < 0)
        return -errno;
    std::lock_guard lock(mutex);
    ++reads[name(path)];
    return int(n);
}

int releaseOf(const char*, fuse_file_info* fi) {
    ::close(int(fi->fh));
    return 0;
}

int readdirOf(const char* path, void* out, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    DIR* dir = ::opendir(backing(path).c_str());
    if (!dir)
        return -errno;
    while (dirent* entry = ::readdir(dir))
        fill(out, entry->d_name, nullptr, 0, fuse_fill_dir_flags(0));
    ::closedir(dir);
    return 0;
}

void* initOf(fuse_conn_info*, fuse_config* config) {
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->use_ino = 0;
    return nullptr;
}

bool split(const std::string& rule, std::string& key, std::string& value) {
    const size_t at = rule.find('=');
    if (at == std::string::npos)
        return false;
    key = rule.substr(0, at);
    value = rule.substr(at + 1);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gw_testfs FOLDER MOUNTPOINT [options]\n");
        return 2;
    }
    options.folder = argv[1];
    const std::string mountPoint = argv[2];
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        std::string key, rest;
        if (option == "--rate")
            options.rate = std::stod(value);
        else if (option == "--latency")
            options.latencyMs = std::stoi(value);
        else if (option == "--direct-io")
            options.directIo = value == "1";
        else if (option == "--link-after-read" && split(value, key, rest))
            options.linkAfterRead[key] = rest;
        else if (option == "--fifo-after-open" && split(value, key, rest))
            options.fifoAfterOpen[key] = std::stoi(rest);
        else {
            std::fprintf(stderr, "gw_testfs: unknown option %s\n", option.c_str());
            return 2;
        }
    }

    fuse_operations ops{};
    ops.getattr = getattrOf;
    ops.readlink = readlinkOf;
    ops.open = openOf;
    ops.read = readOf;
    ops.release = releaseOf;
    ops.readdir = readdirOf;
    ops.init = initOf;

    // Readers run in user namespaces of their own, and may run as another user than the tests.
    std::vector<const char*> args = {argv[0], "-o", "ro,fsname=gw_testfs"};
    if (::geteuid() == 0) {
        args.push_back("-o");
        args.push_back("allow_other");
    }
    fuse_args fargs = FUSE_ARGS_INIT(int(args.size()), const_cast<char**>(args.data()));
    fuse* fs = fuse_new(&fargs, &ops, sizeof ops, nullptr);
    if (!fs || fuse_mount(fs, mountPoint.c_str()) != 0) {
        std::fprintf(stderr, "gw_testfs: %s could not be mounted\n", mountPoint.c_str());
        return 1;
    }
    fuse_set_signal_handlers(fuse_get_session(fs));
    std::printf("ready\n");
    std::fflush(stdout);
    const int result = fuse_loop_mt(fs, 0);
    fuse_remove_signal_handlers(fuse_get_session(fs));
    fuse_unmount(fs);
    fuse_destroy(fs);
    return result == 0 ? 0 : 1;
}
