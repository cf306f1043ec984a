// Any bytes handed to the decoder give a picture or an error, in bounded memory and time; a
// picture renders. Every format but JPEG and PNG is read in a reader process: a fault of the image
// library's readers there (a crash, an abort, a loop) is a failed file, not a finding; a fault in
// this process is one.

#include "ci/core/Context.h"
#include "ci/core/Memory.h"
#include "ci/io/Codec.h"
#include "ci/io/ImageLibrary.h"

#include <QGuiApplication>

#include <tbb/global_control.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Qt's image plug-ins are found through the application object.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    // One thread: more inputs per second, and findings that replay the same way.
    static tbb::global_control oneThread(tbb::global_control::max_allowed_parallelism, 1);
    // Small enough that declared sizes are refused rather than allocated under the fuzzer's
    // memory limit.
    ci::memory::setLimit(int64_t(256) << 20);
    // A reader that stops answering fails its file well within the fuzzer's time for one input.
    ci::io::imagelib::setWorkerLimits({5, 10});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    auto decoded = ci::io::decodeData(bytes);
    if (!decoded.ok()) {
        if (decoded.error().empty())
            std::abort(); // a failure always says why
        return 0;
    }
    const ci::Rect extent = decoded->image.extent();
    if (decoded->width <= 0 || decoded->height <= 0 || extent.width() != decoded->width ||
        extent.height() != decoded->height)
        std::abort();
    auto pixels = ci::Context().renderSRGB(decoded->image, ci::Rect::make(0, 0, 64, 64));
    if (!pixels.ok())
        std::abort();
    return 0;
}
