// The engine's side of the reader processes (see ImageWorkerProtocol.h): each file that the image
// library or Qt's plug-ins read is read in a process of its own, confined, so that neither a fault
// of a reader nor the code of a crafted file can reach the program or the rest of a batch. Here a
// file is opened in its reader and read from it; how readers are started, limited and ended is in
// ImageWorkerProcesses.cpp, what they may answer and how that is checked in ImageWorkerAnswers.cpp.

#include "ImageLibrary.h"

#include "ImageLibraryAbi.h"
#include "ImageWorkerAnswers.h"
#include "ImageWorkerProcesses.h"
#include "ImageWorkerProtocol.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Console.h"
#include "ci/core/Memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

namespace ci::io::imagelib {

namespace {

using namespace worker;
using Clock = ReaderClock;

/// Says once on the console when a reader has not the file system and network of its own that it
/// makes as it starts: it then runs with the rest of its confinement.
void noteNotIsolated() {
    static std::once_flag once;
    std::call_once(once, [] {
        console("Image readers run without a file system and a network of their own: this system lets "
                "them make no user namespace, or none with its mounts; they run with the rest of "
                "their confinement");
    });
}

std::string noMemoryReason() {
    return "The image could not be read: its reader needs more memory than the budget allows (limit " +
           memory::formatGB(memory::limit()) + ")";
}

double cpuFor(size_t bytes, const WorkerLimits& l) {
    return l.cpuSeconds + double(bytes) / bytesPerSecond;
}
double waitFor(size_t bytes, const WorkerLimits& l) {
    return l.answerSeconds + 2 * double(bytes) / bytesPerSecond;
}

size_t sampleSize(ReadType type) {
    switch (type) {
    case ReadType::U8:
        return 1;
    case ReadType::U16:
        return 2;
    case ReadType::F32:
        return 4;
    case ReadType::Native:
        break;
    }
    return 0;
}

int typeCode(ReadType type) {
    switch (type) {
    case ReadType::U8:
        return GW_READ_U8;
    case ReadType::U16:
        return GW_READ_U16;
    case ReadType::F32:
        return GW_READ_F32;
    case ReadType::Native:
        break;
    }
    return GW_READ_NATIVE;
}

/// A file open in a reader process, which reads it alone and ends with it.
class WorkerInput final : public PictureInput {
  public:
    WorkerInput(std::unique_ptr<Worker> worker, PictureSpec spec, std::string format)
        : worker_(std::move(worker)), spec_(std::move(spec)), format_(std::move(format)) {}

    const PictureSpec& spec() const override { return spec_; }
    std::string formatName() const override { return format_; }

    bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) override {
        const size_t row = rowBytes(channels, type);
        if (row == 0 || y0 < spec_.y || y1 > spec_.y + spec_.height || y1 < y0)
            return false;
        const int band = int(std::clamp<size_t>(bandBytes / row, 1, size_t(std::max(y1 - y0, 1))));
        auto* out = static_cast<uint8_t*>(data);
        for (int y = y0; y < y1; y += band) {
            const int end = std::min(y1, y + band);
            Request request;
            request.op = ReadScanlines;
            request.y0 = y;
            request.y1 = end;
            if (!read(request, channels, type, row * size_t(end - y), out))
                return false;
            out += row * size_t(end - y);
        }
        return true;
    }

    bool readImage(int channels, ReadType type, void* data) override {
        const size_t row = rowBytes(channels, type);
        if (row == 0 || row > SIZE_MAX / size_t(spec_.height))
            return false;
        Request request;
        request.op = ReadImage;
        return read(request, channels, type, row * size_t(spec_.height), static_cast<uint8_t*>(data));
    }

    std::string takeErrors() override {
        if (!pending_.empty())
            return std::exchange(pending_, std::string());
        if (!worker_->alive())
            return {};
        Request request;
        request.op = TakeErrors;
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, currentLimits().answerSeconds, reply, text))
            return worker_->failure();
        return reply.any ? text : std::string();
    }

    void close() override {
        if (!worker_->alive())
            return;
        Request request;
        request.op = Close;
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, currentLimits().answerSeconds, reply, text))
            pending_ = worker_->failure();
    }

  private:
    size_t rowBytes(int channels, ReadType type) const {
        if (channels <= 0 || channels > spec_.nchannels)
            return 0;
        if (type == ReadType::Native)
            return channels == spec_.nchannels ? size_t(spec_.scanlineBytes) : 0;
        return size_t(spec_.width) * size_t(channels) * sampleSize(type);
    }

    /// One read of `bytes` of samples into `out`, which holds that many.
    bool read(Request& request, int channels, ReadType type, size_t bytes, uint8_t* out) {
        if (!worker_->alive())
            return false;
        const WorkerLimits l = currentLimits();
        request.channels = channels;
        request.type = typeCode(type);
        // A reader may hold a copy of the picture as stored beside the samples it hands back.
        const int64_t memory = saturatingAdd(saturatingAdd(openShare(), spec_.imageBytes), int64_t(bytes));
        if (!worker_->sizeShared(bytes) || !worker_->allow(cpuFor(bytes, l), memory)) {
            pending_ = noMemoryReason();
            return false;
        }
        worker_->willWriteShared(bytes);
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, waitFor(bytes, l), reply, text, Expected{{}, bytes})) {
            pending_ = worker_->failure();
            return false;
        }
        if (reply.status == NoMemory) {
            pending_ = noMemoryReason();
            return false;
        }
        if (reply.status == Failed)
            return false; // the reader's errors say why
        if (!worker_->readShared(out, bytes)) {
            worker_->answeredWrongly();
            pending_ = worker_->failure();
            return false;
        }
        return true;
    }

    std::unique_ptr<Worker> worker_;
    PictureSpec spec_;
    std::string format_;
    std::string pending_; ///< why the last request failed, when the reader cannot say
};

/// Opens the file on `fd` in a new reader process: `format` names the library's reader, or is
/// empty for Qt's plug-ins with `extension` the file's. `own`, when one, is the program's own
/// description of the same file, by which the time its medium takes is measured.
Opened openDescriptor(int fd, int own, const std::string& format, const std::string& extension) {
    const WorkerLimits l = currentLimits();
    // Qt's plug-ins decode the whole picture as they open it.
    const double share = format.empty() ? 4 : 1;
    const auto startedAt = Clock::now();
    std::string error;
    std::unique_ptr<Worker> worker = Worker::start(error);
    if (!worker)
        return Opened{nullptr, error, false};
    worker->setDeadline(startedAt + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(l.answerSeconds * share)));
    if (own >= 0)
        worker->watchReading(own);
    if (!worker->sizeShared(maxProfileBytes) || !worker->allow(0, openShare()))
        return Opened{nullptr, noMemoryReason(), false};

    Request request;
    request.op = Open;
    std::strncpy(request.format, format.c_str(), sizeof(request.format) - 1);
    if (format.empty())
        std::strncpy(request.extension, extension.c_str(), sizeof(request.extension) - 1);
    request.cpuSeconds = uint32_t(std::ceil(l.cpuSeconds * share));
    request.cpuCeiling = uint32_t(std::ceil(l.cpuSeconds * 8 + 4 * double(memory::limit()) / bytesPerSecond));
    request.memoryAllowance = uint64_t(worker->share());
    request.memoryCeiling = uint64_t(memory::limit());
    Reply reply;
    std::string text;
    const bool answered =
        worker->call(request, fd, l.answerSeconds * share, reply, text, Expected{format, 0});
    // Cleared before another reader gets the memory: an accepted profile is all that an honest
    // reader wrote; an answer refused, an error or a reader that ended before it answered may have
    // left a profile, or anything, anywhere in it.
    worker->willWriteShared(answered && reply.status == Ok ? reply.iccSize : SIZE_MAX);
    if (!answered)
        return Opened{nullptr, worker->failure(), false};
    if (!reply.isolated)
        noteNotIsolated();

    if (reply.status == Ok) {
        const Spec& s = reply.spec;
        std::vector<uint8_t> icc;
        if (reply.iccSize > 0) {
            if (std::string refused = memory::admit(int64_t(reply.iccSize)); !refused.empty())
                return Opened{nullptr, "The image's colour profile does not fit in memory: " + refused,
                              false};
            icc.resize(size_t(reply.iccSize));
            if (!worker->readShared(icc.data(), icc.size())) {
                worker->answeredWrongly();
                return Opened{nullptr, worker->failure(), false};
            }
        }
        // The whole file, however its reads are spread: its open's time and its samples'.
        worker->setDeadline(startedAt +
                            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                l.answerSeconds * share + 2 * double(s.imageBytes) / bytesPerSecond)));
        return Opened{
            std::make_unique<WorkerInput>(std::move(worker), pictureSpec(s, std::move(icc)),
                                          std::string(s.format, strnlen(s.format, sizeof(s.format)))),
            {},
            false};
    }
    if (reply.status == NoReader)
        return Opened{nullptr, text, true};
    if (reply.status == NoMemory) {
        const int64_t w = reply.spec.width, h = reply.spec.height;
        if (w > 0 && h > 0) {
            std::string refused =
                memory::admit(saturatingAdd(Bitmap::bytesFor(IRect{0, 0, w, h}), saturatingMul(w * 8, h)));
            return Opened{nullptr,
                          "The image is too large (" + std::to_string(w) + " x " + std::to_string(h) +
                              " pixels): " +
                              (refused.empty() ? "its reader needs more memory than it may take" : refused),
                          false};
        }
        return Opened{nullptr, noMemoryReason(), false};
    }
    return Opened{nullptr, text.empty() ? "The file could not be opened as " + format : text, false};
}

} // namespace

std::string extensionOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

Opened openFile(const std::string& path, const std::string& format) {
    // Never blocks on a pipe or device, should one take the file's place.
    const Result<PictureFile> file = PictureFile::open(path);
    return file ? openFile(file.value(), format) : Opened{nullptr, file.error(), false};
}

Opened openFile(const PictureFile& file, const std::string& format) {
    // A description of the reader's own, from the file's start: it may change the flags of what it
    // is handed, or move its offset, under nobody else's reads.
    const Result<PictureFile> handed = file.reopen();
    if (!handed)
        return Opened{nullptr, handed.error(), false};
    return openDescriptor(handed->descriptor(), file.descriptor(), format,
                          format.empty() ? extensionOf(file.path()) : std::string());
}

Opened openData(const std::vector<uint8_t>& bytes, const std::string& format) {
    // Sealed once written: the reader reads the data and can change none of it.
    const int fd = ::memfd_create("gw-image-data", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return Opened{nullptr,
                      std::string("The image data could not be handed over: ") + std::strerror(errno), false};
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return Opened{nullptr, "The image data could not be handed over", false};
        }
        done += size_t(n);
    }
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    Opened opened = openDescriptor(fd, -1, format, std::string());
    ::close(fd);
    return opened;
}

} // namespace ci::io::imagelib
