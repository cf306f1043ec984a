#include "ui/ImageConvert.h"

#include "platform/FilePath.h"

#include <QImageReader>

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
    QImage result;
    // Qt opens names as UTF-8 only; a name with other bytes goes straight to the engine.
    if (QString::fromUtf8(platform::encodePath(path)) == path) {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        if (maxSide > 0 && reader.size().isValid()) {
            const QSize size = reader.size();
            if (std::max(size.width(), size.height()) > maxSide * 2)
                reader.setScaledSize(size.scaled(maxSide * 2, maxSide * 2, Qt::KeepAspectRatio));
        }
        result = reader.read();
    }
    if (result.isNull()) {
        // Formats Qt has no reader for go through the engine's decoders.
        if (auto decoded = platform::WindowImage::fromFile(platform::pathBytes(path)))
            result = toQImage(*decoded);
    }
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
