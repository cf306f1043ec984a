#include "ui/ImageConvert.h"

#include "ci/core/Context.h"
#include "ci/core/Value.h"
#include "ci/io/Codec.h"
#include "platform/FilePath.h"

#include <algorithm>
#include <cmath>

namespace ui {

QImage toQImage(const platform::WindowImage& image) {
    if (!image.isValid())
        return {};
    auto pixels = image.render(8);
    if (!pixels.ok())
        return {};
    const auto& buffer = pixels.value();
    if (buffer.width <= 0 || buffer.height <= 0)
        return {};
    QImage view(buffer.data.data(), buffer.width, buffer.height, buffer.width * 4, QImage::Format_RGBA8888);
    return view.copy();
}

QImage loadImageFile(const QString& path, int maxSide) {
    // Only regular files: opening a pipe or a device would block this worker for good.
    if (platform::fileKind(path) != platform::FileKind::Regular)
        return {};
    // The engine's readers, never a third-party reader in this process: its own for JPEG and PNG,
    // a reader process for every other format. The name's bytes reach the file as they are.
    auto decoded = ci::io::decodeFile(platform::pathBytes(path));
    if (!decoded)
        return {};
    ci::Image image = decoded->image;
    int width = decoded->width, height = decoded->height;
    if (maxSide > 0 && std::max(width, height) > maxSide * 2) {
        // Reduced by the engine to twice the size shown, so that only those pixels are rendered.
        const double scale = double(maxSide * 2) / std::max(width, height);
        image = image.applyingFilter("CILanczosScaleTransform",
                                     {{"inputScale", scale}, {"inputAspectRatio", 1.0}});
        width = std::max(1, int(std::lround(width * scale)));
        height = std::max(1, int(std::lround(height * scale)));
    }
    auto pixels = ci::Context().renderSRGB(image, ci::Rect::make(0, 0, width, height));
    if (!pixels.ok() || pixels->width != width || pixels->height != height)
        return {};
    QImage result = QImage(pixels->data.data(), width, height, width * 4, QImage::Format_RGBA8888).copy();
    if (!result.isNull() && maxSide > 0 && std::max(result.width(), result.height()) > maxSide)
        result = result.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return result;
}

void runOffThread(app::WorkContext& context, QObject* owner, std::function<QImage()> work,
                  std::function<void(const QImage&)> done) {
    // The widget is only looked at on the main queue, where it is destroyed.
    QPointer<QObject> guard(owner);
    context.globalAsync([guard, work = std::move(work), done = std::move(done)](app::WorkContext& context) {
        QImage image = work();
        context.mainAsync([guard, image, done] {
            if (guard)
                done(image);
        });
    });
}

} // namespace ui
