#include "filters/actions/ActionFilter.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"
#include "filters/OwnFilter.h"
#include "model/ImageOperations.h"

#include <algorithm>

namespace filters::actions {

namespace {

template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;

} // namespace

const ActionFilter::Property* ActionFilter::find(const std::string& key) const {
    auto it =
        std::find_if(properties_.begin(), properties_.end(), [&](const Property& p) { return p.key == key; });
    return it == properties_.end() ? nullptr : &*it;
}

ci::SetResult ActionFilter::setValue(const std::string& key, const ci::Value& value) {
    const Property* p = find(key);
    if (!p) {
        reportInvalidKey(key);
        return ci::SetResult::UnknownKey;
    }
    const ci::Value& v = value.isNone() ? p->start : value;
    return std::visit(Overloaded{
                          [&](ci::Image* f) {
                              *f = v.toImage();
                              return ci::SetResult::Ok;
                          },
                          [&](double* f) {
                              const auto n = v.toNumber();
                              if (!n)
                                  return ci::SetResult::WrongKind;
                              *f = *n;
                              return ci::SetResult::Ok;
                          },
                          [&](bool* f) {
                              const auto b = v.toBool();
                              if (!b)
                                  return ci::SetResult::WrongKind;
                              *f = *b;
                              return ci::SetResult::Ok;
                          },
                          [&](std::string* f) {
                              const std::string* s = v.toString();
                              if (!s)
                                  return ci::SetResult::WrongKind;
                              *f = *s;
                              return ci::SetResult::Ok;
                          },
                          [&](std::optional<ci::Vector>* f) {
                              if (v.isNone()) {
                                  f->reset();
                                  return ci::SetResult::Ok;
                              }
                              const ci::Vector* vec = v.toVector();
                              if (!vec)
                                  return ci::SetResult::WrongKind;
                              *f = *vec;
                              return ci::SetResult::Ok;
                          },
                          [&](ci::Color* f) {
                              const ci::Color* c = v.toColor();
                              if (!c)
                                  return ci::SetResult::WrongKind;
                              *f = *c;
                              return ci::SetResult::Ok;
                          },
                      },
                      p->field);
}

ci::Value ActionFilter::value(const std::string& key) const {
    const Property* p = find(key);
    if (!p)
        return {};
    return std::visit(Overloaded{
                          [](ci::Image* f) { return f->isNull() ? ci::Value() : ci::Value(*f); },
                          [](double* f) { return ci::Value(*f); },
                          [](bool* f) { return ci::Value(*f); },
                          [](std::string* f) { return ci::Value(*f); },
                          [](std::optional<ci::Vector>* f) { return *f ? ci::Value(**f) : ci::Value(); },
                          [](ci::Color* f) { return ci::Value(*f); },
                      },
                      p->field);
}

std::vector<std::string> ActionFilter::inputKeys() const {
    std::vector<std::string> keys;
    for (const auto& p : properties_)
        keys.push_back(p.key);
    return keys;
}

void ActionFilter::property(std::string key, ci::Image& field) {
    field = ci::Image();
    properties_.push_back({std::move(key), &field, {}});
}

void ActionFilter::property(std::string key, double& field, double start) {
    field = start;
    properties_.push_back({std::move(key), &field, start});
}

void ActionFilter::property(std::string key, bool& field, bool start) {
    field = start;
    properties_.push_back({std::move(key), &field, start});
}

void ActionFilter::property(std::string key, std::string& field, std::string start) {
    field = start;
    properties_.push_back({std::move(key), &field, std::move(start)});
}

void ActionFilter::property(std::string key, std::optional<ci::Vector>& field) {
    field.reset();
    properties_.push_back({std::move(key), &field, {}});
}

void ActionFilter::property(std::string key, ci::Color& field, ci::Color start) {
    field = start;
    properties_.push_back({std::move(key), &field, start});
}

platform::WindowImage wrap(const ci::Image& image) {
    return platform::WindowImage::fromCIImage(image);
}

ci::Image unwrap(const std::optional<platform::WindowImage>& image) {
    if (!image)
        return {};
    return model::toCIImage(*image).value_or(ci::Image());
}

std::optional<int64_t> wholeNumber(double v) {
    // 2^63 itself is out of range; every double below it converts exactly.
    if (!std::isfinite(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0)
        return std::nullopt;
    return int64_t(v);
}

ci::Image engineImage(const QImage& picture) {
    if (picture.isNull())
        return {};
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
    const int w = rgba.width(), h = rgba.height();
    ci::Bitmap bm(ci::IRect{0, 0, w, h});
    for (int y = 0; y < h; ++y) {
        const uchar* in = rgba.constScanLine(h - 1 - y);
        float* out = bm.row(y);
        for (int x = 0; x < w; ++x) {
            const float a = float(in[4 * x + 3]) / 255.0f;
            for (int c = 0; c < 3; ++c)
                out[4 * x + c] = ci::srgbDecode8(in[4 * x + c]) * a;
            out[4 * x + 3] = a;
        }
    }
    return ci::Image::fromBitmap(std::move(bm));
}

} // namespace filters::actions
