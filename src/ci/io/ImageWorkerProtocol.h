#pragma once

// The messages between the engine and the reader process (gw_imagelib_worker), which serves the
// reading half of the image library's table (ImageLibraryAbi.h), and Qt's image plug-ins for the
// formats the library does not read, to one engine reader at a time.
//
// The two talk over a sequenced-packet socket, one request and one answer at a time. The file to
// read travels as a descriptor; the samples come back through a shared memory file that the engine
// creates and both map, so the socket carries only small messages. Descriptor 3 of the process is
// its end of the socket, descriptor 4 the shared memory (of the starter, descriptor 3 is its socket).

#include <stddef.h>
#include <stdint.h>

// Set in builds with AddressSanitizer or ThreadSanitizer, whose processes map memory their own way.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GW_SANITIZED 1
#endif
#endif

namespace ci::io::worker {

constexpr int socketFd = 3;
constexpr int sharedFd = 4;
/// The largest message either side sends.
constexpr size_t maxMessage = 32 * 1024;

enum Op : uint32_t {
    /// With the file's descriptor: opens it with the named reader (an empty name: Qt's plug-ins,
    /// `name` then holds the file's extension as a hint). Answers with the picture's header.
    Open = 1,
    ReadScanlines = 2,
    ReadImage = 3,
    TakeErrors = 4,
    Close = 5,
    /// Forgets the open file; no answer.
    Destroy = 6,
};

enum Status : int32_t {
    Failed = 0,
    Ok = 1,
    NoMemory = -1, ///< an allocation failed, or a size out of any allocation's reach
    NoReader = -2, ///< no reader knows the file (Qt's plug-ins)
};

struct Request {
    uint32_t op = 0;
    int32_t y0 = 0, y1 = 0, channels = 0, type = 0;
    /// CPU seconds the request may take; 0 leaves the limit as it is.
    uint32_t cpuSeconds = 0;
    /// Bytes that the process may map beyond what it maps now (0: no limit).
    uint64_t memoryAllowance = 0;
    char format[32] = {};
    /// Open: the name that messages give the file; for Qt, the extension.
    char name[4096] = {};
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
    // Followed by the message (UTF-8), up to the end of the packet.
};

/// To the starter, the process that has loaded the library once and copies itself into each new
/// reader process (which so starts at once), with that process's socket end and shared memory.
struct Fork {
    uint32_t testHooks = 0;
};
/// Its answer: the new process's id (a child of the engine's), or -errno.
struct Forked {
    int32_t pid = 0;
};

} // namespace ci::io::worker
