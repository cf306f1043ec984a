// The preview: the debounced change signal and the render of the selected image through the
// enabled workflow on the global queue.

#include "app/AppDelegate.h"

#include "ci/core/Console.h"
#include "ci/core/Memory.h"
#include "ci/io/Codec.h"
#include "model/ImageOperations.h"
#include "platform/FilePath.h"

#include <atomic>
#include <cmath>

namespace app {

namespace {

// The pixels are computed here on the worker: the window then only draws a bitmap instead of
// running the whole chain again on every paint. An unbounded result is shown over the source's
// rectangle. The render stops early once `cancel` is set.
std::optional<platform::WindowImage> materialised(const platform::WindowImage& image, double width,
                                                  double height, const std::atomic<bool>& cancel,
                                                  std::string& error) {
    const platform::ImageRep* rep = image.firstRepresentation();
    if (!rep)
        return std::nullopt;
    ci::Image recipe = rep->image();
    if (recipe.isNull())
        return std::nullopt;
    if (recipe.extent().isInfinite())
        recipe = recipe.cropped(ci::Rect::make(0, 0, width, height));
    ci::Context::Options options;
    options.cancel = &cancel;
    auto bitmap = ci::Context(options).render(recipe);
    if (!bitmap.ok()) {
        error = bitmap.error();
        return std::nullopt;
    }
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
            previewWanted_ = true;
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
        // Nothing to show: a render still running is of no use any more.
        cancelPreviewRender();
        previewWanted_ = false;
        setPreviewInProgress(false);
        setCurrentPreview(platform::WindowImage());
        return;
    }
    if (CurrentlyAddingImages())
        return;
    // An export renders one image after another on every core: the preview waits for its end
    // rather than hold another image beside it.
    if (runActive_ && runKind_ == RunKind::Export) {
        previewAfterExport_ = true;
        return;
    }
    setPreviewInProgress(true);
    if (previewRendering_) {
        // One render at a time: the running one is superseded. It stops within a few tiles, and
        // the render of what is wanted now starts when it has ended.
        cancelPreviewRender();
        previewWanted_ = true;
        return;
    }
    previewRendering_ = true;
    previewWanted_ = false;
    const uint64_t token = ++previewToken_;
    previewCancel_ = std::make_shared<std::atomic<bool>>(false);
    work_->startWorker([token, cancel = previewCancel_, image = CurrentImages_[size_t(selection)],
                        steps = enabledStepSnapshot()](Work& work) {
        // Running out of memory, or any other failure, leaves the preview empty with a console
        // line; it never ends the application.
        try {
            renderPreview(work, token, cancel, image, steps);
        } catch (const std::exception& e) {
            ci::console("renderPreview: ⛔️ " + platform::pathBytes(image->path()) + ": " +
                        ci::describeFailure(e));
            work.toOwner([token](AppDelegate& d) {
                if (token == d.previewToken_)
                    d.setCurrentPreview(platform::WindowImage());
                d.endPreviewRendering(token);
            });
        }
    });
}

void AppDelegate::cancelPreviewRender() {
    if (previewCancel_)
        previewCancel_->store(true);
}

void AppDelegate::renderPreview(Work& work, uint64_t token, const std::shared_ptr<std::atomic<bool>>& cancel,
                                const ImageObjectPtr& image, model::Filters steps) {
    // A superseded render changes nothing that is shown; it only reports its end.
    const auto superseded = [&] { return cancel->load() || !work.isOpen(); };
    const auto end = [&] { work.toOwner([token](AppDelegate& d) { d.endPreviewRendering(token); }); };
    const auto shown = [cancel](const AppDelegate& d, uint64_t t) {
        return t == d.previewToken_ && !cancel->load();
    };
    std::string error;
    const auto loaded = platform::WindowImage::fromDecoded(
        ci::io::decodeFile(platform::pathBytes(image->path()), image->identity()), &error);
    const platform::ImageRep* rep = loaded ? loaded->firstRepresentation() : nullptr;
    if (!rep) {
        ci::console("renderPreview: ⛔️ " + platform::pathBytes(image->path()) + ": " + error);
        work.toOwner([token, shown](AppDelegate& d) {
            // The view must not go on showing the previous image for this one.
            if (shown(d, token))
                d.setCurrentPreview(platform::WindowImage());
        });
        end();
        return;
    }
    if (superseded()) {
        end();
        return;
    }
    const int64_t width = rep->pixelsWide();
    const int64_t height = rep->pixelsHigh();
    // Both texts are in pixels, so that they can be compared. They are shown with the picture
    // they describe, not before it.
    const QString before = formatImageSize(double(width), double(height));

    model::FilterChain chain;
    for (const auto& step : steps)
        chain.push_back(step->parameterDictionary(width, height, false));
    auto result = model::applyFilterChain(*loaded, chain);
    std::string failure;
    if (result && !superseded())
        result = materialised(*result, double(width), double(height), *cancel, failure);
    if (superseded()) {
        end();
        return;
    }
    const platform::ImageRep* out = result ? result->firstRepresentation() : nullptr;
    if (!out) {
        // Too large for the memory budget, for one: say why the preview stays empty.
        if (!failure.empty())
            ci::console("renderPreview: ⛔️ " + platform::pathBytes(image->path()) + ": " + failure);
        work.toOwner([token, shown](AppDelegate& d) {
            if (shown(d, token))
                d.setCurrentPreview(platform::WindowImage());
        });
    } else {
        const QString after = formatImageSize(out->pixelsWide(), out->pixelsHigh());
        work.toOwner([token, shown, preview = *result, before, after, path = image->path()](AppDelegate& d) {
            if (!shown(d, token))
                return;
            d.setSelectedOriginalImageSize(before);
            d.setSelectedConvertedImageSize(after);
            d.setCurrentPreview(preview, path);
        });
    }
    // The snapshot dies here on the worker; it was made for it and is shared with nobody.
    steps.clear();
    end();
}

void AppDelegate::endPreviewRendering(uint64_t token) {
    if (token != previewToken_)
        return;
    previewRendering_ = false;
    previewCancel_.reset();
    if (previewWanted_) {
        // What superseded this render, or a change it had not seen: render the state of now.
        previewWanted_ = false;
        regeneratePreview();
        setPreviewInProgress(previewRendering_);
        pendingGeneration_ = previewRendering_;
        return;
    }
    setPreviewInProgress(false);
    pendingGeneration_ = false;
}

} // namespace app
