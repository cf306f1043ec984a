#pragma once

// Turning the controller's pictures and image files into QImages for display. Every function
// here decodes or renders, so it runs on a worker (see runOffThread), never on the GUI thread.

#include "app/services/WorkContext.h"

#include "platform/WindowImage.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

namespace ui {

/// The picture as drawn at its size, in sRGB; a null image when it has nothing to draw.
QImage toQImage(const platform::WindowImage& image);

/// An image file for display, turned upright; reduced to fit maxSide when that is positive.
QImage loadImageFile(const QString& path, int maxSide = 0);

/// `work` on the global queue, then `done` with its result on the main queue, unless `owner`
/// or the context has gone by then.
void runOffThread(app::WorkContext& context, QObject* owner, std::function<QImage()> work,
                  std::function<void(const QImage&)> done);

} // namespace ui
