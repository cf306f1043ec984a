#pragma once

// The messages between the engine and the reader process (gw_imagelib_worker), which serves the
// reading half of the image library's table (ImageLibraryAbi.h), and Qt's image plug-ins for the
// formats the library does not read, for one file: a reader that has opened a file never gets
// another, so that a reader taken over by a crafted file sees nothing of the rest of a batch.
//
// The two talk over a sequenced-packet socket, one request and one answer at a time. The file to
// read travels as a descriptor, never by name; the samples come back through a shared memory file
// that the engine creates, sizes and seals against shrinking, so that a reader cannot pull it away
// under the engine's map of it, from which the engine copies them; it is cleared before another
// reader gets it. Descriptor 3 of the process is its end of the socket, descriptor 4 the shared
// memory (of the starter, descriptor 3 is its socket). Nothing a reader answers is trusted: the
// engine checks every value before it uses any (ImageWorkerAnswers.cpp).

#include "sandbox/Sandbox.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <stddef.h>
#include <stdint.h>

namespace ci::io::worker {

constexpr int socketFd = 3;
constexpr int sharedFd = 4;
/// The largest message either side sends.
constexpr size_t maxMessage = 32 * 1024;
/// The processors a reader of HEIF pictures runs on: the AV1 codec starts a thread for each, for
/// each tile of a picture, and the HEIF reader decodes four tiles at once.
constexpr int readerProcessors = 4;

enum Op : uint32_t {
    /// With the file's descriptor: confines the process, then opens the file with the named reader
    /// (an empty name: Qt's plug-ins, with the file's extension as a hint). Answers with the
    /// picture's header. Only the first request of a process.
    Open = 1,
    ReadScanlines = 2,
    ReadImage = 3,
    TakeErrors = 4,
    Close = 5,
};

enum Status : int32_t {
    Failed = 0,
    Ok = 1,
    /// Open: the first answer, sent once the process is confined and before it reads a byte of its
    /// file; it carries the listener through which the engine lets it start threads, or nothing
    /// where the kernel cannot ask (threads are then refused). The header's answer follows.
    Confined = 2,
    NoMemory = -1, ///< an allocation failed, or a size out of any allocation's reach
    NoReader = -2, ///< no reader knows the file (Qt's plug-ins)
};

struct Request {
    uint32_t op = 0;
    int32_t y0 = 0, y1 = 0, channels = 0, type = 0;
    /// Open: the limits that the process sets itself before it reads a byte of the file, as CPU
    /// seconds and bytes it may map beyond what it maps now (0: none): the soft ones, which the
    /// engine raises from outside as the reading goes on, up to the hard ones, which nothing raises.
    uint32_t cpuSeconds = 0, cpuCeiling = 0;
    uint64_t memoryAllowance = 0, memoryCeiling = 0;
    char format[32] = {};
    /// Open: the file's extension, for Qt's plug-ins.
    char extension[16] = {};
};

/// A picture's header as ImageLibraryAbi.h's GwImgSpec, without pointers.
struct Spec {
    int32_t width, height, nchannels, depth;
    int32_t deep;
    int32_t tileWidth;
    int32_t y, z;
    int32_t base;
    int32_t alphaChannel;
    int32_t namedAlpha;
    int32_t unassociatedAlpha;
    int32_t orientation;
    int64_t scanlineBytes;
    int64_t imageBytes;
    char format[32];
};

struct Reply {
    int32_t status = Failed;
    /// Open: the header, its ICC profile at the start of the shared memory (iccSize bytes).
    Spec spec{};
    uint64_t iccSize = 0;
    /// Reads: the samples at the start of the shared memory.
    uint64_t bytes = 0;
    /// TakeErrors: 1 when there were any.
    int32_t any = 0;
    /// 1 when the process has a file system and a network of its own (sandbox::isolate).
    int32_t isolated = 0;
    // Followed by the message (UTF-8), up to the end of the packet.
};

/// To the starter, the process that has loaded the library once and copies itself into each new
/// reader process (which so starts at once), with that process's socket end and shared memory.
struct Fork {
    uint32_t hooks = 0; ///< for tests
};
/// Fork::hooks: the reader obeys the test hooks of its file; the starter's answer lies.
constexpr uint32_t hookFaults = 1, hookLyingStarter = 2;
/// Its answer: the new process's id (a child of the engine's), or -errno.
struct Forked {
    int32_t pid = 0;
};

/// Sends `size` bytes of `data` as one packet on `socket`, with the `count` descriptors of `fds`
/// (at most 2); false when the other end has gone.
inline bool sendPacket(int socket, const void* data, size_t size, const int* fds = nullptr, int count = 0) {
    iovec io{const_cast<void*>(data), size};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    if (count > 0 && count <= 2) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(size_t(count) * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(size_t(count) * sizeof(int));
        memcpy(CMSG_DATA(c), fds, size_t(count) * sizeof(int));
    }
    for (;;) {
        if (::sendmsg(socket, &message, MSG_NOSIGNAL) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

} // namespace ci::io::worker
