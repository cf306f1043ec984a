#include "filters/actions/WatermarkActions.h"

#include "model/ImageOperations.h"

#include <QColor>
#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace filters::actions {

namespace {

// 72 dots per inch, so that a point of the font is a pixel of the picture.
constexpr int kDotsPerMeter72 = 2835;
// Text pictures beyond this are refused rather than allocated.
constexpr double kMaxTextSide = 32768;
constexpr double kMaxTextPixels = double(1 << 28);

double unit(double v) {
    return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : (v > 0 ? 1.0 : 0.0);
}

// The mark at its own size, or its shorter side brought to `size` pixels.
ci::Image adapted(const ci::Image& mark, bool adaptive, double size) {
    if (!mark || !adaptive)
        return mark;
    return unwrap(model::resizedImage(wrap(mark), size, size));
}

// The picture as the compositing would give it back without a mark.
ci::Image unchanged(const ci::Image& picture) {
    return unwrap(wrap(picture));
}

ci::Image placed(const ci::Image& picture, const ci::Image& mark, const ci::Vector& placement,
                 double opacity) {
    const std::optional<int64_t> code = wholeNumber(placement.z());
    if (!picture || !mark || !code)
        return {};
    const ci::Rect p = picture.extent(), m = mark.extent();
    const ci::Point at =
        watermarkOrigin(p.width(), p.height(), m.width(), m.height(), placement.x(), placement.y(), *code);
    return unwrap(model::pixelSizedImage(wrap(picture), wrap(mark), at.x, at.y, opacity));
}

ci::Image filled(const ci::Image& picture, const ci::Image& mark, double opacity, double angle) {
    if (!picture || !mark)
        return {};
    const ci::Rect p = picture.extent();
    const ci::Image pattern =
        unwrap(model::filledWatermarkImage(wrap(mark), p.width(), p.height(), opacity, angle));
    if (!pattern)
        return {};
    return unwrap(model::pixelSizedImage(wrap(picture), wrap(pattern), 0, 0, opacity));
}

} // namespace

ci::Point watermarkOrigin(double W, double H, double w, double h, double padX, double padY, int64_t code) {
    if (code < 0 || code > 8)
        return {0, 0};
    const int column = int(code % 3), row = int(code / 3);
    const double x = column == 0 ? padX : column == 1 ? W / 2 - w / 2 + padX : W - w - padX;
    const double y = row == 0 ? H - h - padY : row == 1 ? H / 2 - h / 2 + padY : padY;
    return {x, y};
}

ci::Image textWatermarkImage(const std::string& text, const QFont& font, const ci::Color& color) {
    const double points = font.pointSizeF();
    if (text.empty() || !(points > 0) || !std::isfinite(points))
        return {};
    const QString line = QString::fromStdString(text);
    QImage probe(1, 1, QImage::Format_RGBA8888_Premultiplied);
    probe.setDotsPerMeterX(kDotsPerMeter72);
    probe.setDotsPerMeterY(kDotsPerMeter72);
    const QSizeF size = QFontMetricsF(font, &probe).size(0, line);
    const double w = std::ceil(size.width()), h = std::ceil(size.height());
    if (!(w >= 1 && h >= 1 && w <= kMaxTextSide && h <= kMaxTextSide && w * h <= kMaxTextPixels))
        return {};

    QImage picture(int(w), int(h), QImage::Format_RGBA8888_Premultiplied);
    if (picture.isNull())
        return {};
    picture.setDotsPerMeterX(kDotsPerMeter72);
    picture.setDotsPerMeterY(kDotsPerMeter72);
    picture.fill(Qt::transparent);
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setFont(font);
        painter.setPen(QColor::fromRgbF(float(unit(color.r)), float(unit(color.g)), float(unit(color.b)),
                                        float(unit(color.a))));
        painter.drawText(QRectF(0, 0, w, h), Qt::AlignLeft | Qt::AlignTop, line);
    }
    return engineImage(picture);
}

QFont boldSystemFont14() {
    QFont font(QStringLiteral("sans-serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Bold);
    font.setPointSizeF(14);
    return font;
}

WatermarkImageAction::WatermarkImageAction() {
    property("inputImage", inputImage);
    property("inputWatermark", inputWatermark);
    property("inputPlacement", inputPlacement);
    property("inputOpacity", inputOpacity, 0.5);
    property("inputAdaptive", inputAdaptive, true);
    property("inputSize", inputSize, 100);
}

ci::Image WatermarkImageAction::outputImage() {
    if (!inputImage || !inputWatermark || !inputPlacement)
        return {};
    return placed(inputImage, adapted(inputWatermark, inputAdaptive, inputSize), *inputPlacement,
                  inputOpacity);
}

WatermarkImageFillAction::WatermarkImageFillAction() {
    property("inputImage", inputImage);
    property("inputWatermark", inputWatermark);
    property("inputAngle", inputAngle, 45);
    property("inputOpacity", inputOpacity, 0.5);
    property("inputAdaptive", inputAdaptive, true);
    property("inputSize", inputSize, 100);
}

ci::Image WatermarkImageFillAction::outputImage() {
    if (!inputImage || !inputWatermark)
        return {};
    return filled(inputImage, adapted(inputWatermark, inputAdaptive, inputSize), inputOpacity, inputAngle);
}

WatermarkTextAction::WatermarkTextAction() {
    property("inputImage", inputImage);
    property("inputWatermark", inputWatermark, "");
    property("inputPlacement", inputPlacement);
    property("inputOpacity", inputOpacity, 0.5);
    property("inputFont", inputFont, "");
    property("inputFontSize", inputFontSize, 14);
    property("inputFontColor", inputFontColor, ci::Color{1, 1, 1, 1});
}

ci::Image WatermarkTextAction::outputImage() {
    if (!inputImage || !inputPlacement)
        return {};
    // Text without ink leaves the picture as it is.
    if (inputWatermark.empty())
        return unchanged(inputImage);
    // A name that is not installed gets fontconfig's nearest match; no name, the default face.
    QFont font(QString::fromStdString(inputFont.empty() ? std::string("Helvetica") : inputFont));
    if (!(inputFontSize > 0) || !std::isfinite(inputFontSize))
        return {};
    font.setPointSizeF(inputFontSize);
    return placed(inputImage, textWatermarkImage(inputWatermark, font, inputFontColor), *inputPlacement,
                  inputOpacity);
}

WatermarkTextFillAction::WatermarkTextFillAction() {
    property("inputImage", inputImage);
    property("inputWatermark", inputWatermark, "");
    property("inputAngle", inputAngle, 45);
    property("inputOpacity", inputOpacity, 0.5);
    property("inputAdaptive", inputAdaptive, true);
    property("inputSize", inputSize, 100);
}

ci::Image WatermarkTextFillAction::outputImage() {
    if (!inputImage)
        return {};
    if (inputWatermark.empty())
        return unchanged(inputImage);
    const ci::Image text = textWatermarkImage(inputWatermark, boldSystemFont14(), ci::Color{0, 0, 0, 1});
    return filled(inputImage, adapted(text, inputAdaptive, inputSize), inputOpacity, inputAngle);
}

} // namespace filters::actions
