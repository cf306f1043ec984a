#include "Filter.h"

#include "ci/core/Context.h"
#include "platform/Dispatch.h"
#include "platform/Pasteboard.h"
#include "platform/Resources.h"

#include <tbb/parallel_pipeline.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <thread>

namespace model {

using platform::WindowImage;

// ---- FilterParam

const std::shared_ptr<FilterParamValue>& FilterParam::sharedUnsetValue() {
    static const std::shared_ptr<FilterParamValue> v = [] {
        auto value = FilterParamValue::number(18966);
        value->setType(FilterParamValue::Unset);
        return value;
    }();
    return v;
}

FilterParam::FilterParam() : value_(sharedUnsetValue()), sampleV_(sharedUnsetValue()) {}

FilterParam::FilterParam(std::string name, std::string sys, std::string tooltip,
                         std::shared_ptr<FilterParamValue> value, std::shared_ptr<FilterParamValue> sampleV)
    : name_(std::move(name)), sys_(std::move(sys)), tooltip_(std::move(tooltip)), value_(std::move(value)),
      sampleV_(std::move(sampleV)) {}

void FilterParam::setName(std::string v) {
    name_ = std::move(v);
    Q_EMIT nameChanged();
}

void FilterParam::setSys(std::string v) {
    sys_ = std::move(v);
    Q_EMIT sysChanged();
}

void FilterParam::setTooltip(std::string v) {
    tooltip_ = std::move(v);
    Q_EMIT tooltipChanged();
}

void FilterParam::setValue(std::shared_ptr<FilterParamValue> v) {
    value_ = std::move(v);
    Q_EMIT valueChanged();
}

void FilterParam::setSampleV(std::shared_ptr<FilterParamValue> v) {
    sampleV_ = std::move(v);
    Q_EMIT sampleVChanged();
}

Json FilterParam::encode() const {
    Json j = Json::object();
    j["name"] = name_;
    j["sys"] = sys_;
    j["tooltip"] = tooltip_;
    j["value"] = value_->encode();
    j["sampleV"] = sampleV_->encode();
    return j;
}

std::shared_ptr<FilterParam> FilterParam::decode(const KeyedContainer& c) {
    auto name = c.decodeString("name");
    auto sys = c.decodeString("sys");
    auto tooltip = c.decodeString("tooltip");
    auto value = FilterParamValue::decode(c.nestedContainer("value"));
    auto sampleV = FilterParamValue::decode(c.nestedContainer("sampleV"));
    return make(std::move(name), std::move(sys), std::move(tooltip), std::move(value), std::move(sampleV));
}

// ---- Loading progress

namespace {
std::shared_ptr<LoadingProgressTarget>& targetSlot() {
    static std::shared_ptr<LoadingProgressTarget> target;
    return target;
}
} // namespace

std::shared_ptr<LoadingProgressTarget> loadingProgressTarget() {
    return targetSlot();
}

void setLoadingProgressTarget(std::shared_ptr<LoadingProgressTarget> target) {
    targetSlot() = std::move(target);
}

// ---- Sample images

// The two sample images are never destroyed: a worker that is still rendering a sample while
// the process ends must not find them gone.

const WindowImage& defaultSampleImage() {
    static const WindowImage* const image = [] {
        auto loaded = WindowImage::fromFile(platform::imageResourcePath("the_image"));
        return new WindowImage(loaded ? *loaded : WindowImage());
    }();
    return *image;
}

namespace {

// A rendered copy of a recipe, so that the window does not run the filter again on every paint.
// An unbounded result (a generator) is shown over the rectangle it was rendered for.
ci::Image materialised(ci::Image image, double width, double height) {
    if (image.extent().isInfinite())
        image = image.cropped(ci::Rect::make(0, 0, width, height));
    auto bitmap = ci::Context().render(image);
    if (!bitmap.ok())
        return image;
    return ci::Image::fromBitmap(std::move(bitmap.value()));
}

} // namespace

const WindowImage& sharedSampleImage() {
    static const WindowImage* const image = []() -> WindowImage* {
        auto input = toCIImage(defaultSampleImage());
        if (!input)
            return new WindowImage();
        ci::Image reduced = input->applyingFilter("CILanczosScaleTransform", {{"inputScale", 0.25}});
        if (reduced.isNull())
            return new WindowImage();
        // Reduced once here rather than in each of the catalogue's renders.
        const ci::Rect e = reduced.extent();
        return new WindowImage(WindowImage::fromCIImage(materialised(reduced, e.width(), e.height())));
    }();
    return *image;
}

// ---- Filter

Filter::Filter(std::string name, std::string sys, std::string tooltip, FilterParams params)
    : name_(std::move(name)), sys_(std::move(sys)), tooltip_(std::move(tooltip)), params_(std::move(params)),
      sample_(defaultSampleImage()) {}

void Filter::setName(std::string v) {
    name_ = std::move(v);
    Q_EMIT nameChanged();
}

void Filter::setSys(std::string v) {
    sys_ = std::move(v);
    Q_EMIT sysChanged();
}

void Filter::setTooltip(std::string v) {
    tooltip_ = std::move(v);
    Q_EMIT tooltipChanged();
}

void Filter::setParams(FilterParams v) {
    params_ = std::move(v);
    Q_EMIT paramsChanged();
}

void Filter::setParent(std::string v) {
    parent_ = std::move(v);
    Q_EMIT parentChanged();
}

void Filter::setSample(WindowImage v) {
    sample_ = std::move(v);
    Q_EMIT sampleChanged();
}

void Filter::setIsEnabled(bool v) {
    isEnabled_ = v;
    postPreviewRegeneration();
    Q_EMIT isEnabledChanged();
}

void Filter::setIsCurrent(bool v) {
    isCurrent_ = v;
    Q_EMIT isCurrentChanged();
}

void Filter::setSourceIndx(qint64 v) {
    sourceIndx_ = v;
    Q_EMIT sourceIndxChanged();
}

namespace {

// The actions library states angles in degrees; the built-in filters read radians.
bool isBuiltinAngle(const std::string& sys, const std::string& key) {
    return sys.starts_with("CI") &&
           (key == "inputAngle" || key == "inputAcuteAngle" || key == "inputRotation");
}

/// A relative number that reaches a built-in filter as something other than a length in pixels.
/// The library states these as the values it shares with other entries (Vignette's radius as a
/// distance from the centre, Noise Reduction's sharpness through the blur radii's value); stored
/// documents keep those values and only what the filter is given is converted here.
std::optional<double> builtinRelativeInput(const std::string& sys, const std::string& key,
                                           const FilterParamValue& value, int64_t width, int64_t height) {
    if (value.type() != FilterParamValue::RelativeNumber || !value.relativeNumericV())
        return std::nullopt;
    if (sys == "CIVignette" && key == "inputRadius") {
        // The filter's radius is a fraction of the picture's half-diagonal.
        const double halfDiagonal = 0.5 * std::hypot(double(width), double(height));
        return halfDiagonal > 0 ? value.relativeNumericV()->relativeValue(width, height) / halfDiagonal : 0.0;
    }
    if (sys == "CINoiseReduction" && key == "inputSharpness") {
        // A sharpness is not a length: a relative number is read as a percent of the filter's
        // own unit (the library's 1.5 gives 0.015, 100 gives 1), an absolute one as that unit,
        // within the filter's range. The number itself would sharpen more than it smooths.
        const NumericValue& number = *value.relativeNumericV();
        const bool percent = number.measure() >= 1 && number.measure() <= 4;
        return std::clamp(percent ? number.n() / 100.0 : number.n(), 0.0, 2.0);
    }
    return std::nullopt;
}

} // namespace

FilterStep Filter::parameterDictionary(int64_t width, int64_t height, bool useSample) const {
    FilterStep step{sys_, {}};
    for (const auto& param : params_) {
        const auto& source = useSample ? param->sampleV() : param->value();
        ci::Value v = source->coreImageValue(width, height);
        if (v.isNone()) {
            // Nothing to give (an unreadable image file): the filter keeps its own default.
            step.second.erase(param->sys());
            continue;
        }
        if (v.kind() == ci::ValueKind::Number && isBuiltinAngle(sys_, param->sys()))
            v = *v.toNumber() * std::numbers::pi / 180.0;
        else if (auto converted = builtinRelativeInput(sys_, param->sys(), *source, width, height))
            v = *converted;
        step.second[param->sys()] = std::move(v);
    }
    return step;
}

void Filter::generateSample() {
    // The tick goes first, so the overlay names the entry while it renders.
    queueLoadingTick();
    renderSample();
}

void Filter::queueLoadingTick() {
    if (auto self = weak_from_this().lock())
        platform::MainQueue::async([self] { self->advanceLoadingProgress(); });
}

void Filter::renderSample() {
    const WindowImage& base = sharedSampleImage();
    const platform::ImageRep* rep = base.firstRepresentation();
    if (!rep)
        return;
    const int64_t width = rep->pixelsWide();
    const int64_t height = rep->pixelsHigh();
    const FilterStep step = parameterDictionary(width, height, true);
    auto input = toCIImage(base);
    if (!input)
        return;
    ci::Image output = applyFilterNamed(*input, step.first, step.second, double(width), double(height));
    if (output.isNull())
        return;
    setSample(WindowImage::fromCIImage(materialised(output, double(width), double(height))));
}

void Filter::advanceLoadingProgress() const {
    auto target = loadingProgressTarget();
    if (!target)
        return;
    target->setProgressOverlaySubMessage(qParent());
    target->setProgressOverlayCurrent(target->ProgressOverlayCurrent() + 1);
}

std::shared_ptr<Filter> Filter::copy() const {
    // The in-memory encoding round trip: the same result as the pasteboard, never failing.
    return decode(KeyedContainer(encode(), ""));
}

Json Filter::encode() const {
    Json j = Json::object();
    j["name"] = name_;
    j["sys"] = sys_;
    j["tooltip"] = tooltip_;
    Json params = Json::array();
    for (const auto& p : params_)
        params.push_back(p->encode());
    j["params"] = std::move(params);
    j["parent"] = parent_;
    j["isEnabled"] = isEnabled_;
    j["isCurrent"] = isCurrent_;
    j["sourceIndx"] = sourceIndx_;
    return j;
}

std::shared_ptr<Filter> Filter::decode(const KeyedContainer& c) {
    auto name = c.decodeString("name");
    auto sys = c.decodeString("sys");
    auto tooltip = c.decodeString("tooltip");
    const Json& list = c.decodeArray("params");
    FilterParams params;
    params.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        params.push_back(
            FilterParam::decode(KeyedContainer(list[i], c.pathOf("params/" + std::to_string(i)))));
    auto filter = make(std::move(name), std::move(sys), std::move(tooltip), std::move(params));
    filter->parent_ = c.decodeString("parent");
    filter->isEnabled_ = c.decodeBool("isEnabled");
    filter->isCurrent_ = c.decodeBool("isCurrent");
    filter->sourceIndx_ = c.decodeInt("sourceIndx");
    return filter;
}

QStringList Filter::readableTypesForPasteboard() {
    return {platform::filterPasteboardType()};
}

QStringList Filter::writableTypesForPasteboard() const {
    return {platform::filterPasteboardType()};
}

std::optional<QByteArray> Filter::pasteboardPropertyListForType(const QString& type) const {
    if (type != platform::filterPasteboardType())
        return std::nullopt;
    return platform::propertyListData(encode());
}

namespace {

std::shared_ptr<Filter> decodePasteboardData(const QByteArray& data) {
    auto object = platform::propertyListObject(data);
    if (!object)
        return nullptr;
    try {
        return Filter::decode(KeyedContainer(*object, ""));
    } catch (const std::exception&) { // CodingError, or running out of memory
        return nullptr;
    }
}

} // namespace

std::shared_ptr<Filter> Filter::initWithPasteboardPropertyList(const QByteArray& data, const QString&) {
    if (auto decoded = decodePasteboardData(data))
        return decoded;
    return make("", "", "");
}

void Filter::writeToMimeData(QMimeData& mime) const {
    platform::setPasteboardData(mime, platform::filterPasteboardType(), platform::propertyListData(encode()));
}

std::shared_ptr<Filter> Filter::readFromMimeData(const QMimeData& mime) {
    auto data = platform::pasteboardData(mime, platform::filterPasteboardType());
    return data ? decodePasteboardData(*data) : nullptr;
}

// ---- FilterCategory

FilterCategory::FilterCategory(std::string name, Filters filters)
    : name_(std::move(name)), filters_(std::move(filters)) {
    for (const auto& entry : filters_)
        entry->setParent(name_ + " → " + entry->name());
    // The thumbnails render on every core, while the overlay still advances entry by entry: each
    // tick is queued in list order, before its own entry's render starts.
    size_t next = 0;
    tbb::parallel_pipeline(std::max(1u, std::thread::hardware_concurrency()),
                           tbb::make_filter<void, Filter*>(tbb::filter_mode::serial_in_order,
                                                           [&](tbb::flow_control& control) -> Filter* {
                                                               if (next == filters_.size()) {
                                                                   control.stop();
                                                                   return nullptr;
                                                               }
                                                               Filter* entry = filters_[next++].get();
                                                               entry->queueLoadingTick();
                                                               return entry;
                                                           }) &
                               tbb::make_filter<Filter*, void>(tbb::filter_mode::parallel,
                                                               [](Filter* entry) { entry->renderSample(); }));
}

void FilterCategory::setName(std::string v) {
    name_ = std::move(v);
    Q_EMIT nameChanged();
}

void FilterCategory::setFilters(Filters v) {
    filters_ = std::move(v);
    Q_EMIT filtersChanged();
}

} // namespace model
