// The reader process: runs the image library's readers (and Qt's image plug-ins for the formats the
// library does not read) on the one file that the engine hands over as a descriptor. Before it reads
// a byte of the file it confines itself (src/sandbox/Sandbox.h) under hard limits on its memory, CPU
// time, processes and file size. Whatever a reader does with a damaged file, a crash, an abort, an
// endless loop, an allocation without bound or the code of a crafted file, stays in this process:
// the engine fails that one file, trusting nothing this process said, and the next file gets a new
// process. See ImageWorkerProtocol.h.

#include "ci/io/ImageLibraryAbi.h"
#include "ci/io/ImageWorkerProtocol.h"
#include "sandbox/Sandbox.h"

#include <QByteArray>
#include <QColorSpace>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifndef GW_IMAGELIB_BUILD_PATH
#define GW_IMAGELIB_BUILD_PATH ""
#endif

namespace {

using namespace ci::io::worker;

bool testHooks = false;

// ---- The shared memory ----

uint8_t* shared = nullptr;
size_t sharedSize = 0;

/// Maps the shared memory as the engine has sized it; false when it cannot hold `bytes`.
bool mapShared(size_t bytes) {
    struct stat st {};
    if (::fstat(sharedFd, &st) != 0)
        return false;
    if (size_t(st.st_size) != sharedSize) {
        if (shared)
            ::munmap(shared, sharedSize);
        shared = nullptr;
        sharedSize = 0;
        if (st.st_size > 0) {
            // Its pages are there already (the engine keeps them for the next reader): mapped in
            // one go rather than a fault each.
            void* map = ::mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                               sharedFd, 0);
            if (map == MAP_FAILED)
                return false;
            shared = static_cast<uint8_t*>(map);
            sharedSize = size_t(st.st_size);
        }
    }
    return sharedSize >= bytes;
}

// ---- Messages ----

std::string fdName; ///< "/proc/self/fd/N" of the open file, which messages do not name
/// Why the process has not the file system and network of its own that it makes as it starts
/// (sandbox::isolate); empty when it has them.
std::string notIsolated = "not isolated";

void appendText(void* context, const char* text) {
    auto* s = static_cast<std::string*>(context);
    if (!s->empty() && text[0])
        s->push_back('\n');
    s->append(text);
}

void send(Reply reply, std::string text = {}, int fd = -1) {
    reply.isolated = notIsolated.empty() ? 1 : 0;
    // The reader knows no name of the file, and the engine's message names it already.
    if (!fdName.empty())
        for (const std::string& form :
             {" (\"" + fdName + "\")", " \"" + fdName + "\"", ": " + fdName, " " + fdName, fdName})
            for (size_t at; (at = text.find(form)) != std::string::npos;)
                text.replace(at, form.size(), form == fdName ? "the file" : "");
    std::vector<char> packet(sizeof(Reply) + std::min(text.size(), maxMessage - sizeof(Reply)));
    std::memcpy(packet.data(), &reply, sizeof(Reply));
    std::memcpy(packet.data() + sizeof(Reply), text.data(), packet.size() - sizeof(Reply));
    sendPacket(socketFd, packet.data(), packet.size(), &fd, fd >= 0 ? 1 : 0);
}

void fail(int32_t status, const std::string& text) {
    Reply reply;
    reply.status = status;
    send(reply, text);
}

// ---- The image library ----

const GwImageLib* library = nullptr;
std::string libraryError;

std::string directoryOfExecutable() {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return {};
    exe[n] = '\0';
    std::string path(exe);
    return path.substr(0, path.rfind('/') + 1);
}

/// The module beside this program, else where the build put it; loaded on the first file that
/// needs it, so that a process reading only through Qt never maps the library.
const GwImageLib* loadLibrary() {
    if (library || !libraryError.empty())
        return library;
    std::vector<std::string> paths = {directoryOfExecutable() + "libgw_ci_imagelib.so"};
    if (std::strlen(GW_IMAGELIB_BUILD_PATH) > 0)
        paths.emplace_back(GW_IMAGELIB_BUILD_PATH);
    for (const std::string& path : paths) {
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            libraryError = ::dlerror();
            break;
        }
        auto entry = reinterpret_cast<GwImageLibEntry>(::dlsym(handle, GW_IMAGELIB_ENTRY));
        const GwImageLib* table = entry ? entry() : nullptr;
        if (table && table->version == GW_IMAGELIB_VERSION)
            return library = table;
        libraryError = path + " is not the module of this version";
        break;
    }
    if (libraryError.empty())
        libraryError = "libgw_ci_imagelib.so was not found beside " + directoryOfExecutable();
    libraryError = "The image library could not be loaded: " + libraryError;
    return nullptr;
}

size_t sampleSize(int type) {
    switch (type) {
    case GW_READ_U8:
        return 1;
    case GW_READ_U16:
        return 2;
    case GW_READ_F32:
        return 4;
    default:
        return 0;
    }
}

// ---- The open file ----

/// A picture decoded whole by Qt's plug-ins, read out as the library's readers are.
struct QtPicture {
    QImage image; ///< RGBA8888 or RGBA64, upright
    std::string format;
    QByteArray icc;
};

struct OpenFile {
    int fd = -1;
    GwImgInput* input = nullptr; ///< from the library
    std::unique_ptr<QtPicture> qt;
    Spec spec{};
    std::string qtErrors;
};
OpenFile current;

Spec specOf(const GwImgSpec& s) {
    Spec spec{};
    spec.width = s.width;
    spec.height = s.height;
    spec.nchannels = s.nchannels;
    spec.depth = s.depth;
    spec.deep = s.deep;
    spec.tileWidth = s.tile_width;
    spec.y = s.y;
    spec.z = s.z;
    spec.base = s.base;
    spec.alphaChannel = s.alpha_channel;
    spec.namedAlpha = s.named_alpha;
    spec.unassociatedAlpha = s.unassociated_alpha;
    spec.orientation = s.orientation;
    spec.scanlineBytes = s.scanline_bytes;
    spec.imageBytes = s.image_bytes;
    std::memcpy(spec.format, s.format, sizeof(spec.format));
    spec.format[sizeof(spec.format) - 1] = '\0';
    return spec;
}

// ---- Test hooks ----

/// A lie that a test asked for, kept for the reads after the open.
std::string lie;

/// An honest-looking header of a 64 x 64 RGB picture of bytes, for the lies of the reads.
Spec plainSpec() {
    Spec spec{};
    spec.width = spec.height = 64;
    spec.nchannels = 3;
    spec.depth = 1;
    spec.base = GW_IMG_8BIT;
    spec.alphaChannel = spec.namedAlpha = -1;
    spec.orientation = 1;
    spec.scanlineBytes = 64 * 3;
    spec.imageBytes = 64 * 64 * 3;
    return spec;
}

/// Answers the open with the lie `what`: a process taken over by a crafted file can answer anything.
void answerWithLie(const std::string& what, const char* format) {
    lie = what;
    Reply reply;
    reply.status = Ok;
    reply.spec = plainSpec();
    std::snprintf(reply.spec.format, sizeof(reply.spec.format), "%s", format);
    Spec& s = reply.spec;
    if (what == "size") { // a tiled 1155 x 866 picture of 64 bytes
        s.width = 1155;
        s.height = 866;
        s.tileWidth = 64;
        s.scanlineBytes = 1155 * 3;
        s.imageBytes = 64;
    } else if (what == "origin") { // rows past the largest number
        s.y = INT32_MAX - 10;
    } else if (what == "channels") {
        s.nchannels = 100000;
    } else if (what == "profile") { // half a gigabyte of colour profile
        reply.iccSize = uint64_t(512) << 20;
    } else if (what == "format") {
        std::strcpy(s.format, "tiff\x1b[2J");
    } else if (what == "status") {
        reply.status = 77;
    } else if (what == "text") {
        reply.status = Failed;
        send(reply, "\x1b]0;pwned\x07<img src=\"/etc/passwd\"><b>bold</b>\r\x7f\xc2\x9b"
                    "2J\x01 done");
        return;
    }
    current.spec = reply.spec;
    send(reply);
}

/// The lie of the reads: fewer samples than asked for.
bool answerReadWithLie(size_t bytes) {
    if (lie != "count")
        return false;
    Reply reply;
    reply.status = Ok;
    reply.bytes = bytes / 2;
    send(reply);
    return true;
}

/// What a confined reader taken over by a file might try, each of which must fail: a file written
/// in `folder`, a connection to `port` on this machine, a program started, a signal to the
/// program, its limits lifted, a child left behind. Then it waits to be ended.
[[noreturn]] void tryToEscape(const std::string& folder, int port) {
    ::prctl(PR_SET_NAME, "gw_escaping"); // for the test to tell it from a reader waiting for a file
    const std::string file = folder + "/written";
    ::close(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ::close(::open(file.c_str(), O_RDONLY | O_CLOEXEC)); // Landlock: a missing file cannot be made
    if (const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); s >= 0) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::close(s);
    }
    const std::string command = "echo > " + folder + "/started";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::kill(::getppid(), SIGUSR1);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(RLIMIT_AS, &unlimited);
    ::setrlimit(RLIMIT_CPU, &unlimited);
    if (::fork() == 0) {
        ::prctl(PR_SET_NAME, "gw_reader_child");
        for (;;)
            ::pause();
    }
    for (;;)
        ::pause();
}

/// What a confined reader taken over by a file might learn beyond its file, each of which must be
/// refused: whether `secret` is there (and its size and times), the extended attributes of
/// `photo`, the machine's connections and sockets, a lease or a lock on its own file (which would
/// hold up the user's other programs), and threads without end. Answers with what each call gave:
/// 0 or the error number, and how many threads it could start.
void probeReach(int fd, const std::string& secret, const std::string& photo) {
    auto result = [](int rc) { return rc == 0 ? 0 : errno; };
    struct stat st {};
    std::string text = "stat=" + std::to_string(result(::stat(secret.c_str(), &st)));
    char value[256];
    text += " getxattr=" +
            std::to_string(
                ::getxattr(photo.c_str(), "user.xdg.origin.url", value, sizeof value) >= 0 ? 0 : errno);
    for (const char* table : {"tcp", "unix"}) {
        const int net = ::open((std::string("/proc/self/net/") + table).c_str(), O_RDONLY | O_CLOEXEC);
        text += std::string(" net-") + table + "=" + std::to_string(net >= 0 ? 0 : errno);
        if (net >= 0)
            ::close(net);
    }
    text += " lease=" + std::to_string(result(::fcntl(fd, F_SETLEASE, F_RDLCK)));
    text += " flock=" + std::to_string(result(::flock(fd, LOCK_SH | LOCK_NB)));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 << 10);
    int threads = 0;
    for (pthread_t thread; threads < 200; ++threads)
        if (pthread_create(
                &thread, &attributes,
                [](void*) -> void* {
                    for (;;)
                        ::pause();
                },
                nullptr) != 0)
            break;
    text += " threads=" + std::to_string(threads);
    fail(Failed, text);
}

std::atomic<bool> askTogether{false};
pthread_attr_t smallStacks;

void* keptThread(void*) {
    for (;;)
        ::pause();
}

void* askingThread(void*) {
    while (!askTogether.load())
        ::sched_yield();
    pthread_t thread;
    pthread_create(&thread, &smallStacks, keptThread, nullptr);
    // Long enough for the test to count its threads.
    const timespec pause{0, 300'000'000};
    ::nanosleep(&pause, nullptr);
    for (;;)
        pthread_create(&thread, &smallStacks, keptThread, nullptr);
}

/// What a reader taken over by its file might do to cost the program its time: ask for more
/// threads from 62 threads at once, keep those it gets, and after a while ask again and again.
[[noreturn]] void askForThreadsWithoutEnd() {
    ::prctl(PR_SET_NAME, "gw_threads"); // for the test to find it
    pthread_attr_init(&smallStacks);
    pthread_attr_setstacksize(&smallStacks, 64 << 10);
    for (int i = 0; i < 61; ++i) {
        pthread_t thread;
        pthread_create(&thread, &smallStacks, askingThread, nullptr);
    }
    askTogether = true;
    askingThread(nullptr);
    std::abort();
}

/// What a reader taken over by its file might do to cost the program its time with requests that
/// are granted: ask without end from 20 threads for threads that the kernel then refuses (flags
/// that no thread library uses), or that end at once.
[[noreturn]] void askForBriefThreads(bool refusedByKernel) {
    static bool kernel;
    kernel = refusedByKernel;
    auto ask = [](void*) -> void* {
        for (;;) {
            if (kernel) {
                ::syscall(SYS_clone, CLONE_THREAD | CLONE_SIGHAND, nullptr, nullptr, nullptr, 0);
                continue;
            }
            pthread_t thread;
            if (pthread_create(
                    &thread, &smallStacks, [](void*) -> void* { return nullptr; }, nullptr) == 0)
                pthread_join(thread, nullptr);
        }
    };
    pthread_attr_init(&smallStacks);
    pthread_attr_setstacksize(&smallStacks, 64 << 10);
    for (int i = 0; i < 19; ++i) {
        pthread_t thread;
        pthread_create(&thread, &smallStacks, ask, nullptr);
    }
    ask(nullptr);
    std::abort();
}

/// What a reader taken over by its file might do to cost the program its time while it keeps
/// within the gate's bounds: ask `total` times for a thread with the C library's flags that the
/// kernel then refuses (its thread storage lies outside the process), `burst` at once and then
/// `perSecond` a second, and say how many it asked for.
void askForThreadsPaced(int total, int burst, double perSecond) {
    constexpr unsigned long flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                                    CLONE_SYSVSEM | CLONE_SETTLS | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;
    pid_t child = 0;
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    int asked = 0;
    for (; asked < total; ++asked) {
        if (asked >= burst && perSecond > 0) {
            // The next request when the pace lets it.
            const double at = double(asked - burst + 1) / perSecond;
            timespec when = start;
            when.tv_sec += time_t(at);
            when.tv_nsec += long((at - double(time_t(at))) * 1e9);
            if (when.tv_nsec >= 1'000'000'000) {
                ++when.tv_sec;
                when.tv_nsec -= 1'000'000'000;
            }
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
            }
        }
        if (::syscall(SYS_clone, flags, nullptr, &child, &child, ~0UL) == 0)
            ::_exit(0); // never: the kernel refuses the thread's storage
    }
    fail(Failed, "asked " + std::to_string(asked) + " times");
}

/// A large file on a slow disk: read to its end a quarter of a megabyte every tenth of a second,
/// then says how much it read. With `stalls`, it stops for good after the first megabyte; with
/// `again`, it reads the file again from its start, and never answers; with `evicts`, it does so
/// too, but drops its file from the page cache each time it starts, so that the file comes from the
/// disk anew at its pace.
void readSlowly(int fd, bool stalls, bool again, bool evicts) {
    std::vector<char> part(size_t(256) << 10);
    off_t at = 0;
    for (;;) {
        if (evicts && at == 0)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        const ssize_t n = ::pread(fd, part.data(), part.size(), at);
        if (n < 0)
            break;
        if (n == 0 && !again)
            break;
        at = n == 0 ? 0 : at + n;
        const timespec pause{0, 100'000'000};
        ::nanosleep(&pause, nullptr);
        while (stalls && at >= (off_t(1) << 20))
            ::pause();
    }
    fail(Failed, "read " + std::to_string(at) + " bytes");
}

/// What a file whose content starts with "GW-WORKER-TEST:" asks a process started for tests to
/// do: a reader's faults, lies and attempts to escape, on demand. True when it has answered.
bool runTestHook(int fd, const Request& request) {
    char head[256] = {};
    if (::pread(fd, head, sizeof(head) - 1, 0) <= 0 || std::strncmp(head, "GW-WORKER-TEST:", 15) != 0)
        return false;
    std::string what(head + 15);
    if (what.starts_with("scribble ")) {
        // A profile in the shared memory, as a reader writes it before it answers, and then the
        // answer that follows: one the engine refuses, an error, a crash.
        if (mapShared(0))
            std::memset(shared, 0x5A, std::min<size_t>(sharedSize, 4096));
        what.erase(0, 9);
    }
    if (what.starts_with("crash"))
        ::raise(SIGSEGV);
    if (what.starts_with("abort"))
        std::abort();
    if (what.starts_with("spin"))
        for (unsigned long n = 0;; ++n)
            asm volatile("" : "+r"(n)); // kept, as the loop of a reader that never ends
    if (what.starts_with("hang"))
        for (;;)
            ::pause();
    if (what.starts_with("threads-brief"))
        askForBriefThreads(false);
    if (what.starts_with("threads-unlike"))
        askForBriefThreads(true);
    if (what.starts_with("threads-paced ")) {
        int total = 0, burst = 0;
        double perSecond = 0;
        if (std::sscanf(what.c_str() + 14, "%d %d %lf", &total, &burst, &perSecond) == 3) {
            askForThreadsPaced(total, burst, perSecond);
            return true;
        }
    }
    if (what.starts_with("threads"))
        askForThreadsWithoutEnd();
    if (what.starts_with("slow")) {
        const bool evicts = what.starts_with("slow-evict");
        readSlowly(fd, what.starts_with("slow-stall"), evicts || what.starts_with("slow-again"), evicts);
        return true;
    }
    if (what.starts_with("lie-")) {
        answerWithLie(what.substr(4, what.find_first_of(" \n", 4) - 4), request.format);
        return true;
    }
    if (what.starts_with("peek")) {
        // What another file's reader may have left in the shared memory before this one writes.
        size_t left = 0;
        if (mapShared(0))
            left = size_t(std::count_if(shared, shared + sharedSize, [](uint8_t b) { return b != 0; }));
        fail(Failed, "found " + std::to_string(left) + " bytes");
        return true;
    }
    if (what.starts_with("probe ")) {
        char secret[200] = {}, photo[200] = {};
        if (std::sscanf(what.c_str() + 6, "%199s %199s", secret, photo) == 2) {
            probeReach(fd, secret, photo);
            return true;
        }
    }
    if (what.starts_with("escape ")) {
        char folder[200] = {};
        int port = 0;
        if (std::sscanf(what.c_str() + 7, "%199s %d", folder, &port) == 2)
            tryToEscape(folder, port);
    }
    if (what.starts_with("alloc")) {
        // Touched, so that the memory is really taken; ends in bad_alloc at the limit, which the
        // library's readers report as want of memory.
        std::vector<std::unique_ptr<char[]>> blocks;
        try {
            for (uint64_t taken = 0;; taken += 64 << 20) {
#ifdef GW_SANITIZED
                // Where the address space limit would have stopped it.
                if (taken >= request.memoryAllowance)
                    throw std::bad_alloc();
#endif
                blocks.emplace_back(new char[64 << 20]);
                std::memset(blocks.back().get(), 1, 64 << 20);
            }
        } catch (const std::bad_alloc&) {
            blocks.clear();
            fail(NoMemory, "");
            return true;
        }
    }
    return false;
}

/// The picture's colour profile into the shared memory, for the answer to the open; false (having
/// answered) when the engine has not made room for one so large.
bool putProfile(const uint8_t* icc, size_t size, Reply& reply) {
    if (!mapShared(size)) {
        fail(Failed, "The image's colour profile is too large");
        return false;
    }
    std::memcpy(shared, icc, size);
    reply.iccSize = size;
    return true;
}

/// Qt's image plug-ins on the file: the formats the image library does not read (SVG, ICNS, ...).
/// Decoded whole here, as their readers do anyway.
void openWithQt(const Request& request) {
    static int argc = 1;
    static char name[] = "gw_imagelib_worker";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        // Plug-ins that draw (SVG) need fonts, so an application, but never a screen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
    QFile file;
    if (!file.open(current.fd, QIODevice::ReadOnly)) {
        fail(Failed, "The file could not be read");
        return;
    }
    QImageReader reader(
        &file, QByteArray(request.extension, int(strnlen(request.extension, sizeof(request.extension)))));
    reader.setAutoTransform(true); // EXIF orientation
    const QByteArray format = reader.format().toLower();
    // The image library's formats are read by it alone: when it has not been asked, the file is
    // not of its type, and Qt's more forgiving readers must not make a half-grey picture of it.
    static const std::set<QByteArray> library = {"jpeg", "jpg",  "png", "gif", "bmp", "tif",
                                                 "tiff", "webp", "pbm", "pgm", "ppm", "tga"};
    if (format.isEmpty() || library.count(format) || !reader.canRead()) {
        fail(NoReader, "");
        return;
    }
    if (const QSize size = reader.size(); size.isValid()) {
        // Before anything is allocated: RGBA64 at most, beside the engine's own copy.
        if (request.memoryAllowance > 0 &&
            uint64_t(size.width()) * uint64_t(size.height()) * 8 > request.memoryAllowance) {
            Reply reply;
            reply.status = NoMemory;
            reply.spec.width = size.width();
            reply.spec.height = size.height();
            send(reply);
            return;
        }
    }
    QImage image = reader.read();
    if (image.isNull()) {
        fail(Failed, reader.errorString().toStdString());
        return;
    }
    const bool deep = image.depth() > 32 || image.format() == QImage::Format_Grayscale16;
    image.convertTo(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    if (image.isNull()) {
        fail(NoMemory, "");
        return;
    }
    auto picture = std::make_unique<QtPicture>();
    picture->format = format.toStdString();
    if (image.colorSpace().isValid())
        picture->icc = image.colorSpace().iccProfile();
    Spec& spec = current.spec;
    spec.width = image.width();
    spec.height = image.height();
    spec.nchannels = 4;
    spec.depth = 1;
    spec.base = deep ? GW_IMG_16BIT : GW_IMG_8BIT;
    spec.alphaChannel = 3;
    spec.namedAlpha = 3;
    spec.unassociatedAlpha = 1;
    spec.orientation = 1; // turned upright already
    spec.scanlineBytes = int64_t(image.width()) * (deep ? 8 : 4);
    spec.imageBytes = spec.scanlineBytes * image.height();
    std::strncpy(spec.format, picture->format.c_str(), sizeof(spec.format) - 1);
    picture->image = std::move(image);
    current.qt = std::move(picture);

    Reply reply;
    reply.status = Ok;
    reply.spec = spec;
    const QByteArray& icc = current.qt->icc;
    if (!icc.isEmpty() &&
        !putProfile(reinterpret_cast<const uint8_t*>(icc.constData()), size_t(icc.size()), reply))
        return;
    send(reply);
}

/// The folders a reader reads besides its file: the libraries and Qt's plug-ins it loads as it
/// needs them, fonts and their configuration (for SVG), and the processors' list in /sys.
std::vector<std::string> systemFolders() {
    std::vector<std::string> folders = {"/usr",
                                        "/lib",
                                        "/lib64",
                                        "/etc/fonts",
                                        "/etc/ld.so.cache",
                                        "/etc/localtime",
                                        "/etc/locale.alias",
                                        "/var/cache/fontconfig",
                                        "/sys/devices/system/cpu",
                                        directoryOfExecutable()};
    auto fromEnvironment = [&](const char* name, const char* below) {
        if (const char* value = std::getenv(name); value && value[0] == '/')
            folders.push_back(std::string(value) + below);
    };
    fromEnvironment("XDG_CACHE_HOME", "/fontconfig");
    fromEnvironment("XDG_CONFIG_HOME", "/fontconfig");
    fromEnvironment("HOME", "/.cache/fontconfig");
    fromEnvironment("HOME", "/.config/fontconfig");
    fromEnvironment("HOME", "/.fonts");
    fromEnvironment("HOME", "/.local/share/fonts");
    for (const char* list : {"LD_LIBRARY_PATH", "QT_PLUGIN_PATH"})
        if (const char* value = std::getenv(list))
            for (std::string rest = value; !rest.empty();) {
                const size_t colon = rest.find(':');
                if (rest[0] == '/')
                    folders.push_back(rest.substr(0, colon));
                rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
            }
    return folders;
}

/// The listener through which the engine answers each thread the process would start, from its
/// confinement until it is handed to the engine.
int threadListener = -1;

/// Before the first byte of the file is read: the hard limits the engine asked for, then the
/// process confined for good (Sandbox.h). Empty on success, else why not.
std::string confine(const Request& request, int fd) {
    using sandbox::setLimit;
#ifndef GW_SANITIZED
    // The sanitizers reserve terabytes of address space for themselves: there their allocators
    // hold the bound (see ImageWorkerProcesses.cpp).
    if (request.memoryCeiling > 0) {
        const uint64_t mapped = sandbox::mappedBytes();
        if (!setLimit(RLIMIT_AS, mapped + std::min(request.memoryAllowance, request.memoryCeiling),
                      mapped + request.memoryCeiling))
            return "The memory limit could not be set";
    }
#endif
    if (request.cpuCeiling > 0) {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        const uint64_t used = uint64_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + 1;
        if (!setLimit(RLIMIT_CPU, used + std::min(request.cpuSeconds, request.cpuCeiling),
                      used + request.cpuCeiling))
            return "The CPU time limit could not be set";
    }
    // No file grows (the shared memory is the engine's to size), nothing is locked in memory, no
    // core is written; a few descriptors more than it holds. No process is started (the filter
    // refuses them, whoever the user is); threads are counted below.
    if (!setLimit(RLIMIT_FSIZE, 0, 0) || !setLimit(RLIMIT_MEMLOCK, 0, 0) || !setLimit(RLIMIT_CORE, 0, 0) ||
        !setLimit(RLIMIT_MSGQUEUE, 0, 0) || !setLimit(RLIMIT_NOFILE, 64, 64))
        return "The limits could not be set";
    sandbox::Reach reach;
    reach.readable = systemFolders();
    // Of /proc, what the C library and the sanitizers' runtimes read of the process itself (and
    // its file, through its descriptor): not its other entries, which show the machine's
    // connections and sockets among much else.
    for (const char* entry : {"maps", "stat", "statm", "status"})
        reach.readable.push_back(std::string("/proc/self/") + entry);
    reach.readableFiles = {fd};
    reach.sockets = {socketFd};
    // A copy of the starter, whose library is loaded and ready, starts a thread only when the
    // engine lets it (the codecs of HEIF decode on a few); a reader that loads the library after
    // this point (under the sanitizers) needs the threads the library starts as it loads.
    reach.threadsAsked = library != nullptr;
    return sandbox::confine(reach, &threadListener);
}

/// Gives the process, before it loads anything, a file system that holds only what a reader reads
/// (beside its file and its own entries in /proc), and a network of its own with nothing in it.
void isolate() {
    std::vector<std::string> visible = systemFolders();
    // The links of the system's choices among libraries (a library under /usr may be one), and
    // /proc, whose entries beside the process's own Landlock keeps from it.
    visible.insert(visible.end(), {"/etc/alternatives", "/proc"});
    if (std::strlen(GW_IMAGELIB_BUILD_PATH) > 0) {
        const std::string built = GW_IMAGELIB_BUILD_PATH;
        visible.push_back(built.substr(0, built.rfind('/')));
    }
    notIsolated = sandbox::isolate(visible);
}

/// Whether the process has been given its file: it reads no other.
bool given = false;

/// The processors on which a reader of HEIF pictures runs, when fewer than the starter's (see
/// startReaders()): the AV1 codec starts threads for each processor it may use, for each tile.
std::optional<cpu_set_t> heifProcessors;

void open(const Request& request, int fd) {
    if (given || fd < 0) {
        if (fd >= 0)
            ::close(fd);
        fail(Failed, given ? "This reader has read its file" : "No file was handed over");
        return;
    }
    given = true;
    current.fd = fd;
    fdName = "/proc/self/fd/" + std::to_string(fd);
    if (heifProcessors && std::strcmp(request.format, "heif") == 0)
        ::sched_setaffinity(0, sizeof *heifProcessors, &*heifProcessors);
    if (const std::string error = confine(request, fd); !error.empty()) {
        fail(Failed, "The reader could not be confined: " + error);
        return;
    }
    // Before a byte of the file is read, while this is still the program's own code: the engine
    // learns that the process is confined, and takes the listener for its threads, of which this
    // process keeps no copy.
    Reply confined;
    confined.status = Confined;
    send(confined, {}, threadListener);
    if (threadListener >= 0)
        ::close(std::exchange(threadListener, -1));
    // The position is the engine's copy's too: from the start, wherever that left it.
    ::lseek(fd, 0, SEEK_SET);
    if (testHooks && runTestHook(fd, request))
        return;
    const std::string format(request.format, strnlen(request.format, sizeof(request.format)));
    if (format.empty()) {
        openWithQt(request);
        return;
    }
    if (!loadLibrary()) {
        fail(Failed, libraryError);
        return;
    }
    GwImgSpec spec{};
    std::string error;
    GwImgInput* input = nullptr;
    const int status = library->open_fd(fd, format.c_str(), &input, &spec, appendText, &error);
    if (status != GW_IMG_OK || !input) {
        fail(status == GW_IMG_NO_MEMORY ? NoMemory : Failed, error);
        return;
    }
    current.input = input;
    current.spec = specOf(spec);
    Reply reply;
    reply.status = Ok;
    reply.spec = current.spec;
    if (spec.icc && spec.icc_size && !putProfile(spec.icc, spec.icc_size, reply))
        return;
    send(reply);
}

/// Bytes of rows y0 to y1 of `channels` samples of `type`; 0 for a request that cannot be met.
size_t bytesFor(int rows, int channels, int type) {
    const Spec& spec = current.spec;
    if (rows <= 0 || channels <= 0 || channels > spec.nchannels)
        return 0;
    size_t row = 0;
    if (type == GW_READ_NATIVE) {
        if (channels != spec.nchannels) // channel formats may differ: only all of them
            return 0;
        row = size_t(spec.scanlineBytes);
    } else {
        row = size_t(spec.width) * size_t(channels) * sampleSize(type);
    }
    if (row == 0 || row > SIZE_MAX / size_t(rows))
        return 0;
    return row * size_t(rows);
}

/// Rows of the picture decoded by Qt, in the stored type (or as asked, when that is the same).
bool readQt(int y0, int y1, int channels, int type, uint8_t* out) {
    const QImage& image = current.qt->image;
    const int stored = current.spec.base == GW_IMG_16BIT ? GW_READ_U16 : GW_READ_U8;
    if (type != GW_READ_NATIVE && type != stored)
        return false;
    if (y0 < 0 || y1 > image.height() || y0 >= y1)
        return false;
    const size_t sample = stored == GW_READ_U16 ? 2 : 1;
    const size_t pixel = size_t(channels) * sample;
    for (int y = y0; y < y1; ++y) {
        const uint8_t* in = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x, out += pixel)
            std::memcpy(out, in + size_t(x) * 4 * sample, pixel);
    }
    return true;
}

void read(const Request& request, bool whole) {
    if (!lie.empty() && answerReadWithLie(bytesFor(request.y1 - request.y0, request.channels, request.type)))
        return;
    if (!current.input && !current.qt) {
        fail(Failed, "No file is open");
        return;
    }
    const Spec& spec = current.spec;
    const int y0 = whole ? spec.y : request.y0, y1 = whole ? spec.y + spec.height : request.y1;
    const size_t bytes = bytesFor(y1 - y0, request.channels, request.type);
    if (bytes == 0 || (whole && request.type == GW_READ_NATIVE && int64_t(bytes) != spec.imageBytes)) {
        fail(Failed, "The samples asked for cannot be read");
        return;
    }
    if (!mapShared(bytes)) {
        fail(Failed, "The shared memory is smaller than the samples asked for");
        return;
    }
    int status = GW_IMG_FAILED;
    if (current.qt)
        status = readQt(y0 - spec.y, y1 - spec.y, request.channels, request.type, shared) ? GW_IMG_OK
                                                                                          : GW_IMG_FAILED;
    else if (whole)
        status = library->read_image(current.input, request.channels, request.type, shared);
    else
        status = library->read_scanlines(current.input, y0, y1, request.channels, request.type, shared);
    Reply reply;
    reply.status = status == GW_IMG_OK ? Ok : status == GW_IMG_NO_MEMORY ? NoMemory : Failed;
    reply.bytes = status == GW_IMG_OK ? bytes : 0;
    send(reply);
}

void takeErrors() {
    Reply reply;
    reply.status = Ok;
    std::string text;
    if (current.input)
        reply.any = library->take_errors(current.input, appendText, &text);
    send(reply, text);
}

void close() {
    if (current.input)
        library->close(current.input);
    Reply reply;
    reply.status = Ok;
    send(reply);
}

void closeOtherDescriptors() {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 5u, ~0u, 0u) == 0)
        return;
#endif
    for (int fd = 5; fd < 1024; ++fd)
        ::close(fd);
}

} // namespace

#ifdef GW_SANITIZED
// Under the sanitizers the address space cannot be limited: their allocators stop what goes past
// the heap limit that the engine's environment gives (see ImageWorkerProcesses.cpp), this the last bound.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:hard_rss_limit_mb=3072:detect_leaks=0:"
           "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0";
}
extern "C" const char* __tsan_default_options() {
    return "hard_rss_limit_mb=3072:handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_"
           "sigill=0";
}
#endif

namespace {

/// The next message from the engine into `packet`, with the `count` descriptors it carries in
/// `fds` (left as they are when it carries another number). Ends the process when the engine has
/// gone or lets it go: there is nothing to tidy.
size_t receive(std::vector<char>& packet, int* fds, int count) {
    for (;;) {
        iovec io{packet.data(), packet.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t n = ::recvmsg(socketFd, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ::_exit(0);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                c->cmsg_len == CMSG_LEN(count * sizeof(int)))
                std::memcpy(fds, CMSG_DATA(c), count * sizeof(int));
        return size_t(n);
    }
}

[[noreturn]] void serve() {
    std::vector<char> packet(maxMessage);
    for (;;) {
        int fd = -1;
        const size_t n = receive(packet, &fd, 1);
        Request request;
        if (n < sizeof(Request)) {
            if (fd >= 0)
                ::close(fd);
            fail(Failed, "A request was cut short");
            continue;
        }
        std::memcpy(&request, packet.data(), sizeof(Request));
        request.format[sizeof(request.format) - 1] = '\0';
        request.extension[sizeof(request.extension) - 1] = '\0';
        if (request.op != Open && fd >= 0)
            ::close(fd);
        switch (request.op) {
        case Open:
            open(request, fd);
            break;
        case ReadScanlines:
            read(request, false);
            break;
        case ReadImage:
            read(request, true);
            break;
        case TakeErrors:
            takeErrors();
            break;
        case Close:
            close();
            break;
        default:
            fail(Failed, "Unknown request");
            break;
        }
    }
}

/// Ends with the program, however the program ends; false when the program has gone already.
bool followParent(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return parent != 0 && ::getppid() == parent;
}

/// The starter: loads the library once, then copies itself into a new reader process for each
/// request (its descriptor 3 the socket to the engine), which starts at once instead of loading
/// the library's few hundred libraries again. Each copy is a child of the engine, as if the engine
/// had started it, so that the engine learns how it ended.
[[noreturn]] void startReaders(pid_t parent) {
    // The AV1 codec starts threads for each processor a reader may use, for each tile of a
    // picture, and the engine lets a reader ask for only so many: a reader of HEIF pictures runs
    // on a few of the processors, one further along for each reader, so that readers side by side
    // spread over all of them.
    std::vector<int> processors;
    if (cpu_set_t set; ::sched_getaffinity(0, sizeof set, &set) == 0)
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set))
                processors.push_back(cpu);
    size_t nextProcessor = 0;
    if (loadLibrary())
        library->prepare_readers();
    std::vector<char> packet(sizeof(Fork));
    for (;;) {
        int fds[2] = {-1, -1};
        const size_t n = receive(packet, fds, 2);
        Fork request;
        std::memcpy(&request, packet.data(), std::min(sizeof(Fork), n));
        Forked answer;
        if (fds[0] < 0 || fds[1] < 0) {
            answer.pid = -EINVAL;
        } else {
            // A plain fork would make the copy a child of this process. The copy has only this
            // thread; the few that libraries start as they load (a logging pool) wait idle here,
            // holding no lock, and their work is never asked for in a reader.
            const long pid = ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, 0);
            if (pid == 0) {
                if (!followParent(parent))
                    ::_exit(0);
                ::dup2(fds[0], socketFd);
                ::dup2(fds[1], sharedFd);
                closeOtherDescriptors();
                ::prctl(PR_SET_NAME, "gw_reader");
                if (processors.size() > size_t(readerProcessors)) {
                    cpu_set_t window;
                    CPU_ZERO(&window);
                    for (size_t i = 0; i < size_t(readerProcessors); ++i)
                        CPU_SET(processors[(nextProcessor + i) % processors.size()], &window);
                    heifProcessors = window;
                }
                testHooks = (request.hooks & hookFaults) != 0;
                serve();
            }
            answer.pid = pid < 0 ? -errno : int32_t(pid);
            nextProcessor = (nextProcessor + 1) % std::max<size_t>(processors.size(), 1);
            if (pid > 0 && (request.hooks & hookLyingStarter))
                answer.pid = parent;
        }
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
        sendPacket(socketFd, &answer, sizeof(answer));
    }
}

} // namespace

int main(int argc, char** argv) {
    pid_t parent = 0;
    bool starter = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--parent") == 0 && i + 1 < argc)
            parent = pid_t(std::strtol(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--test-hooks") == 0)
            testHooks = true;
        else if (std::strcmp(argv[i], "--starter") == 0)
            starter = true;
    }
    if (!followParent(parent))
        return 0;
    // One heap for all of a reader's threads: each further heap reserves 64 MB of the address space
    // that the reader's memory limit bounds, and a codec that cannot start a thread for want of it
    // waits for that thread without end.
    ::mallopt(M_ARENA_MAX, 1);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore); // a reader's crash is an answer here, not a report
    // Nothing of the program's terminal or log, and no folder of its own to resolve names against.
    if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            ::dup2(null, fd);
        ::close(null);
    }
    [[maybe_unused]] const int root = ::chdir("/");
    ::prctl(PR_SET_NAME, starter ? "gw_starter" : "gw_reader");
    if (starter) {
        ::close(sharedFd);
        closeOtherDescriptors();
        isolate();
        startReaders(parent);
    }
    closeOtherDescriptors();
    isolate();
    serve();
}
