#include "ParameterValues.h"

#include "ci/core/Console.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"

#include <algorithm>
#include <cmath>

namespace model {

void postPreviewRegeneration() {
    platform::NotificationCenter::defaultCenter().post(platform::RequiresPreviewRegeneration);
}

// ---- NumericValue

NumericValue::NumericValue(double n, int64_t measure) : n_(n), measure_(measure) {}

void NumericValue::setN(double n) {
    n_ = n;
    postPreviewRegeneration();
    Q_EMIT nChanged();
}

void NumericValue::setMeasure(qint64 measure) {
    measure_ = measure;
    Q_EMIT measureChanged();
}

double NumericValue::relativeValue(int64_t width, int64_t height) const {
    double side;
    switch (measure_) {
    case PercentOfWidth:
        side = double(width);
        break;
    case PercentOfHeight:
        side = double(height);
        break;
    case PercentOfLarger:
        side = double(std::max(width, height));
        break;
    case PercentOfSmaller:
        side = double(std::min(width, height));
        break;
    default:
        return n_;
    }
    return n_ / 100.0 * side;
}

Json NumericValue::encode() const {
    Json j = Json::object();
    j["n"] = encodeNumber(n_);
    j["measure"] = measure_;
    return j;
}

std::shared_ptr<NumericValue> NumericValue::decode(const KeyedContainer& c) {
    const double n = c.decodeDouble("n");
    const int64_t measure = c.decodeInt("measure");
    return std::make_shared<NumericValue>(n, measure);
}

// ---- BooleanValue

BooleanValue::BooleanValue(bool b, std::string title) : b_(b), title_(std::move(title)) {}

void BooleanValue::setB(bool b) {
    b_ = b;
    postPreviewRegeneration();
    Q_EMIT bChanged();
}

void BooleanValue::setTitle(std::string title) {
    title_ = std::move(title);
    Q_EMIT titleChanged();
}

Json BooleanValue::encode() const {
    Json j = Json::object();
    j["b"] = b_;
    j["title"] = title_;
    return j;
}

std::shared_ptr<BooleanValue> BooleanValue::decode(const KeyedContainer& c) {
    const bool b = c.decodeBool("b");
    return std::make_shared<BooleanValue>(b, c.decodeString("title"));
}

// ---- ImageValue

ImageValue::ImageValue(QUrl url) : u_(std::move(url)) {}

void ImageValue::setU(const QUrl& url) {
    u_ = url;
    postPreviewRegeneration();
    Q_EMIT uChanged();
    Q_EMIT sChanged();
}

QString ImageValue::s() const {
    return u_.isLocalFile() ? u_.toLocalFile() : u_.path();
}

Json ImageValue::encode() const {
    Json j = Json::object();
    j["_u"] = encodeUrl(u_);
    return j;
}

std::shared_ptr<ImageValue> ImageValue::decode(const KeyedContainer& c) {
    return std::make_shared<ImageValue>(c.decodeUrl("_u"));
}

std::shared_ptr<ImageValue> imageValueForResource(const std::string& name) {
    return std::make_shared<ImageValue>(platform::imageResourceUrl(name));
}

// ---- FontValue

FontValue::FontValue(std::string name) : name_(std::move(name)) {}

void FontValue::setName(std::string name) {
    name_ = std::move(name);
    postPreviewRegeneration();
    Q_EMIT nameChanged();
}

Json FontValue::encode() const {
    Json j = Json::object();
    j["name"] = name_;
    return j;
}

std::shared_ptr<FontValue> FontValue::decode(const KeyedContainer& c) {
    return std::make_shared<FontValue>(c.decodeString("name"));
}

// ---- GravityValue

GravityValue::GravityValue(int64_t g) : g_(g) {}

void GravityValue::setG(qint64 g) {
    g_ = g;
    postPreviewRegeneration();
    Q_EMIT gChanged();
}

Anchor GravityValue::anchor(int64_t width, int64_t height) const {
    switch (g_) {
    case upLeft:
        return {0, height};
    case up:
        return {width / 2, height};
    case upRight:
        return {width, height};
    case left:
        return {0, height / 2};
    case center:
        return {width / 2, height / 2};
    case right:
        return {width, height / 2};
    case bottomLeft:
        return {0, 0};
    case bottom:
        return {width / 2, 0};
    case bottomRight:
        return {width, 0};
    default:
        ci::console("Reached here!!!! ⛔️");
        return {0, 0};
    }
}

Json GravityValue::encode() const {
    Json j = Json::object();
    j["g"] = g_;
    return j;
}

std::shared_ptr<GravityValue> GravityValue::decode(const KeyedContainer& c) {
    return std::make_shared<GravityValue>(c.decodeInt("g"));
}

// ---- PointValue

PointValue::PointValue(double x, double y, std::shared_ptr<GravityValue> gravity)
    : x_(NumericValue::make(x, 0)), y_(NumericValue::make(y, 0)), gravity_(std::move(gravity)) {}

PointValue::PointValue(std::shared_ptr<NumericValue> x, std::shared_ptr<NumericValue> y,
                       std::shared_ptr<GravityValue> gravity)
    : x_(std::move(x)), y_(std::move(y)), gravity_(std::move(gravity)) {}

void PointValue::setX(std::shared_ptr<NumericValue> x) {
    x_ = std::move(x);
    postPreviewRegeneration();
    Q_EMIT xChanged();
}

void PointValue::setY(std::shared_ptr<NumericValue> y) {
    y_ = std::move(y);
    postPreviewRegeneration();
    Q_EMIT yChanged();
}

void PointValue::setGravity(std::shared_ptr<GravityValue> gravity) {
    gravity_ = std::move(gravity);
    Q_EMIT gravityChanged();
}

Json PointValue::encode() const {
    Json j = Json::object();
    j["x"] = x_->encode();
    j["y"] = y_->encode();
    j["gravity"] = gravity_->encode();
    return j;
}

std::shared_ptr<PointValue> PointValue::decode(const KeyedContainer& c) {
    auto x = NumericValue::decode(c.nestedContainer("x"));
    auto y = NumericValue::decode(c.nestedContainer("y"));
    auto gravity = GravityValue::decode(c.nestedContainer("gravity"));
    return std::make_shared<PointValue>(std::move(x), std::move(y), std::move(gravity));
}

// ---- ColorValue

ci::Color ColorValue::colorFromComponents(int64_t red, int64_t green, int64_t blue, int64_t alpha) {
    // Documents may carry components outside 0..255; a colour never does.
    auto unit = [](int64_t c) { return double(std::clamp<int64_t>(c, 0, 255)) / 255.0; };
    return {unit(red), unit(green), unit(blue), unit(alpha)};
}

ColorValue::ColorValue(int64_t red, int64_t green, int64_t blue, int64_t alpha)
    : red_(red), green_(green), blue_(blue), alpha_(alpha),
      color_(colorFromComponents(red, green, blue, alpha)) {}

void ColorValue::componentsChanged() {
    color_ = colorFromComponents(red_, green_, blue_, alpha_);
    postPreviewRegeneration();
    Q_EMIT colorChanged();
}

void ColorValue::setRed(qint64 v) {
    red_ = v;
    Q_EMIT redChanged();
    componentsChanged();
}

void ColorValue::setGreen(qint64 v) {
    green_ = v;
    Q_EMIT greenChanged();
    componentsChanged();
}

void ColorValue::setBlue(qint64 v) {
    blue_ = v;
    Q_EMIT blueChanged();
    componentsChanged();
}

void ColorValue::setAlpha(qint64 v) {
    alpha_ = v;
    Q_EMIT alphaChanged();
    componentsChanged();
}

void ColorValue::setColor(const ci::Color& color) {
    color_ = color;
    postPreviewRegeneration();
    // Whole 255ths, truncated; a component outside 0..1 (or not a number) is taken to the range.
    auto component = [](double c) {
        const double scaled = c * 255.0;
        return std::isnan(scaled) ? int64_t(0) : int64_t(std::clamp(scaled, 0.0, 255.0));
    };
    red_ = component(color.r);
    green_ = component(color.g);
    blue_ = component(color.b);
    alpha_ = component(color.a);
    Q_EMIT redChanged();
    Q_EMIT greenChanged();
    Q_EMIT blueChanged();
    Q_EMIT alphaChanged();
    Q_EMIT colorChanged();
}

QColor ColorValue::qColor() const {
    auto unit = [](double c) { return std::isnan(c) ? 0.0f : float(std::clamp(c, 0.0, 1.0)); };
    return QColor::fromRgbF(unit(color_.r), unit(color_.g), unit(color_.b), unit(color_.a));
}

void ColorValue::setQColor(const QColor& color) {
    const QColor rgb = color.toRgb();
    setColor({rgb.redF(), rgb.greenF(), rgb.blueF(), rgb.alphaF()});
}

void ColorValue::setMinComponentValue(qint64 v) {
    minComponentValue_ = v;
    Q_EMIT boundsChanged();
}

void ColorValue::setMaxComponentValue(qint64 v) {
    maxComponentValue_ = v;
    Q_EMIT boundsChanged();
}

Json ColorValue::encode() const {
    Json j = Json::object();
    j["redK"] = red_;
    j["greenK"] = green_;
    j["blueK"] = blue_;
    j["alphaK"] = alpha_;
    return j;
}

std::shared_ptr<ColorValue> ColorValue::decode(const KeyedContainer& c) {
    const int64_t red = c.decodeInt("redK");
    const int64_t green = c.decodeInt("greenK");
    const int64_t blue = c.decodeInt("blueK");
    const int64_t alpha = c.decodeInt("alphaK");
    return std::make_shared<ColorValue>(red, green, blue, alpha);
}

// ---- Shared defaults (function-local statics: one thread-safe initialisation each)

const std::shared_ptr<GravityValue>& centreGravity() {
    static const auto v = GravityValue::make(GravityValue::center);
    return v;
}

const std::shared_ptr<PointValue>& centrePoint() {
    static const auto v = PointValue::make(0, 0, GravityValue::make(GravityValue::center));
    return v;
}

const std::shared_ptr<ImageValue>& metalRoofImage() {
    static const auto v = imageValueForResource("metalic-roof");
    return v;
}

const std::shared_ptr<ImageValue>& createdWithImage() {
    static const auto v = imageValueForResource("createdWith");
    return v;
}

const std::shared_ptr<ColorValue>& blackColor() {
    static const auto v = ColorValue::make(0, 0, 0, 255);
    return v;
}

const std::shared_ptr<NumericValue>& zeroNumber() {
    static const auto v = NumericValue::make(0, 0);
    return v;
}

const std::shared_ptr<ColorValue>& clearWhiteColor() {
    static const auto v = ColorValue::make(255, 255, 255, 0);
    return v;
}

const std::shared_ptr<FontValue>& helveticaFont() {
    static const auto v = FontValue::make("Helvetica");
    return v;
}

const std::shared_ptr<ImageValue>& placeholderImage() {
    static const auto v = imageValueForResource("placeholderImg");
    return v;
}

const std::shared_ptr<PointValue>& defaultPoint() {
    static const auto v = PointValue::make(150, 150, centreGravity());
    return v;
}

const std::shared_ptr<BooleanValue>& defaultBoolean() {
    static const auto v = BooleanValue::make(true, "");
    return v;
}

} // namespace model
