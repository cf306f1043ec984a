#include "OwnFilter.h"

#include "ci/core/Console.h"

#include <algorithm>
#include <cmath>

namespace filters {

void reportInvalidKey(const std::string& key) {
    ci::console("Invalid key: " + key);
}

ci::SetResult OwnFilter::setValue(const std::string& key, const ci::Value& value) {
    auto it =
        std::find_if(bindings_.begin(), bindings_.end(), [&](const Binding& b) { return b.key == key; });
    if (it == bindings_.end()) {
        reportInvalidKey(key);
        return ci::SetResult::Ok;
    }
    switch (it->kind) {
    case Kind::Image:
        // Anything but an image clears the input, so a stale picture is never rendered.
        *static_cast<ci::Image*>(it->field) = value.toImage();
        return ci::SetResult::Ok;
    case Kind::Number: {
        auto& field = *static_cast<double*>(it->field);
        if (value.isNone()) {
            field = it->startNumber;
            return ci::SetResult::Ok;
        }
        const auto n = value.toNumber();
        if (!n || !std::isfinite(*n))
            return ci::SetResult::WrongKind;
        field = *n;
        return ci::SetResult::Ok;
    }
    case Kind::Vector: {
        auto& field = *static_cast<ci::Vector*>(it->field);
        if (value.isNone()) {
            field = it->startVector;
            return ci::SetResult::Ok;
        }
        const ci::Vector* v = value.toVector();
        if (!v)
            return ci::SetResult::WrongKind;
        const auto& c = v->components();
        if (!std::all_of(c.begin(), c.end(), [](double x) { return std::isfinite(x); }))
            return ci::SetResult::WrongKind;
        field = *v;
        return ci::SetResult::Ok;
    }
    case Kind::Ignored:
        return ci::SetResult::Ok;
    }
    return ci::SetResult::Ok;
}

std::vector<std::string> OwnFilter::inputKeys() const {
    std::vector<std::string> keys;
    for (const auto& b : bindings_)
        if (b.kind != Kind::Ignored)
            keys.push_back(b.key);
    return keys;
}

void OwnFilter::bindImage(std::string key, ci::Image& field) {
    bindings_.push_back({std::move(key), Kind::Image, &field, 0, {}});
}

void OwnFilter::bindNumber(std::string key, double& field, double start) {
    field = start;
    bindings_.push_back({std::move(key), Kind::Number, &field, start, {}});
}

void OwnFilter::bindVector(std::string key, ci::Vector& field, ci::Vector start) {
    field = start;
    bindings_.push_back({std::move(key), Kind::Vector, &field, 0, std::move(start)});
}

void OwnFilter::bindIgnored(std::string key) {
    bindings_.push_back({std::move(key), Kind::Ignored, nullptr, 0, {}});
}

void OwnFilter::resetToStart(bool clearImages) {
    for (auto& b : bindings_) {
        switch (b.kind) {
        case Kind::Image:
            if (clearImages)
                *static_cast<ci::Image*>(b.field) = ci::Image();
            break;
        case Kind::Number:
            *static_cast<double*>(b.field) = b.startNumber;
            break;
        case Kind::Vector:
            *static_cast<ci::Vector*>(b.field) = b.startVector;
            break;
        case Kind::Ignored:
            break;
        }
    }
}

ci::Attributes imageAttribute(const std::string& displayName) {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::Identity] = 0;
    a[ci::attr::Class] = "CIImage";
    a[ci::attr::DisplayName] = displayName;
    a[ci::attr::Type] = ci::attr::TypeImage;
    return a;
}

ci::Attributes numberAttribute(const ci::Attributes& def, const std::string& displayName,
                               const ci::Attributes& min, const ci::Attributes& sliderMin,
                               const ci::Attributes& sliderMax) {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::Identity] = 0;
    a[ci::attr::Class] = "NSNumber";
    a[ci::attr::Default] = def;
    a[ci::attr::DisplayName] = displayName;
    a[ci::attr::Min] = min;
    a[ci::attr::SliderMin] = sliderMin;
    a[ci::attr::SliderMax] = sliderMax;
    a[ci::attr::Type] = ci::attr::TypeScalar;
    return a;
}

ci::Attributes imageOnlyAttributes(const std::string& displayName) {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = displayName;
    a["inputImage"] = imageAttribute();
    return a;
}

ci::Image applyChain(ci::Image image, const std::vector<ChainStep>& steps) {
    for (const auto& step : steps) {
        if (image.isNull())
            return {};
        image = image.applyingFilter(step.filter, step.inputs);
    }
    return image;
}

} // namespace filters
