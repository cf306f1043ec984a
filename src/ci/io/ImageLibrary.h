#pragma once

// The image library module: every format but JPEG and PNG goes through it. Its readers, and Qt's
// image plug-ins for the formats it does not read, run in reader processes (ImageWorker.cpp), so
// that no fault of theirs can end the program; its writers run here, loaded on first need, so that
// processes that only meet JPEG and PNG never pay for loading it.

#include "Codec.h"
#include "PictureInput.h"

#include "ci/core/Context.h"
#include "ci/core/Image.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ci::io::imagelib {

/// "" when the module is loaded (loading it on the first call), else the message.
std::string load();

/// A file or data opened in a reader process, or why not.
struct Opened {
    std::unique_ptr<PictureInput> input;
    std::string error;
    bool noReader = false; ///< none of Qt's plug-ins knows the file
};
/// Opens the file at `path` (or `file`, from its start; by its descriptor: the library never sees
/// its name) with the library's reader named `format` alone, or with Qt's image plug-ins when
/// `format` is empty (the file's extension their hint). The reader process is the caller's until the
/// input is destroyed.
Opened openFile(const std::string& path, const std::string& format);
Opened openFile(const PictureFile& file, const std::string& format);
/// The same for data in memory.
Opened openData(const std::vector<uint8_t>& bytes, const std::string& format);

/// The lower-case extension of a path's file name, or "".
std::string extensionOf(const std::string& path);

/// A reader process may take `cpuSeconds` of CPU time for each request (more for a request for
/// many samples), and answer within `answerSeconds` (also more for many samples; the whole file has
/// its open's time and its samples'); past either, the file fails and the process is ended.
struct WorkerLimits {
    double cpuSeconds = 5;
    double answerSeconds = 30;
};
/// For tests: other limits, and reader processes that fault, lie, look and try to escape on
/// demand, for a file whose content starts with "GW-WORKER-TEST:" and "crash", "abort", "spin",
/// "hang", "alloc", "lie-" and what to lie about, "peek" (at what its shared memory holds), "probe
/// SECRET PHOTO" (at what lies beyond its file), "escape FOLDER PORT", "threads" (asked for
/// without end), "threads-brief" (threads that end at once, without end), "threads-unlike" (asked
/// for with flags that no thread library uses, without end), "threads-paced N B P" (N threads
/// that the kernel refuses, B at once and then P a second), "slow" (a file read as from a slow
/// disk), "slow-stall" (which stops after a megabyte) or "slow-again" (which reads its file again
/// and again) (see ImageLibWorker.cpp); with `lyingStarter`, a starter that names another process
/// as the new reader.
void setWorkerLimits(const WorkerLimits& limits);
void setWorkerTestHooks(bool on, bool lyingStarter = false);

/// Encodes `channels` samples a pixel (`bits` 8 or 16) in the named format; `rows(y0, y1)` gives
/// the packed rows y0 to y1, or null on failure.
Result<std::vector<uint8_t>> write(const std::string& format, int width, int height, int channels, int bits,
                                   const std::vector<std::pair<std::string, std::string>>& attributes,
                                   int band, const std::function<const void*(int, int)>& rows);

/// A file decoded as decodeFile() does, but with the image library for JPEG and PNG files too; and a JPEG
/// encoded with it as encodePixels() would. What the direct JPEG paths are checked against.
Result<Decoded> decodeFile(const std::string& path);
Result<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& pixels, double compression);

} // namespace ci::io::imagelib
