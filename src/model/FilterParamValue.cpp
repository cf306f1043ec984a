#include "FilterParamValue.h"

#include "ci/core/Console.h"
#include "ci/io/Codec.h"
#include "platform/FilePath.h"

#include <QFile>

#include <cmath>
#include <optional>

namespace model {

FilterParamValue::FilterParamValue()
    : colorV_(clearWhiteColor()), imageV_(placeholderImage()), pointV_(defaultPoint()),
      fontV_(helveticaFont()), relativeNumericV_(zeroNumber()), booleanV_(defaultBoolean()) {}

std::shared_ptr<FilterParamValue> FilterParamValue::numeric(double value, double min, double max) {
    auto v = std::make_shared<FilterParamValue>();
    v->numericV_ = value;
    v->numericMinV_ = min;
    v->numericMaxV_ = max;
    v->type_ = NumberWithRange;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::number(double value) {
    auto v = std::make_shared<FilterParamValue>();
    v->numericV_ = value;
    v->type_ = SingleNumber;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::relativeNumeric(std::shared_ptr<NumericValue> value) {
    auto v = std::make_shared<FilterParamValue>();
    v->relativeNumericV_ = std::move(value);
    v->type_ = RelativeNumber;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::color(std::shared_ptr<ColorValue> value) {
    auto v = std::make_shared<FilterParamValue>();
    v->colorV_ = std::move(value);
    v->type_ = Color;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::image(std::shared_ptr<ImageValue> value) {
    auto v = std::make_shared<FilterParamValue>();
    v->imageV_ = std::move(value);
    v->type_ = Image;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::point(std::shared_ptr<PointValue> value,
                                                          bool dontCalculatePoints) {
    auto v = std::make_shared<FilterParamValue>();
    v->pointV_ = std::move(value);
    v->dontCalculatePoints_ = dontCalculatePoints;
    v->type_ = Point;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::boolean(std::shared_ptr<BooleanValue> value) {
    auto v = std::make_shared<FilterParamValue>();
    v->booleanV_ = std::move(value);
    v->type_ = Boolean;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::string(std::string value) {
    auto v = std::make_shared<FilterParamValue>();
    v->stringV_ = std::move(value);
    v->type_ = String;
    return v;
}

std::shared_ptr<FilterParamValue> FilterParamValue::font(std::shared_ptr<FontValue> value) {
    auto v = std::make_shared<FilterParamValue>();
    v->fontV_ = std::move(value);
    v->type_ = Font;
    return v;
}

void FilterParamValue::setColorV(std::shared_ptr<ColorValue> v) {
    colorV_ = std::move(v);
    Q_EMIT colorVChanged();
}

void FilterParamValue::setImageV(std::shared_ptr<ImageValue> v) {
    imageV_ = std::move(v);
    Q_EMIT imageVChanged();
}

void FilterParamValue::setPointV(std::shared_ptr<PointValue> v) {
    pointV_ = std::move(v);
    Q_EMIT pointVChanged();
}

void FilterParamValue::setFontV(std::shared_ptr<FontValue> v) {
    fontV_ = std::move(v);
    Q_EMIT fontVChanged();
}

void FilterParamValue::setNumericV(double v) {
    numericV_ = v;
    postPreviewRegeneration();
    Q_EMIT numericVChanged();
}

void FilterParamValue::setNumericMinV(double v) {
    numericMinV_ = v;
    Q_EMIT numericMinVChanged();
}

void FilterParamValue::setNumericMaxV(double v) {
    numericMaxV_ = v;
    Q_EMIT numericMaxVChanged();
}

void FilterParamValue::setRelativeNumericV(std::shared_ptr<NumericValue> v) {
    relativeNumericV_ = std::move(v);
    postPreviewRegeneration();
    Q_EMIT relativeNumericVChanged();
}

void FilterParamValue::setBooleanV(std::shared_ptr<BooleanValue> v) {
    booleanV_ = std::move(v);
    Q_EMIT booleanVChanged();
}

void FilterParamValue::setStringV(std::string v) {
    stringV_ = std::move(v);
    postPreviewRegeneration();
    Q_EMIT stringVChanged();
}

void FilterParamValue::setDontCalculatePoints(bool v) {
    dontCalculatePoints_ = v;
    Q_EMIT dontCalculatePointsChanged();
}

void FilterParamValue::setType(qint64 v) {
    type_ = v;
    Q_EMIT typeChanged();
}

namespace {

// anchor + offset truncated toward zero, or nothing when that is no whole pixel position.
std::optional<int64_t> pixelPosition(int64_t anchor, double offset) {
    // 2^62 keeps the sum with any anchor of a real image inside 64 bits.
    if (!std::isfinite(offset) || std::fabs(offset) >= 4611686018427387904.0)
        return std::nullopt;
    int64_t sum;
    if (__builtin_add_overflow(anchor, int64_t(offset), &sum))
        return std::nullopt;
    return sum;
}

ci::Value imageFromUrl(const QUrl& url) {
    QString path;
    if (url.isLocalFile())
        path = url.toLocalFile();
    else if (url.scheme().isEmpty())
        path = url.path();
    if (path.isEmpty() || !platform::isValidPath(path))
        return {};
    auto decoded = ci::io::decodeFile(QFile::encodeName(path).toStdString()); // paths are bytes
    if (!decoded.ok() || decoded->image.isNull())
        return {};
    return decoded->image;
}

} // namespace

ci::Value FilterParamValue::coreImageValue(int64_t width, int64_t height) const {
    switch (type_) {
    case NumberWithRange:
    case SingleNumber:
        return numericV_;
    case RelativeNumber:
        return relativeNumericV_->relativeValue(width, height);
    case Color:
        return colorV_->color();
    case Image:
        return imageFromUrl(imageV_->u());
    case Point: {
        const PointValue& p = *pointV_;
        if (dontCalculatePoints_)
            return ci::Vector{p.x()->relativeValue(width, height), p.y()->relativeValue(width, height),
                              double(p.gravity()->g())};
        const double rx = p.x()->relativeValue(width, height);
        const auto x = pixelPosition(p.gravity()->anchor(width, height).x, rx);
        const double ry = p.y()->relativeValue(width, height);
        const auto y = pixelPosition(p.gravity()->anchor(width, height).y, ry);
        if (!x || !y)
            return {};
        return ci::Vector{double(*x), double(*y)};
    }
    case Boolean:
        return booleanV_->b();
    case String:
        return stringV_;
    case Font:
        return fontV_->name();
    default:
        ci::console("Reached here!!!! ⛔️");
        return 0;
    }
}

Json FilterParamValue::encode() const {
    Json j = Json::object();
    j["colorV"] = colorV_->encode();
    j["imageV"] = imageV_->encode();
    j["pointV"] = pointV_->encode();
    j["fontV"] = fontV_->encode();
    j["numericV"] = encodeNumber(numericV_);
    j["numericMinV"] = encodeNumber(numericMinV_);
    j["numericMaxV"] = encodeNumber(numericMaxV_);
    j["relativeNumericV"] = relativeNumericV_->encode();
    j["booleanV"] = booleanV_->encode();
    j["stringV"] = stringV_;
    j["dontCalculatePoints"] = dontCalculatePoints_;
    j["type"] = type_;
    return j;
}

std::shared_ptr<FilterParamValue> FilterParamValue::decode(const KeyedContainer& c) {
    auto v = std::make_shared<FilterParamValue>();
    v->colorV_ = ColorValue::decode(c.nestedContainer("colorV"));
    v->imageV_ = ImageValue::decode(c.nestedContainer("imageV"));
    v->pointV_ = PointValue::decode(c.nestedContainer("pointV"));
    v->fontV_ = FontValue::decode(c.nestedContainer("fontV"));
    v->numericV_ = c.decodeDouble("numericV");
    v->numericMinV_ = c.decodeDouble("numericMinV");
    v->numericMaxV_ = c.decodeDouble("numericMaxV");
    v->relativeNumericV_ = NumericValue::decode(c.nestedContainer("relativeNumericV"));
    v->booleanV_ = BooleanValue::decode(c.nestedContainer("booleanV"));
    v->stringV_ = c.decodeString("stringV");
    v->dontCalculatePoints_ = c.decodeBool("dontCalculatePoints");
    v->type_ = c.decodeInt("type");
    return v;
}

} // namespace model
