// The preview: the debounced change signal and the render of the selected image through the
// enabled workflow on the global queue.

#include "app/AppDelegate.h"

#include "model/ImageOperations.h"

#include <cmath>

namespace app {

namespace {

// The pixels are computed here on the worker: the window then only draws a bitmap instead of
// running the whole chain again on every paint. An unbounded result is shown over the source's
// rectangle.
std::optional<platform::WindowImage> materialised(const platform::WindowImage& image, double width,
                                                  double height) {
    const platform::ImageRep* rep = image.firstRepresentation();
    if (!rep)
        return std::nullopt;
    ci::Image recipe = rep->image();
    if (recipe.isNull())
        return std::nullopt;
    if (recipe.extent().isInfinite())
        recipe = recipe.cropped(ci::Rect::make(0, 0, width, height));
    auto bitmap = ci::Context().render(recipe);
    if (!bitmap.ok())
        return std::nullopt;
    return platform::WindowImage::fromCIImage(ci::Image::fromBitmap(std::move(bitmap.value())));
}

} // namespace

QString AppDelegate::formatImageSize(double width, double height) {
    return QString("%1 x %2").arg(qint64(std::trunc(width))).arg(qint64(std::trunc(height)));
}

void AppDelegate::setActionsOrPreview(const qint64& value) {
    setActionsOrPreviewValue(value);
    setPreviewIsShown(value == 1);
}

void AppDelegate::requestPreviewRegeneration() {
    if (pendingGeneration_) {
        // A render that is already running has read the workflow before this change: one more
        // render follows it. A regeneration that still waits will see the change anyway.
        if (previewRendering_)
            rerenderAfterCurrent_ = true;
        return;
    }
    pendingGeneration_ = true;
    work_->mainAsyncAfter(1.0, [work = std::weak_ptr<Work>(work_)] {
        if (const auto w = work.lock())
            if (AppDelegate* d = w->ownerHere())
                d->regeneratePreview();
    });
}

model::Filters AppDelegate::enabledStepSnapshot() const {
    model::Filters steps;
    for (const auto& step : CurrentFilters_)
        if (step && step->isEnabled())
            steps.push_back(step->copy());
    return steps;
}

void AppDelegate::regeneratePreview() {
    const qint64 selection = CurrentImagesSelection();
    if (selection < 0 || selection >= qint64(CurrentImages_.size())) {
        // A render still running for the old selection must not bring its image back.
        ++previewToken_;
        rerenderAfterCurrent_ = false;
        if (previewRendering_) {
            previewRendering_ = false;
            setPreviewInProgress(false);
        }
        setCurrentPreview(platform::WindowImage());
        return;
    }
    if (CurrentlyAddingImages())
        return;
    setPreviewInProgress(true);
    previewRendering_ = true;
    rerenderAfterCurrent_ = false;
    const uint64_t token = ++previewToken_;
    work_->startWorker([token, image = CurrentImages_[size_t(selection)], steps = enabledStepSnapshot()](
                           Work& work) { renderPreview(work, token, image, steps); });
}

void AppDelegate::renderPreview(Work& work, uint64_t token, const ImageObjectPtr& image,
                                model::Filters steps) {
    const auto loaded = platform::WindowImage::fromFile(image->path().toStdString());
    const platform::ImageRep* rep = loaded ? loaded->firstRepresentation() : nullptr;
    if (!rep) {
        work.toOwner([token](AppDelegate& d) {
            // The view must not go on showing the previous image for this one.
            if (token == d.previewToken_)
                d.setCurrentPreview(platform::WindowImage());
            d.endPreviewRendering(token);
        });
        return;
    }
    const int64_t width = rep->pixelsWide();
    const int64_t height = rep->pixelsHigh();
    // Both texts are in pixels, so that they can be compared.
    const QString before = formatImageSize(double(width), double(height));
    work.toOwner([token, before](AppDelegate& d) {
        if (token == d.previewToken_)
            d.setSelectedOriginalImageSize(before);
    });

    model::FilterChain chain;
    for (const auto& step : steps)
        chain.push_back(step->parameterDictionary(width, height, false));
    auto result = model::applyFilterChain(*loaded, chain);
    if (result && work.isOpen())
        result = materialised(*result, double(width), double(height));
    const platform::ImageRep* out = result ? result->firstRepresentation() : nullptr;
    if (!out) {
        work.toOwner([token](AppDelegate& d) {
            if (token == d.previewToken_)
                d.setCurrentPreview(platform::WindowImage());
        });
    } else {
        const QString after = formatImageSize(out->pixelsWide(), out->pixelsHigh());
        work.toOwner([token, preview = *result, after](AppDelegate& d) {
            if (token != d.previewToken_)
                return;
            d.setCurrentPreview(preview);
            d.setSelectedConvertedImageSize(after);
        });
    }
    // The snapshot dies here on the worker; it was made for it and is shared with nobody.
    steps.clear();
    work.toOwner([token](AppDelegate& d) { d.endPreviewRendering(token); });
}

void AppDelegate::endPreviewRendering(uint64_t token) {
    if (token != previewToken_)
        return; // overtaken: the newer render ends the busy state
    previewRendering_ = false;
    setPreviewInProgress(false);
    pendingGeneration_ = false;
    if (rerenderAfterCurrent_) {
        rerenderAfterCurrent_ = false;
        regeneratePreview();
        pendingGeneration_ = previewRendering_;
    }
}

} // namespace app
